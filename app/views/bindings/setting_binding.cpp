#include "app/views/bindings/setting_binding.h"

#include <algorithm>
#include <limits>

#include <QAbstractButton>
#include <QLineEdit>
#include <QPointer>
#include <QSignalBlocker>
#include <QSpinBox>

namespace pavonix {

// Editors are updated with their signals blocked: the new value is already stored, and writing
// it back would report a change that nobody made.

void bindCheckable(SettingBinding<bool>& binding, QAbstractButton* button) {
    button->setCheckable(true);
    {
        QSignalBlocker blocker(button);
        button->setChecked(binding.value());
    }
    QObject::connect(button, &QAbstractButton::toggled, binding.notifier(),
                     [store = &binding.store(), key = binding.key()](bool checked) { store->setValue(key, checked); });
    binding.onChange([button = QPointer<QAbstractButton>(button)](bool checked) {
        if (!button) return;
        QSignalBlocker blocker(button);
        button->setChecked(checked);
    });
}

void bindText(SettingBinding<std::string>& binding, QLineEdit* edit) {
    {
        QSignalBlocker blocker(edit);
        edit->setText(QString::fromStdString(binding.value()));
    }
    QObject::connect(edit, &QLineEdit::editingFinished, binding.notifier(),
                     [store = &binding.store(), key = binding.key(), edit = QPointer<QLineEdit>(edit)] {
                         if (edit) store->setValue(key, edit->text().toStdString());
                     });
    binding.onChange([edit = QPointer<QLineEdit>(edit)](const std::string& text) {
        if (!edit) return;
        QString shown = QString::fromStdString(text);
        if (edit->text() == shown) return;  // keeps the cursor where the user left it
        QSignalBlocker blocker(edit);
        edit->setText(shown);
    });
}

namespace {
int toInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max()));
}
}  // namespace

void bindNumber(SettingBinding<std::int64_t>& binding, QSpinBox* spinBox) {
    {
        QSignalBlocker blocker(spinBox);
        spinBox->setValue(toInt(binding.value()));
    }
    QObject::connect(spinBox, &QSpinBox::valueChanged, binding.notifier(),
                     [store = &binding.store(), key = binding.key()](int value) {
                         store->setValue(key, std::int64_t{value});
                     });
    binding.onChange([spinBox = QPointer<QSpinBox>(spinBox)](std::int64_t value) {
        if (!spinBox) return;
        QSignalBlocker blocker(spinBox);
        spinBox->setValue(toInt(value));
    });
}

}  // namespace pavonix
