#include "app/views/controls/navigation_tab_defocus_monitor.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QWidget>

namespace pavonix {

NavigationTabDefocusMonitor::NavigationTabDefocusMonitor(Binding binding, QObject* parent)
    : QObject(parent), binding_(std::move(binding)) {}

NavigationTabDefocusMonitor::~NavigationTabDefocusMonitor() {
    if (installed_ && qApp) qApp->removeEventFilter(this);
}

void NavigationTabDefocusMonitor::installMonitor() {
    if (installed_ || !qApp) return;
    qApp->installEventFilter(this);
    installed_ = true;
}

MonitoredKeyPress NavigationTabDefocusMonitor::describe(const QKeyEvent& event) {
    MonitoredKeyPress key;
    key.isTab = event.key() == Qt::Key_Tab || event.key() == Qt::Key_Backtab;
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    key.shift = modifiers & Qt::ShiftModifier;
    key.control = modifiers & Qt::ControlModifier;
    key.alt = modifiers & (Qt::AltModifier | Qt::GroupSwitchModifier);
    key.meta = modifiers & Qt::MetaModifier;
    key.keypad = modifiers & Qt::KeypadModifier;
    // Qt has no Caps Lock modifier; on X11 the native state carries the lock bit (LockMask).
    if (QGuiApplication::platformName() == QLatin1String("xcb")) key.capsLock = event.nativeModifiers() & 0x2;
    return key;
}

bool NavigationTabDefocusMonitor::handleKeyPress(const QKeyEvent& event) {
    if (!binding_.get || !shouldDefocusOnKey(binding_.get(), describe(event))) return false;
    binding_.set(std::nullopt);
    if (QWidget* window = QApplication::activeWindow()) {
        if (QWidget* focused = window->focusWidget()) focused->clearFocus();
    }
    return true;
}

bool NavigationTabDefocusMonitor::eventFilter(QObject* watched, QEvent* event) {
    // Every key press reaches the filter once per receiver it is offered to; the widget it is
    // first delivered to is enough.
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        if (handleKeyPress(*static_cast<QKeyEvent*>(event))) return true;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace pavonix
