// A CRL's scope, read from its DER without building libcrypto's tree of its
// revoked entries: a CRL of a million entries is checked in one pass, each
// entry decoded and freed at once, and a stored CRL's scope is read with its
// entries stepped over whole.
#ifndef CA_IMPORT_PLATFORM_POSIX_CRL_SCOPE_H
#define CA_IMPORT_PLATFORM_POSIX_CRL_SCOPE_H

#include <openssl/x509.h>

#include <cstddef>
#include <string>

// What tells a CRL apart from the other CRLs of a store: the issuer, base or
// delta, and the Authority Key Identifier and Issuing Distribution Point
// (each extension's value as encoded, when present).
struct CrlScope {
    std::string issuer;  // the issuer's Name, as encoded
    unsigned long issuer_hash = 0;
    bool delta = false;
    bool has_key_identifier = false;
    std::string key_identifier;
    bool has_distribution_point = false;
    std::string distribution_point;
};

bool operator==(const CrlScope& a, const CrlScope& b);

// The DER of a CRL, whole or in two pieces: its first head_length bytes, and
// the bytes from tail_offset to its end (total bytes in all). Between the
// two pieces, if they do not meet, lie only revoked entries.
struct CrlBytes {
    const unsigned char* head;
    size_t head_length;
    const unsigned char* tail;  // null when head holds every byte
    size_t tail_offset;
    size_t total;
};

enum CrlReading {
    crl_read,    // the scope was read
    crl_unsure,  // the bytes hold a form this reader does not follow, or none
};

// Reads the scope of the CRL in bytes, which must hold exactly one CRL and
// nothing else. With check_entries (and every byte at hand), each revoked
// entry is decoded with libcrypto's own decoder and freed at once, and
// crl_read promises that d2i_X509_CRL accepts the bytes whole. Without, the
// list of entries is stepped over as one element. crl_unsure says nothing of
// the bytes: anything d2i_X509_CRL might refuse, and BER forms this reader
// leaves to it (indefinite lengths, end-of-contents octets).
CrlReading read_crl_scope(const CrlBytes& bytes, bool check_entries, CrlScope* scope);

// The scope of crl, a CRL libcrypto decoded. False when its issuer has no
// hash.
bool crl_scope_of(const X509_CRL* crl, CrlScope* scope);

// Where the CRL's revoked list ends and how long the CRL is, from its first
// length bytes. False when they do not reach the list's header or do not
// follow the layout read_crl_scope reads.
bool crl_layout(const unsigned char* head, size_t length, size_t* entries_end, size_t* total);

#endif
