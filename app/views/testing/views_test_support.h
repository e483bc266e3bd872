// Test support shared by the views' tests: one step that runs whatever the main queue and Qt still
// have to do, one fake behind the controls, settings window and pairing sheets models that records
// what the views ask of it and holds every asynchronous answer until the test gives it, over
// scratch settings, and a look at the texts a window shows.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QTextDocument>
#include <QWidget>
#include <gtest/gtest.h>

#include "app/settings/settings_keys.h"
#include "app/views/controls/controls_model.h"
#include "app/views/controls/notification_center.h"
#include "app/views/pairing/pairing_sheets_model.h"
#include "app/views/settings/settings_window_model.h"
#include "app/views/welcome/welcome_permissions_model.h"
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

// Drops the records with that id from the stored list.
template <class T>
void eraseID(SettingsStore& store, const SettingsStore::Key<std::vector<T>>& key, const std::string& id) {
    auto records = store.value(key);
    std::erase_if(records, [&](const T& record) { return record.id == id; });
    store.setValue(key, records);
}

struct FakeModel : ControlsModel, SettingsWindowModel, PairingSheetsModel {
    ObservableValue<bool> running{true};
    ObservableValue<std::vector<PresentationWindowTarget>> windows;
    ObservableValue<std::optional<CommandLogEntry>> last;
    ObservableValue<std::vector<network::NetworkInterfaceAddress>> interfaces;
    ObservableValue<BridgeServerStatus> osc, http, bluetooth;
    ObservableValue<StorageNotices> notices;
    SettingsStore* store = nullptr;

    std::vector<std::string> log;  // the calls, in order
    std::vector<PresentationCommand> executed;
    std::vector<std::pair<PresentationCommand, std::string>> remoteSent;
    std::vector<std::pair<std::string, std::function<void(SlideListResult)>>> slideFetches;
    std::vector<std::pair<std::string, std::function<void(RemoteHealthReply)>>> healthChecks;
    std::map<PresentationProvider, SlideListResult> localSlides;
    std::vector<PresentationWindowTarget> openWindows;
    std::optional<std::string> addFailure;  // what the next pairing or remote add throws
    std::vector<std::pair<std::string, std::string>> remoteAdds;  // setup URL and name
    std::set<std::string> bluetoothSecrets;
    // The Bluetooth list and secrets as the server saw them when it was restarted.
    std::vector<std::pair<std::size_t, std::size_t>> bluetoothRestarts;
    int pairings = 0;
    bool holdPairings = false;                // a pairing's record is written only when `savePairing` is called
    std::function<void()> savePairing;

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
        store->setValue(settings::googleSlidesWindowID, windowID);
    }
    void updateRemoteTargetAddress(const std::string& id, const std::string& host, std::int64_t port) override {
        auto targets = store->value(settings::remoteLanternpostTargets);
        for (auto& target : targets) {
            if (target.id == id) std::tie(target.host, target.port) = std::tie(host, port);
        }
        store->setValue(settings::remoteLanternpostTargets, targets);
    }

    ObservableValue<std::vector<network::NetworkInterfaceAddress>>& availableInterfaces() override { return interfaces; }
    ObservableValue<BridgeServerStatus>& oscStatus() override { return osc; }
    ObservableValue<BridgeServerStatus>& httpStatus() override { return http; }
    ObservableValue<BridgeServerStatus>& bluetoothStatus() override { return bluetooth; }
    ObservableValue<StorageNotices>& storageNotices() override { return notices; }
    void rescanInterfaces() override { log.push_back("rescan"); }
    void restartOSCServer() override { log.push_back("osc"); }
    void restartHTTPServer() override { log.push_back("http"); }
    void restartBluetoothServer() override {
        log.push_back("bluetooth");
        bluetoothRestarts.emplace_back(store->value(settings::bluetoothPairedDevices).size(), bluetoothSecrets.size());
    }
    void ensureListenAddressSelection() override { log.push_back("ensure"); }
    std::string defaultPavonixName() const override { return defaultName; }
    std::string keychainName() const override { return "Secret Service"; }

    std::string effectivePavonixName() const override { return "Stage Left"; }
    void addHTTPPairing(const std::string& name, HTTPPairingDone done) override {
        if (addFailure) return done(std::nullopt, std::make_exception_ptr(std::runtime_error(*addFailure)));
        HTTPPairedDevice device{"lpp_" + std::to_string(++pairings), name, Date{}};
        auto devices = store->value(settings::httpPairedDevices);
        devices.push_back(device);
        store->setValue(settings::httpPairedDevices, devices);
        savePairing = [done, device] { done(HTTPPairingSetup{device, "c2VjcmV0"}, nullptr); };
        if (!holdPairings) std::exchange(savePairing, {})();
    }
    void removeHTTPPairing(const std::string& pairID) override { eraseID(*store, settings::httpPairedDevices, pairID); }
    void removeBluetoothPairedDevice(const std::string& pairID) override {
        eraseID(*store, settings::bluetoothPairedDevices, pairID);
    }
    void deleteBluetoothSecret(const std::string& pairID) override { bluetoothSecrets.erase(pairID); }
    RemoteLanternpostTarget addRemoteTarget(const std::string& setupURL, const std::string& name) override {
        if (addFailure) throw std::runtime_error(*addFailure);
        remoteAdds.emplace_back(setupURL, name);
        return {};
    }
    void removeRemoteTarget(const std::string& id) override { eraseID(*store, settings::remoteLanternpostTargets, id); }

    std::string defaultName = "Ada's Pavonix";
};

// Probes that hold their display answers until the test gives them, from another thread, or
// with `hold` off answer at once that the display accepts keys.
class HeldProbes final : public PermissionProbes {
public:
    void probeKeyInjection(Answer answer) override {
        if (!hold) return answer(true);
        std::lock_guard lock(mutex);
        ++asked;
        pending.push_back(std::move(answer));
    }
    void setLocalNetworkGranted(bool g) override { granted = g; }
    // Gives the oldest held answer (all of them when `all`).
    void answer(bool reachable, bool all = true) {
        std::vector<Answer> answers;
        {
            std::lock_guard lock(mutex);
            const auto end = all || pending.empty() ? pending.end() : pending.begin() + 1;
            answers.assign(std::make_move_iterator(pending.begin()), std::make_move_iterator(end));
            pending.erase(pending.begin(), end);
        }
        std::thread([&] {
            for (auto& a : answers) a(reachable);
        }).join();
        settle();
    }

    std::mutex mutex;
    std::vector<Answer> pending;
    int asked = 0;
    bool granted = false;
    bool hold = true;
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

// And a fake model over them, for the fixtures of the views.
class ViewsTest : public SettingsTest {
protected:
    // Keynote chosen: a provider with a slide list (the default, Google Slides, has none).
    ViewsTest() {
        model_.store = &store();
        store().setValue(settings::presentationProvider, PresentationProvider::keynote);
    }
    // Saves these remote targets and selects the first, if any.
    void setTargets(const std::vector<RemoteLanternpostTarget>& targets) {
        store().setValue(settings::remoteLanternpostTargets, targets);
        if (!targets.empty()) store().setValue(settings::selectedRemoteLanternpostTargetID, targets[0].id);
    }
    void setRunning(bool running) {
        model_.running.set(running);
        settle();
    }

    FakeModel model_;
    NotificationCenter center_;
};

// A name as a user or a peer could give it, which Qt would show as a bold "x" and a picture read
// from a local file if it took the name for HTML.
inline const QString markupName = QStringLiteral(R"(<b>x</b><img src="file:///etc/hostname">)");

// The texts a window shows that came from `markupName`, split into those that show it as written
// (whole, or cut in the middle) and those that show it rendered as markup.
struct MarkupShowings {
    QStringList literal;
    QStringList rendered;
};

inline MarkupShowings markupShowings(const QWidget& root) {
    const auto shown = [](const QString& text, Qt::TextFormat format) {
        if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text))) return text;
        QTextDocument document;
        document.setHtml(text);
        return document.toPlainText();
    };
    // Menu and button titles: "&&" is one "&", a lone "&" only marks the next letter.
    const auto withoutMnemonics = [](const QString& text) {
        QString out;
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
            out += text[i];
        }
        return out;
    };
    MarkupShowings showings;
    const auto check = [&](const QString& raw, const QString& text) {
        // Whole, cut at its end or cut in its middle, as markup or escaped.
        const bool fromName = raw.contains(QLatin1String("hostname")) || raw.contains(QLatin1String("x</b>")) ||
                              raw.contains(QLatin1String("x&lt;/b&gt;"));
        if (!fromName) return;
        const bool literal = text.contains(QLatin1String("<b>x")) || text.contains(QLatin1String("hostname\">"));
        (literal ? showings.literal : showings.rendered) << text;
    };
    QList<QWidget*> widgets = root.findChildren<QWidget*>();
    widgets.prepend(const_cast<QWidget*>(&root));
    for (QWidget* widget : widgets) {
        check(widget->toolTip(), shown(widget->toolTip(), Qt::AutoText));
        if (auto* label = qobject_cast<QLabel*>(widget)) check(label->text(), shown(label->text(), label->textFormat()));
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) check(button->text(), withoutMnemonics(button->text()));
        if (auto* menu = qobject_cast<QMenu*>(widget)) {
            for (QAction* action : menu->actions()) check(action->text(), withoutMnemonics(action->text()));
        }
    }
    return showings;
}

inline SlideListResult slidesOK(std::vector<SlideSummary> slides) { return {ResultStatus::ok, "", std::move(slides)}; }

inline RemoteLanternpostTarget remote(std::string id, std::string name, std::string host = "10.0.0.2", std::int64_t port = 8090) {
    return {std::move(id), std::move(name), std::move(host), port, "lpp_x", Date{}, RemoteLanternpostTransport::http, std::nullopt};
}

inline PresentationWindowTarget window(std::int64_t id, std::string owner, std::string title) {
    return {id, 0, std::move(owner), "", std::move(title), ""};
}

}  // namespace pavonix::testing
