// The one place that knows which platform the program runs on.
//
// On Windows the program calls the system's own services, so this header only
// brings in the system headers. Elsewhere it declares this project's layer: the
// same operations, with the same names and contracts, implemented in posix/,
// one source per service: kernel.cpp, url_download.cpp and cert_store.cpp.
// The layer never prints and never exits; a failed operation returns its
// failure value and leaves the error code for GetLastError.
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

typedef unsigned char BYTE;
typedef std::uint32_t DWORD;
typedef int BOOL;
typedef std::int32_t HRESULT;
typedef char* LPSTR;
typedef const char* LPCSTR;
struct IUnknown;
typedef IUnknown* LPUNKNOWN;
struct IBindStatusCallback;
typedef IBindStatusCallback* LPBINDSTATUSCALLBACK;
typedef std::uintptr_t HCRYPTPROV_LEGACY;
typedef void* HCERTSTORE;
struct CERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;
struct CRL_CONTEXT;
typedef const CRL_CONTEXT* PCCRL_CONTEXT;

#define MAX_PATH 260
#define TRUE 1
#define FALSE 0

#define PATH_SEPARATOR '/'

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_CLOSE_STORE_CHECK_FLAG 2

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
// temporary remains after a failure. An entry already at path is never
// replaced: the download then fails with the local-file code for EEXIST.
// caller, reserved and callback are unused.
HRESULT URLDownloadToFileA(LPUNKNOWN caller, LPCSTR url, LPCSTR path, DWORD reserved,
                           LPBINDSTATUSCALLBACK callback);

// The current user's certificate stores. A store is an OpenSSL hashed
// directory, $XDG_DATA_HOME/certstore/<name>, which openssl verify -CApath,
// curl --capath and any OpenSSL program read as it is: each certificate in
// PEM as <subject hash>.<n>, each CRL as <issuer hash>.r<n>, n counting from 0
// without gaps. Files of the store's own (its lock, unfinished entries) have
// names beginning with ".". Adds are atomic and durable, and safe between
// processes sharing a store.

// Opens the current user's store name, making its directory and missing
// parents (mode 0700). XDG_DATA_HOME when absolute, else $HOME/.local/share;
// HOME from the password database when unset, empty or relative. provider is
// unused. Returns a handle, or NULL with errno set: EINVAL for a name that is
// empty, ".", ".." or holds "/".
HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY provider, LPCSTR name);

// Adds the certificate encoded in bytes (DER), replacing an entry with the
// very same encoding, or else under the first free number of its subject
// hash. The entry holds the bytes unchanged. Returns TRUE, or FALSE with errno
// set: EBADMSG when bytes are not exactly one certificate, EINVAL for an
// encoding without X509_ASN_ENCODING, a disposition other than
// CERT_STORE_ADD_REPLACE_EXISTING or a context asked for (there are none),
// otherwise the errno of the failed system call; the store is then as it was.
BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encoding, const BYTE* bytes,
                                      DWORD length, DWORD disposition, PCCERT_CONTEXT* context);

// Adds the CRL encoded in bytes as CertAddEncodedCertificateToStore adds a
// certificate. It replaces the CRL of the same issuer name and the same kind
// (base or delta) whose Authority Key Identifier and Issuing Distribution
// Point extensions equal its own, present or absent alike.
BOOL CertAddEncodedCRLToStore(HCERTSTORE store, DWORD encoding, const BYTE* bytes, DWORD length,
                              DWORD disposition, PCCRL_CONTEXT* context);

// Releases the handle. Returns TRUE.
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);

#endif

#endif
