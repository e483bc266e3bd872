// Slides as a presentation controller lists them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/core/json_coding.h"
#include "app/core/presentation_command.h"

namespace pavonix {

struct SlideSummary {
    std::int64_t number = 0;  // its number in the presentation; also its identity in lists
    std::string name;
    std::string notes;
    bool hasExplicitName = false;

    std::int64_t id() const { return number; }
    friend bool operator==(const SlideSummary&, const SlideSummary&) = default;
};

struct SlideListResult {
    ResultStatus status = ResultStatus::failed;
    std::string message;
    std::vector<SlideSummary> slides;

    friend bool operator==(const SlideListResult&, const SlideListResult&) = default;
};

void to_json(Json& json, const SlideSummary& slide);
void from_json(const Json& json, SlideSummary& slide);
void to_json(Json& json, const SlideListResult& result);
void from_json(const Json& json, SlideListResult& result);

}  // namespace pavonix
