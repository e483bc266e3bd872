// Test support: runs the current test again inside a network namespace that it makes for itself,
// so that multicast, traffic shaping and other interface settings never touch the machine's own
// interfaces. The namespace is removed when the inner run has finished.
//
//   const auto run = runInOwnNetworkNamespace({"ip link set lo up"});
//   if (run == NamespaceRun::unavailable) GTEST_SKIP() << "needs root for a network namespace";
//   if (run == NamespaceRun::finished) return;  // the inner run's verdict is already recorded
//   ... the test's work, now inside the namespace ...
//
// Without root (or without iproute2) the test is skipped, except in CI (CI=true), where that fails.
#pragma once

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace pavonix::testing {

enum class NamespaceRun { inside, finished, unavailable };

inline NamespaceRun runInOwnNetworkNamespace(const std::vector<std::string>& setup) {
    static constexpr const char* kInsideVariable = "PAVONIX_TEST_INSIDE_NETNS";
    if (std::getenv(kInsideVariable)) return NamespaceRun::inside;

    const char* ci = std::getenv("CI");
    const bool inCI = ci && (std::string(ci) == "true" || std::string(ci) == "1");
    auto quiet = [](const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); };
    const std::string ns = "pvx-test-" + std::to_string(::getpid());
    if (::geteuid() != 0 || quiet("ip netns add " + ns) != 0) {
        if (inCI) ADD_FAILURE() << "CI must be able to make a network namespace (root and iproute2)";
        return NamespaceRun::unavailable;
    }
    for (const std::string& command : setup)
        EXPECT_EQ(quiet("ip netns exec " + ns + " sh -c '" + command + "'"), 0) << command;

    char self[PATH_MAX] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) > 0) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string filter = std::string(test->test_suite_name()) + "." + test->name();
        EXPECT_EQ(std::system(("ip netns exec " + ns + " env " + kInsideVariable + "=1 " + self +
                               " --gtest_brief=1 --gtest_filter=" + filter)
                                  .c_str()),
                  0)
            << "the run inside the namespace failed (its output is above)";
    } else {
        ADD_FAILURE() << "cannot find the test program to run it again";
    }
    quiet("ip netns del " + ns);
    return NamespaceRun::finished;
}

}  // namespace pavonix::testing
