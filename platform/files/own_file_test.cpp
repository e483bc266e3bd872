#include "platform/files/own_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/testing/temporary_folder.h"

namespace pavonix::files {
namespace {

namespace fs = std::filesystem;
using Outcome = OwnFileRead::Outcome;

TEST(OwnFile, ReadsOnlyARegularFileOfThisUserWithinTheBound) {
    testing::TemporaryFolder folder;
    const std::string file = folder / "file", link = folder / "link";
    testing::writeFile(file, "12345");
    fs::create_symlink(file, link);

    EXPECT_EQ(readOwnFile(file, Links::refuse, 5).text, "12345");
    EXPECT_EQ(readOwnFile(link, Links::follow, 5).text, "12345");
    const OwnFileRead refused = readOwnFile(link, Links::refuse, 5);
    EXPECT_EQ(refused.outcome, Outcome::unreadable);
    EXPECT_EQ(refused.problem, "A symbolic link");
    EXPECT_EQ(readOwnFile(file, Links::refuse, 4).outcome, Outcome::tooLarge);
    EXPECT_EQ(readOwnFile(folder / "none", Links::refuse, 5).outcome, Outcome::missing);
    EXPECT_EQ(readOwnFile(folder / "none/below", Links::refuse, 5).outcome, Outcome::missing);

    // Only what is plainly not there is missing. A link that leads nowhere (a volume not mounted
    // yet), the file's own or a folder's, and a file in a folder's place are named for the user.
    fs::create_symlink(folder / "unmounted", folder / "dangling");
    fs::create_symlink(folder.path(), folder / "folderLink");
    const std::string dangling = (folder / "dangling").string() + " links to " + (folder / "unmounted").string() +
                                 ", which does not exist";
    const std::pair<std::string, std::string> unreachable[] = {
        {folder / "dangling", dangling},
        {folder / "dangling/settings.json", dangling},
        {folder / "file/below", file + " is not a folder"},
        {folder / "folderLink/file/below", (folder / "folderLink/file").string() + " is not a folder"}};
    for (const auto& [path, problem] : unreachable) {
        const OwnFileRead read = readOwnFile(path, Links::follow, 5);
        EXPECT_EQ(read.outcome, Outcome::unreadable) << path;
        EXPECT_EQ(read.problem, problem) << path;
        EXPECT_NE(read.error, 0) << path;
    }
    EXPECT_EQ(readOwnFile(folder / "folderLink/none", Links::follow, 5).outcome, Outcome::missing);

    // No writer ever opens the FIFO: a blocking open would hang here.
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", folder / "device");
    for (const char* name : {"fifo", "device", "."}) {
        const OwnFileRead read = readOwnFile(folder / name, Links::follow, 5);
        EXPECT_EQ(read.outcome, Outcome::unreadable) << name;
        EXPECT_EQ(read.problem, "Not a regular file") << name;
        EXPECT_EQ(read.error, 0) << name;
    }

    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
        EXPECT_EQ(readOwnFile(file, Links::refuse, 5).problem, "Owned by another user");
    }
}

// A lock file is created for this user alone, and one left open to others is closed to them;
// anything else in its place is not used at all.
TEST(OwnFile, ALockIsTakenOnlyOnAFileOfThisUserAlone) {
    testing::TemporaryFolder folder;
    const std::string file = folder / "lock", loose = folder / "loose";
    const auto mode = [](const std::string& path) {
        struct stat status{};
        return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 0777 : 0;
    };
    EXPECT_EQ(OwnLock(file, std::chrono::milliseconds(0)).error(), 0);
    EXPECT_EQ(mode(file), 0600u);
    testing::writeFile(loose, "");
    ASSERT_EQ(::chmod(loose.c_str(), 0644), 0);
    EXPECT_EQ(OwnLock(loose, std::chrono::milliseconds(0)).error(), 0);
    EXPECT_EQ(mode(loose), 0600u);

    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(OwnLock(folder / "fifo", std::chrono::milliseconds(0)).problem(), "The lock file is not a regular file");
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
        const OwnLock refused(file, std::chrono::milliseconds(0));
        EXPECT_EQ(refused.error(), EPERM);
        EXPECT_EQ(refused.problem(), "The lock file is owned by another user");
    }
}

}  // namespace
}  // namespace pavonix::files
