#include "sockets/socket_error.h"

#include <netdb.h>

#include <cstring>

namespace pavonix::sockets {

SocketError SocketError::posix(int errnoValue, std::string reason) {
    SocketError error;
    error.domain = std::string(kPosixErrorDomain);
    error.code = errnoValue;
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not live in the buffer.
    error.description = ::strerror_r(errnoValue, buffer, sizeof buffer);
    error.failureReason = std::move(reason);
    return error;
}

SocketError SocketError::netDB(int gaiCode) {
    return make(kNetDBErrorDomain, gaiCode, ::gai_strerror(gaiCode));
}

SocketError SocketError::make(std::string_view domain, int code, std::string description) {
    SocketError error;
    error.domain = std::string(domain);
    error.code = code;
    error.description = std::move(description);
    return error;
}

}  // namespace pavonix::sockets
