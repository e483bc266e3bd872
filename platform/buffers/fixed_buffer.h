// Bytes arriving for a room whose size is known before they come (an HTTP body of a declared
// length).
//
// The room is set aside once, so the bytes are never copied as they grow; a large room lives in
// pages of its own (see paged_memory.h), so peers that declare large sizes and stall cannot leave
// the process holding memory that its allocator keeps for itself after they are gone.
#pragma once

#include <cstddef>
#include <string_view>

namespace pavonix::buffers {

class FixedBuffer {
public:
    FixedBuffer() = default;
    // Throws std::bad_alloc when the room cannot be had.
    explicit FixedBuffer(std::size_t capacity);
    ~FixedBuffer() { release(); }
    FixedBuffer(FixedBuffer&& other) noexcept;
    FixedBuffer& operator=(FixedBuffer&& other) noexcept;
    FixedBuffer(const FixedBuffer&) = delete;
    FixedBuffer& operator=(const FixedBuffer&) = delete;

    // Appends as much of `bytes` as there is room for; returns how much that was.
    std::size_t append(std::string_view bytes);
    std::string_view view() const { return {data_, size_}; }
    std::size_t size() const { return size_; }
    bool full() const { return size_ == capacity_; }
    // Gives the room back; the buffer is then empty, with no capacity.
    void release();

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace pavonix::buffers
