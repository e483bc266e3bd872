#include "app/views/settings_window_configurator.h"

#include <algorithm>

#include <QWidget>

namespace pavonix {

void SettingsWindowConfigurator::applyWindowConstraints(QWidget* window) const {
    if (!window) return;
    window->setMinimumSize(width, minimumHeight);
    window->setMaximumSize(width, maximumHeight);
    const QSize size = window->size();
    const QSize bounded(width, std::clamp(size.height(), minimumHeight, maximumHeight));
    if (size != bounded) window->resize(bounded);
}

QRect placedWithin(const QRect& frame, const QRect& available) {
    QRect placed = frame;
    if (placed.right() > available.right()) placed.moveRight(available.right());
    if (placed.bottom() > available.bottom()) placed.moveBottom(available.bottom());
    if (placed.left() < available.left()) placed.moveLeft(available.left());
    if (placed.top() < available.top()) placed.moveTop(available.top());
    return placed;
}

}  // namespace pavonix
