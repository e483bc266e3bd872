#include "app/settings/settings_keys.h"

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "settings_store/testing/temporary_settings.h"

namespace pavonix {
namespace {

using nlohmann::json;

Date date(double secondsSince2001) {
    Date out;
    EXPECT_TRUE(dateFromSecondsSinceReferenceDate(secondsSince2001, out));
    return out;
}

class SettingsKeysTest : public ::testing::Test {
protected:
    testing::TemporarySettings settings_;
    defaults::UserDefaults& defaults_ = settings_.defaults();
    SettingsStore& store_ = settings_.store();
};

TEST_F(SettingsKeysTest, EveryKeyIsRegisteredUnderItsStoredNameTypeAndDefaultAndNothingIsWritten) {
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
    settings::registerDefaults(defaults_);
    const auto& names = settings::keyNames();
    EXPECT_EQ(names.size(), expected.size()) << "every key once";
    for (auto name : names) {
        ASSERT_TRUE(expected.contains(name)) << name;
        const auto registered = defaults_.object(std::string(name));
        ASSERT_TRUE(registered) << name;
        EXPECT_EQ(registered->type(), expected.at(name).type()) << name;
        EXPECT_EQ(*registered, expected.at(name)) << name;
    }
    EXPECT_TRUE(defaults_.flush());
    EXPECT_FALSE(std::filesystem::exists(settings_.file()));
}

// Each record's own coding is pinned in app/core; here, that a list of them is stored as a list of
// those texts.
TEST_F(SettingsKeysTest, RecordsAndEnumerationsKeepTheirStoredForms) {
    store_.setValue(settings::presentationProvider, PresentationProvider::powerPoint);
    store_.setValue(settings::listenAddressMode, network::NetworkListenMode::specificInterface);
    const HTTPPairedDevice phone{"lpp_a", "Phone", date(786000000.5)};
    store_.setValue(settings::httpPairedDevices, {phone});
    EXPECT_EQ(defaults_.storedObject("presentationProvider"), json("powerPoint"));
    EXPECT_EQ(defaults_.storedObject("listenAddressMode"), json("specificInterface"));
    EXPECT_EQ(defaults_.storedObject("httpPairedDevices"),
              json::array({R"({"createdAt":786000000.5,"id":"lpp_a","name":"Phone"})"}));
    EXPECT_EQ(store_.value(settings::httpPairedDevices), std::vector<HTTPPairedDevice>{phone});

    defaults_.set("presentationProvider", "PowerPoint");  // raw values are case-sensitive
    EXPECT_EQ(store_.value(settings::presentationProvider), PresentationProvider::keynote);
}

}  // namespace
}  // namespace pavonix
