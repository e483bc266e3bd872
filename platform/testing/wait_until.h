// Test support: waiting for a condition that another thread makes true, with a bound so a broken
// build fails instead of hanging. Work that runs on the main queue is waited for with
// dispatch::runMainQueue instead, which also drains that queue.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace pavonix::testing {

// Checks `done` about every `step` until it holds or `timeout` has passed; returns whether it held.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5),
                      std::chrono::milliseconds step = std::chrono::milliseconds(1)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace pavonix::testing
