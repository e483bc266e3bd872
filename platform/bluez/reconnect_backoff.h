// How long to wait before trying again to reach a bus that went away: the first delay, then twice
// the one before each time, never more than the longest. A bus that is down for good then costs
// one attempt per longest delay; one that comes back is found again within about the time it was
// gone.
#pragma once

#include <algorithm>
#include <chrono>

namespace pavonix::bluez {

class ReconnectBackoff {
public:
    using Delay = std::chrono::milliseconds;

    // A first delay under a millisecond would retry a dead bus in a busy loop.
    ReconnectBackoff(Delay first, Delay longest)
        : first_(std::max(first, Delay(1))), longest_(std::max(first_, longest)), next_(first_) {}

    // The delay before the next attempt; each call doubles the one after it.
    Delay next() {
        const Delay delay = next_;
        next_ = next_ >= longest_ / 2 ? longest_ : next_ * 2;
        return delay;
    }

    // After an attempt that worked, the next loss starts over from the first delay.
    void reset() { next_ = first_; }

private:
    Delay first_;
    Delay longest_;
    Delay next_;
};

}  // namespace pavonix::bluez
