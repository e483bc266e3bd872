#include "osc/osc_address_space.h"

#include <algorithm>

namespace pavonix::osc {

OSCAddressMethod::OSCAddressMethod(std::string address,
                                   std::function<void(const std::shared_ptr<OSCMessage>&)> completion)
    : addressPattern(std::move(address)), parts(oscAddressParts(addressPattern)), completion(std::move(completion)) {}

OSCAddressPatternMatch OSCAddressMethod::match(std::string_view part, std::ptrdiff_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= parts.size()) return OSCAddressPatternMatch::different;
    const std::string& own = parts[static_cast<std::size_t>(index)];
    if (own == part) return OSCAddressPatternMatch::string;
    if (own == "*") return OSCAddressPatternMatch::wildcard;
    return OSCAddressPatternMatch::different;
}

std::vector<const OSCAddressMethod*> OSCAddressSpace::matches(std::string_view address,
                                                              OSCAddressSpaceMatchPriority priority) const {
    struct Candidate {
        const OSCAddressMethod* method;
        int strings = 0;
        int wildcards = 0;
    };
    const std::vector<std::string> parts = oscAddressParts(address);
    std::vector<Candidate> candidates;
    for (const OSCAddressMethod& method : methods) {
        if (method.parts.size() == parts.size()) candidates.push_back({&method});
    }
    std::erase_if(candidates, [&](Candidate& candidate) {
        for (std::size_t i = 0; i < parts.size(); ++i) {
            switch (candidate.method->match(parts[i], static_cast<std::ptrdiff_t>(i))) {
                case OSCAddressPatternMatch::string: ++candidate.strings; break;
                case OSCAddressPatternMatch::wildcard: ++candidate.wildcards; break;
                case OSCAddressPatternMatch::different: return true;
            }
        }
        return false;
    });

    std::vector<const OSCAddressMethod*> selected;
    if (candidates.empty()) return selected;
    if (priority == OSCAddressSpaceMatchPriority::none) {
        for (const Candidate& candidate : candidates) selected.push_back(candidate.method);
        return selected;
    }
    // Ties go to the first candidate in address order.
    const auto best = std::max_element(candidates.begin(), candidates.end(), [&](const Candidate& a, const Candidate& b) {
        return priority == OSCAddressSpaceMatchPriority::string ? a.strings < b.strings : a.wildcards < b.wildcards;
    });
    selected.push_back(best->method);
    return selected;
}

bool OSCAddressSpace::complete(const std::shared_ptr<OSCMessage>& message,
                               OSCAddressSpaceMatchPriority priority) const {
    const auto selected = matches(message->addressPattern(), priority);
    for (const OSCAddressMethod* method : selected) {
        if (method->completion) method->completion(message);
    }
    return !selected.empty();
}

}  // namespace pavonix::osc
