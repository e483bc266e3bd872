// The pairing and device sheets: what the HTTP sheet puts into a setup URL and when it shows the
// secret, what the Bluetooth sheet removes, how the remote devices sheet adds, and that the QR
// code is drawn with hard module edges; on screen, that names stay text, long ones fit, and the
// keyboard survives a removal. The clipboard, the alerts and the real keychain are
// checked through the program in pairing_sheets_x11_test.sh.
#include <QFontMetrics>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <gmock/gmock.h>

#include "app/remote/remote_lanternpost_target.h"
#include "app/views/controls/controls_view.h"
#include "app/views/pairing/pairing_sheets.h"
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
    // Add waits while a pairing is being saved; one removed meanwhile never shows its credentials.
    model_.holdPairings = true;
    state.addDevice();
    EXPECT_FALSE(state.canAdd());
    state.requestRemoval(state.devices().back());
    state.confirmRemoval();
    std::exchange(model_.savePairing, {})();
    EXPECT_EQ(state.setup()->device.id, "lpp_2");
    EXPECT_TRUE(state.canAdd());
    model_.holdPairings = false;

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

TEST_F(PairingSheetsTest, QRCodeFillsItsFrameWithWholePixelModulesAndAQuietZone) {
    const std::string text = "pavonix://pair?version=1&host=192.168.1.20&port=8090&pairId=lpp_abc";
    const auto modules = makeQRCode(text);
    ASSERT_TRUE(modules);
    EXPECT_FALSE(makeQRCode(std::string(8000, 'x')));  // beyond what a code holds
    QRCodeView view;
    view.setValue(text);
    for (int side : {150, 97, 333, 150 + modules->size + 3}) {
        view.resize(side, side);
        QImage image(QSize(side, side), QImage::Format_RGB32);
        image.fill(Qt::gray);
        view.render(&image);
        // The largest whole module that leaves two modules of quiet zone on each side; the rest
        // of the frame is white.
        const int module = side / (modules->size + 4);
        const int origin = (side - module * modules->size) / 2;
        EXPECT_GE(origin, 2 * module) << side;
        int wrong = 0;
        for (int py = 0; py < side; ++py) {
            for (int px = 0; px < side; ++px) {
                const int x = (px - origin) / module, y = (py - origin) / module;
                const bool inCode = px >= origin && py >= origin && x < modules->size && y < modules->size;
                const bool dark = inCode && modules->at(x, y);
                wrong += image.pixel(px, py) != (dark ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
            }
        }
        EXPECT_EQ(wrong, 0) << side;
    }
}

// ---- The sheets on screen -----------------------------------------------------------------------

// The sheet's cut-in-the-middle lines (a class of its own only to C++).
std::vector<ElidedLineLabel*> elidedLines(const QWidget& widget) {
    std::vector<ElidedLineLabel*> lines;
    for (QLabel* label : widget.findChildren<QLabel*>()) {
        if (auto* line = dynamic_cast<ElidedLineLabel*>(label)) lines.push_back(line);
    }
    return lines;
}

// Each "Remove" in the sheet, top to bottom.
std::vector<QPushButton*> removeButtons(const QWidget& sheet) {
    std::vector<QPushButton*> buttons;
    for (QPushButton* button : sheet.findChildren<QPushButton*>("remove")) buttons.push_back(button);
    std::ranges::sort(buttons, {}, [&](QPushButton* b) { return b->mapTo(&sheet, QPoint()).y(); });
    return buttons;
}

TEST_F(PairingSheetsTest, NamesAreShownAsWrittenInRowsAndAlerts) {
    const std::string name = testing::markupName.toStdString();
    store().setValue(settings::httpPairedDevices, std::vector<HTTPPairedDevice>{{"lpp_1", name, Date{}}});
    store().setValue(settings::bluetoothPairedDevices,
                     std::vector<BluetoothPairedDevice>{{"pair-a", name, Date{}, std::nullopt}});
    setTargets({testing::remote("lpt_a", name, name)});

    // A row's title and its tool tip, and the alert that asks before removing.
    for (PairingSheetFrame* sheet : std::initializer_list<PairingSheetFrame*>{
             new HTTPPairedDevicesSheet(model_, store()), new BluetoothPairedDevicesSheet(model_, store())}) {
        sheet->show();
        settle();
        removeButtons(*sheet).at(0)->click();
        settle();
        const auto shown = testing::markupShowings(*sheet);
        EXPECT_THAT(shown.rendered, ::testing::IsEmpty()) << sheet->objectName().toStdString();
        EXPECT_EQ(shown.literal.size(), 3) << sheet->objectName().toStdString();
        delete sheet;
    }

    // The title, and the host (a hand-edited settings file's) in the detail line, each with its
    // tool tip. A pasted setup URL never gets such a host as far as the preview.
    RemoteLanternpostDevicesSheet remote(model_, store());
    remote.show();
    settle();
    const auto shown = testing::markupShowings(remote);
    EXPECT_THAT(shown.rendered, ::testing::IsEmpty());
    EXPECT_EQ(shown.literal.size(), 4);
}

// Return in the field a sheet adds from adds and keeps the sheet open; in an empty or another
// field, "Done" closes it.
TEST_F(PairingSheetsTest, ReturnInTheAddingFieldAddsElsewhereItIsDone) {
    const std::string url = "pavonix://pair?version=1&host=10.1.2.3&port=8090&pairId=lpp_x&secret=c2Vj&algorithm=HMAC-SHA256";
    // Sheet, name typed, setup URL typed, the field Return is pressed in, whether it closes.
    const std::vector<std::tuple<bool, std::string, std::string, const char*, bool>> cases = {
        {true, "Desk", "", "deviceName", false}, {true, "", "", "deviceName", true},
        {false, "Desk", url, "setupURL", false}, {false, "Desk", url, "deviceName", true}};
    for (const auto& [http, name, setupURL, field, closes] : cases) {
        std::unique_ptr<QDialog> sheet;
        sheet.reset(http ? static_cast<QDialog*>(new HTTPPairedDevicesSheet(model_, store()))
                         : new RemoteLanternpostDevicesSheet(model_, store()));
        testing::showActive(*sheet);
        QTest::keyClicks(sheet->findChild<QLineEdit*>("deviceName"), QString::fromStdString(name));
        if (!http) QTest::keyClicks(sheet->findChild<QLineEdit*>("setupURL"), QString::fromStdString(setupURL));
        const std::size_t added = model_.pairings + model_.remoteAdds.size();
        QTest::keyClick(sheet->findChild<QLineEdit*>(field), Qt::Key_Return);
        settle();
        EXPECT_EQ(sheet->isHidden(), closes) << field << " " << name;
        EXPECT_EQ(model_.pairings + model_.remoteAdds.size(), added + !closes) << field << " " << name;
    }
}

TEST_F(PairingSheetsTest, LongNamesAreCutInTheMiddleAndEveryButtonStaysInside) {
    auto* http = new HTTPPairedDevicesSheet(model_, store());
    std::vector<std::unique_ptr<QDialog>> sheets;
    sheets.emplace_back(http);
    sheets.emplace_back(new BluetoothPairedDevicesSheet(model_, store()));
    sheets.emplace_back(new RemoteLanternpostDevicesSheet(model_, store()));
    // Wider than any of the sheets in the font of their rows, whatever font that is.
    const QFontMetrics metrics(QApplication::font());
    std::string name = "Lecture-Hall-West";
    for (const auto& sheet : sheets) {
        while (metrics.horizontalAdvance(QString::fromStdString(name)) <= sheet->width()) name += "-Lecture-Hall-West";
    }
    store().setValue(settings::httpPairedDevices, std::vector<HTTPPairedDevice>{{"lpp_0", name, Date{}}});
    store().setValue(settings::bluetoothPairedDevices,
                     std::vector<BluetoothPairedDevice>{{"pair-a", name, Date{}, std::nullopt}});
    setTargets({testing::remote("lpt_a", name, name)});
    http->state().setDeviceName(name);
    http->state().addDevice();  // the credentials, with their Copy buttons
    for (const auto& sheet : sheets) {
        const std::string which = sheet->objectName().toStdString();
        sheet->show();
        settle();
        int buttons = 0;
        for (QPushButton* button : sheet->findChildren<QPushButton*>()) {
            if (!button->isVisible()) continue;
            ++buttons;
            EXPECT_TRUE(sheet->rect().contains(QRect(button->mapTo(sheet.get(), QPoint()), button->size())))
                << which << " " << button->text().toStdString();
        }
        EXPECT_GE(buttons, 2) << which;  // a row's Remove and Done at the least
        int cut = 0;
        for (ElidedLineLabel* line : elidedLines(*sheet)) {
            if (line->fullText() != QString::fromStdString(name)) continue;
            ++cut;
            ASSERT_GT(QFontMetrics(line->font()).horizontalAdvance(line->fullText()), line->contentsRect().width()) << which;
            EXPECT_TRUE(line->text().contains(QChar(0x2026))) << which;
            EXPECT_EQ(line->toolTip(), line->fullText()) << which;
        }
        EXPECT_GE(cut, 1) << which;
    }
}

TEST_F(PairingSheetsTest, RemoteSheetFieldsLineUpAndRemoveHandsTheKeyboardOn) {
    setTargets({testing::remote("lpt_a", "A"), testing::remote("lpt_b", "B"), testing::remote("lpt_c", "C")});
    RemoteLanternpostDevicesSheet sheet(model_, store());
    testing::showActive(sheet);
    auto* name = sheet.findChild<QLineEdit*>("deviceName");
    EXPECT_EQ(name->mapTo(&sheet, QPoint()).x(), sheet.findChild<QLineEdit*>("setupURL")->mapTo(&sheet, QPoint()).x());

    const auto focusedRowTitle = [&]() -> QString {
        QWidget* focused = QApplication::focusWidget();
        if (!focused || focused->objectName() != "remove") return focused ? focused->objectName() : "nothing";
        return elidedLines(*focused->parentWidget()).at(0)->fullText();
    };
    removeButtons(sheet).at(1)->click();  // the next row takes its place
    settle();
    EXPECT_EQ(focusedRowTitle(), "C");
    removeButtons(sheet).at(1)->click();  // the last: the one before it
    settle();
    EXPECT_EQ(focusedRowTitle(), "A");
    removeButtons(sheet).at(0)->click();  // none left: the name field
    settle();
    EXPECT_EQ(focusedRowTitle(), "deviceName");
}

}  // namespace
}  // namespace pavonix

