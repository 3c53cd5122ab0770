// The POSIX kernel services against their contracts: the current directory,
// file removal and the last error code, as the Windows program sees them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform.h"
#include "support.h"

namespace {

class Kernel : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override { remove_tree(dir); }

    std::string dir;
};

}  // namespace

TEST_F(Kernel, GetCurrentDirectoryFollowsTheWindowsContract) {
    std::string cwd = std::filesystem::current_path().string();
    DWORD exact = static_cast<DWORD>(cwd.size() + 1);
    char buffer[4096];

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(GetCurrentDirectoryA(exact, buffer), cwd.size());
    EXPECT_EQ(std::string(buffer), cwd);

    // Too small by one: nothing written, the size needed returned.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(GetCurrentDirectoryA(exact - 1, buffer), exact);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(GetCurrentDirectoryA(0, nullptr), exact);

    Outcome gone = run_in_removed_directory(dir, [&] {
        errno = 0;
        DWORD result = GetCurrentDirectoryA(sizeof buffer, buffer);
        std::printf("%u %u", static_cast<unsigned>(result), static_cast<unsigned>(GetLastError()));
    });
    EXPECT_EQ(gone.out, "0 2");  // ENOENT
}

TEST_F(Kernel, DeleteFileRemovesAFileAndReportsFailureThroughGetLastError) {
    std::string path = dir + "/item.cer";
    write_file(path, "x");
    EXPECT_NE(DeleteFileA(path.c_str()), FALSE);
    EXPECT_FALSE(std::filesystem::exists(path));

    errno = 0;
    EXPECT_EQ(DeleteFileA(path.c_str()), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
    EXPECT_EQ(DeleteFileA(dir.c_str()), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EISDIR));
}
