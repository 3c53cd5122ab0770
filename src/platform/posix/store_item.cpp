// Items as the certificate store sees them, decoded with libcrypto.
#include "store_item.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// libcrypto takes an item's length as a long.
static_assert(LONG_MAX >= 0xFFFFFFFF, "a long must hold any item length");

struct FreeX509 {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct FreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
typedef std::unique_ptr<X509, FreeX509> X509Ptr;

bool name_hash(const X509_NAME* name, unsigned long* hash) {
    int ok = 0;
    *hash = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
    if (!ok) {
        ERR_clear_error();
        errno = EBADMSG;
    }
    return ok;
}

// The bytes must be one DER item and nothing else: libcrypto's decoders stop
// at the item's end and leave any trailing bytes unread.
bool whole_item(const void* decoded, const unsigned char* next, const BYTE* bytes, size_t length) {
    if (decoded == nullptr || next != bytes + length) {
        ERR_clear_error();
        errno = EBADMSG;
        return false;
    }
    return true;
}

bool decode_certificate(const BYTE* bytes, size_t length, Offered* offered) {
    const unsigned char* next = bytes;
    X509Ptr certificate(d2i_X509(nullptr, &next, static_cast<long>(length)));
    if (!whole_item(certificate.get(), next, bytes, length) ||
        !name_hash(X509_get_subject_name(certificate.get()), &offered->hash)) {
        return false;
    }
    // OpenSSL's own test for a chain's end: names and key identifiers, no
    // signature. It answers -1 where it cannot tell (a key it cannot read,
    // extensions it cannot parse); such a certificate is kept aside too.
    int self_issued = X509_self_signed(certificate.get(), 0);
    ERR_clear_error();
    offered->kind = self_issued != 0 ? &self_issued_kind : &certificate_kind;
    return true;
}

bool decode_crl(const BYTE* bytes, size_t length, Offered* offered) {
    const unsigned char* next = bytes;
    CrlPtr crl(d2i_X509_CRL(nullptr, &next, static_cast<long>(length)));
    if (!whole_item(crl.get(), next, bytes, length) ||
        !name_hash(X509_CRL_get_issuer(crl.get()), &offered->hash)) {
        return false;
    }
    offered->crl = std::move(crl);
    return true;
}

// A certificate replaces only itself.
bool same_certificate(const Offered& offered, const std::string& der) {
    return der.size() == offered.length && std::memcmp(der.data(), offered.bytes, der.size()) == 0;
}

bool same_name(const X509_NAME* a, const X509_NAME* b) {
    const unsigned char *a_der = nullptr, *b_der = nullptr;
    size_t a_length = 0, b_length = 0;
    return X509_NAME_get0_der(a, &a_der, &a_length) == 1 &&
           X509_NAME_get0_der(b, &b_der, &b_length) == 1 && a_length == b_length &&
           std::memcmp(a_der, b_der, a_length) == 0;
}

// Equal when neither CRL has the extension, or both have it with equal values.
bool same_extension(const X509_CRL* a, const X509_CRL* b, int nid) {
    int a_index = X509_CRL_get_ext_by_NID(a, nid, -1);
    int b_index = X509_CRL_get_ext_by_NID(b, nid, -1);
    if (a_index < 0 || b_index < 0) {
        return a_index < 0 && b_index < 0;
    }
    return ASN1_OCTET_STRING_cmp(X509_EXTENSION_get_data(X509_CRL_get_ext(a, a_index)),
                                 X509_EXTENSION_get_data(X509_CRL_get_ext(b, b_index))) == 0;
}

bool is_delta(const X509_CRL* crl) {
    return X509_CRL_get_ext_by_NID(crl, NID_delta_crl, -1) >= 0;
}

// A CRL replaces the one its authority published before it for the same
// scope: same issuer, same kind, same key and same distribution point. A
// delta CRL, or one of another distribution point, stands beside it.
bool same_crl_scope(const Offered& offered, const std::string& der) {
    const unsigned char* next = reinterpret_cast<const unsigned char*>(der.data());
    CrlPtr stored(d2i_X509_CRL(nullptr, &next, static_cast<long>(der.size())));
    if (!stored) {
        ERR_clear_error();
        return false;
    }
    const X509_CRL* a = offered.crl.get();
    const X509_CRL* b = stored.get();
    return same_name(X509_CRL_get_issuer(a), X509_CRL_get_issuer(b)) &&
           is_delta(a) == is_delta(b) && same_extension(a, b, NID_authority_key_identifier) &&
           same_extension(a, b, NID_issuing_distribution_point);
}

// "<hash>.", the hash in at least eight hex digits as OpenSSL names entries.
std::string hash_text(unsigned long hash) {
    char text[sizeof "ffffffffffffffff."];
    (void)std::snprintf(text, sizeof text, "%08lx.", hash);
    return text;
}

// The DER of the first PEM object labelled label in text, if there is one.
bool pem_body(const std::string& text, const char* label, std::string* der) {
    if (text.size() > INT_MAX) {
        return false;
    }
    std::unique_ptr<BIO, FreeBio> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    bool found = bio && PEM_read_bio(bio.get(), &name, &header, &data, &length) == 1 &&
                 std::strcmp(name, label) == 0;
    if (found) {
        der->assign(reinterpret_cast<char*>(data), static_cast<size_t>(length));
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    ERR_clear_error();
    return found;
}

}  // namespace

const ItemKind certificate_kind = {"CERTIFICATE", "", nullptr, decode_certificate,
                                   same_certificate};
const ItemKind self_issued_kind = {"CERTIFICATE", "s", "", decode_certificate, same_certificate};
const ItemKind crl_kind = {"X509 CRL", "r", nullptr, decode_crl, same_crl_scope};

std::string entry_base(const Offered& offered) {
    return hash_text(offered.hash) + offered.kind->number_prefix;
}

std::string former_entry_base(const Offered& offered) {
    const char* prefix = offered.kind->former_prefix;
    return prefix == nullptr ? "" : hash_text(offered.hash) + prefix;
}

std::string pem_text(const Offered& offered) {
    const char* label = offered.kind->pem_label;
    const BYTE* bytes = offered.bytes;
    size_t length = offered.length;
    std::string text = std::string("-----BEGIN ") + label + "-----\n";
    unsigned char line[65];
    for (size_t at = 0; at < length; at += 48) {
        int written =
            EVP_EncodeBlock(line, bytes + at, static_cast<int>(std::min<size_t>(48, length - at)));
        text.append(reinterpret_cast<char*>(line), written);
        text += '\n';
    }
    return text + "-----END " + label + "-----\n";
}

bool replaced_by(const std::string& content, const Offered& offered) {
    std::string der;
    return pem_body(content, offered.kind->pem_label, &der) && offered.kind->matches(offered, der);
}
