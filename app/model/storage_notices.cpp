#include "app/model/storage_notices.h"

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

std::string settingsReadNotice(const defaults::UserDefaults::LoadProblem& problem) {
    if (problem.setAside) {
        return "Settings could not be read; they were set aside as " + problem.setAside->string() +
               ". Request signing is on until you change it.";
    }
    return "Settings could not be read: " + asClause(problem.reason) + ". Nothing was changed on disk.";
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
    slot = text;
    standing.set(std::move(next));
    if (text) {
        latestKind_ = kind;
        latest.set(std::move(text));
    } else if (latestKind_ == kind) {
        latestKind_.reset();
        latest.set(std::nullopt);
    }
}

void StorageNoticeBoard::commandRecorded() {
    latestKind_.reset();
    latest.set(std::nullopt);
}

}  // namespace pavonix
