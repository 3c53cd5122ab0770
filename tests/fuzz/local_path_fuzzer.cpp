// Fuzzes make_local_path: any URL text, joined to a working directory deep
// enough that names of a few dozen bytes reach the buffer's limit. The path
// buffer is exactly MAX_PATH bytes, so AddressSanitizer sees any write past
// it. A refusal is the right line, for the right reason; an accepted path is
// the directory, "/" and the text after the URL's last "/", whole.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "platform.h"
#include "report.h"
#include "retrieval.h"

namespace {

// What exit_with_line would have written: the fuzzer's report throws it
// instead of ending the process.
struct Refused {
    std::string line;
};

std::string directory;
std::string scratch;

void remove_scratch() {
    std::error_code ignored;
    std::filesystem::current_path("/", ignored);
    std::filesystem::remove_all(scratch, ignored);
}

void check(bool condition, const char* what) {
    if (!condition) {
        (void)std::fprintf(stderr, "local path fuzzer: %s\n", what);
        std::abort();
    }
}

}  // namespace

void progress_line(const char*, ...) {}

void exit_with_line(const char* format, ...) {
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    (void)std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    throw Refused{line};
}

void fatal_error(const char* message) {
    throw Refused{message};
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A working directory of about 200 bytes.
    char pattern[] = "/tmp/ca-import-fuzz-XXXXXX";
    check(mkdtemp(pattern) != nullptr, "mkdtemp");
    directory = scratch = pattern;
    (void)std::atexit(remove_scratch);
    while (directory.size() < 200) {
        directory += "/" + std::string(30, 'd');
        check(mkdir(directory.c_str(), 0700) == 0, "mkdir");
    }
    check(chdir(directory.c_str()) == 0, "chdir");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    // The URL is a C string: up to the first NUL.
    std::string url(reinterpret_cast<const char*>(data), size);
    url.resize(std::strlen(url.c_str()));
    std::unique_ptr<char[]> path(new char[MAX_PATH]);
    size_t slash = url.rfind('/');
    std::string name = slash == std::string::npos ? "" : url.substr(slash + 1);
    bool fits = directory.size() + 1 + name.size() < MAX_PATH;
    try {
        make_local_path(url.c_str(), path.get());
    } catch (const Refused& refused) {
        if (slash == std::string::npos) {
            check(refused.line == "Wrong url.\n", "a URL without a slash refused otherwise");
        } else {
            check(refused.line == "Local path is too long.\n", "refused with the wrong line");
            check(!fits, "a path that fits refused");
        }
        return 0;
    }
    check(slash != std::string::npos, "a URL without a slash accepted");
    check(fits, "a path too long accepted");
    check(std::string(path.get()) == directory + "/" + name, "the path is not directory/name");
    return 0;
}
