#include "app/views/controls/notification_center.h"

#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace pavonix {

struct NotificationCenter::Registry {
    struct Observer {
        std::uint64_t id;
        std::string name;
        std::shared_ptr<std::function<void()>> handler;
    };
    std::mutex mutex;
    std::uint64_t nextID = 1;
    std::vector<Observer> observers;

    void remove(std::uint64_t id) {
        std::lock_guard lock(mutex);
        std::erase_if(observers, [id](const Observer& observer) { return observer.id == id; });
    }
    // Observers removed while others are being told are not called afterwards.
    void deliver(const std::string& name) {
        std::vector<std::pair<std::uint64_t, std::shared_ptr<std::function<void()>>>> matching;
        {
            std::lock_guard lock(mutex);
            for (const auto& observer : observers) {
                if (observer.name == name) matching.emplace_back(observer.id, observer.handler);
            }
        }
        for (const auto& [id, handler] : matching) {
            bool present = false;
            {
                std::lock_guard lock(mutex);
                for (const auto& observer : observers) present = present || observer.id == id;
            }
            if (present) (*handler)();
        }
    }
};

NotificationCenter::Token& NotificationCenter::Token::operator=(Token&& other) noexcept {
    if (this != &other) {
        cancel();
        registry_ = std::move(other.registry_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void NotificationCenter::Token::cancel() {
    if (auto registry = std::static_pointer_cast<Registry>(registry_.lock())) registry->remove(id_);
    registry_.reset();
    id_ = 0;
}

NotificationCenter::NotificationCenter() : registry_(std::make_shared<Registry>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Token NotificationCenter::addObserver(std::string_view name, std::function<void()> handler) {
    std::lock_guard lock(registry_->mutex);
    const std::uint64_t id = registry_->nextID++;
    registry_->observers.push_back({id, std::string(name), std::make_shared<std::function<void()>>(std::move(handler))});
    return Token(std::shared_ptr<void>(registry_), id);
}

void NotificationCenter::post(std::string_view name) {
    if (dispatch::isMainThread()) {
        registry_->deliver(std::string(name));
        return;
    }
    std::weak_ptr<Registry> weak = registry_;
    dispatch::MainExecutor::post([weak, name = std::string(name)] {
        if (auto registry = weak.lock()) registry->deliver(name);
    });
}

}  // namespace pavonix
