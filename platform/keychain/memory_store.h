// Items in a map; for tests and for the model's tests.
#pragma once

#include <map>
#include <mutex>
#include <utility>

#include "platform/keychain/keychain.h"

namespace pavonix::keychain {

class MemoryStore final : public Store {
public:
    explicit MemoryStore(std::string name = "In-memory (not saved)") : name_(std::move(name)) {}

    std::string name() const override { return name_; }
    Status read(const ItemKey& key, Bytes& out) override;
    Status add(const ItemKey& key, const Bytes& data) override;
    Status update(const ItemKey& key, const Bytes& data) override;
    Status remove(const ItemKey& key) override;

    std::size_t size() const;

private:
    std::string name_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Bytes> items_;
};

}  // namespace pavonix::keychain
