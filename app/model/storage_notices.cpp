#include "app/model/storage_notices.h"

#include <algorithm>
#include <utility>

#include "app/core/text.h"

namespace pavonix {

namespace {

// Reasons come from the system and from the stores; some end in a full stop of their own, and
// the sentence around them must not end in two.
std::string asClause(const std::string& reason) {
    std::string clause = trimmedWhitespaceAndNewlines(reason);
    while (!clause.empty() && clause.back() == '.') clause.pop_back();
    return clause.empty() ? std::string("unknown error") : clause;
}

}  // namespace

std::vector<std::string> StorageNotices::lines() const {
    std::vector<std::string> out;
    for (const auto* line : {&settingsRead, &settingsWrite, &secrets}) {
        if (*line) out.push_back(**line);
    }
    return out;
}

std::vector<std::string> StorageNotices::linesNewSince(const StorageNotices& before) const {
    const auto earlier = before.lines();
    std::vector<std::string> out;
    for (auto& line : lines()) {
        if (std::find(earlier.begin(), earlier.end(), line) == earlier.end()) out.push_back(std::move(line));
    }
    return out;
}

std::string settingsReadNotice(const defaults::UserDefaults::LoadProblem& problem, const std::filesystem::path& file,
                               bool signingRequired) {
    if (problem.setAside) {
        std::string text = "Settings could not be read and were set aside: the earlier settings and pairings are in " +
                           problem.setAside->string() + ".";
        // Only while it is true: the user may have turned the switch off since.
        if (signingRequired) text += " Require Paired Devices is on until you turn it off.";
        return text;
    }
    const bool dangling = problem.remedy == defaults::UserDefaults::Remedy::createLinkTarget;
    return "Settings could not be read from " + file.string() + ": " + asClause(problem.reason) +
           ". Nothing was changed on disk; " +
           (dangling ? "create what the link leads to, or remove the link." : "check the permissions of the file and its folder.");
}

std::string settingsWriteNotice(const std::filesystem::path& file, const defaults::UserDefaults::WriteProblem& problem) {
    using Remedy = defaults::UserDefaults::Remedy;
    const std::string start = "Settings could not be saved to " + file.string() + ": ";
    switch (problem.remedy) {
    case Remedy::createLinkTarget:
        return start + asClause(problem.reason) + ". Create what the link leads to, or remove the link.";
    case Remedy::releaseLock:
        return start + asClause(problem.reason) + ", " + defaults::UserDefaults::lockPath(file).string() +
               ". Pavonix saves them once that program lets go of it.";
    case Remedy::permissions:
        break;
    }
    // The step in the reason tells which of the two it was; both are named.
    return start + asClause(problem.reason) + ". Check the permissions of that file and its folder, and the free space on the disk.";
}

std::string settingsWriteNotice(const std::string& reason) {
    return "Settings could not be saved: " + asClause(reason) + ".";
}

std::string secretsNotice(const std::string& reason) { return "Pairing secrets could not be read: " + asClause(reason) + "."; }

std::string unreadableRecordsNotice(std::size_t count) {
    if (count == 0) return {};
    if (count == 1) return "1 stored pairing could not be read; it is kept as it is.";
    return std::to_string(count) + " stored pairings could not be read; they are kept as they are.";
}

void StorageNoticeBoard::set(Kind kind, std::optional<std::string> text) {
    StorageNotices next = standing.get();
    std::optional<std::string>& slot = kind == Kind::settingsRead    ? next.settingsRead
                                       : kind == Kind::settingsWrite ? next.settingsWrite
                                                                     : next.secrets;
    if (slot == text) return;
    slot = std::move(text);
    standing.set(std::move(next));
}

}  // namespace pavonix
