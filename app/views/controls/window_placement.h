// Keeping the program's windows within the screen's available area (the screen less its panels).
#pragma once

#include <functional>

#include <QMargins>
#include <QRect>

class QWidget;

namespace pavonix {

// Where a window whose frame is `frame` goes so that it lies within `available`: moved as little
// as possible; a frame larger than the screen keeps its top-left corner on screen, so the title
// bar can always be reached.
QRect placedWithin(const QRect& frame, const QRect& available);

// The frame around the top-level `window`: the window manager's once it has framed the window;
// before that, the one it said it would draw when asked (once per window, for a moment at most);
// none without a window manager that answers.
QMargins frameMargins(QWidget* window);

// The largest size `window` can take so that, framed, it fits its screen's available area.
QSize roomOnScreen(QWidget* window);

// For a window about to be shown for the first time (before show(), or from its show event,
// which comes before the window is mapped): no larger than its room on screen, and placed on the
// available area, centred over the window `over` when it is shown, else centred on the screen.
// Checked again once framed when the window manager did not tell the frame in advance.
void placeOnScreen(QWidget* window, const QWidget* over = nullptr);

// Fixes the size of a sheet to `size` where the screen has room for it; on a screen too small,
// when the sheet is first shown, to its room on screen (its content must scroll). It is then
// placed over its parent's window.
void fixSizeWithinScreen(QWidget* sheet, QSize size);

// Shrinks a shown window that, with its frame, is larger than its screen's available area, as far
// as its minimum size allows, and moves it onto that area.
void keepOnScreen(QWidget* window);

// Runs `action` once, soon after the window manager has framed `window` (only then does the window
// know its title bar; the frame may come well after the window is shown). Never without a window
// manager.
void whenFramed(QWidget* window, std::function<void()> action);

}  // namespace pavonix
