// Test support for the model's tests: the model over the real controllers (Google Slides over a
// recording window system), the real pairing stores, target store and keychain calls on an
// in-memory keychain, fake servers, a fake clock and scratch settings. Not linked into the program.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/bluetooth/bluetooth_pairing_store.h"
#include "app/control/google_slides_controller.h"
#include "app/control/keynote_controller.h"
#include "app/control/power_point_controller.h"
#include "app/model/lanternpost_model.h"
#include "app/settings/settings_keys.h"
#include "platform/keychain/memory_store.h"
#include "platform/x11/testing/recording_window_system.h"
#include "settings_store/testing/temporary_settings.h"

namespace pavonix::testing {

// A server that starts (or throws `startError`) and remembers that it was stopped.
struct FakeServer : BridgeServerHandle {
    FakeServer(std::uint64_t id, std::string startError) : serverID(id), startError(std::move(startError)) {}
    std::uint64_t id() const override { return serverID; }
    void start() override {
        if (!startError.empty()) throw std::runtime_error(startError);
    }
    void stop() override { stopped = true; }
    std::uint64_t serverID;
    std::string startError;
    bool stopped = false;
};

// Null: a keychain that keeps nothing.
inline void useKeychain(std::shared_ptr<keychain::Store> store) { keychain::setProcessKeychain({std::move(store), nullptr}); }

class ModelTest : public ::testing::Test {
protected:
    // Keynote chosen, as a user who drives a Mac's Keynote through this model would have it: its
    // controller answers without a window system (the default is Google Slides).
    ModelTest() {
        useKeychain(std::make_shared<keychain::MemoryStore>());
        store_.setValue(settings::presentationProvider, PresentationProvider::keynote);
    }
    void TearDown() override {
        model_.reset();
        // Lets late replies from the servers' threads arrive while the settings still exist.
        dispatch::runMainQueue([] { return false; }, std::chrono::milliseconds(20));
        useKeychain(std::make_shared<keychain::MemoryStore>());
    }

    // `adjust` may put real parts in.
    LanternpostModel& start(const std::function<void(LanternpostModelDependencies&)>& adjust = {}) {
        LanternpostModelDependencies deps;
        LanternpostModelDependencies::useSystemNetwork(deps);
        deps.settings = &store_;
        deps.keynote = std::make_shared<KeynoteController>();
        deps.powerPoint = std::make_shared<PowerPointController>();
        deps.googleSlides = std::make_shared<GoogleSlidesController>(
            windowSystem_, [this] { return store_.value(settings::googleSlidesWindowID); });
        deps.availableWindows = [this] { return windows_; };
        deps.scanInterfaces = [this] {
            ++scans_;
            return interfaces_;
        };
        deps.now = [this] { return now_; };
        deps.pollInterval = pollInterval_;
        deps.createBluetoothPairing = [](const std::string& name, Date now) {
            return bluetooth::BluetoothPairingStore().createPairing(name, now);
        };
        deps.makeHTTPServer = fakeServers(httpParts_);
        deps.makeOSCServer = fakeServers(oscParts_);
        deps.makeBluetoothServer = fakeServers(bluetoothParts_);
        if (adjust) adjust(deps);
        model_ = LanternpostModel::make(std::move(deps));
        return *model_;
    }

    // A Google Slides deck open in window `id` and saved as the target.
    void openSavedDeck(x11::WindowId id) {
        x11::WindowInfo deck;
        deck.id = id;
        deck.title = "Deck - Google Slides";
        windowSystem_->setWindows({deck});
        store_.setValue(settings::presentationProvider, PresentationProvider::googleSlides);
        store_.setValue(settings::googleSlidesWindowID, std::int64_t(id));
    }

    // A pairing made through the model as the sheet makes it, waited for: its setup, or the error
    // it ended with, thrown.
    HTTPPairingSetup addHTTPPairing(const std::string& name) {
        auto answer = std::make_shared<std::optional<std::pair<std::optional<HTTPPairingSetup>, std::exception_ptr>>>();
        model_->addHTTPPairing(name, [answer](std::optional<HTTPPairingSetup> setup, std::exception_ptr error) {
            answer->emplace(std::move(setup), error);
        });
        if (!dispatch::runMainQueue([&] { return answer->has_value(); })) throw std::runtime_error("the pairing never ended");
        if ((*answer)->second) std::rethrow_exception((*answer)->second);
        return *(*answer)->first;
    }

    // What the Bluetooth server is handed for a pairing it grants, waited for; `meanwhile` runs
    // while the pair's record is being written.
    static bluetooth::BluetoothPairingOutcome pairingOutcome(const BluetoothBridgeHandlers& handlers,
                                                             const std::function<void()>& meanwhile = {}) {
        auto answer = std::make_shared<std::optional<bluetooth::BluetoothPairingOutcome>>();
        handlers.pairingPayload([answer](bluetooth::BluetoothPairingOutcome outcome) { *answer = std::move(outcome); });
        if (meanwhile) meanwhile();
        if (!dispatch::runMainQueue([&] { return answer->has_value(); })) throw std::runtime_error("the pairing never ended");
        return **answer;
    }
    static auto pairingPayload(const BluetoothBridgeHandlers& handlers) { return pairingOutcome(handlers).payload; }

    // Keeps the parts each server is made with; the servers are numbered from 1 in the order they are made.
    template <class Parts>
    std::function<BridgeServerPtr(Parts)> fakeServers(std::optional<Parts>& made) {
        return [this, &made](Parts parts) {
            made = std::move(parts);
            servers_.push_back(std::make_shared<FakeServer>(servers_.size() + 1, nextStartError_));
            return servers_.back();
        };
    }

    // Settings whose writes fail, as the system call that creates the temporary file would, with
    // writeFault_ as errno while it is not 0; writeAttempts_ counts the writes tried.
    static defaults::Options faultableSettings(std::shared_ptr<std::atomic<int>> fault,
                                               std::shared_ptr<std::atomic<int>> attempts) {
        auto options = testing::TemporarySettings::savedOnFlush();
        options.lockTimeout = std::chrono::milliseconds(300);  // another program's lock is waited for this long
        options.faultHook = [fault, attempts](defaults::WriteStep step) {
            if (step != defaults::WriteStep::createTemporary) return 0;
            ++*attempts;
            return fault->load();
        };
        return options;
    }

    testing::MainQueueScope mainQueue_;
    std::shared_ptr<std::atomic<int>> writeFault_ = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> writeAttempts_ = std::make_shared<std::atomic<int>>(0);
    testing::TemporarySettings settings_{faultableSettings(writeFault_, writeAttempts_)};
    SettingsStore& store_ = settings_.store();
    std::shared_ptr<x11::RecordingWindowSystem> windowSystem_ = std::make_shared<x11::RecordingWindowSystem>();
    std::vector<PresentationWindowTarget> windows_;
    std::vector<network::NetworkInterfaceAddress> interfaces_;
    int scans_ = 0;
    std::string nextStartError_;
    std::vector<std::shared_ptr<FakeServer>> servers_;
    std::optional<HTTPServerParts> httpParts_;
    std::optional<OSCServerParts> oscParts_;
    std::optional<BluetoothServerParts> bluetoothParts_;
    Date now_ = Date(std::chrono::seconds(1'800'000'000));
    std::chrono::milliseconds pollInterval_{std::chrono::hours(1)};
    std::shared_ptr<LanternpostModel> model_;
};

}  // namespace pavonix::testing
