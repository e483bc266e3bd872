// Keeping the program's windows within the screen's available area (the screen less its panels).
#pragma once

#include <functional>

#include <QRect>

class QWidget;

namespace pavonix {

// Where a window whose frame is `frame` goes so that it lies within `available`: moved as little
// as possible; a frame larger than the screen keeps its top-left corner on screen, so the title
// bar can always be reached.
QRect placedWithin(const QRect& frame, const QRect& available);

// Shrinks a shown window that, with the frame the window manager gave it, is larger than its
// screen's available area, and moves it onto that area. Sizes from before the window was framed
// could not count the title bar.
void keepOnScreen(QWidget* window);

// Runs `action` once, soon after the window manager has framed `window` (only then does the window
// know its title bar; the frame may come well after the window is shown). Never without a window
// manager.
void whenFramed(QWidget* window, std::function<void()> action);

}  // namespace pavonix
