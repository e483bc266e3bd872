// Test support: a settings file in a fresh temporary folder, with the user-defaults store and the
// typed settings store over it, as one launch of the program opens them. Tests and benchmarks of
// every folder above this one use it instead of the user's own settings. Not linked into the program.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/testing/main_queue_scope.h"
#include "platform/testing/temporary_folder.h"
#include "settings_store/settings_store.h"

namespace pavonix::testing {

class TemporarySettings {
public:
    // Nothing is written until flush(), reopen() or the end, so a test decides when the file
    // changes; pass options with backgroundFlush for the program's own timing.
    static defaults::Options savedOnFlush() {
        defaults::Options options;
        options.backgroundFlush = false;
        return options;
    }

    explicit TemporarySettings(defaults::Options options = savedOnFlush(), std::string_view prefix = "pavonix-settings")
        : folder_(prefix), options_(std::move(options)) {
        open();
    }
    // Settles the main queue when called on the main thread, so that no report of this store's
    // changes reaches a later test; then closes the stores and removes the folder.
    ~TemporarySettings() {
        settleMainQueue();
        close();
    }

    std::filesystem::path file() const { return folder_ / "settings.json"; }
    defaults::UserDefaults& defaults() { return *defaults_; }
    SettingsStore& store() { return *store_; }

    // Closes both stores (saving what is pending) and opens the file again, as the next launch
    // of the program does. References taken from defaults() or store() before are gone.
    void reopen() {
        close();
        open();
    }

    // Saves what is pending and returns the file as JSON; discarded when it is missing or unreadable.
    nlohmann::json savedFile() {
        if (!defaults_->flush()) return nlohmann::json(nlohmann::json::value_t::discarded);
        return nlohmann::json::parse(readFile(file()), nullptr, false);
    }

private:
    void open() {
        defaults_ = std::make_unique<defaults::UserDefaults>(file(), options_);
        store_ = std::make_unique<SettingsStore>(*defaults_);
    }
    void close() {
        store_.reset();
        defaults_.reset();
    }

    TemporaryFolder folder_;
    defaults::Options options_;
    std::unique_ptr<defaults::UserDefaults> defaults_;
    std::unique_ptr<SettingsStore> store_;
};

}  // namespace pavonix::testing
