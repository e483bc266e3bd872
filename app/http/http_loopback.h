// Which requests count as coming from this machine, for the authentication exemption.
//
// A loopback peer alone is not enough: a web page open in the user's browser can make the browser
// send requests to 127.0.0.1, directly or through a host name that resolves there. Such requests
// give themselves away by their Host header (a name that is not a loopback host) or their Origin
// header (another site than the one addressed).
#pragma once

#include "app/http/http_request.h"
#include "platform/net/endpoint.h"

namespace pavonix::http {

// True when the peer is loopback, the Host header (when present) names a loopback host
// (127.0.0.0/8, [::1], localhost) and the Origin header (when present) names the same host and
// port as Host.
bool isLoopbackRequest(const net::Endpoint& peer, const HTTPRequest& request);

}  // namespace pavonix::http
