#include "app/views/content_view.h"

#include <QStackedLayout>

#include "app/settings/settings_keys.h"
#include "app/views/welcome_view.h"

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
    stack_ = new QStackedLayout(this);
    stack_->setContentsMargins(0, 0, 0, 0);
    welcome_ = new WelcomeView(*permissionsModel_, [this] { continueOnboarding(); }, this);
    stack_->addWidget(welcome_);
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

bool ContentView::showsMainView() const { return mainView_ && stack_->currentWidget() == mainView_; }

void ContentView::continueOnboarding() {
    welcomeCompleted_.setValue(true);
    welcomeScreenRequested_.setValue(false);
    choose();
}

void ContentView::choose() {
    if (!contentShowsMainView(welcomeCompleted_.value(), welcomeScreenRequested_.value())) {
        stack_->setCurrentWidget(welcome_);
        return;
    }
    if (!mainView_ && makeMainView_) {
        mainView_ = makeMainView_(this);
        if (mainView_) stack_->addWidget(mainView_);
    }
    if (mainView_) stack_->setCurrentWidget(mainView_);
}

}  // namespace pavonix
