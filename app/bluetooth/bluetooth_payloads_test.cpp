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

// Every action as a central writes it, and the command it runs; nothing for one that names no slide.
TEST(BluetoothPayloadsTest, EachActionRunsExactlyItsOwnCommand) {
    using Command = PresentationCommand;
    const std::pair<std::string_view, std::optional<Command>> cases[] = {
        {R"({"action":"start"})", Command::start(false)},
        {R"({"action":"start","fromBeginning":true})", Command::start(true)},
        {R"({"action":"stop"})", Command::stop()},
        {R"({"action":"showNext"})", Command::showNext()},
        {R"({"action":"showPrevious"})", Command::showPrevious()},
        {R"({"action":"goToSlideNumber","number":3})", Command::goToSlideNumber(3)},
        {R"({"action":"goToSlideNumber","number":0})", std::nullopt},
        {R"({"action":"goToSlideNumber"})", std::nullopt},
        {R"({"action":"goToSlideNamed","name":" #Intro "})", Command::goToSlideNamed("Intro")},
        {R"({"action":"goToSlideNamed","name":" ## "})", std::nullopt},
        {R"({"action":"goToSlideNamed","name":""})", std::nullopt},
        {R"({"action":"goToSlideNamed"})", std::nullopt},
    };
    for (const auto& [payload, command] : cases) {
        const std::string text = R"({"requestID":"r","kind":"command","command":)" + std::string(payload) + "}";
        const auto body = decodeRequestBody(Bytes(text.begin(), text.end()));
        ASSERT_TRUE(body.command) << payload;
        const auto got = body.command->presentationCommand();
        EXPECT_EQ(got, command) << payload << " gave " << (got ? got->displayText() : "nothing");
    }
}

}  // namespace
}  // namespace pavonix::bluetooth
