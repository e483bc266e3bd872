#include "platform/files/own_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pavonix::files {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

OwnFileRead readOwnFile(const std::string& path, Links links, std::size_t maxBytes) {
    OwnFileRead result;
    const auto refuse = [&](std::string problem) {
        result.outcome = OwnFileRead::Outcome::unreadable;
        result.problem = std::move(problem);
        return result;
    };
    const auto failed = [&] {
        result.error = errno;
        return refuse(std::strerror(errno));
    };
    const int noFollow = links == Links::refuse ? O_NOFOLLOW : 0;
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | noFollow));
    if (fd.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return result;
        if (errno == ELOOP && links == Links::refuse) return refuse("A symbolic link");
        return failed();
    }
    if (::fstat(fd.get(), &result.status) != 0) return failed();
    if (!S_ISREG(result.status.st_mode)) return refuse("Not a regular file");
    if (result.status.st_uid != ::geteuid()) return refuse("Owned by another user");

    result.outcome = OwnFileRead::Outcome::tooLarge;
    if (static_cast<std::size_t>(result.status.st_size) > maxBytes) return result;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n > 0) {
            result.text.append(buffer, static_cast<std::size_t>(n));
            if (result.text.size() > maxBytes) {  // grew while it was read
                result.text.clear();
                return result;
            }
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            result.text.clear();
            return failed();
        }
    }
    result.outcome = OwnFileRead::Outcome::read;
    return result;
}

}  // namespace pavonix::files
