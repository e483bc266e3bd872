#include "platform/defaults/user_defaults.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <thread>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/dispatch/dispatch.h"
#include "platform/files/own_file.h"

namespace pavonix::defaults {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kQueueLabel = "com.vrel.Lanternpost.defaults";
// Far beyond any settings file the program writes; a file past either is treated as unreadable.
constexpr std::size_t kMaxFileBytes = 16 * 1024 * 1024;
constexpr std::size_t kMaxNesting = 64;
// Beside the settings file; held by each write, so two copies of the program take turns.
constexpr const char* kLockName = ".settings.lock";

const char* stepName(WriteStep step) {
    switch (step) {
    case WriteStep::setAside: return "moving the damaged settings file aside";
    case WriteStep::createDirectory: return "creating the settings folder";
    case WriteStep::createTemporary: return "creating the new settings file";
    case WriteStep::write: return "writing the settings file";
    case WriteStep::sync: return "syncing the settings file";
    case WriteStep::rename: return "replacing the settings file";
    case WriteStep::lock: return "locking the settings folder";
    }
    return "writing the settings file";
}

// A failed step: its name and the errno text, kept as the store's last error.
struct StepError {
    WriteStep step;
    int error;
    std::string text() const { return std::string(stepName(step)) + ": " + std::strerror(error); }
};

// Runs the fault hook for a step; a non-zero answer stands for the system call's errno.
int injected(const Options& options, WriteStep step) {
    return options.faultHook ? options.faultHook(step) : 0;
}

std::string utcStamp() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &tm);
    return buffer;
}

// Moves `file` to "<file>.corrupt-<UTC time>", never replacing an earlier one. Returns the errno.
int moveAside(const fs::path& file, const Options& options, fs::path& movedTo) {
    if (int error = injected(options, WriteStep::setAside)) return error;
    const std::string base = file.string() + ".corrupt-" + utcStamp();
    for (int attempt = 1; attempt < 1000; ++attempt) {
        std::string target = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            movedTo = target;
            return 0;
        }
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) return errno;
        // The file system cannot refuse to replace; check by hand (one process writes here).
        struct stat st{};
        if (::lstat(target.c_str(), &st) == 0) continue;
        if (::rename(file.c_str(), target.c_str()) == 0) {
            movedTo = target;
            return 0;
        }
        return errno;
    }
    return EEXIST;
}

// A crash between writing and renaming leaves "<file>.tmp-<pid>-<n>" behind; remove those whose
// writer is gone (a live process, such as a second instance, may still be about to rename its).
void removeStaleTemporaries(const fs::path& file) {
    const std::string prefix = file.filename().string() + ".tmp-";
    std::error_code ec;
    for (fs::directory_iterator it(file.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(prefix)) continue;
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
            ::unlink(it->path().c_str());
        }
    }
}

// What reading the file found. `problem` says, for the user, why a file could not be used.
struct FileRead {
    enum class Outcome { loaded, missing, damaged, unreadable };
    Outcome outcome = Outcome::missing;
    json value;
    std::string problem;
    UserDefaults::Remedy remedy = UserDefaults::Remedy::permissions;
    std::optional<UserDefaults::State::FileIdentity> identity;  // of what was read, when it was opened
    std::set<std::string> repeated;  // the keys that the file holds more than once
};

UserDefaults::State::FileIdentity identityOf(const struct stat& st) {
    const auto ns = [](const timespec& t) { return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec; };
    return {st.st_dev, st.st_ino, st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
}

// Links are followed, as by readFile.
std::optional<UserDefaults::State::FileIdentity> identityOf(const fs::path& file) {
    struct stat st{};
    if (::stat(file.c_str(), &st) != 0) return std::nullopt;
    return identityOf(st);
}

FileRead damaged(std::string problem) { return {FileRead::Outcome::damaged, {}, std::move(problem), {}, {}, {}}; }

FileRead readText(const std::string& text, const std::map<std::string, json>& repeatedKeyValues) {
    // Copying, comparing and writing a value recurse once per level, so a deeper file would
    // overflow the stack at the first settings write. `depth` counts the enclosing levels.
    bool tooDeep = false;
    std::map<std::string, int> topLevelKeys;
    json parsed = json::parse(
        text,
        [&](int depth, json::parse_event_t event, json& parsedValue) {
            const bool opens = event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
            if (opens && depth >= static_cast<int>(kMaxNesting)) tooDeep = true;
            if (event == json::parse_event_t::key && depth == 1 && parsedValue.is_string()) {
                ++topLevelKeys[parsedValue.get<std::string>()];
            }
            return !tooDeep;  // nothing more is built once the file is refused
        },
        /*allow_exceptions=*/false);
    if (tooDeep) return damaged("Nested deeper than 64 levels");
    if (parsed.is_discarded()) return damaged("Not valid JSON");
    if (!parsed.is_object()) return damaged("Not a JSON object");
    FileRead result{FileRead::Outcome::loaded, std::move(parsed), {}, {}, {}, {}};
    for (const auto& [key, count] : topLevelKeys) {
        if (count < 2) continue;
        result.repeated.insert(key);
        // The parser keeps the last copy; a key registered for it reads as its safe value instead.
        if (auto rule = repeatedKeyValues.find(key); rule != repeatedKeyValues.end()) result.value[key] = rule->second;
    }
    return result;
}

FileRead readFile(UserDefaults::State& state) {
    std::map<std::string, json> repeatedKeyValues;
    {
        std::shared_lock lock(state.mutex);
        repeatedKeyValues = state.repeatedKeyValues;
    }
    // Links are followed (a settings file kept elsewhere is common); the checks apply to what
    // they lead to.
    files::OwnFileRead read = files::readOwnFile(state.file, files::Links::follow, kMaxFileBytes);
    switch (read.outcome) {
    case files::OwnFileRead::Outcome::missing: return {};
    case files::OwnFileRead::Outcome::unreadable: {
        // Not there although the path says it is: a link on the way leads nowhere.
        const auto remedy = read.error == ENOENT ? UserDefaults::Remedy::createLinkTarget : UserDefaults::Remedy::permissions;
        return {FileRead::Outcome::unreadable, {}, std::move(read.problem), remedy, {}, {}};
    }
    case files::OwnFileRead::Outcome::tooLarge:
    case files::OwnFileRead::Outcome::read: break;
    }
    FileRead result = read.outcome == files::OwnFileRead::Outcome::read ? readText(read.text, repeatedKeyValues)
                                                                        : damaged("Larger than 16 MiB");
    result.identity = identityOf(read.status);
    return result;
}

bool writeAll(int fd, const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// Where a write of `file` goes: a settings file kept elsewhere through a link (symlinked dotfiles)
// is replaced where it lies, so that the link stays and the user's own file is the one written.
std::optional<fs::path> writeTarget(const fs::path& file, int& error) {
    struct stat st{};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return file;
    std::error_code ec;
    fs::path target = fs::canonical(file, ec);
    if (ec) {
        error = ec.value();
        return std::nullopt;
    }
    return target;
}

// Replaces `path` with `text`: temporary file in the same folder as the file it replaces (the
// link's target, for a link), fsync, rename, fsync folder. On failure the temporary file is
// removed and the file is untouched. `read`: the file as read under the lock for this write.
std::optional<StepError> replaceFile(const fs::path& path, const std::string& text, const Options& options,
                                     const std::optional<UserDefaults::State::FileIdentity>& read) {
    static std::atomic<unsigned> counter{0};
    if (int error = injected(options, WriteStep::createTemporary)) return StepError{WriteStep::createTemporary, error};
    int unresolved = 0;
    const auto target = writeTarget(path, unresolved);
    // The link led to the file read a moment ago; one that leads nowhere now is not replaced.
    if (!target) return StepError{WriteStep::rename, unresolved};
    const fs::path folder = target->parent_path();
    const std::string name = target->filename().string();
    files::FileDescriptor dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return StepError{WriteStep::createTemporary, errno};
    if (*target != path) {
        // Only the file just read is replaced, in the folder now held open: a link on the way that
        // was turned since (by another user who may write in the folder it leads to) leads the
        // write nowhere else.
        struct stat st{};
        if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return StepError{WriteStep::rename, errno};
        if (!S_ISREG(st.st_mode) || !read || st.st_dev != read->device || st.st_ino != read->inode) {
            return StepError{WriteStep::rename, ESTALE};
        }
    }

    const std::string temporary = name + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    int fd = ::openat(dir.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return StepError{WriteStep::createTemporary, errno};

    auto fail = [&](WriteStep step, int error) {
        if (fd >= 0) ::close(fd);
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        return StepError{step, error};
    };
    if (int error = injected(options, WriteStep::write)) return fail(WriteStep::write, error);
    if (!writeAll(fd, text)) return fail(WriteStep::write, errno);
    if (int error = injected(options, WriteStep::sync)) return fail(WriteStep::sync, error);
    if (::fsync(fd) != 0) return fail(WriteStep::sync, errno);
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return fail(WriteStep::write, errno);

    if (options.beforeRename) options.beforeRename();
    if (int error = injected(options, WriteStep::rename)) return fail(WriteStep::rename, error);
    if (::renameat(dir.get(), temporary.c_str(), dir.get(), name.c_str()) != 0) return fail(WriteStep::rename, errno);

    // Make the rename itself durable; the data is already safe either way, so failures are ignored.
    ::fsync(dir.get());
    return std::nullopt;
}

using PendingEdits = std::vector<UserDefaults::State::PendingEdit>;

// `value` (nothing: absent) with `edits` applied to it in order.
std::optional<json> applied(std::optional<json> value, const PendingEdits& edits) {
    for (const auto& pending : edits) value = pending.edit(value ? &*value : nullptr);
    return value;
}

// After a write: the changes written are no longer this process's pending ones, and memory
// becomes what the file holds (another process's values included) with the changes still
// pending applied to it. Listeners are told of each key that changed in memory. `written`: the
// file as this write left it, read under the lock before the changes still pending were made.
void takeIn(UserDefaults::State& state, const json& file, std::uint64_t writtenUpTo, bool written) {
    struct Taken {
        std::string key;
        std::optional<json> value;
        std::uint64_t sequence;
    };
    std::vector<Taken> taken;
    std::lock_guard writer(state.writerMutex);
    {
        std::unique_lock lock(state.mutex);
        state.fileRead = true;
        for (auto it = state.pending.begin(); it != state.pending.end();) {
            std::erase_if(it->second, [&](const auto& pending) { return pending.number <= writtenUpTo; });
            if (it->second.empty()) {
                it = state.pending.erase(it);
                continue;
            }
            // A set made during this write knew the file as the write left it.
            if (auto& set = it->second.front().set; set && written) {
                auto found = file.find(it->first);
                set->before = found != file.end() ? std::optional<json>(*found) : std::nullopt;
            }
            ++it;
        }
        // The file's value of `key` (null: none), with the changes still pending applied to it.
        const auto takeKey = [&](const std::string& key, const json* fromFile) {
            std::optional<json> edited;
            const json* value = fromFile;
            if (auto mine = state.pending.find(key); mine != state.pending.end()) {
                edited = applied(fromFile ? std::optional<json>(*fromFile) : std::nullopt, mine->second);
                value = edited ? &*edited : nullptr;
            }
            auto current = state.stored.find(key);
            if (value) {
                if (current != state.stored.end() && *current == *value) return;
                state.stored[key] = *value;
                taken.push_back({key, *value, ++state.sequence});
            } else if (current != state.stored.end()) {
                state.stored.erase(current);
                taken.push_back({key, std::nullopt, ++state.sequence});
            }
        };
        for (auto it = file.begin(); it != file.end(); ++it) takeKey(it.key(), &it.value());
        std::vector<std::string> notInFile;
        for (auto it = state.stored.begin(); it != state.stored.end(); ++it) {
            if (!file.contains(it.key())) notInFile.push_back(it.key());
        }
        for (const auto& [key, edits] : state.pending) {
            if (!file.contains(key) && !state.stored.contains(key)) notInFile.push_back(key);
        }
        for (const auto& key : notInFile) takeKey(key, nullptr);
    }
    for (const auto& change : taken) {
        for (const auto& entry : state.listeners) entry.listener(change.key, change.value, change.sequence);
    }
}

// Whether another process chose the key's value after this process's set still waiting to be
// written: the file was written after the set, and what it holds there is not what this process
// knew before it. Then the later choice stands, and this one is dropped with the write.
bool setLaterThere(const PendingEdits& edits, const json* inFile,
                   const std::optional<UserDefaults::State::FileIdentity>& file) {
    if (edits.size() != 1 || !edits.front().set || !file) return false;
    const auto& set = *edits.front().set;
    const bool changedThere = inFile ? !set.before || *set.before != *inFile : set.before.has_value();
    return changedThere && file->modifiedNs > set.atNs;
}

enum class Persisted {
    current,  // the file holds every change of this process
    failed,   // `lastError` says why
    busy      // another writer held the lock past the time given; nothing done
};

// persist() under the file mutex. `busyAfter`: how long to wait for another process's lock before
// giving up without a failure (none: the store's lock timeout, and a timeout is a failure).
Persisted persistLocked(UserDefaults::State& state, std::optional<std::chrono::milliseconds> busyAfter) {
    bool changed;
    std::uint64_t unchangedUpTo;  // with nothing changed: no change up to here is this process's
    {
        std::shared_lock lock(state.mutex);
        changed = !state.pending.empty();
        unchangedUpTo = state.edits;
    }
    if (!changed && !state.lastError) return Persisted::current;

    const Options& options = state.options;
    const fs::path folder = state.file.parent_path();
    if (int error = injected(options, WriteStep::createDirectory)) {
        state.lastError = StepError{WriteStep::createDirectory, error}.text();
        return Persisted::failed;
    }
    if (!folder.empty()) {
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec) {
            state.lastError = StepError{WriteStep::createDirectory, ec.value()}.text();
            return Persisted::failed;
        }
    }
    // A lock file, not the settings file (replaced at every write, so a lock on the replaced one
    // guards nothing), nor the folder (which any local user may open, and so hold).
    if (int error = injected(options, WriteStep::lock)) {
        state.lastError = StepError{WriteStep::lock, error}.text();
        return Persisted::failed;
    }
    const fs::path lockPath = UserDefaults::lockPath(state.file);
    files::OwnLock lock(lockPath.string(), busyAfter.value_or(options.lockTimeout));
    if (lock.error() == ETIMEDOUT) {
        if (busyAfter) return Persisted::busy;
        state.lastError = UserDefaults::WriteProblem("another program holds the settings file's lock",
                                                     UserDefaults::Remedy::releaseLock);
        return Persisted::failed;
    }
    if (lock.error()) {
        struct stat st{};
        if ((lock.error() == EACCES || lock.error() == EROFS) && ::lstat(lockPath.c_str(), &st) != 0) {
            // The folder takes no new file: told as the user knows it, by the write that needs one.
            state.lastError = StepError{WriteStep::createTemporary, lock.error()}.text();
        } else {
            state.lastError = std::string(stepName(WriteStep::lock)) + ": " + lock.problem();
        }
        return Persisted::failed;
    }

    // Read again: another process may have written since, or the file may have become readable.
    FileRead disk = readFile(state);
    auto& problem = state.loadProblem;
    switch (disk.outcome) {
    case FileRead::Outcome::unreadable: {
        // What cannot be read cannot be merged into, and must not be replaced.
        state.lastError = UserDefaults::WriteProblem("reading the settings file: " + disk.problem, disk.remedy);
        std::unique_lock lock(state.mutex);
        state.fileRead = false;
        return Persisted::failed;
    }
    case FileRead::Outcome::damaged: {
        fs::path movedTo;
        if (int error = moveAside(state.file, options, movedTo)) {
            state.lastError = StepError{WriteStep::setAside, error}.text();
            return Persisted::failed;
        }
        if (problem && !problem->setAside) problem->setAside = movedTo;
        break;
    }
    case FileRead::Outcome::loaded:
    case FileRead::Outcome::missing:
        if (problem && !problem->setAside) problem.reset();  // the file is usable again
        break;
    }
    const bool mergeable = disk.outcome == FileRead::Outcome::loaded;
    if (!changed && disk.outcome != FileRead::Outcome::damaged) {
        // Nothing to write: a readable file stays as its writer left it, and none is created.
        state.lastError.reset();
        // A change made since the check above is not in the file: it stays this process's.
        if (mergeable) takeIn(state, disk.value, unchangedUpTo, false);
        state.seen = disk.identity;
        return Persisted::current;
    }

    json written;
    std::uint64_t upTo;
    bool replaces = !mergeable;  // whether the file is to change
    {
        std::shared_lock lock(state.mutex);
        upTo = state.edits;
        if (mergeable) {
            written = std::move(disk.value);
            for (const auto& [key, edits] : state.pending) {
                auto found = written.find(key);
                if (setLaterThere(edits, found != written.end() ? &*found : nullptr, disk.identity)) continue;
                std::optional<json> value = applied(found != written.end() ? std::optional<json>(*found) : std::nullopt, edits);
                if (value ? found != written.end() && *found == *value : found == written.end()) continue;
                replaces = true;
                if (value) {
                    written[key] = std::move(*value);
                } else {
                    written.erase(found);
                }
            }
        } else {
            // No file to merge into: all of memory, stand-in values included, so that a file set
            // aside is followed by one that holds them.
            written = state.stored;
        }
    }
    if (!replaces) {
        // The file holds every change already (memory was behind it): nothing to replace.
        state.lastError.reset();
        takeIn(state, written, upTo, true);
        state.seen = disk.identity;
        return Persisted::current;
    }
    // Strings come from users and other programs; invalid UTF-8 is replaced rather than thrown on.
    std::string text = written.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    if (auto error = replaceFile(state.file, text, options, disk.identity)) {
        state.lastError = error->text();
        return Persisted::failed;
    }
    state.lastError.reset();
    takeIn(state, written, upTo, true);
    state.seen = identityOf(state.file);  // under the lock: no other process has written since
    return Persisted::current;
}

// Between writes: when the file is no longer what this process last read or wrote, another
// process wrote it, and what it wrote is taken in as a write would take it in. A file that cannot
// be used now is left for the next write to deal with; nothing is taken in, nothing written.
// Under the file mutex; one stat when nothing changed.
void takeInOthersChanges(UserDefaults::State& state) {
    const auto now = identityOf(state.file);
    if (now == state.seen) return;
    FileRead disk = readFile(state);
    state.seen = disk.identity ? disk.identity : now;
    if (disk.outcome != FileRead::Outcome::loaded) return;
    if (state.loadProblem && !state.loadProblem->setAside) state.loadProblem.reset();  // usable again
    takeIn(state, disk.value, 0, false);  // nothing written: every change of this process stays its own
}

void scheduleFlush(const std::shared_ptr<UserDefaults::State>& state, std::chrono::milliseconds delay,
                   std::atomic<bool> UserDefaults::State::*scheduled);

// Under fileMutex.
void publishStatus(UserDefaults::State& state) {
    std::lock_guard status(state.statusMutex);
    state.publishedError = state.lastError;
    state.publishedProblem = state.loadProblem;
}

// Writes what this process changed. A failure is kept as the last error, the write-status
// listeners are told of every change of it, and the write is tried again later. With `busyAfter`,
// a write that would wait longer for another writer is left to the background queue.
Persisted persist(const std::shared_ptr<UserDefaults::State>& shared,
                  std::optional<std::chrono::milliseconds> busyAfter = std::nullopt,
                  std::optional<UserDefaults::WriteProblem>* problem = nullptr) {
    UserDefaults::State& state = *shared;
    Persisted outcome;
    std::optional<UserDefaults::WriteProblem> error;
    std::uint64_t version = 0;
    {
        std::unique_lock fileLock(state.fileMutex, std::defer_lock);
        if (!busyAfter) {
            fileLock.lock();
        } else {
            // Polled as the lock file is: the background write may itself be waiting for it.
            const auto deadline = std::chrono::steady_clock::now() + *busyAfter;
            while (!fileLock.try_lock()) {
                if (std::chrono::steady_clock::now() >= deadline) {
                    scheduleFlush(shared, state.options.coalesceDelay, &UserDefaults::State::flushScheduled);
                    return Persisted::busy;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        const auto before = state.lastError;
        outcome = persistLocked(state, busyAfter);
        publishStatus(state);
        if (state.lastError != before) version = ++state.writeStatusVersion;
        error = state.lastError;
    }
    if (version) {
        std::lock_guard writer(state.writerMutex);
        // Two writers may finish in either order; a status older than one already told is stale.
        if (version > state.toldWriteStatus) {
            state.toldWriteStatus = version;
            const auto reason = error ? std::optional<std::string>(error->reason) : std::nullopt;
            for (const auto& entry : state.writeStatusListeners) entry.listener(reason);
        }
    }
    if (problem) *problem = std::move(error);
    if (outcome == Persisted::failed) {
        // Another program's hold on the lock ends when it lets go, which the user is told is when
        // the write follows: looked for as often as the file is watched, not at the next retry.
        auto delay = state.options.retryInterval;
        if (error && error->remedy == UserDefaults::Remedy::releaseLock && state.options.watchInterval.count() > 0) {
            delay = std::min(delay, state.options.watchInterval);
        }
        scheduleFlush(shared, delay, &UserDefaults::State::retryScheduled);
    } else if (outcome == Persisted::busy) {
        scheduleFlush(shared, state.options.coalesceDelay, &UserDefaults::State::flushScheduled);
    }
    return outcome;
}

// At most one flush of each kind (coalesced change, retry) waits at a time.
void scheduleFlush(const std::shared_ptr<UserDefaults::State>& state, std::chrono::milliseconds delay,
                   std::atomic<bool> UserDefaults::State::*scheduled) {
    if (!state->flushQueue || ((*state).*scheduled).exchange(true)) return;
    std::weak_ptr<UserDefaults::State> weak = state;
    state->flushQueue->after(delay, [weak, scheduled] {
        auto strong = weak.lock();
        if (!strong) return;
        ((*strong).*scheduled) = false;
        persist(strong);
    });
}

// Never on the main thread: the check runs on the background queue, and reschedules itself for
// as long as the store lives.
void scheduleWatch(const std::shared_ptr<UserDefaults::State>& state) {
    std::weak_ptr<UserDefaults::State> weak = state;
    state->flushQueue->after(state->options.watchInterval, [weak] {
        auto strong = weak.lock();
        if (!strong) return;
        {
            std::lock_guard fileLock(strong->fileMutex);
            takeInOthersChanges(*strong);
            publishStatus(*strong);
        }
        if (strong->options.afterWatch) strong->options.afterWatch();
        scheduleWatch(strong);
    });
}

}  // namespace

UserDefaults::UserDefaults(fs::path file, Options options) : state_(std::make_shared<State>()) {
    state_->file = std::move(file);
    state_->options = std::move(options);
    // Over the pool meant for blocking calls: a slow disk holds the queue for each fsync.
    if (state_->options.backgroundFlush) {
        state_->flushQueue = dispatch::makeSerialQueue(kQueueLabel, dispatch::globalQueue(dispatch::Priority::normal));
    }

    removeStaleTemporaries(state_->file);
    int unresolved = 0;
    if (auto target = writeTarget(state_->file, unresolved); target && *target != state_->file) removeStaleTemporaries(*target);
    FileRead read = readFile(*state_);
    switch (read.outcome) {
    case FileRead::Outcome::loaded:
        state_->stored = std::move(read.value);
        state_->repeatedAtLoad = std::move(read.repeated);
        state_->seen = read.identity;
        break;
    case FileRead::Outcome::missing:
        break;
    case FileRead::Outcome::unreadable:
        // Not the content's fault: the file stays exactly as it is, and is not written over
        // until a later write has been able to read it.
        state_->loadProblem = LoadProblem{std::nullopt, read.problem, read.remedy};
        state_->fileRead = false;
        break;
    case FileRead::Outcome::damaged: {
        // Keep the user's file for inspection and start from defaults.
        state_->loadProblem = LoadProblem{std::nullopt, read.problem};
        fs::path movedTo;
        if (int error = moveAside(state_->file, state_->options, movedTo)) {
            state_->lastError = StepError{WriteStep::setAside, error}.text();
        } else {
            state_->loadProblem->setAside = movedTo;
        }
        break;
    }
    }
    publishStatus(*state_);
    // A damaged file that could not be moved is tried again like any failed write, change or not.
    if (state_->lastError) scheduleFlush(state_, state_->options.retryInterval, &State::retryScheduled);
    if (state_->flushQueue && state_->options.watchInterval.count() > 0) scheduleWatch(state_);
}

UserDefaults::~UserDefaults() { persist(state_); }

fs::path UserDefaults::standardPath() {
    fs::path base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg && fs::path(xdg).is_absolute()) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            if (const passwd* pw = ::getpwuid(::getuid())) home = pw->pw_dir;
        }
        base = fs::path(home ? home : "/tmp") / ".config";
    }
    return base / "Pavonix" / "settings.json";
}

UserDefaults& UserDefaults::standard() {
    // A function-local static: destroyed, and so flushed, when the program exits normally.
    static UserDefaults instance(standardPath());
    return instance;
}

const fs::path& UserDefaults::path() const { return state_->file; }

void UserDefaults::registerDefaults(const json& defaults) {
    if (!defaults.is_object()) return;
    std::unique_lock lock(state_->mutex);
    for (auto it = defaults.begin(); it != defaults.end(); ++it) state_->registered[it.key()] = it.value();
}

void UserDefaults::readRepeatedKeyAs(const std::string& key, json value) {
    State& state = *state_;
    std::lock_guard writer(state.writerMutex);
    std::uint64_t sequence;
    {
        std::unique_lock lock(state.mutex);
        state.repeatedKeyValues[key] = value;
        // The file read at start-up was read before the rule was known.
        if (!state.repeatedAtLoad.contains(key) || state.pending.contains(key)) return;
        if (auto it = state.stored.find(key); it != state.stored.end() && *it == value) return;
        state.stored[key] = value;
        sequence = ++state.sequence;
    }
    for (const auto& entry : state.listeners) entry.listener(key, value, sequence);
}

std::optional<json> UserDefaults::object(const std::string& key) const {
    std::shared_lock lock(state_->mutex);
    if (auto it = state_->stored.find(key); it != state_->stored.end()) return *it;
    if (auto it = state_->registered.find(key); it != state_->registered.end()) return *it;
    return std::nullopt;
}

std::optional<json> UserDefaults::storedObject(const std::string& key) const {
    return withStored(key, [](const json* value) { return value ? std::optional<json>(*value) : std::nullopt; });
}

json UserDefaults::dictionary() const {
    std::shared_lock lock(state_->mutex);
    return state_->stored;
}

namespace {

// Past this many changes of one key waiting for a write (writes failing for a long time), the key's
// changes are kept as its whole value in memory: bounded, at the cost of another process's
// changes to that key since then.
constexpr std::size_t kMaxPendingEdits = 64;

// On the clock that file modification times are kept by.
std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

UserDefaults::Edit replacement(std::optional<json> value) {
    return [value = std::move(value)](const json*) { return value; };
}

}  // namespace

bool UserDefaults::set(const std::string& key, json value) { return change(key, replacement(std::move(value)), Kind::replace); }

bool UserDefaults::setTransient(const std::string& key, json value) {
    return change(key, replacement(std::move(value)), Kind::transient);
}

bool UserDefaults::remove(const std::string& key) { return change(key, replacement(std::nullopt), Kind::replace); }

bool UserDefaults::edit(const std::string& key, Edit edit) { return change(key, std::move(edit), Kind::edit); }

bool UserDefaults::change(const std::string& key, Edit edit, Kind kind) {
    State& state = *state_;
    std::uint64_t sequence = 0;
    {
        std::lock_guard writer(state.writerMutex);
        std::optional<json> value;
        {
            std::unique_lock lock(state.mutex);
            auto it = state.stored.find(key);
            value = edit(it != state.stored.end() ? &*it : nullptr);
            const bool same = value ? it != state.stored.end() && *it == *value : it == state.stored.end();
            if (kind == Kind::transient) {
                if (same) return false;
                state.pending.erase(key);
            } else {
                // Recorded even when memory holds the value already: memory may be behind the file.
                auto& edits = state.pending[key];
                std::optional<State::PendingEdit::Set> set;
                if (kind == Kind::replace && state.fileRead) {
                    // What the file held before this process's first set still unwritten.
                    if (edits.empty()) {
                        set = State::PendingEdit::Set{nowNs(), it != state.stored.end() ? std::optional<json>(*it) : std::nullopt};
                    } else if (edits.front().set) {
                        set = State::PendingEdit::Set{nowNs(), edits.front().set->before};
                    }
                }
                if (kind == Kind::replace) edits.clear();  // what came before no longer counts
                edits.push_back({++state.edits, std::move(edit), std::move(set)});
                if (edits.size() > kMaxPendingEdits) edits = {{state.edits, replacement(value), std::nullopt}};
            }
            if (!same) {
                if (value) {
                    state.stored[key] = *value;
                } else {
                    state.stored.erase(it);
                }
                sequence = ++state.sequence;
            }
        }
        if (sequence) {
            for (const auto& entry : state.listeners) entry.listener(key, value, sequence);
        }
    }
    if (kind != Kind::transient) scheduleFlush(state_, state.options.coalesceDelay, &State::flushScheduled);
    return sequence != 0;
}

UserDefaults::Snapshot UserDefaults::snapshot(const std::string& key) const {
    std::shared_lock lock(state_->mutex);
    Snapshot result;
    if (auto it = state_->stored.find(key); it != state_->stored.end()) result.value = *it;
    result.sequence = state_->sequence;
    return result;
}

bool UserDefaults::flush() { return persist(state_) == Persisted::current; }

std::optional<bool> UserDefaults::flushUnlessBusy(std::chrono::milliseconds wait) {
    const Persisted outcome = persist(state_, wait);
    if (outcome == Persisted::busy) return std::nullopt;
    return outcome == Persisted::current;
}

void UserDefaults::flushInBackground(FlushDone done) {
    const auto queue = state_->flushQueue ? state_->flushQueue : dispatch::globalQueue(dispatch::Priority::normal);
    std::weak_ptr<State> weak = state_;
    queue->async([weak, done = std::move(done)] {
        auto strong = weak.lock();
        if (!strong) return done(WriteProblem("the settings were closed before they could be saved"));
        std::optional<WriteProblem> problem;
        persist(strong, std::nullopt, &problem);
        done(problem);
    });
}

std::optional<std::string> UserDefaults::lastWriteError() const {
    std::lock_guard lock(state_->statusMutex);
    return state_->publishedError ? std::optional<std::string>(state_->publishedError->reason) : std::nullopt;
}

std::optional<UserDefaults::WriteProblem> UserDefaults::lastWriteProblem() const {
    std::lock_guard lock(state_->statusMutex);
    return state_->publishedError;
}

fs::path UserDefaults::lockPath(const fs::path& file) { return file.parent_path() / kLockName; }

std::optional<fs::path> UserDefaults::setAsidePath() const {
    std::lock_guard lock(state_->statusMutex);
    return state_->publishedProblem ? state_->publishedProblem->setAside : std::nullopt;
}

std::optional<UserDefaults::LoadProblem> UserDefaults::loadProblem() const {
    std::lock_guard lock(state_->statusMutex);
    return state_->publishedProblem;
}

namespace {

// Both kinds of listener are kept alike: under the writer lock, numbered from one counter.
template <class Entry, class Listener>
UserDefaults::ListenerId addEntry(UserDefaults::State& state, std::vector<Entry>& entries, Listener listener) {
    std::lock_guard writer(state.writerMutex);
    const UserDefaults::ListenerId id = state.nextListenerId++;
    entries.push_back({id, std::move(listener)});
    return id;
}

template <class Entry>
void removeEntry(UserDefaults::State& state, std::vector<Entry>& entries, UserDefaults::ListenerId id) {
    std::lock_guard writer(state.writerMutex);
    std::erase_if(entries, [id](const Entry& entry) { return entry.id == id; });
}

}  // namespace

UserDefaults::ListenerId UserDefaults::addWriteStatusListener(WriteStatusListener listener) {
    return addEntry(*state_, state_->writeStatusListeners, std::move(listener));
}

void UserDefaults::removeWriteStatusListener(ListenerId id) { removeEntry(*state_, state_->writeStatusListeners, id); }

UserDefaults::ListenerId UserDefaults::addListener(Listener listener) {
    return addEntry(*state_, state_->listeners, std::move(listener));
}

void UserDefaults::removeListener(ListenerId id) { removeEntry(*state_, state_->listeners, id); }

}  // namespace pavonix::defaults
