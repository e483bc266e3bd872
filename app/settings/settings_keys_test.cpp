#include "app/settings/settings_keys.h"

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "settings_store/testing/temporary_settings.h"

namespace pavonix {
namespace {

using nlohmann::json;

TEST(SettingsKeys, EveryKeyIsRegisteredUnderItsStoredNameTypeAndDefaultAndNothingIsWritten) {
    // The names are what settings files of earlier versions hold: a rename loses the user's value.
    // The JSON value carries the stored type too (0, false and "" differ).
    const std::map<std::string_view, json> expected{
        {"presentationProvider", "googleSlides"},  // the one provider that can work on Linux
        {"googleSlidesWindowID", 0},
        {"googleSlidesWindowOwnerProcessID", 0},
        {"googleSlidesWindowOwnerName", ""},
        {"googleSlidesWindowBundleIdentifier", ""},
        {"googleSlidesWindowTitle", ""},
        {"remoteLanternpostTargets", json::array()},
        {"selectedRemoteLanternpostTargetID", ""},
        {"oscEnabled", true},
        {"oscPort", 48000},
        {"httpEnabled", true},
        {"httpPort", 8090},
        {"httpAuthenticationEnabled", false},
        {"httpPairedDevices", json::array()},
        {"pavonixName", ""},
        {"bluetoothEnabled", false},
        {"bluetoothDiscoverable", false},
        {"bluetoothPairedDevices", json::array()},
        {"listenAddressMode", "allInterfaces"},
        {"selectedListenAddress", ""},
        {"welcomeCompleted", false},
        {"welcomeScreenRequested", false},
        {"localNetworkPermissionGranted", false},
    };
    testing::TemporarySettings temporary;
    auto& defaults = temporary.defaults();
    settings::registerDefaults(defaults);
    const auto& names = settings::keyNames();
    EXPECT_EQ(names.size(), expected.size()) << "every key once";
    for (auto name : names) {
        ASSERT_TRUE(expected.contains(name)) << name;
        const auto registered = defaults.object(std::string(name));
        ASSERT_TRUE(registered) << name;
        EXPECT_EQ(registered->type(), expected.at(name).type()) << name;
        EXPECT_EQ(*registered, expected.at(name)) << name;
    }
    EXPECT_TRUE(defaults.flush());
    EXPECT_FALSE(std::filesystem::exists(temporary.file()));
}

// How a list of records is stored is the settings store's test, each record's coding app/core's,
// and a stored pairing read at start-up the program's.
TEST(SettingsKeys, EnumerationsAreStoredAsTheirCaseSensitiveRawValues) {
    testing::TemporarySettings temporary;
    temporary.store().setValue(settings::listenAddressMode, network::NetworkListenMode::specificInterface);
    EXPECT_EQ(temporary.defaults().storedObject("listenAddressMode"), json("specificInterface"));
    temporary.defaults().set("presentationProvider", "PowerPoint");
    EXPECT_EQ(temporary.store().value(settings::presentationProvider), PresentationProvider::googleSlides);
    temporary.defaults().set("presentationProvider", "keynote");  // a stored choice stays
    EXPECT_EQ(temporary.store().value(settings::presentationProvider), PresentationProvider::keynote);
}

// A damaged value, or a settings file that could not be used, never leaves request signing off.
TEST(SettingsKeys, RequestSigningStaysOnWhateverHappenedToTheFile) {
    testing::TemporarySettings temporary;
    for (const json& damaged : {json(1), json("true"), json(nullptr), json::object()}) {
        temporary.defaults().set("httpAuthenticationEnabled", damaged);
        EXPECT_TRUE(temporary.store().value(settings::httpAuthenticationEnabled)) << damaged;
    }
    temporary.defaults().set("httpAuthenticationEnabled", false);
    EXPECT_FALSE(temporary.store().value(settings::httpAuthenticationEnabled));

    // Set aside for its content: on, and the new file keeps it on for the next start.
    const auto file = temporary.file();
    temporary.defaults().remove("httpAuthenticationEnabled");
    ASSERT_TRUE(temporary.defaults().flush());
    testing::writeFile(file, R"({"httpAuthenticationEnabled": false, "httpPort": 80)");  // torn
    temporary.reopen();
    settings::requireSigningAfterLoadProblem(temporary.store());
    // On disk at once, before any batch of writes: a crash now must not start the next run unsigned.
    EXPECT_EQ(json::parse(testing::readFile(file), nullptr, false), json({{"httpAuthenticationEnabled", true}}));

    // Unreadable: on for this run, nothing written; once readable, the file's own value counts.
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    temporary.reopen();
    settings::requireSigningAfterLoadProblem(temporary.store());
    EXPECT_TRUE(temporary.store().value(settings::httpAuthenticationEnabled));
    temporary.store().setValue(settings::httpPort, 8091);
    EXPECT_FALSE(temporary.defaults().flush());
    EXPECT_TRUE(std::filesystem::is_directory(file));
    std::filesystem::remove(file);
    testing::writeFile(file, R"({"httpAuthenticationEnabled": false})");
    EXPECT_EQ(temporary.savedFile(), json({{"httpAuthenticationEnabled", false}, {"httpPort", 8091}}));
    EXPECT_FALSE(temporary.store().value(settings::httpAuthenticationEnabled));

    // A usable file is left as it is.
    temporary.reopen();
    settings::requireSigningAfterLoadProblem(temporary.store());
    EXPECT_FALSE(temporary.store().value(settings::httpAuthenticationEnabled));

    // The switch more than once: which copy counts is as unclear as a wrong type, so it reads as
    // on, at start-up and at every later read, and is written so; other keys keep the last copy.
    const std::string twice = R"({"httpAuthenticationEnabled": true, "httpAuthenticationEnabled": false,
                                  "httpPort": 1, "httpPort": 2})";
    testing::writeFile(file, twice);
    temporary.reopen();
    settings::registerDefaults(temporary.defaults());
    EXPECT_TRUE(temporary.store().value(settings::httpAuthenticationEnabled));
    EXPECT_EQ(temporary.store().value(settings::httpPort), 2);
    testing::writeFile(file, twice);
    temporary.store().setValue(settings::oscPort, 9);
    EXPECT_EQ(temporary.savedFile(), json({{"httpAuthenticationEnabled", true}, {"httpPort", 2}, {"oscPort", 9}}));
    EXPECT_TRUE(temporary.store().value(settings::httpAuthenticationEnabled));
}

}  // namespace
}  // namespace pavonix
