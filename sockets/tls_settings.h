// The settings a caller gives when switching a connected TCP socket to TLS: a dictionary of
// named values, so that a caller's wrong key or wrong kind of value is caught at run time with a
// clear error instead of being silently dropped.
//
// The socket offers no access to its TLS context (`sslContext`) and no questions about which TLS
// engine runs (`usingSecureTransportForTLS`, `usingCFStreamForTLS`): the engine is OpenSSL behind
// TlsSession, its context never leaves the socket queue, and the platform engines those calls
// name do not exist here, so an answer could only mislead. Settings go in through this map alone.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pavonix::sockets {

struct TlsValue;
using TlsArray = std::vector<TlsValue>;

// A Boolean, a number, a text, raw bytes or an array of values.
struct TlsValue {
    std::variant<bool, std::int64_t, std::string, std::vector<std::uint8_t>, TlsArray> value;

    TlsValue(bool v) : value(v) {}
    TlsValue(int v) : value(std::int64_t{v}) {}
    TlsValue(std::int64_t v) : value(v) {}
    TlsValue(const char* v) : value(std::string(v)) {}
    TlsValue(std::string v) : value(std::move(v)) {}
    TlsValue(std::vector<std::uint8_t> v) : value(std::move(v)) {}
    TlsValue(TlsArray v) : value(std::move(v)) {}
};

using TlsSettings = std::map<std::string, TlsValue, std::less<>>;

// Boolean: the server side of the connection when true.
inline constexpr std::string_view kTlsIsServer = "kCFStreamSSLIsServer";
// Boolean (client only): the delegate decides whether the server is trusted.
inline constexpr std::string_view kTlsManuallyEvaluateTrust = "QueueTcpSocketManuallyEvaluateTrust";
// Text: the name the peer's certificate must carry.
inline constexpr std::string_view kTlsPeerName = "kCFStreamSSLPeerName";
// Array: the own identity first (bytes holding the PEM private key and certificate, the chain
// may follow), then further chain certificates as PEM bytes.
inline constexpr std::string_view kTlsCertificates = "kCFStreamSSLCertificates";
inline constexpr std::string_view kTlsPeerID = "QueueTcpSocketSSLPeerID";
// Numbers of the protocol enumeration: 2 SSL 3, 4 TLS 1.0, 7 TLS 1.1, 8 TLS 1.2, 10 TLS 1.3,
// 999 the newest; 0 leaves the bound alone.
inline constexpr std::string_view kTlsProtocolVersionMin = "QueueTcpSocketSSLProtocolVersionMin";
inline constexpr std::string_view kTlsProtocolVersionMax = "QueueTcpSocketSSLProtocolVersionMax";
inline constexpr std::string_view kTlsFalseStart = "QueueTcpSocketSSLSessionOptionFalseStart";
inline constexpr std::string_view kTlsSendOneByteRecord = "QueueTcpSocketSSLSessionOptionSendOneByteRecord";
// Array of numbers: 16-bit cipher suite codes.
inline constexpr std::string_view kTlsCipherSuites = "QueueTcpSocketSSLCipherSuites";
// Bytes: Diffie-Hellman parameters, PEM or DER.
inline constexpr std::string_view kTlsDiffieHellmanParameters = "QueueTcpSocketSSLDiffieHellmanParameters";
// Array of texts: application protocols, most preferred first.
inline constexpr std::string_view kTlsALPN = "QueueTcpSocketSSLALPN";

// Keys that would weaken certificate checking or pick a protocol by level; their presence is
// refused with the hint in `advice`.
struct RefusedTlsKey {
    std::string_view key;
    std::string_view advice;
};
inline constexpr RefusedTlsKey kRefusedTlsKeys[] = {
    {"kCFStreamSSLAllowsAnyRoot", "You must use manual trust evaluation"},
    {"kCFStreamSSLAllowsExpiredRoots", "You must use manual trust evaluation"},
    {"kCFStreamSSLValidatesCertificateChain", "You must use manual trust evaluation"},
    {"kCFStreamSSLAllowsExpiredCertificates", "You must use manual trust evaluation"},
    {"kCFStreamSSLLevel", "You must use QueueTcpSocketSSLProtocolVersionMin & QueueTcpSocketSSLProtocolVersionMax"},
};

}  // namespace pavonix::sockets
