#include "platform/defaults/user_defaults.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <vector>

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
    // Every file in the settings folder, so that a temporary file left behind shows.
    std::vector<fs::path> files() const {
        std::vector<fs::path> out;
        for (const auto& entry : fs::directory_iterator(file_.parent_path())) out.push_back(entry.path());
        return out;
    }
    json saved() const { return json::parse(readFile(file_), nullptr, false); }

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

TEST_F(UserDefaultsTest, UnreadableFilesAreMovedAsideNeverOverwritten) {
    // Valid JSON too deep (65 levels) or too large to handle safely counts as unreadable, and so
    // does something that is no file at all (a folder, given as no text here).
    const std::optional<std::string> cases[] = {
        "{\"httpPort\": 80", "[1, 2, 3]", "", "{\"a\":" + std::string(64, '[') + std::string(64, ']') + "}",
        "{\"a\":\"" + std::string(16 * 1024 * 1024, 'x') + "\"}", std::nullopt};
    for (const auto& garbage : cases) {
        SCOPED_TRACE(garbage ? garbage->substr(0, 80) : "a folder");
        fs::remove_all(file_.parent_path());
        garbage ? writeFile(file_, *garbage) : (void)fs::create_directories(file_ / "inside");
        UserDefaults store(file_, options(manual));  // starts empty: nothing of the garbage is written below
        const fs::path aside = store.setAsidePath().value_or("");
        EXPECT_TRUE(aside.filename().string().starts_with("settings.json.corrupt-"));
        store.set("httpPort", 8092);
        ASSERT_TRUE(store.flush());
        EXPECT_EQ(saved(), json({{"httpPort", 8092}}));
        EXPECT_TRUE(garbage ? readFile(aside) == *garbage : fs::is_directory(aside / "inside"));
    }
}

// The file and the values in memory survive a failure at any step, and the next write retries.
TEST_F(UserDefaultsTest, AFailedStepKeepsTheOldFileAndTheValueUntilTheNextWriteSucceeds) {
    for (WriteStep failing : {WriteStep::setAside, WriteStep::createDirectory, WriteStep::createTemporary,
                              WriteStep::write, WriteStep::sync, WriteStep::rename}) {
        SCOPED_TRACE(static_cast<int>(failing));
        fs::remove_all(file_.parent_path());
        const std::string old = failing == WriteStep::setAside ? "not json" : R"({"httpPort": 1})";
        writeFile(file_, old);
        std::atomic<int> error{ENOSPC};
        UserDefaults store(file_, options(5ms, [&](WriteStep step) { return step == failing ? error.load() : 0; }));
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
    }
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

// An absolute XDG_CONFIG_HOME is followed: the program's X11 and black-box runs keep their settings in one.
TEST(UserDefaultsPath, ARelativeXdgConfigHomeIsIgnored) {
    testing::ScopedEnvironment environment("XDG_CONFIG_HOME", "relative/is/ignored");
    environment.set("HOME", "/home/someone");
    EXPECT_EQ(UserDefaults::standardPath(), "/home/someone/.config/Pavonix/settings.json");
}

}  // namespace
}  // namespace pavonix::defaults
