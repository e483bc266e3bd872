#!/usr/bin/env bash
# Makes an HTTP pairing through the program's keychain functions against a private, unlocked
# gnome-keyring on a private session bus, then asks the Secret Service itself (secret-tool) for
# the item: it must hold exactly the secret of the setup URL. Exit 77 (skip) when a tool is
# missing, except in CI, where a missing tool is a failure.
set -euo pipefail
test_bin=$1

for tool in dbus-run-session dbus-send gnome-keyring-daemon secret-tool python3; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "pairing_secret_service: missing $tool (scripts/install-deps installs it)" >&2
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
  if [ -n "$daemon_pid" ]; then kill "$daemon_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

export HOME=$scratch/home XDG_RUNTIME_DIR=$scratch/run
export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache
mkdir -p "$HOME/.local/share/keyrings" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
# A non-empty password lets the daemon create its login collection without a prompt.
eval "$(printf pw | gnome-keyring-daemon --unlock --components=secrets --replace)"
for _ in $(seq 100); do
  daemon_pid=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.GetConnectionUnixProcessID string:org.freedesktop.secrets 2>/dev/null |
    awk '/uint32/ {print $2}' || true)
  [ -n "$daemon_pid" ] && break
  sleep 0.1
done
[ -n "$daemon_pid" ] || { echo "pairing_secret_service: no keyring daemon" >&2; exit 1; }

output=$scratch/setup-url
PAVONIX_KEYCHAIN=secret-service PAVONIX_TEST_PAIRING_OUTPUT=$output "$test_bin" \
  --gtest_filter='HTTPPairingSecretServiceTest.*'
[ -s "$output" ] || { echo "pairing_secret_service: no setup URL written" >&2; exit 1; }

# Pair identifier and secret from the URL; the keyring's item must hold the secret's bytes.
read -r pair_id secret_hex < <(python3 - "$output" <<'PY'
import base64, sys, urllib.parse
query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(open(sys.argv[1]).read().strip()).query))
secret = query["secret"]
print(query["pairId"], base64.urlsafe_b64decode(secret + "=" * (-len(secret) % 4)).hex())
PY
)
stored_hex=$(secret-tool lookup service com.vrel.Lanternpost.http-auth account "$pair_id" | od -An -v -tx1 | tr -d ' \n')
if [ "$stored_hex" != "$secret_hex" ]; then
  echo "pairing_secret_service: the keyring holds ${#stored_hex} hex digits that differ from the setup URL's secret" >&2
  exit 1
fi
echo "pairing_secret_service: secret of $pair_id found in the Secret Service"
