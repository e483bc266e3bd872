#!/usr/bin/env bash
# The real program under a private X server with a window manager and a tray: with a test window
# saved as the Google Slides target, a click on Next in the main window delivers the Right key to
# that window (the shortcuts that trigger Next are views_controls_test's; that the window list
# leaves out Pavonix's own windows, the window target test's). Closing the window keeps the program
# serving while the tray can bring it back, and without a tray it quits. A remote target is driven
# through the pairing sheets' script. On a screen too short for them, the windows and the pairing
# sheet open within it. Settings live in a scratch folder. Exit 77 (skip) when a tool
# is missing, except in CI, where that is a failure.
set -euo pipefail
program=$1
probe=$2
source "$(dirname "$0")/../testing/x11_session.sh"
x11_test main_window_x11 xdotool xprop xwininfo python3 trayer

start_x11_session
start_test_window

port=$(free_port)
settings=$(printf '{"welcomeCompleted":true,%s,"httpPort":%s,"oscPort":%s}' "$(test_window_settings)" "$port" "$(free_port)")
no_main_window() { ! window_of Pavonix; }
gone() { ! kill -0 "$program_pid" 2>/dev/null; }

trayer --edge bottom --align left --widthtype pixel --width 40 >"$scratch/trayer.log" 2>&1 &
tray_pid=$!
pids+=("$tray_pid")
wait_for 10 xdotool search --classname panel || fail "trayer did not start"
start_program "$settings" PAVONIX_KEYCHAIN=memory

# A click on Next, in the right half of the controls: clicked again until the first status refresh
# has enabled the buttons and the saved window has its Right key.
before=$(presses)
eval "$(xdotool getwindowgeometry --shell "$main")"
click_next() {
  xdotool windowactivate --sync "$main" mousemove --sync $((X + WIDTH * 3 / 4)) $((Y + 273)) click 1
  wait_for 1 pressed_since "$before"
}
wait_for 10 click_next || fail "Next did not deliver the Right key to the saved window"

# Closing the window (Alt+F4) leaves the program serving; the tray icon brings it back.
xdotool windowactivate --sync "$main"
xdotool key alt+F4
wait_for 10 no_main_window || fail "Alt+F4 did not close the window"
python3 -c "import urllib.request as u; u.urlopen('http://127.0.0.1:$port/health')" || fail "closing the window stopped the server"
eval "$(xdotool getwindowgeometry --shell "$(xdotool search --classname panel | head -n 1)")"
xdotool mousemove --sync $((X + WIDTH / 4)) $((Y + HEIGHT / 2)) click 1
wait_for 10 window_of Pavonix || fail "the tray icon did not bring the main window back"
xdotool windowactivate --sync "$(window_of Pavonix)"
xdotool key ctrl+q
wait_for 10 gone || fail "Quit Pavonix did not end the program"

kill "$tray_pid"
start_program "$settings" PAVONIX_KEYCHAIN=memory
xdotool windowactivate --sync "$main"
xdotool key alt+F4
wait_for 10 gone || fail "closing the window without a tray left the program running"

# A damaged settings file deep in folders: the welcome screen's notice of where it was set aside
# takes so many lines that the screen is too short for it. Once framed, the window fits the screen,
# title bar and all, and the welcome screen scrolls.
deep=$scratch/deep
for i in $(seq 40); do deep=$deep/settings-folder-of-the-lecture-hall-$i; done
export XDG_CONFIG_HOME=$deep
start_program '{"welcomeCompleted":true,' PAVONIX_KEYCHAIN=memory
wait_for 10 within_work_area "$main" || fail "the first window is not within the screen: ${H}px high at ${Y}, frame ${T} and ${B}"
[ $((H + T + B)) -ge 790 ] || fail "the welcome screen did not outgrow the screen (${H}px high)"

# A 1024 by 600 screen: the welcome screen with a notice, Settings and the HTTP pairing sheet each
# open within the work area, title bar and all.
kill "$program_pid"
wait_for 10 gone || fail "the program did not end on SIGTERM"
export DISPLAY=$PAVONIX_XVFB_SMALL XDG_CONFIG_HOME=$scratch/small
expect_within() { wait_for 10 within_work_area "$1" || fail "$2 is not within the work area: ${W}x${H}+${X}+${Y}"; }
start_program '{"welcomeCompleted":true,' PAVONIX_KEYCHAIN=memory
expect_within "$main" "the welcome screen"
shoot small-welcome
xdotool windowactivate --sync "$main"
keys Return ctrl+comma  # Continue, then Settings
wait_for 10 window_of Settings || fail "Ctrl+, did not open the settings window"
expect_within "$(window_of Settings)" "the settings window"
shoot small-settings
xdotool windowactivate --sync "$(window_of Settings)"
for _ in $(seq 11); do keys Tab; done  # to Manage... of the HTTP paired devices
keys space
wait_for 10 window_of "HTTP Paired Devices" || fail "Manage... did not open the HTTP pairing sheet"
expect_within "$(window_of 'HTTP Paired Devices')" "the HTTP pairing sheet"
shoot small-http-pairing
echo "main_window_x11: Next delivered; closing with and without a tray checked; a tall first window fits the screen, and every window a 1024x600 one"
