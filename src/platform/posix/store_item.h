// What the POSIX certificate store knows of an item: which bytes it accepts,
// the hash an entry is named by, which stored entry an item replaces, and the
// entry's text. Nothing here names or lists files: stored entries come as
// open descriptors, and the new entry's text goes to one.
#ifndef CA_IMPORT_PLATFORM_POSIX_STORE_ITEM_H
#define CA_IMPORT_PLATFORM_POSIX_STORE_ITEM_H

#include <cstddef>
#include <string>

#include "crl_scope.h"
#include "platform.h"

struct ItemKind;

// An item offered to the store, decoded.
struct Offered {
    const ItemKind* kind;
    const BYTE* bytes;
    size_t length;
    unsigned long hash;  // of the certificate's subject or the CRL's issuer
    CrlScope scope;      // a CRL's
};

// What sets certificates and CRLs apart in a store.
struct ItemKind {
    const char* pem_label;
    const char* number_prefix;  // between the hash's "." and the number
    // The prefix under which earlier stores kept items of this kind, or
    // null: an entry found there moves under number_prefix.
    const char* former_prefix;
    // Decodes length bytes into offered, and sets its kind: the decoder of
    // certificates tells the self-issued ones apart. Fails with EBADMSG
    // unless the bytes are exactly one item of the kind, every byte consumed.
    bool (*decode)(const BYTE* bytes, size_t length, Offered* offered);
    // Whether the stored entry open at fd holds the item that offered
    // replaces: 1, 0, or -1 when it cannot be read (errno set).
    int (*matches)(const Offered& offered, int fd);
};

// OpenSSL takes every certificate under <hash>.<n> in a hashed directory
// that could end a chain as a trust anchor. The store of intermediate
// authorities grants no trust, so a self-issued certificate, and one of
// which libcrypto cannot tell, is kept as <hash>.s<n>, a name OpenSSL never
// reads. Stores written before kept them under <hash>.<n>.
extern const ItemKind certificate_kind;
extern const ItemKind self_issued_kind;
extern const ItemKind crl_kind;

// The name of offered's entries without their number: "<hash>.<prefix>".
std::string entry_base(const Offered& offered);

// Where earlier stores kept offered's entries: "<hash>.<former prefix>", or
// "" when they kept them where they are kept now.
std::string former_entry_base(const Offered& offered);

// Writes the entry's content to fd as it encodes it: offered's bytes
// unchanged, in PEM. False on failure, errno set.
bool write_pem(int fd, const Offered& offered);

#endif
