// The working content of the main window once onboarding is complete: the controls view, the
// Settings toolbar action, and the refresh of the model when the provider changes.
#pragma once

#include <memory>

#include <QWidget>

#include "app/views/controls/controls_view.h"
#include "app/views/controls/main_view_state.h"

class QAction;

namespace pavonix {

class LanternpostMainView : public QWidget {
    Q_OBJECT
public:
    static constexpr int minimumWidth = 320;
    static constexpr int minimumHeight = 230;

    // The model and the store must outlive the view.
    LanternpostMainView(ControlsModel& model, SettingsStore& store, NotificationCenter& notifications,
                        QWidget* parent = nullptr);
    ~LanternpostMainView() override;

    ControlsView* controlsView() const { return controls_; }
    // Icon-only "Settings" with its tooltip; the window that shows this view puts it in its
    // toolbar. Triggering it emits settingsRequested().
    QAction* settingsAction() const { return settingsAction_; }

signals:
    void settingsRequested();

private:
    MainViewState state_;
    ControlsView* controls_ = nullptr;
    QAction* settingsAction_ = nullptr;
};

}  // namespace pavonix
