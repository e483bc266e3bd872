// Test support: one raw HTTP exchange with a server on 127.0.0.1. Not linked into the program.
#pragma once

#include <cstdint>
#include <string>

#include "platform/net/testing/loopback.h"

namespace pavonix::testing {

// Sends raw bytes to 127.0.0.1:port and reads until the server closes (at most 5 s of silence).
inline std::string loopbackExchange(std::uint16_t port, const std::string& bytes) {
    LoopbackPeer peer(port);
    peer.send(bytes);
    return peer.receive();
}

}  // namespace pavonix::testing
