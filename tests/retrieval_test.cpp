// Item retrieval's units in process: local path building and reading a local
// copy into memory, with every failure line to the byte.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform.h"
#include "retrieval.h"
#include "support.h"

namespace {

// Runs make_local_path in a child whose current directory is cwd; its
// output carries the path when it returns.
Outcome local_path_in(const std::string& cwd, const std::string& url) {
    return run_in_child([&] {
        if (chdir(cwd.c_str()) != 0) {
            _exit(99);
        }
        char path[MAX_PATH];
        std::memset(path, '#', sizeof path);
        make_local_path(url.c_str(), path);
        std::printf("%s", path);
    });
}

class Scratch : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override { remove_tree(dir); }
    std::string dir;
};

}  // namespace

using LocalPath = Scratch;

TEST_F(LocalPath, IsTheDirectoryASeparatorAndTheTextAfterTheLastSlash) {
    struct Case {
        const char* url;
        const char* name;
    } cases[] = {
        {"https://pki.example.org/wp-content/uploads/certificates/atrib-cert-ul.cer",
         "atrib-cert-ul.cer"},
        {"http://h/get?id=5", "get?id=5"},
        {"http://h/a%20b.crl#frag", "a%20b.crl#frag"},
        {"http://h/dir/", ""},
        {"http://h/x\\y.cer", "x\\y.cer"},
        {"/", ""},
        {"relative/name", "name"},
    };
    for (const Case& c : cases) {
        Outcome outcome = local_path_in(dir, c.url);
        EXPECT_EQ(outcome.status, 0) << c.url;
        EXPECT_EQ(outcome.out, dir + "/" + c.name) << c.url;
    }
}

TEST_F(LocalPath, AtTheRootTheSeparatorIsStillAppended) {
    Outcome outcome = local_path_in("/", "http://h/cas_zel.crl");
    EXPECT_EQ(outcome.out, "//cas_zel.crl");
    EXPECT_EQ(outcome.status, 0);
}

TEST_F(LocalPath, AUrlWithoutSlashIsRefusedBeforeTheDirectoryIsAsked) {
    for (const char* url : {"atrib-cert-ul.cer", "", "http:\\\\h\\a.cer"}) {
        // The directory is gone, so asking for it would fail differently.
        Outcome outcome = run_in_removed_directory(dir, [&] {
            char path[MAX_PATH];
            make_local_path(url, path);
        });
        EXPECT_EQ(outcome.out, "Wrong url.\n") << url;
        EXPECT_EQ(outcome.status, 1);
    }
}

TEST_F(LocalPath, ADirectoryThatCannotBeNamedEndsTheRun) {
    Outcome outcome = run_in_removed_directory(dir, [] {
        char path[MAX_PATH];
        make_local_path("http://h/a.cer", path);
    });
    EXPECT_EQ(outcome.out, "Getting current directory error.\n");
    EXPECT_EQ(outcome.status, 1);
}

// The whole path, terminator included, must fit in MAX_PATH characters.
TEST_F(LocalPath, FillsTheBufferExactlyOrRefusesAPathTooLong) {
    // A directory under dir whose full name is exactly `length` characters.
    auto directory_of_length = [&](size_t length) {
        std::string path = dir;
        while (path.size() < length) {
            size_t remaining = length - path.size();
            size_t part = std::min<size_t>(remaining - 1, 100);
            if (remaining - 1 - part == 1) {  // leave room for "/" and a name
                --part;
            }
            path += "/" + std::string(part, 'd');
            std::filesystem::create_directories(path);
        }
        return path;
    };
    std::string cwd = directory_of_length(200);
    ASSERT_EQ(cwd.size(), 200u);
    // 200 + "/" + 58 = 259 characters and the terminator: an exact fit.
    std::string fits(58, 'n');
    Outcome outcome = local_path_in(cwd, "http://h/" + fits);
    EXPECT_EQ(outcome.out, cwd + "/" + fits);
    EXPECT_EQ(outcome.status, 0);

    outcome = local_path_in(cwd, "http://h/" + fits + "n");
    EXPECT_EQ(outcome.out, "Local path is too long.\n");
    EXPECT_EQ(outcome.status, 1);

    for (size_t length : {259u, 260u, 400u}) {
        outcome = local_path_in(directory_of_length(length), "http://h/a");
        EXPECT_EQ(outcome.out, "Local path is too long.\n") << length;
        EXPECT_EQ(outcome.status, 1);
    }
}

using LoadFile = Scratch;

TEST_F(LoadFile, ReturnsEveryByteUnchanged) {
    for (size_t size : {0u, 1u, 4096u, 1u << 20}) {
        std::string content = random_bytes(size);
        std::string path = dir + "/item";
        write_file(path, content);
        LoadedItem item = load_file(path.c_str());
        ASSERT_NE(item.bytes, nullptr) << size;
        EXPECT_EQ(item.length, static_cast<std::int32_t>(size));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(item.bytes), item.length), content);
        delete[] item.bytes;
    }
}

TEST_F(LoadFile, AFileThatCannotBeOpenedEndsTheRunWithItsErrorCode) {
    std::string path = dir + "/missing.cer";
    Outcome outcome = run_in_child([&] { load_file(path.c_str()); });
    EXPECT_EQ(outcome.out, "Cannot open file " + path + ": error 0x00000002\n");
    EXPECT_EQ(outcome.status, 1);
}

TEST_F(LoadFile, AFileTooLargeForTheItemLengthIsRefused) {
    std::string path = dir + "/huge.crl";
    write_file(path, "");
    ASSERT_EQ(truncate(path.c_str(), 0x80000000LL), 0);  // sparse: no disk used
    Outcome outcome = run_in_child([&] { load_file(path.c_str()); });
    EXPECT_EQ(outcome.out, "Cannot read file " + path + ": error 0x0000001B\n");  // EFBIG
    EXPECT_EQ(outcome.status, 1);
}

TEST_F(LoadFile, ABufferThatCannotBeAllocatedEndsTheRun) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than this test allows";
#endif
    std::string path = dir + "/big.crl";
    write_file(path, "");
    ASSERT_EQ(truncate(path.c_str(), 0x7fffffffLL), 0);
    Outcome outcome = run_in_child([&] {
        rlimit limit = {512u << 20, 512u << 20};
        setrlimit(RLIMIT_AS, &limit);
        load_file(path.c_str());
    });
    EXPECT_EQ(outcome.out, "Cannot read file " + path + ": error 0x0000000C\n");  // ENOMEM
    EXPECT_EQ(outcome.status, 1);
}

// A file whose content is shorter than its reported size (as in sysfs) would
// leave the end of the buffer unset.
TEST_F(LoadFile, AReadThatComesUpShortIsRefused) {
    const char* path = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat status;
    if (stat(path, &status) != 0 || status.st_size != 4096) {
        GTEST_SKIP() << "no sysfs file that reports more than it holds";
    }
    Outcome outcome = run_in_child([&] { load_file(path); });
    EXPECT_EQ(outcome.out, std::string("Cannot read file ") + path + ": error 0x00000005\n");
    EXPECT_EQ(outcome.status, 1);
}
