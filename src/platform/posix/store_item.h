// What the POSIX certificate store knows of an item: which bytes it accepts,
// the hash an entry is named by, which stored entry an item replaces, and the
// entry's text. Nothing here touches the file system.
#ifndef CA_IMPORT_PLATFORM_POSIX_STORE_ITEM_H
#define CA_IMPORT_PLATFORM_POSIX_STORE_ITEM_H

#include <openssl/x509.h>

#include <cstddef>
#include <memory>
#include <string>

#include "platform.h"

struct FreeCrl {
    void operator()(X509_CRL* crl) const { X509_CRL_free(crl); }
};
typedef std::unique_ptr<X509_CRL, FreeCrl> CrlPtr;

struct ItemKind;

// An item offered to the store, decoded.
struct Offered {
    const ItemKind* kind;
    const BYTE* bytes;
    size_t length;
    unsigned long hash;  // of the certificate's subject or the CRL's issuer
    CrlPtr crl;
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
    // Whether the stored item, der, is the one offered replaces.
    bool (*matches)(const Offered& offered, const std::string& der);
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

// The entry's content: offered's bytes unchanged, in PEM.
std::string pem_text(const Offered& offered);

// Whether content, the text of a stored entry, holds the item that offered
// replaces. Text that holds no item of offered's kind is never replaced.
bool replaced_by(const std::string& content, const Offered& offered);

#endif
