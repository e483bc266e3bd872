// The HTTP exchange under the remote-instance client: one request out, one whole reply back.
// Blocking; the client calls it on a worker queue, never on the main thread. The curl transport
// is the program's; tests put a fake in its place.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/core/json_coding.h"

namespace pavonix::remote {

struct RemoteHTTPTransportRequest {
    std::string method;  // sent as given
    std::string url;     // http://host:port/path, already checked
    // Sent as given, after the Host line; nothing else is added except Content-Length when a
    // body is sent.
    std::vector<std::pair<std::string, std::string>> headers;
    Bytes body;  // empty: no body is sent
    std::chrono::milliseconds timeout{60000};
};

struct RemoteHTTPTransportResponse {
    enum class Outcome {
        response,  // an HTTP reply arrived: statusCode and body hold it
        notHTTP,   // something answered, but not with HTTP
        failed,    // no reply: refused, unreachable, timed out, ... (errorDescription says which)
    };
    Outcome outcome = Outcome::failed;
    int statusCode = 0;
    Bytes body;
    // The reply body exceeded the transport's limit and was cut short there.
    bool bodyTruncated = false;
    std::string errorDescription;
};

class RemoteHTTPTransport {
public:
    virtual ~RemoteHTTPTransport() = default;
    virtual RemoteHTTPTransportResponse perform(const RemoteHTTPTransportRequest& request) = 0;
};

// Replies are read up to this size; an instance never sends more than a few hundred kilobytes.
inline constexpr std::size_t kMaxRemoteReplyBytes = 8 * 1024 * 1024;

// libcurl, plain HTTP only, no proxy, no redirects, no cache, no default headers that would
// change what is signed (no "Expect:", no form content type, no "Accept:"); the whole exchange
// is bounded by the request's time-out.
std::shared_ptr<RemoteHTTPTransport> makeCurlTransport(std::size_t maxReplyBytes = kMaxRemoteReplyBytes);

}  // namespace pavonix::remote
