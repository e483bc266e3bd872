// Test support: the calling thread as the main thread for one test, and a main queue left empty
// at its end, so that no work posted during one test runs in the next. Not linked into the program.
#pragma once

#include <cstddef>

#include "platform/dispatch/dispatch.h"

namespace pavonix::testing {

// Drains the main queue until a drain finds it empty (work may post more work), at most `rounds`
// times; returns how many items ran. Does nothing off the main thread.
inline std::size_t settleMainQueue(int rounds = 50) {
    if (!dispatch::isMainThread()) return 0;
    std::size_t ran = 0;
    for (int i = 0; i < rounds; ++i) {
        const std::size_t n = dispatch::drainMainQueue();
        if (n == 0) break;
        ran += n;
    }
    return ran;
}

// Declared after the objects whose work goes through the main queue, it settles while they exist.
class MainQueueScope {
public:
    MainQueueScope() { dispatch::setMainThread(); }
    ~MainQueueScope() { settleMainQueue(); }
    MainQueueScope(const MainQueueScope&) = delete;
    MainQueueScope& operator=(const MainQueueScope&) = delete;
};

}  // namespace pavonix::testing
