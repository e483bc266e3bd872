#!/usr/bin/env bash
# The remote-instance client against the real HTTP server on another host: the server
# (http_test_server, authentication on, one pairing) runs in a network namespace of its own,
# the client (remote_test, RemoteLanternpostClientTest.RealServer...) in a second one, joined by a veth pair, so the
# server's loopback exemption does not apply and every request must carry a valid signature.
# Needs root and iproute2. Exit 77 (skip) when either is missing, except in CI.
set -euo pipefail
server_bin=$1
test_bin=$2

skip() {
  echo "remote_instance_netns: $1" >&2
  if [ "${CI:-}" = true ]; then exit 1; fi
  exit 77
}
command -v ip >/dev/null 2>&1 || skip "missing ip (iproute2)"
[ "$(id -u)" = 0 ] || skip "needs root for network namespaces"

tag=$(printf '%05d%04x' $(($$ % 100000)) $((RANDOM)))
server_ns=pvx-rsrv-$tag
client_ns=pvx-rcli-$tag
server_if=prs$tag
client_if=prc$tag
server_address=10.232.0.1
client_address=10.232.0.2
scratch=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  ip netns del "$client_ns" 2>/dev/null || true
  ip netns del "$server_ns" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

source "$(dirname "$0")/../../platform/testing/two_hosts.sh"
two_hosts "$server_ns" "$client_ns" "$server_if" "$client_if" "$server_address" "$client_address" \
  || skip "cannot create network namespaces"

pair_id=lpp_netns$tag
secret=$(head -c 32 /dev/urandom | base64 | tr '+/' '-_' | tr -d '=\n')
# The files exist before the server starts, so the wait below never reads a missing one.
: >"$scratch/server.out"
ip netns exec "$server_ns" "$server_bin" --listen-address "$server_address" --auth "$pair_id:$secret" \
  >"$scratch/server.out" 2>"$scratch/server.err" &
server_pid=$!
port=
for _ in $(seq 100); do
  port=$(awk '/^PORT / {print $2}' "$scratch/server.out")
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { cat "$scratch/server.err" >&2; echo "remote_instance_netns: server did not start" >&2; exit 1; }

ip netns exec "$client_ns" env PAVONIX_REMOTE_PEER="$server_address:$port:$pair_id:$secret" \
  "$test_bin" --gtest_filter='RemoteLanternpostClientTest.RealServerOnAnotherHostVerifiesRunsAndAnswers'
