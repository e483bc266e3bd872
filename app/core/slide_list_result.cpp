#include "app/core/slide_list_result.h"

namespace pavonix {

using namespace json_field;

void to_json(Json& json, const SlideSummary& slide) {
    json = Json::object();
    json["number"] = slide.number;
    json["name"] = slide.name;
    json["notes"] = slide.notes;
    json["hasExplicitName"] = slide.hasExplicitName;
}

void from_json(const Json& json, SlideSummary& slide) {
    requireObject(json, "SlideSummary");
    slide.number = requireInteger(json, "number");
    slide.name = requireString(json, "name");
    slide.notes = requireString(json, "notes");
    slide.hasExplicitName = requireBool(json, "hasExplicitName");
}

void to_json(Json& json, const SlideListResult& result) {
    json = Json::object();
    json["status"] = result.status;
    json["message"] = result.message;
    json["slides"] = result.slides;
}

void from_json(const Json& json, SlideListResult& result) {
    requireObject(json, "SlideListResult");
    result.status = require(json, "status").get<ResultStatus>();
    result.message = requireString(json, "message");
    result.slides = requireArray<SlideSummary>(json, "slides");
}

}  // namespace pavonix
