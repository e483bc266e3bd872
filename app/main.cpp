// Pavonix: drive a running slide show from a phone, a browser, an OSC controller or another Pavonix.
#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <QTimer>
#include <QToolBar>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/control/permission_probes.h"
#include "app/core/text.h"
#include "app/model/lanternpost_model.h"
#include "app/model/server_announcements.h"
#include "app/settings/settings_keys.h"
#include "app/views/control_menu/control_menu_controller.h"
#include "app/views/controls/application_scenes.h"
#include "app/views/controls/controls_model.h"
#include "app/views/controls/controls_view.h"
#include "app/views/controls/lanternpost_main_view.h"
#include "app/views/pairing/pairing_sheets.h"
#include "app/views/settings/lanternpost_settings_view.h"
#include "app/views/settings/settings_window_model.h"
#include "app/views/welcome/content_view.h"
#include "platform/bluez/bluez_peripheral_manager.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/dispatch.h"
#include "platform/x11/xcb_window_system.h"

namespace {

bool debugEnabled() {
    const char* debug = std::getenv("PAVONIX_DEBUG");
    return debug && std::strcmp(debug, "1") == 0;
}

// Headless, Qt's complaints about what the offscreen platform cannot do are noise; only real
// errors get through unless debugging.
void quietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtWarningMsg || type == QtInfoMsg || type == QtDebugMsg) return;
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

// Without any display the program still serves the network bridges, on Qt's offscreen platform.
void chooseOffscreenWithoutDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform) return;
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((x && *x) || (wayland && *wayland)) return;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!debugEnabled()) qInstallMessageHandler(quietQtMessages);
    std::fprintf(stderr, "Pavonix: no display found, running on the offscreen platform.\n");
}

// Drains the dispatch main queue from Qt's event loop.
class MainQueuePump : public QObject {
public:
    static constexpr QEvent::Type kDrain = QEvent::Type(QEvent::User + 1);
    bool event(QEvent* e) override {
        if (e->type() != kDrain) return QObject::event(e);
        pending_.store(false);
        pavonix::dispatch::drainMainQueue();
        return true;
    }
    void post() {
        if (!pending_.exchange(true)) QCoreApplication::postEvent(this, new QEvent(kDrain));
    }

private:
    std::atomic<bool> pending_{false};
};

// SIGTERM and SIGINT end the program like a quit from the menu: servers stop and settings are
// written. The handler only writes to a pipe; the main queue reads it.
int quitPipe[2] = {-1, -1};
void requestQuit(int) {
    const char byte = 'q';
    [[maybe_unused]] ssize_t written = write(quitPipe[1], &byte, 1);
}

pavonix::dispatch::SourcePtr quitOnSignals() {
    if (pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    auto source = pavonix::dispatch::Source::makeRead(quitPipe[0], pavonix::dispatch::mainQueue());
    source->setEventHandler([] {
        char bytes[16];
        while (read(quitPipe[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
    source->resume();
    std::signal(SIGTERM, requestQuit);
    std::signal(SIGINT, requestQuit);
    return source;
}

// With PAVONIX_DEBUG=1, every server status line, every command and every storage problem goes
// to stderr. Details and commands may quote what a peer sent, so their control characters are
// escaped.
std::vector<pavonix::Observation> printServerStatuses(pavonix::LanternpostModel& model) {
    std::vector<pavonix::Observation> observations;
    const auto watch = [&](const char* name, pavonix::ObservableValue<pavonix::BridgeServerStatus>& status) {
        const auto print = [name](const pavonix::BridgeServerStatus& value) {
            std::fprintf(stderr, "Pavonix: %s server %s: %s\n", name, std::string(pavonix::text(value.state)).c_str(),
                         pavonix::escapedControlCharacters(value.detail).c_str());
        };
        print(status.get());
        observations.push_back(status.observe(print));
    };
    watch("OSC", model.oscStatus);
    watch("HTTP", model.httpStatus);
    watch("Bluetooth", model.bluetoothStatus);
    // Each command as the model records it: "Pavonix: last command OSC: failed Show next: ...".
    observations.push_back(model.lastCommand.observe([](const std::optional<pavonix::CommandLogEntry>& entry) {
        if (!entry) return;
        std::fprintf(stderr, "Pavonix: last command %s: %s %s: %s\n", std::string(pavonix::label(entry->source)).c_str(),
                     entry->result.isOK() ? "ok" : "failed", pavonix::escapedControlCharacters(entry->result.command).c_str(),
                     pavonix::escapedControlCharacters(entry->result.message).c_str());
    }));
    // Each problem with the settings file or the pairing secrets as it comes and as it goes:
    // "Pavonix: notice: Settings could not be saved: ...", "Pavonix: notice gone: ...".
    const auto printChanges = [previous = std::make_shared<pavonix::StorageNotices>()](const pavonix::StorageNotices& notices) {
        for (const auto& line : previous->linesNewSince(notices)) std::fprintf(stderr, "Pavonix: notice gone: %s\n", line.c_str());
        for (const auto& line : notices.linesNewSince(*previous)) std::fprintf(stderr, "Pavonix: notice: %s\n", line.c_str());
        *previous = notices;
    };
    printChanges(model.storageNotices.standing.get());
    observations.push_back(model.storageNotices.standing.observe(printChanges));
    return observations;
}

}  // namespace

int main(int argc, char** argv) {
    chooseOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    QApplication::setApplicationName("Pavonix");
    // No display name: Qt would append it to every window title ("Settings — Pavonix").

    pavonix::dispatch::setMainThread();
    MainQueuePump pump;
    pavonix::dispatch::setMainQueuePoster([&pump] { pump.post(); });
    pump.post();
    // The settings file is read before SIGTERM is routed through the event loop, which is not
    // running yet: a read that hangs (a network home folder gone away) must not keep the default
    // handling from ending the program.
    auto& standardDefaults = pavonix::defaults::UserDefaults::standard();
    auto quitSource = quitOnSignals();

    pavonix::settings::registerDefaults(standardDefaults);
    std::vector<pavonix::Observation> statusLines;
    auto dependencies = pavonix::LanternpostModelDependencies::system(pavonix::SettingsStore::shared());
    // Without bluetoothd or an adapter the server says which is missing in its status.
    dependencies.makeBluetoothServer = [](pavonix::BluetoothServerParts parts) {
        return pavonix::makeRealBluetoothServer(std::move(parts), pavonix::bluez::bluezPeripheralFactory());
    };
    auto model = pavonix::LanternpostModel::make(std::move(dependencies));
    if (debugEnabled()) statusLines = printServerStatuses(*model);
    // Without a display there is no settings window to show where the servers listen: whoever
    // started the program (over ssh, say) reads it on standard output. With one, the settings
    // window tells, and a desktop launcher's output is read by no one.
    std::unique_ptr<pavonix::ServerAnnouncements> announcements;
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        announcements = std::make_unique<pavonix::ServerAnnouncements>(*model, [](const std::string& line) {
            std::printf("%s\n", pavonix::escapedControlCharacters(line).c_str());
            std::fflush(stdout);
        });
    }

    auto controlsModel = pavonix::makeControlsModel(model);
    pavonix::ApplicationScenes::Options options;
    // Heard by the controls view, posted by the Control menu.
    pavonix::NotificationCenter notifications;
    auto controlMenu = std::make_unique<pavonix::ControlMenuController>(*controlsModel, model->settings(), notifications);
    options.installControlMenu = [menu = controlMenu.get()](QMainWindow& window) { menu->install(window); };
    std::weak_ptr<pavonix::LanternpostModel> weakModel = model;
    const auto onModel = [weakModel](void (pavonix::LanternpostModel::*step)()) {
        return [weakModel, step] {
            if (auto alive = weakModel.lock()) ((*alive).*step)();
        };
    };
    options.serverActions = {onModel(&pavonix::LanternpostModel::rescanInterfaces),
                             onModel(&pavonix::LanternpostModel::restartOSCServer),
                             onModel(&pavonix::LanternpostModel::restartHTTPServer),
                             onModel(&pavonix::LanternpostModel::refreshStatus)};
    std::unique_ptr<pavonix::ApplicationScenes> scenes;
    auto settingsModel = pavonix::makeSettingsWindowModel(model);
    auto pairingModel = pavonix::makePairingSheetsModel(model);
    options.makeSettingsContent = [&scenes, &settingsModel, &pairingModel, &model](QWidget* window) -> QWidget* {
        // "Reset Onboarding" brings the main window forward, also from the minimised state.
        const auto showMainWindow = [&scenes] {
            QMainWindow* main = scenes->mainWindow();
            main->setWindowState(main->windowState() & ~Qt::WindowMinimized);
            scenes->showMainWindow();
        };
        auto* view = new pavonix::LanternpostSettingsView(*settingsModel, model->settings(), showMainWindow,
                                                          pavonix::AppInfo::thisBuild(), window);
        view->setHTTPPairingSheetFactory([&pairingModel, &model](QWidget* parent) -> QDialog* {
            return new pavonix::HTTPPairedDevicesSheet(*pairingModel, model->settings(), parent);
        });
        view->setBluetoothPairingSheetFactory([&pairingModel, &model](QWidget* parent) -> QDialog* {
            return new pavonix::BluetoothPairedDevicesSheet(*pairingModel, model->settings(), parent);
        });
        return view;
    };
    scenes = std::make_unique<pavonix::ApplicationScenes>(*controlsModel, model->settings(), notifications,
                                                          std::move(options));
    scenes->mainView()->controlsView()->setRemoteDevicesSheetFactory([&pairingModel, &model](QWidget* parent) -> QDialog* {
        return new pavonix::RemoteLanternpostDevicesSheet(*pairingModel, model->settings(), parent);
    });
    // The window shows the welcome screen until onboarding is complete, then the main view.
    {
        QMainWindow* window = scenes->mainWindow();
        QWidget* mainView = window->takeCentralWidget();
        auto probes = pavonix::makeSystemPermissionProbes(std::make_shared<pavonix::x11::XcbWindowSystem>(), model->settings());
        auto permissions = std::make_unique<pavonix::WelcomePermissionsModel>(
            std::make_shared<pavonix::LanternpostPermissionAuthorizer>(std::move(probes)));
        auto* content = new pavonix::ContentView(std::move(permissions), [mainView](QWidget*) { return mainView; }, model->settings());
        content->showStorageNotices(model->storageNotices.standing);
        if (!content->mainView()) {
            // Kept, hidden, by the content until onboarding is complete.
            mainView->setParent(content);
            mainView->hide();
        }
        window->setCentralWidget(content);
        // The Settings button belongs to the main view: the welcome screen shows none.
        QToolBar* toolbar = scenes->toolbar();
        const auto followContent = [toolbar, content] { toolbar->setVisible(content->showsMainView()); };
        followContent();
        QObject::connect(content, &pavonix::ContentView::shownViewChanged, toolbar, followContent);
    }
    scenes->showMainWindow();
    // Servers stop before the windows go, so no request reaches a half-closed program.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [weakModel] {
        if (auto alive = weakModel.lock()) alive->stopServers();
    });

    int code = app.exec();
    scenes.reset();
    settingsModel.reset();
    pairingModel.reset();
    controlMenu.reset();
    controlsModel.reset();
    statusLines.clear();
    announcements.reset();
    model.reset();
    if (quitSource) quitSource->cancel();
    pavonix::dispatch::drainMainQueue();
    pavonix::defaults::UserDefaults::standard().flush();
    pavonix::dispatch::setMainQueuePoster(nullptr);
    return code;
}
