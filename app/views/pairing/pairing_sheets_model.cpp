#include "app/views/pairing/pairing_sheets_model.h"

#include <utility>

#include "app/model/lanternpost_model.h"

namespace pavonix {

namespace {

class LanternpostPairingSheetsModel final : public PairingSheetsModel {
public:
    explicit LanternpostPairingSheetsModel(std::shared_ptr<LanternpostModel> model) : model_(std::move(model)) {}

    ObservableValue<std::vector<network::NetworkInterfaceAddress>>& availableInterfaces() override {
        return model_->availableInterfaces;
    }
    std::string effectivePavonixName() const override { return model_->effectivePavonixName(); }

    void addHTTPPairing(const std::string& name, HTTPPairingDone done) override {
        model_->addHTTPPairing(name, std::move(done));
    }
    void removeHTTPPairing(const std::string& pairID) override { model_->removeHTTPPairing(pairID); }

    void removeBluetoothPairedDevice(const std::string& pairID) override { model_->removeBluetoothPairedDevice(pairID); }
    void deleteBluetoothSecret(const std::string& pairID) override { model_->deleteBluetoothSecret(pairID); }
    void restartBluetoothServer() override { model_->restartBluetoothServer(); }

    RemoteLanternpostTarget addRemoteTarget(const std::string& setupURL, const std::string& name) override {
        return model_->addRemoteTarget(setupURL, name);
    }
    void removeRemoteTarget(const std::string& id) override { model_->removeRemoteTarget(id); }

private:
    std::shared_ptr<LanternpostModel> model_;
};

}  // namespace

std::unique_ptr<PairingSheetsModel> makePairingSheetsModel(const std::shared_ptr<LanternpostModel>& model) {
    return std::make_unique<LanternpostPairingSheetsModel>(model);
}

}  // namespace pavonix
