#include "platform/buffers/fixed_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/buffers/paged_memory.h"

namespace pavonix::buffers {

FixedBuffer::FixedBuffer(std::size_t capacity) : capacity_(capacity) {
    if (capacity != 0) data_ = static_cast<char*>(allocateRoom(capacity));
}

FixedBuffer::FixedBuffer(FixedBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

FixedBuffer& FixedBuffer::operator=(FixedBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

std::size_t FixedBuffer::append(std::string_view bytes) {
    const std::size_t taken = std::min(bytes.size(), capacity_ - size_);
    if (taken == 0) return 0;
    std::memcpy(data_ + size_, bytes.data(), taken);
    size_ += taken;
    return taken;
}

void FixedBuffer::release() {
    releaseRoom(data_, capacity_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

}  // namespace pavonix::buffers
