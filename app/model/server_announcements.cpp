#include "app/model/server_announcements.h"

#include "app/settings/settings_keys.h"

namespace pavonix {

std::vector<std::string> controlPageAddresses(network::NetworkListenMode mode, const std::string& selectedAddress,
                                              const std::vector<network::NetworkInterfaceAddress>& interfaces,
                                              std::int64_t port) {
    std::vector<std::string> hosts;
    switch (mode) {
        case network::NetworkListenMode::allInterfaces:
            for (const auto& interface : interfaces) hosts.push_back(interface.address);
            hosts.emplace_back("127.0.0.1");
            break;
        case network::NetworkListenMode::localhost:
            hosts.emplace_back("127.0.0.1");
            break;
        case network::NetworkListenMode::specificInterface:
            hosts.push_back(selectedAddress);
            break;
    }
    std::vector<std::string> addresses;
    for (const auto& host : hosts) addresses.push_back("http://" + host + ":" + std::to_string(port) + "/");
    return addresses;
}

ServerAnnouncements::ServerAnnouncements(LanternpostModel& model, Print print) : model_(model), print_(std::move(print)) {
    const auto watch = [this](Server server, ObservableValue<BridgeServerStatus>& status) {
        announce(server, status.get());
        observations_.push_back(status.observe([this, server](const BridgeServerStatus& now) { announce(server, now); }));
    };
    watch(osc, model_.oscStatus);
    watch(http, model_.httpStatus);
    watch(bluetooth, model_.bluetoothStatus);
    announce(model_.storageNotices.standing.get());
    observations_.push_back(model_.storageNotices.standing.observe([this](const StorageNotices& now) { announce(now); }));
}

void ServerAnnouncements::announce(const StorageNotices& notices) {
    for (const auto& line : notices.linesNewSince(noticesTold_)) print_("Pavonix: " + line);
    noticesTold_ = notices;
}

void ServerAnnouncements::announce(Server server, const BridgeServerStatus& status) {
    std::string text = line(server, status);
    if (text.empty() || text == told_[server]) return;
    told_[server] = text;
    print_(text);
}

std::string ServerAnnouncements::line(Server server, const BridgeServerStatus& status) const {
    static constexpr const char* names[] = {"OSC", "HTTP", "Bluetooth"};
    const SettingsStore& store = model_.settings();
    const std::string name = std::string("Pavonix: ") + names[server];
    const bool enabled = store.value(server == osc    ? settings::oscEnabled
                                     : server == http ? settings::httpEnabled
                                                      : settings::bluetoothEnabled);
    using State = BridgeServerStatus::State;
    switch (status.state) {
        case State::starting:
            return {};
        case State::stopped:
            // Stopped while switched on is a restart under way, or the program ending.
            return enabled || server == bluetooth ? std::string() : name + " is switched off in the settings.";
        case State::failed:
            return name + " did not start: " + status.detail;
        case State::running:
            break;
    }
    std::string text = name + ": " + status.detail;
    if (server == osc) text += " (UDP and TCP)";
    if (server == http) {
        const auto addresses = controlPageAddresses(store.value(settings::listenAddressMode),
                                                    store.value(settings::selectedListenAddress),
                                                    model_.availableInterfaces.get(), store.value(settings::httpPort));
        text += "; control page:";
        for (std::size_t i = 0; i < addresses.size(); ++i) text += (i ? " or " : " ") + addresses[i];
    }
    return text;
}

}  // namespace pavonix
