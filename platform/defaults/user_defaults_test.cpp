#include "platform/defaults/user_defaults.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/testing/scoped_environment.h"
#include "platform/testing/temporary_folder.h"
#include "platform/testing/wait_until.h"

extern char** environ;

namespace pavonix::defaults {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kChildFileVariable = "PAVONIX_DEFAULTS_CRASH_CHILD_FILE";

using testing::readFile;
using testing::writeFile;

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> out;
    for (const auto& entry : fs::directory_iterator(folder)) out.push_back(entry.path());
    return out;
}

Options manual() {
    Options options;
    options.backgroundFlush = false;
    return options;
}

class UserDefaultsTest : public ::testing::Test {
protected:
    testing::TemporaryFolder folder_{"pavonix-defaults"};
    fs::path file_ = folder_ / "Pavonix" / "settings.json";
};

TEST_F(UserDefaultsTest, RegisteredDefaultsAreReadButNeverWritten) {
    {
        UserDefaults store(file_, manual());
        store.registerDefaults({{"httpPort", 8090}, {"oscEnabled", true}});
        EXPECT_EQ(store.object("httpPort"), json(8090));
        EXPECT_FALSE(store.storedObject("httpPort"));
        EXPECT_TRUE(store.set("httpPort", 9000));
        EXPECT_TRUE(store.remove("httpPort"));
        EXPECT_EQ(store.object("httpPort"), json(8090));
        store.set("oscEnabled", false);
        EXPECT_EQ(store.object("oscEnabled"), json(false));
        ASSERT_TRUE(store.flush());
    }
    EXPECT_EQ(json::parse(readFile(file_)), json({{"oscEnabled", false}}));
    EXPECT_FALSE(UserDefaults(file_, manual()).object("httpPort"));
}

TEST_F(UserDefaultsTest, DestructorPersistsPendingWritesAndKeepsUnknownKeys) {
    writeFile(file_, R"({"fromAnOlderVersion": [1, 2], "httpPort": 1})");
    {
        Options options;
        options.coalesceDelay = std::chrono::hours(1);
        UserDefaults store(file_, options);
        store.set("httpPort", 8091);
        store.set("name", "Bühne \xff");  // invalid UTF-8 must not stop the write
    }
    json saved = json::parse(readFile(file_));
    EXPECT_EQ(saved["httpPort"], 8091);
    EXPECT_EQ(saved["fromAnOlderVersion"], json({1, 2}));
    EXPECT_TRUE(saved["name"].get<std::string>().starts_with("Bühne "));
    for (const auto& path : filesIn(file_.parent_path())) EXPECT_EQ(path.filename(), "settings.json");
}

TEST_F(UserDefaultsTest, UnreadableFilesAreMovedAsideNeverOverwritten) {
    // Valid JSON too deep (65 levels) or too large to handle safely counts as unreadable.
    const std::string cases[] = {"{\"httpPort\": 80", "[1, 2, 3]", "",
                                 "{\"a\":" + std::string(64, '[') + std::string(64, ']') + "}",
                                 "{\"a\":\"" + std::string(16 * 1024 * 1024, 'x') + "\"}"};
    for (const std::string& garbage : cases) {
        SCOPED_TRACE(garbage);
        fs::remove_all(file_.parent_path());
        writeFile(file_, garbage);
        UserDefaults store(file_, manual());
        EXPECT_EQ(store.dictionary(), json::object());
        auto aside = store.setAsidePath();
        ASSERT_TRUE(aside);
        EXPECT_TRUE(aside->filename().string().starts_with("settings.json.corrupt-"));
        EXPECT_EQ(readFile(*aside), garbage);
        EXPECT_FALSE(fs::exists(file_));

        store.set("httpPort", 8092);
        ASSERT_TRUE(store.flush());
        EXPECT_EQ(json::parse(readFile(file_)), json({{"httpPort", 8092}}));
        EXPECT_EQ(readFile(*aside), garbage);
    }

    // Something that cannot be read at all (a folder) is moved aside as well.
    fs::remove_all(file_.parent_path());
    fs::create_directories(file_ / "inside");
    UserDefaults folderStore(file_, manual());
    ASSERT_TRUE(folderStore.setAsidePath());
    EXPECT_TRUE(fs::is_directory(*folderStore.setAsidePath() / "inside"));
}

TEST_F(UserDefaultsTest, AFileThatCannotBeMovedAsideIsLeftAloneUntilItCan) {
    writeFile(file_, "not json");
    std::atomic<int> setAsideError{EACCES};
    Options options = manual();
    options.faultHook = [&](WriteStep step) { return step == WriteStep::setAside ? setAsideError.load() : 0; };
    UserDefaults store(file_, options);
    EXPECT_FALSE(store.setAsidePath());
    ASSERT_TRUE(store.lastWriteError());

    store.set("httpPort", 8093);
    EXPECT_FALSE(store.flush());
    EXPECT_EQ(readFile(file_), "not json");
    EXPECT_EQ(store.object("httpPort"), json(8093));

    setAsideError = 0;
    EXPECT_TRUE(store.flush());
    EXPECT_FALSE(store.lastWriteError());
    ASSERT_TRUE(store.setAsidePath());
    EXPECT_EQ(readFile(*store.setAsidePath()), "not json");
    EXPECT_EQ(json::parse(readFile(file_)), json({{"httpPort", 8093}}));
}

TEST_F(UserDefaultsTest, FailedWritesKeepTheOldFileAndTheValue) {
    writeFile(file_, R"({"httpPort": 1})");
    const std::string original = readFile(file_);
    for (WriteStep failing : {WriteStep::createDirectory, WriteStep::createTemporary, WriteStep::write,
                              WriteStep::sync, WriteStep::rename}) {
        SCOPED_TRACE(static_cast<int>(failing));
        Options options = manual();
        options.faultHook = [failing](WriteStep step) { return step == failing ? ENOSPC : 0; };
        UserDefaults store(file_, options);
        store.set("httpPort", 2);
        EXPECT_FALSE(store.flush());
        ASSERT_TRUE(store.lastWriteError());
        EXPECT_NE(store.lastWriteError()->find("No space left on device"), std::string::npos);
        EXPECT_EQ(readFile(file_), original);
        EXPECT_EQ(store.object("httpPort"), json(2));
        EXPECT_EQ(filesIn(file_.parent_path()).size(), 1u) << "temporary file left behind";
    }
}

TEST_F(UserDefaultsTest, AFailedBackgroundWriteIsRetriedOnTheNextWrite) {
    writeFile(file_, R"({"httpPort": 1})");
    const std::string original = readFile(file_);
    std::atomic<bool> fail{true};
    Options options;
    options.coalesceDelay = std::chrono::milliseconds(5);
    options.faultHook = [&](WriteStep step) { return fail && step == WriteStep::write ? EROFS : 0; };
    UserDefaults store(file_, options);

    store.set("httpPort", 2);
    ASSERT_TRUE(testing::waitUntil([&] { return store.lastWriteError().has_value(); }, 5s, 10ms));
    EXPECT_EQ(readFile(file_), original);

    fail = false;
    store.set("oscPort", 3);
    const json expected = {{"httpPort", 2}, {"oscPort", 3}};
    ASSERT_TRUE(testing::waitUntil([&] { return json::parse(readFile(file_), nullptr, false) == expected; }, 5s, 10ms))
        << readFile(file_);
    EXPECT_FALSE(store.lastWriteError());
}

// Runs only inside the child process started by the crash test: writes, then dies at the worst
// moment, with the new text synced to a temporary file and the rename not yet done.
TEST(DefaultsCrashChild, DiesBeforeRename) {
    const char* file = std::getenv(kChildFileVariable);
    if (!file) GTEST_SKIP() << "runs only as the crash test's child";
    Options options = manual();
    options.beforeRename = [] { ::kill(::getpid(), SIGKILL); };
    UserDefaults store(file, options);
    store.set("httpPort", 2);
    store.flush();
    std::_Exit(3);  // not reached
}

TEST_F(UserDefaultsTest, AProcessKilledBetweenWriteAndRenameLeavesTheOldFile) {
    {
        UserDefaults store(file_, manual());
        store.set("httpPort", 1);
        ASSERT_TRUE(store.flush());
    }
    const std::string original = readFile(file_);

    // The variable is set only around the spawn: in this process the child test must skip.
    setenv(kChildFileVariable, file_.c_str(), 1);
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=DefaultsCrashChild.*";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t child = 0;
    int spawned = posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, environ);
    unsetenv(kChildFileVariable);
    ASSERT_EQ(spawned, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    EXPECT_EQ(readFile(file_), original);
    EXPECT_EQ(filesIn(file_.parent_path()).size(), 2u) << "the synced temporary file stays behind";
    UserDefaults next(file_, manual());
    EXPECT_EQ(next.object("httpPort"), json(1));
    EXPECT_FALSE(next.setAsidePath());
    EXPECT_EQ(filesIn(file_.parent_path()), std::vector<fs::path>{file_}) << "and is removed at the next start";
}

// Appended rather than "k" + to_string(w): GCC 12 at -O3 warns (-Wrestrict) on the latter.
std::string writerKey(int writer) {
    std::string key(1, 'k');
    key += std::to_string(writer);
    return key;
}

TEST_F(UserDefaultsTest, ConcurrentWritersReadersAndFlushes) {
    Options options;
    options.coalesceDelay = std::chrono::milliseconds(1);
    UserDefaults store(file_, options);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            auto value = store.object("k0");
            EXPECT_TRUE(!value || value->is_number_integer());
            store.flush();
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            const std::string key = writerKey(w);
            for (int i = 0; i < 2000; ++i) store.set(key, i);
        });
    }
    for (auto& writer : writers) writer.join();
    stop = true;
    reader.join();
    ASSERT_TRUE(store.flush());
    json saved = json::parse(readFile(file_));
    for (int w = 0; w < 4; ++w) EXPECT_EQ(saved[writerKey(w)], 1999);
}

// An absolute XDG_CONFIG_HOME is followed: the settings persistence check pins that.
TEST(UserDefaultsPath, ARelativeXdgConfigHomeIsIgnored) {
    testing::ScopedEnvironment environment("XDG_CONFIG_HOME", "relative/is/ignored");
    if (const char* home = std::getenv("HOME")) {
        EXPECT_EQ(UserDefaults::standardPath(), fs::path(home) / ".config/Pavonix/settings.json");
    }
}

}  // namespace
}  // namespace pavonix::defaults
