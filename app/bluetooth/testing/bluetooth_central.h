// Test support: what a paired central writes to the request characteristic.
#pragma once

#include <string>
#include <string_view>

#include "app/bluetooth/bluetooth_payloads.h"
#include "app/bluetooth/bluetooth_request_handler.h"
#include "app/http/request_signing.h"

namespace pavonix::bluetooth::testing {

inline Bytes signedRequest(const Json& body, const HTTPAuthCredential& as, std::string timestamp, std::string nonce,
                           std::string_view algorithm = http::kSignatureAlgorithm) {
    const std::string text = encodeJSON(body);
    BluetoothSignedRequest request{as.pairID, std::move(timestamp), std::move(nonce), "", Bytes(text.begin(), text.end())};
    request.signature = http::requestSignature(
        as.secret, http::canonicalRequestText(algorithm, kSignedMethod, kSignedPath, http::requestBodyHash(request.body),
                                              request.timestamp, request.nonce));
    return encodeBluetoothDocument(Json(request));
}

}  // namespace pavonix::bluetooth::testing
