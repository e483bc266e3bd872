// The program's settings: each key's stored name, value type and default.
//
// Defaults are what a read gives while nothing usable is stored; registerDefaults() puts them in
// the defaults store's registration domain at each launch, and they are never written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/pairing_records.h"
#include "app/core/presentation_provider.h"
#include "app/network/network_listen.h"
#include "settings_store/settings_store.h"

namespace pavonix {

// Records are stored through their JSON coding (sorted keys, dates in seconds since 2001-01-01).
template <>
struct SettingsStore::Serializable<HTTPPairedDevice> : SettingsStore::JsonConvertible<HTTPPairedDevice> {};
template <>
struct SettingsStore::Serializable<RemoteLanternpostTarget> : SettingsStore::JsonConvertible<RemoteLanternpostTarget> {};
template <>
struct SettingsStore::Serializable<BluetoothPairedDevice> : SettingsStore::JsonConvertible<BluetoothPairedDevice> {};

template <>
struct SettingsStore::RawValue<PresentationProvider> {
    static std::string toRaw(PresentationProvider provider) { return std::string(rawValue(provider)); }
    static std::optional<PresentationProvider> fromRaw(std::string_view raw) {
        return presentationProviderFromRawValue(raw);
    }
};

template <>
struct SettingsStore::RawValue<network::NetworkListenMode> {
    static std::string toRaw(network::NetworkListenMode mode) { return std::string(network::rawValue(mode)); }
    static std::optional<network::NetworkListenMode> fromRaw(std::string_view raw) {
        return network::networkListenModeFromRawValue(raw);
    }
};

namespace settings {

template <class T>
using Key = SettingsStore::Key<T>;

// The presentation application driven when no remote target is chosen. Google Slides by default:
// it is the one provider that can be driven on this system (Keynote and PowerPoint only through a
// remote Pavonix on a Mac), so a first start does not open on a target that can never work.
inline const Key<PresentationProvider> presentationProvider{"presentationProvider", PresentationProvider::googleSlides};

// The saved Google Slides window; all five are written together when a window is saved or the
// selection is cleared. A window number of 0 means none is saved.
inline const Key<std::int64_t> googleSlidesWindowID{"googleSlidesWindowID", 0};
inline const Key<std::int64_t> googleSlidesWindowOwnerProcessID{"googleSlidesWindowOwnerProcessID", 0};
inline const Key<std::string> googleSlidesWindowOwnerName{"googleSlidesWindowOwnerName", ""};
inline const Key<std::string> googleSlidesWindowBundleIdentifier{"googleSlidesWindowBundleIdentifier", ""};
inline const Key<std::string> googleSlidesWindowTitle{"googleSlidesWindowTitle", ""};

// Other instances, in the order they were added; the chosen one by id ("" for the local provider).
inline const Key<std::vector<RemoteLanternpostTarget>> remoteLanternpostTargets{"remoteLanternpostTargets", {}};
inline const Key<std::string> selectedRemoteLanternpostTargetID{"selectedRemoteLanternpostTargetID", ""};

// Any integer may be stored as a port; 1 to 65535 is enforced where a server is built.
inline const Key<bool> oscEnabled{"oscEnabled", true};
inline const Key<std::int64_t> oscPort{"oscPort", 48000};
inline const Key<bool> httpEnabled{"httpEnabled", true};
inline const Key<std::int64_t> httpPort{"httpPort", 8090};
// A stored value that is not a Boolean reads as on: a damaged file never turns signing off.
inline const Key<bool> httpAuthenticationEnabled{"httpAuthenticationEnabled", false, true};
// In the order of pairing.
inline const Key<std::vector<HTTPPairedDevice>> httpPairedDevices{"httpPairedDevices", {}};

// The name offered to other instances when they pair; "" means the default name.
inline const Key<std::string> pavonixName{"pavonixName", ""};

inline const Key<bool> bluetoothEnabled{"bluetoothEnabled", false};
inline const Key<bool> bluetoothDiscoverable{"bluetoothDiscoverable", false};
inline const Key<std::vector<BluetoothPairedDevice>> bluetoothPairedDevices{"bluetoothPairedDevices", {}};

inline const Key<network::NetworkListenMode> listenAddressMode{"listenAddressMode", network::NetworkListenMode::allInterfaces};
// The IPv4 address text chosen in the specific-interface mode.
inline const Key<std::string> selectedListenAddress{"selectedListenAddress", ""};

inline const Key<bool> welcomeCompleted{"welcomeCompleted", false};
inline const Key<bool> welcomeScreenRequested{"welcomeScreenRequested", false};
inline const Key<bool> localNetworkPermissionGranted{"localNetworkPermissionGranted", false};

// The stored names of every key above.
const std::vector<std::string_view>& keyNames();

// Registers every key's default with the store (done at each launch; nothing is written).
void registerDefaults(defaults::UserDefaults& defaults);

// When the settings file found at start-up could not be used, request signing is switched on
// whatever the defaults say, until the user changes the switch: stored, when the file was set
// aside (the new file keeps it on across restarts); for this run only, when it could not be read
// at all (nothing may be written over it, and once it can be read its own value counts).
void requireSigningAfterLoadProblem(SettingsStore& store);

}  // namespace settings
}  // namespace pavonix
