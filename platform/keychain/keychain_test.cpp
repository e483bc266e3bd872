#include "platform/keychain/keychain.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/keychain/file_store.h"
#include "platform/keychain/memory_store.h"
#include "platform/keychain/secret_service_store.h"
#include "platform/testing/scoped_environment.h"
#include "platform/testing/temporary_folder.h"

namespace pavonix::keychain {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using pavonix::testing::ScopedEnvironment;
using pavonix::testing::readFile;
using pavonix::testing::TemporaryFolder;
using pavonix::testing::writeFile;

// The state of the private keyring that secret_service_test.sh set up for this run ("unlocked",
// "locked" or "stalled"); the Secret Service cases skip unless it is the one they need.
bool keyringIs(const char* state) {
    const char* value = std::getenv("PAVONIX_TEST_SECRET_SERVICE");
    return value && std::string(value) == state;
}
constexpr const char* kNoKeyring = "runs under keychain_secret_service (private keyring)";

// Unique per run, so items of an earlier run in a real keyring never interfere.
std::string uniqueService() {
    std::random_device random;
    return "com.vrel.Lanternpost.test-" + std::to_string(random()) + std::to_string(::getpid());
}

// ---- The contract every store keeps ----

TEST(StoreContract, AddReadUpdateRemove) {
    TemporaryFolder dir;
    std::vector<std::shared_ptr<Store>> stores = {std::make_shared<MemoryStore>(),
                                                  std::make_shared<FileStore>((dir / "keychain.json").string())};
    // The Secret Service joins under keychain_secret_service (private keyring).
    if (keyringIs("unlocked")) stores.push_back(std::make_shared<SecretServiceStore>());
    for (const auto& store : stores) {
        SCOPED_TRACE(store->name());
        const ItemKey key{uniqueService(), "lpp_account"}, neighbour{key.service, "lpp_other"};
        const Bytes secret{0x00, 0xFF, 0x10, 0x00, 0x7F};  // binary, with NUL bytes
        const Bytes replacement(32, 0xAB);
        Bytes out;

        EXPECT_EQ(store->read(key, out), itemNotFound);
        EXPECT_EQ(store->update(key, secret), itemNotFound);
        EXPECT_EQ(store->remove(key), itemNotFound);

        ASSERT_EQ(store->add(key, secret), success);
        EXPECT_EQ(store->add(key, replacement), duplicateItem);
        ASSERT_EQ(store->read(key, out), success);
        EXPECT_EQ(out, secret);  // a refused add changes nothing

        // Service and account both address the item, and the items are independent.
        EXPECT_EQ(store->read(neighbour, out), itemNotFound);
        EXPECT_EQ(store->read({key.service + ".x", key.account}, out), itemNotFound);
        ASSERT_EQ(store->add(neighbour, Bytes{2}), success);

        ASSERT_EQ(store->update(key, replacement), success);
        ASSERT_EQ(store->read(key, out), success);
        EXPECT_EQ(out, replacement);

        EXPECT_EQ(store->remove(key), success);
        EXPECT_EQ(store->read(key, out), itemNotFound);
        EXPECT_EQ(store->remove(key), itemNotFound);
        ASSERT_EQ(store->read(neighbour, out), success);
        EXPECT_EQ(out, Bytes{2});
        EXPECT_EQ(store->remove(neighbour), success);
    }
}

// ---- The file store ----

class FileStoreTest : public ::testing::Test {
protected:
    fs::path folder() const { return dir_.path() / "data/Pavonix"; }
    fs::path file() const { return folder() / "keychain.json"; }
    FileStore store() const { return FileStore(file().string(), 200ms); }
    static mode_t modeOf(const fs::path& path) {
        struct stat st {};
        ::lstat(path.c_str(), &st);
        return st.st_mode & 0777;
    }
    TemporaryFolder dir_;
};

TEST_F(FileStoreTest, ConcurrentWritersLoseNoItemAndKeepTheFilePrivate) {
    // Two stores on one file stand for two processes: only the lock file keeps their
    // read-modify-write cycles apart.
    FileStore first(file().string()), second(file().string());
    auto key = [](int n) { return ItemKey{"svc", std::to_string(n)}; };
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int n = t; n < 40; n += 4) EXPECT_EQ((t % 2 ? first : second).add(key(n), Bytes{std::uint8_t(n)}), success);
        });
    }
    for (auto& writer : writers) writer.join();
    for (int n = 0; n < 40; ++n) {
        Bytes out;
        EXPECT_EQ(first.read(key(n), out), success);
        EXPECT_EQ(out, Bytes{std::uint8_t(n)});
    }
    EXPECT_EQ(modeOf(folder()), 0700u);
    EXPECT_EQ(modeOf(file()), 0600u);
    // No temporary file is left behind: only the file and its lock file.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder()), fs::directory_iterator()), 2);
}

// The program asks one store every few seconds: each damage, mode change and mend is seen by it.
TEST_F(FileStoreTest, RefusesAnUnsafeOrCorruptFileSaysWhyAndNeverChangesIt) {
    const FileStore kept = store();
    ASSERT_EQ(store().add({"s", "a"}, Bytes{9}), success);
    EXPECT_EQ(kept.problem(), std::nullopt);
    const std::string valid = readFile(file());  // written, and so readable, by the store itself
    const fs::path elsewhere = dir_.path() / "elsewhere.json";
    struct Case {
        std::string text;
        mode_t mode;
        bool throughLink;
        std::string problem;
    };
    std::vector<Case> cases = {{valid, 0600, true, ": A symbolic link"}};
    for (mode_t mode : {0640, 0604, 0660, 0700, 0666}) {
        cases.push_back({valid, mode, false, ": Open to other users (mode 0" + (std::ostringstream() << std::oct << mode).str() + ")"});
    }
    for (const char* corrupt : {"not json", "[]", R"({"items":{}})", R"({"items":[{"service":"s","account":"a"}]})",
                                R"({"items":[{"service":"s","account":"a","data":"zz"}]})"})
        cases.push_back({corrupt, 0600, false, ": Damaged ("});
    for (const auto& [text, mode, symlink, problem] : cases) {
        SCOPED_TRACE(::testing::Message() << text << " mode " << std::oct << mode << (symlink ? " through a link" : ""));
        fs::remove_all(folder());
        const fs::path written = symlink ? elsewhere : file();
        writeFile(written, text);
        ASSERT_EQ(::chmod(written.c_str(), mode), 0);
        if (symlink) {
            fs::create_directories(folder());
            fs::create_symlink(elsewhere, file());
        }
        Bytes out;
        EXPECT_EQ(store().read({"s", "a"}, out), invalidKeychain);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(store().add({"s", "b"}, Bytes{1}), invalidKeychain);  // update shares its path
        EXPECT_EQ(store().remove({"s", "a"}), invalidKeychain);
        EXPECT_EQ(kept.problem().value_or("").substr(0, file().string().size() + problem.size()), file().string() + problem);
        // Neither repaired nor replaced behind the user's back.
        EXPECT_EQ(readFile(file()), text);
        EXPECT_EQ(modeOf(written), mode);
    }
    writeFile(file(), valid);
    EXPECT_EQ(kept.problem(), std::nullopt) << "mended";
}

TEST_F(FileStoreTest, AFifoInPlaceOfTheFileIsRefusedAtOnce) {
    fs::create_directories(folder());
    ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0);
    Bytes out;
    EXPECT_EQ(store().read({"s", "a"}, out), invalidKeychain);  // no writer: a blocking open would hang here
    EXPECT_EQ(store().add({"s", "a"}, Bytes{1}), invalidKeychain);
    EXPECT_EQ(store().problem(), file().string() + ": Not a regular file");
    EXPECT_TRUE(fs::is_fifo(file()));
}

// ---- Choosing the keychain ----

TEST(KeychainChoiceTest, ForcedChoicesAndPaths) {
    TemporaryFolder dir;
    ScopedEnvironment env("XDG_DATA_HOME", dir.path().string());
    env.set("PAVONIX_KEYCHAIN", "memory");
    EXPECT_EQ(systemKeychain().name(), "In-memory (not saved)");
    env.set("PAVONIX_KEYCHAIN", "file");
    Keychain file = systemKeychain();
    EXPECT_EQ(file.name(), "Private file (" + (dir.path() / "Pavonix/keychain.json").string() + ")");
    EXPECT_EQ(file.legacy, nullptr);

    // Without any session bus there is no Secret Service to ask, and no autolaunch is tried.
    env.set("PAVONIX_KEYCHAIN", std::nullopt)
        .set("DBUS_SESSION_BUS_ADDRESS", std::nullopt)
        .set("XDG_RUNTIME_DIR", dir.path().string());
    EXPECT_FALSE(sessionBusConfigured());
    EXPECT_EQ(systemKeychain(200ms).name(), file.name());

    env.set("XDG_DATA_HOME", "relative");  // not absolute: ignored, as XDG says
    EXPECT_NE(FileStore::defaultPath(), "relative/Pavonix/keychain.json");
}

// ---- The real Secret Service (run by secret_service_test.sh) ----

TEST(SecretServiceTest, ItemsAreSharedWithSecretToolAndKeysDBusCannotCarryAreRefused) {
    if (!keyringIs("unlocked")) GTEST_SKIP() << kNoKeyring;
    SecretServiceStore store;
    ASSERT_TRUE(store.available());
    TemporaryFolder dir;
    const std::string service = uniqueService(), printed = (dir / "printed").string();
    auto printedBy = [&](const std::string& command) {
        return std::system((command + " > " + printed).c_str()) >= 0 ? readFile(printed) : "(not run)";
    };
    ASSERT_EQ(store.add({service, "lpp_A"}, Bytes{'s', '3', 'c', 'r', 'e', 't'}), success);
    EXPECT_EQ(printedBy("secret-tool lookup service " + service + " account lpp_A"), "s3cret");
    const std::string storeB = "printf 'from tool' | secret-tool store --label=t service " + service + " account lpp_B";
    ASSERT_EQ(printedBy(storeB + " && echo stored"), "stored\n");
    Bytes out;
    ASSERT_EQ(store.read({service, "lpp_B"}, out), success);
    EXPECT_EQ(std::string(out.begin(), out.end()), "from tool");
    EXPECT_EQ(store.remove({service, "lpp_A"}), success);
    EXPECT_EQ(printedBy("secret-tool lookup service " + service + " account lpp_A"), "");
    EXPECT_EQ(store.problem(), std::nullopt);

    EXPECT_EQ(store.read({"svc", std::string("a\0b", 3)}, out), badParameter);
    EXPECT_EQ(store.add({"svc\xFF", "a"}, Bytes{1}), badParameter);
}

TEST(SecretServiceTest, ALockedCollectionKeepsItsItemsUnreadableAndRefusesWritesWithoutAPrompt) {
    if (!keyringIs("locked")) GTEST_SKIP() << kNoKeyring;
    SecretServiceStore store;
    const std::string service = uniqueService();
    ASSERT_EQ(store.add({service, "acc"}, Bytes{1}), success);
    ASSERT_EQ(store.lockDefaultCollection(), success);
    const auto started = std::chrono::steady_clock::now();
    Bytes out;
    EXPECT_EQ(store.read({service, "acc"}, out), interactionNotAllowed) << "there, not missing";
    EXPECT_EQ(store.read({service, "none"}, out), itemNotFound);
    EXPECT_EQ(store.add({service, "other"}, Bytes{2}), interactionNotAllowed);
    EXPECT_NE(store.update({service, "acc"}, Bytes{3}), success);
    EXPECT_EQ(store.problem(), "the keyring is locked (unlock it)");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

// A keyring still starting at login is one that does not answer yet: it stays the store.
TEST(SecretServiceTest, CallsToAStalledServiceEndAfterTheTimeoutAndItStaysTheStore) {
    if (!keyringIs("stalled")) GTEST_SKIP() << kNoKeyring;
    SecretServiceStore store(500ms);
    const auto started = std::chrono::steady_clock::now();
    Bytes out;
    EXPECT_EQ(store.read({"svc", "acc"}, out), notAvailable);
    // Known to be stalled: the next calls fail at once rather than wait out a time-out each.
    const auto known = std::chrono::steady_clock::now();
    EXPECT_EQ(store.add({"svc", "acc"}, Bytes{1}), notAvailable);
    EXPECT_FALSE(store.available());
    EXPECT_LT(std::chrono::steady_clock::now() - known, 250ms);
    const std::string silent = "the Secret Service does not answer (is the desktop's keyring running?)";
    EXPECT_EQ(store.problem(), silent);
    EXPECT_EQ(store.failure(notAvailable), silent);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    TemporaryFolder dir;
    ScopedEnvironment env("XDG_DATA_HOME", dir.path().string());
    EXPECT_EQ(systemKeychain(500ms).name(), "Secret Service");
    // The daemon going on again is seen by the same store, as by the program that keeps asking
    // (with the collection the run before left locked), and calls reach it again at once.
    const char* daemon = std::getenv("PAVONIX_TEST_KEYRING_PID");
    ASSERT_NE(daemon, nullptr);
    ASSERT_EQ(::kill(std::stoi(daemon), SIGCONT), 0);
    EXPECT_EQ(store.problem(), "the keyring is locked (unlock it)");
    EXPECT_EQ(store.read({"svc", "acc"}, out), itemNotFound);
    EXPECT_EQ(store.failure(interactionNotAllowed), "the Secret Service: the keyring is locked (unlock it)");
}

// Only the bus daemon is asked: a service it can start counts as there; a bus that knows none
// leaves the file as the store.
TEST(SecretServiceTest, TheBusSaysWhetherASecretServiceIsThere) {
    const bool activatable = keyringIs("activatable");
    if (!activatable && !keyringIs("absent")) GTEST_SKIP() << kNoKeyring;
    TemporaryFolder dir;
    ScopedEnvironment env("XDG_DATA_HOME", dir.path().string());
    EXPECT_EQ(systemKeychain(500ms).name(),
              activatable ? "Secret Service" : "Private file (" + (dir.path() / "Pavonix/keychain.json").string() + ")");
}

}  // namespace
}  // namespace pavonix::keychain
