// What the HTTP server does with a complete request: the route table, the body checks of the two
// selection routes, the command routes, and the replies. Pure functions; the server decides
// authentication and threads.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "app/core/presentation_command.h"
#include "app/core/presentation_provider.h"
#include "app/core/presentation_window_results.h"
#include "app/core/slide_list_result.h"
#include "app/http/http_reply.h"
#include "app/http/http_request.h"

namespace pavonix::http {

// The model's side of the server. Each runs on the main thread and must stay callable after the
// model behind it is gone (it then answers a failed result).
struct HTTPBridgeHandlers {
    std::function<CommandResult(const PresentationCommand&)> command;
    std::function<SlideListResult()> slideList;
    std::function<PresentationWindowListResult()> windowList;
    std::function<PresentationWindowSelectionResult(std::int64_t windowID)> windowSelection;
    std::function<PresentationProvider()> presentationProvider;
    std::function<PresentationProviderSelectionResult(PresentationProvider)> presentationProviderSelection;
    // The control page for a provider; the built-in page when not set.
    std::function<std::string(PresentationProvider)> controlPage;
};

// A route that needs the model, with its argument.
struct HandlerWork {
    enum class Route { controlPage, health, slides, windowList, windowSelection, providerSelection, command };
    explicit HandlerWork(Route which) : route(which) {}

    Route route;
    std::optional<PresentationCommand> command;
    std::int64_t windowID = 0;
    PresentationProvider provider = PresentationProvider::keynote;
};

// Either the reply, when no handler is needed, or the work for the main thread.
using RouteDecision = std::variant<HTTPReply, HandlerWork>;

// Routes an accepted request. Method compared upper-cased, path by its percent-decoded path
// component (query and fragment dropped); everything that is no fixed route goes to the command
// router with the target as received.
RouteDecision routeRequest(const HTTPRequest& request);

// GET (in any case) for a control-page path.
bool isControlPageRequest(const HTTPRequest& request);

// The reply to a request that authentication refused: the HTML page for GET on a control-page
// path, else the JSON "Authentication required.".
HTTPReply unauthorizedReply(const HTTPRequest& request);

// Runs the work's handlers and builds the reply. On the main thread.
HTTPReply performHandlerWork(const HandlerWork& work, const HTTPBridgeHandlers& handlers);

}  // namespace pavonix::http
