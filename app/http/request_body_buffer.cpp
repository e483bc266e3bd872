#include "app/http/request_body_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace pavonix::http {

namespace {

// Below this a body shares the heap with everything else; the most it can hold there is this
// much per connection.
constexpr std::size_t kMappedFrom = 16 * 1024;

std::size_t pageRounded(std::size_t length) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (length + page - 1) / page * page;
}

}  // namespace

RequestBodyBuffer::RequestBodyBuffer(std::size_t capacity) : capacity_(capacity) {
    if (capacity == 0) return;
    if (capacity < kMappedFrom) {
        data_ = new char[capacity];
        return;
    }
    const std::size_t length = pageRounded(capacity);
    void* mapping = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(mapping);
    mappedLength_ = length;
}

RequestBodyBuffer::RequestBodyBuffer(RequestBodyBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mappedLength_(std::exchange(other.mappedLength_, 0)) {}

RequestBodyBuffer& RequestBodyBuffer::operator=(RequestBodyBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        mappedLength_ = std::exchange(other.mappedLength_, 0);
    }
    return *this;
}

std::size_t RequestBodyBuffer::append(std::string_view bytes) {
    const std::size_t taken = std::min(bytes.size(), capacity_ - size_);
    if (taken == 0) return 0;
    std::memcpy(data_ + size_, bytes.data(), taken);
    size_ += taken;
    return taken;
}

void RequestBodyBuffer::release() {
    if (mappedLength_ != 0) {
        ::munmap(data_, mappedLength_);
    } else {
        delete[] data_;
    }
    data_ = nullptr;
    size_ = capacity_ = mappedLength_ = 0;
}

}  // namespace pavonix::http
