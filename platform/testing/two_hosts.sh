# Test support (sourced): two hosts of the test's own, as network namespaces joined by a veth pair.
# two_hosts NS_A NS_B IF_A IF_B ADDRESS_A ADDRESS_B: both namespaces with their loopback up and the
# two addresses on one /30. Returns 1, leaving nothing behind, when any step fails (callers use it
# after ||, where errexit does not apply, so each step is checked here); on success the caller
# removes both namespaces at its end.
two_hosts() {
  ip netns add "$1" || return 1
  ip netns add "$2" || { ip netns del "$1"; return 1; }
  if ! { ip link add "$3" type veth peer name "$4" &&
         ip link set "$3" netns "$1" && ip link set "$4" netns "$2" &&
         ip -n "$1" addr add "$5/30" dev "$3" && ip -n "$2" addr add "$6/30" dev "$4" &&
         ip -n "$1" link set lo up && ip -n "$1" link set "$3" up &&
         ip -n "$2" link set lo up && ip -n "$2" link set "$4" up; }; then
    ip netns del "$1"; ip netns del "$2"
    return 1
  fi
}
