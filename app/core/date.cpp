#include "app/core/date.h"

#include <cmath>

namespace pavonix {

using std::chrono::microseconds;

Date dateNow() {
    return std::chrono::time_point_cast<microseconds>(std::chrono::system_clock::now());
}

double secondsSinceReferenceDate(Date date) {
    const auto us = std::chrono::duration_cast<microseconds>(date.time_since_epoch()).count();
    return static_cast<double>(us) / 1e6 - referenceDateOffsetSeconds;
}

bool dateFromSecondsSinceReferenceDate(double seconds, Date& out) {
    // The clock counts nanoseconds in 64 bits: about +-292 years around 1970.
    constexpr double limit = 9.0e9;
    if (!std::isfinite(seconds) || std::fabs(seconds) > limit ||
        std::fabs(seconds + referenceDateOffsetSeconds) > limit) {
        return false;
    }
    const double us = std::round((seconds + referenceDateOffsetSeconds) * 1e6);
    out = Date(std::chrono::duration_cast<Date::duration>(microseconds(static_cast<long long>(us))));
    return true;
}

long long unixSeconds(Date date) {
    return std::chrono::duration_cast<std::chrono::seconds>(date.time_since_epoch()).count();
}

}  // namespace pavonix
