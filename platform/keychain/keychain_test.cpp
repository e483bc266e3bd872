#include "platform/keychain/keychain.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
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

bool envSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value && std::string(value) != "0";
}

using pavonix::testing::ScopedEnvironment;
using pavonix::testing::readFile;
using pavonix::testing::TemporaryFolder;
using pavonix::testing::writeFile;

// Unique per run, so items of an earlier run in a real keyring never interfere.
std::string uniqueService() {
    std::random_device random;
    return "com.vrel.Lanternpost.test-" + std::to_string(random()) + std::to_string(::getpid());
}

// ---- The contract every store keeps ----

struct StoreCase {
    const char* name;
    std::function<std::shared_ptr<Store>(const fs::path& dir)> make;
    bool needsSecretService;
};

class StoreContractTest : public ::testing::TestWithParam<StoreCase> {
protected:
    void SetUp() override {
        if (GetParam().needsSecretService && !envSet("PAVONIX_TEST_SECRET_SERVICE")) {
            GTEST_SKIP() << "runs under keychain_secret_service (private keyring)";
        }
        store_ = GetParam().make(dir_.path());
    }
    TemporaryFolder dir_;
    std::shared_ptr<Store> store_;
};

TEST_P(StoreContractTest, AddReadUpdateRemove) {
    const ItemKey key{uniqueService(), "lpp_account"};
    const Bytes secret{0x00, 0xFF, 0x10, 0x00, 0x7F};  // binary, with NUL bytes
    const Bytes replacement(32, 0xAB);
    Bytes out;

    EXPECT_EQ(store_->read(key, out), itemNotFound);
    EXPECT_EQ(store_->update(key, secret), itemNotFound);
    EXPECT_EQ(store_->remove(key), itemNotFound);

    ASSERT_EQ(store_->add(key, secret), success);
    ASSERT_EQ(store_->read(key, out), success);
    EXPECT_EQ(out, secret);
    EXPECT_EQ(store_->add(key, replacement), duplicateItem);
    EXPECT_EQ(store_->read(key, out), success);
    EXPECT_EQ(out, secret);  // a refused add changes nothing

    // Service and account both address the item.
    Bytes other;
    EXPECT_EQ(store_->read({key.service, "lpp_other"}, other), itemNotFound);
    EXPECT_EQ(store_->read({key.service + ".x", key.account}, other), itemNotFound);

    ASSERT_EQ(store_->update(key, replacement), success);
    ASSERT_EQ(store_->read(key, out), success);
    EXPECT_EQ(out, replacement);

    EXPECT_EQ(store_->remove(key), success);
    EXPECT_EQ(store_->read(key, out), itemNotFound);
    EXPECT_EQ(store_->remove(key), itemNotFound);
}

TEST_P(StoreContractTest, ItemsAreIndependent) {
    const std::string service = uniqueService();
    ASSERT_EQ(store_->add({service, "a"}, Bytes{1}), success);
    ASSERT_EQ(store_->add({service, "b"}, Bytes{2}), success);
    ASSERT_EQ(store_->remove({service, "a"}), success);
    Bytes out;
    ASSERT_EQ(store_->read({service, "b"}, out), success);
    EXPECT_EQ(out, Bytes{2});
    EXPECT_EQ(store_->remove({service, "b"}), success);
}

INSTANTIATE_TEST_SUITE_P(
    Stores, StoreContractTest,
    ::testing::Values(
        StoreCase{"Memory", [](const fs::path&) { return std::make_shared<MemoryStore>(); }, false},
        StoreCase{"File",
                  [](const fs::path& dir) {
                      return std::make_shared<FileStore>((dir / "Pavonix/keychain.json").string());
                  },
                  false},
        StoreCase{"SecretService",
                  [](const fs::path&) { return std::make_shared<SecretServiceStore>(); }, true}),
    [](const auto& info) { return std::string(info.param.name); });

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

TEST_F(FileStoreTest, WritesAPrivateFolderAndFile) {
    auto s = store();
    ASSERT_EQ(s.add({"svc", "acc"}, Bytes{1, 2, 3}), success);
    EXPECT_EQ(modeOf(folder()), 0700u);
    EXPECT_EQ(modeOf(file()), 0600u);
    // A second store on the same file (another process, say) sees the item.
    Bytes out;
    EXPECT_EQ(store().read({"svc", "acc"}, out), success);
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
    // No temporary files are left behind.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder())) ++entries;
    EXPECT_EQ(entries, 2u);  // the file and its lock file
}

TEST_F(FileStoreTest, RefusesAFileWithWiderPermissions) {
    auto s = store();
    ASSERT_EQ(s.add({"svc", "acc"}, Bytes{9}), success);
    for (mode_t mode : {0640, 0604, 0660, 0700, 0666}) {
        ASSERT_EQ(::chmod(file().c_str(), mode), 0);
        Bytes out;
        EXPECT_EQ(s.read({"svc", "acc"}, out), invalidKeychain) << std::oct << mode;
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(s.add({"svc", "new"}, Bytes{1}), invalidKeychain);
        EXPECT_EQ(s.update({"svc", "acc"}, Bytes{1}), invalidKeychain);
        EXPECT_EQ(s.remove({"svc", "acc"}), invalidKeychain);
        EXPECT_EQ(modeOf(file()), mode);  // neither repaired nor replaced behind the user's back
    }
    ASSERT_EQ(::chmod(file().c_str(), 0600), 0);
    Bytes out;
    EXPECT_EQ(s.read({"svc", "acc"}, out), success);
    EXPECT_EQ(out, Bytes{9});
}

TEST_F(FileStoreTest, RefusesSymlinksAndCorruptFiles) {
    fs::create_directories(folder());
    const fs::path target = dir_.path() / "elsewhere.json";
    writeFile(target, R"({"version":1,"items":[]})");
    ::chmod(target.c_str(), 0600);
    fs::create_symlink(target, file());
    auto s = store();
    Bytes out;
    EXPECT_EQ(s.read({"svc", "acc"}, out), invalidKeychain);
    EXPECT_EQ(s.add({"svc", "acc"}, Bytes{1}), invalidKeychain);
    fs::remove(file());

    for (const char* corrupt : {"not json", "[]", R"({"items":{}})",
                                R"({"items":[{"service":"s","account":"a","data":"zz"}]})",
                                R"({"items":[{"service":"s","account":"a"}]})"}) {
        writeFile(file(), corrupt);
        ::chmod(file().c_str(), 0600);
        EXPECT_EQ(s.read({"s", "a"}, out), invalidKeychain) << corrupt;
        EXPECT_EQ(s.add({"s", "b"}, Bytes{1}), invalidKeychain) << corrupt;
        EXPECT_EQ(readFile(file()), corrupt);  // never overwritten
    }
}

TEST_F(FileStoreTest, ConcurrentWritersLoseNoItem) {
    // Two stores on one file stand for two processes: only the lock file keeps their
    // read-modify-write cycles apart.
    FileStore first(file().string()), second(file().string());
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            FileStore& store = t % 2 ? first : second;
            for (int i = 0; i < 10; ++i) {
                const Bytes data{static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(i)};
                EXPECT_EQ(store.add({"svc", std::to_string(t) + "-" + std::to_string(i)}, data),
                          success);
            }
        });
    }
    for (auto& writer : writers) writer.join();
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 10; ++i) {
            Bytes out;
            EXPECT_EQ(first.read({"svc", std::to_string(t) + "-" + std::to_string(i)}, out),
                      success);
            EXPECT_EQ(out, (Bytes{static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(i)}));
        }
    }
}

TEST_F(FileStoreTest, DefaultPathFollowsXDGDataHome) {
    ScopedEnvironment env("XDG_DATA_HOME", "/x/data");
    EXPECT_EQ(FileStore::defaultPath(), "/x/data/Pavonix/keychain.json");
    env.set("XDG_DATA_HOME", "relative");  // not absolute: ignored, as XDG says
    EXPECT_NE(FileStore::defaultPath(), "relative/Pavonix/keychain.json");
}

// ---- Choosing the keychain ----

TEST(KeychainChoiceTest, ForcedChoicesAndProcessKeychain) {
    TemporaryFolder dir;
    ScopedEnvironment env("XDG_DATA_HOME", dir.path().string());
    env.set("PAVONIX_KEYCHAIN", "memory");
    EXPECT_EQ(systemKeychain().name(), "In-memory (not saved)");
    env.set("PAVONIX_KEYCHAIN", "file");
    Keychain file = systemKeychain();
    EXPECT_EQ(file.name(),
              "Private file (" + (dir.path() / "Pavonix/keychain.json").string() + ")");
    EXPECT_EQ(file.legacy, nullptr);

    // Without any session bus there is no Secret Service to ask, and no autolaunch is tried.
    env.set("PAVONIX_KEYCHAIN", std::nullopt)
        .set("DBUS_SESSION_BUS_ADDRESS", std::nullopt)
        .set("XDG_RUNTIME_DIR", dir.path().string());
    EXPECT_FALSE(sessionBusConfigured());
    EXPECT_EQ(systemKeychain(200ms).name(), file.name());

    auto memory = std::make_shared<MemoryStore>("Injected");
    setProcessKeychain({memory, nullptr});
    EXPECT_EQ(processKeychain().name(), "Injected");
    EXPECT_EQ(processKeychain().primary, memory);
}

// ---- The real Secret Service (run by secret_service_test.sh) ----

std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

class SecretServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!envSet("PAVONIX_TEST_SECRET_SERVICE")) {
            GTEST_SKIP() << "runs under keychain_secret_service (private keyring)";
        }
    }
};

TEST_F(SecretServiceTest, ItemsAreSharedWithSecretTool) {
    SecretServiceStore store;
    ASSERT_TRUE(store.available());
    const std::string service = uniqueService();
    ASSERT_EQ(store.add({service, "lpp_A"}, Bytes{'s', '3', 'c', 'r', 'e', 't'}), success);
    EXPECT_EQ(run("secret-tool lookup service " + service + " account lpp_A"), "s3cret");

    ASSERT_EQ(std::system(("printf 'from tool' | secret-tool store --label=t service " + service +
                           " account lpp_B")
                              .c_str()),
              0);
    Bytes out;
    ASSERT_EQ(store.read({service, "lpp_B"}, out), success);
    EXPECT_EQ(std::string(out.begin(), out.end()), "from tool");
    EXPECT_EQ(store.add({service, "lpp_B"}, Bytes{1}), duplicateItem);

    EXPECT_EQ(store.remove({service, "lpp_A"}), success);
    EXPECT_EQ(run("secret-tool lookup service " + service + " account lpp_A"), "");
}

TEST_F(SecretServiceTest, RefusesKeysDBusCannotCarry) {
    SecretServiceStore store;
    Bytes out;
    EXPECT_EQ(store.read({"svc", std::string("a\0b", 3)}, out), badParameter);
    EXPECT_EQ(store.add({"svc\xFF", "a"}, Bytes{1}), badParameter);
}

TEST(LockedSecretServiceTest, LockedCollectionReadsAsNotFoundAndRefusesWrites) {
    if (!envSet("PAVONIX_TEST_SECRET_SERVICE_LOCKED")) {
        GTEST_SKIP() << "runs under keychain_secret_service (private keyring)";
    }
    SecretServiceStore store;
    const std::string service = uniqueService();
    ASSERT_EQ(store.add({service, "acc"}, Bytes{1}), success);
    ASSERT_EQ(store.lockDefaultCollection(), success);
    const auto started = std::chrono::steady_clock::now();
    Bytes out;
    EXPECT_EQ(store.read({service, "acc"}, out), itemNotFound);
    EXPECT_EQ(store.add({service, "other"}, Bytes{2}), interactionNotAllowed);
    EXPECT_NE(store.update({service, "acc"}, Bytes{3}), success);
    // No prompt was waited for.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

TEST(StalledSecretServiceTest, CallsEndAfterTheTimeout) {
    if (!envSet("PAVONIX_TEST_SECRET_SERVICE_STALLED")) {
        GTEST_SKIP() << "runs under keychain_secret_service (stopped keyring daemon)";
    }
    SecretServiceStore store(500ms);
    const auto started = std::chrono::steady_clock::now();
    Bytes out;
    EXPECT_EQ(store.read({"svc", "acc"}, out), notAvailable);
    EXPECT_EQ(store.add({"svc", "acc"}, Bytes{1}), notAvailable);
    EXPECT_FALSE(store.available());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    // The program's choice falls back to the file when the service does not answer.
    TemporaryFolder dir;
    ScopedEnvironment env("XDG_DATA_HOME", dir.path().string());
    EXPECT_EQ(systemKeychain(500ms).primary->name().rfind("Private file (", 0), 0u);
}

}  // namespace
}  // namespace pavonix::keychain
