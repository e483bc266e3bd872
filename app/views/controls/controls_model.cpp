#include "app/views/controls/controls_model.h"

#include <exception>
#include <utility>

#include "app/model/lanternpost_model.h"
#include "platform/dispatch/dispatch.h"

namespace pavonix {

namespace {

constexpr std::string_view unreadableHealth = "The remote Pavonix returned an unreadable response.";
constexpr std::string_view noRemoteClient = "Remote devices are not available in this build.";

class LanternpostControlsModel final : public ControlsModel {
public:
    explicit LanternpostControlsModel(std::shared_ptr<LanternpostModel> model) : model_(std::move(model)) {}

    ObservableValue<bool>& presentationApplicationRunning() override { return model_->presentationApplicationRunning; }
    ObservableValue<std::vector<PresentationWindowTarget>>& googleSlidesWindowTargets() override {
        return model_->googleSlidesWindowTargets;
    }
    ObservableValue<std::optional<CommandLogEntry>>& lastCommand() override { return model_->lastCommand; }
    ObservableValue<StorageNotices>& storageNotices() override { return model_->storageNotices.standing; }

    void refreshStatus() override { model_->refreshStatus(); }
    CommandResult execute(const PresentationCommand& command, CommandSource source) override {
        return model_->execute(command, source);
    }
    void sendRemoteCommand(const PresentationCommand& command, const RemoteLanternpostTarget& target) override {
        model_->sendRemoteCommand(command, target, nullptr);
    }
    void fetchRemoteSlides(const RemoteLanternpostTarget& target,
                           std::function<void(SlideListResult)> completion) override {
        model_->fetchRemoteSlides(target, std::move(completion));
    }
    void checkHealth(const RemoteLanternpostTarget& target, std::function<void(RemoteHealthReply)> completion) override {
        // The client may answer on any thread; the view hears of it on the main thread, later.
        auto finish = [completion = std::move(completion)](RemoteHealthReply reply) {
            dispatch::MainExecutor::post([completion, reply = std::move(reply)] { completion(reply); });
        };
        const auto& client = model_->remoteClient();
        if (!client) {
            finish(std::string(noRemoteClient));
            return;
        }
        client->sendSigned("/health", "GET", {}, target, [finish](RemoteReply reply) {
            if (auto* error = std::get_if<std::string>(&reply)) {
                finish(*error);
                return;
            }
            try {
                finish(std::get<Json>(reply).get<RemoteLanternpostHealth>());
            } catch (const std::exception&) {
                finish(std::string(unreadableHealth));
            }
        });
    }
    SlideListResult listSlides(PresentationProvider provider) override {
        // The model lists the slides of the stored provider. A load captured for another provider
        // is dropped by its caller anyway (its target key no longer matches), so no controller is
        // asked about an application that is no longer the target.
        if (model_->currentPresentationProvider() != provider) return {ResultStatus::failed, "", {}};
        return model_->slideList();
    }
    void relistWindows() override { model_->googleSlidesWindowList(); }
    void selectGoogleSlidesWindow(std::int64_t windowID) override { model_->selectGoogleSlidesWindow(windowID); }
    void updateRemoteTargetAddress(const std::string& id, const std::string& host, std::int64_t port) override {
        model_->updateRemoteTargetAddress(id, host, port);
    }

private:
    std::shared_ptr<LanternpostModel> model_;
};

}  // namespace

std::unique_ptr<ControlsModel> makeControlsModel(const std::shared_ptr<LanternpostModel>& model) {
    return std::make_unique<LanternpostControlsModel>(model);
}

}  // namespace pavonix
