// The pairing and device sheets: what the HTTP sheet puts into a setup URL and when it shows the
// secret, what the Bluetooth sheet removes, how the remote devices sheet adds, and that the QR
// code is drawn with hard module edges. The clipboard, the alerts and the real keychain are
// checked through the program in pairing_sheets_x11_test.sh.
#include <QImage>

#include "app/remote/remote_lanternpost_target.h"
#include "app/views/pairing_sheets.h"
#include "app/views/testing/views_test_support.h"

namespace pavonix {
namespace {

using network::NetworkInterfaceAddress;
using network::NetworkListenMode;
using testing::settle;

using PairingSheetsTest = testing::ViewsTest;

TEST_F(PairingSheetsTest, SetupURLCarriesTheListenHostAndThisInstancesNameNotTheTypedOne) {
    HTTPPairingSheetState state(model_, store());
    state.setDeviceName("  Ada's phone ");
    state.addDevice();
    EXPECT_EQ(store().value(settings::httpPairedDevices).back().name, "  Ada's phone ");  // untrimmed to the model

    struct Case {
        NetworkListenMode mode;
        std::string selected;
        std::vector<NetworkInterfaceAddress> interfaces;
        std::string host;
    };
    const NetworkInterfaceAddress wired{"eth0", "Ethernet", "192.168.1.20", "Ethernet"};
    const NetworkInterfaceAddress wifi{"wlan0", "Wi-Fi", "10.0.0.5", "IEEE80211"};
    const Case cases[] = {
        {NetworkListenMode::allInterfaces, "", {}, "127.0.0.1"},
        {NetworkListenMode::allInterfaces, "", {wired, wifi}, "192.168.1.20"},
        {NetworkListenMode::localhost, "10.0.0.5", {wired}, "127.0.0.1"},
        {NetworkListenMode::specificInterface, "", {wired}, "127.0.0.1"},
        {NetworkListenMode::specificInterface, "10.0.0.5", {wired}, "10.0.0.5"},
    };
    for (const Case& c : cases) {
        store().setValue(settings::listenAddressMode, c.mode);
        store().setValue(settings::selectedListenAddress, c.selected);
        model_.interfaces.set(c.interfaces);
        const auto parsed = remote::RemoteLanternpostSetup::parse(state.setupURL().value());
        EXPECT_EQ(parsed.host + " " + parsed.deviceName.value_or("") + " " + parsed.pairID, c.host + " Stage Left lpp_1");
    }
    for (std::int64_t port : {0, 70000, -1}) {
        store().setValue(settings::httpPort, port);
        EXPECT_FALSE(state.setupURL()) << port;
    }
    store().setValue(settings::httpPort, std::int64_t{65535});
    EXPECT_TRUE(state.setupURL());
}

TEST_F(PairingSheetsTest, CredentialsFollowTheLastAddAndDisappearWithTheirPairing) {
    HTTPPairingSheetState state(model_, store());
    EXPECT_FALSE(state.canAdd());
    state.setDeviceName(" \n ");
    EXPECT_FALSE(state.canAdd());

    state.setDeviceName("Phone");
    model_.addFailure = "Unable to generate secure random bytes.";
    state.addDevice();
    EXPECT_EQ(state.errorMessage(), "Unable to generate secure random bytes.");
    EXPECT_FALSE(state.setup());
    model_.addFailure.reset();

    state.addDevice();
    state.copied("Secret");
    EXPECT_EQ(state.copiedMessage(), "Copied Secret.");
    state.addDevice();  // the second replaces the first, and clears both messages
    EXPECT_EQ(state.setup()->device.id, "lpp_2");
    EXPECT_FALSE(state.errorMessage() || state.copiedMessage());
    EXPECT_EQ(state.deviceName(), "Phone");

    const auto devices = state.devices();
    state.requestRemoval(devices.at(0));
    state.confirmRemoval();  // another device's: the shown credentials stay
    EXPECT_TRUE(state.setup());
    state.requestRemoval(devices.at(1));
    state.confirmRemoval();
    EXPECT_FALSE(state.setup());
    EXPECT_FALSE(state.pendingRemoval());
    EXPECT_TRUE(state.devices().empty());
}

TEST_F(PairingSheetsTest, BluetoothRemovalRestartsTheServerOnlyAfterListAndSecretAreGone) {
    const Date paired = Date{} + std::chrono::hours(24 * 365 * 30);
    store().setValue(settings::bluetoothPairedDevices,
                     std::vector<BluetoothPairedDevice>{{"pair-a", "  ", paired, std::nullopt},
                                                        {"pair-b", "iPad", paired, paired + std::chrono::hours(1)}});
    model_.bluetoothSecrets = {"pair-a", "pair-b"};
    BluetoothPairedDevicesSheetState state(model_, store());
    const auto devices = state.devices();
    EXPECT_EQ(BluetoothPairedDevicesSheetState::displayName(devices[0]), "Paired Device");
    EXPECT_EQ(BluetoothPairedDevicesSheetState::detailText(devices[0]), "pair-a - Paired " + pairingListDateText(paired));
    EXPECT_EQ(BluetoothPairedDevicesSheetState::detailText(devices[1]),
              "pair-b - Last seen " + pairingListDateText(paired + std::chrono::hours(1)));
    EXPECT_NE(pairingListDateText(paired), pairingListDateText(paired + std::chrono::hours(1)));

    state.requestRemoval(devices[0]);
    EXPECT_EQ(state.removalMessage(), "This will remove Paired Device's shared pairing credential until it is paired again.");
    state.confirmRemoval();
    EXPECT_EQ(model_.bluetoothSecrets, std::set<std::string>{"pair-b"});
    EXPECT_EQ(model_.bluetoothRestarts, (std::vector<std::pair<std::size_t, std::size_t>>{{1, 1}}));
    EXPECT_FALSE(state.pendingRemoval());
}

TEST_F(PairingSheetsTest, RemoteSheetKeepsFailedInputAndClearsItAfterAnAdd) {
    RemoteDevicesSheetState state(model_, store());
    const std::string url = "PAVONIX://Pair?version=1&host=10.1.2.3&port=%2B8090&pairId=lpp_x&secret=c2VjcmV0"
                            "&algorithm=HMAC-SHA256&deviceName=Other";
    state.setDeviceName("  ");
    state.paste("\n " + url + " \n");
    EXPECT_FALSE(state.canAdd());  // a blank name, though the URL names a device
    EXPECT_EQ(state.setupPreview(), "Will connect to 10.1.2.3:8090 using HMAC-SHA256.");
    state.paste(std::nullopt);
    EXPECT_EQ(state.setupURLString(), "\n " + url + " \n");  // kept as pasted

    const std::string unsupported = "pavonix://pair?version=2&host=h&port=1&pairId=p&secret=c2Vj&algorithm=HMAC-SHA256";
    state.setDeviceName("Desk");
    state.setSetupURLString(unsupported);
    EXPECT_FALSE(state.setupPreview());
    model_.addFailure = "This Pavonix setup URL version is not supported.";
    state.addRemoteTarget();
    EXPECT_EQ(state.errorMessage(), model_.addFailure);
    EXPECT_EQ(state.deviceName() + " " + state.setupURLString(), "Desk " + unsupported);

    model_.addFailure.reset();
    state.setSetupURLString(url);
    state.addRemoteTarget();
    EXPECT_EQ(model_.remoteAdds, (std::vector<std::pair<std::string, std::string>>{{url, "Desk"}}));
    EXPECT_FALSE(state.errorMessage());
    EXPECT_EQ(state.deviceName() + state.setupURLString(), "");

    auto target = testing::remote("lpt_0", " ", "10.1.2.3");
    EXPECT_EQ(RemoteDevicesSheetState::rowTitle(target), "10.1.2.3:8090");
    EXPECT_EQ(RemoteDevicesSheetState::rowDetail(target), "10.1.2.3:8090 - lpp_x - Added " + pairingListDateText(Date{}));
    target.transport = RemoteLanternpostTransport::bluetooth;
    EXPECT_EQ(RemoteDevicesSheetState::rowTitle(target), "Bluetooth");
}

TEST_F(PairingSheetsTest, QRCodeModulesAreSolidBlackOrWhiteAtEverySize) {
    const std::string text = "pavonix://pair?version=1&host=192.168.1.20&port=8090&pairId=lpp_abc";
    const auto modules = makeQRCode(text);
    ASSERT_TRUE(modules);
    EXPECT_FALSE(makeQRCode(std::string(8000, 'x')));  // beyond what a code holds
    QRCodeView view;
    view.setValue(text);
    for (int side : {150, 97, 333}) {
        view.resize(side, side);
        QImage image(QSize(side, side), QImage::Format_RGB32);
        image.fill(Qt::gray);
        view.render(&image);
        // The code is centred, a quiet zone of two modules around it.
        const int module = side / (modules->size + 4);
        const int origin = (side - module * (modules->size + 4) + 1) / 2 + 2 * module;
        int wrong = 0;
        for (int py = 0; py < modules->size * module; ++py) {
            for (int px = 0; px < modules->size * module; ++px) {
                const bool dark = modules->at(px / module, py / module);
                wrong += image.pixel(origin + px, origin + py) != (dark ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
            }
        }
        EXPECT_EQ(wrong, 0) << side;
    }
}

}  // namespace
}  // namespace pavonix

