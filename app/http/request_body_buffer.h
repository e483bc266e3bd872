// The body of a request while it arrives.
//
// Room for the declared length is set aside once, so a body is never copied as it grows. A large
// body lives in pages of its own, which the system hands out only as bytes are written and takes
// back as soon as the body is released: peers that declare large bodies and stall cannot leave
// the process holding memory that its allocator keeps for itself after they are gone.
#pragma once

#include <cstddef>
#include <string_view>

namespace pavonix::http {

class RequestBodyBuffer {
public:
    RequestBodyBuffer() = default;
    // Throws std::bad_alloc when the room cannot be had.
    explicit RequestBodyBuffer(std::size_t capacity);
    ~RequestBodyBuffer() { release(); }
    RequestBodyBuffer(RequestBodyBuffer&& other) noexcept;
    RequestBodyBuffer& operator=(RequestBodyBuffer&& other) noexcept;
    RequestBodyBuffer(const RequestBodyBuffer&) = delete;
    RequestBodyBuffer& operator=(const RequestBodyBuffer&) = delete;

    // Appends as much of `bytes` as there is room for; returns how much that was.
    std::size_t append(std::string_view bytes);
    std::string_view view() const { return {data_, size_}; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool full() const { return size_ == capacity_; }
    // Gives the room back; the buffer is then empty, with no capacity.
    void release();

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t mappedLength_ = 0;  // non-zero when data_ is a mapping of its own
};

}  // namespace pavonix::http
