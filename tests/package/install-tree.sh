#!/usr/bin/env bash
# `cmake --install` of the build into a DESTDIR: every file in its place, valid menu entries,
# icons and manual pages, and programs that run from there.
#   install-tree.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
. "$(dirname "$0")/checks.sh"
command -v desktop-file-validate >/dev/null || { echo "SKIP: desktop-file-validate missing (Debian package desktop-file-utils)"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=/opt/sirano-test
DESTDIR="$work/dest" cmake --install "$build" --prefix "$prefix" >"$work/install.log" \
  || { cat "$work/install.log"; fail "cmake --install"; }
check_installed "$work/dest" "$prefix" "$version" "$work"
[ ! -e "$prefix" ] || fail "DESTDIR was not honoured: $prefix exists"
echo "install tree ok"
