// The certificate store service on POSIX systems: the system stores' calls
// over a hashed directory per store, each item decoded and written as PEM.
#include "platform.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "hashed_directory.h"
#include "store_item.h"

struct CertStore {
    // cppcheck-suppress unusedStructMember ; read through the handle
    int directory;
};

namespace {

BOOL fail(int error) {
    errno = error;
    return FALSE;
}

int entry_replaced(int fd, const void* context) {
    const Offered& offered = *static_cast<const Offered*>(context);
    return offered.kind->matches(offered, fd);
}

bool entry_written(int fd, const void* offered) {
    return write_pem(fd, *static_cast<const Offered*>(offered));
}

BOOL add_item(HCERTSTORE store, DWORD encoding, const BYTE* bytes, DWORD length, DWORD disposition,
              const void* context, const ItemKind& kind) {
    if (store == nullptr || (encoding & X509_ASN_ENCODING) == 0 ||
        disposition != CERT_STORE_ADD_REPLACE_EXISTING || context != nullptr ||
        (bytes == nullptr && length != 0)) {
        return fail(EINVAL);
    }
    if (length == 0) {
        return fail(EBADMSG);
    }
    try {
        Offered offered{&kind, bytes, length, 0, CrlScope()};
        if (!kind.decode(bytes, length, &offered)) {
            return FALSE;
        }
        int directory = static_cast<CertStore*>(store)->directory;
        return put_entry(directory, entry_base(offered), former_entry_base(offered), entry_replaced,
                         entry_written, &offered)
                   ? TRUE
                   : FALSE;
    } catch (const std::bad_alloc&) {
        return fail(ENOMEM);
    }
}

}  // namespace

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY, LPCSTR name) {
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr ||
        std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        errno = EINVAL;
        return nullptr;
    }
    int directory = -1;
    try {
        directory = open_store_directory(name);
        if (directory < 0) {
            return nullptr;
        }
        return new CertStore{directory};
    } catch (const std::bad_alloc&) {
        if (directory >= 0) {
            close(directory);
        }
        errno = ENOMEM;
        return nullptr;
    }
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encoding, const BYTE* bytes,
                                      DWORD length, DWORD disposition, PCCERT_CONTEXT* context) {
    return add_item(store, encoding, bytes, length, disposition, context, certificate_kind);
}

BOOL CertAddEncodedCRLToStore(HCERTSTORE store, DWORD encoding, const BYTE* bytes, DWORD length,
                              DWORD disposition, PCCRL_CONTEXT* context) {
    return add_item(store, encoding, bytes, length, disposition, context, crl_kind);
}

BOOL CertCloseStore(HCERTSTORE store, DWORD) {
    if (store != nullptr) {
        close(static_cast<CertStore*>(store)->directory);
        delete static_cast<CertStore*>(store);
    }
    return TRUE;
}
