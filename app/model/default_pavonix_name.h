// The name this instance offers to other devices when the user has not given one: "Ada's
// Pavonix" from the user's full name, else "Pavonix on <host>", else "Pavonix".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pavonix {

struct PavonixNameSources {
    std::optional<std::string> fullName;        // the user's full name
    std::optional<std::string> prettyHostName;  // the host's display name, if it has one
    std::optional<std::string> hostName;        // the kernel's host name
};

std::string defaultPavonixName(const PavonixNameSources& sources);

// The user's full name from the password database, the pretty host name from /etc/machine-info,
// the host name from the kernel.
PavonixNameSources systemPavonixNameSources();

// The full-name part of a password entry's comment field: the text up to the first comma.
std::string fullNameFromGecos(std::string_view gecos);
// PRETTY_HOSTNAME of a machine-info file (an environment-style file of KEY=value lines whose values
// may be quoted); nothing when absent.
std::optional<std::string> prettyHostNameFromMachineInfo(std::string_view text);

}  // namespace pavonix
