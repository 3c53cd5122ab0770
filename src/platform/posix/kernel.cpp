// The kernel services on POSIX systems: the current directory, file removal
// and the last error, over the C library.
#include "platform.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

// Writing to a closed pipe (a log reader that went away) fails the write, as
// it does on Windows, instead of ending the run half-way.
[[maybe_unused]] const bool broken_pipes_fail_writes = []() noexcept {
    return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}();

}  // namespace

DWORD GetCurrentDirectoryA(DWORD buffer_length, LPSTR buffer) {
    // getcwd with no buffer allocates what the directory needs, so the needed
    // length is known however long the directory is.
    char* directory = getcwd(nullptr, 0);
    if (directory == nullptr) {
        return 0;
    }
    size_t length = std::strlen(directory);
    DWORD result;
    if (length + 1 > buffer_length) {
        result = static_cast<DWORD>(length + 1);
    } else {
        std::memcpy(buffer, directory, length + 1);
        result = static_cast<DWORD>(length);
    }
    std::free(directory);
    return result;
}

BOOL DeleteFileA(LPCSTR path) {
    return unlink(path) == 0 ? TRUE : FALSE;
}

DWORD GetLastError(void) {
    return static_cast<DWORD>(errno);
}
