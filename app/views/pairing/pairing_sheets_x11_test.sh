#!/usr/bin/env bash
# The pairing sheets of the real program under a private X server, with its secrets in a private
# Secret Service (gnome-keyring on a private session bus):
#  1. HTTP pairing: a new pairing shows a QR code that zbarimg decodes to the setup URL that "Copy"
#     puts on the clipboard; a phone made from that URL alone drives the slides of a test window
#     with signed requests, and the secret is in no file;
#  2. "Cancel" in the removal alert keeps the pairing; "Remove" deletes its secret from the Secret
#     Service, and the phone's next request is refused;
#  3. remote devices: another instance's setup URL (a signed stand-in) pasted from the clipboard
#     adds and selects it, and Next in the main window reaches that instance, signed.
# Every sheet lists a device with a long name that looks like HTML. With PAVONIX_SCREENSHOTS=DIR, a
# picture of each sheet (the Bluetooth one too) is saved there. Exit 77 (skip) when a tool
# is missing, except in CI, where that is a failure.
set -euo pipefail
program=$1
probe=$2
here=$(cd "$(dirname "$0")" && pwd)

source "$here/../../../platform/keychain/testing/private_keyring.sh"
require_tools pairing_sheets_x11 xdotool xprop python3 zbarimg xclip secret-tool dbus-run-session \
  gnome-keyring-daemon
[ -n "${PAVONIX_PRIVATE_BUS:-}" ] || exec env PAVONIX_PRIVATE_BUS=1 dbus-run-session -- bash "$0" "$@"
trap stop_private_keyring EXIT
start_private_keyring pairing_sheets_x11
source "$here/../testing/x11_session.sh"
x11_test pairing_sheets_x11
at_exit() { stop_private_keyring; }

# The program in a network namespace of its own, the phone in another, joined by a veth pair:
# loopback peers need no signature, so the phone must come from elsewhere.
two_test_hosts p 10.234.0 || fail "cannot create network namespaces"
start_x11_session
start_test_window

http_port=$(free_port)
# 80 characters each (the host 75); names are text, whatever they look like.
long_name='<b>Ada</b><img src="file:///etc/hostname"> phone in the lecture hall, back rows!'
long_host=projector-booth-in-the-west-wing-of-the-old-lecture-hall.campus.example.org
long_records=$(python3 - "$long_name" "$long_host" <<'PY'
import json, sys
name, host = sys.argv[1:3]
print(json.dumps({
    "bluetoothPairedDevices": [{"id": "lpp_ble_long", "name": name, "createdAt": 800000000}],
    "remoteLanternpostTargets": [{"id": "lpt_long", "name": name, "host": host, "port": 8090, "pairID": "lpp_long",
                                  "createdAt": 800000000, "transport": "http"}]})[1:-1])
PY
)
start_program "$(printf '{"welcomeCompleted":true,"httpAuthenticationEnabled":true,"httpPort":%s,"oscPort":%s,%s,%s,%s}' \
  "$http_port" "$(free_port)" '"pavonixName":"Stage Left"' "$(test_window_settings)" "$long_records")" \
  PAVONIX_KEYCHAIN=secret-service
gone() { ! window_of "$1"; }

# phone URL METHOD PATH: the HTTP status of a request made from the setup URL alone.
phone() {
  ip netns exec "$peer_ns" python3 - "$here/../../../tests/blackbox" "$@" <<'PY'
import base64, sys, urllib.parse, urllib.request, urllib.error
sys.path.insert(0, sys.argv[1])
from harness import signed_headers
url, method, path = sys.argv[2:5]
query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(url).query))
secret = base64.urlsafe_b64decode(query["secret"] + "=" * (-len(query["secret"]) % 4))
request = urllib.request.Request(f"http://{query['host']}:{query['port']}{path}", method=method,
                                 headers=signed_headers(secret, query["pairId"], method, path),
                                 data=b"" if method == "POST" else None)
try:
    print(urllib.request.urlopen(request, timeout=5).status)
except urllib.error.HTTPError as error:
    print(error.code)
PY
}

# --- 1. A new HTTP pairing ----------------------------------------------------------------------
xdotool windowactivate --sync "$main"
keys ctrl+comma
wait_for 10 window_of Settings || fail "Ctrl+, did not open the settings window"
xdotool windowactivate --sync "$(window_of Settings)"
# The Network tab: name, picker, OSC reference, enabled, port, HTTP reference, enabled, port,
# Open…, Require Paired Devices, Manage...
for _ in $(seq 11); do keys Tab; done
keys space
wait_for 10 window_of "HTTP Paired Devices" || fail "Manage... did not open the HTTP pairing sheet"
shoot http-pairing-empty
printf '%s' "$long_name" | xclip -selection clipboard
keys ctrl+v Return  # Return in the name field adds the device
# Its credentials show once its record is on disk, which the program waits for off the main thread.
qr_shown() { "$probe" grab "$scratch/sheet.png" && zbarimg --quiet --raw "$scratch/sheet.png"; }
wait_for 10 qr_shown || fail "the new pairing's credentials did not show"
keys Tab Tab Tab Tab space  # past Add Paired Device to Copy on the Setup URL row
wait_for 10 bash -c "xclip -o -selection clipboard | grep -q '^pavonix://pair?'" || fail "Copy put no setup URL on the clipboard"
url=$(xclip -o -selection clipboard)
shoot http-pairing
"$probe" grab "$scratch/sheet.png"
decoded=$(zbarimg --quiet --raw "$scratch/sheet.png" || true)
[ "$decoded" = "$url" ] || fail "the QR code reads '$decoded', the setup URL is '$url'"
item() { python3 -c 'import sys, urllib.parse; print(dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(sys.argv[1]).query))[sys.argv[2]])' "$url" "$1"; }
pair_id=$(item pairId)
secret-tool lookup service com.vrel.Lanternpost.http-auth account "$pair_id" >/dev/null ||
  fail "the pairing's secret is not in the Secret Service"
grep -rqF "$(item secret)" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$scratch/program.log" && fail "the secret was written to a file"

before=$(presses)
[ "$(phone "$url" POST /show/next)" = 200 ] || fail "the phone's signed Next was not answered"
expect_press "$before" "the phone's signed Next did not reach the slides"

# --- 2. Removing the pairing --------------------------------------------------------------------
xdotool windowactivate --sync "$main"  # the Next above focused the slides' window
xdotool windowactivate --sync "$(window_of 'HTTP Paired Devices')"
keys Tab space  # Remove on the device's row
wait_for 10 window_of "Remove Paired Device\\?" || fail "Remove did not ask first"
shoot http-pairing-remove
# answer LEFT: clicks the alert's button whose centre stands LEFT points left of its right edge
# ("Remove" stands before "Cancel"). Keys are no use here: the window manager hands the focus
# back to the slides' window, which the phone's Next activated.
answer() {
  local id; id=$(window_of 'Remove Paired Device\?')
  eval "$(xdotool getwindowgeometry --shell "$id")"
  xdotool mousemove --window "$id" $((WIDTH - $1)) $((HEIGHT - 24)) click 1
}
answer 52
wait_for 10 gone "Remove Paired Device\\?" || fail "the alert did not close"
secret-tool lookup service com.vrel.Lanternpost.http-auth account "$pair_id" >/dev/null || fail "Cancel removed the secret"
xdotool windowactivate --sync "$(window_of 'HTTP Paired Devices')"
keys space
wait_for 10 window_of "Remove Paired Device\\?" || fail "Remove did not ask again"
answer 138
wait_for 10 gone "Remove Paired Device\\?" || fail "the alert did not close"
wait_for 10 bash -c "! secret-tool lookup service com.vrel.Lanternpost.http-auth account '$pair_id'" ||
  fail "removing the pairing left its secret"
[ "$(phone "$url" POST /show/next)" = 401 ] || fail "the removed pairing's request was not refused"
keys Tab Return  # from the name field, where Return would add its name again, to Add, where it is Done
wait_for 10 gone "HTTP Paired Devices" || fail "Return did not close the sheet"
echo "pairing_sheets_x11: HTTP pairing checked"

# The Bluetooth sheet, for its picture: Ctrl+Tab to the Bluetooth tab, whose first control (the
# Bluetooth switch) takes the keyboard; then "Manage..." (Discoverable is off while Bluetooth is).
xdotool windowactivate --sync "$(window_of Settings)"
keys ctrl+Tab Tab space
wait_for 10 window_of "Bluetooth Paired Devices" || fail "Manage... did not open the Bluetooth sheet"
shoot bluetooth-pairing
keys Return
wait_for 10 gone "Bluetooth Paired Devices" || fail "Return did not close the Bluetooth sheet"

# --- 3. Another instance as a remote device -----------------------------------------------------
other_secret=$(python3 -c 'import base64, os; print(base64.urlsafe_b64encode(os.urandom(32)).decode().rstrip("="))')
ip netns exec "$server_ns" python3 "$here/../../../tests/remote/signed_test_server.py" --pair-id lpp_other \
  --secret="$other_secret" --log "$scratch/other.jsonl" >"$scratch/other.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q '^PORT ' "$scratch/other.log" || fail "the other instance did not start"
other_port=$(awk '/^PORT /{print $2; exit}' "$scratch/other.log")
printf 'pavonix://pair?version=1&host=127.0.0.1&port=%s&pairId=lpp_other&secret=%s&algorithm=HMAC-SHA256&deviceName=Other\n' \
  "$other_port" "$other_secret" | xclip -selection clipboard
xdotool windowactivate --sync "$main"
# The target menu's button stands on the first row of the controls; its last item opens the sheet.
xdotool mousemove --window "$main" 597 91 click 1
# The menu is a window of the program's own without a title.
menu_open() { xdotool search --onlyvisible --pid "$program_pid" --name '^$' >/dev/null; }
wait_for 10 menu_open || fail "the target menu did not open"
keys Up Return
wait_for 10 window_of "Remote Devices" || fail "Manage Remote Devices... did not open the sheet"
xdotool type --delay 30 "Desk"
keys Tab Tab space  # Paste
shoot remote-devices-pasted
keys shift+Tab Return  # Return in the setup URL field adds the remote device
shoot remote-devices
keys Return  # the emptied field's Return is Done's
wait_for 10 gone "Remote Devices" || fail "Return did not close the remote devices sheet"
xdotool windowactivate --sync "$main"
keys space
wait_for 10 grep -q '"/show/next"' "$scratch/other.jsonl" || fail "Next did not reach the other instance"
grep '"/show/next"' "$scratch/other.jsonl" | grep -q '"verified": true' || fail "Next reached the other instance unsigned"
echo "pairing_sheets_x11: remote device checked"
