// Test support: environment variables changed for one scope (XDG folders, DISPLAY, a forced
// keychain) and put back as they were when the object goes, so one test's choice never leaks into
// the next. Not thread-safe, like setenv itself: change the environment before starting threads.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pavonix::testing {

class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const std::string& name, const std::optional<std::string>& value) { set(name, value); }
    ~ScopedEnvironment() {
        // Newest first, so a variable changed twice ends with the value it had before the first.
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) apply(it->first, it->second);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    // Sets `name` to `value`, or removes it when `value` is empty.
    ScopedEnvironment& set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        apply(name, value);
        return *this;
    }

private:
    static void apply(const std::string& name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace pavonix::testing
