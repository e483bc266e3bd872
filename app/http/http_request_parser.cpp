#include "app/http/http_request_parser.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "app/core/text.h"

namespace pavonix::http {

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";

// Length of a white-space character (tab or a Unicode space separator, Zs) at the start of
// `text`, 0 when there is none.
std::size_t leadingSpaceLength(std::string_view text) {
    if (text.empty()) return 0;
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (text[0] == ' ' || text[0] == '\t') return 1;
    if (text.size() >= 2 && at(0) == 0xC2 && at(1) == 0xA0) return 2;  // U+00A0
    if (text.size() >= 3) {
        if (at(0) == 0xE1 && at(1) == 0x9A && at(2) == 0x80) return 3;  // U+1680
        if (at(0) == 0xE2 && at(1) == 0x80 && (at(2) <= 0x8A || at(2) == 0xAF)) return 3;  // U+2000..200A, U+202F
        if (at(0) == 0xE2 && at(1) == 0x81 && at(2) == 0x9F) return 3;  // U+205F
        if (at(0) == 0xE3 && at(1) == 0x80 && at(2) == 0x80) return 3;  // U+3000
    }
    return 0;
}

std::size_t trailingSpaceLength(std::string_view text) {
    for (std::size_t length : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
        if (text.size() >= length && leadingSpaceLength(text.substr(text.size() - length)) == length) return length;
    }
    return 0;
}

std::string_view trimSpaces(std::string_view text) {
    while (std::size_t n = leadingSpaceLength(text)) text.remove_prefix(n);
    while (std::size_t n = trailingSpaceLength(text)) text.remove_suffix(n);
    return text;
}

enum class LengthReading { value, notANumber, negative, overflow };

// An optional sign and decimal digits, nothing else. Anything else reads as "not a number",
// which counts as no body.
LengthReading readContentLength(std::string_view text, std::uint64_t& value) {
    value = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return LengthReading::notANumber;
    bool overflow = false;
    for (char c : text) {
        if (c < '0' || c > '9') return LengthReading::notANumber;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - digit) / 10) {
            overflow = true;
        } else {
            value = value * 10 + digit;
        }
    }
    if (overflow) return LengthReading::overflow;
    if (negative && value != 0) return LengthReading::negative;
    return LengthReading::value;
}

// RFC 9110 tchar: what a field name is made of.
bool isTokenCharacter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isControlCharacter(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && asciiLowercased(a) == asciiLowercased(b);
}

// Parses the head (the bytes before CR LF CR LF) into method, path and headers, and the body
// length it declares. False when the head can never make a request.
bool parseHead(std::string_view head, const HTTPParseLimits& limits, HTTPRequest& request,
               std::size_t& contentLength) {
    if (!isValidUTF8(head)) return false;

    bool sawRequestLine = false;
    std::size_t position = 0;
    while (position <= head.size()) {
        std::size_t end = head.find("\r\n", position);
        if (end == std::string_view::npos) end = head.size();
        const std::string_view line = head.substr(position, end - position);
        position = end + 2;
        if (line.empty()) continue;

        if (!sawRequestLine) {
            sawRequestLine = true;
            std::string_view pieces[2];
            std::size_t count = 0;
            std::size_t at = 0;
            while (at < line.size() && count < 2) {
                while (at < line.size() && line[at] == ' ') ++at;
                const std::size_t start = at;
                while (at < line.size() && line[at] != ' ') ++at;
                if (at > start) pieces[count++] = line.substr(start, at - start);
            }
            if (count < 2) return false;
            request.method = std::string(pieces[0]);
            request.path = std::string(pieces[1]);
            continue;
        }

        // A line that continues the one before (obs-fold) would be read as its own line by some
        // and as part of the previous value by others: refused, as RFC 9112 section 5.2 allows.
        if (line.front() == ' ' || line.front() == '\t') return false;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        // A name that is no token ("Transfer-Encoding :", a folded line) would be stored under a
        // name nobody looks up, and its meaning lost: refused, as RFC 9112 section 5.1 asks.
        const std::string_view rawName = line.substr(0, colon);
        if (rawName.empty() || !std::all_of(rawName.begin(), rawName.end(), isTokenCharacter)) return false;
        std::string name = asciiLowercased(rawName);
        std::string value(trimSpaces(line.substr(colon + 1)));
        // A NUL or a lone CR or LF ends or splits the value for some readers and not for others
        // (a Host of "127.0.0.1\0evil" is 127.0.0.1 to C string code), and a host name holds no
        // control character at all.
        if (value.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos) return false;
        if (name == "host" && std::ranges::any_of(value, isControlCharacter)) return false;
        // A body we cannot read (chunked or compressed) must not be taken for an empty one, even
        // when a later line says "identity".
        if (name == "transfer-encoding" && !equalsIgnoringASCIICase(value, "identity")) return false;
        // Two hosts, or two lengths that disagree, leave the request's meaning open.
        if (auto earlier = request.headers.find(name); earlier != request.headers.end()) {
            if (name == "host" || (name == "content-length" && earlier->second != value)) return false;
        }
        request.headers[std::move(name)] = std::move(value);
    }
    if (!sawRequestLine) return false;

    contentLength = 0;
    if (auto length = request.headers.find("content-length"); length != request.headers.end()) {
        std::uint64_t value = 0;
        switch (readContentLength(length->second, value)) {
            case LengthReading::notANumber:
                break;
            case LengthReading::negative:
            case LengthReading::overflow:
                return false;
            case LengthReading::value:
                if (value > limits.maxBodyBytes) return false;
                contentLength = static_cast<std::size_t>(value);
                break;
        }
    }
    return true;
}

}  // namespace

HTTPParseResult parseHTTPRequest(std::string_view bytes, const HTTPParseLimits& limits) {
    HTTPRequestReader reader(limits);
    HTTPParseResult result;
    result.kind = reader.append(bytes);
    if (result.kind == HTTPParseResult::Kind::complete) result.request = reader.takeRequest();
    return result;
}

HTTPParseResult::Kind HTTPRequestReader::append(std::string_view bytes) {
    if (state_ != HTTPParseResult::Kind::incomplete) return state_;
    if (headArrived_) {
        body_.append(bytes);  // bytes beyond the declared body are ignored
        return state_ = evaluate();
    }
    const std::size_t before = head_.size();
    head_.append(bytes);
    const std::size_t searchFrom = before >= kHeadEnd.size() - 1 ? before - (kHeadEnd.size() - 1) : 0;
    const std::size_t found = head_.find(kHeadEnd, searchFrom);
    if (found == std::string::npos) {
        // Any head still to come would start before the bytes we hold and so be longer than allowed.
        if (head_.size() >= limits_.maxHeadBytes + kHeadEnd.size()) return state_ = HTTPParseResult::Kind::invalid;
        return state_;
    }
    if (found > limits_.maxHeadBytes) return state_ = HTTPParseResult::Kind::invalid;
    headArrived_ = true;
    if (!parseHead(std::string_view(head_).substr(0, found), limits_, request_, contentLength_)) {
        return state_ = HTTPParseResult::Kind::invalid;
    }
    body_ = buffers::FixedBuffer(contentLength_);
    body_.append(std::string_view(head_).substr(found + kHeadEnd.size()));
    head_.clear();
    head_.shrink_to_fit();
    return state_ = evaluate();
}

HTTPParseResult::Kind HTTPRequestReader::evaluate() {
    if (!body_.full()) return HTTPParseResult::Kind::incomplete;
    const auto body = body_.view();
    request_.body.assign(body.begin(), body.end());
    discardBuffers();
    return HTTPParseResult::Kind::complete;
}

HTTPRequest HTTPRequestReader::takeRequest() {
    HTTPRequest out = std::move(request_);
    discard();
    return out;
}

void HTTPRequestReader::discard() {
    request_ = {};
    discardBuffers();
    if (state_ == HTTPParseResult::Kind::incomplete) state_ = HTTPParseResult::Kind::invalid;
}

void HTTPRequestReader::discardBuffers() {
    head_.clear();
    head_.shrink_to_fit();
    body_.release();
}

}  // namespace pavonix::http
