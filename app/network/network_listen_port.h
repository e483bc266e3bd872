// Turning a failed server start into "... port N is currently in use.".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace pavonix::network {

// A typed error code means "address in use" exactly when it is the system's EADDRINUSE; codes of
// any other category (name lookup, TLS, ...) never do, whatever their text says.
bool isAddressInUseError(const std::error_code& error);

// Whether binding `port` on `host` (dotted IPv4; every interface when absent) fails because the
// port is taken. A socket that cannot be opened, a host that is not an IPv4 address and any other
// bind error answer false. Binds without SO_REUSEADDR and closes the probe socket in every case.
bool isPortInUse(std::uint16_t port, const std::optional<std::string>& host, bool udp);

// "HTTP port 8090 is currently in use."
std::string portInUseMessage(std::string_view prefix, std::uint16_t port);

}  // namespace pavonix::network
