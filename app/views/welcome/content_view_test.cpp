#include "app/views/welcome/content_view.h"

#include <algorithm>

#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>

#include "app/views/testing/views_test_support.h"
#include "app/views/welcome/bridge_server_status_badge.h"
#include "app/views/welcome/welcome_view.h"

namespace pavonix {
namespace {

using testing::settle;
using State = WelcomePermissionGrantState;
using Trailing = WelcomeRowTrailing;

class ContentViewTest : public testing::SettingsTest {
protected:
    ContentViewTest() { probes_->hold = false; }  // a display that accepts keys
    // The settings file, as the next launch of the program opens it.
    void open() {
        view_.reset();
        settings_.reopen();
    }
    ContentView& make() {
        auto authorizer = std::make_shared<LanternpostPermissionAuthorizer>(probes_);
        auto model = std::make_unique<WelcomePermissionsModel>(authorizer, [](auto, auto) {});
        view_ = std::make_unique<ContentView>(std::move(model), [this](QWidget* parent) {
            ++mainViewsMade_;
            auto* main = new QWidget(parent);
            main->setObjectName("mainView");
            main->setMinimumSize(320, 230);
            return main;
        }, store());
        view_->resize(700, 540);
        view_->show();
        settle();
        return *view_;
    }
    std::vector<Trailing> trailings() const {
        std::vector<Trailing> out;
        for (auto* row : view_->welcomeView()->rows()) out.push_back(row->trailing());
        return out;
    }

    std::shared_ptr<testing::HeldProbes> probes_ = std::make_shared<testing::HeldProbes>();
    std::unique_ptr<ContentView> view_;
    int mainViewsMade_ = 0;
};

TEST_F(ContentViewTest, ContinueLeadsToTheMainViewAlsoAfterARestart) {
    store().setValue(settings::welcomeScreenRequested, true);
    auto& view = make();
    EXPECT_FALSE(view.showsMainView());
    EXPECT_EQ(mainViewsMade_, 0);

    int switches = 0;  // the toolbar follows them
    QObject::connect(&view, &ContentView::shownViewChanged, [&] { ++switches; });
    QTest::keyClick(view.welcomeView(), Qt::Key_Return);  // the default action
    settle();
    EXPECT_TRUE(view.showsMainView());
    EXPECT_EQ(switches, 1);
    // The window neither grew on the way nor keeps the welcome screen's much larger minimum.
    EXPECT_EQ(view.size(), QSize(700, 540));
    EXPECT_EQ(view.minimumSize(), QSize(320, 230));
    EXPECT_TRUE(store().value(settings::welcomeCompleted));
    EXPECT_FALSE(store().value(settings::welcomeScreenRequested));

    // "Reset Onboarding" in the settings window: the welcome screen at once, the model kept.
    WelcomePermissionsModel* model = &view.permissionsModel();
    store().setValue(settings::welcomeScreenRequested, true);
    settle();
    EXPECT_FALSE(view.showsMainView());
    EXPECT_EQ(&view.permissionsModel(), model);
    view.welcomeView()->continueButton()->click();
    settle();
    EXPECT_TRUE(view.showsMainView());
    EXPECT_EQ(mainViewsMade_, 1) << "the main view is made once and kept";

    open();
    EXPECT_TRUE(make().showsMainView());
}

// Whatever the font, the texts get the height they need at their width: at the first size, with
// no scroll bar and room for a title bar on the screen, when a notice comes after the first size
// (the window grows; a settings file set aside brings the user back here, told why while it
// stands), and in a window too short and narrow.
TEST_F(ContentViewTest, RowsNeverSqueezeTheirTextsAndAStorageNoticeIsToldWhole) {
    ObservableValue<StorageNotices> notices;
    auto& view = make();
    const auto expectWhole = [&](const char* where) {
        settle();
        for (QLabel* label : view.welcomeView()->findChildren<QLabel*>()) {
            if (!label->isVisible() || !label->wordWrap()) continue;
            EXPECT_GE(label->height(), label->heightForWidth(label->width())) << where;
        }
    };
    QMainWindow window;  // with a menu bar, as the program's
    window.menuBar()->addMenu(QStringLiteral("Pavonix"));
    view_.release()->setParent(&window);
    window.setCentralWidget(&view);
    window.resize(window.sizeHint());
    window.show();
    expectWhole("first size");
    EXPECT_FALSE(view.welcomeScrollArea()->verticalScrollBar()->isVisible());
    EXPECT_LE(window.height() + 2 * window.fontMetrics().height(), window.screen()->availableGeometry().height());
    view.showStorageNotices(notices);
    const QString setAside = "Settings could not be read and were set aside: the earlier settings and pairings are in "
                             "/home/ada/.config/Pavonix/settings.json.corrupt-20261207T114409Z.";
    notices.set({setAside.toStdString(), std::nullopt, std::nullopt});
    expectWhole("a later notice");
    QLabel* notice = view.welcomeView()->storageNotice();
    EXPECT_EQ(notice->isVisible() ? notice->text() : "", setAside);
    EXPECT_GT(QFontMetrics(notice->font()).horizontalAdvance(setAside), notice->width()) << "it must wrap";
    EXPECT_FALSE(view.welcomeScrollArea()->verticalScrollBar()->isVisible());
    window.resize(view.minimumSizeHint().width(), 300);
    expectWhole("short");
    EXPECT_TRUE(view.welcomeScrollArea()->verticalScrollBar()->isVisible());
    const QPushButton* next = view.welcomeView()->continueButton();
    EXPECT_TRUE(next->isVisible());
    EXPECT_LE(next->mapTo(&window, QPoint(0, next->height())).y(), window.height()) << "Continue in sight, whole";
    notices.set({});
    settle();
    EXPECT_TRUE(notice->isHidden());
}

TEST_F(ContentViewTest, RowsShowTheAuthorizersAnswers) {
    auto& view = make();
    auto* welcome = view.welcomeView();
    ASSERT_EQ(welcome->rows().size(), 4u);
    EXPECT_EQ(welcome->dividers().size(), 3u) << "no divider below the last row";
    // Linux asks no local-network permission: the row says so and offers nothing to press.
    EXPECT_EQ(trailings(), (std::vector<Trailing>{Trailing::granted, Trailing::granted, Trailing::notInstalled,
                                                  Trailing::notInstalled}));
    EXPECT_TRUE(welcome->rows()[1]->showsNote());
    EXPECT_FALSE(welcome->rows()[0]->showsNote());
    EXPECT_FALSE(welcome->rows()[1]->requestButton()->isVisible());
    // The Mac-only rows say so in their titles.
    for (const auto& [row, title] : {std::pair{2, "Keynote (macOS only)"}, {3, "PowerPoint (macOS only)"}}) {
        const auto labels = welcome->rows().at(row)->findChildren<QLabel*>();
        EXPECT_TRUE(std::ranges::any_of(labels, [&](QLabel* label) { return label->text() == title; })) << title;
    }
}

TEST_F(ContentViewTest, DeniedOffersTheButtonWhichWaitsWhileBusy) {
    WelcomePermissionRow row({WelcomePermission::powerPointAutomation, State::denied, false}, true, nullptr);
    ASSERT_EQ(row.trailing(), Trailing::requestButton);
    EXPECT_FALSE(row.requestButton()->isEnabled());
    row.set({WelcomePermission::powerPointAutomation, State::denied, false}, false);
    EXPECT_TRUE(row.requestButton()->isEnabled());
}

TEST_F(ContentViewTest, BadgeLinesAreCutByState) {
    using S = BridgeServerStatus::State;
    BridgeServerStatusBadge badge({S::running, ""});
    badge.resize(160, 60);
    // A long detail: one line cut in the middle while running; three lines cut at the end when failed.
    // Twice as wide as those three lines in the badge's font, so that its smaller type can't fit it.
    QString detail = "Listening on 192.168.100.200 port 8090 and every other interface ";
    while (QFontMetrics(badge.font()).horizontalAdvance(detail) <= 2 * BridgeServerStatusBadge::failedLineLimit * 160) {
        detail += "and every other interface ";
    }
    detail += "end";
    badge.setStatus({S::running, detail.toStdString()});
    auto lines = badge.visibleLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].startsWith("Listening") && lines[0].endsWith("end") && lines[0].contains(QChar(0x2026)));
    badge.setStatus({S::failed, detail.toStdString()});
    EXPECT_EQ(badge.accessibleName(), "Failed: " + detail);
    lines = badge.visibleLines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[2].endsWith(QChar(0x2026)));
}

}  // namespace
}  // namespace pavonix
