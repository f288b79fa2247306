#!/usr/bin/env bash
# The manual pages as man shows them: option groups whole in the item heading, the exit statuses.
set -euo pipefail
cli=$1 tray=$2
render() { MANWIDTH=100 man -l "$1" 2>/dev/null; }
fail() { echo "FAIL: $*" >&2; exit 1; }
cli_page=$(render "$cli")
for heading in 'export [--output FILE [--force]]' 'windows [--browser PORT]' 'extension setup|status' \
               'capture [--browser PORT]' 'fill INDEX [--browser PORT]'; do
  grep -qxF "       $heading" <<<"$cli_page" || fail "sirano-cli(1) has no item heading '$heading'"
done
tray_page=$(render "$tray")
grep -qF -- 'sirano [--data FILE] [--help|--version]' <<<"$tray_page" || fail "sirano(1) synopsis"
grep -qiE 'lock file cannot be written' <<<"$tray_page" || fail "sirano(1) exit status 4: lock file"
echo "manual pages ok"
