// The listen pane without its widgets: the "Listen On" picker's rows and what picking one writes,
// the list of available interfaces, the port fields, and the web control address. It keeps no
// state: every answer is read afresh from the settings and the model, so it follows whoever
// writes them. It restarts nothing itself; the settings window reacts to the settings it writes.
//
// Threads: the main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/network/network_listen.h"
#include "app/views/settings/settings_window_model.h"
#include "settings_store/settings_store.h"

namespace pavonix {

// The port a port field's text names: a whole number from 1 to 65535, digits only (surrounding
// blanks ignored). Anything else names none.
std::optional<std::int64_t> portFromFieldText(std::string_view text);

class ListenViewState {
public:
    static constexpr std::string_view noOtherInterfacesText = "No other active IPv4 interfaces detected.";
    static constexpr std::string_view invalidPortText = "Enter a whole number from 1 to 65535.";

    struct PickerRow {
        std::string id;
        std::string label;
    };

    // The model and the store must outlive this object.
    ListenViewState(SettingsWindowModel& model, SettingsStore& store);

    // All interfaces, localhost, one row per available interface, and, in the specific-interface
    // mode, one more for a saved address that is not listed (also when it is empty).
    std::vector<PickerRow> pickerRows() const;
    // The id of the row that shows the stored mode and address.
    std::string selectionID() const;
    // Stores the row's mode and address; an id that names no row stores nothing. An interface's
    // address is stored before the mode, so the mode never names an interface that is not set.
    void select(const std::string& id);

    // Only in the all-interfaces mode.
    bool showsAvailableInterfaces() const;
    // "Localhost - 127.0.0.1", then the label of each available interface.
    std::vector<std::string> availableInterfaceLines() const;

    // Stores the port when the text names one and says whether it did; otherwise the setting,
    // and so the running server, is left alone.
    bool setPortText(const SettingsStore::Key<std::int64_t>& key, std::string_view text);
    bool oscPortEditable() const;
    bool httpPortEditable() const;

    // http://HOST:PORT/ for the HTTP port and the listen address (127.0.0.1 unless a specific
    // interface is chosen); nothing for a port out of range or no chosen IPv4 address. It does not
    // depend on whether the HTTP server is on.
    std::optional<std::string> webControlURL() const;

private:
    std::vector<network::NetworkListenSelection> options() const;

    SettingsWindowModel& model_;
    SettingsStore& store_;
};

}  // namespace pavonix
