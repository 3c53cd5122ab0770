// The one place that knows which platform the program runs on.
//
// On Windows the program calls the system's own services, so this header only
// brings in the system headers. Elsewhere it declares this project's layer: the
// same operations, with the same names and contracts, implemented beside this
// header. The layer never prints and never exits; a failed operation returns
// its failure value and leaves the error code for GetLastError.
#ifndef CA_IMPORT_PLATFORM_H
#define CA_IMPORT_PLATFORM_H

#ifdef _WIN32

// The other system headers rely on what windows.h declares.
#include <windows.h>

#include <urlmon.h>
#include <wincrypt.h>
#include <wininet.h>

#define PATH_SEPARATOR '\\'

#else

#include <cstdint>

typedef std::uint32_t DWORD;
typedef int BOOL;
typedef std::int32_t HRESULT;
typedef char* LPSTR;
typedef const char* LPCSTR;
struct IUnknown;
typedef IUnknown* LPUNKNOWN;
struct IBindStatusCallback;
typedef IBindStatusCallback* LPBINDSTATUSCALLBACK;

#define MAX_PATH 260
#define TRUE 1
#define FALSE 0

#define PATH_SEPARATOR '/'

// As on Windows, a write to a closed pipe fails instead of ending the
// process: the layer ignores SIGPIPE from start-up.

// Writes the current directory and its terminator into buffer and returns its
// length without the terminator. When buffer_length is too small, writes
// nothing and returns the length needed, terminator included. Returns 0 on
// failure.
DWORD GetCurrentDirectoryA(DWORD buffer_length, LPSTR buffer);

// Removes the file at path. Returns nonzero on success, 0 on failure.
BOOL DeleteFileA(LPCSTR path);

// The calling thread's last error code: errno.
DWORD GetLastError(void);

// There is no system URL cache to purge; always succeeds. Downloads ask every
// cache on the way for a fresh copy instead.
BOOL DeleteUrlCacheEntry(LPCSTR url);

// Downloads url (http, https, ftp or file) to path and returns when done: 0 on
// success, a negative code naming the kind of failure otherwise. The resource
// arrives at path whole or not at all: nothing is left at path and no
// temporary remains after a failure. caller, reserved and callback are unused.
HRESULT URLDownloadToFileA(LPUNKNOWN caller, LPCSTR url, LPCSTR path, DWORD reserved,
                           LPBINDSTATUSCALLBACK callback);

#endif

#endif
