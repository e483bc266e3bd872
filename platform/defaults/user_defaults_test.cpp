#include "platform/defaults/user_defaults.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/testing/scoped_environment.h"
#include "platform/testing/temporary_folder.h"
#include "platform/testing/wait_until.h"

namespace pavonix::defaults {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

using testing::readFile;
using testing::writeFile;

// Writes persisted in the background after `coalesce`, or (manual) not before flush().
constexpr std::optional<std::chrono::milliseconds> manual;
Options options(std::optional<std::chrono::milliseconds> coalesce, std::function<int(WriteStep)> faultHook = {}) {
    Options out;
    out.backgroundFlush = coalesce.has_value();
    out.coalesceDelay = coalesce.value_or(out.coalesceDelay);
    out.faultHook = std::move(faultHook);
    return out;
}

class UserDefaultsTest : public ::testing::Test {
protected:
    // Every file in the settings folder but the lock file, so that a temporary file left behind shows.
    std::vector<fs::path> files() const {
        std::vector<fs::path> out;
        for (const auto& entry : fs::directory_iterator(file_.parent_path())) {
            if (entry.path() != lockFile()) out.push_back(entry.path());
        }
        return out;
    }
    fs::path lockFile() const { return file_.parent_path() / ".settings.lock"; }
    json saved() const { return json::parse(readFile(file_), nullptr, false); }
    // File times are kept at a coarser grain than the clock: a write dated clearly after what came before.
    void datedLater() const { fs::last_write_time(file_, fs::file_time_type::clock::now() + 1s); }

    testing::TemporaryFolder folder_{"pavonix-defaults"};
    fs::path file_ = folder_ / "Pavonix" / "settings.json";
};

// Registered defaults stay unwritten (pinned with every key by the settings keys test).
TEST_F(UserDefaultsTest, TheDestructorPersistsPendingWritesAndKeepsUnknownKeys) {
    writeFile(file_, R"({"fromAnOlderVersion": [1, 2], "httpPort": 1})");
    {
        UserDefaults store(file_, options(std::chrono::hours(1)));
        EXPECT_TRUE(store.remove("httpPort"));
        store.set("name", "Bühne \xff");  // invalid UTF-8 must not stop the write
    }
    EXPECT_EQ(saved(), json({{"fromAnOlderVersion", {1, 2}}, {"name", "Bühne \xEF\xBF\xBD"}}));
    EXPECT_EQ(files(), std::vector<fs::path>{file_});
}

TEST_F(UserDefaultsTest, DamagedFilesAreMovedAsideNeverOverwritten) {
    // Valid JSON too deep (65 levels) or too large to handle safely counts as damaged.
    const std::string cases[] = {
        "{\"httpPort\": 80", "[1, 2, 3]", "", "{\"a\":" + std::string(64, '[') + std::string(64, ']') + "}",
        "{\"a\":\"" + std::string(16 * 1024 * 1024, 'x') + "\"}"};
    for (const auto& garbage : cases) {
        SCOPED_TRACE(garbage.substr(0, 80));
        fs::remove_all(file_.parent_path());
        writeFile(file_, garbage);
        UserDefaults store(file_, options(manual));  // starts empty: nothing of the garbage is written below
        const fs::path aside = store.setAsidePath().value_or("");
        EXPECT_TRUE(aside.filename().string().starts_with("settings.json.corrupt-"));
        EXPECT_FALSE(store.loadProblem().value_or(UserDefaults::LoadProblem{}).reason.empty());
        store.set("httpPort", 8092);
        ASSERT_TRUE(store.flush());
        EXPECT_EQ(saved(), json({{"httpPort", 8092}}));
        EXPECT_EQ(readFile(aside), garbage);
        EXPECT_EQ(store.loadProblem().value_or(UserDefaults::LoadProblem{}).setAside, aside) << "stays for the run";
    }
}

// Not the content's fault: nothing is moved or written over until the file can be read, and then
// the change made meanwhile is merged into what it holds. A link that leads nowhere (a volume not
// mounted yet) and a file in the settings folder's place are not a first start either; once the
// link leads somewhere, the file it leads to is written and the link stays.
TEST_F(UserDefaultsTest, AFileThatCannotBeReadIsLeftAsItIsUntilItCanBe) {
    // Which kinds of file are refused is the own-file reader's test; here, what the store does.
    // Opening the FIFO must not wait for a writer that never comes.
    const fs::path folder = file_.parent_path(), mounted = folder_ / "volume" / "settings.json";
    const std::string dangling = file_.string() + " links to " + mounted.string() + ", which does not exist";
    struct Kind {
        const char* name;
        std::function<void()> make;
        std::string reason, writeError;
        UserDefaults::Remedy remedy = UserDefaults::Remedy::permissions;  // the advice the reason calls for
    };
    const Kind kinds[] = {
        {"a folder", [&] { fs::create_directories(file_ / "inside"); }, "Not a regular file", {}},
        {"a FIFO", [&] { fs::create_directories(folder), ::mkfifo(file_.c_str(), 0600); }, "Not a regular file", {}},
        {"a dangling link", [&] { fs::create_directories(folder), fs::create_symlink(mounted, file_); }, dangling, {},
         UserDefaults::Remedy::createLinkTarget},
        {"a file as the folder", [&] { writeFile(folder, "mine"); }, folder.string() + " is not a folder",
         "creating the settings folder: Not a directory"},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        fs::remove_all(folder);
        kind.make();
        const auto before = fs::symlink_status(file_);
        UserDefaults store(file_, options(manual));
        EXPECT_EQ(store.loadProblem().value_or(UserDefaults::LoadProblem{}).reason, kind.reason);
        EXPECT_FALSE(store.setAsidePath());
        EXPECT_TRUE(store.setTransient("httpAuthenticationEnabled", true));
        EXPECT_TRUE(store.set("httpPort", 2));
        EXPECT_FALSE(store.flush());
        EXPECT_EQ(store.lastWriteError(), kind.writeError.empty() ? "reading the settings file: " + kind.reason : kind.writeError);
        EXPECT_EQ(std::pair(store.loadProblem()->remedy, store.lastWriteProblem()->remedy), std::pair(kind.remedy, kind.remedy));
        EXPECT_EQ(fs::symlink_status(file_).type(), before.type());
        if (fs::is_directory(folder)) {
            EXPECT_EQ(files(), std::vector<fs::path>{file_}) << "nothing set aside, nothing half written";
        } else {
            EXPECT_EQ(readFile(folder), "mine");
        }

        const bool link = fs::is_symlink(file_);
        if (!link) fs::remove_all(folder);
        writeFile(link ? mounted : file_, R"({"httpAuthenticationEnabled": false, "oscPort": 5, "httpPort": 1})");
        ASSERT_TRUE(store.flush());
        EXPECT_EQ(saved(), json({{"httpAuthenticationEnabled", false}, {"oscPort", 5}, {"httpPort", 2}}));
        EXPECT_EQ(store.dictionary(), saved()) << "the stand-in gives way to the file's own value";
        EXPECT_FALSE(store.loadProblem());
        EXPECT_FALSE(store.lastWriteError());
        EXPECT_EQ(fs::is_symlink(file_), link) << "a link stays, the temporary file beside its target";
        if (link) {
            EXPECT_EQ(std::distance(fs::directory_iterator(mounted.parent_path()), fs::directory_iterator()), 1);
        }
    }

    // A link turned between the read and the write (by another user who may write in the folder it
    // leads to) does not lead the write to another of the user's files.
    const fs::path other = folder_ / "other";
    writeFile(other, "mine");
    fs::remove(file_);
    fs::create_symlink(mounted, file_);
    bool turn = true;
    UserDefaults turned(file_, options(manual, [&](WriteStep step) {
        if (step == WriteStep::createTemporary && std::exchange(turn, false)) fs::remove(mounted), fs::create_symlink(other, mounted);
        return 0;
    }));
    turned.set("httpPort", 3);
    EXPECT_FALSE(turned.flush());
    EXPECT_EQ(readFile(other), "mine");
    EXPECT_EQ(turned.lastWriteError(), "replacing the settings file: " + std::string(std::strerror(ESTALE)));
}

// A stand-in value is written only where there is no file to merge into: then the file that
// follows one set aside holds it, and survives the next start.
TEST_F(UserDefaultsTest, AStandInValueIsWrittenInPlaceOfADamagedFile) {
    writeFile(file_, "{ torn");
    {
        Options unmovable = options(manual, [](WriteStep step) { return step == WriteStep::setAside ? EROFS : 0; });
        UserDefaults store(file_, unmovable);
        EXPECT_FALSE(store.setAsidePath());
        store.setTransient("httpAuthenticationEnabled", true);
    }
    EXPECT_EQ(readFile(file_), "{ torn") << "nothing changed: no write, and the file could not be moved";
    {
        UserDefaults store(file_, options(manual));
        store.setTransient("httpAuthenticationEnabled", true);
        store.set("httpPort", 2);
    }
    EXPECT_EQ(saved(), json({{"httpAuthenticationEnabled", true}, {"httpPort", 2}}));
}

// The file and the values in memory survive a failure at any step, the next write retries, and
// the write-status listeners hear of the failure and of its end.
TEST_F(UserDefaultsTest, AFailedStepKeepsTheOldFileAndTheValueUntilTheNextWriteSucceeds) {
    for (WriteStep failing : {WriteStep::setAside, WriteStep::createDirectory, WriteStep::lock,
                              WriteStep::createTemporary, WriteStep::write, WriteStep::sync, WriteStep::rename}) {
        SCOPED_TRACE(static_cast<int>(failing));
        fs::remove_all(file_.parent_path());
        const std::string old = failing == WriteStep::setAside ? "not json" : R"({"httpPort": 1})";
        writeFile(file_, old);
        std::atomic<int> error{ENOSPC};
        std::mutex toldMutex;
        std::vector<std::optional<std::string>> told;
        UserDefaults store(file_, options(5ms, [&](WriteStep step) { return step == failing ? error.load() : 0; }));
        store.addWriteStatusListener([&](const std::optional<std::string>& status) {
            std::lock_guard lock(toldMutex);
            told.push_back(status);
        });
        store.set("httpPort", 2);
        ASSERT_TRUE(testing::waitUntil([&] { return store.lastWriteError().has_value(); }));
        EXPECT_FALSE(store.flush());
        EXPECT_NE(store.lastWriteError().value_or("").find("No space left on device"), std::string::npos);
        EXPECT_EQ(readFile(file_), old);
        EXPECT_EQ(store.object("httpPort"), json(2));
        EXPECT_EQ(files(), std::vector<fs::path>{file_}) << "temporary file left behind";

        error = 0;
        store.set("oscPort", 3);
        const json expected = {{"httpPort", 2}, {"oscPort", 3}};
        EXPECT_TRUE(testing::waitUntil([&] { return saved() == expected && !store.lastWriteError(); })) << readFile(file_);
        EXPECT_EQ(readFile(store.setAsidePath().value_or("")), failing == WriteStep::setAside ? old : "");
        // The failure at start-up was there before the listener; the others are told as they come.
        const std::size_t changes = failing == WriteStep::setAside ? 1 : 2;
        EXPECT_TRUE(testing::waitUntil([&] {
            std::lock_guard lock(toldMutex);
            return told.size() == changes && !told.back();
        }));
    }
}

// With no further change to retry it, a failed write is tried again on a timer until it succeeds.
TEST_F(UserDefaultsTest, AFailedWriteIsRetriedOnATimer) {
    std::atomic<int> error{EROFS};
    Options retrying = options(std::chrono::hours(1), [&](WriteStep step) { return step == WriteStep::createTemporary ? error.load() : 0; });
    retrying.retryInterval = 5ms;
    UserDefaults store(file_, retrying);
    store.set("httpPort", 2);
    EXPECT_FALSE(store.flush());
    EXPECT_EQ(store.lastWriteError(), "creating the new settings file: Read-only file system");
    error = 0;
    EXPECT_TRUE(testing::waitUntil([&] { return !store.lastWriteError(); }));
    EXPECT_EQ(saved(), json({{"httpPort", 2}}));

    // Another program's hold on the lock is looked for as often as the file is watched: the write
    // follows its release, not the next retry.
    Options waiting = options(std::chrono::hours(1));
    waiting.retryInterval = std::chrono::hours(1);
    waiting.watchInterval = 5ms;
    waiting.lockTimeout = 5ms;
    UserDefaults held(file_, waiting);
    const int other = ::open(lockFile().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    held.set("httpPort", 3);
    EXPECT_FALSE(held.flush());
    ::close(other);
    EXPECT_TRUE(testing::waitUntil([&] { return saved() == json({{"httpPort", 3}}); }));
}

// A damaged file that could not be moved aside at start-up is retried with no change to start it.
TEST_F(UserDefaultsTest, ADamagedFileThatCouldNotBeMovedIsRetriedOnATimer) {
    writeFile(file_, "{ torn");
    std::atomic<int> error{EROFS};
    Options retrying = options(std::chrono::hours(1), [&](WriteStep step) { return step == WriteStep::setAside ? error.load() : 0; });
    retrying.retryInterval = 5ms;
    UserDefaults store(file_, retrying);
    EXPECT_EQ(store.lastWriteError(), "moving the damaged settings file aside: Read-only file system");
    error = 0;
    EXPECT_TRUE(testing::waitUntil([&] { return !store.lastWriteError(); }));
    EXPECT_EQ(readFile(store.setAsidePath().value_or("")), "{ torn");
}

// A write that had nothing of its own to write (a retry) while a change came in: the change was
// not in what it read, so it stays this process's, neither dropped nor reverted to the file's.
TEST_F(UserDefaultsTest, AChangeMadeWhileARetryWaitsForTheLockIsKept) {
    writeFile(file_, "{ torn");
    UserDefaults* changing = nullptr;
    UserDefaults store(file_, options(manual, [&](WriteStep step) {
        if (step == WriteStep::setAside) return changing ? 0 : EROFS;  // fails once, at start-up
        if (step == WriteStep::lock && changing) std::exchange(changing, nullptr)->set("httpPort", 2);
        return 0;
    }));
    ASSERT_TRUE(store.lastWriteError());
    writeFile(file_, R"({"httpPort": 1, "oscPort": 5})");  // put right by hand meanwhile
    changing = &store;
    ASSERT_TRUE(store.flush());
    EXPECT_EQ(store.object("httpPort"), json(2));
    ASSERT_TRUE(store.flush());
    EXPECT_EQ(saved(), json({{"httpPort", 2}, {"oscPort", 5}}));
}

// The main thread asks; a write held up by a slow disk or another process's lock must not hold it.
TEST_F(UserDefaultsTest, TheWriteStatusIsToldWithoutWaitingForAWriteUnderWay) {
    std::promise<void> entered, release;
    Options slow = options(1ms);
    slow.beforeRename = [&, released = release.get_future().share()] {
        entered.set_value();
        released.wait();
    };
    UserDefaults store(file_, slow);
    store.set("httpPort", 2);
    entered.get_future().wait();
    auto asked = std::async(std::launch::async, [&] { return store.loadProblem() || store.lastWriteError(); });
    const bool answered = asked.wait_for(2s) == std::future_status::ready;
    release.set_value();
    EXPECT_TRUE(answered);
    EXPECT_FALSE(asked.get());
}

TEST_F(UserDefaultsTest, AProcessKilledBetweenWriteAndRenameLeavesTheOldFile) {
    writeFile(file_, R"({"httpPort": 1})");
    const pid_t child = ::fork();
    if (child == 0) {  // dies at the worst moment: the new text synced to a temporary file, not renamed
        Options dying = options(manual);
        dying.beforeRename = [] { ::kill(::getpid(), SIGKILL); };
        UserDefaults store(file_, dying);
        store.set("httpPort", 2);
        store.flush();
        std::_Exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child ended with " << status;

    EXPECT_EQ(readFile(file_), R"({"httpPort": 1})");
    EXPECT_EQ(files().size(), 2u) << "the synced temporary file stays behind";
    UserDefaults next(file_, options(manual));
    EXPECT_EQ(next.object("httpPort"), json(1));  // the file was not taken for unreadable
    EXPECT_EQ(files(), std::vector<fs::path>{file_}) << "and is removed at the next start";
}

TEST_F(UserDefaultsTest, ConcurrentWritersReadersAndFlushes) {
    UserDefaults store(file_, options(1ms));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            EXPECT_TRUE(store.object("k0").value_or(0).is_number_integer());
            store.flush();
        }
    });
    std::vector<std::thread> writers;
    for (char w : {'0', '1', '2', '3'}) {
        writers.emplace_back([&store, key = std::string{'k', w}] {
            for (int i = 0; i < 2000; ++i) store.set(key, i);
        });
    }
    for (auto& writer : writers) writer.join();
    stop = true;
    reader.join();
    ASSERT_TRUE(store.flush());
    EXPECT_EQ(saved(), json({{"k0", 1999}, {"k1", 1999}, {"k2", 1999}, {"k3", 1999}}));
}

// Two copies of the program on one file, as two stores with their own descriptors: each write
// merges into what the other wrote, so neither reverts the other, and each takes in the other's
// keys with its listeners told.
TEST_F(UserDefaultsTest, TwoStoresOnOneFileKeepEachOthersChanges) {
    // On tmpfs: two thousand synced writes on a disk would take half a minute.
    testing::TemporaryFolder memory(fs::exists("/dev/shm") ? "/dev/shm/pavonix-defaults" : "pavonix-defaults");
    file_ = memory / "settings.json";
    writeFile(file_, R"({"unknownToBoth": [1]})");
    UserDefaults first(file_, options(manual)), second(file_, options(manual));
    std::map<std::string, json> heardBySecond;
    second.addListener([&](const std::string& key, const std::optional<json>& value, std::uint64_t) {
        if (key.starts_with("a")) heardBySecond[key] = value.value_or(nullptr);
    });
    json expected = {{"unknownToBoth", {1}}};
    for (int i = 0; i < 1000; ++i) {
        const std::string a = "a" + std::to_string(i), b = "b" + std::to_string(i);
        first.set(a, i);
        ASSERT_TRUE(first.flush());
        second.set(b, i);
        ASSERT_TRUE(second.flush());
        expected[a] = expected[b] = i;
    }
    first.remove("a0");
    ASSERT_TRUE(first.flush());
    second.set("b0", -1);
    ASSERT_TRUE(second.flush());
    expected.erase("a0");
    expected["b0"] = -1;
    EXPECT_TRUE(saved() == expected) << "lost or reverted: " << saved().dump().substr(0, 400);
    EXPECT_TRUE(second.dictionary() == expected);
    EXPECT_EQ(heardBySecond.size(), 1000u);
    EXPECT_EQ(heardBySecond["a999"], json(999));
    EXPECT_EQ(heardBySecond["a0"], json(nullptr)) << "a removal by the other is a change too";

}

// Both change one key within the other's watch. Records added to one list by each stay (each
// change is applied to the list in the file, not written as this copy's whole list), and a value
// set where memory was behind the file is written, not skipped as unchanged; where the file holds
// the change already, nothing is replaced.
TEST_F(UserDefaultsTest, TwoStoresChangingOneKeyKeepBothChanges) {
    writeFile(file_, R"({"list": ["kept"], "provider": "keynote"})");
    UserDefaults first(file_, options(manual)), second(file_, options(manual));
    const auto appending = [](std::string record) {
        return [record](const json* list) -> std::optional<json> {
            json out = list && list->is_array() ? *list : json::array();
            out.push_back(record);
            return out;
        };
    };
    std::vector<json> heardBySecond;
    second.addListener([&](const std::string& key, const std::optional<json>& value, std::uint64_t) {
        if (key == "list") heardBySecond.push_back(value.value_or(nullptr));
    });
    EXPECT_TRUE(first.edit("list", appending("first's")));
    ASSERT_TRUE(first.flush());
    EXPECT_TRUE(second.edit("list", appending("second's")));
    ASSERT_TRUE(second.flush());
    EXPECT_EQ(saved()["list"], json({"kept", "first's", "second's"}));
    EXPECT_EQ(heardBySecond, (std::vector<json>{json({"kept", "second's"}), json({"kept", "first's", "second's"})}));

    first.set("provider", "powerPoint");
    ASSERT_TRUE(first.flush());
    EXPECT_FALSE(second.set("provider", "keynote")) << "no change to what this copy knew";
    ASSERT_TRUE(second.flush());
    EXPECT_EQ(saved()["provider"], "keynote") << "the later choice holds";

    const auto inode = [&] {
        struct stat status{};
        return ::stat(file_.c_str(), &status) == 0 ? status.st_ino : 0;
    };
    const auto before = inode();
    EXPECT_TRUE(first.set("provider", "keynote"));
    ASSERT_TRUE(first.flush());
    EXPECT_EQ(inode(), before) << "the file held it already";

    // A choice left to a later write gives way to one the other made and wrote after it, however
    // the writes fall; a write of the other's that left the key alone does not count.
    EXPECT_TRUE(first.set("provider", "googleSlides"));
    EXPECT_TRUE(first.set("oscPort", 1));
    second.set("provider", "powerPoint");
    ASSERT_TRUE(second.flush());
    datedLater();
    ASSERT_TRUE(first.flush());
    EXPECT_EQ(saved()["provider"], "powerPoint");
    EXPECT_EQ(first.object("provider"), json("powerPoint"));
    EXPECT_EQ(saved()["oscPort"], 1);

    // Writes failing for long: a key's changes past a bound are kept as its whole value.
    bool failing = true;
    UserDefaults third(file_, options(manual, [&](WriteStep step) { return failing && step == WriteStep::write ? EIO : 0; }));
    for (int i = 0; i < 100; ++i) third.edit("list", appending(std::to_string(i)));
    EXPECT_FALSE(third.flush());
    failing = false;
    ASSERT_TRUE(third.flush());
    EXPECT_EQ(saved()["list"].size(), 103u);
    EXPECT_EQ(saved()["list"].back(), "99");
}

// Writes wait, within a bound, for the lock file another process holds; the lock file is this
// user's alone, so another local user who can open the folder cannot hold writes up.
TEST_F(UserDefaultsTest, WritesTakeTurnsOnALockFileOnlyThisUserCanOpen) {
    Options impatient = options(manual);
    impatient.lockTimeout = 20ms;
    UserDefaults store(file_, impatient);
    fs::create_directories(file_.parent_path());
    const int folder = ::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    store.set("c", 1);
    EXPECT_TRUE(store.flush()) << "a lock on the folder holds nothing up";
    ::close(folder);

    const int other = ::open(lockFile().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    store.set("c", 2);
    EXPECT_EQ(store.flushUnlessBusy(1ms), std::nullopt) << "a thread that must not wait is told so";
    EXPECT_FALSE(store.lastWriteError()) << "and that is no failure";
    EXPECT_FALSE(store.flush());
    EXPECT_EQ(store.lastWriteProblem(), UserDefaults::WriteProblem("another program holds the settings file's lock",
                                                                   UserDefaults::Remedy::releaseLock));
    EXPECT_EQ(saved(), json({{"c", 1}}));
    ::close(other);
    EXPECT_TRUE(store.flush());

    fs::remove(lockFile());
    fs::create_symlink(file_, lockFile());
    store.set("c", 3);
    EXPECT_FALSE(store.flush()) << "no write without the lock";
    EXPECT_EQ(store.lastWriteError(), "locking the settings folder: The lock file is a symbolic link");
}

// A copy that writes nothing still takes in what the other wrote, with its listeners told, and
// keeps the change it has not written yet; a file left unusable is neither taken in nor touched.
TEST_F(UserDefaultsTest, AnIdleStoreTakesInWhatAnotherWrote) {
    writeFile(file_, R"({"httpAuthenticationEnabled": false, "httpPairedDevices": [1], "httpPort": 1})");
    // Shared with the hook: a look already under way when the store goes may still count.
    auto looks = std::make_shared<std::atomic<int>>(0);
    Options watching = options(std::chrono::hours(1));
    watching.watchInterval = 2ms;
    watching.afterWatch = [looks] { ++*looks; };
    using Heard = std::vector<std::pair<std::string, json>>;
    std::mutex heardMutex;
    Heard heard;  // outlives the store, whose last write may still tell
    UserDefaults writer(file_, options(manual)), idle(file_, watching);
    idle.addListener([&](const std::string& key, const std::optional<json>& value, std::uint64_t) {
        std::lock_guard lock(heardMutex);
        heard.emplace_back(key, value.value_or(nullptr));
    });
    const auto heardNow = [&] {
        std::lock_guard lock(heardMutex);
        return heard;
    };
    idle.set("httpPort", 9);  // not written yet
    writer.set("httpAuthenticationEnabled", true);
    writer.remove("httpPairedDevices");
    writer.set("httpPort", 2);
    ASSERT_TRUE(writer.flush());
    const Heard expected = {{"httpPort", 9}, {"httpAuthenticationEnabled", true}, {"httpPairedDevices", nullptr}};
    ASSERT_TRUE(testing::waitUntil([&] { return heardNow() == expected; })) << heardNow().size();
    EXPECT_EQ(idle.dictionary(), json({{"httpAuthenticationEnabled", true}, {"httpPort", 9}}));

    // A torn file, as a crashed hand edit leaves it: after two full looks, all is as it was.
    writeFile(file_, "{ torn");
    const int before = *looks;
    ASSERT_TRUE(testing::waitUntil([&] { return *looks >= before + 2; }));
    EXPECT_EQ(readFile(file_), "{ torn");
    EXPECT_EQ(heardNow(), expected);
    EXPECT_EQ(idle.dictionary(), json({{"httpAuthenticationEnabled", true}, {"httpPort", 9}}));
    EXPECT_FALSE(idle.lastWriteError());

    // The other's port was chosen after this copy's: the later choice holds.
    writeFile(file_, R"({"httpAuthenticationEnabled": true, "httpPort": 2, "oscPort": 5})");
    datedLater();
    ASSERT_TRUE(testing::waitUntil([&] { return idle.object("oscPort") == json(5); }));
    ASSERT_TRUE(idle.flush());
    EXPECT_EQ(saved(), json({{"httpAuthenticationEnabled", true}, {"httpPort", 2}, {"oscPort", 5}}));
    EXPECT_EQ(idle.object("httpPort"), json(2));
}

// An absolute XDG_CONFIG_HOME is followed: the program's X11 and black-box runs keep their settings in one.
TEST(UserDefaultsPath, ARelativeXdgConfigHomeIsIgnored) {
    testing::ScopedEnvironment environment("XDG_CONFIG_HOME", "relative/is/ignored");
    environment.set("HOME", "/home/someone");
    EXPECT_EQ(UserDefaults::standardPath(), "/home/someone/.config/Pavonix/settings.json");
}

}  // namespace
}  // namespace pavonix::defaults
