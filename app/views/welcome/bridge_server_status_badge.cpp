#include "app/views/welcome/bridge_server_status_badge.h"

#include <algorithm>

#include <QEvent>
#include <QPainter>
#include <QTextLayout>

#include "app/views/controls/control_icons.h"

namespace pavonix {

namespace {

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

std::string_view badgeStateWord(BridgeServerStatus::State state) { return text(state); }

std::string badgeAccessibilityLabel(const BridgeServerStatus& status) {
    return std::string(badgeStateWord(status.state)) + ": " + status.detail;
}

QColor badgeColor(BridgeServerStatus::State state, const QPalette& palette) {
    switch (state) {
    case BridgeServerStatus::State::stopped: return controlColor(ControlColor::secondary, palette);
    case BridgeServerStatus::State::starting: return controlColor(ControlColor::orange, palette);
    case BridgeServerStatus::State::running: return controlColor(ControlColor::green, palette);
    case BridgeServerStatus::State::failed: return controlColor(ControlColor::red, palette);
    }
    return controlColor(ControlColor::secondary, palette);
}

BridgeServerStatusBadge::BridgeServerStatusBadge(const BridgeServerStatus& status, QWidget* parent)
    : QWidget(parent) {
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setStatus(status);
}

void BridgeServerStatusBadge::setStatus(const BridgeServerStatus& status) {
    status_ = status;
    setAccessibleName(qs(badgeAccessibilityLabel(status_)));
    setToolTip(plainToolTip(qs(status_.detail)));
    updateGeometry();
    update();
}

QFont BridgeServerStatusBadge::detailFont() const {
    QFont font = this->font();
    font.setPointSizeF(font.pointSizeF() * 0.92);  // the callout size
    return font;
}

QStringList BridgeServerStatusBadge::linesFor(int textWidth) const {
    const QString detail = qs(status_.detail);
    const QFontMetrics metrics(detailFont());
    textWidth = std::max(textWidth, 1);
    if (status_.state != BridgeServerStatus::State::failed) {
        return {metrics.elidedText(detail, Qt::ElideMiddle, textWidth)};
    }
    QStringList lines;
    QTextLayout layout(detail, detailFont());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(textWidth);
        if (lines.size() == failedLineLimit - 1) {
            // The last allowed line takes the rest of the text, cut at its end.
            lines << metrics.elidedText(detail.mid(line.textStart()), Qt::ElideRight, textWidth);
            break;
        }
        lines << detail.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    if (lines.isEmpty()) lines << QString();
    return lines;
}

QStringList BridgeServerStatusBadge::visibleLines() const { return linesFor(width() - dotSize - spacing); }

int BridgeServerStatusBadge::heightForWidth(int width) const {
    const int lineHeight = QFontMetrics(detailFont()).lineSpacing();
    return std::max<int>(dotSize, lineHeight * static_cast<int>(linesFor(width - dotSize - spacing).size()));
}

QSize BridgeServerStatusBadge::sizeHint() const {
    const QFontMetrics metrics(detailFont());
    // The failed state is fixed to its ideal height; the others never grow beyond one line.
    const int textWidth = std::min(metrics.horizontalAdvance(qs(status_.detail)) + 1, 360);
    const int width = dotSize + spacing + textWidth;
    return {width, heightForWidth(width)};
}

QSize BridgeServerStatusBadge::minimumSizeHint() const {
    const int width = dotSize + spacing + QFontMetrics(detailFont()).horizontalAdvance(QStringLiteral("M…M"));
    return {width, heightForWidth(width)};
}

void BridgeServerStatusBadge::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange) {
        updateGeometry();
        update();
    }
}

void BridgeServerStatusBadge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QStringList lines = visibleLines();
    const QFontMetrics metrics(detailFont());
    const int textHeight = metrics.lineSpacing() * static_cast<int>(lines.size());
    const int top = std::max(0, (height() - textHeight) / 2);

    // The dot is centred on the first line, as the row is centred on a one-line badge.
    const int dotTop = lines.size() == 1 ? (height() - dotSize) / 2 : top + (metrics.lineSpacing() - dotSize) / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(badgeColor(status_.state, palette()));
    painter.drawEllipse(QRect(0, dotTop, dotSize, dotSize));

    painter.setFont(detailFont());
    const bool failed = status_.state == BridgeServerStatus::State::failed;
    painter.setPen(failed ? controlColor(ControlColor::red, palette()) : controlColor(ControlColor::secondary, palette()));
    int y = top;
    for (const QString& line : lines) {
        painter.drawText(QRect(dotSize + spacing, y, width() - dotSize - spacing, metrics.lineSpacing()),
                         Qt::AlignLeft | Qt::AlignVCenter, line);
        y += metrics.lineSpacing();
    }
}

}  // namespace pavonix
