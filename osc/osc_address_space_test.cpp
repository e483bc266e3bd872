#include <gtest/gtest.h>

#include "osc/osc_address_space.h"

namespace pavonix::osc {
namespace {

using Priority = OSCAddressSpaceMatchPriority;

struct Space {
    explicit Space(std::initializer_list<const char*> addresses) {
        for (const char* address : addresses) {
            space.methods.emplace(address, [this, address](const std::shared_ptr<OSCMessage>&) { called.push_back(address); });
        }
    }
    std::vector<std::string> complete(const char* address, Priority priority) {
        called.clear();
        const bool any = space.complete(std::make_shared<OSCMessage>(address), priority);
        EXPECT_EQ(any, !called.empty());
        return called;
    }
    OSCAddressSpace space;
    std::vector<std::string> called;
};

using Called = std::vector<std::string>;

TEST(OSCAddressSpaceTest, PriorityPicksTheExactTheWildcardOrEveryMatch) {
    Space s{"/a/b", "/a/*", "/*", "/", "/a/b/c", "/*/*"};
    EXPECT_EQ(s.complete("/a/b", Priority::string), Called{"/a/b"});
    EXPECT_EQ(s.complete("/a/b", Priority::wildcard), Called{"/*/*"});
    EXPECT_EQ(s.complete("/a/b", Priority::none), (Called{"/*/*", "/a/*", "/a/b"}));
    EXPECT_EQ(s.complete("/a/x", Priority::string), Called{"/a/*"});
    // Part counts must be equal: no wildcard spans several parts.
    EXPECT_EQ(s.complete("/a/b/c/d", Priority::none), Called{});
    EXPECT_EQ(s.complete("/a", Priority::none), Called{"/*"});
    EXPECT_EQ(s.complete("/", Priority::none), (Called{"/", "/*"}));
    // "*" is a wildcard only as a whole registered part.
    EXPECT_EQ(Space{"/a*"}.complete("/ab", Priority::none), Called{});
    EXPECT_EQ(Space{"/a"}.complete("/*", Priority::none), Called{});
    EXPECT_EQ(Space{}.complete("/a", Priority::none), Called{});
    // A registered address is cut into parts at every '/', the first part dropped.
    EXPECT_EQ(OSCAddressMethod("show/next/*", nullptr).parts, (std::vector<std::string>{"next", "*"}));
}

}  // namespace
}  // namespace pavonix::osc
