// Watches every key press of the application: while one of the controls view's navigation
// fields has focus, Tab and Shift-Tab take the focus out of the text fields altogether (editing
// ends, the window keeps no focused widget) instead of moving it to the next control, so the
// plain-key shortcuts work again. The rule itself is shouldDefocusOnKey().
#pragma once

#include <functional>
#include <optional>

#include <QObject>

#include "app/views/controls/controls_view_state.h"

class QKeyEvent;

namespace pavonix {

class NavigationTabDefocusMonitor : public QObject {
    Q_OBJECT
public:
    struct Binding {
        std::function<std::optional<ControlTextField>()> get;
        std::function<void(std::optional<ControlTextField>)> set;
    };

    explicit NavigationTabDefocusMonitor(Binding binding, QObject* parent = nullptr);
    ~NavigationTabDefocusMonitor() override;

    // Adds the application-wide filter; at most once.
    void installMonitor();
    bool isInstalled() const { return installed_; }
    void setBinding(Binding binding) { binding_ = std::move(binding); }

    // Whether the event is consumed.
    bool handleKeyPress(const QKeyEvent& event);
    static MonitoredKeyPress describe(const QKeyEvent& event);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Binding binding_;
    bool installed_ = false;
};

}  // namespace pavonix
