// libFuzzer target for the packet parser: any bytes give a packet or an error, never a read out of
// range, and a delivered packet encodes back to bytes that parse to the same packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "osc/osc_parser.h"

using namespace pavonix::osc;

namespace {

struct Keep : OSCPacketDestination {
    void handleMessage(std::shared_ptr<OSCMessage> message) override { packet = message; ++count; }
    void handleBundle(std::shared_ptr<OSCBundle> bundle) override { packet = bundle; ++count; }
    std::shared_ptr<OSCPacket> packet;
    int count = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Keep first;
    const auto error = OSCParser().process({data, size}, first, nullptr);
    if (error.has_value() != (first.count == 0) || first.count > 1) std::abort();
    if (error) return 0;

    // Skipped tags and ignored tails are not re-encoded, so compare the second round with the first.
    const auto encoded = first.packet->packetData();
    Keep second;
    if (OSCParser().process(encoded, second, nullptr)) std::abort();
    if (second.packet->packetData() != encoded) std::abort();
    return 0;
}
