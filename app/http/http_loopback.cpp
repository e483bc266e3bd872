#include "app/http/http_loopback.h"

#include "app/core/text.h"
#include "app/http/http_request_authenticator.h"

#include <optional>
#include <string>
#include <string_view>

namespace pavonix::http {

namespace {

struct Authority {
    std::string host;  // lower-cased; IPv6 literals keep their brackets
    unsigned port;
};

// "host", "host:port", "[v6]" or "[v6]:port"; nothing when malformed.
std::optional<Authority> parseAuthority(std::string_view text, unsigned defaultPort) {
    if (text.empty()) return std::nullopt;
    std::string_view host;
    std::string_view rest;
    if (text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = text.substr(0, close + 1);
        rest = text.substr(close + 1);
    } else {
        const auto colon = text.find(':');
        host = text.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : text.substr(colon);
    }
    if (host.empty()) return std::nullopt;
    unsigned port = defaultPort;
    if (!rest.empty()) {
        if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return std::nullopt;
        port = 0;
        for (char c : rest.substr(1)) {
            if (c < '0' || c > '9') return std::nullopt;
            port = port * 10 + static_cast<unsigned>(c - '0');
        }
        if (port > 65535) return std::nullopt;
    }
    return Authority{asciiLowercased(host), port};
}

// A Host authority's host: a loopback name or address, IPv6 only in brackets.
bool isLoopbackHost(std::string_view host) {
    if (host.starts_with('[')) {
        if (!host.ends_with(']')) return false;
        host = host.substr(1, host.size() - 2);
        if (host.find(':') == std::string_view::npos) return false;
    }
    return isLoopbackEndpoint(host);
}

std::optional<Authority> parseOrigin(std::string_view origin) {
    unsigned defaultPort;
    std::string_view rest;
    const std::string scheme = asciiLowercased(origin.substr(0, origin.find("://")));
    if (scheme == "http") {
        defaultPort = 80;
    } else if (scheme == "https") {
        defaultPort = 443;
    } else {
        return std::nullopt;  // "null", file pages, other schemes
    }
    rest = origin.substr(scheme.size() + 3);
    if (rest.find_first_of("/?#@") != std::string_view::npos) return std::nullopt;
    return parseAuthority(rest, defaultPort);
}

}  // namespace

bool isLoopbackRequest(const net::Endpoint& peer, const HTTPRequest& request) {
    if (!peer.isLoopback()) return false;
    const auto hostHeader = request.headers.find("host");
    const auto originHeader = request.headers.find("origin");
    std::optional<Authority> host;
    if (hostHeader != request.headers.end()) {
        host = parseAuthority(hostHeader->second, 80);
        if (!host || !isLoopbackHost(host->host)) return false;
    }
    if (originHeader != request.headers.end()) {
        if (!host) return false;  // nothing to compare the origin with
        const auto origin = parseOrigin(originHeader->second);
        if (!origin || origin->host != host->host || origin->port != host->port) return false;
    }
    return true;
}

}  // namespace pavonix::http
