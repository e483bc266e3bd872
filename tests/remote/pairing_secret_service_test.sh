#!/usr/bin/env bash
# Makes an HTTP pairing through the program's keychain functions against a private, unlocked
# gnome-keyring on a private session bus, then asks the Secret Service itself (secret-tool) for
# the item: it must hold exactly the secret of the setup URL. Exit 77 (skip) when a tool is
# missing, except in CI, where a missing tool is a failure.
set -euo pipefail
test_bin=$1

source "$(dirname "$0")/../../platform/keychain/testing/private_keyring.sh"

require_tools pairing_secret_service dbus-run-session dbus-send gnome-keyring-daemon secret-tool python3
[ -n "${PAVONIX_PRIVATE_BUS:-}" ] || exec env PAVONIX_PRIVATE_BUS=1 dbus-run-session -- bash "$0" "$@"
trap stop_private_keyring EXIT
start_private_keyring pairing_secret_service

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
