#include "app/views/control_menu/control_menu_controller.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QTabBar>

#include "app/views/controls/application_scenes.h"
#include "app/views/controls/controls_view_state.h"
#include "app/views/controls/lanternpost_main_view.h"
#include "app/views/pairing/pairing_sheets.h"
#include "app/views/settings/lanternpost_settings_view.h"
#include "app/views/testing/views_test_support.h"

namespace pavonix {
namespace {

using testing::settle;
using Provider = PresentationProvider;

class ControlMenuTest : public testing::ViewsTest {
protected:
    ControlMenuTest() { model_.localSlides[Provider::keynote] = testing::slidesOK({{1, "One", "", false}}); }

    // A main window with an application menu, the main view and the Control menu, active.
    void showWindow() {
        window_ = std::make_unique<QMainWindow>();
        window_->setObjectName("main");
        window_->menuBar()->addMenu("Pavonix");
        mainView_ = new LanternpostMainView(model_, store(), center_, window_.get());
        window_->setCentralWidget(mainView_);
        controller_ = std::make_unique<ControlMenuController>(model_, store(), center_);
        controller_->install(*window_);
        window_->resize(700, 540);
        testing::showActive(*window_);
    }
    QAction* item(std::int64_t tag) const {
        for (QAction* action : controller_->menu()->actions()) {
            if (ControlMenuController::tagOf(action) == tag) return action;
        }
        return nullptr;
    }
    void press(QKeyCombination key) {
        QTest::keyClick(window_.get(), key.key(), key.keyboardModifiers());
        settle();
    }

    bool editing_ = false;
    std::unique_ptr<QMainWindow> window_;
    LanternpostMainView* mainView_ = nullptr;
    std::unique_ptr<ControlMenuController> controller_;
};

TEST_F(ControlMenuTest, StatesFollowProviderRunningAndTextEditing) {
    ControlMenuControllerState state(model_, store(), [this] { return editing_; }, center_);
    EXPECT_EQ(state.validate(42), std::nullopt) << "another menu's item is left alone";

    for (Provider provider : {Provider::keynote, Provider::powerPoint, Provider::googleSlides}) {
        store().setValue(settings::presentationProvider, provider);
        for (std::int64_t tag = 100; tag <= 102; ++tag) {
            const bool chosen = ControlMenuControllerState::providerForTag(tag) == provider;
            EXPECT_EQ(state.validate(tag), (ControlMenuItemState{true, chosen}));
        }
        for (std::int64_t tag = 103; tag <= 107; ++tag) EXPECT_EQ(state.validate(tag), (ControlMenuItemState{true, false}));
        EXPECT_EQ(state.validate(108)->enabled, provider != Provider::googleSlides);
    }

    store().setValue(settings::presentationProvider, Provider::keynote);
    editing_ = true;
    EXPECT_TRUE(state.validate(103)->enabled && state.validate(104)->enabled && state.validate(105)->enabled);
    EXPECT_FALSE(state.validate(106)->enabled || state.validate(107)->enabled);
    EXPECT_FALSE(state.runPresentationCommand(107));
    EXPECT_TRUE(model_.executed.empty()) << "the arrows stay with the text";

    editing_ = false;
    model_.running.set(false);
    for (std::int64_t tag = 103; tag <= 108; ++tag) EXPECT_FALSE(state.validate(tag)->enabled) << tag;
    EXPECT_TRUE(state.validate(100)->enabled);

    state.selectProvider(105);  // not a provider item
    EXPECT_FALSE(state.runPresentationCommand(100));
    EXPECT_TRUE(model_.log.empty() && model_.executed.empty());
    state.selectProvider(101);
    EXPECT_EQ(store().value(settings::presentationProvider), Provider::powerPoint);
    EXPECT_EQ(model_.log, std::vector<std::string>{"refreshStatus"});
}

TEST_F(ControlMenuTest, InstallWaitsForTheMainWindowAndKeepsOneEntryInSecondPlace) {
    ControlMenuController controller(model_, store(), center_);
    controller.install();  // no main window yet: tried again later
    QMainWindow window;
    window.setObjectName("main");
    dispatch::runMainQueue([&] { return controller.menu() != nullptr; }, std::chrono::seconds(5));
    ASSERT_EQ(window.menuBar()->actions().size(), 1);  // alone in an empty bar
    EXPECT_EQ(window.menuBar()->actions()[0]->menu<QMenu*>(), controller.menu());

    QMenuBar bar;
    for (const char* title : {"Pavonix", "Edit", "View"}) bar.addMenu(title);
    controller.install(bar);
    QAction* entry = bar.actions()[1];
    ASSERT_EQ(entry->objectName(), "Lanternpost.controlMenu");
    QPointer<QMenu> first = entry->menu<QMenu*>();

    // Moved away (as another part of the program might do), it comes back, with a new submenu.
    bar.removeAction(entry);
    bar.addAction(entry);
    controller.install(bar);
    controller.install(bar);
    EXPECT_EQ(bar.actions().size(), 4) << "one entry beside the three menus";
    EXPECT_EQ(bar.actions().indexOf(entry), 1);
    EXPECT_EQ(entry->menu<QMenu*>(), controller.menu());
    settle();
    EXPECT_TRUE(first.isNull()) << "the replaced submenu is gone";
}

// Alt and a letter open each menu and pick each entry, no letter twice in one place; F10 opens
// the menu bar.
TEST_F(ControlMenuTest, TheMenuBarIsReachableFromTheKeyboard) {
    ControlMenuController controller(model_, store(), center_);
    ApplicationScenes scenes(model_, store(), center_, {[&](QMainWindow& window) { controller.install(window); }, {}, false, {}});
    QMenuBar* bar = scenes.mainWindow()->menuBar();
    QList<QList<QAction*>> places = {bar->actions()};
    for (QAction* entry : bar->actions()) places.append(entry->menu<QMenu*>()->actions());
    for (const auto& actions : places) {
        QStringList letters;
        for (QAction* action : actions) {
            if (!action->isSeparator()) letters << QKeySequence::mnemonic(action->text()).toString();
        }
        EXPECT_FALSE(letters.contains(QString())) << letters.join(' ').toStdString();
        EXPECT_EQ(QSet<QString>(letters.begin(), letters.end()).size(), letters.size()) << letters.join(' ').toStdString();
    }
    testing::showActive(*scenes.mainWindow());
    QTest::keyClick(scenes.mainWindow(), Qt::Key_F10);
    EXPECT_EQ(bar->activeAction(), bar->actions().value(0));
}

TEST_F(ControlMenuTest, ChoosingAProviderMovesTheControlsViewAndRefreshReachesIt) {
    showWindow();
    ControlsViewState& controls = mainView_->controlsView()->state();
    item(102)->trigger();
    settle();
    EXPECT_EQ(controls.presentationProvider(), Provider::googleSlides);
    // One choice among three: only the chosen provider carries a mark.
    EXPECT_EQ(item(100)->actionGroup()->checkedAction(), item(102));
    // Both menus to choose from own up to the providers that cannot run here.
    QList<QAction*> choices = mainView_->findChild<QPushButton*>("targetMenu")->menu()->actions().first(3);
    choices << item(100) << item(101) << item(102);
    QStringList titles;
    for (QAction* action : choices) titles << action->text().remove('&');
    const QStringList expected = {"Keynote (macOS only)", "PowerPoint (macOS only)", "Google Slides"};
    EXPECT_EQ(titles, expected + expected);

    press(QKeyCombination(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_K));
    EXPECT_EQ(controls.presentationProvider(), Provider::keynote);

    model_.log.clear();
    ASSERT_TRUE(item(108)->isEnabled());
    item(108)->trigger();
    settle();
    EXPECT_NE(std::ranges::find(model_.log, "listSlides:keynote"), model_.log.end()) << "the controls view reloads its slides";
}

// The controls view binds Ctrl+Return, Ctrl+Shift+Return, Escape and the arrows too. Qt runs
// neither of two enabled shortcuts on the same key, so each press must find exactly one.
TEST_F(ControlMenuTest, EachKeyPressRunsExactlyOneCommand) {
    showWindow();
    setTargets({testing::remote("lpt_a", "Hall")});
    settle();

    // The controls view is in front and enabled: it sends, to the remote target it knows of.
    press(QKeyCombination(Qt::ControlModifier, Qt::Key_Return));
    press(QKeyCombination(Qt::NoModifier, Qt::Key_Right));
    press(QKeyCombination(Qt::NoModifier, Qt::Key_Escape));
    EXPECT_EQ(model_.remoteSent.size(), 3u);

    // Without the controls view on screen the menu takes the keys (had both, neither would run).
    mainView_->hide();
    settle();
    press(QKeyCombination(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_Return));
    press(QKeyCombination(Qt::NoModifier, Qt::Key_Left));
    EXPECT_EQ(model_.executed, (std::vector<PresentationCommand>{PresentationCommand::start(true), PresentationCommand::showPrevious()}));

    // Both off: nothing at all (counted below).
    setRunning(false);
    press(QKeyCombination(Qt::ControlModifier, Qt::Key_Return));

    // While text is edited the arrows move the caret and send nothing; Ctrl+Return still starts.
    model_.running.set(true);
    auto* field = new QLineEdit("abc", window_.get());
    field->show();
    field->setFocus();
    settle();
    ASSERT_TRUE(ControlMenuController::isEditingText());
    QTest::keyClick(field, Qt::Key_Left);
    settle();
    EXPECT_EQ(model_.executed.size(), 2u) << "nothing while not running, nor for the arrow in the text";
    EXPECT_EQ(field->cursorPosition(), 2);
    QTest::keyClick(field, Qt::Key_Return, Qt::ControlModifier);
    settle();
    EXPECT_EQ(model_.executed.size(), 3u);
}

// Bare keys belong to the window in front. With a presentation window chosen, Escape in a sheet or
// its alert closes just that, and an arrow in Settings moves the tabs; none reaches the
// presentation. In the main window they still drive it.
TEST_F(ControlMenuTest, BareKeysStayWithTheWindowInFront) {
    store().setValue(settings::presentationProvider, Provider::googleSlides);
    store().setValue(settings::googleSlidesWindowID, std::int64_t{7});
    store().setValue(settings::httpPairedDevices, std::vector<HTTPPairedDevice>{{"lpp_1", "Phone", Date{}}});
    store().setValue(settings::bluetoothPairedDevices,
                     std::vector<BluetoothPairedDevice>{{"pair-a", "Clicker", Date{}, std::nullopt}});
    ControlMenuController controller(model_, store(), center_);
    const auto settingsContent = [this](QWidget*) {
        auto* view = new LanternpostSettingsView(model_, store(), nullptr);
        view->setHTTPPairingSheetFactory([this](QWidget* p) { return new HTTPPairedDevicesSheet(model_, store(), p); });
        view->setBluetoothPairingSheetFactory([this](QWidget* p) { return new BluetoothPairedDevicesSheet(model_, store(), p); });
        return view;
    };
    ApplicationScenes scenes(model_, store(), center_,
                             {[&](QMainWindow& window) { controller.install(window); }, {}, false, settingsContent});
    scenes.showMainWindow();
    const auto pressIn = [](QWidget* window, Qt::Key key) {
        testing::showActive(*window);
        QTest::keyClick(QApplication::focusWidget(), key);
        settle();
    };
    // The window that clicking `button` in `window` brings up.
    const auto opened = [](QWidget* window, const char* button) -> QPointer<QWidget> {
        window->findChild<QPushButton*>(button)->click();
        settle();
        return QApplication::activeModalWidget();
    };

    scenes.openSettings();
    QPointer<QWidget> settingsWindow = scenes.settingsWindow();
    auto* tabBar = settingsWindow->findChild<QTabBar*>();
    tabBar->setFocus();
    pressIn(settingsWindow, Qt::Key_Right);
    EXPECT_EQ(tabBar->currentIndex(), 1);
    pressIn(settingsWindow, Qt::Key_Left);
    EXPECT_EQ(tabBar->currentIndex(), 0);

    for (const char* manage : {"manageHTTPPairings", "manageBluetoothPairings"}) {
        QPointer<QWidget> sheet = opened(settingsWindow, manage);
        QPointer<QWidget> alert = opened(sheet, "remove");
        ASSERT_TRUE(qobject_cast<QMessageBox*>(alert)) << manage;
        pressIn(alert, Qt::Key_Escape);
        EXPECT_TRUE(alert.isNull() && sheet && sheet->isVisible()) << manage << ": the alert goes, its sheet stays";
        pressIn(sheet, Qt::Key_Escape);
        EXPECT_TRUE(sheet.isNull() && settingsWindow->isVisible()) << manage;
    }
    EXPECT_TRUE(model_.executed.empty()) << "nothing reached the presentation";
    EXPECT_EQ(store().value(settings::httpPairedDevices).size(), 1u);
    EXPECT_EQ(store().value(settings::bluetoothPairedDevices).size(), 1u);

    // Escape in an open drop-down list closes just the list, in Settings as in the main window.
    for (auto [window, list] : {std::pair<QPointer<QWidget>, const char*>{settingsWindow, "listenOn"},
                                {scenes.mainWindow(), "windowPicker"}}) {
        testing::showActive(*window);
        window->findChild<QComboBox*>(list)->showPopup();
        QTest::keyClick(QApplication::activePopupWidget()->focusWidget(), Qt::Key_Escape);
        settle();
        EXPECT_TRUE(!QApplication::activePopupWidget() && window && window->isVisible()) << list;
    }
    EXPECT_TRUE(model_.executed.empty()) << "Escape in a list stopped the presentation";

    pressIn(scenes.mainWindow(), Qt::Key_Right);
    EXPECT_EQ(model_.executed, std::vector<PresentationCommand>{PresentationCommand::showNext()});
    pressIn(settingsWindow, Qt::Key_Escape);
    EXPECT_TRUE(settingsWindow.isNull());
    EXPECT_EQ(model_.executed.size(), 1u);
}

}  // namespace
}  // namespace pavonix
