#include "app/settings/settings_keys.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

namespace pavonix {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class SettingsKeysTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pavonix-keys-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        defaults::Options options;
        options.backgroundFlush = false;
        defaults_ = std::make_unique<defaults::UserDefaults>(folder_ / "settings.json", options);
        store_ = std::make_unique<SettingsStore>(*defaults_);
    }
    void TearDown() override {
        store_.reset();
        defaults_.reset();
        fs::remove_all(folder_);
    }

    fs::path folder_;
    std::unique_ptr<defaults::UserDefaults> defaults_;
    std::unique_ptr<SettingsStore> store_;
};

Date date(double secondsSince2001) {
    Date out;
    EXPECT_TRUE(dateFromSecondsSinceReferenceDate(secondsSince2001, out));
    return out;
}

TEST_F(SettingsKeysTest, EveryKeyIsRegisteredWithItsDefaultAndNothingIsWritten) {
    settings::registerDefaults(*defaults_);
    const json expected = {
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
    const auto& names = settings::keyNames();
    EXPECT_EQ(names.size(), 23u);
    EXPECT_EQ(std::set<std::string_view>(names.begin(), names.end()).size(), names.size());
    for (const auto& [name, value] : expected.items()) {
        EXPECT_EQ(defaults_->object(name), value) << name;
    }
    for (auto name : names) EXPECT_TRUE(expected.contains(std::string(name))) << name;

    EXPECT_EQ(store_->value(settings::presentationProvider), PresentationProvider::keynote);
    EXPECT_EQ(store_->value(settings::listenAddressMode), http::NetworkListenMode::allInterfaces);
    EXPECT_EQ(store_->value(settings::oscPort), 48000);
    EXPECT_TRUE(defaults_->flush());
    EXPECT_FALSE(fs::exists(folder_ / "settings.json"));
}

TEST_F(SettingsKeysTest, RecordsAndEnumerationsKeepTheirStoredForms) {
    store_->setValue(settings::presentationProvider, PresentationProvider::powerPoint);
    store_->setValue(settings::listenAddressMode, http::NetworkListenMode::specificInterface);
    store_->setValue(settings::httpPairedDevices, {HTTPPairedDevice{"lpp_a", "Phone", date(786000000.5)}});
    BluetoothPairedDevice remote{"lpb_b", "Bluetooth Remote", date(1), date(2.25)};
    store_->setValue(settings::bluetoothPairedDevices, {remote, BluetoothPairedDevice{"lpb_c", "Pad", date(3), {}}});
    EXPECT_EQ(defaults_->storedObject("presentationProvider"), json("powerPoint"));
    EXPECT_EQ(defaults_->storedObject("listenAddressMode"), json("specificInterface"));
    EXPECT_EQ(defaults_->storedObject("httpPairedDevices"),
              json::array({R"({"createdAt":786000000.5,"id":"lpp_a","name":"Phone"})"}));
    EXPECT_EQ(defaults_->storedObject("bluetoothPairedDevices"),
              json::array({R"({"createdAt":1.0,"id":"lpb_b","lastSeenAt":2.25,"name":"Bluetooth Remote"})",
                           R"({"createdAt":3.0,"id":"lpb_c","name":"Pad"})"}));
    EXPECT_EQ(store_->value(settings::bluetoothPairedDevices).front(), remote);

    defaults_->set("presentationProvider", "PowerPoint");  // raw values are case-sensitive
    EXPECT_EQ(store_->value(settings::presentationProvider), PresentationProvider::keynote);
}

}  // namespace
}  // namespace pavonix
