// The "Control" submenu of the main window's menu bar: choose the presentation provider, start,
// start from the first slide, stop, previous, next, and ask the controls view to reload its
// slide names, by menu or by key.
//
// Installing puts the "Control" entry second in the menu bar (first when the bar is empty), or
// finds the entry of an earlier install, gives it a freshly built submenu and moves it back to
// second place; it never adds a second one.
//
// Keys: the keys with Control work in every window of the program that no modal dialog blocks;
// the bare keys (Escape, the arrows) only while the main window is active, so that every other
// window, sheet and alert keeps them for itself. The controls view binds some of the same keys;
// Qt runs neither of two shortcuts that claim the same key at once, so before each key press
// reaches the shortcut map the menu steps back for every key another enabled shortcut of the
// active window (or of the application) already claims. One key press therefore runs exactly one
// command: the controls view's where it is in front and enabled (it also knows the remote
// target), the menu's otherwise.
#pragma once

#include <cstdint>
#include <memory>

#include <QKeySequence>
#include <QMenu>
#include <QObject>
#include <QPointer>

#include "app/views/control_menu/control_menu_controller_state.h"

class QAction;
class QMainWindow;
class QMenuBar;

namespace pavonix {

class ControlMenuController : public QObject {
    Q_OBJECT
public:
    // The model, the store and the notification centre must outlive this object.
    ControlMenuController(ControlsModel& model, SettingsStore& store, NotificationCenter& notifications,
                          QObject* parent = nullptr);
    ~ControlMenuController() override;

    // Into the given window's menu bar.
    void install(QMainWindow& mainWindow);
    void install(QMenuBar& mainMenu);
    // Into the menu bar of the top-level main window named "main"; while there is none yet, tried
    // again shortly on the main queue (one retry pending at a time; none once this is gone).
    void install();

    // A new submenu with its items, unparented until installed.
    QMenu* makeMenu();
    // Brings each item's enabled and check state up to date; nothing for a null menu.
    void updateMenuState(QMenu* menu);
    // The installed submenu, if any.
    QMenu* menu() const { return menu_; }

    // Whether a text field of the active window has keyboard focus.
    static bool isEditingText();
    static QKeySequence keySequence(const ControlMenuKey& key);
    static std::int64_t tagOf(const QAction* action);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void selectProvider(QAction* sender);
    void runPresentationCommand(QAction* sender);
    void refreshSlideNames(QAction* sender);
    void validateBeforeKey(const QKeySequence& pressed);

    ControlMenuControllerState state_;
    QPointer<QMenu> menu_;
    bool retryPending_ = false;
};

}  // namespace pavonix
