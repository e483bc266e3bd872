#include "app/views/welcome/content_view.h"

#include <algorithm>

#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>

#include "app/settings/settings_keys.h"
#include "app/views/controls/window_placement.h"
#include "app/views/welcome/welcome_view.h"

namespace pavonix {

bool contentShowsMainView(bool welcomeCompleted, bool welcomeScreenRequested) {
    return welcomeCompleted && !welcomeScreenRequested;
}

ContentView::ContentView(std::unique_ptr<WelcomePermissionsModel> permissionsModel, MainViewFactory makeMainView,
                         SettingsStore& store, QWidget* parent)
    : QWidget(parent),
      permissionsModel_(std::move(permissionsModel)),
      makeMainView_(std::move(makeMainView)),
      welcomeCompleted_(settings::welcomeCompleted, store),
      welcomeScreenRequested_(settings::welcomeScreenRequested, store) {
    setObjectName("content");
    // One page at a time, the other hidden: a hidden page takes no part in the layout, so the
    // window may shrink to the main view's minimum once the much larger welcome screen is gone.
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);
    welcome_ = new WelcomeView(*permissionsModel_, [this] { continueOnboarding(); }, this);
    // Wrapped descriptions need more height as the font grows; rather than squeeze them into a
    // window too short for them, the screen scrolls. Never sideways: the scroll area is as wide
    // as the screen's least width and a scroll bar.
    welcomeScroll_ = new QScrollArea(this);
    welcomeScroll_->setObjectName("welcomeScroll");
    welcomeScroll_->setFrameShape(QFrame::NoFrame);
    welcomeScroll_->setWidgetResizable(true);
    welcomeScroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    welcomeScroll_->setWidget(welcome_);
    welcomeScroll_->setMinimumWidth(welcome_->minimumWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    layout_->addWidget(welcomeScroll_);
    // "Continue" stays in sight below the screen, however far it scrolls.
    welcome_->footer()->layout()->setContentsMargins(22, 0, 22, 22);
    layout_->addWidget(welcome_->footer());
    // Whoever writes either setting (this view, the settings window's "Reset Onboarding", the
    // settings file), the choice follows.
    connect(welcomeCompleted_.notifier(), &SettingNotifier::changed, this, &ContentView::choose);
    connect(welcomeScreenRequested_.notifier(), &SettingNotifier::changed, this, &ContentView::choose);
    choose();
}

// The views go before the permissions model they observe.
ContentView::~ContentView() {
    delete welcome_.data();
    delete mainView_.data();
}

bool ContentView::showsMainView() const { return mainView_ && !mainView_->isHidden(); }

QSize ContentView::sizeHint() const {
    if (showsMainView()) return QWidget::sizeHint();
    const int width = std::max(WelcomeView::idealSize.width(), welcomeScroll_->minimumWidth());
    // Measured as if the scroll bar took its room: at the height that needs, none is needed.
    const int narrowest = width - style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int footer = welcome_->footer()->sizeHint().height();
    return {width, std::max({WelcomeView::idealSize.height(), welcome_->minimumHeight() + footer,
                             welcome_->heightForWidth(narrowest) + footer})};
}

void ContentView::continueOnboarding() {
    welcomeCompleted_.setValue(true);
    welcomeScreenRequested_.setValue(false);
    choose();
}

void ContentView::showStorageNotices(ObservableValue<StorageNotices>& notices) {
    const auto show = [this](const StorageNotices& now) {
        QStringList lines;
        for (const auto& line : now.lines()) lines << QString::fromStdString(line);
        const QString text = lines.join('\n');
        if (!welcome_ || welcome_->storageNotice()->text() == text) return;
        welcome_->setStorageNotice(text);
        growToFitWelcome();
    };
    show(notices.get());
    noticesObservation_ = notices.observe(show);
}

void ContentView::growToFitWelcome() {
    QWidget* top = window();
    if (top == this || !top->isVisible() || showsMainView()) return;
    if (top->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) return;
    // The keychain's answer, for one, comes after the window took its first size: a notice that
    // arrives then would otherwise push "Continue" below a scroll where the screen has room.
    const QWidget* viewport = welcomeScroll_->viewport();
    const int missing =
        std::max(welcome_->minimumHeight(), welcome_->heightForWidth(viewport->width())) - viewport->height();
    if (missing <= 0) return;
    top->resize(top->width(), top->height() + missing);
    keepOnScreen(top);
}

void ContentView::choose() {
    const bool wasMain = showsMainView();
    const bool wantsMain = contentShowsMainView(welcomeCompleted_.value(), welcomeScreenRequested_.value());
    if (wantsMain && !mainView_ && makeMainView_) {
        mainView_ = makeMainView_(this);
        if (mainView_) layout_->addWidget(mainView_);
    }
    const bool main = wantsMain && mainView_;
    // Hide before showing: for a moment with both pages shown, the window would have to hold
    // both minimum heights at once and would grow to do so.
    if (main) {
        welcomeScroll_->hide();
        welcome_->footer()->hide();
        mainView_->show();
    } else {
        if (mainView_) mainView_->hide();
        welcomeScroll_->show();
        welcome_->footer()->show();
    }
    if (main != wasMain) emit shownViewChanged();
}

}  // namespace pavonix
