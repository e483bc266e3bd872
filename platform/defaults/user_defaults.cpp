#include "platform/defaults/user_defaults.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/dispatch/dispatch.h"

namespace pavonix::defaults {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kQueueLabel = "com.vrel.Lanternpost.defaults";
// Far beyond any settings file the program writes; a file past either is treated as unreadable.
constexpr std::size_t kMaxFileBytes = 16 * 1024 * 1024;
constexpr std::size_t kMaxNesting = 64;

const char* stepName(WriteStep step) {
    switch (step) {
    case WriteStep::setAside: return "moving the unreadable settings file aside";
    case WriteStep::createDirectory: return "creating the settings folder";
    case WriteStep::createTemporary: return "creating a temporary settings file";
    case WriteStep::write: return "writing the settings file";
    case WriteStep::sync: return "syncing the settings file";
    case WriteStep::rename: return "replacing the settings file";
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

enum class LoadOutcome { loaded, missing, unreadable };

LoadOutcome readFile(const fs::path& file, json& into) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? LoadOutcome::missing : LoadOutcome::unreadable;
    std::string text;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            if (text.size() > kMaxFileBytes) {
                ::close(fd);
                return LoadOutcome::unreadable;
            }
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ::close(fd);
            return LoadOutcome::unreadable;
        }
    }
    ::close(fd);
    // Copying, comparing and writing a value recurse once per level, so a deeper file would
    // overflow the stack at the first settings write. `depth` counts the enclosing levels.
    bool tooDeep = false;
    json parsed = json::parse(
        text,
        [&](int depth, json::parse_event_t event, json&) {
            const bool opens = event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
            if (opens && depth >= static_cast<int>(kMaxNesting)) tooDeep = true;
            return !tooDeep;  // nothing more is built once the file is refused
        },
        /*allow_exceptions=*/false);
    if (tooDeep || parsed.is_discarded() || !parsed.is_object()) return LoadOutcome::unreadable;
    into = std::move(parsed);
    return LoadOutcome::loaded;
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

// Replaces `file` with `text`: temporary file in the same folder, fsync, rename, fsync folder.
// On failure the temporary file is removed and `file` is untouched.
std::optional<StepError> replaceFile(const fs::path& file, const std::string& text, const Options& options) {
    static std::atomic<unsigned> counter{0};
    const fs::path folder = file.parent_path();

    if (int error = injected(options, WriteStep::createDirectory)) return StepError{WriteStep::createDirectory, error};
    std::error_code ec;
    if (!folder.empty()) {
        fs::create_directories(folder, ec);
        if (ec) return StepError{WriteStep::createDirectory, ec.value()};
    }

    const std::string temporary = file.string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(counter.fetch_add(1));
    if (int error = injected(options, WriteStep::createTemporary)) return StepError{WriteStep::createTemporary, error};
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return StepError{WriteStep::createTemporary, errno};

    auto fail = [&](WriteStep step, int error) {
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
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
    if (::rename(temporary.c_str(), file.c_str()) != 0) return fail(WriteStep::rename, errno);

    // Make the rename itself durable; the data is already safe either way, so failures are ignored.
    int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return std::nullopt;
}

// Writes everything changed since the last successful write. Returns whether the file is current.
bool persist(UserDefaults::State& state) {
    std::lock_guard fileLock(state.fileMutex);

    if (state.setAsidePending) {
        fs::path movedTo;
        if (int error = moveAside(state.file, state.options, movedTo)) {
            // Writing now would destroy the unreadable file: keep everything in memory instead.
            state.lastError = StepError{WriteStep::setAside, error}.text();
            return false;
        }
        state.setAsidePending = false;
        state.setAside = movedTo;
    }

    json snapshot;
    std::uint64_t sequence;
    {
        std::shared_lock lock(state.mutex);
        if (state.sequence == state.persistedSequence) return true;
        snapshot = state.stored;
        sequence = state.sequence;
    }
    // Strings come from users and other programs; invalid UTF-8 is replaced rather than thrown on.
    std::string text = snapshot.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    if (auto error = replaceFile(state.file, text, state.options)) {
        state.lastError = error->text();
        return false;
    }
    state.lastError.reset();
    std::unique_lock lock(state.mutex);
    if (sequence > state.persistedSequence) state.persistedSequence = sequence;
    return true;
}

}  // namespace

UserDefaults::UserDefaults(fs::path file, Options options) : state_(std::make_shared<State>()) {
    state_->file = std::move(file);
    state_->options = std::move(options);
    if (state_->options.backgroundFlush) state_->flushQueue = dispatch::makeSerialQueue(kQueueLabel);

    removeStaleTemporaries(state_->file);
    json loaded;
    switch (readFile(state_->file, loaded)) {
    case LoadOutcome::loaded:
        state_->stored = std::move(loaded);
        break;
    case LoadOutcome::missing:
        break;
    case LoadOutcome::unreadable: {
        // Keep the user's file for inspection and start from defaults.
        fs::path movedTo;
        if (int error = moveAside(state_->file, state_->options, movedTo)) {
            state_->setAsidePending = true;
            state_->lastError = StepError{WriteStep::setAside, error}.text();
        } else {
            state_->setAside = movedTo;
        }
        break;
    }
    }
}

UserDefaults::~UserDefaults() { persist(*state_); }

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

bool UserDefaults::set(const std::string& key, json value) { return change(key, std::move(value)); }

bool UserDefaults::remove(const std::string& key) { return change(key, std::nullopt); }

bool UserDefaults::change(const std::string& key, std::optional<json> value) {
    State& state = *state_;
    {
        std::lock_guard writer(state.writerMutex);
        std::uint64_t sequence;
        {
            std::unique_lock lock(state.mutex);
            auto it = state.stored.find(key);
            if (value) {
                if (it != state.stored.end() && *it == *value) return false;
                if (it != state.stored.end()) {
                    *it = *value;
                } else {
                    state.stored[key] = *value;
                }
            } else {
                if (it == state.stored.end()) return false;
                state.stored.erase(it);
            }
            sequence = ++state.sequence;
        }
        for (const auto& entry : state.listeners) entry.listener(key, value, sequence);
    }
    if (state.options.backgroundFlush && !state.flushScheduled.exchange(true)) {
        std::weak_ptr<State> weak = state_;
        state.flushQueue->after(state.options.coalesceDelay, [weak] {
            auto strong = weak.lock();
            if (!strong) return;
            strong->flushScheduled = false;
            persist(*strong);
        });
    }
    return true;
}

UserDefaults::Snapshot UserDefaults::snapshot(const std::string& key) const {
    std::shared_lock lock(state_->mutex);
    Snapshot result;
    if (auto it = state_->stored.find(key); it != state_->stored.end()) result.value = *it;
    result.sequence = state_->sequence;
    return result;
}

bool UserDefaults::flush() { return persist(*state_); }

std::optional<std::string> UserDefaults::lastWriteError() const {
    std::lock_guard lock(state_->fileMutex);
    return state_->lastError;
}

std::optional<fs::path> UserDefaults::setAsidePath() const {
    std::lock_guard lock(state_->fileMutex);
    return state_->setAside;
}

std::optional<UserDefaults::LoadProblem> UserDefaults::loadProblem() const {
    std::lock_guard lock(state_->fileMutex);
    if (!state_->setAside) return std::nullopt;
    return LoadProblem{state_->setAside, {}};
}

UserDefaults::ListenerId UserDefaults::addWriteStatusListener(WriteStatusListener listener) {
    std::lock_guard writer(state_->writerMutex);
    ListenerId id = state_->nextListenerId++;
    state_->writeStatusListeners.push_back({id, std::move(listener)});
    return id;
}

void UserDefaults::removeWriteStatusListener(ListenerId id) {
    std::lock_guard writer(state_->writerMutex);
    std::erase_if(state_->writeStatusListeners, [id](const auto& entry) { return entry.id == id; });
}

UserDefaults::ListenerId UserDefaults::addListener(Listener listener) {
    std::lock_guard writer(state_->writerMutex);
    ListenerId id = state_->nextListenerId++;
    state_->listeners.push_back({id, std::move(listener)});
    return id;
}

void UserDefaults::removeListener(ListenerId id) {
    std::lock_guard writer(state_->writerMutex);
    std::erase_if(state_->listeners, [id](const State::ListenerEntry& entry) { return entry.id == id; });
}

}  // namespace pavonix::defaults
