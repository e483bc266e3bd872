// The main window's root content: the welcome screen until onboarding is complete (or while the
// settings window asks for it again), the main view otherwise. It owns the onboarding permissions
// model for as long as it lives, whichever of the two it shows, so the model's reads and polling
// run from the window's first display.
#pragma once

#include <functional>
#include <memory>

#include <QPointer>
#include <QWidget>

#include "app/model/observable_value.h"
#include "app/model/storage_notices.h"
#include "app/views/bindings/setting_binding.h"
#include "app/views/welcome/welcome_permissions_model.h"
#include "app/views/welcome/welcome_view.h"

class QScrollArea;
class QVBoxLayout;

namespace pavonix {

// Whether the main view is shown for these two settings.
bool contentShowsMainView(bool welcomeCompleted, bool welcomeScreenRequested);

class ContentView : public QWidget {
    Q_OBJECT
public:
    // Makes the main view the first time it is needed; the view keeps it from then on.
    using MainViewFactory = std::function<QWidget*(QWidget* parent)>;

    // The store must outlive the view.
    ContentView(std::unique_ptr<WelcomePermissionsModel> permissionsModel, MainViewFactory makeMainView,
                SettingsStore& store, QWidget* parent = nullptr);
    ~ContentView() override;

    bool showsMainView() const;
    WelcomeView* welcomeView() const { return welcome_; }
    // Scrolls the welcome screen where the window is too short for all of it.
    QScrollArea* welcomeScrollArea() const { return welcomeScroll_; }
    // Null until first shown.
    QWidget* mainView() const { return mainView_; }
    WelcomePermissionsModel& permissionsModel() const { return *permissionsModel_; }

    // What "Continue" does: onboarding is complete, and no longer requested.
    void continueOnboarding();

    // Shows these problems on the welcome screen for as long as they stand; the value must
    // outlive the view. (The main view shows them itself.)
    void showStorageNotices(ObservableValue<StorageNotices>& notices);

    // The welcome screen at its ideal width and tall enough for every row whole, however tall the
    // font makes them; the main view's own hint once it is shown.
    QSize sizeHint() const override;

signals:
    // The content switched between the welcome screen and the main view.
    void shownViewChanged();

private:
    void choose();
    // Grows the window, within the screen, to the welcome screen's hint when a notice made it
    // taller; never shrinks it.
    void growToFitWelcome();

    std::unique_ptr<WelcomePermissionsModel> permissionsModel_;
    MainViewFactory makeMainView_;
    SettingBinding<bool> welcomeCompleted_;
    SettingBinding<bool> welcomeScreenRequested_;
    QVBoxLayout* layout_ = nullptr;
    QScrollArea* welcomeScroll_ = nullptr;
    QPointer<WelcomeView> welcome_;
    QPointer<QWidget> mainView_;
    Observation noticesObservation_;
};

}  // namespace pavonix
