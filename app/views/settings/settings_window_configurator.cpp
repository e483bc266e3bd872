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

}  // namespace pavonix
