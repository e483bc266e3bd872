#include "app/views/controls/controls_view_state.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "app/core/text.h"
#include "app/settings/settings_keys.h"
#include "platform/dispatch/dispatch.h"

namespace pavonix {

namespace {

// One optional sign, then decimal digits only; nothing on overflow or any other character.
std::optional<std::int64_t> parseInteger(std::string_view text) {
    std::string number;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        if (text.front() == '-') number = "-";
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    number.append(text);
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
    return value;
}

}  // namespace

bool isNavigationTextField(ControlTextField field) {
    return field == ControlTextField::slideNumber || field == ControlTextField::slideName;
}

bool shouldDefocusOnKey(std::optional<ControlTextField> focused, const MonitoredKeyPress& key) {
    if (!focused || !isNavigationTextField(*focused)) return false;
    if (!key.isTab) return false;
    return !(key.capsLock || key.control || key.alt || key.meta || key.keypad);
}

ControlsViewState::ControlsViewState(ControlsModel& model, SettingsStore& store, bool isActive,
                                     NotificationCenter& notifications)
    : model_(model), store_(store), isActive_(isActive) {
    std::weak_ptr<bool> alive = alive_;
    // Settings handlers already arrive as main-queue tasks.
    providerSubscription_ = store_.observe<PresentationProvider>(settings::presentationProvider,
                                                                 [this, alive](const PresentationProvider&) {
                                                                     if (alive.lock()) providerChanged();
                                                                 });
    selectedRemoteSubscription_ =
        store_.observe<std::string>(settings::selectedRemoteLanternpostTargetID, [this, alive](const std::string&) {
            if (alive.lock()) selectedRemoteTargetChanged();
        });
    remoteTargetsSubscription_ = store_.observe<std::vector<RemoteLanternpostTarget>>(
        settings::remoteLanternpostTargets, [this, alive](const std::vector<RemoteLanternpostTarget>& targets) {
            if (alive.lock()) remoteTargetsChanged(targets);
        });
    auto redraw = [this, alive](const auto&) {
        if (alive.lock()) changed();
    };
    redrawSubscriptions_.push_back(store_.observe<std::int64_t>(settings::googleSlidesWindowID, redraw));
    redrawSubscriptions_.push_back(store_.observe<std::string>(settings::googleSlidesWindowOwnerName, redraw));
    redrawSubscriptions_.push_back(store_.observe<std::string>(settings::googleSlidesWindowTitle, redraw));

    // The model tells its observers inside its own calls (some made from here); the handler runs
    // afterwards, as a change handler would.
    runningObservation_ = model_.presentationApplicationRunning().observe([this](const bool& running) {
        later([running](ControlsViewState& self) { self.applicationRunningChanged(running); });
    });
    windowsObservation_ = model_.googleSlidesWindowTargets().observe([this](const auto&) { changed(); });
    // A failed check of the remote target may say what no longer holds: a command through it got
    // through, or the keychain that could not be read reads again. It is checked afresh then.
    lastCommandObservation_ = model_.lastCommand().observe([this](const std::optional<CommandLogEntry>& last) {
        if (last && last->source == CommandSource::remoteHTTP && last->result.status == ResultStatus::ok) {
            later([](ControlsViewState& self) { self.recheckFailedRemote(); });
        }
        changed();
    });
    secretsNoticeStood_ = model_.storageNotices().get().secrets.has_value();
    storageNoticeObservation_ = model_.storageNotices().observe([this](const StorageNotices& notices) {
        if (std::exchange(secretsNoticeStood_, notices.secrets.has_value()) && !secretsNoticeStood_) {
            later([](ControlsViewState& self) { self.recheckFailedRemote(); });
        }
        changed();
    });

    NotificationCenter& center = notifications;
    refreshToken_ = center.addObserver(refreshSlideNamesNotification, [this] { refreshSlideNamesPosted(); });
}

ControlsViewState::~ControlsViewState() = default;

void ControlsViewState::changed() {
    if (onChange_) onChange_();
}

void ControlsViewState::later(std::function<void(ControlsViewState&)> handler) {
    std::weak_ptr<bool> alive = alive_;
    dispatch::MainExecutor::post([this, alive, handler = std::move(handler)] {
        if (alive.lock()) handler(*this);
    });
}

// ---- Life cycle ---------------------------------------------------------------------------------

void ControlsViewState::appear() {
    syncRemoteAddressEditor(selectedRemoteTarget());
    refreshTargetState();
    changed();
}

void ControlsViewState::setActive(bool active) {
    if (active == isActive_) return;
    isActive_ = active;
    if (active) refreshTargetState();
    changed();
}

// ---- Settings -----------------------------------------------------------------------------------

PresentationProvider ControlsViewState::presentationProvider() const {
    return store_.value(settings::presentationProvider);
}
std::int64_t ControlsViewState::googleSlidesWindowID() const { return store_.value(settings::googleSlidesWindowID); }
std::vector<RemoteLanternpostTarget> ControlsViewState::remoteTargets() const {
    return store_.value(settings::remoteLanternpostTargets);
}
std::string ControlsViewState::selectedRemoteTargetID() const {
    return store_.value(settings::selectedRemoteLanternpostTargetID);
}

// ---- Derived values -----------------------------------------------------------------------------

std::optional<RemoteLanternpostTarget> ControlsViewState::selectedRemoteTarget() const {
    const std::string id = selectedRemoteTargetID();
    if (id.empty()) return std::nullopt;
    for (auto& target : remoteTargets()) {
        if (target.id == id) return target;
    }
    return std::nullopt;
}

bool ControlsViewState::isRemoteHealthy() const {
    auto target = selectedRemoteTarget();
    return target && remoteHealthTargetID_ == target->id && remoteHealth_ && remoteHealth_->status == "ok";
}

bool ControlsViewState::canLoadSlides() const {
    if (!selectedRemoteTarget()) return presentationProvider() != PresentationProvider::googleSlides;
    return !(isRemoteHealthy() && remoteHealth_->presentationProvider == "googleSlides");
}

std::string ControlsViewState::slideListTargetKey() const {
    if (auto target = selectedRemoteTarget()) return "remote:" + target->id;
    return "local:" + std::string(rawValue(presentationProvider()));
}

std::string ControlsViewState::localTargetText() const {
    const PresentationProvider provider = presentationProvider();
    if (provider == PresentationProvider::googleSlides) return googleSlidesWindowText();
    return std::string(fallbackTargetName(provider));
}

std::string ControlsViewState::googleSlidesWindowText() const {
    const std::string owner = store_.value(settings::googleSlidesWindowOwnerName);
    const std::string title = store_.value(settings::googleSlidesWindowTitle);
    if (!owner.empty() && !title.empty()) return owner + ": " + title;
    if (!owner.empty()) return owner;
    if (!title.empty()) return title;
    return std::string(fallbackTargetName(presentationProvider()));
}

bool ControlsViewState::canSendCommands() const {
    if (selectedRemoteTarget()) return true;
    return model_.presentationApplicationRunning().get();
}

std::string ControlsViewState::navigationSectionTitle() const {
    if (slides_.empty()) return "Navigation";
    return "Navigation (" + std::to_string(slides_.size()) + ")";
}

std::optional<std::int64_t> ControlsViewState::parsedRemotePort() const {
    auto port = parseInteger(trimmedWhitespaceAndNewlines(remotePortInput_));
    if (!port || *port < 1 || *port > 65535) return std::nullopt;
    return port;
}

bool ControlsViewState::isRemoteAddressInputValid() const {
    return !trimmedWhitespaceAndNewlines(remoteHostInput_).empty() && parsedRemotePort();
}

bool ControlsViewState::canSaveRemoteAddress(const RemoteLanternpostTarget& target) const {
    auto port = parsedRemotePort();
    const std::string host = trimmedWhitespaceAndNewlines(remoteHostInput_);
    if (!port || host.empty()) return false;
    return host != target.host || *port != target.port;
}

// ---- Target section -----------------------------------------------------------------------------

std::string ControlsViewState::targetMenuTitle() const {
    if (auto target = selectedRemoteTarget()) return remoteTargetLabel(*target);
    return std::string(displayName(presentationProvider()));
}

std::vector<ControlsViewState::TargetMenuItem> ControlsViewState::targetMenuItems() const {
    using Kind = TargetMenuItem::Kind;
    std::vector<TargetMenuItem> items;
    const auto selected = selectedRemoteTarget();
    const PresentationProvider stored = presentationProvider();
    for (PresentationProvider provider : allPresentationProviders) {
        TargetMenuItem item;
        item.kind = Kind::provider;
        item.title = std::string(choiceTitle(provider));
        item.checked = !selected && provider == stored;
        item.provider = provider;
        items.push_back(std::move(item));
    }
    const auto targets = remoteTargets();
    if (!targets.empty()) {
        items.push_back({});
        for (const auto& target : targets) {
            TargetMenuItem item;
            item.kind = Kind::remoteTarget;
            item.title = remoteTargetLabel(target);
            item.checked = selected && selected->id == target.id;
            item.remoteTargetID = target.id;
            items.push_back(std::move(item));
        }
    }
    items.push_back({});
    TargetMenuItem manage;
    manage.kind = Kind::manageRemoteDevices;
    manage.title = "Manage Remote Devices...";
    items.push_back(std::move(manage));
    return items;
}

std::string ControlsViewState::targetStatusSymbolName() const {
    if (selectedRemoteTarget()) {
        if (isCheckingRemoteHealth_) return "ellipsis.circle.fill";
        if (isRemoteHealthy()) return "checkmark.circle.fill";
        return "network";
    }
    return model_.presentationApplicationRunning().get() ? "checkmark.circle.fill" : "xmark.circle.fill";
}

ControlColor ControlsViewState::targetStatusColor() const {
    // A check under way takes the colour of whatever the rows below it would show.
    if (selectedRemoteTarget()) {
        if (isRemoteHealthy()) return ControlColor::green;
        if (remoteHealthMessage_) return ControlColor::orange;
        return ControlColor::secondary;
    }
    return model_.presentationApplicationRunning().get() ? ControlColor::green : ControlColor::red;
}

std::string ControlsViewState::targetStatusText() const {
    if (auto target = selectedRemoteTarget()) {
        const std::string label = remoteTargetLabel(*target);
        if (isCheckingRemoteHealth_) return "Checking " + label;
        if (isRemoteHealthy()) {
            return label + " is reachable (" + remoteHealth_->presentationProviderName.value_or("Pavonix") + ")";
        }
        if (remoteHealthMessage_) return label + ": " + *remoteHealthMessage_;
        return label + " is selected";
    }
    return localTargetText() + (model_.presentationApplicationRunning().get() ? " is running" : " is not running");
}

void ControlsViewState::clearRemoteHealth() {
    remoteHealth_.reset();
    remoteHealthTargetID_.reset();
    remoteHealthMessage_.reset();
    isCheckingRemoteHealth_ = false;
    ++remoteHealthCheck_;
}

void ControlsViewState::selectProvider(PresentationProvider provider) {
    store_.setValue(settings::presentationProvider, provider);
    store_.setValue(settings::selectedRemoteLanternpostTargetID, std::string());
    clearRemoteHealth();
    changed();
}

void ControlsViewState::selectRemoteTarget(const std::string& targetID) {
    store_.setValue(settings::selectedRemoteLanternpostTargetID, targetID);
    changed();
}

void ControlsViewState::setPresentingRemoteDevices(bool presenting) {
    if (presenting == isPresentingRemoteDevices_) return;
    isPresentingRemoteDevices_ = presenting;
    changed();
    if (presenting && presentRemoteDevices_) presentRemoteDevices_();
}

void ControlsViewState::setRemoteHostInput(std::string text) {
    remoteHostInput_ = std::move(text);
    changed();
}

void ControlsViewState::setRemotePortInput(std::string text) {
    remotePortInput_ = std::move(text);
    changed();
}

void ControlsViewState::saveRemoteAddress() {
    auto target = selectedRemoteTarget();
    if (!target) return;
    auto port = parsedRemotePort();
    if (!port) return;
    const std::string host = trimmedWhitespaceAndNewlines(remoteHostInput_);
    if (host.empty()) return;
    if (host == target->host && *port == target->port) return;
    clearRemoteHealth();
    resetSlideList();
    // The stored list changes; its handler runs the refresh, which checks the new address.
    model_.updateRemoteTargetAddress(target->id, host, *port);
    changed();
}

void ControlsViewState::syncRemoteAddressEditor(const std::optional<RemoteLanternpostTarget>& target) {
    if (target) {
        remoteAddressTargetID_ = target->id;
        remoteHostInput_ = target->host;
        remotePortInput_ = std::to_string(target->port);
    } else {
        remoteAddressTargetID_.reset();
        remoteHostInput_.clear();
        remotePortInput_.clear();
    }
}

void ControlsViewState::syncRemoteAddressEditorIfNeeded() {
    auto target = selectedRemoteTarget();
    if (!target) {
        syncRemoteAddressEditor(std::nullopt);
    } else if (!remoteAddressTargetID_ || *remoteAddressTargetID_ != target->id) {
        syncRemoteAddressEditor(target);
    }
}

// ---- Window picker ------------------------------------------------------------------------------

bool ControlsViewState::showsWindowSection() const {
    return !selectedRemoteTarget() && presentationProvider() == PresentationProvider::googleSlides;
}

std::vector<ControlsViewState::WindowPickerEntry> ControlsViewState::windowPickerEntries() const {
    std::vector<WindowPickerEntry> entries;
    const std::int64_t saved = googleSlidesWindowID();
    const auto& windows = model_.googleSlidesWindowTargets().get();
    if (saved == 0) {
        entries.push_back({0, "Choose a window", false});
    } else if (std::none_of(windows.begin(), windows.end(),
                            [saved](const PresentationWindowTarget& window) { return window.windowID == saved; })) {
        entries.push_back({saved, googleSlidesWindowText() + " (not found)", false});
    }
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const bool separator = i > 0 && windows[i].displaySection() != windows[i - 1].displaySection();
        entries.push_back({windows[i].windowID, windows[i].menuTitle(), separator});
    }
    return entries;
}

void ControlsViewState::pickWindow(std::int64_t windowID) {
    // The picker shows whatever the setting holds afterwards; a refused pick keeps the old one.
    model_.selectGoogleSlidesWindow(windowID);
    changed();
}

void ControlsViewState::refreshWindows() {
    model_.relistWindows();
    changed();
}

// ---- Commands -----------------------------------------------------------------------------------

void ControlsViewState::send(const PresentationCommand& command) {
    if (!canSendCommands()) return;
    if (auto target = selectedRemoteTarget()) {
        model_.sendRemoteCommand(command, *target);
    } else {
        model_.execute(command, CommandSource::userInterface);
    }
    changed();
}

void ControlsViewState::clearTextFieldFocus() {
    focusedTextField_.reset();
    if (endEditing_) endEditing_();
    changed();
}

// ---- Slides -------------------------------------------------------------------------------------

std::string ControlsViewState::slidePickerPlaceholder() const {
    if (isLoadingSlides_) return std::string(loadingSlidesMessage);
    if (slides_.empty()) return "No slides loaded";
    return "Select...";
}

std::vector<ControlsViewState::SlidePickerEntry> ControlsViewState::slidePickerEntries() const {
    std::vector<SlidePickerEntry> entries;
    entries.reserve(slides_.size());
    for (const auto& slide : slides_) {
        entries.push_back({slide.number, std::to_string(slide.number) + ". " + (slide.hasExplicitName ? "#" : "") + slide.name});
    }
    return entries;
}

bool ControlsViewState::isSlidePickerEnabled() const {
    return !slides_.empty() && !isLoadingSlides_ && canSendCommands();
}

void ControlsViewState::setSelectedSlideNumber(std::optional<std::int64_t> number) {
    if (number == selectedSlideNumber_) return;
    selectedSlideNumber_ = number;
    if (number && canSendCommands()) send(PresentationCommand::goToSlideNumber(*number));
    changed();
}

void ControlsViewState::setSlideNumberText(std::string text) {
    slideNumber_ = parseInteger(trimmedWhitespaceAndNewlines(text));
    slideNumberText_ = std::move(text);
    changed();
}

bool ControlsViewState::canSubmitSlideNumber() const { return slideNumber_ && *slideNumber_ >= 1 && canSendCommands(); }

void ControlsViewState::submitSlideNumber() {
    if (!canSubmitSlideNumber()) return;
    send(PresentationCommand::goToSlideNumber(*slideNumber_));
    clearTextFieldFocus();
}

void ControlsViewState::setSlideName(std::string name) {
    slideName_ = std::move(name);
    changed();
}

bool ControlsViewState::canSubmitSlideName() const {
    return !normalizedSlideName(slideName_).empty() && canSendCommands();
}

void ControlsViewState::submitSlideName() {
    if (!canSubmitSlideName()) return;
    send(PresentationCommand::goToSlideNamed(normalizedSlideName(slideName_)));
    clearTextFieldFocus();
}

bool ControlsViewState::slideListTouched() const {
    return !slides_.empty() || selectedSlideNumber_ || loadedSlideTargetID_ || isLoadingSlides_;
}

void ControlsViewState::resetSlideList(std::optional<std::string> message) {
    slides_.clear();
    selectedSlideNumber_.reset();
    loadedSlideTargetID_.reset();
    slideListMessage_ = message ? std::move(*message)
                        : canLoadSlides() ? std::string(idleSlideListMessage)
                                          : std::string(unavailableSlideListMessage);
    isLoadingSlides_ = false;
    ++slideListGeneration_;
    changed();
}

void ControlsViewState::resetSlideListIfStale() {
    if (loadedSlideTargetID_ && *loadedSlideTargetID_ == slideListTargetKey()) return;
    if (!slideListTouched()) return;
    resetSlideList();
}

void ControlsViewState::loadSlidesIfNeeded() {
    if (!canLoadSlides()) {
        resetSlideList();
        return;
    }
    if (canSendCommands()) {
        if (loadedSlideTargetID_ && *loadedSlideTargetID_ == slideListTargetKey()) return;
        loadSlides();
    } else {
        resetSlideListIfStale();
    }
}

void ControlsViewState::loadSlides() {
    if (!canLoadSlides()) return;
    const std::string key = slideListTargetKey();
    const auto target = selectedRemoteTarget();
    const PresentationProvider provider = presentationProvider();
    const std::uint64_t generation = ++slideListGeneration_;
    slides_.clear();
    selectedSlideNumber_.reset();
    loadedSlideTargetID_.reset();
    isLoadingSlides_ = true;
    slideListMessage_ = std::string(loadingSlidesMessage);
    changed();

    std::weak_ptr<bool> alive = alive_;
    if (target) {
        model_.fetchRemoteSlides(*target, [this, alive, key, generation](SlideListResult result) {
            if (alive.lock()) applySlideList(key, generation, result);
        });
    } else {
        later([key, generation, provider](ControlsViewState& self) {
            SlideListResult result = self.model_.listSlides(provider);
            self.model_.refreshStatus();
            self.applySlideList(key, generation, result);
        });
    }
}

void ControlsViewState::applySlideList(const std::string& key, std::uint64_t generation, const SlideListResult& result) {
    if (slideListTargetKey() != key || slideListGeneration_ != generation) {
        if (slideListGeneration_ == generation) {
            isLoadingSlides_ = false;
            changed();
        }
        return;
    }
    loadedSlideTargetID_ = key;
    selectedSlideNumber_.reset();
    if (result.status == ResultStatus::failed) {
        slides_.clear();
        slideListMessage_ = result.message;
    } else {
        slides_ = result.slides;
        slideListMessage_ = slides_.empty() ? std::string(noSlidesFoundMessage) : std::string();
    }
    isLoadingSlides_ = false;
    changed();
}

// ---- Refresh ------------------------------------------------------------------------------------

void ControlsViewState::refreshTargetState() {
    if (!isActive_) return;
    const auto target = selectedRemoteTarget();
    if (target || presentationProvider() != PresentationProvider::googleSlides) {
        const bool foreign = !loadedSlideTargetID_ || *loadedSlideTargetID_ != slideListTargetKey();
        if (foreign && slideListTouched()) resetSlideList();
        if (target) checkRemoteHealth(*target);
        loadSlidesIfNeeded();
    } else {
        resetSlideList();
        model_.relistWindows();
    }
    changed();
}

void ControlsViewState::checkRemoteHealth(const RemoteLanternpostTarget& target) {
    if (remoteHealthTargetID_ == target.id && remoteHealth_) return;
    isCheckingRemoteHealth_ = true;
    remoteHealthTargetID_ = target.id;
    remoteHealthMessage_.reset();
    const std::uint64_t check = remoteHealthCheck_;
    std::weak_ptr<bool> alive = alive_;
    model_.checkHealth(target, [this, alive, target, check](RemoteHealthReply reply) {
        if (alive.lock()) applyHealth(target, check, reply);
    });
    changed();
}

void ControlsViewState::recheckFailedRemote() {
    if (!selectedRemoteTarget()) return;
    // A list that came back as a failure for this target, its message shown in the list's place.
    const bool listFailed = loadedSlideTargetID_ == slideListTargetKey() && slides_.empty() &&
                            slideListMessage_ != noSlidesFoundMessage;
    if (!remoteHealthMessage_ && !listFailed) return;
    clearRemoteHealth();
    resetSlideList();
    refreshTargetState();
}

void ControlsViewState::applyHealth(const RemoteLanternpostTarget& target, std::uint64_t check,
                                    const RemoteHealthReply& reply) {
    auto selected = selectedRemoteTarget();
    if (!selected || selected->id != target.id || check != remoteHealthCheck_) return;
    remoteHealthTargetID_ = target.id;
    if (auto* health = std::get_if<RemoteLanternpostHealth>(&reply)) {
        remoteHealth_ = *health;
        remoteHealthMessage_.reset();
        if (health->presentationProvider == "googleSlides") {
            resetSlideList();
        } else {
            loadSlidesIfNeeded();
        }
    } else {
        remoteHealth_.reset();
        remoteHealthMessage_ = std::get<std::string>(reply);
    }
    selected = selectedRemoteTarget();
    if (selected && selected->id == target.id) isCheckingRemoteHealth_ = false;
    changed();
}

// ---- Change handlers ----------------------------------------------------------------------------

void ControlsViewState::providerChanged() {
    resetSlideList();
    if (!selectedRemoteTarget()) model_.refreshStatus();
    refreshTargetState();
    changed();
}

void ControlsViewState::selectedRemoteTargetChanged() {
    syncRemoteAddressEditor(selectedRemoteTarget());
    clearRemoteHealth();
    resetSlideList();
    refreshTargetState();
    changed();
}

void ControlsViewState::remoteTargetsChanged(const std::vector<RemoteLanternpostTarget>& targets) {
    const std::string selected = selectedRemoteTargetID();
    if (!selected.empty() &&
        std::none_of(targets.begin(), targets.end(), [&](const RemoteLanternpostTarget& t) { return t.id == selected; })) {
        store_.setValue(settings::selectedRemoteLanternpostTargetID, std::string());
    }
    syncRemoteAddressEditorIfNeeded();
    resetSlideList();
    refreshTargetState();
    changed();
}

void ControlsViewState::applicationRunningChanged(bool running) {
    if (selectedRemoteTarget()) {
        changed();
        return;
    }
    if (running) {
        refreshTargetState();
    } else {
        resetSlideList();
    }
    changed();
}

void ControlsViewState::refreshSlideNamesPosted() {
    if (!canLoadSlides() || !canSendCommands()) return;
    resetSlideList(std::string(loadingSlidesMessage));
    loadSlides();
}

// ---- Result line and shortcuts ------------------------------------------------------------------

std::string ControlsViewState::storageNoticeText() const {
    std::string text;
    for (const auto& line : model_.storageNotices().get().lines()) text += (text.empty() ? "" : "\n") + line;
    return text;
}

std::string ControlsViewState::resultLine() const {
    const auto& last = model_.lastCommand().get();
    if (!last) return "Ready.";
    return std::string(label(last->source)) + ": " + last->result.message;
}

ControlColor ControlsViewState::resultColor() const {
    const auto& last = model_.lastCommand().get();
    return last && last->result.status == ResultStatus::failed ? ControlColor::red : ControlColor::secondary;
}

void ControlsViewState::setFocusedTextField(std::optional<ControlTextField> field) {
    if (field == focusedTextField_) return;
    focusedTextField_ = field;
    changed();
}

bool ControlsViewState::isShortcutEnabled(ControlShortcut shortcut) const {
    if (!isActive_ || !canSendCommands()) return false;
    switch (shortcut) {
        case ControlShortcut::start:
        case ControlShortcut::startFromBeginning:
        case ControlShortcut::stop:
            return true;
        case ControlShortcut::previous:
        case ControlShortcut::next:
        case ControlShortcut::nextSpace:
            // Arrows and Space belong to whichever text field has the keyboard.
            return !focusedTextField_;
    }
    return false;
}

PresentationCommand ControlsViewState::shortcutCommand(ControlShortcut shortcut) {
    switch (shortcut) {
        case ControlShortcut::start:
            return PresentationCommand::start(false);
        case ControlShortcut::startFromBeginning:
            return PresentationCommand::start(true);
        case ControlShortcut::stop:
            return PresentationCommand::stop();
        case ControlShortcut::previous:
            return PresentationCommand::showPrevious();
        case ControlShortcut::next:
        case ControlShortcut::nextSpace:
            break;
    }
    return PresentationCommand::showNext();
}

bool ControlsViewState::triggerShortcut(ControlShortcut shortcut) {
    if (!isShortcutEnabled(shortcut)) return false;
    send(shortcutCommand(shortcut));
    return true;
}

}  // namespace pavonix
