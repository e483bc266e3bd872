// What the user is told about the settings file and the pairing secrets: the problems that stand
// now, and the newest of them for the main window's result line until a command replaces it.
//
// Threads: the main thread only (the model's).
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/model/observable_value.h"
#include "platform/defaults/user_defaults.h"

namespace pavonix {

// The standing problems, each as the full sentence the user reads.
struct StorageNotices {
    std::optional<std::string> settingsRead;
    std::optional<std::string> settingsWrite;
    std::optional<std::string> secrets;

    // The sentences that stand, in the order above.
    std::vector<std::string> lines() const;

    friend bool operator==(const StorageNotices&, const StorageNotices&) = default;
};

// "Settings could not be read; they were set aside as <path>. Request signing is on until you
// change it." or "Settings could not be read: <reason>. Nothing was changed on disk."
std::string settingsReadNotice(const defaults::UserDefaults::LoadProblem& problem);
// "Settings could not be saved: <reason>."
std::string settingsWriteNotice(const std::string& reason);
// "Pairing secrets could not be read: <reason>."
std::string secretsNotice(const std::string& reason);
// "1 stored pairing could not be read; it is kept as it is." (and the plural); empty for 0.
std::string unreadableRecordsNotice(std::size_t count);

// What a pairing or a choice throws when its record did not reach the disk; what() is
// settingsWriteNotice(reason).
class SettingsNotSavedError : public std::runtime_error {
public:
    explicit SettingsNotSavedError(const std::string& reason) : std::runtime_error(settingsWriteNotice(reason)) {}
};

// Keeps the standing problems and the result line's notice consistent with each other.
class StorageNoticeBoard {
public:
    enum class Kind { settingsRead, settingsWrite, secrets };

    ObservableValue<StorageNotices> standing;
    // The newest problem while it stands and no command has been recorded since it came.
    ObservableValue<std::optional<std::string>> latest;

    // A problem of that kind with this text, or none (nullopt). Each new text becomes the latest
    // notice once; the same text again is not news. A problem that goes takes its latest notice
    // with it.
    void set(Kind kind, std::optional<std::string> text);
    // A command was recorded: the result line shows it instead.
    void commandRecorded();

private:
    std::optional<Kind> latestKind_;
};

}  // namespace pavonix
