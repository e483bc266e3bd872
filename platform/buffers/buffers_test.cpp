#include "platform/buffers/fixed_buffer.h"
#include "platform/buffers/paged_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
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

TEST(FixedBufferTest, TakesNoMoreThanItsRoomAndAMoveLeavesTheSourceEmpty) {
    for (const std::size_t capacity : {std::size_t{8}, kPagedFrom + 1}) {
        FixedBuffer buffer(capacity);
        EXPECT_EQ(buffer.append(std::string(capacity - 3, 'a')), capacity - 3);
        EXPECT_FALSE(buffer.full());
        EXPECT_EQ(buffer.append("bcdef"), 3u);  // only what fits
        EXPECT_TRUE(buffer.full());
        EXPECT_EQ(buffer.append("g"), 0u);
        EXPECT_EQ(buffer.view().substr(capacity - 4), "abcd");

        FixedBuffer moved = std::move(buffer);
        EXPECT_EQ(moved.size(), capacity);
        EXPECT_EQ(buffer.capacity(), 0u);
        EXPECT_EQ(buffer.append("x"), 0u);
        buffer = std::move(moved);
        EXPECT_EQ(buffer.view().size(), capacity);
    }
    FixedBuffer none(0);
    EXPECT_TRUE(none.full());
    EXPECT_EQ(none.append("x"), 0u);
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
