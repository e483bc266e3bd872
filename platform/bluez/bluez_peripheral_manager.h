// The Bluetooth LE peripheral role over BlueZ's D-Bus API: each addService() registers one GATT
// application with bluetoothd, startAdvertising() one LE advertisement, and the adapter's Powered
// property (or its absence, or bluetoothd's) is the manager's state.
#pragma once

#include <string>

#include "platform/peripheral/peripheral_manager.h"

namespace pavonix::bluez {

// Managers on the system bus; with a non-empty `busAddress`, on that bus instead (a private bus
// where a test plays bluetoothd). Each manager owns its connection and one thread that serves it,
// so bluetoothd drops everything a manager registered once the manager is gone.
peripheral::PeripheralManagerFactory bluezPeripheralFactory(std::string busAddress = {});

}  // namespace pavonix::bluez
