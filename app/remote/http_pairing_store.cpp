#include "app/remote/http_pairing_store.h"

#include <openssl/crypto.h>

#include "app/core/text.h"
#include "app/remote/url_components.h"
#include "platform/crypto/base64.h"
#include "platform/crypto/secure_random.h"

namespace pavonix::remote {

RandomByteSource systemRandomByteSource() {
    return [](std::size_t count) { return crypto::secureRandomBytes(count); };
}

std::string keychainWhere(const std::string& where) { return where.empty() ? where : " Keychain: " + where + "."; }

HTTPPairingStoreError::HTTPPairingStoreError(Kind kind, KeychainStatus status, std::string where)
    : kind_(kind), status_(status), where_(std::move(where)), description_(description()) {}

std::string HTTPPairingStoreError::description() const {
    if (kind_ == Kind::keychain) {
        return "Unable to save pairing secret in Keychain. Status " + keychain::statusText(status_) + "." +
               keychainWhere(where_);
    }
    return "Unable to generate secure random bytes.";
}

HTTPPairingStore::HTTPPairingStore(RandomByteSource random) : random_(std::move(random)) {}

Bytes HTTPPairingStore::randomBytes(std::size_t count) const {
    auto bytes = random_ ? random_(count) : std::nullopt;
    // A source that hands back fewer bytes than asked for would silently weaken the secret.
    if (!bytes || bytes->size() != count) throw HTTPPairingStoreError::randomBytes();
    return std::move(*bytes);
}

HTTPPairingSetup HTTPPairingStore::createPairing(std::string_view name, Date now) const {
    const std::string pairID = std::string(kHTTPPairIDPrefix) + crypto::base64urlEncode(randomBytes(kPairIDRandomByteCount));
    Bytes secret = randomBytes(kPairingSecretByteCount);

    const KeychainStatus status = keychainSaveData(secret, httpAuthKeychainService, pairID);
    HTTPPairingSetup setup;
    setup.secret = crypto::base64urlEncode(secret);
    OPENSSL_cleanse(secret.data(), secret.size());
    if (status != keychain::success) throw HTTPPairingStoreError::keychain(status, keychainSaveProblem(status));

    std::string trimmed = trimmedWhitespaceAndNewlines(name);
    setup.device = {pairID, trimmed.empty() ? std::string(kDefaultPairedDeviceName) : std::move(trimmed), now};
    return setup;
}

std::vector<HTTPAuthCredential> HTTPPairingStore::credentials(const std::vector<HTTPPairedDevice>& devices) {
    std::vector<HTTPAuthCredential> out;
    out.reserve(devices.size());
    for (const HTTPPairedDevice& device : devices) {
        if (auto secret = keychainReadDataMigratingLegacy(httpAuthKeychainService, device.id)) {
            out.push_back({device.id, std::move(*secret)});
        }
    }
    return out;
}

std::optional<std::string> setupURL(const HTTPPairingSetup& setup, std::string_view host, std::int64_t port,
                                    const std::optional<std::string>& deviceName) {
    // A text that is not UTF-8 cannot travel in a URL and read back the same.
    if (!isValidUTF8(host) || (deviceName && !isValidUTF8(*deviceName))) return std::nullopt;
    URLComponents components;
    components.scheme = kSetupURLScheme;
    components.host = std::string(kSetupURLHost);
    std::vector<URLQueryItem> items{
        {"version", std::string(kSetupURLVersion)},
        {"host", std::string(host)},
        {"port", std::to_string(port)},
        {"pairId", setup.device.id},
        {"secret", setup.secret},
        {"algorithm", std::string(kSetupURLAlgorithm)},
    };
    if (deviceName) {
        std::string trimmed = trimmedWhitespaceAndNewlines(*deviceName);
        if (!trimmed.empty()) items.push_back({"deviceName", std::move(trimmed)});
    }
    components.queryItems = std::move(items);
    return components.string();
}

}  // namespace pavonix::remote
