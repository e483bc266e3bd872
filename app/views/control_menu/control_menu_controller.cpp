#include "app/views/control_menu/control_menu_controller.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include <QAbstractSpinBox>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTextEdit>

#include "platform/dispatch/dispatch.h"

namespace pavonix {

namespace {

constexpr int maxMenuDepth = 8;  // menus nested deeper than this do not exist here
constexpr auto installRetryDelay = std::chrono::milliseconds(100);

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// The letter Alt picks each title by: the menu's among the menu bar's ("Pavonix" takes P), each
// entry's among the menu's, no two alike.
QString withMnemonic(std::string_view title) {
    static constexpr std::pair<std::string_view, std::size_t> letters[] = {
        {"Control", 0}, {"Keynote (macOS only)", 0}, {"PowerPoint (macOS only)", 0}, {"Google Slides", 0}, {"Start", 0},
        {"Start From First", 11}, {"Stop", 1}, {"Previous", 3}, {"Next", 0}, {"Refresh Slide Names", 0}};
    QString text = qs(title);
    for (const auto& [known, at] : letters) {
        if (known == title) text.insert(static_cast<qsizetype>(at), QLatin1Char('&'));
    }
    return text;
}

// Qt's own rule for whether a shortcut of `widget` with `context` can fire now.
bool widgetInContext(const QWidget* widget, Qt::ShortcutContext context) {
    if (!widget || !widget->isVisible() || !widget->isEnabled()) return false;
    const QWidget* focus = QApplication::focusWidget();
    switch (context) {
    case Qt::ApplicationShortcut: {
        const QWidget* modal = QApplication::activeModalWidget();
        return !modal || modal == widget->window() || modal->isAncestorOf(widget);
    }
    case Qt::WindowShortcut: return QApplication::activeWindow() == widget->window();
    case Qt::WidgetShortcut: return focus == widget;
    case Qt::WidgetWithChildrenShortcut: return focus && (focus == widget || widget->isAncestorOf(focus));
    }
    return false;
}

// An action in a menu counts where the menu's own entry counts, as Qt has it.
bool actionInContext(const QAction* action, Qt::ShortcutContext context, int depth = 0) {
    if (depth > maxMenuDepth) return false;
    for (QObject* object : action->associatedObjects()) {
        if (auto* menu = qobject_cast<QMenu*>(object)) {
            if (actionInContext(menu->menuAction(), context, depth + 1)) return true;
        } else if (widgetInContext(qobject_cast<QWidget*>(object), context)) {
            return true;
        }
    }
    return false;
}

bool belongsTo(const QAction* action, const QMenu* menu) {
    return menu && action->associatedObjects().contains(const_cast<QMenu*>(menu));
}

// Whether an enabled shortcut or action outside `ours` would take `key` right now.
bool claimedElsewhere(const QKeySequence& key, const QMenu* ours) {
    for (QWidget* top : QApplication::topLevelWidgets()) {
        for (QShortcut* shortcut : top->findChildren<QShortcut*>()) {
            if (!shortcut->isEnabled() || !shortcut->keys().contains(key)) continue;
            if (widgetInContext(qobject_cast<QWidget*>(shortcut->parent()), shortcut->context())) return true;
        }
        QList<QWidget*> widgets = top->findChildren<QWidget*>();
        widgets.prepend(top);
        for (QWidget* widget : widgets) {
            if (widget == ours) continue;
            for (QAction* action : widget->actions()) {
                if (!action->isEnabled() || belongsTo(action, ours) || !action->shortcuts().contains(key)) continue;
                if (actionInContext(action, action->shortcutContext())) return true;
            }
        }
    }
    return false;
}

}  // namespace

ControlMenuController::ControlMenuController(ControlsModel& model, SettingsStore& store,
                                             NotificationCenter& notifications, QObject* parent)
    : QObject(parent), state_(model, store, &ControlMenuController::isEditingText, notifications) {
    qApp->installEventFilter(this);
}

ControlMenuController::~ControlMenuController() {
    if (qApp) qApp->removeEventFilter(this);
    delete menu_.data();
}

QKeySequence ControlMenuController::keySequence(const ControlMenuKey& key) {
    using Key = ControlMenuKey::Key;
    Qt::Key qtKey = Qt::Key_unknown;
    switch (key.key) {
    case Key::none: return {};
    case Key::k: qtKey = Qt::Key_K; break;
    case Key::p: qtKey = Qt::Key_P; break;
    case Key::g: qtKey = Qt::Key_G; break;
    case Key::returnKey: qtKey = Qt::Key_Return; break;
    case Key::escape: qtKey = Qt::Key_Escape; break;
    case Key::leftArrow: qtKey = Qt::Key_Left; break;
    case Key::rightArrow: qtKey = Qt::Key_Right; break;
    }
    Qt::KeyboardModifiers modifiers;
    if (key.command) modifiers |= Qt::ControlModifier;  // the command key of the Mac
    if (key.shift) modifiers |= Qt::ShiftModifier;
    return QKeySequence(QKeyCombination(modifiers, qtKey));
}

std::int64_t ControlMenuController::tagOf(const QAction* action) {
    bool ok = false;
    const qlonglong tag = action ? action->data().toLongLong(&ok) : 0;
    return ok ? tag : 0;
}

bool ControlMenuController::isEditingText() {
    const QWidget* window = QApplication::activeWindow();
    const QWidget* focus = window ? window->focusWidget() : nullptr;
    if (!focus) return false;
    if (qobject_cast<const QLineEdit*>(focus) || qobject_cast<const QAbstractSpinBox*>(focus)) return true;
    if (auto* edit = qobject_cast<const QTextEdit*>(focus)) return !edit->isReadOnly();
    if (auto* edit = qobject_cast<const QPlainTextEdit*>(focus)) return !edit->isReadOnly();
    if (auto* combo = qobject_cast<const QComboBox*>(focus)) return combo->isEditable();
    return false;
}

// ---- Building and installing --------------------------------------------------------------------

QMenu* ControlMenuController::makeMenu() {
    auto* menu = new QMenu(withMnemonic(ControlMenuControllerState::menuTitle));
    // One of the three providers is always the chosen one: the style draws a single mark on it,
    // not a box beside each.
    auto* providers = new QActionGroup(menu);
    providers->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
    for (const auto& entry : ControlMenuControllerState::entries()) {
        if (entry.isSeparator) {
            menu->addSeparator();
            continue;
        }
        auto* action = menu->addAction(withMnemonic(entry.title));
        action->setData(QVariant::fromValue<qlonglong>(entry.tag));
        action->setShortcut(keySequence(entry.key));
        // A bare key belongs to whichever window has the keyboard: Escape closes the sheet or the
        // alert in front, an arrow moves in Settings' tabs or a list. Only with the main window
        // active does such a key drive the presentation; the keys with a modifier work anywhere.
        const bool bareKey = !entry.key.command && !entry.key.shift;
        action->setShortcutContext(bareKey ? Qt::WindowShortcut : Qt::ApplicationShortcut);
        action->setAutoRepeat(false);
        if (ControlMenuControllerState::providerForTag(entry.tag)) {
            action->setCheckable(true);
            providers->addAction(action);
            connect(action, &QAction::triggered, this, [this, action] { selectProvider(action); });
        } else if (ControlMenuControllerState::commandForTag(entry.tag)) {
            connect(action, &QAction::triggered, this, [this, action] { runPresentationCommand(action); });
        } else {
            connect(action, &QAction::triggered, this, [this, action] { refreshSlideNames(action); });
        }
    }
    connect(menu, &QMenu::aboutToShow, this, [this, menu] { updateMenuState(menu); });
    updateMenuState(menu);
    return menu;
}

void ControlMenuController::install(QMainWindow& mainWindow) { install(*mainWindow.menuBar()); }

void ControlMenuController::install() {
    for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* window = qobject_cast<QMainWindow*>(top);
        if (window && window->objectName() == QLatin1String("main")) {
            install(*window);
            return;
        }
    }
    if (retryPending_) return;
    retryPending_ = true;
    QPointer<ControlMenuController> weak = this;
    dispatch::mainQueue()->after(installRetryDelay, [weak] {
        if (!weak) return;
        weak->retryPending_ = false;
        weak->install();
    });
}

void ControlMenuController::install(QMenuBar& mainMenu) {
    const QString identifier = qs(ControlMenuControllerState::controlMenuIdentifier);
    QAction* item = nullptr;
    for (QAction* action : mainMenu.actions()) {
        if (action->objectName() == identifier) {
            item = action;
            break;
        }
    }
    QMenu* fresh = makeMenu();
    fresh->setParent(&mainMenu, fresh->windowFlags());
    if (item) {
        QMenu* old = item->menu<QMenu*>();
        item->setMenu(fresh);
        if (old && old != fresh) {
            // Its keys go at once; the object itself when control returns to the event loop,
            // in case it is on screen right now.
            for (QAction* action : old->actions()) action->setEnabled(false);
            old->deleteLater();
        }
        if (mainMenu.actions().indexOf(item) != 1) {
            mainMenu.removeAction(item);
            const QList<QAction*> rest = mainMenu.actions();
            const qsizetype at = std::min<qsizetype>(rest.size(), 1);
            mainMenu.insertAction(at < rest.size() ? rest[at] : nullptr, item);
        }
    } else {
        item = new QAction(withMnemonic(ControlMenuControllerState::menuTitle), &mainMenu);
        item->setObjectName(identifier);
        item->setMenu(fresh);
        const QList<QAction*> actions = mainMenu.actions();
        const qsizetype at = std::min<qsizetype>(actions.size(), 1);
        mainMenu.insertAction(at < actions.size() ? actions[at] : nullptr, item);
    }
    menu_ = fresh;
}

// ---- States -------------------------------------------------------------------------------------

void ControlMenuController::updateMenuState(QMenu* menu) {
    if (!menu) return;
    for (QAction* action : menu->actions()) {
        const auto state = state_.validate(tagOf(action));
        if (!state) continue;
        action->setEnabled(state->enabled);
        action->setChecked(state->checked);
    }
}

void ControlMenuController::validateBeforeKey(const QKeySequence& pressed) {
    if (!menu_) return;
    const QList<QAction*> actions = menu_->actions();
    const bool ours = std::ranges::any_of(actions, [&](const QAction* a) { return a->shortcut() == pressed; });
    if (!ours) return;
    updateMenuState(menu_);
    if (claimedElsewhere(pressed, menu_)) {
        for (QAction* action : actions) {
            if (action->shortcut() == pressed) action->setEnabled(false);
        }
    }
}

bool ControlMenuController::eventFilter(QObject* watched, QEvent* event) {
    // Qt sends ShortcutOverride just before it looks the key up among the shortcuts.
    if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        const auto modifiers = key->modifiers() & ~Qt::KeypadModifier;
        if (key->key() != 0 && key->key() != Qt::Key_unknown) {
            validateBeforeKey(QKeySequence(QKeyCombination(modifiers, Qt::Key(key->key()))));
        }
    }
    return QObject::eventFilter(watched, event);
}

// ---- Actions ------------------------------------------------------------------------------------

void ControlMenuController::selectProvider(QAction* sender) {
    state_.selectProvider(tagOf(sender));
    updateMenuState(menu_);
}

void ControlMenuController::runPresentationCommand(QAction* sender) {
    if (!state_.runPresentationCommand(tagOf(sender))) return;
    updateMenuState(menu_);
}

void ControlMenuController::refreshSlideNames(QAction*) {
    state_.refreshSlideNames();
    updateMenuState(menu_);
}

}  // namespace pavonix
