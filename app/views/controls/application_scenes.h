// The program's windows and menus: the main window ("main", "Pavonix", at first 700 by 540 or as
// large as its content asks within the screen) showing the main view, the settings window ("settings", "Settings", 500 by 500) opened or raised on demand,
// the application menu with "Settings…" and "Quit Pavonix", the tray icon where the desktop has
// a tray (everything stays usable without one), and the Control menu's installation, run at
// launch and whenever the application becomes active.
//
// Closing the main window: with a tray icon to reopen it from, the window only goes out of
// sight and the program, its servers with it, runs on until "Quit Pavonix"; without one,
// closing it quits, since nothing else could bring it back.
//
// In every window of the program, Escape in an open drop-down list closes the list and nothing else.
#pragma once

#include <functional>
#include <memory>

#include <QObject>
#include <QPointer>
#include <QSize>

#include "app/views/controls/controls_model.h"
#include "app/views/controls/menu_bar_content_state.h"
#include "app/views/controls/notification_center.h"

class QMainWindow;
class QMenu;
class QSystemTrayIcon;
class QToolBar;
class QWidget;

namespace pavonix {

class LanternpostMainView;

class ApplicationScenes : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Called at launch and on each activation of the application.
        std::function<void(QMainWindow&)> installControlMenu;
        // What the tray's OSC and HTTP watcher does on a change.
        MenuBarContentState::Actions serverActions;
        // Whether to show a tray icon when the desktop offers a tray.
        bool trayIcon = true;
        // The settings window's content, made each time the window opens.
        std::function<QWidget*(QWidget* window)> makeSettingsContent;
    };

    // The model and the store must outlive this object.
    ApplicationScenes(ControlsModel& model, SettingsStore& store, NotificationCenter& notifications, Options options);
    ~ApplicationScenes() override;

    QMainWindow* mainWindow() const { return mainWindow_.get(); }
    LanternpostMainView* mainView() const { return mainView_; }
    // Holds the main view's Settings button; shown only while the main view is.
    QToolBar* toolbar() const { return toolbar_; }
    // Null until first opened, and again after it was closed.
    QWidget* settingsWindow() const { return settingsWindow_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }

    static constexpr QSize mainWindowLeastFirstSize{700, 540};

    // The first time, sizes the window for its content.
    void showMainWindow();
    // Opens the settings window, or brings the open one forward.
    void openSettings();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applicationBecameActive();
    bool trayCanReopen() const;

    Options options_;
    std::unique_ptr<QMainWindow> mainWindow_;
    LanternpostMainView* mainView_ = nullptr;
    bool mainWindowShown_ = false;
    QToolBar* toolbar_ = nullptr;
    QPointer<QWidget> settingsWindow_;
    QSystemTrayIcon* tray_ = nullptr;
    std::unique_ptr<QMenu> trayMenu_;
    std::unique_ptr<MenuBarContentState> menuBarContent_;
};

}  // namespace pavonix
