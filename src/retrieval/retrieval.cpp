#include "retrieval.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "platform.h"
#include "report.h"

namespace {

[[noreturn]] void read_failure(const char* path, int error) {
    exit_with_line("Cannot read file %s: error 0x%08X\n", path, static_cast<unsigned>(error));
}

// Ends the process when an entry other than a directory is at path: the
// download would replace the user's own file, or the source of a file: URL,
// and the run would then remove it. A directory cannot be replaced; the
// download reports that itself.
void refuse_existing_entry(const char* path) {
    std::error_code error;
    std::filesystem::file_type type = std::filesystem::symlink_status(path, error).type();
    if (type != std::filesystem::file_type::none && type != std::filesystem::file_type::not_found &&
        type != std::filesystem::file_type::directory) {
        exit_with_line("Local file %s already exists.\n", path);
    }
}

}  // namespace

void make_local_path(const char* url, char* path) {
    const char* slash = std::strrchr(url, '/');
    if (slash == nullptr) {
        exit_with_line("Wrong url.\n");
    }
    DWORD length = GetCurrentDirectoryA(MAX_PATH, path);
    if (length == 0) {
        exit_with_line("Getting current directory error.\n");
    }
    // A directory that does not fit comes back as the size it needs, with
    // the buffer left unfilled.
    const char* name = slash + 1;
    size_t name_length = std::strlen(name);
    if (length >= MAX_PATH || length + 1 + name_length + 1 > MAX_PATH) {
        exit_with_line("Local path is too long.\n");
    }
    path[length] = PATH_SEPARATOR;
    std::memcpy(path + length + 1, name, name_length + 1);
}

LoadedItem load_file(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        exit_with_line("Cannot open file %s: error 0x%08X\n", path,
                       static_cast<unsigned>(GetLastError()));
    }
    if (std::fseek(file, 0, SEEK_END) != 0) {
        read_failure(path, errno);
    }
    // Where long is 32 bits, the C runtime may wrap a position of 2 GiB or
    // more instead of failing: negative without an error code, or small.
    errno = 0;
    long end = std::ftell(file);
    if (end < 0) {
        read_failure(path, errno != 0 ? errno : EFBIG);
    }
    if (end > INT32_MAX) {
        read_failure(path, EFBIG);
    }
    if (std::fseek(file, 0, SEEK_SET) != 0) {
        read_failure(path, errno);
    }
    LoadedItem item;
    item.length = static_cast<std::int32_t>(end);
    item.bytes = new (std::nothrow) unsigned char[item.length];
    if (item.bytes == nullptr) {
        read_failure(path, ENOMEM);
    }
    // A short read would hand uninitialised bytes on as part of the item.
    size_t count = std::fread(item.bytes, 1, static_cast<size_t>(item.length), file);
    if (count != static_cast<size_t>(item.length)) {
        read_failure(path, std::ferror(file) && errno != 0 ? errno : EIO);
    }
    // A byte past the measured end: the size wrapped, or the file grew.
    if (std::fgetc(file) != EOF) {
        read_failure(path, EFBIG);
    }
    // Closing a file only read loses nothing.
    (void)std::fclose(file);
    return item;
}

LoadedItem fetch_item(const char* url, char* path, const ItemLabels& labels) {
    make_local_path(url, path);
    progress_line(labels.downloading_line, url);
    progress_line("to local file : %s\n", path);
    refuse_existing_entry(path);
    DeleteUrlCacheEntry(url);
    HRESULT result = URLDownloadToFileA(nullptr, url, path, 0, nullptr);
    if (result < 0) {
        exit_with_line("An error occured : error code = %x", static_cast<unsigned>(result));
    }
    progress_line("Downloaded OK\n");
    LoadedItem item = load_file(path);
    progress_line(labels.read_line);
    DeleteFileA(path);
    progress_line("Delete local file\n");
    return item;
}
