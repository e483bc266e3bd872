// The "Control" menu without its widgets: its items, their keys, whether each is enabled and
// checked, and what choosing one does. ControlMenuController (control_menu_controller.h) only
// builds Qt actions from this and feeds their triggers back in.
//
// Threads: the main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/core/presentation_command.h"
#include "app/core/presentation_provider.h"
#include "app/views/controls/controls_model.h"
#include "app/views/controls/notification_center.h"
#include "settings_store/settings_store.h"

namespace pavonix {

// A key as the menu binds it; `command` is the platform's command modifier (Control here).
struct ControlMenuKey {
    enum class Key { none, k, p, g, returnKey, escape, leftArrow, rightArrow };
    Key key = Key::none;
    bool command = false;
    bool shift = false;

    friend bool operator==(const ControlMenuKey&, const ControlMenuKey&) = default;
};

struct ControlMenuEntry {
    bool isSeparator = false;
    std::int64_t tag = 0;
    std::string title;
    ControlMenuKey key;
};

struct ControlMenuItemState {
    bool enabled = true;
    bool checked = false;

    friend bool operator==(const ControlMenuItemState&, const ControlMenuItemState&) = default;
};

class ControlMenuControllerState {
public:
    static constexpr std::string_view menuTitle = "Control";
    // Marks the main menu's "Control" item, so that a later install finds and reuses it.
    static constexpr std::string_view controlMenuIdentifier = "Lanternpost.controlMenu";
    static constexpr std::int64_t firstTag = 100;
    static constexpr std::size_t foreignIndex = 9;

    // The submenu's entries in order: Keynote, PowerPoint, Google Slides (tags 100 to 102),
    // separator, Start, Start From First, Stop, Previous, Next (103 to 107), separator, Refresh
    // Slide Names (108).
    static const std::vector<ControlMenuEntry>& entries();
    // Tag minus 100, taken without sign and capped at 9; 9 marks an item of another menu.
    static std::size_t menuItemIndex(std::int64_t tag);
    static std::optional<PresentationProvider> providerForTag(std::int64_t tag);
    static std::optional<PresentationCommand> commandForTag(std::int64_t tag);

    // `isEditingText` answers whether a text field has keyboard focus right now. The model and
    // the store and the notification centre must outlive this object.
    ControlMenuControllerState(ControlsModel& model, SettingsStore& store, std::function<bool()> isEditingText,
                               NotificationCenter& notifications);

    // The state an item should show, recomputed from the settings, the model and the keyboard
    // focus on each call. Nothing for an item that is not this menu's: leave it as it is.
    std::optional<ControlMenuItemState> validate(std::int64_t tag) const;

    // Item actions, by the chosen item's tag. Tags that do not belong to the action do nothing.
    void selectProvider(std::int64_t tag);
    // Returns whether a command was sent. Previous and Next send nothing while text is edited, so
    // that the arrow keys stay with the text.
    bool runPresentationCommand(std::int64_t tag);
    void refreshSlideNames();

private:
    ControlsModel& model_;
    SettingsStore& store_;
    std::function<bool()> isEditingText_;
    NotificationCenter& notifications_;
};

}  // namespace pavonix
