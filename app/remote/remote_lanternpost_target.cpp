#include "app/remote/remote_lanternpost_target.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>

#include <cctype>
#include <limits>
#include <map>

#include "app/core/text.h"
#include "app/remote/url_components.h"
#include "platform/crypto/base64.h"

namespace pavonix::remote {
namespace {

using Error = RemoteLanternpostTargetError;

// Host names are at most 253 characters; a little room for the bytes of non-ASCII names.
constexpr std::size_t kMaxHostBytes = 255;

// An optional sign, then only digits; nothing outside the 64-bit range.
std::optional<std::int64_t> parseDecimalInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulate as a negative number so that the 64-bit minimum fits too.
    std::int64_t value = 0;
    constexpr std::int64_t minimum = std::numeric_limits<std::int64_t>::min();
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value < (minimum + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == minimum) return std::nullopt;
        value = -value;
    }
    return value;
}

bool isIPv6Literal(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
    const std::string terminated(text);
    in6_addr address{};
    return inet_pton(AF_INET6, terminated.c_str(), &address) == 1;
}

// Decodes one UTF-8 sequence starting at `i` (the text is known to be valid UTF-8).
char32_t decodeCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    int length = byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    char32_t value = byte & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
    for (int k = 1; k < length; ++k) value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += length;
    return value;
}

}  // namespace

RemoteLanternpostTargetError::RemoteLanternpostTargetError(Kind kind, KeychainStatus status, std::string detail)
    : kind_(kind), status_(kind == Kind::keychain ? status : 0), detail_(std::move(detail)), description_(description()) {}

std::string RemoteLanternpostTargetError::description() const {
    switch (kind_) {
        case Kind::keychain:
            return "Unable to save the remote device secret in Keychain. Status " + keychain::statusText(status_) + "." +
                   keychainWhere(detail_);
        case Kind::invalidSetupURL:
            return "Enter a valid Pavonix setup URL.";
        case Kind::unsupportedSetupURL:
            return "This Pavonix setup URL version is not supported.";
        case Kind::unsupportedAlgorithm:
            return "This Pavonix setup URL uses an unsupported signing algorithm.";
        case Kind::unsupportedBluetoothProtocol:
            return "This Pavonix host uses an unsupported Bluetooth protocol version.";
        case Kind::invalidBluetoothPairingPayload:
            return "The Bluetooth pairing response was unreadable.";
        case Kind::missingSecret:
            return "The saved pairing secret is missing. Remove this remote device and add it again.";
        case Kind::randomBytes:
            return "Unable to generate secure random bytes.";
        case Kind::unreadableSecret:
            return "The saved pairing secret could not be read: " + detail_ + ".";
    }
    return {};
}

const std::set<std::string, std::less<>>& RemoteLanternpostSetup::supportedSchemes() {
    static const std::set<std::string, std::less<>> schemes{std::string(kSetupURLScheme),
                                                            std::string(kLegacySetupURLScheme)};
    return schemes;
}

bool isUsablePairID(std::string_view pairID) {
    if (pairID.empty()) return false;
    for (char c : pairID) {
        if (c < 0x21 || c > 0x7E) return false;
    }
    return true;
}

bool isUsableRemoteHost(std::string_view host) {
    if (host.empty() || host.size() > kMaxHostBytes || !isValidUTF8(host)) return false;
    if (isIPv6Literal(host)) return true;
    for (std::size_t i = 0; i < host.size();) {
        const auto byte = static_cast<unsigned char>(host[i]);
        if (byte < 0x80) {
            const char c = host[i];
            const bool plain = std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
            if (!plain) return false;
            ++i;
            continue;
        }
        const char32_t codePoint = decodeCodePoint(host, i);
        const bool control = codePoint <= 0x9F || (codePoint >= 0x200B && codePoint <= 0x200F) ||
                             codePoint == 0xFEFF || (codePoint >= 0x2060 && codePoint <= 0x2064);
        if (control || isWhitespaceOrNewline(codePoint)) return false;
    }
    return true;
}

RemoteLanternpostSetup RemoteLanternpostSetup::parse(std::string_view urlString) {
    const std::string trimmed = trimmedWhitespaceAndNewlines(urlString);
    const auto components = URLComponents::parse(trimmed);
    if (!components) throw Error(Error::Kind::invalidSetupURL);
    if (!supportedSchemes().contains(asciiLowercased(components->scheme))) throw Error(Error::Kind::invalidSetupURL);
    if (!components->host || asciiLowercased(*components->host) != kSetupURLHost) {
        throw Error(Error::Kind::invalidSetupURL);
    }

    std::map<std::string, std::string, std::less<>> items;
    if (components->queryItems) {
        for (const URLQueryItem& item : *components->queryItems) {
            if (item.value) items[item.name] = *item.value;
        }
    }
    auto item = [&](std::string_view name) -> const std::string* {
        auto found = items.find(name);
        return found == items.end() ? nullptr : &found->second;
    };

    const std::string* version = item("version");
    if (!version || *version != kSetupURLVersion) throw Error(Error::Kind::unsupportedSetupURL);
    const std::string* algorithm = item("algorithm");
    if (!algorithm || *algorithm != kSetupURLAlgorithm) throw Error(Error::Kind::unsupportedAlgorithm);

    RemoteLanternpostSetup setup;
    const std::string* host = item("host");
    if (!host) throw Error(Error::Kind::invalidSetupURL);
    setup.host = trimmedWhitespaceAndNewlines(*host);
    // The host ends up inside a request URL: anything that could change that URL's meaning is
    // refused here rather than at the first request.
    if (!isUsableRemoteHost(setup.host)) throw Error(Error::Kind::invalidSetupURL);

    const std::string* portText = item("port");
    const auto port = portText ? parseDecimalInteger(*portText) : std::nullopt;
    if (!port || *port < 1 || *port > 65535) throw Error(Error::Kind::invalidSetupURL);
    setup.port = *port;

    const std::string* pairID = item("pairId");
    if (!pairID) throw Error(Error::Kind::invalidSetupURL);
    setup.pairID = trimmedWhitespaceAndNewlines(*pairID);
    if (!isUsablePairID(setup.pairID)) throw Error(Error::Kind::invalidSetupURL);

    const std::string* secretText = item("secret");
    if (!secretText || secretText->empty()) throw Error(Error::Kind::invalidSetupURL);
    auto secret = crypto::base64urlDecode(*secretText);
    // An empty key would sign every request with a value anyone can compute.
    if (!secret || secret->empty()) throw Error(Error::Kind::invalidSetupURL);
    setup.secret = std::move(*secret);

    if (const std::string* deviceName = item("deviceName")) {
        std::string name = trimmedWhitespaceAndNewlines(*deviceName);
        if (!name.empty()) setup.deviceName = std::move(name);
    }
    setup.version = *version;
    setup.algorithm = *algorithm;
    return setup;
}

Bytes makeRandomBytes(std::size_t count, const RandomByteSource& random) {
    auto bytes = random ? random(count) : std::nullopt;
    if (!bytes || bytes->size() != count) throw Error(Error::Kind::randomBytes);
    return std::move(*bytes);
}

RemoteLanternpostTarget makeRemoteLanternpostTarget(std::string_view setupURLString, std::string_view name,
                                                    Date createdAt, const RandomByteSource& random) {
    RemoteLanternpostSetup setup = RemoteLanternpostSetup::parse(setupURLString);
    RemoteLanternpostTarget target;
    target.id = std::string(kRemoteTargetIDPrefix) + crypto::base64urlEncode(makeRandomBytes(kPairIDRandomByteCount, random));

    const KeychainStatus status = keychainSaveData(setup.secret, remoteTargetsKeychainService, target.id);
    OPENSSL_cleanse(setup.secret.data(), setup.secret.size());
    if (status != keychain::success) throw RemoteLanternpostTargetError::keychain(status, keychainSaveProblem(status));

    std::string trimmedName = trimmedWhitespaceAndNewlines(name);
    target.name = !trimmedName.empty() ? std::move(trimmedName) : setup.deviceName.value_or("");
    target.host = std::move(setup.host);
    target.port = setup.port;
    target.pairID = std::move(setup.pairID);
    target.createdAt = createdAt;
    target.transport = RemoteLanternpostTransport::http;
    return target;
}

}  // namespace pavonix::remote
