# Shared by the package tests: checks of an installed tree. Sourced; `fail` ends the test.
fail() { echo "FAIL: $*" >&2; exit 1; }

# check_installed ROOT PREFIX VERSION WORK: the files of PREFIX as they lie under ROOT
# (ROOT = DESTDIR, or "" for the machine itself); WORK is a scratch folder.
check_installed() {
  local root=$1 prefix=$2 version=$3 work=$4
  local files=(
    bin/sirano bin/sirano-cli
    share/applications/sirano.desktop share/applications/sirano-browser.desktop
    share/icons/hicolor/32x32/apps/sirano.png share/icons/hicolor/32x32/apps/sirano-logged-out.png
    share/icons/hicolor/scalable/apps/sirano.svg
  )
  # Slim Debian images tell dpkg to leave out manual pages and documents (path-exclude).
  local docs=1
  [ -n "$root" ] || ! grep -rqs '^path-exclude=/usr/share/\(man\|doc\)/' /etc/dpkg/dpkg.cfg.d || docs=0
  if [ "$docs" -eq 1 ]; then
    files+=(share/man/man1/sirano.1.gz share/man/man1/sirano-cli.1.gz
            share/doc/sirano/copyright share/doc/sirano/changelog.gz)
  else
    echo "NOTE: dpkg leaves out manual pages and documents here (path-exclude): not checked"
  fi
  local f
  for f in "${files[@]}"; do
    [ -f "$root$prefix/$f" ] || fail "$prefix/$f is not installed"
  done
  [ -x "$root$prefix/bin/sirano" ] && [ -x "$root$prefix/bin/sirano-cli" ] || fail "programs not executable"

  check_extension "$root" "$prefix"

  desktop-file-validate "$root$prefix"/share/applications/sirano*.desktop || fail "desktop-file-validate"
  grep -qx 'Exec=sirano' "$root$prefix/share/applications/sirano.desktop" || fail "sirano.desktop Exec"
  grep -qx 'Exec=sirano-cli browser %u' "$root$prefix/share/applications/sirano-browser.desktop" \
    || fail "sirano-browser.desktop Exec"

  for f in sirano.png sirano-logged-out.png; do
    [ "$(head -c 8 "$root$prefix/share/icons/hicolor/32x32/apps/$f" | od -An -tx1 | tr -d ' \n')" \
      = 89504e470d0a1a0a ] || fail "$f is no PNG"
  done
  python3 -c 'import sys, xml.dom.minidom as m; d = m.parse(sys.argv[1]); assert d.documentElement.tagName == "svg"' \
    "$root$prefix/share/icons/hicolor/scalable/apps/sirano.svg" || fail "sirano.svg is no SVG"

  # The manual pages format without a warning and name the version.
  for f in sirano sirano-cli; do
    [ "$docs" -eq 1 ] || break
    local page="$root$prefix/share/man/man1/$f.1.gz"
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man $f"
    [ -z "$warnings" ] || fail "man $f: $warnings"
    zcat "$page" | grep -q "SIRANO $version" || fail "$f.1 does not name version $version"
  done

  local out
  out=$("$root$prefix/bin/sirano-cli" --version) || fail "sirano-cli --version"
  [ "$out" = "sirano-cli $version" ] || fail "sirano-cli --version says '$out'"

  # The autostart entry of an installed sirano-cli starts the sirano beside it.
  out=$(XDG_CONFIG_HOME="$work/config" "$root$prefix/bin/sirano-cli" autostart on) || fail "autostart on"
  grep -qx "Exec=$root$prefix/bin/sirano" "$work/config/autostart/sirano.desktop" \
    || fail "autostart Exec: $(grep Exec "$work/config/autostart/sirano.desktop")"
  out=$(XDG_CONFIG_HOME="$work/config" "$root$prefix/bin/sirano-cli" autostart status)
  [[ "$out" == *"$root$prefix/bin/sirano (the installed program)"* ]] || fail "autostart status: $out"
  desktop-file-validate "$work/config/autostart/sirano.desktop" || fail "autostart entry invalid"
  rm -rf "$work/config"
}

# check_extension ROOT PREFIX: the companion extension where the system's browsers load it (links
# to the one copy), and the host manifests naming the installed sirano-host.
check_extension() {
  local root=$1 prefix=$2
  local etc="$root$prefix/etc"
  [ "$prefix" != /usr ] || etc="$root/etc"
  local host="$prefix/libexec/sirano/sirano-host"
  [ -x "$root$host" ] || fail "$host is not installed"
  local browser
  for browser in chromium firefox; do
    python3 -c 'import json, sys; json.load(open(sys.argv[1]))' \
      "$root$prefix/share/sirano/webext/$browser/manifest.json" || fail "$browser extension manifest"
    [ -f "$root$prefix/share/sirano/webext/$browser/background.js" ] || fail "$browser background.js"
  done
  local link
  for link in "share/chromium/extensions/sirano:chromium" \
              "share/mozilla/extensions/{ec8030f7-c20a-464f-9b0e-13a3a9e97384}/sirano@sirano:firefox"; do
    local path="$root$prefix/${link%:*}"
    [ -L "$path" ] || fail "${link%:*} is no link"
    [ "$(readlink -f "$path")" = "$(readlink -f "$root$prefix/share/sirano/webext/${link##*:}")" ] \
      || fail "${link%:*} points at $(readlink "$path")"
  done
  local manifest
  for manifest in "$etc/chromium/native-messaging-hosts/org.sirano.host.json" \
                  "$root$prefix/lib/mozilla/native-messaging-hosts/org.sirano.host.json"; do
    [ -f "$manifest" ] || fail "$manifest is not installed"
    python3 - "$manifest" "$host" <<'PY' || fail "$manifest"
import json, sys
m = json.load(open(sys.argv[1]))
assert m["name"] == "org.sirano.host" and m["type"] == "stdio", m
assert m["path"] == sys.argv[2], m["path"]
assert m.get("allowed_origins") == ["chrome-extension://opmbefbjfmcnbmdddkookbpgfhflnmgm/"] \
    or m.get("allowed_extensions") == ["sirano@sirano"], m
PY
  done
}
