// The settings window: its change handlers, the listen pane's decisions, the reference sheet's
// content, and the widget behaviours that only the widgets have (port field validity, aligned
// fields, tab keys, names as text, the sheet's table, the window's height and placement).
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <gmock/gmock.h>

#include "app/model/storage_notices.h"
#include "app/views/settings/lanternpost_settings_view.h"
#include "app/views/settings/listen_view.h"
#include "app/views/settings/settings_form.h"
#include "app/views/testing/views_test_support.h"
#include "app/views/welcome/bridge_server_status_badge.h"

namespace pavonix {
namespace {

using network::NetworkInterfaceAddress;
using network::NetworkListenMode;
using testing::settle;

NetworkInterfaceAddress wired(std::string address) { return {"eth0", "Ethernet", std::move(address), "Ethernet"}; }

class SettingsWindowTest : public testing::ViewsTest {
protected:
    // What the handlers asked of the model after the writes so far.
    std::vector<std::string> calls() {
        settle();
        return std::exchange(model_.log, {});
    }

    std::optional<LanternpostSettingsState> state_{std::in_place, model_, store(), [] {}};
};

using Calls = std::vector<std::string>;

TEST_F(SettingsWindowTest, EachSettingRestartsOnlyTheServersThatDependOnIt) {
    const Calls oneServer = {"rescan", "http", "refreshStatus"};
    const Calls all = {"rescan", "osc", "http", "bluetooth", "refreshStatus"};
    store().setValue(settings::httpPort, std::int64_t{8090});  // the default again: no change
    EXPECT_EQ(calls(), Calls{});
    store().setValue(settings::httpPort, std::int64_t{8091});
    EXPECT_EQ(calls(), oneServer);
    store().setValue(settings::httpAuthenticationEnabled, true);
    EXPECT_EQ(calls(), oneServer);
    store().setValue(settings::oscEnabled, false);
    EXPECT_EQ(calls(), (Calls{"rescan", "osc", "refreshStatus"}));
    store().setValue(settings::pavonixName, std::string("Stage"));
    store().setValue(settings::welcomeCompleted, true);
    EXPECT_EQ(calls(), Calls{});
    store().setValue(settings::selectedListenAddress, std::string("10.0.0.5"));
    EXPECT_EQ(calls(), all);
    // Choosing one interface first makes sure one is chosen, so that the restarts listen on it.
    store().setValue(settings::listenAddressMode, NetworkListenMode::specificInterface);
    EXPECT_EQ(calls(), (Calls{"ensure", "rescan", "osc", "http", "bluetooth", "refreshStatus"}));

    // Bluetooth off while discoverable: discoverable goes off too, and that change restarts again.
    store().setValue(settings::bluetoothEnabled, true);
    store().setValue(settings::bluetoothDiscoverable, true);
    EXPECT_EQ(calls(), (Calls{"bluetooth", "bluetooth"}));
    store().setValue(settings::bluetoothEnabled, false);
    EXPECT_EQ(calls(), (Calls{"bluetooth", "bluetooth"}));
    EXPECT_FALSE(store().value(settings::bluetoothDiscoverable));
}

// That it brings the welcome screen forward is the program's X11 test's.
TEST_F(SettingsWindowTest, ResetOnboardingForgetsLocalNetworkButNotTheCompletedWelcome) {
    store().setValue(settings::welcomeCompleted, true);
    store().setValue(settings::localNetworkPermissionGranted, true);
    state_->resetOnboarding();
    EXPECT_FALSE(store().value(settings::localNetworkPermissionGranted));
    EXPECT_TRUE(store().value(settings::welcomeCompleted));
}

TEST_F(SettingsWindowTest, ReferenceHostsFollowTheListenMode) {
    struct Case {
        NetworkListenMode mode;
        std::string selected;
        std::vector<NetworkInterfaceAddress> interfaces;
        std::vector<std::string> hosts;
    };
    const std::vector<Case> cases = {
        {NetworkListenMode::allInterfaces, "", withLoopbackEntry({wired("10.0.0.5"), wired("10.0.0.5"), wired("10.0.0.9")}),
         {"127.0.0.1", "10.0.0.5", "10.0.0.9"}},
        {NetworkListenMode::allInterfaces, "", {}, {"127.0.0.1"}},
        {NetworkListenMode::localhost, "10.0.0.5", withLoopbackEntry({wired("10.0.0.5")}), {"127.0.0.1"}},
        {NetworkListenMode::specificInterface, "", withLoopbackEntry({wired("10.0.0.5")}), {}},
        {NetworkListenMode::specificInterface, "10.9.9.9", {}, {"10.9.9.9"}},
    };
    for (const auto& c : cases) {
        APIReference reference{APIReferenceKind::http, 8090, c.mode, c.selected, c.interfaces};
        EXPECT_EQ(reference.hosts(), c.hosts) << network::rawValue(c.mode) << " " << c.selected;
    }
}

class ListenStateTest : public SettingsWindowTest {
protected:
    ListenViewState listen_{model_, store()};
};

TEST_F(ListenStateTest, PickerKeepsARowForASavedAddressThatIsGone) {
    model_.interfaces.set({wired("10.0.0.5")});
    store().setValue(settings::listenAddressMode, NetworkListenMode::specificInterface);
    store().setValue(settings::selectedListenAddress, std::string("10.9.9.9"));
    auto rows = listen_.pickerRows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3].label, "Unavailable Interface - 10.9.9.9");
    EXPECT_EQ(listen_.selectionID(), rows[3].id);

    store().setValue(settings::selectedListenAddress, std::string());
    EXPECT_EQ(listen_.selectionID(), listen_.pickerRows().back().id) << "a row for the address not yet chosen";
}

TEST_F(ListenStateTest, PickingStoresTheAddressBeforeTheModeAndClearsItForTheOthers) {
    model_.interfaces.set({wired("10.0.0.5")});
    std::vector<std::string> writes;
    auto mode = store().observe(settings::listenAddressMode, [&](const auto&) { writes.push_back("mode"); });
    auto address = store().observe(settings::selectedListenAddress, [&](const auto&) { writes.push_back("address"); });
    listen_.select("interface-10.0.0.5");
    settle();
    EXPECT_EQ(writes, (std::vector<std::string>{"address", "mode"}));
    listen_.select("interface-10.1.1.1");  // no such row
    listen_.select("localhost");
    EXPECT_EQ(store().value(settings::listenAddressMode), NetworkListenMode::localhost);
    EXPECT_EQ(store().value(settings::selectedListenAddress), "");
    EXPECT_FALSE(listen_.showsAvailableInterfaces());
}

TEST_F(ListenStateTest, WebControlAddressNeedsAPortInRangeAndAChosenAddress) {
    struct Case {
        std::int64_t port;
        NetworkListenMode mode;
        std::string selected;
        std::optional<std::string> url;
    };
    const std::vector<Case> cases = {
        {8090, NetworkListenMode::allInterfaces, "", "http://127.0.0.1:8090/"},
        {8090, NetworkListenMode::localhost, "", "http://127.0.0.1:8090/"},
        {0, NetworkListenMode::allInterfaces, "", std::nullopt},
        {70000, NetworkListenMode::allInterfaces, "", std::nullopt},
        {8091, NetworkListenMode::specificInterface, "10.9.9.9", "http://10.9.9.9:8091/"},  // gone, still saved
        {8091, NetworkListenMode::specificInterface, "", std::nullopt},
        {8091, NetworkListenMode::specificInterface, "evil.example/x?", std::nullopt},  // hand-edited file
    };
    for (const auto& c : cases) {
        store().setValue(settings::httpPort, c.port);
        store().setValue(settings::listenAddressMode, c.mode);
        store().setValue(settings::selectedListenAddress, c.selected);
        EXPECT_EQ(listen_.webControlURL(), c.url) << c.port << " " << c.selected;
    }
}

// ---- Widgets -----------------------------------------------------------------------------------

class SettingsViewTest : public SettingsWindowTest {
protected:
    SettingsViewTest() {
        state_.reset();  // the view has its own
        view_.resize(500, 500);
        view_.show();
        settle();
        calls();
    }
    ListenView& listen() { return *view_.listenView(); }

    LanternpostSettingsView view_{model_, store(), nullptr, {}};
};

TEST_F(SettingsViewTest, PortFieldStoresOnlyAPortAndShowsOtherTextAsInvalid) {
    PortField* field = listen().httpPortField();
    field->setFocus();
    const auto rowsBelow = [&] { return listen().httpStatusBadge()->mapTo(&view_, QPoint()).y() + field->height(); };
    const int validRows = rowsBelow();
    for (const char* text : {"70000", "80x"}) {
        field->selectAll();
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
        settle();
        EXPECT_TRUE(field->isMarkedInvalid()) << text;
        EXPECT_EQ(rowsBelow(), validRows) << "the red border moves nothing";
        EXPECT_EQ(store().value(settings::httpPort), 8090) << text;
        EXPECT_EQ(calls(), Calls{}) << text;  // the running server is left alone
    }
    field->selectAll();
    QTest::keyClicks(field, "8091");
    EXPECT_FALSE(field->isMarkedInvalid());
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(store().value(settings::httpPort), 8091);
    EXPECT_EQ(calls(), (Calls{"rescan", "http", "refreshStatus"}));

    // A stored port out of range (from the settings file) shows as invalid, and the server's
    // failed status is shown beside it.
    store().setValue(settings::oscPort, std::int64_t{0});
    model_.osc.set({BridgeServerStatus::State::failed, "OSC port must be between 1 and 65535."});
    settle();
    EXPECT_EQ(listen().oscPortField()->text(), "0");
    EXPECT_TRUE(listen().oscPortField()->isMarkedInvalid());
    EXPECT_EQ(listen().oscStatusBadge()->status(), model_.osc.get());
}

TEST_F(SettingsViewTest, ReferenceSheetShowsTheTableOfItsKindAndFollowsTheSettings) {
    for (auto [kind, columns, rows] : {std::tuple{APIReferenceKind::osc, 3, 7}, std::tuple{APIReferenceKind::http, 4, 10}}) {
        listen().referenceButton(kind)->click();
        settle();
        APIReferenceView* sheet = view_.apiReferenceSheet();
        ASSERT_NE(sheet, nullptr);
        QGridLayout* grid = sheet->tableGrid();
        EXPECT_EQ(grid->columnCount(), columns);
        int cells = 0;
        for (int row = 2; row < grid->rowCount(); ++row) {
            for (int column = 0; column < columns; ++column) cells += grid->itemAtPosition(row, column) ? 1 : 0;
        }
        EXPECT_EQ(cells, columns * rows);
    }
    auto* body = static_cast<QLabel*>(view_.apiReferenceSheet()->tableGrid()->itemAtPosition(3, 3)->widget());
    EXPECT_EQ(body->text(), QString::fromUtf8(R"({"fromBeginning": true})"));

    // The open sheet follows a port change; Return closes it.
    store().setValue(settings::httpPort, std::int64_t{9000});
    settle();
    APIReferenceView* sheet = view_.apiReferenceSheet();
    EXPECT_TRUE(sheet->connectionRows().contains(qMakePair(QStringLiteral("Port"), QStringLiteral("9000"))));
    QTest::keyClick(sheet, Qt::Key_Return);
    settle();
    EXPECT_EQ(view_.apiReferenceSheet(), nullptr);
}

TEST_F(SettingsViewTest, DiscoverableFollowsBluetoothAndTheBadgeTheModel) {
    auto* discoverable = view_.findChild<QCheckBox*>("bluetoothDiscoverable");
    EXPECT_FALSE(discoverable->isEnabled());
    view_.findChild<QCheckBox*>("bluetoothEnabled")->click();
    settle();
    EXPECT_TRUE(discoverable->isEnabled());
    auto* footer = view_.findChild<QLabel*>("bluetoothFooter");
    EXPECT_TRUE(footer->text().startsWith("Paired Bluetooth remotes can connect."));
    model_.bluetooth.set({BridgeServerStatus::State::failed, "Bluetooth is turned off."});
    EXPECT_EQ(view_.findChild<BridgeServerStatusBadge*>("bluetoothStatus")->status().detail, "Bluetooth is turned off.");
    EXPECT_EQ(footer->text(), "No Bluetooth remote can connect while Bluetooth is not available (see the status above).");
    model_.bluetooth.set({BridgeServerStatus::State::running, ""});
    EXPECT_TRUE(footer->text().startsWith("Paired Bluetooth remotes can connect."));
}

TEST_F(SettingsViewTest, StorageProblemsAndUnreadablePairingsShowOnlyWhileThereAreAny) {
    auto* notice = view_.findChild<QLabel*>("storageNotice");
    model_.notices.set({"Settings could not be read: EIO.", std::nullopt, "Pairing secrets could not be read: EIO."});
    const std::string bad = R"({"createdAt":"yesterday","id":"lpp_bad","name":"Old"})";
    store().defaults().set("httpPairedDevices", nlohmann::json::array({bad, R"({"createdAt":0,"id":"a","name":""})", bad}));
    settle();
    EXPECT_EQ(notice->text(), "Settings could not be read: EIO.\nPairing secrets could not be read: EIO.");
    EXPECT_EQ(view_.findChild<QLabel*>("httpUnreadablePairings")->text(),
              "2 stored pairings could not be read; they are kept as they are.");
    EXPECT_TRUE(view_.findChild<QLabel*>("bluetoothUnreadablePairings")->isHidden());
    // The secrets line in both sections owns up to the trouble while it stands.
    for (const char* line : {"httpKeychain", "bluetoothKeychain"}) {
        EXPECT_EQ(view_.findChild<QLabel*>(line)->text(), "Pairing secrets: Secret Service (not usable now; see the notice at the top)");
    }
    model_.notices.set({});
    settle();
    EXPECT_TRUE(notice->isHidden());
    EXPECT_EQ(view_.findChild<QLabel*>("bluetoothKeychain")->text(), "Pairing secrets: Secret Service");
}

TEST_F(SettingsViewTest, FieldsOfAllSectionsStartOnOneLineInEveryListenMode) {
    const auto left = [&](QWidget* field) { return field->mapTo(&view_, QPoint()).x(); };
    const int line = left(view_.findChild<QLineEdit*>("pavonixName"));
    for (QWidget* field : std::initializer_list<QWidget*>{
             listen().picker(), listen().availableInterfacesRow(), listen().oscPortField(), listen().oscStatusBadge(),
             listen().httpPortField(), view_.findChild<QPushButton*>("manageHTTPPairings")->parentWidget()}) {
        EXPECT_EQ(left(field), line) << field->objectName().toStdString();
    }
    store().setValue(settings::listenAddressMode, NetworkListenMode::localhost);  // no interface list
    settle();
    EXPECT_FALSE(listen().availableInterfacesRow()->isVisible());
    EXPECT_EQ(left(listen().picker()), line);

    view_.tabs()->setCurrentIndex(1);  // and the Bluetooth tab's
    settle();
    EXPECT_EQ(left(view_.findChild<QWidget*>("bluetoothStatus")), line);
    EXPECT_EQ(left(view_.findChild<QPushButton*>("manageBluetoothPairings")->parentWidget()), line);
}

TEST_F(SettingsViewTest, CtrlTabSwitchesTabsWhereverTheKeyboardIs) {
    testing::showActive(view_);
    QTabWidget* tabs = view_.tabs();
    int tried = 0;
    for (QWidget* widget : tabs->widget(0)->findChildren<QWidget*>()) {
        if (!widget->isVisible() || !widget->isEnabled() || !(widget->focusPolicy() & Qt::TabFocus)) continue;
        ++tried;
        widget->setFocus();
        QTest::keyClick(widget, Qt::Key_Tab, Qt::ControlModifier);
        EXPECT_EQ(tabs->currentIndex(), 1) << widget->objectName().toStdString();
        // The keyboard's Ctrl+Shift+Tab arrives as Backtab.
        QWidget* focused = QApplication::focusWidget() ? QApplication::focusWidget() : &view_;
        QTest::keyClick(focused, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
        EXPECT_EQ(tabs->currentIndex(), 0) << widget->objectName().toStdString();
        tabs->setCurrentIndex(0);
    }
    EXPECT_GE(tried, 9);
    view_.findChild<QTabBar*>()->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(tabs->currentIndex(), 2) << "round to the last tab";
}

// The default name (the user's), an interface's name, a server's status, and a hand-edited listen
// address in the reference sheet, as written.
TEST_F(SettingsWindowTest, NamesAreShownAsWritten) {
    state_.reset();
    const std::string name = testing::markupName.toStdString();
    model_.defaultName = name;
    model_.interfaces.set({{"eth0", name, "10.0.0.5", "Ethernet"}});
    model_.http.set({BridgeServerStatus::State::failed, name});
    LanternpostSettingsView view(model_, store(), nullptr, {});
    view.show();
    settle();
    auto shown = testing::markupShowings(view);
    EXPECT_THAT(shown.rendered, ::testing::IsEmpty());
    // The identity footer, the interface line and its tool tip, the badge's tool tip.
    EXPECT_EQ(shown.literal.size(), 4) << shown.literal.join('\n').toStdString();

    store().setValue(settings::listenAddressMode, NetworkListenMode::specificInterface);
    store().setValue(settings::selectedListenAddress, name);
    view.presentAPIReference(APIReferenceKind::http);
    settle();
    shown = testing::markupShowings(*view.apiReferenceSheet());
    EXPECT_THAT(shown.rendered, ::testing::IsEmpty());
    EXPECT_EQ(shown.literal.size(), 1);
}

// Opened the way the program opens it: as tall as the Network tab needs, down to the pairing
// sheet's button, within the screen. On a 1366 by 768 screen, with a notice above the tabs and
// whatever the font, the whole tab shows and a title bar still fits.
TEST_F(SettingsWindowTest, OpensAsTallAsItsContentWithinTheBoundsAndTheScreen) {
    state_.reset();
    // The program's own sentence, the longest of its notices.
    const std::filesystem::path file = "/home/ada/.config/Pavonix/settings.json";
    model_.notices.set({settingsReadNotice({file.string() + ".corrupt-20261207T120629Z", "damaged"}, file, true),
                        std::nullopt, std::nullopt});
    model_.interfaces.set({wired("10.0.0.5"), wired("10.0.0.9")});
    store().setValue(settings::httpAuthenticationEnabled, true);  // the orange warning, two lines
    QWidget window(nullptr, Qt::Window);
    window.resize(500, 500);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new LanternpostSettingsView(model_, store(), nullptr, AppInfo::thisBuild(), &window);
    layout->addWidget(view);
    window.show();
    settle();
    auto* manage = view->findChild<QPushButton*>("manageHTTPPairings");
    const int needed = manage->mapTo(&window, QPoint()).y() + manage->height();
    const int available = window.screen()->availableGeometry().height();
    EXPECT_EQ(window.width(), 500);
    EXPECT_GE(window.height(), std::min(needed, available));
    const auto* page = qobject_cast<QScrollArea*>(view->tabs()->widget(0));  // Network
    EXPECT_GE(page->viewport()->height(), page->widget()->heightForWidth(page->viewport()->width())) << "no scrolling";
    EXPECT_TRUE(view->findChild<QLabel*>("storageNotice")->isVisible());
    EXPECT_LE(window.height() + 2 * window.fontMetrics().height(), available) << "room for a title bar";

    // The About tab names this build.
    QStringList texts;
    for (QLabel* label : view->tabs()->widget(2)->findChildren<QLabel*>()) texts << label->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("Version " PAVONIX_PROJECT_VERSION))) << texts.join('|').toStdString();
    EXPECT_THAT(AppInfo::thisBuild().buildOrDefault(), ::testing::MatchesRegex("([0-9a-f]{12}(-modified)?)|unknown"));
}

TEST(SettingsWindowPlacementTest, AWindowIsMovedOntoTheScreenAsLittleAsPossible) {
    const QRect screen(0, 0, 1280, 800);
    EXPECT_EQ(placedWithin(QRect(100, 50, 500, 600), screen), QRect(100, 50, 500, 600));
    EXPECT_EQ(placedWithin(QRect(1000, 400, 500, 600), screen), QRect(780, 200, 500, 600));
    EXPECT_EQ(placedWithin(QRect(-40, -10, 500, 600), screen), QRect(0, 0, 500, 600));
    EXPECT_EQ(placedWithin(QRect(100, 300, 500, 900), screen), QRect(100, 0, 500, 900));  // title bar stays reachable
}

}  // namespace
}  // namespace pavonix
