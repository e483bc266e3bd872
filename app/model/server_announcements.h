// Where the network servers can be reached, told in lines of text: for a program started without
// a display (on a server, over ssh), whose user has no settings window to look at.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/model/lanternpost_model.h"

namespace pavonix {

class ServerAnnouncements {
public:
    using Print = std::function<void(const std::string& line)>;

    // One line for each server as its status settles, and again whenever the settled status says
    // something else: where it listens (for HTTP, the control page's addresses), or why it did not
    // start; nothing for a Bluetooth server switched off, as it is unless asked for. Each problem
    // with the settings file or the pairing secrets as it arises, in the words the windows show:
    // it may be why a phone is refused. The model must outlive this object.
    ServerAnnouncements(LanternpostModel& model, Print print);

private:
    enum Server { osc, http, bluetooth };
    void announce(Server server, const BridgeServerStatus& status);
    void announce(const StorageNotices& notices);
    std::string line(Server server, const BridgeServerStatus& status) const;

    LanternpostModel& model_;
    Print print_;
    std::array<std::string, 3> told_;
    StorageNotices noticesTold_;
    std::vector<Observation> observations_;
};

// http://ADDRESS:PORT/ for each address a server listening in `mode` answers on: every scanned
// interface's, then 127.0.0.1; 127.0.0.1 alone for localhost; the chosen address alone.
std::vector<std::string> controlPageAddresses(network::NetworkListenMode mode, const std::string& selectedAddress,
                                              const std::vector<network::NetworkInterfaceAddress>& interfaces,
                                              std::int64_t port);

}  // namespace pavonix
