// What the main window's views need of the application model, behind one narrow interface so
// that their state classes run in tests against a fake model and a test main queue.
//
// Everything here runs on the main thread; completions are called on the main thread, later,
// never from inside the call that started the work.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/control/presentation_window_target.h"
#include "app/core/pairing_records.h"
#include "app/core/presentation_command.h"
#include "app/core/presentation_provider.h"
#include "app/core/slide_list_result.h"
#include "app/model/observable_value.h"
#include "app/model/storage_notices.h"

namespace pavonix {

class LanternpostModel;

// A health answer, or the description of whatever failed.
using RemoteHealthReply = std::variant<RemoteLanternpostHealth, std::string>;

class ControlsModel {
public:
    virtual ~ControlsModel() = default;

    virtual ObservableValue<bool>& presentationApplicationRunning() = 0;
    virtual ObservableValue<std::vector<PresentationWindowTarget>>& googleSlidesWindowTargets() = 0;
    virtual ObservableValue<std::optional<CommandLogEntry>>& lastCommand() = 0;
    // What stands wrong with the settings file and the pairing secrets; shown above the result
    // line for as long as it stands.
    virtual ObservableValue<StorageNotices>& storageNotices() = 0;

    virtual void refreshStatus() = 0;
    virtual CommandResult execute(const PresentationCommand& command, CommandSource source) = 0;
    virtual void sendRemoteCommand(const PresentationCommand& command, const RemoteLanternpostTarget& target) = 0;
    virtual void fetchRemoteSlides(const RemoteLanternpostTarget& target,
                                   std::function<void(SlideListResult)> completion) = 0;
    // A signed GET "/health" on the target.
    virtual void checkHealth(const RemoteLanternpostTarget& target, std::function<void(RemoteHealthReply)> completion) = 0;
    // The slides of a local provider, from its controller (blocks while the application answers).
    virtual SlideListResult listSlides(PresentationProvider provider) = 0;
    // Lists the open windows afresh into googleSlidesWindowTargets.
    virtual void relistWindows() = 0;
    virtual void selectGoogleSlidesWindow(std::int64_t windowID) = 0;
    virtual void updateRemoteTargetAddress(const std::string& id, const std::string& host, std::int64_t port) = 0;
};

// The application model behind ControlsModel; keeps the model alive while it lives.
std::unique_ptr<ControlsModel> makeControlsModel(const std::shared_ptr<LanternpostModel>& model);

}  // namespace pavonix
