#include "app/views/welcome/welcome_view.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "app/views/controls/control_icons.h"

namespace pavonix {

namespace {

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// The permission list's panel: a faint rounded rectangle behind the rows.
class PermissionListPanel : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = palette().color(QPalette::Mid);
        fill.setAlphaF(0.45 * 0.35);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(QRectF(rect()), 8, 8);
    }
};

}  // namespace

WelcomeView::WelcomeView(WelcomePermissionsModel& permissionsModel, std::function<void()> continueAction,
                         QWidget* parent)
    : QWidget(parent), model_(permissionsModel), continueAction_(std::move(continueAction)) {
    setObjectName("welcome");
    setMinimumSize(leastSize);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(22, 22, 22, 22);
    column->setSpacing(18);

    auto* icon = new QLabel(this);
    icon->setFixedSize(76, 76);
    icon->setScaledContents(true);
    icon->setPixmap(programIcon().pixmap(152, 152));
    icon->setAccessibleName(QStringLiteral("Pavonix"));
    column->addWidget(icon);

    auto* header = new QVBoxLayout;
    header->setSpacing(8);
    auto* name = new QLabel(QStringLiteral("Pavonix"), this);
    QFont large = name->font();
    large.setPointSizeF(large.pointSizeF() * 2.0);
    large.setWeight(QFont::DemiBold);
    name->setFont(large);
    auto* text = new QLabel(qs(summary), this);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    QPalette secondary = text->palette();
    secondary.setColor(QPalette::WindowText, controlColor(ControlColor::secondary, palette()));
    text->setPalette(secondary);
    header->addWidget(name);
    header->addWidget(text);
    column->addLayout(header);

    // A settings file set aside brings the user back here with onboarding to do again: the
    // reason is told at once, not after "Continue".
    storageNotice_ = new QLabel(this);
    storageNotice_->setObjectName("storageNotice");
    storageNotice_->setTextFormat(Qt::PlainText);
    storageNotice_->setWordWrap(true);
    storageNotice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette warning = storageNotice_->palette();
    warning.setColor(QPalette::WindowText, controlColor(ControlColor::red, palette()));
    storageNotice_->setPalette(warning);
    storageNotice_->hide();
    column->addWidget(storageNotice_);

    list_ = new PermissionListPanel(this);
    list_->setObjectName("permissionList");
    auto* rows = new QVBoxLayout(list_);
    rows->setContentsMargins(16, 6, 16, 6);
    rows->setSpacing(0);
    const auto& items = model_.items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const WelcomePermission permission = items[i].permission;
        auto* row = new WelcomePermissionRow(items[i], false, [this, permission] { model_.request({permission}); }, list_);
        rows->addWidget(row);
        rows_.push_back(row);
        if (permission != items.back().permission) {
            auto* divider = new QFrame(list_);
            divider->setFrameShape(QFrame::HLine);
            divider->setFrameShadow(QFrame::Sunken);
            rows->addWidget(divider);
            dividers_.push_back(divider);
        }
    }
    column->addWidget(list_);
    column->addStretch(1);

    footer_ = new QWidget(this);
    auto* buttons = new QHBoxLayout(footer_);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addStretch(1);
    continue_ = new QPushButton(QStringLiteral("Continue"), footer_);
    continue_->setObjectName("continue");
    continue_->setDefault(true);
    connect(continue_, &QPushButton::clicked, this, [this] {
        if (continueAction_) continueAction_();
    });
    buttons->addWidget(continue_);
    column->addWidget(footer_);

    // The default action: Return (and Enter) anywhere on this screen continues, also from the
    // footer where a host keeps it apart.
    for (QWidget* scope : {static_cast<QWidget*>(this), footer_}) {
        for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
            auto* shortcut = new QShortcut(QKeySequence(key), scope);
            shortcut->setContext(Qt::WidgetWithChildrenShortcut);
            connect(shortcut, &QShortcut::activated, continue_, &QPushButton::click);
        }
    }

    itemsObservation_ = model_.observeItems([this] { sync(); });
    requestingObservation_ = model_.observeRequesting([this] { sync(); });
    sync();
}

void WelcomeView::setStorageNotice(const QString& text) {
    if (storageNotice_->text() != text) storageNotice_->setText(text);
    storageNotice_->setVisible(!text.isEmpty());
}

void WelcomeView::sync() {
    // The buttons wait while anything is requested or still being read.
    const bool busy = model_.isRequesting() || model_.isChecking();
    const auto& items = model_.items();
    for (std::size_t i = 0; i < rows_.size() && i < items.size(); ++i) rows_[i]->set(items[i], busy);
}

}  // namespace pavonix
