// Reading the files the program keeps for its user (settings, pairing secrets).
//
// Opening never blocks: a FIFO in a file's place would otherwise wait for a writer, before any
// server starts and out of reach of SIGTERM. What was opened is read only when it is a regular
// file owned by this user (a file left by a run under sudo, a device behind a link: not this
// user's to trust), and only up to a bound.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace pavonix::files {

// A descriptor closed exactly once, on every path out of the scope that opened it.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

struct OwnFileRead {
    enum class Outcome {
        read,       // `text` holds the whole file
        missing,    // plainly nothing there: the file, or a folder on the way, does not exist
        tooLarge,   // a regular file of this user, beyond the bound; not read
        unreadable  // anything else, a link that leads nowhere and a file in a folder's place
                    // included: `problem` says why, for the user (naming the part of the path
                    // at fault when it is not the file itself)
    };
    Outcome outcome = Outcome::missing;
    std::string text;
    struct stat status{};  // of what was opened, when it was
    std::string problem;
    int error = 0;         // the system's errno, when a call failed (not for a refused kind)
};

enum class Links { follow, refuse };

OwnFileRead readOwnFile(const std::string& path, Links links, std::size_t maxBytes);

// An exclusive lock between processes of this user, held for as long as the object lives. The
// lock file is created 0600 and used only when it is a regular file of this user: a lock any
// local user could open, anyone could hold, and so stop every write of this user.
class OwnLock {
public:
    // Waits up to `timeout` for another holder to let go.
    OwnLock(const std::string& path, std::chrono::milliseconds timeout);
    // 0 once held; ETIMEDOUT when another holder kept it past the timeout; else why not.
    int error() const { return error_; }
    // For the user, when error() is not 0.
    const std::string& problem() const { return problem_; }

private:
    FileDescriptor fd_;
    int error_ = 0;
    std::string problem_;
};

}  // namespace pavonix::files
