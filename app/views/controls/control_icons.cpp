#include "app/views/controls/control_icons.h"

#include <cmath>

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QTextDocument>

namespace pavonix {

namespace {

void drawSymbol(QPainter& p, std::string_view name, const QColor& color, double s) {
    const QColor white(Qt::white);
    QPen pen(color, s * 0.09, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    const QRectF box(s * 0.06, s * 0.06, s * 0.88, s * 0.88);
    const bool filledCircle = name.ends_with(".circle.fill");
    if (filledCircle) {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(box);
        pen.setColor(white);
    }
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    if (name == "checkmark.circle.fill" || name == "checkmark") {
        QPainterPath path;
        path.moveTo(s * 0.28, s * 0.52);
        path.lineTo(s * 0.44, s * 0.68);
        path.lineTo(s * 0.72, s * 0.34);
        p.drawPath(path);
    } else if (name == "xmark.circle.fill") {
        p.drawLine(QPointF(s * 0.33, s * 0.33), QPointF(s * 0.67, s * 0.67));
        p.drawLine(QPointF(s * 0.67, s * 0.33), QPointF(s * 0.33, s * 0.67));
    } else if (name == "ellipsis.circle.fill") {
        p.setPen(Qt::NoPen);
        p.setBrush(white);
        for (double x : {0.3, 0.5, 0.7}) p.drawEllipse(QPointF(s * x, s * 0.5), s * 0.06, s * 0.06);
    } else if (name == "network") {
        pen.setWidthF(s * 0.06);
        p.setPen(pen);
        p.drawEllipse(box);
        p.drawEllipse(QRectF(s * 0.3, s * 0.06, s * 0.4, s * 0.88));
        p.drawLine(QPointF(s * 0.06, s * 0.5), QPointF(s * 0.94, s * 0.5));
        p.drawLine(QPointF(s * 0.5, s * 0.06), QPointF(s * 0.5, s * 0.94));
    } else if (name == "play.fill") {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawPolygon(QPolygonF({QPointF(s * 0.25, s * 0.15), QPointF(s * 0.85, s * 0.5), QPointF(s * 0.25, s * 0.85)}));
    } else if (name == "square.fill") {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawRoundedRect(QRectF(s * 0.2, s * 0.2, s * 0.6, s * 0.6), s * 0.08, s * 0.08);
    } else if (name == "memories" || name == "arrow.clockwise") {
        // A circular arrow; "memories" also carries a small play mark in its middle.
        p.drawArc(QRectF(s * 0.15, s * 0.15, s * 0.7, s * 0.7), 100 * 16, 300 * 16);
        const QPointF tip(s * 0.5 + s * 0.35 * std::cos(100 * M_PI / 180), s * 0.5 - s * 0.35 * std::sin(100 * M_PI / 180));
        p.setBrush(color);
        p.drawPolygon(QPolygonF({tip + QPointF(-s * 0.02, -s * 0.13), tip + QPointF(s * 0.14, 0), tip + QPointF(-s * 0.02, s * 0.13)}));
        if (name == "memories") {
            p.setPen(Qt::NoPen);
            p.drawPolygon(QPolygonF({QPointF(s * 0.42, s * 0.36), QPointF(s * 0.64, s * 0.5), QPointF(s * 0.42, s * 0.64)}));
        }
    } else if (name == "chevron.left.circle.fill" || name == "chevron.right.circle.fill") {
        const bool left = name.starts_with("chevron.left");
        const double a = left ? 0.58 : 0.42, b = left ? 0.4 : 0.6;
        QPainterPath path;
        path.moveTo(s * a, s * 0.3);
        path.lineTo(s * b, s * 0.5);
        path.lineTo(s * a, s * 0.7);
        p.drawPath(path);
    } else if (name == "gearshape") {
        pen.setWidthF(s * 0.12);
        pen.setCapStyle(Qt::FlatCap);
        p.setPen(pen);
        for (int i = 0; i < 8; ++i) {
            const double angle = i * M_PI / 4;
            p.drawLine(QPointF(s * 0.5 + s * 0.3 * std::cos(angle), s * 0.5 + s * 0.3 * std::sin(angle)),
                       QPointF(s * 0.5 + s * 0.44 * std::cos(angle), s * 0.5 + s * 0.44 * std::sin(angle)));
        }
        pen.setWidthF(s * 0.1);
        p.setPen(pen);
        p.drawEllipse(QPointF(s * 0.5, s * 0.5), s * 0.25, s * 0.25);
    } else if (name == "plus") {
        p.drawLine(QPointF(s * 0.5, s * 0.2), QPointF(s * 0.5, s * 0.8));
        p.drawLine(QPointF(s * 0.2, s * 0.5), QPointF(s * 0.8, s * 0.5));
    } else if (name == "info.circle") {
        pen.setWidthF(s * 0.08);
        p.setPen(pen);
        p.drawEllipse(box);
        p.drawLine(QPointF(s * 0.5, s * 0.45), QPointF(s * 0.5, s * 0.72));
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QPointF(s * 0.5, s * 0.3), s * 0.06, s * 0.06);
    } else if (name == "antenna.radiowaves.left.and.right") {
        // A mast with two pairs of waves, one on each side.
        pen.setWidthF(s * 0.07);
        p.setPen(pen);
        p.drawLine(QPointF(s * 0.5, s * 0.45), QPointF(s * 0.5, s * 0.94));
        for (double r : {0.18, 0.34}) {
            const QRectF arc(s * (0.5 - r), s * (0.4 - r), s * 2 * r, s * 2 * r);
            p.drawArc(arc, -45 * 16, 90 * 16);
            p.drawArc(arc, 135 * 16, 90 * 16);
        }
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QPointF(s * 0.5, s * 0.4), s * 0.07, s * 0.07);
    } else if (!filledCircle) {
        p.drawEllipse(box);
    }
}

}  // namespace

QIcon symbolIcon(std::string_view name, const QColor& color, int size) {
    QPixmap pixmap(size * 2, size * 2);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        drawSymbol(painter, name, color, size * 2.0);
    }
    pixmap.setDevicePixelRatio(2.0);
    return QIcon(pixmap);
}

QIcon programIcon() {
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        drawSymbol(painter, "play.fill", QColor(0x28, 0xA7, 0x45), size);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QColor controlColor(ControlColor color, const QPalette& palette) {
    switch (color) {
        case ControlColor::primary:
            return palette.color(QPalette::WindowText);
        case ControlColor::secondary:
            return palette.color(QPalette::PlaceholderText);
        case ControlColor::accent:
            return palette.color(QPalette::Highlight);
        case ControlColor::green:
            return QColor(0x28, 0xA7, 0x45);
        case ControlColor::blue:
            return QColor(0x0A, 0x7A, 0xFF);
        case ControlColor::red:
            return QColor(0xE5, 0x39, 0x35);
        case ControlColor::orange:
            return QColor(0xF0, 0x8C, 0x00);
    }
    return palette.color(QPalette::WindowText);
}

QLabel* captionLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QString plainToolTip(const QString& text) {
    // Tool tips have no plain-text switch: text that would pass for HTML goes in escaped.
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
}

QString plainMenuText(QString text) {
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return text;
}

}  // namespace pavonix
