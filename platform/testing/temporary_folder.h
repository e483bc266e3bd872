// Test support: a fresh folder under the system's temporary directory, removed with everything in
// it when the object goes, and whole-file reads and writes. Tests point settings, keychain files
// and XDG folders at it so that no test touches the user's own files.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace pavonix::testing {

class TemporaryFolder {
public:
    // Creates <temporary directory>/<prefix>-XXXXXX. Throws when it cannot, which fails the test
    // (or stops the benchmark) that asked.
    explicit TemporaryFolder(std::string_view prefix = "pavonix-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

private:
    std::filesystem::path path_;
};

// The whole file, byte for byte; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Replaces the whole file with `text`, creating its folder first.
inline void writeFile(const std::filesystem::path& path, std::string_view text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace pavonix::testing
