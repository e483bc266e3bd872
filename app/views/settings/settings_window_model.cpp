#include "app/views/settings/settings_window_model.h"

#include <utility>

#include "app/core/keychain.h"
#include "app/model/lanternpost_model.h"

namespace pavonix {

namespace {

class LanternpostSettingsWindowModel final : public SettingsWindowModel {
public:
    explicit LanternpostSettingsWindowModel(std::shared_ptr<LanternpostModel> model) : model_(std::move(model)) {}

    ObservableValue<std::vector<network::NetworkInterfaceAddress>>& availableInterfaces() override {
        return model_->availableInterfaces;
    }
    ObservableValue<BridgeServerStatus>& oscStatus() override { return model_->oscStatus; }
    ObservableValue<BridgeServerStatus>& httpStatus() override { return model_->httpStatus; }
    ObservableValue<BridgeServerStatus>& bluetoothStatus() override { return model_->bluetoothStatus; }
    ObservableValue<StorageNotices>& storageNotices() override { return model_->storageNotices.standing; }

    void rescanInterfaces() override { model_->rescanInterfaces(); }
    void restartOSCServer() override { model_->restartOSCServer(); }
    void restartHTTPServer() override { model_->restartHTTPServer(); }
    void restartBluetoothServer() override { model_->restartBluetoothServer(); }
    void refreshStatus() override { model_->refreshStatus(); }
    void ensureListenAddressSelection() override { model_->ensureListenAddressSelection(); }

    std::string defaultPavonixName() const override { return LanternpostModel::defaultPavonixName(); }
    std::string keychainName() const override { return keychainBackendName(); }

private:
    std::shared_ptr<LanternpostModel> model_;
};

}  // namespace

std::unique_ptr<SettingsWindowModel> makeSettingsWindowModel(const std::shared_ptr<LanternpostModel>& model) {
    return std::make_unique<LanternpostSettingsWindowModel>(model);
}

}  // namespace pavonix
