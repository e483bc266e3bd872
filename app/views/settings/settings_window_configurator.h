// Keeps the settings window at a fixed width and a bounded height, and on screen.
//
// The window's content is sized by its layouts, but nothing else bounds the window the user
// drags: the configurator sets the window's own minimum and maximum content size (the window
// manager adds the title bar) whenever the settings view enters a window or is rebuilt.
#pragma once

#include "app/views/controls/window_placement.h"

class QWidget;

namespace pavonix {

struct SettingsWindowConfigurator {
    int width = 0;
    int minimumHeight = 0;
    int maximumHeight = 0;

    // Width fixed, height between the two bounds, resizable within them; on a screen too short
    // for that, no taller than the screen's available height less the window's frame. A null
    // window is left alone. Idempotent.
    void applyWindowConstraints(QWidget* window) const;
};

}  // namespace pavonix
