// What a request's Host and Origin headers tell about where it comes from.
//
// A web page open in the user's browser can make the browser send requests to this server: to
// 127.0.0.1 or a LAN address directly (a simple POST needs no preflight), or through a name of the
// page's own that it later resolves to this machine (DNS rebinding). Such requests give themselves
// away: the browser names the page's site in Origin, and the rebound name in Host. Phones,
// scripts and other instances of the program send neither header, or name this machine in them.
#pragma once

#include <string>
#include <string_view>

#include "app/http/http_request.h"
#include "platform/net/endpoint.h"

namespace pavonix::http {

// True when the peer is loopback, the Host header (when present) names a loopback host
// (127.0.0.0/8, [::1], localhost) and the Origin header (when present) names the same host and
// port as Host. Decides the authentication exemption.
bool isLoopbackRequest(const net::Endpoint& peer, const HTTPRequest& request);

// True when a browser sent the request on behalf of another site: the Origin header names another
// origin than http:// + Host, or Host names something other than an IP literal, localhost,
// `machineHostName` or that name (or its first label) with ".local". Such a request is refused
// unless it must be signed and is judged by its signature alone (not so for the control page).
// Requests without Host or without Origin pass the respective rule.
bool isCrossSiteRequest(const HTTPRequest& request, std::string_view machineHostName);

// The kernel's host name, read at each call (it may change while the program runs); empty when
// it cannot be read.
std::string currentMachineHostName();

}  // namespace pavonix::http
