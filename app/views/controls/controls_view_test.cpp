#include "app/views/controls/controls_view.h"

#include <QAction>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QWheelEvent>
#include <gmock/gmock.h>

#include "app/views/controls/application_scenes.h"
#include "app/views/controls/control_icons.h"
#include "app/views/controls/lanternpost_main_view.h"
#include "app/views/testing/views_test_support.h"

namespace pavonix {
namespace {

using testing::settle;

class ControlsViewTest : public testing::ViewsTest {
protected:
    ControlsViewTest() {
        model_.localSlides[PresentationProvider::keynote] = testing::slidesOK({{1, "One", "", false}, {2, "Two", "", false}});
    }
    ControlsView& show() {
        view_ = std::make_unique<ControlsView>(model_, store(), true, center_);
        view_->resize(500, 600);
        testing::showActive(*view_);
        return *view_;
    }
    void addTargetsThenShow() {
        setTargets({testing::remote("lpt_a", "Hall"), testing::remote("lpt_b", "Lab", "10.0.0.3", 9000)});
        show();
    }
    template <class T>
    T* find(const char* name) {
        auto* widget = view_->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    std::unique_ptr<ControlsView> view_;
};

TEST_F(ControlsViewTest, WheelOverAPickerChangesNothing) {
    show();
    auto* picker = find<QComboBox>("slidePicker");
    ASSERT_EQ(picker->count(), 3);
    ASSERT_TRUE(picker->isEnabled());
    const QPointF at(picker->width() / 2.0, picker->height() / 2.0);
    for (int delta : {-120, 120, -120}) {
        QWheelEvent wheel(at, picker->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(picker, &wheel);
    }
    settle();
    EXPECT_EQ(picker->currentIndex(), 0);
    picker->activated(2);  // a real pick still sends, and only it
    EXPECT_EQ(model_.executed, std::vector<PresentationCommand>{PresentationCommand::goToSlideNumber(2)});
}

// The state learns which field has the focus (what the keys may do then is its own test's); a
// focused address field still shows the newly selected target.
TEST_F(ControlsViewTest, FocusedTextFields) {
    addTargetsThenShow();
    auto* host = find<QLineEdit>("remoteHost");
    host->setFocus();
    settle();
    EXPECT_EQ(view_->state().focusedTextField(), ControlTextField::remoteHost);
    view_->state().selectRemoteTarget("lpt_b");  // from the target menu, which takes no focus
    settle();
    EXPECT_EQ(host->text() + ":" + find<QLineEdit>("remotePort")->text(), "10.0.0.3:9000");

    // Tab leaves the slide-number field altogether; then Right sends.
    auto* number = find<QLineEdit>("slideNumber");
    number->setFocus();
    settle();
    QTest::keyClick(number, Qt::Key_Tab);
    settle();
    EXPECT_FALSE(view_->state().focusedTextField());
    EXPECT_EQ(QApplication::focusWidget(), nullptr);
    QTest::keyClick(view_.get(), Qt::Key_Right);
    settle();
    EXPECT_EQ(model_.remoteSent.at(0).first, PresentationCommand::showNext());
}

TEST_F(ControlsViewTest, EachAppearanceRefreshesTheTarget) {
    addTargetsThenShow();
    model_.healthChecks.at(0).second(std::string("Connection refused."));
    find<QLineEdit>("remoteHost")->setText("typed, not saved");
    view_->state().setRemoteHostInput("typed, not saved");
    view_->hide();  // the welcome screen, asked for again
    view_->show();
    settle();
    EXPECT_EQ(model_.healthChecks.size(), 2u) << "the failed check is tried again";
    EXPECT_EQ(find<QLineEdit>("remoteHost")->text(), "10.0.0.2");
}

TEST_F(ControlsViewTest, EmptiedSlideNumberSendsNothing) {
    show();
    auto* number = find<QLineEdit>("slideNumber");
    number->setFocus();
    number->selectAll();
    QTest::keyClick(number, Qt::Key_Backspace);
    EXPECT_FALSE(find<QPushButton>("slideNumberGo")->isEnabled());
    QTest::keyClick(number, Qt::Key_Return);
    QTest::keyClicks(number, "7");
    QTest::keyClick(number, Qt::Key_Return);
    settle();
    EXPECT_EQ(model_.executed, std::vector<PresentationCommand>{PresentationCommand::goToSlideNumber(7)});
    EXPECT_EQ(find<ElidedLineLabel>("resultLine")->fullText(), "UI: done");
}

// A storage problem is shown whole, wrapped above the result line, for as long as it stands;
// commands keep their own line.
TEST_F(ControlsViewTest, AStorageNoticeStaysWholeAboveTheResultLineWhileItStands) {
    show();
    auto* notice = find<QLabel>("storageNotice");
    const QString write = "Settings could not be saved to /home/ada/.config/Pavonix/settings.json: creating the new "
                          "settings file: Permission denied. Check the permissions of that file and its folder.";
    model_.notices.set({std::nullopt, write.toStdString(), "Pairing secrets could not be read: EIO."});
    find<QPushButton>("next")->click();
    settle();
    EXPECT_EQ(notice->isVisible() ? notice->text() : "", write + "\nPairing secrets could not be read: EIO.");
    EXPECT_EQ(find<ElidedLineLabel>("resultLine")->fullText(), "UI: done");
    // Whole in whatever font: wrapped within the window, with the height its lines need.
    EXPECT_GT(QFontMetrics(notice->font()).horizontalAdvance(write), notice->width()) << "it must wrap";
    EXPECT_LE(notice->geometry().right(), view_->width());
    EXPECT_GE(notice->height(), notice->heightForWidth(notice->width()));
    model_.notices.set({});
    settle();
    EXPECT_TRUE(notice->isHidden());
}

TEST_F(ControlsViewTest, ALongSlideListMessageTakesTwoLinesCutInTheMiddle) {
    QString message = "Keynote could not list the slides:" + QString(" it stopped answering;").repeated(20) + " try again.";
    model_.localSlides[PresentationProvider::keynote] = {ResultStatus::failed, message.toStdString(), {}};
    show();
    auto* line = find<ElidedLineLabel>("slideListMessage");
    ASSERT_GT(QFontMetrics(line->font()).horizontalAdvance(message), 3 * line->contentsRect().width());
    EXPECT_EQ(line->text().count('\n'), 1);
    EXPECT_TRUE(line->text().startsWith("Keynote could") && line->text().endsWith("try again."));
    EXPECT_TRUE(line->text().contains(QChar(0x2026)));
}

// A remote target's name and a slide's name in the target menu, its button and tool tips, and the
// result line, as written; an "&" in a name marks no key.
TEST_F(ControlsViewTest, NamesAreShownAsWritten) {
    const std::string name = testing::markupName.toStdString() + " & co";
    setTargets({testing::remote("lpt_a", name)});
    show();
    const auto command = PresentationCommand::goToSlideNamed(name);
    model_.last.set(CommandLogEntry{CommandSource::http, CommandResult::failed(command, "No slide is tagged #" + name), {}});
    settle();
    const auto shown = testing::markupShowings(*view_);
    EXPECT_THAT(shown.rendered, ::testing::IsEmpty());
    // The menu entry, the button (cut) and its tool tip, the status tool tip, the result line and
    // its tool tip.
    EXPECT_EQ(shown.literal.size(), 6) << shown.literal.join('\n').toStdString();
    for (QAction* action : find<QPushButton>("targetMenu")->menu()->actions()) {
        EXPECT_TRUE(QKeySequence::mnemonic(action->text()).isEmpty()) << action->text().toStdString();
    }
}

// Cut in the middle, both ends kept, the whole name in the tool tip.
TEST_F(ControlsViewTest, LongTargetNamesAreCutInTheMiddle) {
    const QString name = QStringLiteral("Lecture Hall West, projector booth, row twelve, ").repeated(3) + "Last Seat";
    setTargets({testing::remote("lpt_a", name.toStdString())});
    show();
    QPushButton* button = find<QPushButton>("targetMenu");
    QAction* entry = button->menu()->actions().value(4);  // after the three providers and a separator
    for (const QString& shown : {entry->text(), button->text()}) {
        EXPECT_TRUE(shown.startsWith("Lecture") && shown.endsWith("Last Seat") && shown.contains(QChar(0x2026))) << shown.toStdString();
    }
    EXPECT_EQ(entry->toolTip(), plainToolTip(name));
    EXPECT_TRUE(button->menu()->toolTipsVisible());
}

TEST_F(ControlsViewTest, NothingSendableDisablesEveryControl) {
    model_.running.set(false);
    show();
    for (const char* name : {"start", "startFromFirst", "stop", "previous", "next", "slideNumberGo"}) {
        EXPECT_FALSE(find<QPushButton>(name)->isEnabled()) << name;
    }
    EXPECT_FALSE(find<QLineEdit>("slideNumber")->isEnabled());
    for (auto* shortcut : view_->findChildren<QShortcut*>()) EXPECT_FALSE(shortcut->isEnabled());
}

TEST_F(ControlsViewTest, OneMainWindowWithTheControlMenuAndOneSettingsWindow) {
    int installs = 0;
    ApplicationScenes::Options options;
    options.installControlMenu = [&](QMainWindow&) { ++installs; };
    options.trayIcon = false;
    ApplicationScenes scenes(model_, store(), center_, options);
    EXPECT_EQ(scenes.mainWindow()->objectName(), "main") << "the Control menu finds its window by that name";
    EXPECT_EQ(installs, 1);
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(installs, 2);

    QAction* settings = scenes.mainView()->settingsAction();
    settings->trigger();
    QWidget* window = scenes.settingsWindow();
    ASSERT_NE(window, nullptr);
    settings->trigger();
    scenes.mainWindow()->findChild<QAction*>("settingsMenuItem")->trigger();
    EXPECT_EQ(scenes.settingsWindow(), window) << "one settings window, brought forward";
    int settingsWindows = 0;
    for (QWidget* top : QApplication::topLevelWidgets()) settingsWindows += top->objectName() == window->objectName();
    EXPECT_EQ(settingsWindows, 1);
    EXPECT_FALSE(window->windowIcon().isNull()) << "the program's icon";

    for (QKeyCombination key : {QKeyCombination(Qt::Key_Escape), QKeyCombination(Qt::CTRL | Qt::Key_W)}) {
        scenes.openSettings();
        QPointer<QWidget> open = scenes.settingsWindow();
        testing::showActive(*open);
        QTest::keyClick(open, key.key(), key.keyboardModifiers());
        settle();
        EXPECT_TRUE(open.isNull()) << "closed by " << QKeySequence(key).toString().toStdString();
    }
}

}  // namespace
}  // namespace pavonix
