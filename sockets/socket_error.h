// Errors of the queue-based sockets: a domain, a small integer code and the texts a caller shows.
// Errors are values on the I/O path; nothing here throws.
#pragma once

#include <string>
#include <string_view>

namespace pavonix::sockets {

inline constexpr std::string_view kPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::string_view kNetDBErrorDomain = "kCFStreamErrorDomainNetDB";
inline constexpr std::string_view kSSLErrorDomain = "kCFStreamErrorDomainSSL";

struct SocketError {
    std::string domain;
    int code = 0;
    std::string description;
    // The failing step of a system call, such as "Error in bind() function"; empty when none.
    std::string failureReason;
    std::string recoverySuggestion;

    // A failed system call. Build it right after the call, before anything can overwrite errno.
    static SocketError posix(int errnoValue, std::string reason = {});
    // A failed name look-up with its getaddrinfo code.
    static SocketError netDB(int gaiCode);
    static SocketError make(std::string_view domain, int code, std::string description);

    bool isPosix(int errnoValue) const { return domain == kPosixErrorDomain && code == errnoValue; }

    friend bool operator==(const SocketError&, const SocketError&) = default;
};

}  // namespace pavonix::sockets
