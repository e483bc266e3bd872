#include "app/views/settings_form.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/views/control_icons.h"
#include "app/views/listen_view_state.h"

namespace pavonix {

FormSection::FormSection(const QString& title, QWidget* parent) : QWidget(parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(4);

    header_ = new QHBoxLayout;
    header_->setContentsMargins(4, 0, 4, 0);
    auto* titleLabel = new QLabel(title, this);
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
    outer->addWidget(box);
}

void FormSection::setHeaderAccessory(QWidget* accessory) { header_->addWidget(accessory); }

void FormSection::addRow(const QString& label, QWidget* content) {
    auto* labelWidget = new QLabel(label, form_->parentWidget());
    labelWidget->setBuddy(content);
    form_->addRow(labelWidget, content);
}

void FormSection::addRow(QWidget* content) { form_->addRow(content); }

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
    setStyleSheet(invalid ? QStringLiteral("QLineEdit { color: #d70015; border: 1px solid #d70015; }") : QString());
    setToolTip(invalid ? reason : QString());
    setAccessibleDescription(invalid ? reason : QString());
}

}  // namespace pavonix
