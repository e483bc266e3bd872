#include "app/views/controls/window_placement.h"

#include <QScreen>
#include <QWidget>

namespace pavonix {

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

}  // namespace pavonix
