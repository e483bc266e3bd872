#!/usr/bin/env bash
# Settings written by one run are read back by the next; defaults are never written.
set -euo pipefail
probe=$1
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
export XDG_CONFIG_HOME=$config

"$probe" write
file=$config/Pavonix/settings.json
# The stored forms and that defaults stay unwritten are pinned by settings_test.
[ -f "$file" ] || { echo "FAIL: $file was not written"; exit 1; }

actual=$("$probe" read)
expected='httpPort 9123
oscEnabled 0
oscPort 48000
pavonixName Bühne links
presentationProvider googleSlides
listenAddressMode localhost
httpPairedDevice lpp_AAAAAAAAAAAAAAAA Phone 800000000.5'
if [ "$actual" != "$expected" ]; then
  echo "FAIL: second run read"; echo "$actual"; exit 1
fi
echo "settings persisted across two runs"
