#include "app/http/http_routes.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "app/core/command_router.h"
#include "app/core/json_coding.h"
#include "app/core/text.h"
#include "app/http/control_page.h"

namespace pavonix::http {

namespace {

using namespace std::string_view_literals;

constexpr std::array kControlPagePaths = {"/"sv, "/keynote"sv, "/keynote/"sv, "/index.html"sv};
constexpr std::array kHealthPaths = {"/health"sv, "/keynote/health"sv};
constexpr std::array kSlidesPaths = {"/slides"sv, "/keynote/slides"sv};
constexpr std::array kWindowListPaths = {"/windows"sv, "/google-slides/windows"sv};
constexpr std::array kWindowSelectionPaths = {"/windows/select"sv, "/google-slides/windows/select"sv};
constexpr std::array kProviderSelectionPaths = {"/presentation/provider/select"sv, "/provider/select"sv};


template <std::size_t N>
bool isIn(const std::array<std::string_view, N>& list, std::string_view path) {
    return std::find(list.begin(), list.end(), path) != list.end();
}

std::string_view bodyText(const HTTPRequest& request) {
    return {reinterpret_cast<const char*>(request.body.data()), request.body.size()};
}

std::optional<Json> bodyObject(const HTTPRequest& request) {
    if (request.body.empty()) return std::nullopt;
    auto json = parseJSON(bodyText(request));
    if (!json || !json->is_object()) return std::nullopt;
    return json;
}

RouteDecision windowSelection(const HTTPRequest& request) {
    const auto missing = [] { return errorReply(HTTPStatus::badRequest(), "Missing required parameter: windowID"); };
    const auto object = bodyObject(request);
    if (!object) return missing();
    const auto member = object->find("windowID");
    if (member == object->end() || member->is_null()) return missing();
    const auto windowID = json_field::integerValue(*member);
    if (!windowID) return missing();
    if (*windowID < 0) return errorReply(HTTPStatus::badRequest(), "Invalid parameter: windowID");
    HandlerWork work{HandlerWork::Route::windowSelection};
    work.windowID = *windowID;
    return work;
}

RouteDecision providerSelection(const HTTPRequest& request) {
    const auto missing = [] { return errorReply(HTTPStatus::badRequest(), "Missing required parameter: provider"); };
    const auto object = bodyObject(request);
    if (!object) return missing();
    const auto member = object->find("provider");
    if (member == object->end() || !member->is_string()) return missing();
    const auto provider = presentationProviderFromRawValue(member->get_ref<const std::string&>());
    if (!provider) return missing();
    HandlerWork work{HandlerWork::Route::providerSelection};
    work.provider = *provider;
    return work;
}

HTTPStatus statusFor(CommandRouteError::Kind kind) {
    switch (kind) {
        case CommandRouteError::Kind::unknownRoute: return HTTPStatus::notFound();
        case CommandRouteError::Kind::methodNotAllowed: return HTTPStatus::methodNotAllowed();
        case CommandRouteError::Kind::missingParameter:
        case CommandRouteError::Kind::invalidParameter:
        case CommandRouteError::Kind::invalidJSON: return HTTPStatus::badRequest();
    }
    return HTTPStatus::badRequest();
}

}  // namespace

bool isControlPageRequest(const HTTPRequest& request) {
    return asciiUppercased(request.method) == "GET" && isIn(kControlPagePaths, CommandRouter::routePath(request.path));
}

RouteDecision routeRequest(const HTTPRequest& request) {
    const std::string method = asciiUppercased(request.method);
    const std::string path = CommandRouter::routePath(request.path);

    if (method == "GET") {
        if (isIn(kControlPagePaths, path)) return HandlerWork{HandlerWork::Route::controlPage};
        if (isIn(kHealthPaths, path)) return HandlerWork{HandlerWork::Route::health};
        if (isIn(kSlidesPaths, path)) return HandlerWork{HandlerWork::Route::slides};
        if (isIn(kWindowListPaths, path)) return HandlerWork{HandlerWork::Route::windowList};
    }
    if (method == "POST" && isIn(kWindowSelectionPaths, path)) return windowSelection(request);
    if (method == "POST" && isIn(kProviderSelectionPaths, path)) return providerSelection(request);

    try {
        HandlerWork work{HandlerWork::Route::command};
        work.command = CommandRouter::command(request.method, request.path, request.body);
        return work;
    } catch (const CommandRouteError& error) {
        return errorReply(statusFor(error.kind()), error.description());
    }
}

HTTPReply unauthorizedReply(const HTTPRequest& request) {
    if (isControlPageRequest(request)) return htmlReply(HTTPStatus::unauthorized(), unauthorizedPageHTML());
    return errorReply(HTTPStatus::unauthorized(), "Authentication required.");
}

HTTPReply performHandlerWork(const HandlerWork& work, const HTTPBridgeHandlers& handlers) {
    // The handlers belong to the model and do not throw; should one do so anyway (or be missing),
    // the client still gets a well-formed answer and the main thread goes on.
    try {
        switch (work.route) {
            case HandlerWork::Route::controlPage: {
                const auto provider = handlers.presentationProvider();
                const std::string page = handlers.controlPage ? handlers.controlPage(provider) : controlPageHTML(provider);
                return htmlReply(HTTPStatus::ok(), page);
            }
            case HandlerWork::Route::health:
                return healthReply(handlers.presentationProvider());
            case HandlerWork::Route::slides:
                return jsonReply(HTTPStatus::ok(), Json(handlers.slideList()));
            case HandlerWork::Route::windowList:
                if (handlers.presentationProvider() != PresentationProvider::googleSlides) {
                    return errorReply(HTTPStatus::notFound(), googleSlidesOnlyMessage);
                }
                return jsonReply(HTTPStatus::ok(), Json(handlers.windowList()));
            case HandlerWork::Route::windowSelection:
                if (handlers.presentationProvider() != PresentationProvider::googleSlides) {
                    return errorReply(HTTPStatus::notFound(), googleSlidesOnlyMessage);
                }
                return jsonReply(HTTPStatus::ok(), Json(handlers.windowSelection(work.windowID)));
            case HandlerWork::Route::providerSelection:
                return jsonReply(HTTPStatus::ok(), Json(handlers.presentationProviderSelection(work.provider)));
            case HandlerWork::Route::command:
                return jsonReply(HTTPStatus::ok(), Json(handlers.command(*work.command)));
        }
    } catch (const std::exception&) {
    }
    return jsonReply(HTTPStatus::ok(), Json{{"status", "failed"}, {"message", std::string(pavonixUnavailableMessage)}});
}

}  // namespace pavonix::http
