#include "app/views/settings/settings_window_configurator.h"

#include <algorithm>

#include <QScreen>
#include <QWidget>

namespace pavonix {

void SettingsWindowConfigurator::applyWindowConstraints(QWidget* window) const {
    if (!window) return;
    int highest = maximumHeight;
    if (const QScreen* screen = window->screen()) {
        const int frame = window->frameGeometry().height() - window->height();
        highest = std::clamp(screen->availableGeometry().height() - frame, 1, highest);
    }
    const int lowest = std::min(minimumHeight, highest);
    window->setMinimumSize(width, lowest);
    window->setMaximumSize(width, highest);
    const QSize size = window->size();
    const QSize bounded(width, std::clamp(size.height(), lowest, highest));
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
