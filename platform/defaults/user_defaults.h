// The user-defaults store: one JSON object per user, kept in memory and persisted to
// $XDG_CONFIG_HOME/Pavonix/settings.json.
//
// Reads come from memory and never touch the disk. A write is visible to every reader at once;
// persisting it is coalesced on a background serial queue for at most `coalesceDelay`, and
// flush() (also run by the destructor) writes whatever is still pending. The file is replaced
// atomically (temporary file, fsync, rename), so a crash or a full disk leaves either the old or
// the new file, never a truncated one. A settings file that is a symbolic link is read and
// replaced where the link leads; the link itself stays.
//
// Another process (a second copy of the program) may share the file. Each write holds an
// exclusive lock (".settings.lock" beside the file), reads the file again and applies this
// process's changes since they were last written to what it finds; the other keys it finds are
// taken into memory, and their listeners told. So neither process reverts the other. A change is
// applied to the file's value, not to the one in memory, which may be behind: a value set is
// compared with the file's (and written though memory already held it), and an edit (a record
// added to a list, or removed) keeps what another process put in the same list. A value set that
// waits for its write gives way to another process's value of that key written after it was set:
// the later choice holds, whichever write comes last.
// Between writes, the background queue looks at the file every `watchInterval` and takes in the
// same way what another process wrote, so an idle copy does not keep serving old settings.
//
// A file whose content cannot be used (not JSON, not an object, larger than 16 MiB, nested deeper
// than 64 levels) is moved aside as "settings.json.corrupt-<UTC time>" and the store starts empty;
// it is never overwritten. A file that cannot be read at all (no permission, an I/O error, not a
// regular file, owned by another user, behind a link that leads nowhere or below a file in a
// folder's place) is left exactly as it is, and nothing is written over it
// until a later write has been able to read it. A failed write is tried again at the next change
// and every `retryInterval` while it keeps failing (every `watchInterval` while another process
// holds the lock).
//
// Registered defaults live only in memory: they are registered at each launch and never written.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pavonix::dispatch {
class Queue;
}

namespace pavonix::defaults {

// The steps of one atomic file replacement, named so tests can fail any of them.
enum class WriteStep { setAside, createDirectory, createTemporary, write, sync, rename, lock };

struct Options {
    // How long a burst of writes may be held before it is persisted.
    std::chrono::milliseconds coalesceDelay{200};
    // How often a write that failed is tried again while no change comes to retry it.
    std::chrono::milliseconds retryInterval{30000};
    // How long a write waits for another process to finish its own.
    std::chrono::milliseconds lockTimeout{2000};
    // How often the file is checked for a write by another process, to take its changes in
    // while this one has nothing to write (zero: only at this process's writes).
    std::chrono::milliseconds watchInterval{2000};
    // False: nothing is persisted until flush() is called (tests, short-lived tools).
    bool backgroundFlush = true;
    // Test seam: a non-zero errno makes that step fail as if the system call had.
    std::function<int(WriteStep)> faultHook;
    // Test seam: runs after the temporary file is written and synced, before the rename.
    std::function<void()> beforeRename;
    // Test seam: runs on the background queue after each look for another process's changes.
    std::function<void()> afterWatch;
};

class UserDefaults {
public:
    explicit UserDefaults(std::filesystem::path file, Options options = {});
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // $XDG_CONFIG_HOME/Pavonix/settings.json, ~/.config when XDG_CONFIG_HOME is unset or relative.
    static std::filesystem::path standardPath();
    // The process-wide store at standardPath(), created on first use and flushed at exit.
    static UserDefaults& standard();

    const std::filesystem::path& path() const;

    // Merges `defaults` (a JSON object) into the registration domain. Never persisted.
    void registerDefaults(const nlohmann::json& defaults);

    // A key that the file holds more than once reads as `value` (and is written so at the next
    // write), whatever its copies say; other keys keep the file's last copy, as JSON readers do.
    // For a switch whose safe side must win over a file edited into ambiguity. Applies to the file
    // read when the store was created too.
    void readRepeatedKeyAs(const std::string& key, nlohmann::json value);

    // The stored value, else the registered default.
    std::optional<nlohmann::json> object(const std::string& key) const;
    // The stored value only.
    std::optional<nlohmann::json> storedObject(const std::string& key) const;
    // Every stored value, as one object.
    nlohmann::json dictionary() const;

    // Calls f with the stored value (nullptr when absent) under the read lock and returns its
    // result; for typed readers that must not copy. f must not call back into the store.
    template <class F>
    decltype(auto) withStored(const std::string& key, F&& f) const;

    // Stores a value. Returns false, and tells no listener, when an equal value is already stored
    // in memory; the value is written all the same where the file holds another.
    bool set(const std::string& key, nlohmann::json value);
    // Holds a value in memory for this run without counting it as this process's change: it is
    // written only where the whole memory is (no usable file to merge into), and a value found in
    // the file at a later write replaces it. For a safe stand-in while the file cannot be read.
    bool setTransient(const std::string& key, nlohmann::json value);
    // Removes a stored value; returns false when none was stored in memory.
    bool remove(const std::string& key);

    // Changes a stored value through a function of the value (null when there is none; nothing
    // returned removes it): applied now to the value in memory, and again at the write to the
    // value in the file, so that what another process wrote there meanwhile stays (records of a
    // list that it added, removed or changed). `edit` must give the same answer for the same value,
    // be quick, and not call into the store. Returns whether the value in memory changed.
    using Edit = std::function<std::optional<nlohmann::json>(const nlohmann::json* current)>;
    bool edit(const std::string& key, Edit edit);

    // The stored value with the sequence number of the last change of any key, read atomically.
    struct Snapshot {
        std::optional<nlohmann::json> value;
        std::uint64_t sequence = 0;
    };
    Snapshot snapshot(const std::string& key) const;

    // Writes pending changes now, on the calling thread. Returns false when the file could not be
    // written; the values stay in memory and the next write or flush tries again.
    bool flush();
    // The same for a thread that must not wait long: when another write (of this process or of
    // another) holds the file for longer than `wait`, nothing is done here and nothing returned;
    // the changes stay pending, and the background queue writes them.
    std::optional<bool> flushUnlessBusy(std::chrono::milliseconds wait);

    // What the user can do about a problem with the file, where it is not the usual (the
    // permissions of the file and its folder, the free space on the disk).
    enum class Remedy {
        permissions,
        createLinkTarget,  // a link on the way leads nowhere (a volume not mounted yet, a file moved)
        releaseLock        // another program held the lock file past the store's lock timeout
    };
    struct WriteProblem {
        WriteProblem(std::string reason, Remedy remedy = Remedy::permissions) : reason(std::move(reason)), remedy(remedy) {}
        std::string reason;
        Remedy remedy;
        bool operator==(const WriteProblem&) const = default;
    };
    // Writes pending changes behind the writes queued on the background queue, and hands `done`,
    // off the calling thread, what kept them from the file: nothing when the file holds every
    // change made before the call. A write of this process is waited for however long the disk
    // takes; another process's lock for the lock timeout, after which the problem's remedy is
    // releaseLock. For an answer that must wait for the disk on a thread that must not.
    using FlushDone = std::function<void(const std::optional<WriteProblem>& problem)>;
    void flushInBackground(FlushDone done);

    // Why the last attempt to persist failed; empty once a later attempt succeeds.
    std::optional<std::string> lastWriteError() const;
    std::optional<WriteProblem> lastWriteProblem() const;
    // The lock file beside `file` that each write holds.
    static std::filesystem::path lockPath(const std::filesystem::path& file);
    // Where a file found at start-up with unusable content was moved, if one was.
    std::optional<std::filesystem::path> setAsidePath() const;

    // Told after every change, on the writer's thread, in the order of the changes (a value taken
    // from the file at a write is a change too). A listener must be quick and must not write to
    // the store; `value` is empty when the key was removed.
    using Listener = std::function<void(const std::string& key,
                                        const std::optional<nlohmann::json>& value,
                                        std::uint64_t sequence)>;
    using ListenerId = std::uint64_t;
    ListenerId addListener(Listener listener);
    // Once it returns, the listener is not running and will not run again.
    void removeListener(ListenerId id);

    // Why the file found at start-up could not be used, if it could not: either it was moved aside
    // for its content (`setAside` holds where, `reason` what was wrong), or it could not be read
    // at all (`reason` holds the system's text, and the file is left as it is). A damaged file
    // that could not be moved yet has no `setAside`. A problem without `setAside` ends once a
    // later write, or a look for another process's changes, has read the file.
    struct LoadProblem {
        std::optional<std::filesystem::path> setAside;
        std::string reason;
        Remedy remedy = Remedy::permissions;
    };
    std::optional<LoadProblem> loadProblem() const;

    // Told whenever lastWriteError() changes (a write failed, or one succeeded after a failure),
    // on the thread that wrote, in the order of the changes. A listener must be quick and must
    // not call into the store (post to another thread to read more).
    using WriteStatusListener = std::function<void(const std::optional<std::string>& error)>;
    ListenerId addWriteStatusListener(WriteStatusListener listener);
    void removeWriteStatusListener(ListenerId id);

    struct State;

private:
    enum class Kind { replace, edit, transient };
    bool change(const std::string& key, Edit edit, Kind kind);

    std::shared_ptr<State> state_;
};

// Shared between the store and its scheduled flushes, which hold it weakly.
// Lock order: fileMutex, then writerMutex, then mutex; statusMutex is taken last, alone or under
// fileMutex.
struct UserDefaults::State {
    mutable std::shared_mutex mutex;   // guards the fields up to `repeatedAtLoad`
    nlohmann::json stored = nlohmann::json::object();
    nlohmann::json registered = nlohmann::json::object();
    std::uint64_t sequence = 0;        // bumped by every change
    // The changes of this process not written yet, per key in the order they were made; each is
    // applied again to the file's value at the write. Numbered from `edits`.
    struct PendingEdit {
        std::uint64_t number;
        Edit edit;
        // For a value set (not an edit): when, on the clock that file times are kept by, and the
        // value it replaced as this process knew the file (nothing: absent). A file that another
        // process wrote after that time, with another value there, holds a later choice.
        struct Set {
            std::int64_t atNs;
            std::optional<nlohmann::json> before;
        };
        std::optional<Set> set;
    };
    std::map<std::string, std::vector<PendingEdit>> pending;
    std::uint64_t edits = 0;
    bool fileRead = true;  // false while the file could not be read: a set then knows nothing of it
    std::map<std::string, nlohmann::json> repeatedKeyValues;  // see readRepeatedKeyAs()
    std::set<std::string> repeatedAtLoad;                     // the keys held more than once at start-up

    std::mutex writerMutex;            // serialises writers and the listeners they call
    struct ListenerEntry {
        ListenerId id;
        Listener listener;
    };
    std::vector<ListenerEntry> listeners;
    ListenerId nextListenerId = 1;
    struct WriteStatusListenerEntry {
        ListenerId id;
        WriteStatusListener listener;
    };
    std::vector<WriteStatusListenerEntry> writeStatusListeners;  // guarded by writerMutex
    std::uint64_t toldWriteStatus = 0;                            // guarded by writerMutex

    std::filesystem::path file;
    Options options;
    std::atomic<bool> flushScheduled{false};
    std::atomic<bool> retryScheduled{false};

    std::mutex fileMutex;              // one file replacement at a time; guards the fields below
    // What the file was when this process last read or wrote it (empty: no file, or no telling);
    // a file that differs was written by someone else since.
    struct FileIdentity {
        std::uint64_t device = 0, inode = 0;
        std::int64_t size = 0, modifiedNs = 0, changedNs = 0;
        bool operator==(const FileIdentity&) const = default;
    };
    std::optional<FileIdentity> seen;
    std::optional<WriteProblem> lastError;
    std::uint64_t writeStatusVersion = 0;  // bumped whenever lastError changes
    std::optional<LoadProblem> loadProblem;
    std::shared_ptr<dispatch::Queue> flushQueue;

    // lastError and loadProblem as the last finished write left them, for the getters: the main
    // thread asks, and must not wait for a write under way (a slow disk, another process's lock).
    mutable std::mutex statusMutex;
    std::optional<WriteProblem> publishedError;
    std::optional<LoadProblem> publishedProblem;
};

template <class F>
decltype(auto) UserDefaults::withStored(const std::string& key, F&& f) const {
    std::shared_lock lock(state_->mutex);
    auto it = state_->stored.find(key);
    const nlohmann::json* value = it == state_->stored.end() ? nullptr : &*it;
    return std::forward<F>(f)(value);
}

}  // namespace pavonix::defaults
