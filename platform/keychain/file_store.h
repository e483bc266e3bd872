// Items in one private file, for systems where no Secret Service answers.
//
// The file is plain JSON (the secrets are as safe as the user's own files, as with any password
// file of a desktop program): the folder is created 0700, the file written 0600 through a
// temporary file and a rename, and a file that is not a regular file owned by this user with no
// permission beyond 0600 is refused on every access (invalidKeychain), never read and
// never overwritten; problem() says why. Opens never block, so a FIFO in the file's place is
// refused at once instead of holding the program up. Another Pavonix process is kept out of a
// read-modify-write by a lock file.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "platform/keychain/keychain.h"

namespace pavonix::keychain {

class FileStore final : public Store {
public:
    // `path` is the file; its folder is created when missing.
    explicit FileStore(std::string path, std::chrono::milliseconds lockTimeout = defaultTimeout);

    // $XDG_DATA_HOME/Pavonix/keychain.json ($HOME/.local/share when XDG_DATA_HOME is unset);
    // empty when neither is known.
    static std::string defaultPath();

    const std::string& path() const { return path_; }

    std::string name() const override;
    Status read(const ItemKey& key, Bytes& out) override;
    Status add(const ItemKey& key, const Bytes& data) override;
    Status update(const ItemKey& key, const Bytes& data) override;
    Status remove(const ItemKey& key) override;
    // Why the file cannot be used as it stands. Read anew only when a stat of the file finds it
    // changed (asked every few seconds, and the file may be up to 16 MiB).
    std::optional<std::string> problem() const override;
    // problem(), else the path and the status's reason.
    std::string failure(Status status) const override;

private:
    enum class Change { add, update, remove };
    Status modify(const ItemKey& key, const Bytes* data, Change change);

    std::string path_;
    std::chrono::milliseconds lockTimeout_;
    mutable std::mutex mutex_;
    // What problem() last found, and the file as a stat saw it then (empty: not known).
    mutable std::optional<std::string> lastLook_;
    mutable std::optional<std::optional<std::string>> lastProblem_;
};

}  // namespace pavonix::keychain
