#include "platform/buffers/paged_memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace pavonix::buffers {

namespace {

std::size_t pageRounded(std::size_t length) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (length + page - 1) / page * page;
}

}  // namespace

void* allocateRoom(std::size_t length) {
    if (length < kPagedFrom) return ::operator new(length);
    void* mapping = ::mmap(nullptr, pageRounded(length), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    return mapping;
}

void releaseRoom(void* room, std::size_t length) noexcept {
    if (room == nullptr) return;
    if (length < kPagedFrom) {
        ::operator delete(room);
    } else {
        ::munmap(room, pageRounded(length));
    }
}

}  // namespace pavonix::buffers
