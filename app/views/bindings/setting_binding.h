// The view side of one settings key: read it, write it, and hear of its changes.
//
// A widget holds a SettingBinding for each setting it shows. value() is the key's current value
// (its default while nothing readable is stored); setValue() stores at once (an empty optional
// removes the entry). After each later change of the stored value, whoever wrote it, the change
// handlers run once on the main thread and notifier() emits changed(); the value present when
// the binding is created is no change. The bind* helpers make two-way bindings for the usual
// editors: the editor shows the setting and edits store it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QObject>

#include "settings_store/settings_store.h"

class QAbstractButton;
class QLineEdit;
class QSpinBox;

namespace pavonix {

// Emits changed() after each change of the bound setting; a receiver for signal connections.
class SettingNotifier : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void changed();
};

template <class T>
class SettingBinding {
public:
    explicit SettingBinding(SettingsStore::Key<T> key, SettingsStore& store)
        : store_(&store), key_(std::move(key)), state_(std::make_shared<State>()) {
        // The handlers live in the shared state, so moving the binding keeps them reachable.
        std::weak_ptr<State> weak = state_;
        subscription_ = store_->observe<T>(key_, [weak](const T& value) {
            auto state = weak.lock();
            if (!state) return;
            auto handlers = state->handlers;  // a handler may add another
            for (const auto& handler : handlers) handler(value);
            emit state->notifier.changed();
        });
    }

    const SettingsStore::Key<T>& key() const { return key_; }
    SettingsStore& store() const { return *store_; }

    T value() const { return store_->value(key_); }
    // Returns whether the stored value changed.
    bool setValue(const T& value) { return store_->setValue(key_, value); }

    // Runs after each later change, on the main thread, with the new value.
    void onChange(std::function<void(const T&)> handler) { state_->handlers.push_back(std::move(handler)); }

    SettingNotifier* notifier() const { return &state_->notifier; }

private:
    struct State {
        std::vector<std::function<void(const T&)>> handlers;
        SettingNotifier notifier;
    };

    SettingsStore* store_;
    SettingsStore::Key<T> key_;
    std::shared_ptr<State> state_;
    SettingsStore::Subscription subscription_;
};

// Two-way bindings. The editor takes the current value now and every later change; user edits
// are stored at once (a line edit stores when editing finishes). Both may be destroyed in
// either order.
void bindCheckable(SettingBinding<bool>& binding, QAbstractButton* button);
void bindText(SettingBinding<std::string>& binding, QLineEdit* edit);
void bindNumber(SettingBinding<std::int64_t>& binding, QSpinBox* spinBox);

}  // namespace pavonix
