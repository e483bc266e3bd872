// Test support shared by views_test: one step that runs whatever the main queue and Qt still have
// to do, and a ControlsModel that records what the views ask of it and holds every asynchronous
// answer until the test gives it, over scratch settings.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include "app/settings/settings_keys.h"
#include "app/views/controls_model.h"
#include "platform/dispatch/dispatch.h"
#include "settings_store/testing/temporary_settings.h"

namespace pavonix::testing {

// Runs queued main-queue work and Qt events, deferred deletions included, until both are idle.
inline void settle() {
    for (int i = 0; i < 50; ++i) {
        QApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (dispatch::drainMainQueue() == 0) break;
    }
    QApplication::processEvents();
}

struct FakeModel : ControlsModel {
    ObservableValue<bool> running{true};
    ObservableValue<std::vector<PresentationWindowTarget>> windows;
    ObservableValue<std::optional<CommandLogEntry>> last;
    SettingsStore* store = nullptr;

    std::vector<std::string> log;  // the calls, in order
    std::vector<PresentationCommand> executed;
    std::vector<std::pair<PresentationCommand, std::string>> remoteSent;
    std::vector<std::pair<std::string, std::function<void(SlideListResult)>>> slideFetches;
    std::vector<std::pair<std::string, std::function<void(RemoteHealthReply)>>> healthChecks;
    std::map<PresentationProvider, SlideListResult> localSlides;
    std::vector<PresentationWindowTarget> openWindows;

    ObservableValue<bool>& presentationApplicationRunning() override { return running; }
    ObservableValue<std::vector<PresentationWindowTarget>>& googleSlidesWindowTargets() override { return windows; }
    ObservableValue<std::optional<CommandLogEntry>>& lastCommand() override { return last; }
    void refreshStatus() override { log.push_back("refreshStatus"); }
    CommandResult execute(const PresentationCommand& command, CommandSource source) override {
        executed.push_back(command);
        auto result = CommandResult::ok(command, "done");
        last.set(CommandLogEntry{source, result, {}});
        return result;
    }
    void sendRemoteCommand(const PresentationCommand& command, const RemoteLanternpostTarget& target) override {
        remoteSent.emplace_back(command, target.id);
    }
    void fetchRemoteSlides(const RemoteLanternpostTarget& target, std::function<void(SlideListResult)> done) override {
        slideFetches.emplace_back(target.id, std::move(done));
    }
    void checkHealth(const RemoteLanternpostTarget& target, std::function<void(RemoteHealthReply)> done) override {
        healthChecks.emplace_back(target.host + ":" + std::to_string(target.port), std::move(done));
    }
    SlideListResult listSlides(PresentationProvider provider) override {
        log.push_back("listSlides:" + std::string(rawValue(provider)));
        return localSlides[provider];
    }
    void relistWindows() override {
        log.push_back("relistWindows");
        windows.set(openWindows);
    }
    void selectGoogleSlidesWindow(std::int64_t windowID) override {
        for (const auto& window : openWindows) {
            if (window.windowID == windowID) store->setValue(settings::googleSlidesWindowID, windowID);
        }
    }
    void updateRemoteTargetAddress(const std::string& id, const std::string& host, std::int64_t port) override {
        auto targets = store->value(settings::remoteLanternpostTargets);
        for (auto& target : targets) {
            if (target.id == id) {
                target.host = host;
                target.port = port;
            }
        }
        store->setValue(settings::remoteLanternpostTargets, targets);
    }
};

// Shows a window and makes it the active one, as a user's click would.
inline void showActive(QWidget& window) {
    window.show();
    QApplication::setActiveWindow(&window);
    EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    settle();
}

// Scratch settings; what the queues still hold runs after a derived fixture's members are gone.
class SettingsTest : public ::testing::Test {
protected:
    ~SettingsTest() override { settle(); }
    SettingsStore& store() { return settings_.store(); }

    TemporarySettings settings_;
};

// And a fake model over them, for the fixtures of the main window's views.
class ViewsTest : public SettingsTest {
protected:
    ViewsTest() { model_.store = &store(); }
    void setRunning(bool running) {
        model_.running.set(running);
        settle();
    }

    FakeModel model_;
};

inline SlideListResult slidesOK(std::vector<SlideSummary> slides) { return {ResultStatus::ok, "", std::move(slides)}; }

inline RemoteLanternpostTarget remote(std::string id, std::string name, std::string host = "10.0.0.2", std::int64_t port = 8090) {
    return {std::move(id), std::move(name), std::move(host), port, "lpp_x", Date{}, RemoteLanternpostTransport::http, std::nullopt};
}

inline PresentationWindowTarget window(std::int64_t id, std::string owner, std::string title) {
    return {id, 0, std::move(owner), "", std::move(title), ""};
}

}  // namespace pavonix::testing
