#!/usr/bin/env bash
# The tray program on a real X desktop: Xvfb, the tray host trayer, clicks and keys by xdotool.
#   desktop-e2e.sh SIRANO SIRANO-CLI
# Exits 77 (skipped) when Xvfb, trayer or xdotool is missing.
set -uo pipefail

sirano=$1
cli=$2
for tool in Xvfb trayer xdotool; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
unset QT_QPA_PLATFORM WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(head -1 "$work/display")"

start_tray() {
  trayer --edge top --align right --widthtype pixel --width 200 --height 32 >/dev/null 2>&1 &
  pids+=($!)
}

# Polls a command for up to 10 s.
wait_for() {
  for _ in $(seq 200); do "$@" && return 0; sleep 0.05; done
  return 1
}

# Visible windows of the program: "id width height name", one a line.
windows() {
  for w in $(xdotool search --onlyvisible --classname '^sirano$' 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$w" 2>/dev/null)" || continue
    echo "$w $WIDTH $HEIGHT $(xdotool getwindowname "$w" 2>/dev/null)"
  done
}
icon() { windows | awk '$2 <= 32 && $3 <= 32 { print $1; exit }'; }
has_icon() { [ -n "$(icon)" ]; }
no_icon() { [ -z "$(icon)" ]; }
# Popup menus: the program's nameless-titled windows wider than the icon.
menu_height() { windows | awk '$2 > 32 && $4 == "sirano" { print $3; exit }'; }
menu_open() { [ -n "$(menu_height)" ]; }
no_menu() { [ -z "$(menu_height)" ]; }
window_named() { windows | awk -v n="$1" '{ w = $1; $1 = $2 = $3 = ""; sub(/^ +/, ""); if ($0 == n) { print w; exit } }'; }
shown() { [ -n "$(window_named "$1")" ]; }
gone() { [ -z "$(window_named "$1")" ]; }

click_icon() {  # button: 1 left, 3 right; near the top, where no menu covers the icon
  xdotool mousemove --window "$(icon)" 10 3 click "$1"
}
key() { xdotool key "$@"; sleep 0.2; }
focus_and_type() {  # without a window manager, focus does not come back after a message box
  xdotool windowfocus --sync "$(window_named "$1")" 2>/dev/null
  xdotool key ctrl+a
  xdotool type "$2"
}

# Starts the program with a fresh home; its pid in $app, its status file in $status_file.
launch() {
  home=$1
  mkdir -p "$home/share"
  status_file="$home/status"
  rm -f "$status_file"
  (HOME="$home" XDG_DATA_HOME="$home/share" XDG_RUNTIME_DIR="$home" \
     "$sirano" >>"$work/sirano.log" 2>&1; echo $? >"$status_file") &
  app=$!
}
exit_status() { wait_for test -s "$status_file" && cat "$status_file"; }
end_by_menu() {
  click_icon 3 && wait_for menu_open && key Up Return
}

# 1. A new user, with the panel starting after the program: logged in, a lone separator on the
#    left, the command menu on the right, the about box, and "終了" with status 0.
home="$work/new"
launch "$home"
sleep 1
start_tray
if wait_for has_icon; then pass "the icon appears once the tray starts"; else fail "no icon"; fi
click_icon 1
if wait_for menu_open && [ "$(menu_height)" -le 4 ]; then
  pass "left click: the site menu with a lone separator"
else fail "left click: site menu $(menu_height)"; fi
key Escape
wait_for no_menu
click_icon 3
if wait_for menu_open && [ "$(menu_height)" -gt 100 ]; then
  pass "right click: the command menu"
else fail "right click: command menu $(menu_height)"; fi
key Up Up Return
if wait_for shown Information; then pass "ﾊﾞｰｼﾞｮﾝ: the about box"; else fail "no about box"; fi
key Return
wait_for gone Information
end_by_menu
s=$(exit_status)
if [ "$s" = 0 ] && wait_for no_icon; then pass "終了: status 0, icon gone"; else fail "終了: status $s"; fi
[ -f "$home/share/sirano/SIRANO.DAT" ] && fail "a data file was written without a change"

# 2. A data file without automatic log-in: the prompt; a wrong password keeps it open with the
#    message; the right one logs in.
home="$work/prompt"
mkdir -p "$home/share/sirano"
data="$home/share/sirano/SIRANO.DAT"
cat >"$work/in.json" <<'JSON'
{"format": "sirano", "version": 1,
 "settings": {"masterPassword": "secret", "autoLoginAtStart": 0, "autoLogoutMinutes": 0},
 "sites": [{"title": "A&B", "url": "https://example.com/", "urlKeyword": "", "fields": []}]}
JSON
HOME="$home" XDG_DATA_HOME="$home/share" "$cli" import "$work/in.json" --data "$data" >/dev/null ||
  fail "sirano-cli import"
launch "$home"
if wait_for shown "ﾊﾟｽﾜｰﾄﾞ確認"; then pass "the password prompt at start"; else fail "no prompt"; fi
focus_and_type "ﾊﾟｽﾜｰﾄﾞ確認" wrong
key Return
if wait_for shown "ﾊﾟｽﾜｰﾄﾞｴﾗｰ" && shown "ﾊﾟｽﾜｰﾄﾞ確認"; then
  pass "a wrong password: the message, the prompt stays"
else fail "wrong password"; fi
key Return
wait_for gone "ﾊﾟｽﾜｰﾄﾞｴﾗｰ"
focus_and_type "ﾊﾟｽﾜｰﾄﾞ確認" secret
key Return
if wait_for gone "ﾊﾟｽﾜｰﾄﾞ確認"; then pass "the right password closes the prompt"; else fail "prompt stays"; fi
click_icon 1
if wait_for menu_open && [ "$(menu_height)" -gt 4 ]; then
  pass "logged in: the site menu lists the entry"
else fail "site menu after log-in: $(menu_height)"; fi
key Escape
wait_for no_menu
end_by_menu
[ "$(exit_status)" = 0 ] || fail "end after log-in"

# 3. The same file, prompt cancelled: logged out, no site menu; "ﾛｸﾞｲﾝ" asks again.
launch "$home"
wait_for shown "ﾊﾟｽﾜｰﾄﾞ確認"
xdotool windowfocus --sync "$(window_named "ﾊﾟｽﾜｰﾄﾞ確認")" 2>/dev/null
key Escape
wait_for gone "ﾊﾟｽﾜｰﾄﾞ確認"
click_icon 1
sleep 0.5
if no_menu; then pass "logged out: a left click opens nothing"; else fail "site menu while logged out"; fi
click_icon 3
wait_for menu_open
key Up Up Up Return  # 終了, ﾊﾞｰｼﾞｮﾝ, then ﾛｸﾞｲﾝ: ﾊﾟｽﾜｰﾄﾞ is disabled and skipped
if wait_for shown "ﾊﾟｽﾜｰﾄﾞ確認"; then pass "ﾛｸﾞｲﾝ asks again"; else fail "ﾛｸﾞｲﾝ: no prompt"; fi
xdotool windowfocus --sync "$(window_named "ﾊﾟｽﾜｰﾄﾞ確認")" 2>/dev/null
key Escape
wait_for gone "ﾊﾟｽﾜｰﾄﾞ確認"

# 4. A second copy on the same data folder refuses to start.
(HOME="$home" XDG_DATA_HOME="$home/share" XDG_RUNTIME_DIR="$home" \
   "$sirano" >>"$work/sirano.log" 2>&1; echo $? >"$work/second") &
if wait_for shown SIRANO; then pass "a second copy says so"; else fail "second copy: no message"; fi
key Return
wait_for test -s "$work/second"
s=$(cat "$work/second" 2>/dev/null)
if [ "$s" = 2 ]; then pass "a second copy ends with status 2"; else fail "second copy: status $s"; fi
end_by_menu
[ "$(exit_status)" = 0 ] || fail "end of the first copy"

# 5. A damaged data file: the message, a non-zero status, the file untouched.
home="$work/damaged"
mkdir -p "$home/share/sirano"
head -c -7 "$data" >"$home/share/sirano/SIRANO.DAT"
before=$(md5sum <"$home/share/sirano/SIRANO.DAT")
launch "$home"
if wait_for shown SIRANO; then pass "a damaged file: the message"; else fail "damaged: no message"; fi
key Return
s=$(exit_status)
after=$(md5sum <"$home/share/sirano/SIRANO.DAT")
if [ "$s" = 1 ] && [ "$before" = "$after" ]; then
  pass "a damaged file: status 1, bytes unchanged"
else fail "damaged: status $s"; fi

# 6. Under a window manager: a dialog minimised (or hidden behind another window) comes back
#    with the next click on the icon, whichever button; the dialog offers no minimise button of
#    its own, but the window manager's key or a task bar can still minimise it.
if command -v openbox >/dev/null; then
  openbox --sm-disable >/dev/null 2>&1 &
  pids+=($!)
  sleep 1
  home="$work/wm"
  launch "$home"
  wait_for has_icon
  for button in 1 3; do
    click_icon 3 && wait_for menu_open
    key Down Down Return  # 記憶, 設定
    if ! wait_for shown "SIRANO 設定"; then fail "設定 does not open"; continue; fi
    # Motif hints: flags, functions, decorations; no minimise (8) or maximise (16) function.
    hints=$(xprop -id "$(window_named "SIRANO 設定")" _MOTIF_WM_HINTS | sed 's/.*= //; s/,//g')
    read -r _ functions _ <<<"$hints"
    if [ -n "$functions" ] && [ $((functions & 24)) -eq 0 ]; then
      pass "the dialog asks for no minimise or maximise button ($hints)"
    else fail "window hints of the dialog: '$hints'"; fi
    xdotool windowminimize --sync "$(window_named "SIRANO 設定")" 2>/dev/null
    if ! wait_for gone "SIRANO 設定"; then fail "the dialog cannot be minimised"; fi
    click_icon "$button"
    if wait_for shown "SIRANO 設定" && no_menu; then
      pass "a click ($button) on the icon brings the minimised dialog back"
    else fail "click $button: the minimised dialog stays away"; fi
    xdotool windowfocus --sync "$(window_named "SIRANO 設定")" 2>/dev/null
    key Escape
    wait_for gone "SIRANO 設定"
  done
  end_by_menu
  [ "$(exit_status)" = 0 ] || fail "end under the window manager"
else
  echo "skipped: openbox is not installed (the window-manager checks)"
fi

if [ "$failures" -ne 0 ]; then
  echo "--- program output"; cat "$work/sirano.log"
  exit 1
fi
echo "all desktop checks passed"
