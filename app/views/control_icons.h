// The view's symbols, drawn with QPainter so that they look the same on every desktop theme,
// and the mapping of the view's colours onto the palette.
#pragma once

#include <string_view>

#include <QColor>
#include <QIcon>
#include <QPalette>

#include "app/views/controls_view_state.h"

namespace pavonix {

// Names as the state classes give them: "checkmark.circle.fill", "xmark.circle.fill",
// "ellipsis.circle.fill", "network", "play.fill", "memories", "square.fill",
// "chevron.left.circle.fill", "chevron.right.circle.fill", "arrow.clockwise", "checkmark",
// "gearshape". An unknown name draws a plain circle.
QIcon symbolIcon(std::string_view name, const QColor& color, int size = 24);

QColor controlColor(ControlColor color, const QPalette& palette);

}  // namespace pavonix
