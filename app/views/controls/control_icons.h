// The view's symbols, drawn with QPainter so that they look the same on every desktop theme,
// the mapping of the view's colours onto the palette, the caption text style, and the ways text
// from users and peers reaches the screen.
#pragma once

#include <string_view>

#include <QColor>
#include <QIcon>
#include <QLabel>
#include <QPalette>

#include "app/views/controls/controls_view_state.h"

namespace pavonix {

// Names as the state classes give them: "checkmark.circle.fill", "xmark.circle.fill",
// "ellipsis.circle.fill", "network", "play.fill", "memories", "square.fill",
// "chevron.left.circle.fill", "chevron.right.circle.fill", "arrow.clockwise", "checkmark",
// "gearshape", "info.circle", "plus", "antenna.radiowaves.left.and.right". An unknown name draws a
// plain circle.
QIcon symbolIcon(std::string_view name, const QColor& color, int size = 24);

// The program's own icon, a green play glyph, drawn at the sizes window managers and panels ask for.
QIcon programIcon();

QColor controlColor(ControlColor color, const QPalette& palette);

// A caption: smaller than the body text, wrapping over as many lines as it needs; plain text.
QLabel* captionLabel(const QString& text, QWidget* parent);

// Names of devices, remote targets, windows and slides, and the messages that carry them, come
// from users and peers. Qt guesses whether a label's or a tool tip's text is HTML, so such a name
// could make text bold, add links or load pictures from local files; these show it as written.
QLabel* plainLabel(const QString& text, QWidget* parent);
QString plainToolTip(const QString& text);
// Menu entries and button titles read "&" as a mnemonic mark and a tab as the start of the
// shortcut column; this keeps both as written.
QString plainMenuText(QString text);

}  // namespace pavonix
