// The few URL parts that the pairing setup URL and the remote request URL need: scheme, host,
// port, path and query items, read strictly and written with percent-encoding.
//
// The reader accepts only what RFC 3986 allows (plus UTF-8 text, which people paste from chats
// and mails), so a setup URL with a stray space or quote in it is refused rather than guessed at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pavonix::remote {

struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;  // absent for an item written without "="

    friend bool operator==(const URLQueryItem&, const URLQueryItem&) = default;
};

struct URLComponents {
    std::string scheme;               // as written; empty when the text has none
    std::optional<std::string> host;  // percent-decoded; absent without "//"
    std::optional<std::int64_t> port;
    std::string path;                               // percent-encoded, as written
    std::optional<std::vector<URLQueryItem>> queryItems;  // decoded; absent without "?"

    // Nothing when the text is not a URL: a character outside the URL alphabet, a "%" not
    // followed by two hexadecimal digits, a decoded part that is not UTF-8, a port that is not
    // digits, or an unterminated "[" host.
    static std::optional<URLComponents> parse(std::string_view text);

    // scheme "://" host [":" port] path ["?" query]. The host is written as given (an IPv6
    // address gets its brackets); query names and values are percent-encoded.
    std::string string() const;
};

// Every byte except letters, digits, "-", ".", "_" and "~" as "%XX" (upper-case hexadecimal).
std::string percentEncodeQueryComponent(std::string_view text);

// "%XX" sequences decoded; nothing for a broken sequence or a result that is not UTF-8. "+" is
// kept as "+": a standard-alphabet secret must survive the trip.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace pavonix::remote
