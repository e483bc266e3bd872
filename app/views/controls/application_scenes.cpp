#include "app/views/controls/application_scenes.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/views/controls/control_icons.h"
#include "app/views/controls/lanternpost_main_view.h"
#include "app/views/controls/window_placement.h"

namespace pavonix {

ApplicationScenes::ApplicationScenes(ControlsModel& model, SettingsStore& store, NotificationCenter& notifications,
                                     Options options)
    : options_(std::move(options)) {
    // Every window, sheet and alert shows it in its title bar and in the task bar.
    QApplication::setWindowIcon(programIcon());
    mainWindow_ = std::make_unique<QMainWindow>();
    mainWindow_->setObjectName("main");
    mainWindow_->setWindowTitle(tr("Pavonix"));
    mainWindow_->resize(mainWindowLeastFirstSize);
    mainView_ = new LanternpostMainView(model, store, notifications, mainWindow_.get());
    mainWindow_->setCentralWidget(mainView_);
    connect(mainView_, &LanternpostMainView::settingsRequested, this, &ApplicationScenes::openSettings);

    auto* toolbar = mainWindow_->addToolBar(tr("Toolbar"));
    toolbar_ = toolbar;
    toolbar->setObjectName("toolbar");
    // The toolbar comes and goes with the main view; the window offers no menu to toggle it.
    mainWindow_->setContextMenuPolicy(Qt::NoContextMenu);
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    auto* spacer = new QWidget(toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);  // the Settings button sits at the trailing end
    toolbar->addAction(mainView_->settingsAction());

    QMenu* appMenu = mainWindow_->menuBar()->addMenu(tr("&Pavonix"));
    appMenu->setObjectName("applicationMenu");
    QAction* settings = appMenu->addAction(QStringLiteral("&Settings\u2026"), this, &ApplicationScenes::openSettings);
    settings->setObjectName("settingsMenuItem");
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settings->setMenuRole(QAction::PreferencesRole);
    appMenu->addSeparator();
    QAction* quit = appMenu->addAction(tr("&Quit Pavonix"), qApp, &QCoreApplication::quit);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);
    // F10 opens the menu bar, as on the usual Linux desktops; Alt and a menu's letter open that menu.
    auto* menuKey = new QShortcut(QKeySequence(Qt::Key_F10), mainWindow_.get());
    connect(menuKey, &QShortcut::activated, this, [bar = mainWindow_->menuBar()] {
        if (!bar->actions().isEmpty()) bar->setActiveAction(bar->actions().constFirst());
    });

    // The tray content watches the OSC and HTTP switches for as long as the program runs.
    if (options_.serverActions.rescanInterfaces) {
        menuBarContent_ = std::make_unique<MenuBarContentState>(store, options_.serverActions);
    }
    if (options_.trayIcon && QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(programIcon(), this);
        tray_->setToolTip(tr("Pavonix"));
        trayMenu_ = std::make_unique<QMenu>();
        trayMenu_->addAction(tr("Open Pavonix"), this, &ApplicationScenes::showMainWindow);
        trayMenu_->addAction(QStringLiteral("Settings\u2026"), this, &ApplicationScenes::openSettings);
        trayMenu_->addSeparator();
        trayMenu_->addAction(tr("Quit Pavonix"), qApp, &QCoreApplication::quit);
        tray_->setContextMenu(trayMenu_.get());
        connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) showMainWindow();
        });
        tray_->show();
    }
    // Closing windows never ends the program by itself; the main window's close decides.
    qApp->setQuitOnLastWindowClosed(false);
    qApp->installEventFilter(this);

    if (options_.installControlMenu) options_.installControlMenu(*mainWindow_);
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive) applicationBecameActive();
    });
}

ApplicationScenes::~ApplicationScenes() {
    if (qApp) qApp->removeEventFilter(this);
    delete settingsWindow_.data();
    if (tray_) tray_->hide();
}

bool ApplicationScenes::trayCanReopen() const {
    // The tray may have gone since the icon was shown (its panel quit).
    return tray_ && tray_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

bool ApplicationScenes::eventFilter(QObject* watched, QEvent* event) {
    // Escape in an open drop-down list closes the list alone. The list does not claim the key
    // before the shortcuts are searched, so the window's own Escape (Stop in the main window,
    // closing Settings) would run in its place.
    if (event->type() == QEvent::ShortcutOverride && QApplication::activePopupWidget()) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
            event->accept();
            return true;
        }
    }
    if (watched == mainWindow_.get() && event->type() == QEvent::Close && event->spontaneous() && !trayCanReopen()) {
        // After the close has run its course, as "Quit Pavonix" would.
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void ApplicationScenes::applicationBecameActive() {
    if (options_.installControlMenu) options_.installControlMenu(*mainWindow_);
}

void ApplicationScenes::showMainWindow() {
    if (!mainWindowShown_) {
        mainWindowShown_ = true;
        // As large as its content asks (the welcome screen's rows grow with the font), within
        // the screen, title bar and all.
        mainWindow_->ensurePolished();
        mainWindow_->resize(mainWindow_->sizeHint().expandedTo(mainWindowLeastFirstSize));
        placeOnScreen(mainWindow_.get());
    }
    mainWindow_->show();
    mainWindow_->raise();
    mainWindow_->activateWindow();
}

void ApplicationScenes::openSettings() {
    if (!settingsWindow_) {
        auto* window = new QWidget(nullptr, Qt::Window);
        window->setObjectName("settings");
        window->setWindowTitle(tr("Settings"));
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->resize(500, 500);
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        if (options_.makeSettingsContent) layout->addWidget(options_.makeSettingsContent(window));
        // Escape, and the desktop's close key (Ctrl+W), as a preferences window does.
        QList<QKeySequence> closeKeys = QKeySequence::keyBindings(QKeySequence::Close);
        for (const QKeySequence& key : {QKeySequence(Qt::CTRL | Qt::Key_W), QKeySequence(Qt::Key_Escape)}) {
            if (!closeKeys.contains(key)) closeKeys.append(key);
        }
        auto* close = new QShortcut(window);
        close->setKeys(closeKeys);
        close->setContext(Qt::WindowShortcut);
        connect(close, &QShortcut::activated, window, &QWidget::close);
        settingsWindow_ = window;
    }
    // Brought forward, without activating the application by itself.
    settingsWindow_->show();
    settingsWindow_->raise();
}

}  // namespace pavonix
