#include "platform/buffers/fixed_buffer.h"
#include "platform/buffers/paged_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace pavonix::buffers {
namespace {

// Whether the first page of `room` is still mapped into the process.
bool mapped(const void* room) {
    unsigned char resident = 0;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    void* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(room) / page * page);
    return ::mincore(start, 1, &resident) == 0 || errno != ENOMEM;
}

TEST(PagedMemoryTest, LargeRoomIsAMappingOfItsOwnThatGoesBackWhenFreed) {
    FixedBuffer body(kPagedFrom);
    const void* room = body.view().data();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(room) % static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)), 0u);
    body.release();
    EXPECT_FALSE(mapped(room));

    // A growing frame: each larger room replaces the last, which leaves the process at once.
    std::vector<std::uint8_t, PagedAllocator<std::uint8_t>> frame(kPagedFrom);
    const void* first = frame.data();
    frame.resize(4 * kPagedFrom);
    EXPECT_FALSE(mapped(first));
    const void* grown = frame.data();
    frame.clear();
    frame.shrink_to_fit();
    EXPECT_FALSE(mapped(grown));
}

}  // namespace
}  // namespace pavonix::buffers
