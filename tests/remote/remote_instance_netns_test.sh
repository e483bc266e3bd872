#!/usr/bin/env bash
# The remote-instance client against the real HTTP server on another host: the server
# (http_test_server, authentication on, one pairing) runs in a network namespace of its own,
# the client (remote_test, RemoteLanternpostClientTest.RealServer...) in a second one, joined by a
# veth pair, so the server's loopback exemption does not apply and every request must carry a
# valid signature.
# Needs root and iproute2. Exit 77 (skip) when the namespaces cannot be made, except in CI.
set -euo pipefail
server_bin=$1
test_bin=$2

tag=$(printf '%05d%04x' $(($$ % 100000)) $((RANDOM)))
server_ns=pvx-rsrv-$tag
client_ns=pvx-rcli-$tag
cleanup() {
  # Only the server runs in its namespace.
  ip netns pids "$server_ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
  ip netns del "$client_ns" 2>/dev/null || true
  ip netns del "$server_ns" 2>/dev/null || true
}
trap cleanup EXIT

source "$(dirname "$0")/../../platform/testing/two_hosts.sh"
two_hosts "$server_ns" "$client_ns" "prs$tag" "prc$tag" 10.232.0.1 10.232.0.2 || {
  echo "remote_instance_netns: cannot create network namespaces (root and iproute2 needed)" >&2
  if [ "${CI:-}" = true ]; then exit 1; fi
  exit 77
}

pair_id=lpp_netns$tag
secret=$(head -c 32 /dev/urandom | base64 | tr '+/' '-_' | tr -d '=\n')
# The server prints "PORT <n>" once it listens; the client starts after that line.
exec 3< <(ip netns exec "$server_ns" "$server_bin" --listen-address 10.232.0.1 --auth "$pair_id:$secret")
read -r -t 30 _ port <&3 || { echo "remote_instance_netns: server did not start" >&2; exit 1; }

ip netns exec "$client_ns" env PAVONIX_REMOTE_HOST=10.232.0.1 PAVONIX_REMOTE_PORT="$port" \
  PAVONIX_REMOTE_PAIR_ID="$pair_id" PAVONIX_REMOTE_SECRET="$secret" \
  "$test_bin" --gtest_filter='RemoteLanternpostClientTest.RealServerOnAnotherHostVerifiesRunsAndAnswers'
