#!/usr/bin/env bash
# The real program under a private X server with a window manager:
#  1. local Google Slides: with a test window saved as the target, a click on Next and the Space
#     shortcut in the main window each deliver the Right key to that window (not listed: Pavonix's);
#  2. remote: a first instance whose target is a second instance (loopback, paired secret in a
#     private keychain file) forwards a click on Next; the second one types it into the window.
# Settings and secrets live in a scratch folder. Exit 77 (skip) when a tool is missing, except in
# CI, where that is a failure.
set -euo pipefail
program=$1
probe=$2

for tool in Xvfb openbox xdotool xprop python3 trayer; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "main_window_x11: missing $tool (scripts/install-deps installs it)" >&2
    if [ "${CI:-}" = true ]; then exit 1; fi
    exit 77
  fi
done

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
  echo "main_window_x11: $*" >&2
  for log in "$scratch"/*.log; do echo "--- $log" >&2; tail -n 20 "$log" >&2 || true; done
  exit 1
}

source "$(dirname "$0")/testing/x11_session.sh"

# A private display with a window manager; Xvfb picks a free display number itself.
start_x11_session

# The presentation window: prints every key it receives.
"$probe" window "Deck - Google Slides" >"$scratch/window.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q '^window ' "$scratch/window.log" || fail "test window did not appear"
window_id=$(( $(awk '/^window /{print $2; exit}' "$scratch/window.log") ))

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
presses() { grep -c '^key 0xff53' "$scratch/window.log" || true; }
# expect_press BEFORE MESSAGE: the window receives a Right key beyond the BEFORE it had.
expect_press() { wait_for 10 bash -c "[ \$(grep -c '^key 0xff53' '$scratch/window.log') -gt $1 ]" || fail "$2"; }

# slides_settings FOLDER HTTP_PORT: settings of an instance whose target is the test window.
slides_settings() {
  mkdir -p "$1/config/Pavonix" "$1/data"
  printf '{"welcomeCompleted":true,"presentationProvider":"googleSlides","googleSlidesWindowID":%s,%s,"httpPort":%s,"oscPort":%s}' \
    "$window_id" '"googleSlidesWindowOwnerName":"PavonixTest","googleSlidesWindowTitle":"Deck - Google Slides"' \
    "$2" "$(free_port)" >"$1/config/Pavonix/settings.json"
}

# start NAME FOLDER [env...]: runs an instance; leaves its pid in $started.
start() {
  local name=$1 folder=$2; shift 2
  env XDG_CONFIG_HOME="$folder/config" XDG_DATA_HOME="$folder/data" "$@" "$program" >"$scratch/$name.log" 2>&1 &
  started=$!
  pids+=("$started")
}

# main_window PID: the id of that process's window titled "Pavonix".
main_window() { program_window Pavonix "$1"; }

# click_next WINDOW DY: clicks the Next button, DY pixels below the top of the window's content
# (the button sits in the right half of the controls).
click_next() {
  local x y width
  eval "$(xdotool getwindowgeometry --shell "$1")"
  x=$X; y=$Y; width=$WIDTH
  xdotool windowactivate --sync "$1"
  xdotool mousemove --sync $((x + width * 3 / 4)) $((y + $2)) click 1
}

gone() { ! kill -0 "$1" 2>/dev/null; }
no_main_window() { ! main_window "$1"; }

# --- 1. Local Google Slides, with a tray -------------------------------------------------------
trayer --edge bottom --align left --widthtype pixel --width 40 >"$scratch/trayer.log" 2>&1 &
tray_pid=$!
pids+=("$tray_pid")
wait_for 10 xdotool search --classname panel || fail "trayer did not start"
local_dir=$scratch/local
local_port=$(free_port)
slides_settings "$local_dir" "$local_port"
start local "$local_dir" PAVONIX_KEYCHAIN=memory QT_QPA_PLATFORM=xcb
local_pid=$started
wait_for 20 main_window "$local_pid" || fail "the main window did not appear"
main=$(main_window "$local_pid")
sleep 1  # the first status refresh enables the buttons

before=$(presses)
click_next "$main" 273
expect_press "$before" "Next did not deliver the Right key to the saved window"
before=$(presses)
xdotool windowactivate --sync "$main"
# Space rather than the Right arrow: the window system layer presses the same key while the
# arrow that triggered it may still be down, and the X server then drops that press.
xdotool key space
expect_press "$before" "the Space shortcut did not deliver the Right key"

python3 -c "import json, urllib.request as u; w = json.load(u.urlopen('http://127.0.0.1:$local_port/windows'))['windows']
assert $window_id in [e['windowID'] for e in w] and all(e['ownerProcessID'] != $local_pid for e in w), w" ||
  fail "GET /windows lists Pavonix's own window, or misses the test window"
# Closing the window (Alt+F4) leaves the program serving; the tray icon brings it back.
xdotool windowactivate --sync "$main"
xdotool key alt+F4
wait_for 10 no_main_window "$local_pid" || fail "Alt+F4 did not close the window"
python3 -c "import urllib.request as u; u.urlopen('http://127.0.0.1:$local_port/health')" || fail "closing the window stopped the server"
eval "$(xdotool getwindowgeometry --shell "$(xdotool search --classname panel | head -n 1)")"
xdotool mousemove --sync $((X + WIDTH / 4)) $((Y + HEIGHT / 2)) click 1
wait_for 10 main_window "$local_pid" || fail "the tray icon did not bring the main window back"
xdotool windowactivate --sync "$(main_window "$local_pid")"
xdotool key ctrl+q
wait_for 10 gone "$local_pid" || fail "Quit Pavonix did not end the program"
kill "$tray_pid"  # the second instance runs without a tray

# --- 2. A second instance as the remote target --------------------------------------------------
remote_dir=$scratch/remote
remote_port=$(free_port)
slides_settings "$remote_dir" "$remote_port"
start remote "$remote_dir" PAVONIX_KEYCHAIN=memory QT_QPA_PLATFORM=offscreen
wait_for 20 python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$remote_port/health', timeout=1)" ||
  fail "the remote instance did not answer /health"

driver_dir=$scratch/driver
python3 - "$driver_dir" "$remote_port" "$(free_port)" "$(free_port)" <<'EOF'
import json, os, sys
folder, remote_port, http_port, osc_port = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
target = {"createdAt": 0, "host": "127.0.0.1", "id": "lpt_stagepc000000000000", "name": "Stage PC",
          "pairID": "lpp_stage", "port": remote_port, "transport": "http"}
os.makedirs(f"{folder}/config/Pavonix")
os.makedirs(f"{folder}/data/Pavonix", mode=0o700)
with open(f"{folder}/config/Pavonix/settings.json", "w") as f:
    json.dump({"welcomeCompleted": True, "httpPort": http_port, "oscPort": osc_port, "presentationProvider": "keynote",
               "remoteLanternpostTargets": [json.dumps(target, sort_keys=True, separators=(",", ":"))],
               "selectedRemoteLanternpostTargetID": target["id"]}, f)
keychain = f"{folder}/data/Pavonix/keychain.json"
with open(os.open(keychain, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
    json.dump({"version": 1, "items": [{"service": "com.vrel.Lanternpost.remote-targets",
                                        "account": target["id"], "data": os.urandom(32).hex()}]}, f)
EOF
start driver "$driver_dir" PAVONIX_KEYCHAIN=file QT_QPA_PLATFORM=xcb
driver_pid=$started
wait_for 20 main_window "$driver_pid" || fail "the driving instance's window did not appear"
main=$(main_window "$driver_pid")
sleep 1
before=$(presses)
click_next "$main" 251
expect_press "$before" "Next on the driving instance did not reach the remote instance's window"
xdotool windowactivate --sync "$main"
xdotool key alt+F4
wait_for 10 gone "$driver_pid" || fail "closing the window without a tray left the program running"
echo "main_window_x11: local and remote Next delivered"
