// Parsing and encoding OSC packets side by side with liblo and oscpack (the Debian packages, called
// through their public API only). Three packets: a typical command message, a 10-argument message
// and a bundle of 8 messages. Parsing ends with every argument read, as a receiver needs them;
// encoding writes into a buffer that the caller reuses, which is how each library can encode
// without allocating, and for this library also through packetData(), which returns new bytes.
#include <benchmark/benchmark.h>

#include <lo/lo.h>
#include <oscpack/osc/OscOutboundPacketStream.h>
#include <oscpack/osc/OscReceivedElements.h>

#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "osc/osc_encoding.h"
#include "osc/osc_parser.h"

namespace {

using namespace pavonix::osc;
using Bytes = std::vector<std::uint8_t>;

enum Packet { typical, tenArguments, bundleOfEight };

std::shared_ptr<OSCMessage> ourMessage(Packet packet, int i = 7) {
    if (packet == typical) return std::make_shared<OSCMessage>("/goto/slide/number", std::vector<OSCValue>{i});
    return std::make_shared<OSCMessage>(
        "/mixer/channel/3", std::vector<OSCValue>{1, 2, 0.5f, std::string("alpha"), 1.5f, 3, std::string("beta gamma"), 4,
                                                  2.5f, OSCArgument::oscTrue});
}

std::shared_ptr<OSCPacket> ourPacket(Packet packet) {
    if (packet != bundleOfEight) return ourMessage(packet);
    std::vector<std::shared_ptr<OSCPacket>> elements;
    for (int i = 0; i < 8; ++i) elements.push_back(ourMessage(typical, i));
    return std::make_shared<OSCBundle>(std::move(elements));
}

Bytes wire(Packet packet) { return ourPacket(packet)->packetData(); }

// What a receiver does with the arguments, the same for every library.
struct Sink {
    std::int64_t sum = 0;
    void add(std::int64_t v) { sum += v; }
};

// ---- this library

struct Touch : OSCPacketDestination {
    Sink sink;
    void touch(const OSCMessage& m) {
        sink.add(static_cast<std::int64_t>(m.addressPattern().size()));
        for (const OSCValue& v : m.arguments()) {
            if (auto* i = std::get_if<std::int32_t>(&v)) sink.add(*i);
            else if (auto* f = std::get_if<float>(&v)) sink.add(std::bit_cast<std::int32_t>(*f));
            else if (auto* s = std::get_if<std::string>(&v)) sink.add(static_cast<std::int64_t>(s->size()));
            else sink.add(1);
        }
    }
    void handleMessage(std::shared_ptr<OSCMessage> m) override { touch(*m); }
    void handleBundle(std::shared_ptr<OSCBundle> b) override {
        for (const auto& e : b->elements()) touch(static_cast<const OSCMessage&>(*e));
    }
};

void Pavonix_Parse(benchmark::State& state, Packet packet) {
    const Bytes bytes = wire(packet);
    Touch touch;
    OSCParser parser;
    for (auto _ : state) {
        if (parser.process(bytes, touch, nullptr)) state.SkipWithError("parse failed");
    }
    benchmark::DoNotOptimize(touch.sink.sum);
}

void Pavonix_Encode(benchmark::State& state, Packet packet) {
    const auto message = ourPacket(packet);
    Bytes buffer(4096);
    for (auto _ : state) {
        std::uint8_t* end = packet == bundleOfEight ? static_cast<const OSCBundle&>(*message).encode(buffer.data())
                                                    : static_cast<const OSCMessage&>(*message).encode(buffer.data());
        benchmark::DoNotOptimize(end);
        benchmark::ClobberMemory();
    }
}

void Pavonix_PacketData(benchmark::State& state, Packet packet) {
    const auto message = ourPacket(packet);
    for (auto _ : state) {
        auto bytes = message->packetData();
        benchmark::DoNotOptimize(bytes.data());
    }
}

// ---- liblo

void loTouch(lo_message m, const char* path, Sink& sink) {
    sink.add(static_cast<std::int64_t>(std::strlen(path)));
    const char* types = lo_message_get_types(m);
    lo_arg** argv = lo_message_get_argv(m);
    for (int i = 0; types[i]; ++i) {
        switch (types[i]) {
            case 'i': sink.add(argv[i]->i); break;
            case 'f': sink.add(std::bit_cast<std::int32_t>(argv[i]->f)); break;
            case 's': sink.add(static_cast<std::int64_t>(std::strlen(&argv[i]->s))); break;
            default: sink.add(1);
        }
    }
}

bool loParseMessage(std::uint8_t* data, std::size_t size, Sink& sink) {
    int result = 0;
    lo_message m = lo_message_deserialise(data, size, &result);
    if (!m) return false;
    loTouch(m, reinterpret_cast<const char*>(data), sink);
    lo_message_free(m);
    return true;
}

void Liblo_Parse(benchmark::State& state, Packet packet) {
    Bytes bytes = wire(packet);
    Sink sink;
    for (auto _ : state) {
        if (packet != bundleOfEight) {
            if (!loParseMessage(bytes.data(), bytes.size(), sink)) state.SkipWithError("parse failed");
            continue;
        }
        // liblo offers no public bundle parser; its elements are walked here and each message is
        // parsed by liblo.
        for (std::size_t at = 16; at + 4 <= bytes.size();) {
            const std::size_t size = readUInt32(bytes.data() + at);
            if (!loParseMessage(bytes.data() + at + 4, size, sink)) state.SkipWithError("parse failed");
            at += 4 + size;
        }
    }
    benchmark::DoNotOptimize(sink.sum);
}

lo_message loMessage(Packet packet, int i = 7) {
    lo_message m = lo_message_new();
    if (packet == typical) {
        lo_message_add_int32(m, i);
        return m;
    }
    lo_message_add_int32(m, 1);
    lo_message_add_int32(m, 2);
    lo_message_add_float(m, 0.5f);
    lo_message_add_string(m, "alpha");
    lo_message_add_float(m, 1.5f);
    lo_message_add_int32(m, 3);
    lo_message_add_string(m, "beta gamma");
    lo_message_add_int32(m, 4);
    lo_message_add_float(m, 2.5f);
    lo_message_add_true(m);
    return m;
}

void loEncode(benchmark::State& state, Packet packet, bool freshBuffer) {
    Bytes buffer(4096);
    const char* path = packet == typical ? "/goto/slide/number" : "/mixer/channel/3";
    if (packet != bundleOfEight) {
        lo_message m = loMessage(packet);
        for (auto _ : state) {
            std::size_t size = 0;
            void* out = lo_message_serialise(m, path, freshBuffer ? nullptr : buffer.data(), &size);
            benchmark::DoNotOptimize(out);
            benchmark::ClobberMemory();
            if (freshBuffer) std::free(out);
        }
        lo_message_free(m);
        return;
    }
    lo_timetag immediate = LO_TT_IMMEDIATE;
    lo_bundle b = lo_bundle_new(immediate);
    std::vector<lo_message> messages;
    for (int i = 0; i < 8; ++i) {
        messages.push_back(loMessage(typical, i));
        lo_bundle_add_message(b, "/goto/slide/number", messages.back());
    }
    for (auto _ : state) {
        std::size_t size = 0;
        void* out = lo_bundle_serialise(b, freshBuffer ? nullptr : buffer.data(), &size);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
        if (freshBuffer) std::free(out);
    }
    lo_bundle_free_recursive(b);
}

void Liblo_Encode(benchmark::State& state, Packet packet) { loEncode(state, packet, false); }
void Liblo_SerialiseFresh(benchmark::State& state, Packet packet) { loEncode(state, packet, true); }

// ---- oscpack

void oscpackTouch(const osc::ReceivedMessage& m, Sink& sink) {
    sink.add(static_cast<std::int64_t>(std::strlen(m.AddressPattern())));
    for (auto a = m.ArgumentsBegin(); a != m.ArgumentsEnd(); ++a) {
        switch (a->TypeTag()) {
            case 'i': sink.add(a->AsInt32()); break;
            case 'f': sink.add(std::bit_cast<std::int32_t>(a->AsFloat())); break;
            case 's': sink.add(static_cast<std::int64_t>(std::strlen(a->AsString()))); break;
            default: sink.add(1);
        }
    }
}

void Oscpack_Parse(benchmark::State& state, Packet packet) {
    const Bytes bytes = wire(packet);
    Sink sink;
    for (auto _ : state) {
        osc::ReceivedPacket p(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (p.IsMessage()) {
            oscpackTouch(osc::ReceivedMessage(p), sink);
        } else {
            osc::ReceivedBundle b(p);
            for (auto e = b.ElementsBegin(); e != b.ElementsEnd(); ++e) oscpackTouch(osc::ReceivedMessage(*e), sink);
        }
    }
    benchmark::DoNotOptimize(sink.sum);
}

void oscpackWrite(osc::OutboundPacketStream& p, Packet packet, int i = 7) {
    if (packet == typical) {
        p << osc::BeginMessage("/goto/slide/number") << i << osc::EndMessage;
    } else if (packet == tenArguments) {
        p << osc::BeginMessage("/mixer/channel/3") << 1 << 2 << 0.5f << "alpha" << 1.5f << 3 << "beta gamma" << 4
          << 2.5f << true << osc::EndMessage;
    } else {
        p << osc::BeginBundleImmediate;
        for (int k = 0; k < 8; ++k) oscpackWrite(p, typical, k);
        p << osc::EndBundle;
    }
}

void Oscpack_Encode(benchmark::State& state, Packet packet) {
    std::vector<char> buffer(4096);
    for (auto _ : state) {
        osc::OutboundPacketStream p(buffer.data(), buffer.size());
        oscpackWrite(p, packet);
        benchmark::DoNotOptimize(p.Data());
        benchmark::ClobberMemory();
    }
}

}  // namespace

#define OSC_BENCH(name)                                 \
    BENCHMARK_CAPTURE(name, typical, typical);          \
    BENCHMARK_CAPTURE(name, ten_arguments, tenArguments); \
    BENCHMARK_CAPTURE(name, bundle_of_8, bundleOfEight)

OSC_BENCH(Pavonix_Parse);
OSC_BENCH(Liblo_Parse);
OSC_BENCH(Oscpack_Parse);
OSC_BENCH(Pavonix_Encode);
OSC_BENCH(Liblo_Encode);
OSC_BENCH(Oscpack_Encode);
// Encoding into new bytes: packetData() and liblo's serialise with a buffer of its own.
OSC_BENCH(Pavonix_PacketData);
OSC_BENCH(Liblo_SerialiseFresh);

BENCHMARK_MAIN();
