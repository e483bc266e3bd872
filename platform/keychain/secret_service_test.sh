#!/usr/bin/env bash
# Runs the Secret Service cases of keychain_test against a private, unlocked gnome-keyring on a
# private session bus, then with the collection locked, then with the daemon stopped (SIGSTOP)
# to prove that no call waits longer than its time-out and that its return is seen; before that,
# on the bus that can start a keyring and on one that knows none. Exit 77 (skip) when a tool is
# missing, except in CI, where a missing tool is a failure.
set -euo pipefail
test_bin=$1
source "$(dirname "$0")/testing/private_keyring.sh"

require_tools keychain_secret_service dbus-run-session dbus-send dbus-daemon gnome-keyring-daemon secret-tool
[ -n "${PAVONIX_PRIVATE_BUS:-}" ] || exec env PAVONIX_PRIVATE_BUS=1 dbus-run-session -- bash "$0" "$@"
filter='SecretServiceTest.*:StoreContract.*'

# The session bus can start the keyring (its package installs the service file) but has not.
PAVONIX_TEST_SECRET_SERVICE=activatable "$test_bin" --gtest_filter="$filter"
bare=$(mktemp -d)
bare_bus=
at_exit() {
  if [ -n "$bare_bus" ]; then kill "$bare_bus" 2>/dev/null || true; fi
  rm -rf "$bare"
  stop_private_keyring
}
trap at_exit EXIT
printf '%s\n' '<busconfig><type>session</type><listen>unix:dir='"$bare"'</listen>' \
  '<policy context="default"><allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>' >"$bare/bus.conf"
dbus-daemon --config-file="$bare/bus.conf" --nofork --print-address=3 3>"$bare/address" &
bare_bus=$!
for _ in $(seq 100); do [ -s "$bare/address" ] && break; sleep 0.1; done
DBUS_SESSION_BUS_ADDRESS=$(head -1 "$bare/address") PAVONIX_TEST_SECRET_SERVICE=absent "$test_bin" --gtest_filter="$filter"

start_private_keyring keychain_secret_service
PAVONIX_TEST_SECRET_SERVICE=unlocked "$test_bin" --gtest_filter="$filter"
PAVONIX_TEST_SECRET_SERVICE=locked "$test_bin" --gtest_filter="$filter"

kill -STOP "$daemon_pid"
# The test wakes the daemon itself, to see it come back.
PAVONIX_TEST_SECRET_SERVICE=stalled PAVONIX_TEST_KEYRING_PID=$daemon_pid "$test_bin" --gtest_filter="$filter"
