#include "app/views/settings/settings_form.h"

#include <algorithm>
#include <vector>

#include <QFormLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include "app/views/controls/control_icons.h"
#include "app/views/settings/listen_view_state.h"

namespace pavonix {

FormSection::FormSection(const QString& title, QWidget* parent) : QWidget(parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(4);

    header_ = new QHBoxLayout;
    header_->setContentsMargins(4, 0, 4, 0);
    QLabel* titleLabel = plainLabel(title, this);
    QFont font = titleLabel->font();
    font.setBold(true);
    titleLabel->setFont(font);
    header_->addWidget(titleLabel, 0, Qt::AlignBaseline);
    header_->addStretch(1);
    outer->addLayout(header_);

    auto* box = new QFrame(this);
    box->setFrameShape(QFrame::StyledPanel);
    box->setAccessibleName(title);
    form_ = new QFormLayout(box);
    form_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form_->setRowWrapPolicy(QFormLayout::DontWrapRows);
    form_->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // Tighter than the style's margins and spacing: the Network tab's five sections fit on a
    // laptop screen without scrolling.
    const QMargins margins = form_->contentsMargins();
    form_->setContentsMargins(margins.left(), margins.top() * 2 / 3, margins.right(), margins.bottom() * 2 / 3);
    form_->setVerticalSpacing(form_->verticalSpacing() * 2 / 3);
    outer->addWidget(box);
}

void FormSection::setHeaderAccessory(QWidget* accessory) { header_->addWidget(accessory); }

void FormSection::addRow(const QString& label, QWidget* content) {
    QLabel* labelWidget = plainLabel(label, form_->parentWidget());
    labelWidget->setBuddy(content);
    form_->addRow(labelWidget, content);
}

void FormSection::addRow(QWidget* content) { form_->addRow(content); }

void alignLabelColumns(QWidget* page) {
    std::vector<QWidget*> labels;
    int widest = 0;
    for (const QWidget* child : page->findChildren<QWidget*>()) {
        const auto* section = dynamic_cast<const FormSection*>(child);
        if (!section) continue;
        for (int row = 0; row < section->form()->rowCount(); ++row) {
            QLayoutItem* item = section->form()->itemAt(row, QFormLayout::LabelRole);
            if (!item || !item->widget()) continue;
            labels.push_back(item->widget());
            widest = std::max(widest, item->widget()->sizeHint().width());
        }
    }
    for (QWidget* label : labels) label->setMinimumWidth(widest);
}

QLabel* secondaryCaption(const QString& text, QWidget* parent) {
    QLabel* label = captionLabel(text, parent);
    setCaptionWarning(label, false);
    return label;
}

void setCaptionWarning(QLabel* label, bool warning) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText,
                     controlColor(warning ? ControlColor::orange : ControlColor::secondary, label->palette()));
    label->setPalette(palette);
}

namespace {
const QColor invalidColor(0xd7, 0x00, 0x15);
}  // namespace

PortField::PortField(QWidget* parent) : QLineEdit(parent) {
    setFixedWidth(92);
    setAlignment(Qt::AlignRight);
    connect(this, &QLineEdit::textChanged, this, &PortField::markValidity);
}

void PortField::showPort(std::int64_t port) {
    // Digits only, never grouped: 48000, not 48,000.
    setText(QString::number(port));
    markValidity();
}

void PortField::markValidity() {
    const bool invalid = !portFromFieldText(text().toStdString());
    if (invalid == invalid_) return;
    invalid_ = invalid;
    const QString reason = QString::fromUtf8(ListenViewState::invalidPortText.data(),
                                             static_cast<qsizetype>(ListenViewState::invalidPortText.size()));
    // A style sheet would draw the red border, but it also swaps the style's frame for its own of
    // another height.
    QPalette colours;  // nothing set: the rest follows the window's palette
    if (invalid) colours.setColor(QPalette::Text, invalidColor);
    setPalette(colours);
    setToolTip(invalid ? reason : QString());
    setAccessibleDescription(invalid ? reason : QString());
    update();
}

void PortField::paintEvent(QPaintEvent* event) {
    QLineEdit::paintEvent(event);
    if (!invalid_) return;
    QPainter painter(this);
    painter.setPen(QPen(invalidColor, 1));
    painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

}  // namespace pavonix
