// The OSC packet model: what a message argument can be, the packet interface that messages and
// bundles share, and the receivers of parsed packets and of the library's debug lines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "osc/osc_time_tag.h"

namespace pavonix::osc {

// The transport a received packet came over; a reply to the packet goes back through it.
class OSCSocket;

// The kind of a tagged argument. The four cases oscTrue, oscFalse, oscNil and oscImpulse are also
// argument values of their own (their tags carry no bytes). oscBool is never produced here.
enum class OSCArgument {
    oscString,
    oscBlob,
    oscInt,
    oscBool,
    oscFloat,
    oscTrue,
    oscFalse,
    oscNil,
    oscImpulse,
    oscTimetag,
};

struct OSCBlob {
    std::vector<std::uint8_t> bytes;
    friend bool operator==(const OSCBlob&, const OSCBlob&) = default;
};

// One argument value. Integers of either width are tagged "i" and sent as their low 32 bits;
// floats of either width are tagged "f" and sent as the nearest 32-bit float. An OSCArgument
// that is not one of the four markers is carried in the argument list but neither tagged nor
// sent.
using OSCValue = std::variant<std::string, OSCBlob, std::int32_t, std::int64_t, float, double, OSCTimeTag, OSCArgument>;

class OSCPacket {
public:
    virtual ~OSCPacket() = default;
    virtual std::vector<std::uint8_t> packetData() const = 0;
};

class OSCMessage;
class OSCBundle;

// Receives each parsed packet whole, once, on the parser's thread.
class OSCPacketDestination {
public:
    virtual ~OSCPacketDestination() = default;
    virtual void handleMessage(std::shared_ptr<OSCMessage> message) = 0;
    virtual void handleBundle(std::shared_ptr<OSCBundle> bundle) = 0;
};

// What a debug line of the server tells of: its traffic and bookkeeping; a problem with what a
// peer sent, after which the server goes on serving; or a failure of the server's own sockets.
enum class OSCDebugLineKind { trace, peerProblem, serverFailure };

// Receives the library's free-text debug lines.
class OSCDebugDelegate {
public:
    virtual ~OSCDebugDelegate() = default;
    virtual void handleDebugMessage(std::string_view line) = 0;
    // The server's lines come with their kind; a receiver that does not tell them apart gets the
    // line alone.
    virtual void handleDebugLine(std::string_view line, OSCDebugLineKind /*kind*/) { handleDebugMessage(line); }
    // Whether the one line per received datagram or read is wanted; a receiver that only looks
    // for failures says no, and a busy server is spared building lines it would drop.
    virtual bool wantsTrafficLines() const { return true; }
};

}  // namespace pavonix::osc
