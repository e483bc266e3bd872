#include "app/settings/settings_keys.h"

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "settings_store/temporary_settings.h"

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

TEST_F(SettingsKeysTest, DefaultsAreRegisteredUnderDistinctNamesAndNeverWritten) {
    settings::registerDefaults(defaults_);
    const auto& names = settings::keyNames();
    EXPECT_EQ(std::set<std::string_view>(names.begin(), names.end()).size(), names.size());
    // The names are what settings files of earlier versions hold: a rename loses the user's value.
    EXPECT_EQ(std::set<std::string_view>(names.begin(), names.end()),
              (std::set<std::string_view>{
                  "presentationProvider", "googleSlidesWindowID", "googleSlidesWindowOwnerProcessID",
                  "googleSlidesWindowOwnerName", "googleSlidesWindowBundleIdentifier", "googleSlidesWindowTitle",
                  "remoteLanternpostTargets", "selectedRemoteLanternpostTargetID", "oscEnabled", "oscPort",
                  "httpEnabled", "httpPort", "httpAuthenticationEnabled", "httpPairedDevices", "pavonixName",
                  "bluetoothEnabled", "bluetoothDiscoverable", "bluetoothPairedDevices", "listenAddressMode",
                  "selectedListenAddress", "welcomeCompleted", "welcomeScreenRequested",
                  "localNetworkPermissionGranted"}));
    for (auto name : names) EXPECT_TRUE(defaults_.object(std::string(name))) << name;
    // Registered in their stored forms: enumerations by raw value, records as lists.
    EXPECT_EQ(defaults_.object("presentationProvider"), json("keynote"));
    EXPECT_EQ(defaults_.object("listenAddressMode"), json("allInterfaces"));
    EXPECT_EQ(defaults_.object("httpPairedDevices"), json::array());
    EXPECT_EQ(store_.value(settings::oscPort), 48000);
    EXPECT_TRUE(defaults_.flush());
    EXPECT_FALSE(std::filesystem::exists(settings_.file()));
}

TEST_F(SettingsKeysTest, RecordsAndEnumerationsKeepTheirStoredForms) {
    store_.setValue(settings::presentationProvider, PresentationProvider::powerPoint);
    store_.setValue(settings::listenAddressMode, network::NetworkListenMode::specificInterface);
    store_.setValue(settings::httpPairedDevices, {HTTPPairedDevice{"lpp_a", "Phone", date(786000000.5)}});
    BluetoothPairedDevice remote{"lpb_b", "Bluetooth Remote", date(1), date(2.25)};
    store_.setValue(settings::bluetoothPairedDevices, {remote, BluetoothPairedDevice{"lpb_c", "Pad", date(3), {}}});
    EXPECT_EQ(defaults_.storedObject("presentationProvider"), json("powerPoint"));
    EXPECT_EQ(defaults_.storedObject("listenAddressMode"), json("specificInterface"));
    EXPECT_EQ(defaults_.storedObject("httpPairedDevices"),
              json::array({R"({"createdAt":786000000.5,"id":"lpp_a","name":"Phone"})"}));
    EXPECT_EQ(defaults_.storedObject("bluetoothPairedDevices"),
              json::array({R"({"createdAt":1.0,"id":"lpb_b","lastSeenAt":2.25,"name":"Bluetooth Remote"})",
                           R"({"createdAt":3.0,"id":"lpb_c","name":"Pad"})"}));
    EXPECT_EQ(store_.value(settings::bluetoothPairedDevices).front(), remote);

    defaults_.set("presentationProvider", "PowerPoint");  // raw values are case-sensitive
    EXPECT_EQ(store_.value(settings::presentationProvider), PresentationProvider::keynote);
}

}  // namespace
}  // namespace pavonix
