#include "app/http/http_request_origin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/text.h"
#include "app/http/http_request_authenticator.h"

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

struct Origin {
    std::string scheme;  // lower-cased
    Authority authority;
};

std::optional<Origin> parseOrigin(std::string_view origin) {
    const auto separator = origin.find("://");
    if (separator == std::string_view::npos) return std::nullopt;  // "null", and a bare "http"
    const std::string scheme = asciiLowercased(origin.substr(0, separator));
    unsigned defaultPort;
    if (scheme == "http") {
        defaultPort = 80;
    } else if (scheme == "https") {
        defaultPort = 443;
    } else {
        return std::nullopt;  // file pages, other schemes
    }
    const std::string_view rest = origin.substr(separator + 3);
    if (rest.find_first_of("/?#@") != std::string_view::npos) return std::nullopt;
    auto authority = parseAuthority(rest, defaultPort);
    if (!authority) return std::nullopt;
    return Origin{scheme, std::move(*authority)};
}

// An IP literal cannot be rebound to another machine: dotted IPv4, or IPv6 in brackets.
bool isIPLiteral(const std::string& host) {
    in6_addr address{};
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &address) == 1;
    }
    return inet_pton(AF_INET, host.c_str(), &address) == 1;
}

std::string_view withoutFinalDot(std::string_view name) {
    if (name.ends_with('.')) name.remove_suffix(1);
    return name;
}

// localhost, the machine's name, or the name under which it answers multicast DNS.
bool namesThisMachine(std::string_view host, std::string_view machineHostName) {
    host = withoutFinalDot(host);
    if (host == "localhost") return true;
    const std::string machine = asciiLowercased(withoutFinalDot(machineHostName));
    if (machine.empty() || host.empty()) return false;
    const std::string firstLabel = machine.substr(0, machine.find('.'));
    return host == machine || host == machine + ".local" || (!firstLabel.empty() && host == firstLabel + ".local");
}

const std::string* nonEmptyHeader(const HTTPRequest& request, const std::string& name) {
    const auto found = request.headers.find(name);
    return found == request.headers.end() || found->second.empty() ? nullptr : &found->second;
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
        if (!origin || origin->authority.host != host->host || origin->authority.port != host->port) return false;
    }
    return true;
}

bool isCrossSiteRequest(const HTTPRequest& request, std::string_view machineHostName) {
    std::optional<Authority> host;
    if (const std::string* hostHeader = nonEmptyHeader(request, "host")) {
        host = parseAuthority(*hostHeader, 80);
        if (!host || !(isIPLiteral(host->host) || namesThisMachine(host->host, machineHostName))) return true;
    }
    // Without a Host there is no origin of the request's own to compare with; no browser sends
    // such a request.
    const std::string* originHeader = nonEmptyHeader(request, "origin");
    if (!originHeader || !host) return false;
    const auto origin = parseOrigin(*originHeader);
    return !origin || origin->scheme != "http" || origin->authority.host != host->host ||
           origin->authority.port != host->port;
}

std::string currentMachineHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace pavonix::http
