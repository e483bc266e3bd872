#include "app/model/default_pavonix_name.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/core/text.h"

namespace pavonix {

std::string defaultPavonixName(const PavonixNameSources& sources) {
    if (sources.fullName) {
        const std::string name = trimmedWhitespaceAndNewlines(*sources.fullName);
        const std::string firstWord = name.substr(0, name.find(' '));
        if (!firstWord.empty()) return firstWord + "'s Pavonix";
    }
    for (const auto* host : {&sources.prettyHostName, &sources.hostName}) {
        if (!*host) continue;
        const std::string trimmed = trimmedWhitespaceAndNewlines(**host);
        if (!trimmed.empty()) return "Pavonix on " + trimmed;
    }
    return "Pavonix";
}

std::string fullNameFromGecos(std::string_view gecos) { return std::string(gecos.substr(0, gecos.find(','))); }

std::optional<std::string> prettyHostNameFromMachineInfo(std::string_view text) {
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    std::optional<std::string> found;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (!line.starts_with(key)) continue;
        std::string_view raw = line.substr(key.size());
        while (!raw.empty() && (raw.back() == '\r' || raw.back() == ' ' || raw.back() == '\t')) raw.remove_suffix(1);
        std::string value;
        if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
            const char quote = raw.front();
            raw = raw.substr(1, raw.size() - 2);
            for (std::size_t i = 0; i < raw.size(); ++i) {
                // Inside double quotes a backslash escapes the next character, as in a shell.
                if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size()) ++i;
                value.push_back(raw[i]);
            }
        } else {
            value = std::string(raw);
        }
        found = std::move(value);  // the last assignment wins, as when the file is sourced
    }
    return found;
}

PavonixNameSources systemPavonixNameSources() {
    PavonixNameSources sources;

    long bufferSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(bufferSize > 0 ? static_cast<std::size_t>(bufferSize) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_gecos) {
        sources.fullName = fullNameFromGecos(result->pw_gecos);
    }

    std::ifstream machineInfo("/etc/machine-info");
    if (machineInfo) {
        std::ostringstream text;
        text << machineInfo.rdbuf();
        sources.prettyHostName = prettyHostNameFromMachineInfo(text.str());
    }

    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) == 0) sources.hostName = std::string(host);
    return sources;
}

}  // namespace pavonix
