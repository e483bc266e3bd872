// Observable properties of the application model.
//
// A value is written only when the new value differs from the current one, and only then are its
// observers told, synchronously, in the order they registered. The model lives on the main
// thread, so observers are told on the main thread. An observer stays registered while its
// Observation handle lives; an observer removed (or added) while a change is being reported is
// not called (is first called) for that change.
#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace pavonix {

namespace observation_detail {

struct Entry {
    std::function<void()> notify;
    bool active = true;
};

struct Registry {
    std::vector<std::shared_ptr<Entry>> entries;

    void notifyAll() {
        // A copy, so that observers may register or unregister while being told.
        const auto current = entries;
        for (const auto& entry : current) {
            if (entry->active) entry->notify();
        }
    }
    void prune() {
        std::erase_if(entries, [](const std::shared_ptr<Entry>& entry) { return !entry->active; });
    }
};

}  // namespace observation_detail

// Ends its observation when destroyed or cancelled. Safe to outlive the observed value.
class Observation {
public:
    Observation() = default;
    Observation(Observation&&) noexcept = default;
    Observation& operator=(Observation&& other) noexcept {
        if (this != &other) {
            cancel();
            registry_ = std::move(other.registry_);
            entry_ = std::move(other.entry_);
        }
        return *this;
    }
    Observation(const Observation&) = delete;
    Observation& operator=(const Observation&) = delete;
    ~Observation() { cancel(); }

    void cancel() {
        if (entry_) {
            entry_->active = false;
            if (auto registry = registry_.lock()) registry->prune();
        }
        entry_.reset();
        registry_.reset();
    }
    bool active() const { return entry_ != nullptr; }

private:
    template <class T>
    friend class ObservableValue;
    Observation(std::weak_ptr<observation_detail::Registry> registry, std::shared_ptr<observation_detail::Entry> entry)
        : registry_(std::move(registry)), entry_(std::move(entry)) {}

    std::weak_ptr<observation_detail::Registry> registry_;
    std::shared_ptr<observation_detail::Entry> entry_;
};

template <class T>
class ObservableValue {
public:
    ObservableValue() = default;
    explicit ObservableValue(T initial) : value_(std::move(initial)) {}
    ObservableValue(const ObservableValue&) = delete;
    ObservableValue& operator=(const ObservableValue&) = delete;

    const T& get() const { return value_; }

    // Returns whether the value changed (and observers were told).
    bool set(T value) {
        if (value == value_) return false;
        value_ = std::move(value);
        registry_->notifyAll();
        return true;
    }

    // `onChange` receives the new value after each change.
    [[nodiscard]] Observation observe(std::function<void(const T&)> onChange) {
        auto entry = std::make_shared<observation_detail::Entry>();
        entry->notify = [this, onChange = std::move(onChange)] { onChange(value_); };
        registry_->entries.push_back(entry);
        return Observation(registry_, std::move(entry));
    }

private:
    T value_{};
    std::shared_ptr<observation_detail::Registry> registry_ = std::make_shared<observation_detail::Registry>();
};

}  // namespace pavonix
