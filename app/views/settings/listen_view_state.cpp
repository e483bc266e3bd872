#include "app/views/settings/listen_view_state.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

#include "app/settings/settings_keys.h"
#include "app/views/settings/api_reference.h"

namespace pavonix {

using network::NetworkListenMode;
using network::NetworkListenSelection;

namespace {

bool isPort(std::int64_t port) { return port >= 1 && port <= 65535; }

bool isIPv4Address(const std::string& text) {
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

}  // namespace

std::optional<std::int64_t> portFromFieldText(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::int64_t port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || !isPort(port)) return std::nullopt;
    return port;
}

ListenViewState::ListenViewState(SettingsWindowModel& model, SettingsStore& store) : model_(model), store_(store) {}

std::vector<NetworkListenSelection> ListenViewState::options() const {
    const auto& interfaces = model_.availableInterfaces().get();
    auto options = network::listenSelectionOptions(interfaces);
    if (store_.value(settings::listenAddressMode) == NetworkListenMode::specificInterface) {
        const std::string saved = store_.value(settings::selectedListenAddress);
        const bool listed = std::any_of(interfaces.begin(), interfaces.end(),
                                        [&](const auto& interface) { return interface.address == saved; });
        if (!listed) options.push_back(NetworkListenSelection::interface(saved));
    }
    return options;
}

std::vector<ListenViewState::PickerRow> ListenViewState::pickerRows() const {
    const auto& interfaces = model_.availableInterfaces().get();
    std::vector<PickerRow> rows;
    for (const auto& option : options()) rows.push_back({option.id(), option.label(interfaces)});
    return rows;
}

std::string ListenViewState::selectionID() const {
    switch (store_.value(settings::listenAddressMode)) {
        case NetworkListenMode::allInterfaces: return NetworkListenSelection::allInterfaces().id();
        case NetworkListenMode::localhost: return NetworkListenSelection::localhost().id();
        case NetworkListenMode::specificInterface: break;
    }
    return NetworkListenSelection::interface(store_.value(settings::selectedListenAddress)).id();
}

void ListenViewState::select(const std::string& id) {
    const auto all = options();
    const auto option = std::find_if(all.begin(), all.end(), [&](const auto& candidate) { return candidate.id() == id; });
    if (option == all.end()) return;
    switch (option->kind()) {
        case NetworkListenSelection::Kind::allInterfaces:
        case NetworkListenSelection::Kind::localhost:
            store_.setValue(settings::listenAddressMode, option->kind() == NetworkListenSelection::Kind::localhost
                                                             ? NetworkListenMode::localhost
                                                             : NetworkListenMode::allInterfaces);
            store_.setValue(settings::selectedListenAddress, std::string());
            break;
        case NetworkListenSelection::Kind::interface:
            store_.setValue(settings::selectedListenAddress, option->address());
            store_.setValue(settings::listenAddressMode, NetworkListenMode::specificInterface);
            break;
    }
}

bool ListenViewState::showsAvailableInterfaces() const {
    return store_.value(settings::listenAddressMode) == NetworkListenMode::allInterfaces;
}

std::vector<std::string> ListenViewState::availableInterfaceLines() const {
    std::vector<std::string> lines;
    for (const auto& interface : withLoopbackEntry(model_.availableInterfaces().get())) lines.push_back(interface.label());
    return lines;
}

bool ListenViewState::setPortText(const SettingsStore::Key<std::int64_t>& key, std::string_view text) {
    const auto port = portFromFieldText(text);
    if (!port) return false;
    store_.setValue(key, *port);
    return true;
}

bool ListenViewState::oscPortEditable() const { return store_.value(settings::oscEnabled); }
bool ListenViewState::httpPortEditable() const { return store_.value(settings::httpEnabled); }

std::optional<std::string> ListenViewState::webControlURL() const {
    const std::int64_t port = store_.value(settings::httpPort);
    if (!isPort(port)) return std::nullopt;
    std::string host = "127.0.0.1";
    if (store_.value(settings::listenAddressMode) == NetworkListenMode::specificInterface) {
        // A hand-edited settings file may hold anything here; only an address makes a link.
        host = store_.value(settings::selectedListenAddress);
        if (!isIPv4Address(host)) return std::nullopt;
    }
    return "http://" + host + ":" + std::to_string(port) + "/";
}

}  // namespace pavonix
