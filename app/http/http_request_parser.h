// Reading one HTTP/1.1 request from the bytes a connection has delivered so far.
//
// Only what a single request per connection needs: a head ended by CR LF CR LF and a body of
// Content-Length bytes. No chunked bodies, no header folding. A head whose meaning is open (a field
// name that is no token, a folded line, two Host lines, two Content-Length lines that differ, a
// NUL or lone CR or LF in a value, a control character in Host) is refused rather than guessed at. Bounded: a head over 64 KiB or a body over 1 MiB can never become a request and
// is refused as soon as that is known.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "app/http/http_request.h"
#include "platform/buffers/fixed_buffer.h"

namespace pavonix::http {

struct HTTPParseLimits {
    std::size_t maxHeadBytes = 64 * 1024;    // bytes before the CR LF CR LF
    std::size_t maxBodyBytes = 1024 * 1024;  // largest Content-Length accepted
};

struct HTTPParseResult {
    enum class Kind { complete, incomplete, invalid };
    Kind kind = Kind::incomplete;
    HTTPRequest request;  // filled when complete

    static HTTPParseResult incomplete() { return {}; }
    static HTTPParseResult invalid() { return {Kind::invalid, {}}; }
};

// Parses everything received so far. Pure. Bytes after the declared body are ignored.
HTTPParseResult parseHTTPRequest(std::string_view bytes, const HTTPParseLimits& limits = {});

// The same parser for a connection that receives its bytes piece by piece: it looks only at the
// new bytes for the end of the head and parses the head once, so a peer that sends one byte at a
// time costs linear work, not quadratic. Answers exactly as parseHTTPRequest over all bytes
// appended so far.
class HTTPRequestReader {
public:
    explicit HTTPRequestReader(HTTPParseLimits limits = {}) : limits_(limits) {}

    HTTPParseResult::Kind append(std::string_view bytes);
    // After append() answered complete: the request (the reader is spent).
    HTTPRequest takeRequest();

    std::size_t bufferedBytes() const { return headArrived_ ? body_.size() : head_.size(); }
    // Whether the end of the head has arrived (the body may still be missing).
    bool hasHead() const { return headArrived_; }
    // Once hasHead() and until the request is taken: method, path and headers (the body only once
    // complete).
    const HTTPRequest& head() const { return request_; }
    // Body bytes held while the body is still missing; 0 before the head and once complete.
    std::size_t unfinishedBodyBytes() const { return state_ == HTTPParseResult::Kind::incomplete ? body_.size() : 0; }
    // Lets go of everything held; the reader is spent.
    void discard();

private:
    HTTPParseResult::Kind evaluate();
    void discardBuffers();

    HTTPParseLimits limits_;
    std::string head_;           // every byte received until the head has ended
    buffers::FixedBuffer body_;  // then only the body, in room for its declared length
    bool headArrived_ = false;
    HTTPRequest request_;  // head fields once the head has been parsed
    std::size_t contentLength_ = 0;
    HTTPParseResult::Kind state_ = HTTPParseResult::Kind::incomplete;
};

}  // namespace pavonix::http
