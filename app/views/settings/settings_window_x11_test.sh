#!/usr/bin/env bash
# The settings window of the real program under a private X server with a window manager. The
# program runs in a network namespace of its own, joined to a second one (the peer) by a veth pair:
#  1. the window opens fully on screen, as tall as its Network tab needs, and keeps its width and
#     height bounds;
#  2. a typed HTTP port takes effect (which servers a setting restarts is views_settings_test's
#     and the model test's);
#  3. "Localhost (127.0.0.1)" in the listen picker refuses the peer and still answers on 127.0.0.1;
#  4. "Open…" hands the control page's address to the browser (a stub named by $BROWSER);
#  5. "Reset Onboarding" brings the main window back from being minimised, on the welcome screen.
# The window is driven with the keyboard, so the test follows the focus order of the tabs.
# With PAVONIX_SCREENSHOTS=DIR, a picture of each tab is saved there.
# Exit 77 (skip) when a tool or root is missing, except in CI, where that is a failure.
set -euo pipefail
program=$1
probe=$2
source "$(dirname "$0")/../testing/x11_session.sh"
x11_test settings_window_x11 xdotool xprop xwininfo python3 ip curl
two_test_hosts s 10.233.0 || skip "cannot create network namespaces"
# answers NS HOST PORT: the program's /health answers there.
answers() { ip netns exec "$1" curl -sf --max-time 2 "http://$2:$3/health" >/dev/null; }
refuses() { ! answers "$@"; }

start_x11_session

# --- The program --------------------------------------------------------------------------------
mkdir -p "$scratch/share"
# The browser: records the address it is asked to open.
cat >"$scratch/browser" <<STUB
#!/bin/sh
printf '%s\n' "\$1" >>"$scratch/opened"
STUB
chmod +x "$scratch/browser"
# XDG_DATA_DIRS without the system's handlers, so xdg-open falls back to $BROWSER.
start_program "$(printf '{"welcomeCompleted":true,"httpPort":70000,"oscPort":%s}' "$(free_port)")" \
  XDG_DATA_DIRS="$scratch/share" BROWSER="$scratch/browser" PAVONIX_KEYCHAIN=memory PAVONIX_DEBUG=1

# open_settings [N]: closes an open settings window with Ctrl+W, opens it afresh from the main
# window (it opens on the Network tab with the focus on the tab bar) and moves the focus N widgets
# on with Tab.
open_settings() {
  if window_of Settings >/dev/null; then
    xdotool windowactivate --sync "$(window_of Settings)"
    keys ctrl+w  # the desktop's close key
    wait_for 10 bash -c "! xdotool search --onlyvisible --name '^Settings\$'" || fail "the settings window did not close"
  fi
  xdotool windowactivate --sync "$main"
  keys ctrl+comma
  wait_for 10 window_of Settings || fail "Ctrl+, did not open the settings window"
  settings=$(window_of Settings)
  xdotool windowactivate --sync "$settings"
  local i; for ((i = 0; i < ${1:-0}; i++)); do keys Tab; done
}

# The stored port is out of range: the HTTP server starts only once a port is typed.
wait_for 10 grep -qF "Pavonix: HTTP server Failed" "$scratch/program.log" || fail "the HTTP server did not settle"

# --- 1. Opening on screen, and the size bounds -------------------------------------------------
open_settings
wait_for 5 within_work_area "$settings" || fail "the settings window is not fully on screen: ${W}x${H}+${X}+${Y}"
shoot settings-first-open
[ "$H" -gt 500 ] || fail "the settings window opened ${H} high, below what its Network tab needs"
sized() { eval "$(xdotool getwindowgeometry --shell "$settings")"; [ "$WIDTH" = "$1" ] && [ "$HEIGHT" = "$2" ]; }
xdotool windowsize "$settings" 300 300
wait_for 5 sized 500 500 || fail "the window went below 500 by 500: ${WIDTH}x${HEIGHT}"
xdotool windowsize "$settings" 900 1000
wait_for 5 sized 500 700 || fail "the window went beyond 500 by 700: ${WIDTH}x${HEIGHT}"
shoot network

# --- 2. The HTTP port --------------------------------------------------------------------------
# Focus order of the Network tab: name, picker, OSC reference, OSC enabled, OSC port, HTTP
# reference, HTTP enabled, HTTP port, Open…, Require Paired Devices, Manage...
new_port=$(free_port)
open_settings 8
keys ctrl+a
xdotool type --delay 30 "$new_port"
keys Return
wait_for 10 answers "$server_ns" 127.0.0.1 "$new_port" || fail "typing a port did not start HTTP on it"

# --- 3. Localhost only --------------------------------------------------------------------------
wait_for 10 answers "$peer_ns" "$server_address" "$new_port" || fail "the peer cannot reach all interfaces"
open_settings 2
keys Down  # from "All Network Interfaces" to "Localhost (127.0.0.1)"
wait_for 10 refuses "$peer_ns" "$server_address" "$new_port" || fail "localhost only still answers the peer"
wait_for 10 answers "$server_ns" 127.0.0.1 "$new_port" || fail "localhost only does not answer on 127.0.0.1"

# --- 4. The web control link --------------------------------------------------------------------
open_settings 9
keys space
wait_for 10 grep -qx "http://127.0.0.1:$new_port/" "$scratch/opened" || fail "Open… did not open the control page"

# --- 5. Bluetooth and About; Reset Onboarding --------------------------------------------------
open_settings
keys ctrl+Tab
shoot bluetooth
keys ctrl+Tab
shoot about
# The main window's minimum size follows the page it shows; the welcome screen's is far larger.
min_size() { xprop -id "$main" WM_NORMAL_HINTS | grep 'minimum size'; }
main_view_minimum=$(min_size)
xdotool windowminimize --sync "$main"
xdotool windowactivate --sync "$settings"
keys Tab space  # the focus stayed on the tab bar; the About tab's one button is next
shown() { ! xprop -id "$main" _NET_WM_STATE | grep -q HIDDEN && [ "$(xdotool getactivewindow)" = "$main" ]; }
wait_for 10 shown || fail "Reset Onboarding did not bring the main window forward"
wait_for 10 bash -c "[ \"\$(xprop -id $main WM_NORMAL_HINTS | grep 'minimum size')\" != '$main_view_minimum' ]" ||
  fail "Reset Onboarding did not bring the welcome screen back"
shoot welcome
echo "settings_window_x11: bounds, port, listen address, web control and reset checked"
