// Writes or reads a few settings through the process-wide store, so that a script can check
// that what one run of the program writes, the next run reads back.
//   settings_probe write   sets the values and exits at once (the store flushes at exit)
//   settings_probe read    prints each value on a line of its own
#include <cstdio>
#include <cstring>
#include <iostream>

#include "app/settings/settings_keys.h"

using namespace pavonix;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: settings_probe write|read\n");
        return 2;
    }
    settings::registerDefaults(defaults::UserDefaults::standard());
    if (std::strcmp(argv[1], "write") == 0) {
        SettingsStore::set(settings::httpPort, std::int64_t{9123});
        SettingsStore::set(settings::oscEnabled, false);
        SettingsStore::set(settings::pavonixName, std::string("Bühne links"));
        SettingsStore::set(settings::presentationProvider, PresentationProvider::googleSlides);
        SettingsStore::set(settings::listenAddressMode, network::NetworkListenMode::localhost);
        Date created;
        dateFromSecondsSinceReferenceDate(800000000.5, created);
        SettingsStore::set(settings::httpPairedDevices,
                           std::vector<HTTPPairedDevice>{{"lpp_AAAAAAAAAAAAAAAA", "Phone", created}});
        return 0;
    }
    if (std::strcmp(argv[1], "read") == 0) {
        std::cout << "httpPort " << SettingsStore::get(settings::httpPort) << "\n"
                  << "oscEnabled " << SettingsStore::get(settings::oscEnabled) << "\n"
                  << "oscPort " << SettingsStore::get(settings::oscPort) << "\n"
                  << "pavonixName " << SettingsStore::get(settings::pavonixName) << "\n"
                  << "presentationProvider " << rawValue(SettingsStore::get(settings::presentationProvider)) << "\n"
                  << "listenAddressMode " << network::rawValue(SettingsStore::get(settings::listenAddressMode)) << "\n";
        for (const auto& device : SettingsStore::get(settings::httpPairedDevices)) {
            std::cout << "httpPairedDevice " << device.id << " " << device.name << " "
                      << nlohmann::json(secondsSinceReferenceDate(device.createdAt)).dump() << "\n";
        }
        return 0;
    }
    std::fprintf(stderr, "usage: settings_probe write|read\n");
    return 2;
}
