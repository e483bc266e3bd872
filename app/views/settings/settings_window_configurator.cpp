#include "app/views/settings/settings_window_configurator.h"

#include <algorithm>

#include <QWidget>

namespace pavonix {

void SettingsWindowConfigurator::applyWindowConstraints(QWidget* window) const {
    if (!window) return;
    const int highest = std::clamp(roomOnScreen(window).height(), 1, maximumHeight);
    const int lowest = std::min(minimumHeight, highest);
    window->setMinimumSize(width, lowest);
    window->setMaximumSize(width, highest);
    const QSize size = window->size();
    const QSize bounded(width, std::clamp(size.height(), lowest, highest));
    if (size != bounded) window->resize(bounded);
}

}  // namespace pavonix
