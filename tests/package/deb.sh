#!/usr/bin/env bash
# The Debian package: made with cpack, checked with lintian, installed with apt-get, its files
# checked (dpkg -S), and removed again, so that the machine is left as it was found.
#   deb.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
. "$(dirname "$0")/checks.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: installing the package needs root (apt-get); CI runs the tests as root"
  exit 77
fi
if dpkg-query -W -f='${Status}' sirano 2>/dev/null | grep -q 'ok installed'; then
  echo "SKIP: a sirano package is installed already; this test would replace and then remove it"
  exit 77
fi
for tool in cpack lintian apt-get dpkg-shlibdeps desktop-file-validate; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
done

work=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" -eq 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq -o DPkg::Lock::Timeout=120 \
      sirano >/dev/null 2>&1 || echo "WARNING: could not remove the package sirano" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(echo "$work"/sirano_"$version"_*.deb)
[ -f "$deb" ] || fail "no $work/sirano_${version}_*.deb"

fields=$(dpkg-deb -f "$deb" Package Version Section Maintainer Depends Recommends Suggests Description)
echo "$fields"
for want in "Section: utils" "Recommends: firefox-esr | firefox | chromium, fonts-ipafont-gothic" "Suggests: chromium" "Depends: .*qt6-qpa-plugins" "Depends: .*libqt6widgets6" \
            "Depends: .*libqt6keychain1" "Depends: .*libsecret-1-0" "Depends: .*libsodium23" \
            "Maintainer: .* <.*@.*>"; do
  grep -q "^$want" <<<"$fields" || fail "control field: $want"
done

lintian --fail-on error "$deb" 2>&1 | grep -v 'root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors"

# Everything it depends on is here already: installing adds sirano alone, and removing it leaves
# nothing behind.
others=$(apt-get install -s --no-install-recommends "$deb" 2>/dev/null | grep '^Inst ' | grep -v '^Inst sirano ' || true)
[ -z "$others" ] || fail "installing would add other packages too:
$others"

installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  -o DPkg::Lock::Timeout=120 "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }

for f in /usr/bin/sirano /usr/bin/sirano-cli /usr/share/applications/sirano.desktop \
         /usr/share/applications/sirano-browser.desktop /usr/libexec/sirano/sirano-host \
         /usr/share/chromium/extensions/sirano \
         "/usr/share/mozilla/extensions/{ec8030f7-c20a-464f-9b0e-13a3a9e97384}/sirano@sirano" \
         /etc/chromium/native-messaging-hosts/org.sirano.host.json \
         /usr/lib/mozilla/native-messaging-hosts/org.sirano.host.json; do
  owner=$(dpkg -S "$f" 2>/dev/null) || fail "$f belongs to no package"
  [ "$owner" = "sirano: $f" ] || fail "dpkg -S $f: $owner"
done
[ "$(command -v sirano-cli)" = /usr/bin/sirano-cli ] || fail "sirano-cli on PATH is $(command -v sirano-cli)"
check_installed "" /usr "$version" "$work"

DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq -o DPkg::Lock::Timeout=120 sirano \
  >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get remove"; }
installed=0
! dpkg-query -W sirano >/dev/null 2>&1 || fail "dpkg still knows sirano after the purge"
for f in /usr/bin/sirano /usr/bin/sirano-cli /usr/share/applications/sirano.desktop \
         /usr/share/chromium/extensions/sirano /etc/chromium/native-messaging-hosts/org.sirano.host.json; do
  [ ! -e "$f" ] && [ ! -L "$f" ] || fail "$f is left after the removal"
done
echo "package ok: built, lintian clean, installed, checked, removed"
