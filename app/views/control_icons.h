// The view's symbols, drawn with QPainter so that they look the same on every desktop theme,
// the mapping of the view's colours onto the palette, and the caption text style.
#pragma once

#include <string_view>

#include <QColor>
#include <QIcon>
#include <QLabel>
#include <QPalette>

#include "app/views/controls_view_state.h"

namespace pavonix {

// Names as the state classes give them: "checkmark.circle.fill", "xmark.circle.fill",
// "ellipsis.circle.fill", "network", "play.fill", "memories", "square.fill",
// "chevron.left.circle.fill", "chevron.right.circle.fill", "arrow.clockwise", "checkmark",
// "gearshape", "info.circle", "plus", "antenna.radiowaves.left.and.right". An unknown name draws a
// plain circle.
QIcon symbolIcon(std::string_view name, const QColor& color, int size = 24);

QColor controlColor(ControlColor color, const QPalette& palette);

// A caption: smaller than the body text, wrapping over as many lines as it needs.
QLabel* captionLabel(const QString& text, QWidget* parent);

}  // namespace pavonix
