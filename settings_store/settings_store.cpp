#include "settings_store/settings_store.h"

#include <mutex>
#include <unordered_map>

#include "platform/dispatch/dispatch.h"

namespace pavonix {

namespace settings_detail {

// Who subscribed to which key, and the hop of each change to the main thread.
class Hub : public std::enable_shared_from_this<Hub> {
public:
    explicit Hub(defaults::UserDefaults& defaults) : defaults_(defaults) {}

    void add(const std::shared_ptr<Subscriber>& subscriber) {
        // Under the same lock that changed() takes: a change is either already in the snapshot
        // (and its report, if any, is skipped by sequence) or reported to this subscriber.
        std::lock_guard lock(mutex_);
        auto snapshot = defaults_.snapshot(subscriber->key);
        subscriber->start(snapshot.value, snapshot.sequence);
        byKey_[subscriber->key].push_back(subscriber);
    }

    void remove(const Subscriber* subscriber) {
        std::lock_guard lock(mutex_);
        auto it = byKey_.find(subscriber->key);
        if (it == byKey_.end()) return;
        std::erase_if(it->second, [subscriber](const auto& entry) { return entry.get() == subscriber; });
        if (it->second.empty()) byKey_.erase(it);
    }

    // The store's listener: runs on the writer's thread, in the order of the changes.
    void changed(const std::string& key, const std::optional<nlohmann::json>& value, std::uint64_t sequence) {
        std::lock_guard lock(mutex_);
        if (!byKey_.contains(key)) return;  // nobody listens: no trip to the main thread
        dispatch::MainExecutor::post([self = shared_from_this(), key, value, sequence] {
            self->deliver(key, value, sequence);
        });
    }

private:
    void deliver(const std::string& key, const std::optional<nlohmann::json>& value, std::uint64_t sequence) {
        std::vector<std::shared_ptr<Subscriber>> subscribers;
        {
            std::lock_guard lock(mutex_);
            auto it = byKey_.find(key);
            if (it == byKey_.end()) return;
            subscribers = it->second;
        }
        // Without the lock: a handler may subscribe, cancel, read or write.
        for (const auto& subscriber : subscribers) {
            if (!subscriber->cancelled) subscriber->deliver(value, sequence);
        }
    }

    defaults::UserDefaults& defaults_;
    std::mutex mutex_;
    std::unordered_map<std::string, std::vector<std::shared_ptr<Subscriber>>> byKey_;
};

}  // namespace settings_detail

SettingsStore::SettingsStore(defaults::UserDefaults& defaults)
    : defaults_(defaults), hub_(std::make_shared<settings_detail::Hub>(defaults)) {
    // The listener is removed in the destructor, before the hub can go away.
    listenerId_ = defaults_.addListener(
        [hub = hub_.get()](const std::string& key, const std::optional<nlohmann::json>& value, std::uint64_t sequence) {
            hub->changed(key, value, sequence);
        });
}

SettingsStore::~SettingsStore() { defaults_.removeListener(listenerId_); }

SettingsStore& SettingsStore::shared() {
    static SettingsStore store(defaults::UserDefaults::standard());
    return store;
}

SettingsStore::Subscription SettingsStore::add(std::shared_ptr<settings_detail::Subscriber> subscriber) {
    hub_->add(subscriber);
    return Subscription(hub_, std::move(subscriber));
}

SettingsStore::Subscription& SettingsStore::Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        cancel();
        hub_ = std::move(other.hub_);
        subscriber_ = std::move(other.subscriber_);
    }
    return *this;
}

void SettingsStore::Subscription::cancel() {
    if (!subscriber_) return;
    subscriber_->cancelled = true;
    if (auto hub = hub_.lock()) hub->remove(subscriber_.get());
    subscriber_.reset();
    hub_.reset();
}

}  // namespace pavonix
