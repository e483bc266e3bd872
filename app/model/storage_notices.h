// What the user is told about the settings file and the pairing secrets: the problems that stand
// now, shown for as long as they stand.
//
// Threads: the main thread only (the model's).
#pragma once

#include <cstddef>
#include <filesystem>
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
    // The sentences that stand here and did not in `before`: a problem that has just arisen.
    std::vector<std::string> linesNewSince(const StorageNotices& before) const;

    friend bool operator==(const StorageNotices&, const StorageNotices&) = default;
};

// For the user, in the settings window's words. A file that was set aside: "Settings could not be
// read and were set aside: the earlier settings and pairings are in <aside>." followed, while
// `signingRequired`, by " Require Paired Devices is on until you turn it off." A file that could
// not be read at all: "Settings could not be read from <file>: <reason>. Nothing was changed on
// disk; check the permissions of the file and its folder." (for a link that leads nowhere: "...;
// create what the link leads to, or remove the link.")
std::string settingsReadNotice(const defaults::UserDefaults::LoadProblem& problem, const std::filesystem::path& file,
                               bool signingRequired);
// For the user: "Settings could not be saved to <file>: <reason>. Check the permissions of that
// file and its folder, and the free space on the disk.", or the advice that fits the problem's
// remedy instead (a lock held by another program: the lock file named).
std::string settingsWriteNotice(const std::filesystem::path& file, const defaults::UserDefaults::WriteProblem& problem);
// For whoever asked for the change, a peer perhaps, so without the user's paths: "Settings could
// not be saved: <reason>."
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

// The standing problems, one slot per kind.
class StorageNoticeBoard {
public:
    enum class Kind { settingsRead, settingsWrite, secrets };

    ObservableValue<StorageNotices> standing;

    // A problem of that kind with this text, or none (nullopt).
    void set(Kind kind, std::optional<std::string> text);
};

}  // namespace pavonix
