// The controls view without its widgets: what it shows, what it enables, and what each press,
// pick, key and change does. The Qt widget (controls_view.h) only displays this state and feeds
// user input into it, so every decision here runs in tests without a screen.
//
// Settings are read from the store on every use (another view, the model or the Control menu
// may write them at any time). Their change handlers, and that of the model's
// presentationApplicationRunning, run as main-queue tasks after the change, once per change, in
// the order the changes happened; the value present at construction is no change.
//
// Threads: the main thread only. Answers that arrive after this object is gone are ignored.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/pairing_records.h"
#include "app/core/presentation_command.h"
#include "app/core/presentation_provider.h"
#include "app/core/slide_list_result.h"
#include "app/model/observable_value.h"
#include "app/views/controls/controls_model.h"
#include "app/views/controls/notification_center.h"
#include "settings_store/settings_store.h"

namespace pavonix {

// The view's text fields that take keyboard focus. The two navigation fields are the ones the Tab
// defocus monitor watches; any focused field keeps the plain-key shortcuts (arrows, Space) off.
enum class ControlTextField { slideNumber, slideName, remoteHost, remotePort };

bool isNavigationTextField(ControlTextField field);

// A key press as the Tab defocus monitor sees it.
struct MonitoredKeyPress {
    bool isTab = false;  // Tab, or the back-tab that Shift-Tab produces
    bool shift = false;
    bool capsLock = false;
    bool control = false;
    bool alt = false;
    bool meta = false;
    bool keypad = false;
};

// While a navigation field has focus, Tab and Shift-Tab (and nothing else, not even with Caps
// Lock on) take the focus out of the text fields altogether instead of moving it on, so that the
// arrow and Space shortcuts work again.
bool shouldDefocusOnKey(std::optional<ControlTextField> focused, const MonitoredKeyPress& key);

// The colours the view uses; the widget maps them to the palette.
enum class ControlColor { primary, secondary, accent, green, blue, red, orange };

// The six keyboard shortcuts of the controls view.
enum class ControlShortcut { start, startFromBeginning, stop, previous, next, nextSpace };

class ControlsViewState {
public:
    static constexpr std::string_view idleSlideListMessage = "Load slides to choose one.";
    static constexpr std::string_view unavailableSlideListMessage = "Slide list unavailable for Google Slides.";
    static constexpr std::string_view loadingSlidesMessage = "Loading slides...";
    static constexpr std::string_view noSlidesFoundMessage = "No slides found.";
    static constexpr std::string_view invalidAddressMessage = "Enter a valid host and port.";
    static constexpr std::string_view windowPickerCaption =
        "Choose the window that is showing your Google Slides presentation.";

    struct TargetMenuItem {
        enum class Kind { provider, remoteTarget, separator, manageRemoteDevices };
        Kind kind = Kind::separator;
        std::string title;
        bool checked = false;
        PresentationProvider provider = PresentationProvider::keynote;  // Kind::provider
        std::string remoteTargetID;                                     // Kind::remoteTarget
    };

    struct WindowPickerEntry {
        std::int64_t tag = 0;
        std::string text;
        bool separatorBefore = false;
    };

    struct SlidePickerEntry {
        std::int64_t number = 0;
        std::string text;
    };

    // The model, the store and the notification centre must outlive this object.
    ControlsViewState(ControlsModel& model, SettingsStore& store, bool isActive, NotificationCenter& notifications);
    ~ControlsViewState();
    ControlsViewState(const ControlsViewState&) = delete;
    ControlsViewState& operator=(const ControlsViewState&) = delete;

    // Runs after every change of anything shown (state, settings, the model's observed values).
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }
    // Ends editing in the window and leaves it without a focused widget; set by the widget.
    void setEndEditing(std::function<void()> endEditing) { endEditing_ = std::move(endEditing); }
    // Opens the remote devices sheet; set by whoever provides that sheet.
    void setPresentRemoteDevices(std::function<void()> present) { presentRemoteDevices_ = std::move(present); }

    // ---- Life cycle ----
    void appear();
    void setActive(bool active);
    bool isActive() const { return isActive_; }

    // ---- Settings, as stored now ----
    PresentationProvider presentationProvider() const;
    std::int64_t googleSlidesWindowID() const;
    std::vector<RemoteLanternpostTarget> remoteTargets() const;
    std::string selectedRemoteTargetID() const;

    // ---- View state ----
    std::optional<std::int64_t> slideNumber() const { return slideNumber_; }
    const std::string& slideNumberText() const { return slideNumberText_; }
    const std::string& slideName() const { return slideName_; }
    const std::vector<SlideSummary>& slides() const { return slides_; }
    std::optional<std::int64_t> selectedSlideNumber() const { return selectedSlideNumber_; }
    const std::string& slideListMessage() const { return slideListMessage_; }
    bool isLoadingSlides() const { return isLoadingSlides_; }
    std::uint64_t slideListGeneration() const { return slideListGeneration_; }
    const std::optional<std::string>& loadedSlideTargetID() const { return loadedSlideTargetID_; }
    bool isPresentingRemoteDevices() const { return isPresentingRemoteDevices_; }
    const std::optional<RemoteLanternpostHealth>& remoteHealth() const { return remoteHealth_; }
    const std::optional<std::string>& remoteHealthTargetID() const { return remoteHealthTargetID_; }
    const std::optional<std::string>& remoteHealthMessage() const { return remoteHealthMessage_; }
    bool isCheckingRemoteHealth() const { return isCheckingRemoteHealth_; }
    const std::optional<std::string>& remoteAddressTargetID() const { return remoteAddressTargetID_; }
    const std::string& remoteHostInput() const { return remoteHostInput_; }
    const std::string& remotePortInput() const { return remotePortInput_; }
    std::optional<ControlTextField> focusedTextField() const { return focusedTextField_; }

    // ---- Derived values ----
    std::optional<RemoteLanternpostTarget> selectedRemoteTarget() const;
    bool isRemoteHealthy() const;
    bool canLoadSlides() const;
    std::string slideListTargetKey() const;
    std::string localTargetText() const;
    std::string googleSlidesWindowText() const;
    bool canSendCommands() const;
    std::string navigationSectionTitle() const;
    std::optional<std::int64_t> parsedRemotePort() const;
    bool isRemoteAddressInputValid() const;
    bool canSaveRemoteAddress(const RemoteLanternpostTarget& target) const;

    // ---- Target section ----
    std::string targetMenuTitle() const;
    std::vector<TargetMenuItem> targetMenuItems() const;
    std::string targetStatusSymbolName() const;
    ControlColor targetStatusColor() const;
    std::string targetStatusText() const;
    void selectProvider(PresentationProvider provider);
    void selectRemoteTarget(const std::string& targetID);
    void setPresentingRemoteDevices(bool presenting);
    void setRemoteHostInput(std::string text);
    void setRemotePortInput(std::string text);
    void saveRemoteAddress();

    // ---- Window picker (local Google Slides only) ----
    bool showsWindowSection() const;
    std::vector<WindowPickerEntry> windowPickerEntries() const;
    void pickWindow(std::int64_t windowID);
    void refreshWindows();

    // ---- Commands ----
    // The buttons are drawn emphasised while the view is active and its window is key or active.
    bool isEmphasised(bool windowActive) const { return isActive_ && windowActive; }
    void send(const PresentationCommand& command);
    void clearTextFieldFocus();

    // ---- Slides ----
    std::string slidePickerPlaceholder() const;
    std::vector<SlidePickerEntry> slidePickerEntries() const;
    bool isSlidePickerEnabled() const;
    // The user's pick: a number sends that slide at once; nothing (the placeholder) sends nothing.
    void setSelectedSlideNumber(std::optional<std::int64_t> number);
    // The "Slide #" field's text; a text that is not a whole number (an emptied field included)
    // leaves no number to send.
    void setSlideNumberText(std::string text);
    bool canSubmitSlideNumber() const;
    void submitSlideNumber();
    void setSlideName(std::string name);
    bool canSubmitSlideName() const;
    void submitSlideName();
    void loadSlidesIfNeeded();
    void loadSlides();
    void resetSlideList(std::optional<std::string> message = std::nullopt);
    void resetSlideListIfStale();

    // ---- Refresh ----
    void refreshTargetState();
    void checkRemoteHealth(const RemoteLanternpostTarget& target);

    // ---- Result line and shortcuts ----
    // The problems with the settings file and the pairing secrets that stand, one per line; empty
    // when none does.
    std::string storageNoticeText() const;
    // The last command.
    std::string resultLine() const;
    ControlColor resultColor() const;
    void setFocusedTextField(std::optional<ControlTextField> field);
    bool isShortcutEnabled(ControlShortcut shortcut) const;
    // Sends the shortcut's command when it is enabled; returns whether it did.
    bool triggerShortcut(ControlShortcut shortcut);
    static PresentationCommand shortcutCommand(ControlShortcut shortcut);

private:
    void changed();
    void clearRemoteHealth();
    bool slideListTouched() const;
    void syncRemoteAddressEditor(const std::optional<RemoteLanternpostTarget>& target);
    void syncRemoteAddressEditorIfNeeded();
    void applySlideList(const std::string& key, std::uint64_t generation, const SlideListResult& result);
    void applyHealth(const RemoteLanternpostTarget& target, std::uint64_t check, const RemoteHealthReply& reply);
    // Checks the selected remote target and loads its slides again when the last check or load
    // failed.
    void recheckFailedRemote();
    // Runs `handler` as a main-queue task, unless this object is gone by then.
    void later(std::function<void(ControlsViewState&)> handler);

    void providerChanged();
    void selectedRemoteTargetChanged();
    void remoteTargetsChanged(const std::vector<RemoteLanternpostTarget>& targets);
    void applicationRunningChanged(bool running);
    void refreshSlideNamesPosted();

    ControlsModel& model_;
    SettingsStore& store_;
    bool isActive_;

    std::optional<std::int64_t> slideNumber_{1};
    std::string slideNumberText_{"1"};
    std::string slideName_;
    std::vector<SlideSummary> slides_;
    std::optional<std::int64_t> selectedSlideNumber_;
    std::string slideListMessage_{idleSlideListMessage};
    bool isLoadingSlides_ = false;
    std::uint64_t slideListGeneration_ = 0;
    std::optional<std::string> loadedSlideTargetID_;
    bool isPresentingRemoteDevices_ = false;
    std::optional<RemoteLanternpostHealth> remoteHealth_;
    std::optional<std::string> remoteHealthTargetID_;
    std::optional<std::string> remoteHealthMessage_;
    bool isCheckingRemoteHealth_ = false;
    bool secretsNoticeStood_ = false;  // the keychain could not be read, as last told
    // Raised whenever the health fields are cleared, so that an answer to a check started before
    // (for an address since replaced, say) is never shown.
    std::uint64_t remoteHealthCheck_ = 0;
    std::optional<std::string> remoteAddressTargetID_;
    std::string remoteHostInput_;
    std::string remotePortInput_;
    std::optional<ControlTextField> focusedTextField_;

    std::function<void()> onChange_;
    std::function<void()> endEditing_;
    std::function<void()> presentRemoteDevices_;

    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    SettingsStore::Subscription providerSubscription_;
    SettingsStore::Subscription selectedRemoteSubscription_;
    SettingsStore::Subscription remoteTargetsSubscription_;
    std::vector<SettingsStore::Subscription> redrawSubscriptions_;
    Observation runningObservation_;
    Observation windowsObservation_;
    Observation lastCommandObservation_;
    Observation storageNoticeObservation_;
    NotificationCenter::Token refreshToken_;
};

}  // namespace pavonix
