#include "app/network/network_listen_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace pavonix::network {

bool isAddressInUseError(const std::error_code& error) {
    return (error.category() == std::generic_category() || error.category() == std::system_category()) &&
           error.value() == EADDRINUSE;
}

bool isPortInUse(std::uint16_t port, const std::optional<std::string>& host, bool udp) {
    const int fd = udp ? ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)
                       : ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (host && (host->find('\0') != std::string::npos || ::inet_pton(AF_INET, host->c_str(), &address.sin_addr) != 1)) {
        ::close(fd);
        return false;
    }
    errno = 0;
    const bool inUse = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
                       errno == EADDRINUSE;
    ::close(fd);
    return inUse;
}

std::string portInUseMessage(std::string_view prefix, std::uint16_t port) {
    return std::string(prefix) + " port " + std::to_string(port) + " is currently in use.";
}

}  // namespace pavonix::network
