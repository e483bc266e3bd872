#include <gtest/gtest.h>

#include "osc/osc_address_space.h"

namespace pavonix::osc {
namespace {

using Priority = OSCAddressSpaceMatchPriority;
using Called = std::vector<std::string>;

// The registered addresses whose methods a message to `address` calls.
Called complete(std::initializer_list<const char*> registered, const char* address, Priority priority) {
    OSCAddressSpace space;
    Called called;
    for (const char* a : registered) space.methods.emplace(a, [&called, a](const auto&) { called.push_back(a); });
    const bool any = space.complete(std::make_shared<OSCMessage>(address), priority);
    EXPECT_EQ(any, !called.empty()) << address;
    return called;
}

TEST(OSCAddressSpaceTest, PriorityPicksTheExactTheWildcardOrEveryMatch) {
    const auto s = {"/a/b", "/a/*", "/*", "/", "/a/b/c", "/*/*"};
    EXPECT_EQ(complete(s, "/a/b", Priority::string), Called{"/a/b"});
    EXPECT_EQ(complete(s, "/a/b", Priority::wildcard), Called{"/*/*"});
    EXPECT_EQ(complete(s, "/a/b", Priority::none), (Called{"/*/*", "/a/*", "/a/b"}));
    EXPECT_EQ(complete(s, "/a/x", Priority::string), Called{"/a/*"});
    // Part counts must be equal: no wildcard spans several parts.
    EXPECT_EQ(complete(s, "/a/b/c/d", Priority::none), Called{});
    EXPECT_EQ(complete(s, "/a", Priority::none), Called{"/*"});
    EXPECT_EQ(complete(s, "/", Priority::none), (Called{"/", "/*"}));
    // "*" is a wildcard only as a whole registered part.
    EXPECT_EQ(complete({"/a*"}, "/ab", Priority::none), Called{});
    EXPECT_EQ(complete({"/a"}, "/*", Priority::none), Called{});
    EXPECT_EQ(complete({}, "/a", Priority::none), Called{});
    // A registered address is cut into parts at every '/', the first part dropped.
    EXPECT_EQ(OSCAddressMethod("show/next/*", nullptr).parts, (std::vector<std::string>{"next", "*"}));
}

}  // namespace
}  // namespace pavonix::osc
