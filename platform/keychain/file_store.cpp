#include "platform/keychain/file_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/files/own_file.h"

namespace pavonix::keychain {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxFileBytes = 16 * 1024 * 1024;

using files::FileDescriptor;

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates missing folders; the last one (ours) is kept at 0700.
bool ensurePrivateFolder(const std::string& folder) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = folder.find('/', pos + 1);
        partial = folder.substr(0, pos);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), pos == std::string::npos ? 0700 : 0755) != 0 &&
            errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) {
        ::chmod(folder.c_str(), 0700);
    }
    return true;
}

bool safeFileStat(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777 & ~0600) == 0;
}

std::string hexEncode(const Bytes& data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (auto b : data) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

std::optional<Bytes> hexDecode(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    Bytes out(text.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        int hi = value(text[2 * i]), lo = value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return out;
}

struct Item {
    std::string service;
    std::string account;
    Bytes data;
};

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Reads every item. success with an empty list when the file does not exist yet. Any other
// outcome than success leaves in `problem` why, for the user.
Status loadItems(const std::string& path, std::vector<Item>& items, std::string& problem) {
    items.clear();
    const auto refuse = [&](Status status, std::string why) {
        problem = path + ": " + why;
        return status;
    };
    files::OwnFileRead read = files::readOwnFile(path, files::Links::refuse, kMaxFileBytes);
    switch (read.outcome) {
    case files::OwnFileRead::Outcome::missing: return success;
    case files::OwnFileRead::Outcome::unreadable:
        // A file of the wrong kind is refused as unsafe; one the system cannot read is an I/O error.
        return refuse(read.error ? ioError : invalidKeychain, read.problem);
    case files::OwnFileRead::Outcome::tooLarge: return refuse(invalidKeychain, "Larger than 16 MiB");
    case files::OwnFileRead::Outcome::read: break;
    }
    if (!safeFileStat(read.status)) return refuse(invalidKeychain, "Open to other users (mode " + modeText(read.status.st_mode) + ")");
    const std::string& text = read.text;
    Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return refuse(invalidKeychain, "Damaged (not a JSON object)");
    auto list = json.find("items");
    if (list == json.end() || !list->is_array()) return refuse(invalidKeychain, "Damaged (no item list)");
    for (const Json& entry : *list) {
        if (!entry.is_object() || !entry.contains("service") || !entry.contains("account") ||
            !entry.contains("data") || !entry["service"].is_string() ||
            !entry["account"].is_string() || !entry["data"].is_string()) {
            return refuse(invalidKeychain, "Damaged (an item without its fields)");
        }
        auto data = hexDecode(entry["data"].get<std::string>());
        if (!data) return refuse(invalidKeychain, "Damaged (an item's secret does not decode)");
        items.push_back({entry["service"].get<std::string>(), entry["account"].get<std::string>(),
                         std::move(*data)});
    }
    return success;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

Status storeItems(const std::string& path, const std::vector<Item>& items) {
    Json list = Json::array();
    for (const Item& item : items) {
        list.push_back({{"service", item.service}, {"account", item.account},
                        {"data", hexEncode(item.data)}});
    }
    const std::string text =
        Json{{"version", 1}, {"items", std::move(list)}}.dump(-1, ' ', false,
                                                              Json::error_handler_t::replace);
    std::string temp = path + ".XXXXXX";
    int raw = ::mkostemp(temp.data(), O_CLOEXEC);  // 0600
    if (raw < 0) return ioError;
    FileDescriptor fd(raw);
    if (!writeAll(fd.get(), text) || ::fsync(fd.get()) != 0 ||
        ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return ioError;
    }
    FileDescriptor folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) ::fsync(folder.get());
    return success;
}

}  // namespace

FileStore::FileStore(std::string path, std::chrono::milliseconds lockTimeout)
    : path_(std::move(path)), lockTimeout_(lockTimeout) {}

std::string FileStore::defaultPath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        base = std::string(home) + "/.local/share";
    } else {
        return {};
    }
    return base + "/Pavonix/keychain.json";
}

std::string FileStore::name() const { return "Private file (" + path_ + ")"; }

Status FileStore::read(const ItemKey& key, Bytes& out) {
    std::lock_guard guard(mutex_);
    std::vector<Item> items;
    std::string problem;
    // Reads take no file lock: writers replace the file by rename, so a reader sees either the
    // old or the new file, never a partial one.
    if (Status status = loadItems(path_, items, problem); status != success) return status;
    for (Item& item : items) {
        if (item.service == key.service && item.account == key.account) {
            out = std::move(item.data);
            return success;
        }
    }
    return itemNotFound;
}

namespace {

// Everything a change of the file's content, kind, owner or mode changes; empty when the stat
// itself failed for another reason than a missing file, or when the file changed so lately that
// another change within the same tick of the file system's clock would look the same (then the
// file is read).
std::optional<std::string> fileLook(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? std::optional<std::string>("missing") : std::nullopt;
    }
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (st.st_ctim.tv_sec + 2 >= now.tv_sec) return std::nullopt;
    const auto time = [](const timespec& t) { return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec); };
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
           time(st.st_mtim) + ":" + time(st.st_ctim) + ":" + std::to_string(st.st_mode) + ":" + std::to_string(st.st_uid);
}

}  // namespace

std::optional<std::string> FileStore::problem() const {
    std::lock_guard guard(mutex_);
    auto look = fileLook(path_);
    if (look && look == lastLook_ && lastProblem_) return *lastProblem_;
    std::vector<Item> items;
    std::string problem;
    std::optional<std::string> found;
    if (loadItems(path_, items, problem) != success) found = problem;
    lastLook_ = std::move(look);
    lastProblem_ = found;
    return found;
}

std::string FileStore::failure(Status status) const {
    if (auto found = problem()) return *found;
    const auto why = reason(status);
    return why.empty() ? path_ : path_ + ": " + std::string(why);
}

Status FileStore::add(const ItemKey& key, const Bytes& data) {
    return modify(key, &data, Change::add);
}

Status FileStore::update(const ItemKey& key, const Bytes& data) {
    return modify(key, &data, Change::update);
}

Status FileStore::remove(const ItemKey& key) { return modify(key, nullptr, Change::remove); }

Status FileStore::modify(const ItemKey& key, const Bytes* data, Change change) {
    std::lock_guard guard(mutex_);
    if (path_.empty() || !ensurePrivateFolder(folderOf(path_))) return ioError;
    const files::OwnLock lock(path_ + ".lock", lockTimeout_);
    if (lock.error() != 0) return notAvailable;
    std::vector<Item> items;
    std::string problem;
    // A file that cannot be loaded is never written over: its secrets may still be recovered.
    if (Status status = loadItems(path_, items, problem); status != success) return status;
    auto it = items.begin();
    while (it != items.end() && !(it->service == key.service && it->account == key.account)) ++it;
    switch (change) {
    case Change::add:
        if (it != items.end()) return duplicateItem;
        items.push_back({key.service, key.account, *data});
        break;
    case Change::update:
        if (it == items.end()) return itemNotFound;
        it->data = *data;
        break;
    case Change::remove:
        if (it == items.end()) return itemNotFound;
        items.erase(it);
        break;
    }
    return storeItems(path_, items);
}

}  // namespace pavonix::keychain
