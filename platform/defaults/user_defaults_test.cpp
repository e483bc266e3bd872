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

// Nothing is persisted before flush(), unless a test asks for background writes.
Options manual(std::function<int(WriteStep)> faultHook = {}) {
    Options options;
    options.backgroundFlush = false;
    options.faultHook = std::move(faultHook);
    return options;
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

TEST_F(UserDefaultsTest, TheDestructorPersistsStoredValuesOnlyAndKeepsUnknownKeys) {
    writeFile(file_, R"({"fromAnOlderVersion": [1, 2], "httpPort": 1})");
    {
        Options options;
        options.coalesceDelay = std::chrono::hours(1);
        UserDefaults store(file_, options);
        store.registerDefaults({{"httpPort", 8090}, {"oscEnabled", true}});
        EXPECT_TRUE(store.remove("httpPort"));
        EXPECT_EQ(store.object("httpPort"), json(8090));  // the registered default shows again
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
        UserDefaults store(file_, manual());
        EXPECT_EQ(store.dictionary(), json::object());
        const auto aside = store.setAsidePath();
        ASSERT_TRUE(aside);
        EXPECT_TRUE(aside->filename().string().starts_with("settings.json.corrupt-"));
        store.set("httpPort", 8092);
        ASSERT_TRUE(store.flush());
        EXPECT_EQ(saved(), json({{"httpPort", 8092}}));
        EXPECT_TRUE(garbage ? readFile(*aside) == *garbage : fs::is_directory(*aside / "inside"));
    }
}

// The file and the value in memory survive a failure at any step, and the next flush writes it.
TEST_F(UserDefaultsTest, AFailedStepKeepsTheOldFileAndTheValueUntilAFlushSucceeds) {
    for (WriteStep failing : {WriteStep::setAside, WriteStep::createDirectory, WriteStep::createTemporary,
                              WriteStep::write, WriteStep::sync, WriteStep::rename}) {
        SCOPED_TRACE(static_cast<int>(failing));
        fs::remove_all(file_.parent_path());
        const std::string old = failing == WriteStep::setAside ? "not json" : R"({"httpPort": 1})";
        writeFile(file_, old);
        std::atomic<int> error{ENOSPC};
        UserDefaults store(file_, manual([&](WriteStep step) { return step == failing ? error.load() : 0; }));
        store.set("httpPort", 2);
        EXPECT_FALSE(store.flush());
        EXPECT_NE(store.lastWriteError().value_or("").find("No space left on device"), std::string::npos);
        EXPECT_EQ(readFile(file_), old);
        EXPECT_EQ(store.object("httpPort"), json(2));
        EXPECT_EQ(files(), std::vector<fs::path>{file_}) << "temporary file left behind";

        error = 0;
        EXPECT_TRUE(store.flush());
        EXPECT_FALSE(store.lastWriteError());
        EXPECT_EQ(saved(), json({{"httpPort", 2}}));
        EXPECT_EQ(readFile(store.setAsidePath().value_or("")), failing == WriteStep::setAside ? old : "");
    }
}

TEST_F(UserDefaultsTest, AFailedBackgroundWriteIsRetriedOnTheNextWrite) {
    writeFile(file_, R"({"httpPort": 1})");
    std::atomic<bool> fail{true};
    Options options;
    options.coalesceDelay = 5ms;
    options.faultHook = [&](WriteStep step) { return fail && step == WriteStep::write ? EROFS : 0; };
    UserDefaults store(file_, options);
    store.set("httpPort", 2);
    ASSERT_TRUE(testing::waitUntil([&] { return store.lastWriteError().has_value(); }));
    EXPECT_EQ(saved(), json({{"httpPort", 1}}));

    fail = false;
    store.set("oscPort", 3);
    EXPECT_TRUE(testing::waitUntil([&] { return saved() == json({{"httpPort", 2}, {"oscPort", 3}}); })) << readFile(file_);
    EXPECT_FALSE(store.lastWriteError());
}

TEST_F(UserDefaultsTest, AProcessKilledBetweenWriteAndRenameLeavesTheOldFile) {
    writeFile(file_, R"({"httpPort": 1})");
    const pid_t child = ::fork();
    if (child == 0) {  // dies at the worst moment: the new text synced to a temporary file, not renamed
        Options options = manual();
        options.beforeRename = [] { ::kill(::getpid(), SIGKILL); };
        UserDefaults store(file_, options);
        store.set("httpPort", 2);
        store.flush();
        std::_Exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child ended with " << status;

    EXPECT_EQ(readFile(file_), R"({"httpPort": 1})");
    EXPECT_EQ(files().size(), 2u) << "the synced temporary file stays behind";
    UserDefaults next(file_, manual());
    EXPECT_EQ(next.object("httpPort"), json(1));
    EXPECT_FALSE(next.setAsidePath());
    EXPECT_EQ(files(), std::vector<fs::path>{file_}) << "and is removed at the next start";
}

TEST_F(UserDefaultsTest, ConcurrentWritersReadersAndFlushes) {
    Options options;
    options.coalesceDelay = 1ms;
    UserDefaults store(file_, options);
    const std::string keys[] = {"k0", "k1", "k2", "k3"};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            auto value = store.object("k0");
            EXPECT_TRUE(!value || value->is_number_integer());
            store.flush();
        }
    });
    std::vector<std::thread> writers;
    for (const auto& key : keys) {
        writers.emplace_back([&store, &key] {
            for (int i = 0; i < 2000; ++i) store.set(key, i);
        });
    }
    for (auto& writer : writers) writer.join();
    stop = true;
    reader.join();
    ASSERT_TRUE(store.flush());
    EXPECT_EQ(saved(), json({{"k0", 1999}, {"k1", 1999}, {"k2", 1999}, {"k3", 1999}}));
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
