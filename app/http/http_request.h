// One parsed HTTP request, as the server's parser produces it and the router and the request
// authenticator examine it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pavonix::http {

struct HTTPRequest {
    std::string method;                          // as received
    std::string path;                            // the request target as written in the request line
    std::map<std::string, std::string> headers;  // names lower-cased
    std::vector<std::uint8_t> body;

    bool operator==(const HTTPRequest&) const = default;
};

}  // namespace pavonix::http
