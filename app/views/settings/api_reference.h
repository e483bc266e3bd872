// The API reference sheet's content without its widgets: the fixed tables of OSC addresses and
// HTTP routes, their notes, and the connection facts (listen mode, port, hosts) for the listen
// settings it is built with.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/network/network_listen.h"

namespace pavonix {

// Which interface the sheet documents; the settings window's presented sheet item.
enum class APIReferenceKind { osc, http };

// "osc", "http".
std::string_view rawValue(APIReferenceKind kind);

struct APIReferenceTable {
    std::vector<std::string_view> columns;
    std::vector<std::vector<std::string_view>> rows;  // one cell per column
};

// The fixed interface entry put before the scanned interfaces wherever all addresses are listed.
const network::NetworkInterfaceAddress& loopbackInterfaceEntry();
// The loopback entry followed by `interfaces` in their order.
std::vector<network::NetworkInterfaceAddress> withLoopbackEntry(const std::vector<network::NetworkInterfaceAddress>& interfaces);

// What one sheet shows; built when the sheet is presented.
struct APIReference {
    APIReferenceKind kind = APIReferenceKind::http;
    std::int64_t port = 0;  // shown as stored, in range or not
    network::NetworkListenMode listenAddressMode = network::NetworkListenMode::allInterfaces;
    std::string selectedListenAddress;
    std::vector<network::NetworkInterfaceAddress> interfaces;

    // "HTTP API Reference" or "OSC API Reference".
    std::string_view title() const;
    // "All Network Interfaces", "Localhost (127.0.0.1)" or "Specific Interface".
    std::string_view listenModeText() const;
    // Where a client reaches the server: 127.0.0.1 for localhost; every listed address once, in
    // list order, for all interfaces (127.0.0.1 when none is listed); the saved address alone for
    // a specific interface (nothing when none is saved, and the "Host" row is then left out).
    std::vector<std::string> hosts() const;
    const APIReferenceTable& table() const;
    const std::array<std::string_view, 3>& notes() const;
};

}  // namespace pavonix
