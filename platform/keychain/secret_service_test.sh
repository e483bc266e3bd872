#!/usr/bin/env bash
# Runs the Secret Service cases of keychain_test against a private, unlocked gnome-keyring on a
# private session bus, then with the collection locked, then with the daemon stopped (SIGSTOP)
# to prove that no call waits longer than its time-out and that its return is seen. Exit 77 (skip) when a tool is missing,
# except in CI, where a missing tool is a failure.
set -euo pipefail
test_bin=$1
source "$(dirname "$0")/testing/private_keyring.sh"

require_tools keychain_secret_service dbus-run-session dbus-send gnome-keyring-daemon secret-tool
[ -n "${PAVONIX_PRIVATE_BUS:-}" ] || exec env PAVONIX_PRIVATE_BUS=1 dbus-run-session -- bash "$0" "$@"
trap stop_private_keyring EXIT
start_private_keyring keychain_secret_service

filter='SecretServiceTest.*:StoreContract.*'
PAVONIX_TEST_SECRET_SERVICE=unlocked "$test_bin" --gtest_filter="$filter"
PAVONIX_TEST_SECRET_SERVICE=locked "$test_bin" --gtest_filter="$filter"

kill -STOP "$daemon_pid"
# The test wakes the daemon itself, to see it come back.
PAVONIX_TEST_SECRET_SERVICE=stalled PAVONIX_TEST_KEYRING_PID=$daemon_pid "$test_bin" --gtest_filter="$filter"
