# Test support for the views' X11 scripts (sourced): bounded waits, and a private X server with a
# window manager. The script provides $scratch (its scratch folder), the array pids (killed at
# its end) and a fail function.

wait_for() {  # wait_for SECONDS COMMAND...
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# Xvfb on a display it picks itself (1280 by 800), then openbox; exports DISPLAY.
start_x11_session() {
  export XDG_CACHE_HOME=$scratch/cache XDG_RUNTIME_DIR=$scratch/runtime
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
  pids+=($!)
  wait_for 10 grep -q '[0-9]' "$scratch/display" || fail "Xvfb did not start"
  export DISPLAY=":$(tr -dc '0-9' <"$scratch/display")"
  wait_for 10 xprop -root || fail "Xvfb does not answer"
  XDG_CONFIG_HOME=$scratch/openbox openbox >"$scratch/openbox.log" 2>&1 &
  pids+=($!)
  wait_for 10 bash -c "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'" || fail "openbox did not start"
  # Qt's X11 platform reads the keymap through libxkbcommon-x11, whose bounded strndup of an
  # unterminated buffer trips strict_string_checks; that check stays off for the program here.
  export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0"
}

# program_window TITLE PID: the id of that process's visible window with that title.
program_window() {
  local id
  for id in $(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null); do
    if [ "$(xdotool getwindowpid "$id" 2>/dev/null)" = "$2" ]; then echo "$id"; return 0; fi
  done
  return 1
}
