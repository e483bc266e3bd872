#include "platform/keychain/keychain.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/keychain/file_store.h"
#include "platform/keychain/memory_store.h"
#include "platform/keychain/secret_service_store.h"

namespace pavonix::keychain {

std::string_view reason(Status status) {
    switch (status) {
    case ioError: return "the keychain file could not be written";
    case notAvailable: return "no Secret Service answered";
    case noSuchKeychain: return "the Secret Service has no keyring open";
    case invalidKeychain: return "the keychain file is damaged or open to other users";
    case interactionNotAllowed: return "the keyring is locked";
    default: return {};
    }
}

std::string statusText(Status status) {
    std::string text = std::to_string(status);
    if (const auto why = reason(status); !why.empty()) text += " (" + std::string(why) + ")";
    return text;
}

std::string Store::failure(Status status) const {
    const auto why = reason(status);
    return why.empty() ? name() : name() + ": " + std::string(why);
}

std::string Keychain::name() const { return primary ? primary->name() : "None"; }

Keychain systemKeychain(std::chrono::milliseconds timeout) {
    const char* forced = std::getenv("PAVONIX_KEYCHAIN");
    const std::string_view choice = forced ? forced : "";
    if (choice == "memory") {
        return {std::make_shared<MemoryStore>(), nullptr};
    }
    auto file = std::make_shared<FileStore>(FileStore::defaultPath(), timeout);
    if (choice == "file") {
        return {file, nullptr};
    }
    auto secretService = std::make_shared<SecretServiceStore>(timeout);
    if (choice == "secret-service" || secretServiceOnBus(timeout)) {
        return {secretService, file};
    }
    return {file, nullptr};
}

namespace {

std::mutex processMutex;
std::optional<Keychain> processValue;

}  // namespace

Keychain processKeychain() {
    std::lock_guard lock(processMutex);
    if (!processValue) {
        processValue = systemKeychain();
    }
    return *processValue;
}

void setProcessKeychain(Keychain keychain) {
    std::lock_guard lock(processMutex);
    processValue = std::move(keychain);
}

}  // namespace pavonix::keychain
