// libFuzzer target for the SLIP decoder: a stream gives the same packets and the same error
// however it is cut into reads, and the frame buffer never grows past its limit. As the server
// does, a reader stops at the first error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "osc/osc_parser.h"

using namespace pavonix::osc;

namespace {

struct Record : OSCPacketDestination {
    void handleMessage(std::shared_ptr<OSCMessage> message) override {
        auto bytes = message->packetData();
        seen.emplace_back(bytes.begin(), bytes.end());
    }
    void handleBundle(std::shared_ptr<OSCBundle> bundle) override {
        auto bytes = bundle->packetData();
        seen.emplace_back(bytes.begin(), bytes.end());
    }
    std::vector<std::string> seen;
};

struct Run {
    Record record;
    OSCFrameBuffer buffer;
    OSCStreamState state;
    int errors = 0;

    Run() {
        static int token;
        state.socket = std::shared_ptr<OSCSocket>(std::shared_ptr<int>(), reinterpret_cast<OSCSocket*>(&token));
    }
    void read(const std::uint8_t* data, std::size_t size) {
        if (errors > 0) return;
        if (OSCParser().translate({data, size}, OSCTCPStreamFraming::SLIP, buffer, state, record)) ++errors;
        if (buffer.size() > OSCParser::kMaxFrameBytes) std::abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the read size; a small frame limit cannot be chosen, so long inputs
    // reach the limit only through the test suite.
    const std::size_t step = 1 + data[0] % 16;
    ++data;
    --size;

    Run whole;
    whole.read(data, size);
    Run pieces;
    for (std::size_t at = 0; at < size; at += step) pieces.read(data + at, std::min(step, size - at));

    if (whole.record.seen != pieces.record.seen) std::abort();
    if (whole.buffer != pieces.buffer || whole.state.danglingESC != pieces.state.danglingESC) std::abort();
    if (whole.errors != pieces.errors) std::abort();
    return 0;
}
