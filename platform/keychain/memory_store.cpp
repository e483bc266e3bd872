#include "platform/keychain/memory_store.h"

namespace pavonix::keychain {

Status MemoryStore::read(const ItemKey& key, Bytes& out) {
    std::lock_guard lock(mutex_);
    auto it = items_.find({key.service, key.account});
    if (it == items_.end()) {
        return itemNotFound;
    }
    out = it->second;
    return success;
}

Status MemoryStore::add(const ItemKey& key, const Bytes& data) {
    std::lock_guard lock(mutex_);
    return items_.try_emplace({key.service, key.account}, data).second ? success : duplicateItem;
}

Status MemoryStore::update(const ItemKey& key, const Bytes& data) {
    std::lock_guard lock(mutex_);
    auto it = items_.find({key.service, key.account});
    if (it == items_.end()) {
        return itemNotFound;
    }
    it->second = data;
    return success;
}

Status MemoryStore::remove(const ItemKey& key) {
    std::lock_guard lock(mutex_);
    return items_.erase({key.service, key.account}) ? success : itemNotFound;
}

std::size_t MemoryStore::size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

}  // namespace pavonix::keychain
