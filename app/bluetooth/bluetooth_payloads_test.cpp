#include "app/bluetooth/bluetooth_payloads.h"

#include <gtest/gtest.h>

namespace pavonix::bluetooth {
namespace {

TEST(BluetoothPayloadsTest, RequestsDecodeStrictlyAndIgnoreUnknownKeys) {
    const auto body = [](std::string_view text) { return decodeRequestBody(Bytes(text.begin(), text.end())); };
    EXPECT_EQ(body(R"({"requestID":"r","kind":"selectWindow","windowID":null,"extra":1})").windowID, std::nullopt);
    EXPECT_EQ(body(R"({"requestID":"r","kind":"responseChunk","chunkIndex":2.0})").chunkIndex, 2);
    for (std::string_view bad : {R"({"requestID":"r","kind":"Health"})", R"({"requestID":1,"kind":"health"})",
                                 R"({"requestID":"r","kind":"command","command":{"action":"jump"}})",
                                 R"({"requestID":"r","kind":"health","windowID":"4"})"}) {
        EXPECT_THROW(body(bad), JSONDecodingError) << bad;
    }
    const auto signedBody = [](std::string_view base64) {
        const std::string text = R"({"pairID":"p","timestamp":"1","nonce":"n","signature":"s","body":")" + std::string(base64) + "\"}";
        return decodeSignedRequest(Bytes(text.begin(), text.end())).body;
    };
    EXPECT_EQ(signedBody("e30="), (Bytes{'{', '}'}));
    EXPECT_THROW(signedBody("e30"), JSONDecodingError);
    EXPECT_THROW(signedBody("e3-_"), JSONDecodingError);
}

}  // namespace
}  // namespace pavonix::bluetooth
