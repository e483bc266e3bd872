#include "app/views/welcome/welcome_permission_row.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>

#include "app/views/controls/control_icons.h"

namespace pavonix {

namespace {

using State = WelcomePermissionGrantState;

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QColor faded(QColor color, double opacity) {
    color.setAlphaF(color.alphaF() * opacity);
    return color;
}

// A circle with a bar across: the "not installed" mark.
QPixmap minusCircle(const QColor& color, int size) {
    const qreal ratio = 2.0;
    QPixmap pixmap(QSize(size, size) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(color, size * 0.09));
    p.drawEllipse(QRectF(size * 0.08, size * 0.08, size * 0.84, size * 0.84));
    p.drawLine(QPointF(size * 0.3, size * 0.5), QPointF(size * 0.7, size * 0.5));
    return pixmap;
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

}  // namespace

WelcomeRowTrailing welcomeRowTrailing(const WelcomePermissionItem& item) {
    if (item.isRequesting || item.state == State::checking) return WelcomeRowTrailing::spinner;
    if (item.state == State::granted) return WelcomeRowTrailing::granted;
    if (item.state == State::unavailable) return WelcomeRowTrailing::notInstalled;
    return WelcomeRowTrailing::requestButton;
}

std::string_view welcomeRequestButtonTitle(WelcomePermission permission) {
    return permission == WelcomePermission::accessibility ? "Enable" : "Allow";
}

WelcomePermissionRow::WelcomePermissionRow(const WelcomePermissionItem& item, bool isBusy,
                                           std::function<void()> requestAction, QWidget* parent)
    : QWidget(parent), item_(item), isBusy_(isBusy), requestAction_(std::move(requestAction)) {
    setObjectName(qs(rawValue(item.permission)));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 9, 0, 9);
    row->setSpacing(12);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(3);
    title_ = new QLabel(qs(title(item.permission)), this);
    title_->setTextFormat(Qt::PlainText);
    QFont headline = title_->font();
    headline.setWeight(QFont::DemiBold);
    title_->setFont(headline);
    description_ = new QLabel(qs(description(item.permission)), this);
    description_->setTextFormat(Qt::PlainText);
    description_->setWordWrap(true);
    setTextColor(description_, controlColor(ControlColor::secondary, palette()));
    note_ = new QLabel(qs(localNetworkNote), this);
    note_->setTextFormat(Qt::PlainText);
    note_->setWordWrap(true);
    QFont caption = note_->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    note_->setFont(caption);
    setTextColor(note_, faded(controlColor(ControlColor::secondary, palette()), 0.7));
    texts->addWidget(title_);
    texts->addWidget(description_);
    texts->addWidget(note_);
    row->addLayout(texts, 1);
    row->addSpacing(18);

    auto* trailingBox = new QWidget(this);
    trailingStack_ = new QStackedLayout(trailingBox);
    spinner_ = new QProgressBar(trailingBox);
    spinner_->setRange(0, 0);  // busy: no known end
    spinner_->setTextVisible(false);
    spinner_->setFixedSize(trailingWidth, 8);
    spinner_->setAccessibleName(tr("Checking"));
    granted_ = new QLabel(trailingBox);
    granted_->setAlignment(Qt::AlignCenter);
    granted_->setFixedWidth(trailingWidth);
    granted_->setPixmap(symbolIcon("checkmark.circle.fill", controlColor(ControlColor::green, palette()), 22).pixmap(22, 22));
    granted_->setAccessibleName(QStringLiteral("Granted"));
    granted_->setToolTip(QStringLiteral("Granted"));
    notInstalled_ = new QLabel(trailingBox);
    notInstalled_->setAlignment(Qt::AlignCenter);
    notInstalled_->setFixedWidth(trailingWidth);
    notInstalled_->setPixmap(minusCircle(faded(controlColor(ControlColor::secondary, palette()), 0.65), 14));
    notInstalled_->setAccessibleName(QStringLiteral("Not Installed"));
    notInstalled_->setToolTip(QStringLiteral("Not Installed"));
    button_ = new QPushButton(qs(welcomeRequestButtonTitle(item.permission)), trailingBox);
    button_->setAutoDefault(false);
    connect(button_, &QPushButton::clicked, this, [this] {
        if (requestAction_) requestAction_();
    });
    trailingStack_->addWidget(spinner_);
    trailingStack_->addWidget(granted_);
    trailingStack_->addWidget(notInstalled_);
    trailingStack_->addWidget(button_);
    row->addWidget(trailingBox, 0, Qt::AlignVCenter);
    sync();
}

void WelcomePermissionRow::set(const WelcomePermissionItem& item, bool isBusy) {
    if (item == item_ && isBusy == isBusy_) return;
    item_ = item;
    isBusy_ = isBusy;
    sync();
}

bool WelcomePermissionRow::showsNote() const { return item_.permission == WelcomePermission::localNetwork; }

void WelcomePermissionRow::sync() {
    note_->setVisible(showsNote());
    switch (trailing()) {
    case WelcomeRowTrailing::spinner: trailingStack_->setCurrentWidget(spinner_); break;
    case WelcomeRowTrailing::granted: trailingStack_->setCurrentWidget(granted_); break;
    case WelcomeRowTrailing::notInstalled: trailingStack_->setCurrentWidget(notInstalled_); break;
    case WelcomeRowTrailing::requestButton: trailingStack_->setCurrentWidget(button_); break;
    }
    button_->setEnabled(!isBusy_);
}

}  // namespace pavonix
