#include "osc/osc_time_tag.h"

#include <cmath>

#include "osc/osc_encoding.h"

namespace pavonix::osc {

namespace {
constexpr double kSecondsFrom1900To1970 = 2208988800.0;
constexpr double kFractionUnit = 4294967295.0;
}  // namespace

std::optional<OSCTimeTag> OSCTimeTag::fromData(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != 8) return std::nullopt;
    return OSCTimeTag(readUInt32(bytes.data()), readUInt32(bytes.data() + 4));
}

OSCTimeTag OSCTimeTag::fromDate(OSCDate date) {
    const double t = date.time_since_epoch().count() + kSecondsFrom1900To1970;
    if (!std::isfinite(t) || t < 0) return OSCTimeTag(0, 0);
    const double whole = std::trunc(t);
    // Reduce in doubles first: converting a value of 2^64 or more to an integer is undefined.
    const auto seconds = static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::fmod(whole, 4294967296.0)));
    const auto fraction = static_cast<std::uint32_t>((t - whole) * kFractionUnit);
    return OSCTimeTag(seconds, fraction);
}

OSCDate OSCTimeTag::date() const {
    const double sinceUnixEpoch = -kSecondsFrom1900To1970 + seconds_ + fraction_ / kFractionUnit;
    return OSCDate(std::chrono::duration<double>(sinceUnixEpoch));
}

std::string OSCTimeTag::hex() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(16);
    for (std::uint8_t byte : data()) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0xF]);
    }
    return text;
}

std::array<std::uint8_t, 8> OSCTimeTag::data() const {
    std::array<std::uint8_t, 8> bytes{};
    writeUInt32(bytes.data(), seconds_);
    writeUInt32(bytes.data() + 4, fraction_);
    return bytes;
}

}  // namespace pavonix::osc
