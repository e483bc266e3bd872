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
        {"presentationProvider", "keynote"},
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
    EXPECT_EQ(temporary.store().value(settings::presentationProvider), PresentationProvider::keynote);
}

}  // namespace
}  // namespace pavonix
