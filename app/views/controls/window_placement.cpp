#include "app/views/controls/window_placement.h"

#include <chrono>

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QVariant>
#include <QWidget>
#include <xcb/xcb.h>

#include "platform/x11/frame_extents.h"

namespace pavonix {
namespace {

// Where a window keeps the frame its window manager promised it.
constexpr char kPromisedFrame[] = "pavonixPromisedFrame";

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

// Fits a sheet to its screen when it is first shown.
class SheetFit : public QObject {
public:
    SheetFit(QWidget* sheet, QSize size) : QObject(sheet), size_(size) { sheet->installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show) return false;
        auto* sheet = static_cast<QWidget*>(watched);
        sheet->removeEventFilter(this);
        sheet->setFixedSize(size_.boundedTo(roomOnScreen(sheet)));
        const QWidget* parent = sheet->parentWidget();
        placeOnScreen(sheet, parent ? parent->window() : nullptr);
        deleteLater();
        return false;
    }

private:
    QSize size_;
};

// Asks the window manager, before the window is mapped, which frame it will draw. A window
// manager that offers to tell answers at once; one that does not answer in a fifth of a second
// will not, and the window is checked again once it is framed.
QMargins promisedFrame(QWidget* window) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return {};
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) return {};
    const auto id = static_cast<x11::WindowId>(window->winId());
    // The window must exist on the server before the window manager is asked about it.
    xcb_flush(x11->connection());
    const auto extents = x11::requestFrameExtents({}, id, std::chrono::milliseconds(200));
    return extents ? QMargins(extents->left, extents->top, extents->right, extents->bottom) : QMargins();
}

}  // namespace

QRect placedWithin(const QRect& frame, const QRect& available) {
    QRect placed = frame;
    if (placed.right() > available.right()) placed.moveRight(available.right());
    if (placed.bottom() > available.bottom()) placed.moveBottom(available.bottom());
    if (placed.left() < available.left()) placed.moveLeft(available.left());
    if (placed.top() < available.top()) placed.moveTop(available.top());
    return placed;
}

QMargins frameMargins(QWidget* window) {
    if (framed(window)) {
        const QRect outer = window->frameGeometry();
        const QRect inner = window->geometry();
        return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                outer.bottom() - inner.bottom()};
    }
    QVariant promised = window->property(kPromisedFrame);
    if (!promised.isValid()) {
        promised = QVariant::fromValue(promisedFrame(window));
        window->setProperty(kPromisedFrame, promised);
    }
    return promised.value<QMargins>();
}

QSize roomOnScreen(QWidget* window) {
    const QScreen* screen = window->screen();
    if (!screen) return window->maximumSize();
    const QMargins frame = frameMargins(window);
    return screen->availableGeometry().size().shrunkBy(frame).expandedTo(QSize(1, 1));
}

void placeOnScreen(QWidget* window, const QWidget* over) {
    const QScreen* screen = window->screen();
    if (!screen) return;
    const QRect available = screen->availableGeometry();
    const QSize room = roomOnScreen(window);
    const QSize size = window->size().boundedTo(room).expandedTo(window->minimumSize());
    if (size != window->size()) window->resize(size);
    const QMargins margins = frameMargins(window);
    QRect frame(QPoint(), size.grownBy(margins));
    frame.moveCenter(over && over->isVisible() ? over->frameGeometry().center() : available.center());
    // Where the window itself goes: before it is framed, the window system may not yet know the
    // frame that a position of the frame would need.
    window->setGeometry(placedWithin(frame, available).marginsRemoved(margins));
    // A frame not told in advance moves the window when it comes.
    if (margins.isNull()) whenFramed(window, [window] { keepOnScreen(window); });
}

void fixSizeWithinScreen(QWidget* sheet, QSize size) {
    sheet->setFixedSize(size);
    new SheetFit(sheet, size);
}

void keepOnScreen(QWidget* window) {
    const QScreen* screen = window ? window->screen() : nullptr;
    if (!screen) return;
    const QRect available = screen->availableGeometry();
    const QMargins frame = frameMargins(window);
    const QSize size = window->size().boundedTo(roomOnScreen(window)).expandedTo(window->minimumSize());
    if (size != window->size()) window->resize(size);
    const QRect framed = QRect(window->geometry().topLeft(), size).marginsAdded(frame);
    const QRect placed = placedWithin(framed, available);
    if (placed.topLeft() != framed.topLeft()) window->setGeometry(placed.marginsRemoved(frame));
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
