// The Bluetooth LE peripheral role over BlueZ's D-Bus API: each addService() registers one GATT
// application with bluetoothd, startAdvertising() one LE advertisement, and the adapter's Powered
// property (or its absence, or bluetoothd's, or the bus's) is the manager's state.
//
// BlueZ may come and go under a running manager: the bus is reconnected after it is lost, an adapter
// is used once it offers both the GATT and the advertising manager, and an advertisement that
// bluetoothd drops on its own is registered again. Each time the manager adopts an adapter it
// reports its state anew, even an unchanged one: bluetoothd then holds nothing of the manager's,
// and the delegate publishes again.
#pragma once

#include <chrono>
#include <string>

#include "platform/peripheral/peripheral_manager.h"

namespace pavonix::bluez {

struct BluezTimings {
    // bluetoothd gives a central's read or write 5 seconds and then answers it with an error of its
    // own; a request the delegate has not answered by this deadline is answered with Unlikely Error,
    // and the delegate's late answer is dropped.
    std::chrono::milliseconds answerDeadline{4000};
    // After the bus is lost (or was not there at start): the first wait before connecting again,
    // doubling up to the longest. The same waits come before an advertisement that bluetoothd
    // released is registered again.
    std::chrono::milliseconds firstReconnectDelay{1000};
    std::chrono::milliseconds longestReconnectDelay{30000};
};

// Managers on the system bus; with a non-empty `busAddress`, on that bus instead (a private bus
// where a test plays bluetoothd). Each manager owns its connection and one thread that serves it,
// so bluetoothd drops everything a manager registered once the manager is gone.
peripheral::PeripheralManagerFactory bluezPeripheralFactory(std::string busAddress = {}, BluezTimings timings = {});

}  // namespace pavonix::bluez
