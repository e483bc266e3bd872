#!/usr/bin/env bash
# with_xvfb.sh [--bare] [--small-screen] COMMAND [ARGS...]: runs COMMAND on a private X server with
# DISPLAY and PAVONIX_XVFB naming it: Xvfb (1280 by 800, on a display number it picks itself)
# managed by openbox, or by nothing with --bare. --small-screen adds a second screen of 1024 by 600
# (a netbook's, or a projector's at a low resolution), with an openbox of its own, named by
# PAVONIX_XVFB_SMALL. The servers stop when COMMAND ends; its exit status is kept.
# A missing Xvfb, openbox or xprop is a skip (77) for ctest, and a failure in CI.
set -u
window_manager=true
screens=(-screen 0 1280x800x24)
while :; do
  case "${1:-}" in
    --bare) window_manager=false; shift ;;
    --small-screen) screens+=(-screen 1 1024x600x24); shift ;;
    *) break ;;
  esac
done
if ! command -v Xvfb openbox xprop >/dev/null; then
  echo "with_xvfb: Xvfb, openbox or xprop is missing (scripts/install-deps test installs them)" >&2
  if [ "${CI:-}" = true ]; then exit 1; else exit 77; fi
fi

scratch=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$scratch"' EXIT
fail() { echo "with_xvfb: $1" >&2; cat "$scratch"/*.log >&2; exit 1; }
wait_for() { timeout 15 bash -c "until $1 >/dev/null 2>&1; do sleep 0.05; done"; }  # wait_for 'COMMAND'

# Xvfb writes the display number it chose, then a newline, once it accepts connections; without
# -noreset it would reset when its first client leaves, under a window manager that is connecting.
Xvfb -displayfd 3 "${screens[@]}" -nolisten tcp -noreset 3>"$scratch/display" >"$scratch/xvfb.log" 2>&1 &
pids+=($!)
wait_for "grep -q '^[0-9][0-9]*\$' $scratch/display && [ \$(wc -l <$scratch/display) = 1 ]" || fail "Xvfb did not report a display"
display=":$(tr -dc '0-9' <"$scratch/display")"
export DISPLAY=$display PAVONIX_XVFB=$display

if [ "${#screens[@]}" -gt 3 ]; then export PAVONIX_XVFB_SMALL=$display.1; fi

if $window_manager; then
  for screen in "$display" ${PAVONIX_XVFB_SMALL:-}; do
    # Its own configuration and cache, not the user's.
    DISPLAY=$screen HOME=$scratch XDG_CONFIG_HOME=$scratch XDG_CACHE_HOME=$scratch openbox --sm-disable \
      >"$scratch/openbox$screen.log" 2>&1 &
    pids+=($!)
    # Its client list is published last in its start.
    wait_for "DISPLAY=$screen xprop -root _NET_CLIENT_LIST | grep -q 'window id'" || fail "openbox did not start on $screen"
  done
fi

"$@"
