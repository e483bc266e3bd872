# Test support for the views' X11 scripts (sourced). `x11_test NAME TOOL...` comes first: it names
# the script in messages, skips (exit 77; in CI a failure) when a tool is missing, makes $scratch
# unless the script already has one, and at exit ends the processes in the array pids, removes
# the namespaces of two_test_hosts and the scratch folder, after the script's at_exit if any.
views_testing=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

x11_test() {
  test_name=$1; shift
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 || skip "missing $tool (scripts/install-deps installs it)"
  done
  [ -n "${scratch:-}" ] || scratch=$(mktemp -d)
  pids=()
  trap x11_cleanup EXIT
}

x11_cleanup() {
  local pid deadline=$((SECONDS + 15))
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  # A process that does not end on SIGTERM is named and killed, rather than waited for until
  # ctest's time-out hides which one it was.
  for pid in "${pids[@]}"; do
    while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
      echo "$test_name: $(tr '\0' ' ' </proc/"$pid"/cmdline 2>/dev/null) ($pid) did not end on SIGTERM" >&2
      kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
  done
  if declare -F at_exit >/dev/null; then at_exit; fi
  if [ -n "${server_ns:-}" ]; then
    ip netns del "$peer_ns" 2>/dev/null || true
    ip netns del "$server_ns" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}

skip() {
  echo "$test_name: $1" >&2
  if [ "${CI:-}" = true ]; then exit 1; fi
  exit 77
}

fail() {
  echo "$test_name: $*" >&2
  for log in "$scratch"/*.log; do echo "--- $log" >&2; tail -n 20 "$log" >&2 || true; done
  exit 1
}

wait_for() {  # wait_for SECONDS COMMAND...
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# within_work_area WINDOW: the window, frame and all, lies within its screen's work area. Sets
# X Y W H (the window itself, from xwininfo: xdotool counts the title bar twice in the position)
# and L R T B (its frame).
within_work_area() {
  local area
  read -r -a area < <(xprop -root _NET_WORKAREA | sed 's/.*= //; s/,//g')
  read -r X Y W H < <(xwininfo -id "$1" | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF}
    /Width:/{w=$NF} /Height:/{h=$NF} END{print x, y, w, h}')
  read -r L R T B < <(xprop -id "$1" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
  [ -n "${B:-}" ] && [ $((X - L)) -ge "${area[0]}" ] && [ $((Y - T)) -ge "${area[1]}" ] &&
    [ $((X + W + R)) -le $((area[0] + area[2])) ] && [ $((Y + H + B)) -le $((area[1] + area[3])) ]
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
keys() { xdotool key --delay 40 "$@"; }
# With PAVONIX_SCREENSHOTS=DIR, shoot NAME saves a picture of the screen there.
shoot() { if [ -n "${PAVONIX_SCREENSHOTS:-}" ]; then mkdir -p "$PAVONIX_SCREENSHOTS" && "$probe" grab "$PAVONIX_SCREENSHOTS/$1.png"; fi; }

# two_test_hosts KEY SUBNET: the program's host ($server_ns, $server_address SUBNET.1) and a peer
# ($peer_ns, SUBNET.2), network namespaces joined by a veth pair. Needs root.
two_test_hosts() {
  [ "$(id -u)" = 0 ] || skip "needs root for network namespaces"
  local tag; tag=$(printf '%05d%04x' $(($$ % 100000)) $((RANDOM)))
  server_ns=pvx-$1srv-$tag peer_ns=pvx-$1cli-$tag server_address=$2.1
  source "$views_testing/../../../platform/testing/two_hosts.sh"
  two_hosts "$server_ns" "$peer_ns" "p$1s$tag" "p$1c$tag" "$server_address" "$2.2"
}

# The private X server comes from platform/x11/testing/with_xvfb.sh, which ctest runs each script
# under; this keeps the program's caches and runtime files in the scratch folder.
start_x11_session() {
  [ -n "${PAVONIX_XVFB:-}" ] || fail "run through platform/x11/testing/with_xvfb.sh (no private X server)"
  export XDG_CACHE_HOME=$scratch/cache XDG_RUNTIME_DIR=$scratch/runtime
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  # Qt's X11 platform reads the keymap through libxkbcommon-x11, whose bounded strndup of an
  # unterminated buffer trips strict_string_checks; that check stays off for the program here.
  export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0"
}

# The presentation window "Deck - Google Slides" ($window_id), which logs every key it receives.
start_test_window() {
  "$probe" window "Deck - Google Slides" >"$scratch/window.log" 2>&1 &
  pids+=($!)
  wait_for 10 grep -q '^window ' "$scratch/window.log" || fail "test window did not appear"
  window_id=$(( $(awk '/^window /{print $2; exit}' "$scratch/window.log") ))
}
# The settings that make the test window a program's Google Slides target.
test_window_settings() {
  printf '"presentationProvider":"googleSlides","googleSlidesWindowID":%s,%s' "$window_id" \
    '"googleSlidesWindowOwnerName":"PavonixTest","googleSlidesWindowTitle":"Deck - Google Slides"'
}
presses() { grep -c '^key 0xff53' "$scratch/window.log" || true; }
pressed_since() { [ "$(presses)" -gt "$1" ]; }
# expect_press BEFORE MESSAGE: the window receives a Right key beyond the BEFORE it had.
expect_press() { wait_for 10 pressed_since "$1" || fail "$2"; }

# start_program SETTINGS [VAR=VALUE...]: the program (in $server_ns when there is one) over that
# settings file, its output in $scratch/program.log; waits for its main window ($main) and leaves
# its pid in $program_pid (under "ip netns exec", which execs it, the program's own).
start_program() {
  export XDG_CONFIG_HOME=${XDG_CONFIG_HOME:-$scratch/config} XDG_DATA_HOME=${XDG_DATA_HOME:-$scratch/data}
  mkdir -p "$XDG_CONFIG_HOME/Pavonix" "$XDG_DATA_HOME"
  printf '%s' "$1" >"$XDG_CONFIG_HOME/Pavonix/settings.json"
  shift
  ${server_ns:+ip netns exec "$server_ns"} env "$@" QT_QPA_PLATFORM=xcb "$program" >>"$scratch/program.log" 2>&1 &
  program_pid=$!
  pids+=("$program_pid")
  wait_for 30 window_of Pavonix || fail "the main window did not appear"
  main=$(window_of Pavonix)
}
# window_of TITLE: the id of the program's visible window with that title.
window_of() {
  local id
  for id in $(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null); do
    if [ "$(xdotool getwindowpid "$id" 2>/dev/null)" = "$program_pid" ]; then echo "$id"; return 0; fi
  done
  return 1
}
