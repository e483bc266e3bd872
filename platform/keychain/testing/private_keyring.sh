# Sourced by the tests that need a real Secret Service: a private, unlocked gnome-keyring on a
# private session bus, with HOME and the XDG folders in a scratch folder, so nothing touches the
# user's own keyring.
#
#   source private_keyring.sh
#   require_tools NAME TOOL...          # exit 77 (skip) for a missing tool; in CI a failure
#   [ -n "${PAVONIX_PRIVATE_BUS:-}" ] || exec env PAVONIX_PRIVATE_BUS=1 dbus-run-session -- bash "$0" "$@"
#   trap stop_private_keyring EXIT
#   start_private_keyring NAME          # sets `scratch` and `daemon_pid`

scratch=
daemon_pid=

require_tools() {
  local name=$1 tool
  shift
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "$name: missing $tool (scripts/install-deps installs it)" >&2
      if [ "${CI:-}" = true ]; then exit 1; fi
      exit 77
    fi
  done
}

start_private_keyring() {
  local name=$1
  scratch=$(mktemp -d)
  export HOME=$scratch/home XDG_RUNTIME_DIR=$scratch/run
  export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache
  mkdir -p "$HOME/.local/share/keyrings" "$XDG_RUNTIME_DIR"
  chmod 700 "$XDG_RUNTIME_DIR"
  # A non-empty password lets the daemon create its login collection without a prompt.
  eval "$(printf pw | gnome-keyring-daemon --unlock --components=secrets --replace)"
  # The daemon claims its bus name shortly after it detaches; wait for that (at most 10 s).
  for _ in $(seq 100); do
    daemon_pid=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
      org.freedesktop.DBus.GetConnectionUnixProcessID string:org.freedesktop.secrets 2>/dev/null |
      awk '/uint32/ {print $2}' || true)
    [ -n "$daemon_pid" ] && break
    sleep 0.1
  done
  [ -n "$daemon_pid" ] || { echo "$name: no keyring daemon" >&2; exit 1; }
}

# Also wakes a daemon that a test stopped with SIGSTOP, so that it can end.
stop_private_keyring() {
  if [ -n "$daemon_pid" ]; then
    kill -CONT "$daemon_pid" 2>/dev/null || true
    kill "$daemon_pid" 2>/dev/null || true
  fi
  if [ -n "$scratch" ]; then rm -rf "$scratch"; fi
}
