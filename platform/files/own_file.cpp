#include "platform/files/own_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

namespace pavonix::files {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

namespace fs = std::filesystem;

// Why `path` did not open with ENOENT when the file is not simply absent: a link on the way (the
// file's own, or a folder's) that leads nowhere, as to a volume not mounted yet. Empty when the
// deepest part of the path that exists is a folder, so that the file or a folder under it is
// plainly not there (a first start).
std::string danglingLinkOnTheWay(const fs::path& path) {
    for (fs::path part = path; !part.empty() && part != part.root_path(); part = part.parent_path()) {
        struct stat status{};
        if (::lstat(part.c_str(), &status) != 0) continue;
        if (!S_ISLNK(status.st_mode) || ::stat(part.c_str(), &status) == 0) return {};
        std::error_code ec;
        const fs::path target = fs::read_symlink(part, ec);
        return part.string() + " links to " + (ec ? std::string("a place") : target.string()) + ", which does not exist";
    }
    return {};
}

// The part of `path` that is not a folder although more of the path lies below it.
std::string notAFolderOnTheWay(const fs::path& path) {
    fs::path part;
    for (auto it = path.begin(); it != path.end(); ++it) {
        part /= *it;
        if (std::next(it) == path.end()) break;
        struct stat status{};
        if (::stat(part.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) return part.string() + " is not a folder";
    }
    return path.string() + ": " + std::strerror(ENOTDIR);
}

}  // namespace

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
        const int error = errno;
        // Only a file that is plainly not there is missing: one behind a link that leads nowhere,
        // or below a file in a folder's place, exists somewhere the program cannot reach.
        if (error == ENOENT) {
            std::string dangling = danglingLinkOnTheWay(path);
            if (dangling.empty()) return result;
            result.error = error;
            return refuse(std::move(dangling));
        }
        if (error == ENOTDIR) {
            result.error = error;
            return refuse(notAFolderOnTheWay(path));
        }
        errno = error;
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

namespace {

// 0 once `fd` is an own regular file, locked; else the errno, with `problem` for the user.
int lockOwn(int fd, std::chrono::milliseconds timeout, std::string& problem) {
    const auto refuse = [&](int error, std::string text) {
        problem = std::move(text);
        return error;
    };
    struct stat status{};
    if (::fstat(fd, &status) != 0) return refuse(errno, std::strerror(errno));
    if (!S_ISREG(status.st_mode)) return refuse(EINVAL, "The lock file is not a regular file");
    if (status.st_uid != ::geteuid()) return refuse(EPERM, "The lock file is owned by another user");
    // Left open to others by an earlier run or by hand: closed before anyone else opens it.
    if ((status.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) return refuse(errno, std::strerror(errno));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return refuse(errno, std::strerror(errno));
        if (std::chrono::steady_clock::now() >= deadline) return refuse(ETIMEDOUT, "another process holds it");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 0;
}

}  // namespace

OwnLock::OwnLock(const std::string& path, std::chrono::milliseconds timeout)
    : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600)) {
    if (fd_.get() < 0) {
        error_ = errno;
        problem_ = error_ == ELOOP ? "The lock file is a symbolic link" : std::strerror(error_);
        return;
    }
    error_ = lockOwn(fd_.get(), timeout, problem_);
}

}  // namespace pavonix::files
