#!/usr/bin/env bash
# Runs the Secret Service cases of keychain_test against a private, unlocked gnome-keyring on a
# private session bus, then with the collection locked, then with the daemon stopped (SIGSTOP)
# to prove that no call waits longer than its time-out. Exit 77 (skip) when a tool is missing,
# except in CI, where a missing tool is a failure.
set -euo pipefail
test_bin=$1

for tool in dbus-run-session dbus-send gnome-keyring-daemon secret-tool; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "keychain_secret_service: missing $tool (scripts/install-deps installs it)" >&2
    if [ "${CI:-}" = true ]; then exit 1; fi
    exit 77
  fi
done

if [ -z "${PAVONIX_PRIVATE_BUS:-}" ]; then
  exec env PAVONIX_PRIVATE_BUS=1 dbus-run-session -- bash "$0" "$@"
fi

scratch=$(mktemp -d)
daemon_pid=
cleanup() {
  if [ -n "$daemon_pid" ]; then
    kill -CONT "$daemon_pid" 2>/dev/null || true
    kill "$daemon_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# Everything the daemon and the tests write stays in the scratch folder.
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
[ -n "$daemon_pid" ] || { echo "keychain_secret_service: no keyring daemon" >&2; exit 1; }

PAVONIX_TEST_SECRET_SERVICE=1 "$test_bin" \
  --gtest_filter='SecretServiceTest.*:Stores/StoreContractTest.*/SecretService'
PAVONIX_TEST_SECRET_SERVICE_LOCKED=1 "$test_bin" --gtest_filter='LockedSecretServiceTest.*'

kill -STOP "$daemon_pid"
PAVONIX_TEST_SECRET_SERVICE_STALLED=1 "$test_bin" --gtest_filter='StalledSecretServiceTest.*'
