// A small notification centre, one per program (app/main.cpp makes it): named notifications posted by one part of the
// program (the Control menu) and heard by others (the controls view), without either knowing the
// other. Observers are told on the main thread: synchronously when posted there, otherwise as a
// main-queue task.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pavonix {

// Posted by the Control menu's "Refresh Slide Names"; the controls view reloads its slide list.
inline constexpr std::string_view refreshSlideNamesNotification = "Lanternpost.refreshSlideNames";

class NotificationCenter {
public:
    // Ends its observation when destroyed; destroy it on the main thread.
    class Token {
    public:
        Token() = default;
        Token(Token&&) noexcept = default;
        Token& operator=(Token&& other) noexcept;
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        ~Token() { cancel(); }
        void cancel();

    private:
        friend class NotificationCenter;
        Token(std::weak_ptr<void> registry, std::uint64_t id) : registry_(std::move(registry)), id_(id) {}
        std::weak_ptr<void> registry_;
        std::uint64_t id_ = 0;
    };

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    [[nodiscard]] Token addObserver(std::string_view name, std::function<void()> handler);
    // From any thread.
    void post(std::string_view name);

private:
    struct Registry;
    std::shared_ptr<Registry> registry_;
};

}  // namespace pavonix
