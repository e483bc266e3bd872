// Registered OSC methods and the matching of a message's address against them, part by part,
// where a registered part "*" stands for any one part.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "osc/osc_message.h"

namespace pavonix::osc {

enum class OSCAddressPatternMatch { string, different, wildcard };

// string: the candidate with the most exactly equal parts; wildcard: the one with the most "*"
// parts; none: every candidate.
enum class OSCAddressSpaceMatchPriority { string, wildcard, none };

struct OSCAddressMethod {
    OSCAddressMethod(std::string address, std::function<void(const std::shared_ptr<OSCMessage>&)> completion);

    // How a part of an incoming address compares with this method's part at index.
    OSCAddressPatternMatch match(std::string_view part, std::ptrdiff_t index) const;

    std::string addressPattern;
    std::vector<std::string> parts;
    std::function<void(const std::shared_ptr<OSCMessage>&)> completion;

    // A method is known by its address alone: a space holds at most one per address text.
    friend bool operator<(const OSCAddressMethod& a, const OSCAddressMethod& b) {
        return a.addressPattern < b.addressPattern;
    }
};

class OSCAddressSpace {
public:
    explicit OSCAddressSpace(std::set<OSCAddressMethod> methods = {}) : methods(std::move(methods)) {}

    // Calls the completion of each selected method once, in address order; false when none matched.
    bool complete(const std::shared_ptr<OSCMessage>& message, OSCAddressSpaceMatchPriority priority) const;
    // The methods that complete() would call.
    std::vector<const OSCAddressMethod*> matches(std::string_view address, OSCAddressSpaceMatchPriority priority) const;

    std::set<OSCAddressMethod> methods;
};

}  // namespace pavonix::osc
