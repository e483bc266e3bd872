#include "app/views/controls/window_placement.h"

#include <QEvent>
#include <QScreen>
#include <QTimer>
#include <QWidget>

namespace pavonix {
namespace {

bool framed(const QWidget* window) { return window->frameGeometry().size() != window->size(); }

// Told of the window's moves and resizes until one finds it framed.
class FrameWatch : public QObject {
public:
    FrameWatch(QWidget* window, std::function<void()> action) : QObject(window), action_(std::move(action)) {
        window->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        auto* window = static_cast<QWidget*>(watched);
        if ((type == QEvent::Move || type == QEvent::Resize || type == QEvent::Show) && framed(window)) {
            window->removeEventFilter(this);
            // After the event, not within it: the action may move or resize the window.
            QTimer::singleShot(0, window, std::move(action_));
            deleteLater();
        }
        return false;
    }

private:
    std::function<void()> action_;
};

}  // namespace

QRect placedWithin(const QRect& frame, const QRect& available) {
    QRect placed = frame;
    if (placed.right() > available.right()) placed.moveRight(available.right());
    if (placed.bottom() > available.bottom()) placed.moveBottom(available.bottom());
    if (placed.left() < available.left()) placed.moveLeft(available.left());
    if (placed.top() < available.top()) placed.moveTop(available.top());
    return placed;
}

void keepOnScreen(QWidget* window) {
    const QScreen* screen = window ? window->screen() : nullptr;
    if (!screen) return;
    const QRect available = screen->availableGeometry();
    const QSize frame = window->frameGeometry().size() - window->size();
    const QSize size = window->size().boundedTo(available.size() - frame).expandedTo(window->minimumSize());
    if (size != window->size()) window->resize(size);
    const QRect framed(window->frameGeometry().topLeft(), size + frame);
    const QRect placed = placedWithin(framed, available);
    if (placed.topLeft() != framed.topLeft()) window->move(placed.topLeft());
}

void whenFramed(QWidget* window, std::function<void()> action) {
    if (!window) return;
    if (window->isVisible() && framed(window)) {
        QTimer::singleShot(0, window, std::move(action));
        return;
    }
    new FrameWatch(window, std::move(action));
}

}  // namespace pavonix
