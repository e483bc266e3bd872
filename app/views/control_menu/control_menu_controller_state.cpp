#include "app/views/control_menu/control_menu_controller_state.h"

#include <limits>
#include <utility>

#include "app/settings/settings_keys.h"

namespace pavonix {

namespace {

using Key = ControlMenuKey::Key;

constexpr std::int64_t refreshSlideNamesTag = 108;

constexpr std::size_t lastProviderIndex = 2;
constexpr std::size_t previousIndex = 6;
constexpr std::size_t nextIndex = 7;
constexpr std::size_t refreshIndex = 8;

}  // namespace

const std::vector<ControlMenuEntry>& ControlMenuControllerState::entries() {
    static const std::vector<ControlMenuEntry> entries{
        {false, 100, std::string(choiceTitle(PresentationProvider::keynote)), {Key::k, true, true}},
        {false, 101, std::string(choiceTitle(PresentationProvider::powerPoint)), {Key::p, true, true}},
        {false, 102, std::string(choiceTitle(PresentationProvider::googleSlides)), {Key::g, true, true}},
        {true, 0, "", {}},
        {false, 103, "Start", {Key::returnKey, true, false}},
        {false, 104, "Start From First", {Key::returnKey, true, true}},
        {false, 105, "Stop", {Key::escape, false, false}},
        {false, 106, "Previous", {Key::leftArrow, false, false}},
        {false, 107, "Next", {Key::rightArrow, false, false}},
        {true, 0, "", {}},
        {false, refreshSlideNamesTag, "Refresh Slide Names", {}},
    };
    return entries;
}

std::size_t ControlMenuControllerState::menuItemIndex(std::int64_t tag) {
    // Unsigned on purpose: a tag below 100 wraps to a huge index and lands on 9 as well.
    const std::uint64_t index = static_cast<std::uint64_t>(tag) - static_cast<std::uint64_t>(firstTag);
    return index < foreignIndex ? static_cast<std::size_t>(index) : foreignIndex;
}

std::optional<PresentationProvider> ControlMenuControllerState::providerForTag(std::int64_t tag) {
    switch (menuItemIndex(tag)) {
    case 0: return PresentationProvider::keynote;
    case 1: return PresentationProvider::powerPoint;
    case 2: return PresentationProvider::googleSlides;
    default: return std::nullopt;
    }
}

std::optional<PresentationCommand> ControlMenuControllerState::commandForTag(std::int64_t tag) {
    switch (menuItemIndex(tag)) {
    case 3: return PresentationCommand::start(false);
    case 4: return PresentationCommand::start(true);
    case 5: return PresentationCommand::stop();
    case 6: return PresentationCommand::showPrevious();
    case 7: return PresentationCommand::showNext();
    default: return std::nullopt;
    }
}

ControlMenuControllerState::ControlMenuControllerState(ControlsModel& model, SettingsStore& store,
                                                       std::function<bool()> isEditingText,
                                                       NotificationCenter& notifications)
    : model_(model),
      store_(store),
      isEditingText_(std::move(isEditingText)),
      notifications_(notifications) {}

std::optional<ControlMenuItemState> ControlMenuControllerState::validate(std::int64_t tag) const {
    const std::size_t index = menuItemIndex(tag);
    if (index == foreignIndex) return std::nullopt;
    const PresentationProvider stored = store_.value(settings::presentationProvider);
    if (index <= lastProviderIndex) return ControlMenuItemState{true, providerForTag(tag) == stored};

    bool enabled = model_.presentationApplicationRunning().get();
    if (index == refreshIndex && stored == PresentationProvider::googleSlides) enabled = false;
    if ((index == previousIndex || index == nextIndex) && isEditingText_ && isEditingText_()) enabled = false;
    return ControlMenuItemState{enabled, false};
}

void ControlMenuControllerState::selectProvider(std::int64_t tag) {
    const auto provider = providerForTag(tag);
    if (!provider) return;
    store_.setValue(settings::presentationProvider, *provider);
    model_.refreshStatus();
}

bool ControlMenuControllerState::runPresentationCommand(std::int64_t tag) {
    const auto command = commandForTag(tag);
    if (!command) return false;
    const std::size_t index = menuItemIndex(tag);
    if ((index == previousIndex || index == nextIndex) && isEditingText_ && isEditingText_()) return false;
    model_.execute(*command, CommandSource::userInterface);  // the model records the result
    return true;
}

void ControlMenuControllerState::refreshSlideNames() { notifications_.post(refreshSlideNamesNotification); }

}  // namespace pavonix
