#include "app/core/keychain.h"

namespace pavonix {

namespace {

std::shared_ptr<keychain::Store> storeFor(const keychain::Keychain& chain,
                                          const KeychainQuery& query) {
    return query.useDataProtectionKeychain ? chain.primary : chain.legacy;
}

}  // namespace

KeychainQuery keychainQuery(std::string_view service, std::string_view account) {
    return {std::string(service), std::string(account), true};
}

KeychainQuery legacyKeychainQuery(std::string_view service, std::string_view account) {
    return {std::string(service), std::string(account), false};
}

std::optional<Bytes> keychainReadData(const KeychainQuery& query) {
    auto store = storeFor(keychain::processKeychain(), query);
    if (!store) {
        return std::nullopt;
    }
    Bytes data;
    if (store->read({query.service, query.account}, data) != keychain::success || data.empty()) {
        return std::nullopt;
    }
    return data;
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
    if (auto data = keychainReadData(keychainQuery(service, account))) {
        return data;
    }
    auto data = keychainReadData(legacyKeychainQuery(service, account));
    if (data) {
        keychainSaveData(*data, service, account);
    }
    return data;
}

std::string keychainBackendName() { return keychain::processKeychain().name(); }

}  // namespace pavonix
