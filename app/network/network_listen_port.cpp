#include "app/network/network_listen_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

namespace pavonix::network {
namespace {

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
    if (needle.size() > haystack.size()) return false;
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        bool match = true;
        for (std::size_t k = 0; k < needle.size() && match; ++k) {
            match = std::tolower(static_cast<unsigned char>(haystack[i + k])) ==
                    std::tolower(static_cast<unsigned char>(needle[k]));
        }
        if (match) return true;
    }
    return false;
}

}  // namespace

bool isAddressInUseError(const std::error_code& error) {
    return (error.category() == std::generic_category() || error.category() == std::system_category()) &&
           error.value() == EADDRINUSE;
}

bool isAddressInUseError(const std::exception& error) {
    if (const auto* systemError = dynamic_cast<const std::system_error*>(&error)) {
        return isAddressInUseError(systemError->code());
    }
    if (const auto* nested = dynamic_cast<const std::nested_exception*>(&error)) {
        if (nested->nested_ptr() && isAddressInUseError(nested->nested_ptr())) return true;
    }
    return containsIgnoringCase(error.what(), "address already in use");
}

bool isAddressInUseError(const std::exception_ptr& error) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return isAddressInUseError(e);
    } catch (...) {
        return false;
    }
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
