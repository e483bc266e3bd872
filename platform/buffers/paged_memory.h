// Room for bytes that peers on the network decide the size of. From kPagedFrom bytes on it is a
// mapping of its own: the system hands out its pages only as they are written and takes them back
// the moment the room is freed. On the heap, the allocator would keep what many stalled peers
// made it take long after they are gone.
#pragma once

#include <cstddef>
#include <new>

namespace pavonix::buffers {

inline constexpr std::size_t kPagedFrom = 16 * 1024;

// Throws std::bad_alloc when the room cannot be had.
void* allocateRoom(std::size_t length);
// `length` is the one given to allocateRoom.
void releaseRoom(void* room, std::size_t length) noexcept;

// For containers that grow with what a peer sends (std::vector<std::uint8_t, PagedAllocator<...>>):
// their capacity is what the process really holds for them, and a large one is given back whole.
template <typename T>
struct PagedAllocator {
    using value_type = T;

    PagedAllocator() = default;
    template <typename U>
    PagedAllocator(const PagedAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocateRoom(count * sizeof(T)));
    }
    void deallocate(T* room, std::size_t count) noexcept { releaseRoom(room, count * sizeof(T)); }

    template <typename U>
    bool operator==(const PagedAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace pavonix::buffers
