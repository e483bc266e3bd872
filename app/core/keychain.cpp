#include "app/core/keychain.h"

namespace pavonix {

namespace {

std::shared_ptr<keychain::Store> storeFor(const keychain::Keychain& chain,
                                          const KeychainQuery& query) {
    return query.useDataProtectionKeychain ? chain.primary : chain.legacy;
}

// A store that is not there holds nothing; an item without bytes counts as none.
KeychainItemRead readItem(const std::shared_ptr<keychain::Store>& store, const KeychainQuery& query) {
    KeychainItemRead read;
    if (!store) return read;
    read.status = store->read({query.service, query.account}, read.data);
    if (read.status == keychain::success && read.data.empty()) read.status = keychain::itemNotFound;
    if (read.status != keychain::success && read.status != keychain::itemNotFound) read.problem = store->failure(read.status);
    return read;
}

}  // namespace

KeychainQuery keychainQuery(std::string_view service, std::string_view account) {
    return {std::string(service), std::string(account), true};
}

KeychainQuery legacyKeychainQuery(std::string_view service, std::string_view account) {
    return {std::string(service), std::string(account), false};
}

std::optional<Bytes> keychainReadData(const KeychainQuery& query) {
    auto read = readItem(storeFor(keychain::processKeychain(), query), query);
    if (read.status != keychain::success) return std::nullopt;
    return std::move(read.data);
}

KeychainStatus keychainSaveData(const Bytes& data, std::string_view service,
                                std::string_view account) {
    auto store = keychain::processKeychain().primary;
    if (!store) {
        return keychain::notAvailable;
    }
    const keychain::ItemKey key{std::string(service), std::string(account)};
    KeychainStatus status = store->add(key, data);
    if (status == keychain::duplicateItem) {
        status = store->update(key, data);
    }
    return status;
}

KeychainStatus keychainDeleteData(const KeychainQuery& query) {
    const auto chain = keychain::processKeychain();
    const keychain::ItemKey key{query.service, query.account};
    KeychainStatus status = keychain::itemNotFound;
    if (auto store = storeFor(chain, query)) {
        status = store->remove(key);
    }
    if (query.useDataProtectionKeychain && chain.legacy && chain.legacy != chain.primary) {
        const KeychainStatus legacy = chain.legacy->remove(key);
        if (status == keychain::itemNotFound && legacy != keychain::itemNotFound) {
            status = legacy;
        }
    }
    return status;
}

std::optional<Bytes> keychainReadDataMigratingLegacy(std::string_view service,
                                                     std::string_view account) {
    auto read = keychainReadItemMigratingLegacy(service, account);
    if (read.status != keychain::success) return std::nullopt;
    return std::move(read.data);
}

KeychainItemRead keychainReadItemMigratingLegacy(std::string_view service, std::string_view account) {
    const auto chain = keychain::processKeychain();
    auto primary = readItem(chain.primary, keychainQuery(service, account));
    if (primary.status == keychain::success) return primary;
    auto legacy = readItem(chain.legacy, legacyKeychainQuery(service, account));
    if (legacy.status == keychain::success) {
        keychainSaveData(legacy.data, service, account);
        return legacy;
    }
    // The primary's failure first: that is where the secret should be.
    return primary.status != keychain::itemNotFound ? primary : legacy;
}

std::string keychainSaveProblem(KeychainStatus status) {
    const auto store = keychain::processKeychain().primary;
    return store ? store->failure(status) : std::string();
}

std::string keychainBackendName() { return keychain::processKeychain().name(); }

}  // namespace pavonix
