#include "app/core/types.h"

#include <gtest/gtest.h>

namespace pavonix {
namespace {

template <class T>
void expectRefused(std::initializer_list<const char*> texts) {
    for (const char* text : texts) EXPECT_THROW(decodeRecord<T>(text), JSONDecodingError) << text;
}

TEST(SharedTypesTest, ResultsEncodeWithTheirKeys) {
    auto result = CommandResult::failed(PresentationCommand::showNext(), "No show");
    EXPECT_EQ(encodeRecord(result),
              R"({"command":"Show next","message":"No show","status":"failed"})");
    EXPECT_EQ(decodeRecord<CommandResult>(encodeRecord(result)), result);

    PresentationProviderSelectionResult selection{ResultStatus::ok, "Selected Keynote.",
                                                  PresentationProvider::keynote};
    EXPECT_EQ(encodeRecord(selection),
              R"({"message":"Selected Keynote.","presentationProvider":"keynote",)"
              R"("presentationProviderName":"Keynote","status":"ok"})");
    selection.presentationProvider.reset();
    EXPECT_EQ(encodeRecord(selection), R"({"message":"Selected Keynote.","status":"ok"})");

    SlideListResult slides{ResultStatus::ok, "", {{3, "Intro", "#Intro", true}}};
    EXPECT_EQ(encodeRecord(slides),
              R"({"message":"","slides":[{"hasExplicitName":true,"name":"Intro",)"
              R"("notes":"#Intro","number":3}],"status":"ok"})");
    EXPECT_EQ(decodeRecord<SlideListResult>(encodeRecord(slides)), slides);

    const PresentationWindowListResult windows{
        ResultStatus::ok, "", 42, {{42, 7, "Chromium", "org.chromium", "Deck - Google Slides",
                                    "Chromium - Deck - Google Slides", "pid 7", "window",
                                    PresentationWindowDisplaySection::googleSlides}}};
    auto json = Json(windows);
    EXPECT_EQ(json["windows"][0]["displaySection"], "googleSlides");
    EXPECT_EQ(json["selectedWindowID"], 42);
    EXPECT_EQ(decodeRecord<PresentationWindowListResult>(json.dump()), windows);
    auto remote = Json(remoteListResult(windows));
    EXPECT_FALSE(remote["windows"][0].contains("displaySection"));
    EXPECT_EQ(remote["windows"][0].size(), 7u);
}

TEST(SharedTypesTest, StrictDecodingRefusesMissingAndMistypedFields) {
    expectRefused<CommandResult>(
        {R"({"status":"ok","command":"Stop"})", R"({"status":"OK","command":"x","message":""})"});
    expectRefused<SlideSummary>({R"({"number":1.5,"name":"","notes":"","hasExplicitName":false})",
                                 R"({"number":1,"name":"","notes":"","hasExplicitName":1})", "[1]", "{"});
    expectRefused<SlideListResult>({R"({"status":"ok","message":"","slides":{}})"});
    // A number too large for a 64-bit integer is not an integer.
    expectRefused<PresentationWindowSelectionResult>(
        {R"({"status":"ok","message":"","selectedWindowID":18446744073709551615})"});
    EXPECT_EQ(decodeRecord<PresentationWindowSelectionResult>(
                  R"({"status":"ok","message":"","selectedWindowID":5.0})")
                  .selectedWindowID,
              5);
}

TEST(PairingRecordsTest, DatesAreSecondsSinceTwoThousandOne) {
    HTTPPairedDevice device{"lpp_AAAAAAAAAAAAAAAA", "Phone", Date{std::chrono::seconds(978307200)}};
    EXPECT_EQ(encodeRecord(device), R"({"createdAt":0.0,"id":"lpp_AAAAAAAAAAAAAAAA","name":"Phone"})");

    // Fractions survive a round trip exactly at microsecond resolution.
    device.createdAt = dateNow();
    EXPECT_EQ(decodeRecord<HTTPPairedDevice>(encodeRecord(device)), device);

    // Past the clock's range (year 2262) is refused rather than wrapped around.
    expectRefused<HTTPPairedDevice>({R"({"id":"a","name":"b"})", R"({"id":"a","name":"b","createdAt":"x"})",
                                     R"({"id":"a","name":"b","createdAt":1e300})",
                                     R"({"id":"a","name":"b","createdAt":8.5e9})"});
    EXPECT_NO_THROW(decodeRecord<HTTPPairedDevice>(R"({"id":"a","name":"b","createdAt":-2e9})"));
}

// Records read from the wire and written again: absent optional fields stay absent, defaults are
// filled in, unknown keys are dropped; mistyped fields are refused.
TEST(PairingRecordsTest, OptionalFieldsAndDefaultsOnTheWire) {
    const std::pair<std::string, std::string> bluetooth[] = {
        {R"({"id":"lpb_x","name":"R","createdAt":10.5,"lastSeenAt":null})", R"({"createdAt":10.5,"id":"lpb_x","name":"R"})"},
        {R"({"createdAt":10.5,"id":"lpb_x","lastSeenAt":20.25,"name":"R"})", R"({"createdAt":10.5,"id":"lpb_x","lastSeenAt":20.25,"name":"R"})"}};
    for (const auto& [in, out] : bluetooth) EXPECT_EQ(encodeRecord(decodeRecord<BluetoothPairedDevice>(in)), out);
    const std::string health = R"({"presentationProvider":"keynote","presentationProviderName":"Keynote","status":"ok"})";
    for (const std::string& json : {health, std::string(R"({"status":"ok"})")}) {
        EXPECT_EQ(encodeRecord(decodeRecord<RemoteLanternpostHealth>(json)), json);
    }
    auto target = decodeRecord<RemoteLanternpostTarget>(
        R"({"id":"lpt_1","name":"","pairID":"lpp_2","createdAt":100,"extra":true})");
    EXPECT_EQ(encodeRecord(target),
              R"({"createdAt":100.0,"host":"","id":"lpt_1","name":"","pairID":"lpp_2",)"
              R"("port":0,"transport":"http"})");

    expectRefused<BluetoothPairedDevice>({R"({"id":null,"name":"n","createdAt":1})"});
    expectRefused<RemoteLanternpostHealth>({R"({"presentationProvider":"keynote"})"});
    expectRefused<RemoteLanternpostTarget>(
        {R"({"id":"a","name":"","pairID":"p","createdAt":1,"transport":"HTTP"})",
         R"({"id":"a","name":"","pairID":"p","createdAt":1,"port":"8090"})",
         R"({"id":"a","name":"","pairID":"p","createdAt":1,"bluetoothPeripheralIdentifier":"not-a-uuid"})"});

    target.transport = RemoteLanternpostTransport::bluetooth;
    target.bluetoothPeripheralIdentifier = "e621e1f8-c36c-495a-93fc-0c247a3e6e5f";
    auto decoded = decodeRecord<RemoteLanternpostTarget>(encodeRecord(target));
    EXPECT_EQ(decoded.bluetoothPeripheralIdentifier, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
}

TEST(JSONCodingTest, HostileInput) {
    EXPECT_FALSE(parseJSON(std::string(100000, '[')));
    EXPECT_FALSE(parseJSON(std::string(65, '[') + std::string(65, ']')));
    EXPECT_TRUE(parseJSON(std::string(64, '[') + std::string(64, ']')));
    EXPECT_TRUE(parseJSON(R"({"a":"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["})"));
    EXPECT_FALSE(parseJSON("\"\xff\""));
    // Invalid UTF-8 in a text never makes encoding throw.
    CommandResult result{ResultStatus::ok, "Go to slide named \"\xff\"", ""};
    EXPECT_NO_THROW(encodeRecord(result));
}

}  // namespace
}  // namespace pavonix
