// An OSC time tag: NTP seconds since 1900 and a fraction of a second, with the "immediate" tag
// (seconds 0, fraction 1) that asks for a message to run on arrival.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace pavonix::osc {

// A point in time with the sub-nanosecond precision that the fraction can express.
using OSCDate = std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

class OSCTimeTag {
public:
    // The immediate tag.
    OSCTimeTag() = default;

    // Exactly 8 bytes (seconds then fraction, big-endian), or nothing.
    static std::optional<OSCTimeTag> fromData(std::span<const std::uint8_t> bytes);
    // Dates from 2036-02-07 06:28:16 UTC on wrap around like NTP's era counter. A date before
    // 1900 or one that is not finite gives the tag 0.0 rather than an undefined conversion.
    static OSCTimeTag fromDate(OSCDate date);

    bool immediate() const { return seconds_ == 0 && fraction_ == 1; }
    OSCDate date() const;
    // 16 upper-case hexadecimal digits, seconds first.
    std::string hex() const;
    std::array<std::uint8_t, 8> data() const;

    friend bool operator==(const OSCTimeTag&, const OSCTimeTag&) = default;

private:
    OSCTimeTag(std::uint32_t seconds, std::uint32_t fraction) : seconds_(seconds), fraction_(fraction) {}

    std::uint32_t seconds_ = 0;
    // In units of 1/4294967295 s, not 1/2^32: peers built on the same convention read it back
    // unchanged.
    std::uint32_t fraction_ = 1;
};

}  // namespace pavonix::osc
