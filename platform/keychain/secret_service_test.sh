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
printf '%s\n' '<busconfig><type>session</type><listen>unix:dir='"$bare"'</listen>' \
  '<policy context="default"><allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>' >"$bare/bus.conf"
{ read -r bare_address; read -r bare_pid; } < <(dbus-daemon --config-file="$bare/bus.conf" --fork --print-address=1 --print-pid=1)
trap 'kill "$bare_pid"; rm -rf "$bare"; stop_private_keyring' EXIT
DBUS_SESSION_BUS_ADDRESS=$bare_address PAVONIX_TEST_SECRET_SERVICE=absent "$test_bin" --gtest_filter="$filter"

start_private_keyring keychain_secret_service
PAVONIX_TEST_SECRET_SERVICE=unlocked "$test_bin" --gtest_filter="$filter"
PAVONIX_TEST_SECRET_SERVICE=locked "$test_bin" --gtest_filter="$filter"

kill -STOP "$daemon_pid"
# The test wakes the daemon itself, to see it come back.
PAVONIX_TEST_SECRET_SERVICE=stalled PAVONIX_TEST_KEYRING_PID=$daemon_pid "$test_bin" --gtest_filter="$filter"
