// Reading a CRL's scope the way libcrypto's template decoder reads the CRL,
// field by field, with libcrypto's decoder for each field.
//
// d2i_X509_CRL accepts a CRL when its template decode succeeds: what it does
// after (the issuers of entries, the extensions it caches) only sets flags.
// The walk below follows the template of CertificateList and TBSCertList
// for definite lengths: each optional field is present when the next tag is
// its own, a field that would start with end-of-contents octets or leave
// bytes over ends the walk, and every field, revoked entries included, is
// decoded by libcrypto over exactly its own bytes. Whatever the walk does not
// follow is crl_unsure, and the caller asks d2i_X509_CRL.
#include "crl_scope.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

void free_extensions(STACK_OF(X509_EXTENSION) * extensions) {
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
}
struct FreeExtensions {
    void operator()(STACK_OF(X509_EXTENSION) * extensions) const { free_extensions(extensions); }
};
struct FreeName {
    void operator()(X509_NAME* name) const { X509_NAME_free(name); }
};

// The longest header ASN1_get_object reads: a tag of up to five octets and a
// length of up to nine.
const size_t longest_header = 16;

// The bytes of crl from offset on that are at hand, and how many.
const unsigned char* bytes_at(const CrlBytes& crl, size_t offset, size_t* available) {
    if (offset < crl.head_length) {
        *available = crl.head_length - offset;
        return crl.head + offset;
    }
    if (crl.tail != nullptr && offset >= crl.tail_offset && offset < crl.total) {
        *available = crl.total - offset;
        return crl.tail + (offset - crl.tail_offset);
    }
    *available = 0;
    return nullptr;
}

// One element's header: where its content starts and ends.
struct Element {
    int tag;
    int tag_class;
    bool constructed;
    size_t start;    // of the element
    size_t content;  // of its content
    size_t end;      // past its content
};

// Reads the header of the element at offset, which must end by limit; its
// content need not be at hand. False for a malformed header, an indefinite
// length, an element running past limit, or a header not at hand.
bool read_element(const CrlBytes& crl, size_t offset, size_t limit, Element* element) {
    size_t available = 0;
    const unsigned char* start = bytes_at(crl, offset, &available);
    if (start == nullptr || offset >= limit) {
        return false;
    }
    size_t span = std::min<size_t>(limit - offset, LONG_MAX);
    // ASN1_get_object reads the header alone, never more than it needs.
    if (available < std::min(span, longest_header)) {
        return false;
    }
    const unsigned char* cursor = start;
    long length = 0;
    int tag = 0;
    int tag_class = 0;
    int kind = ASN1_get_object(&cursor, &length, &tag, &tag_class, static_cast<long>(span));
    // 0x80: malformed, or longer than span. Constructed with an indefinite
    // length reads 0x21.
    if ((kind & 0x80) != 0 || kind == (V_ASN1_CONSTRUCTED | 1)) {
        ERR_clear_error();
        return false;
    }
    element->tag = tag;
    element->tag_class = tag_class;
    element->constructed = (kind & V_ASN1_CONSTRUCTED) != 0;
    element->start = offset;
    element->content = offset + static_cast<size_t>(cursor - start);
    element->end = element->content + static_cast<size_t>(length);
    return element->end <= limit;
}

// Whether end-of-contents octets stand at offset: the template decoder
// refuses them in a definite-length SEQUENCE.
bool end_of_contents_at(const CrlBytes& crl, size_t offset, size_t limit) {
    size_t available = 0;
    const unsigned char* at = bytes_at(crl, offset, &available);
    return limit - offset >= 2 && (at == nullptr || available < 2 || (at[0] == 0 && at[1] == 0));
}

// The field at offset of a definite-length SEQUENCE whose content ends at
// end. False at that end, or at end-of-contents octets, which the template
// decoder refuses there.
bool next_field(const CrlBytes& crl, size_t offset, size_t end, Element* field) {
    return offset < end && !end_of_contents_at(crl, offset, end) &&
           read_element(crl, offset, end, field);
}

bool is(const Element& element, int tag_class, int tag) {
    return element.tag_class == tag_class && element.tag == tag;
}

// Decodes element with decode, over exactly its own bytes, which must be at
// hand, and hands the result to keep (or frees it).
template <typename Item>
bool decode(const CrlBytes& crl, const Element& element,
            Item* (*decoder)(Item**, const unsigned char**, long), void (*release)(Item*),
            Item** keep = nullptr) {
    size_t available = 0;
    const unsigned char* start = bytes_at(crl, element.start, &available);
    size_t length = element.end - element.start;
    if (start == nullptr || available < length) {
        return false;
    }
    const unsigned char* cursor = start;
    Item* item = decoder(nullptr, &cursor, static_cast<long>(length));
    if (item == nullptr || cursor != start + length) {
        release(item);
        ERR_clear_error();
        return false;
    }
    if (keep != nullptr) {
        *keep = item;
    } else {
        release(item);
    }
    return true;
}

// The first extension of extensions with nid: whether there is one, and its
// value.
bool extension_value(const STACK_OF(X509_EXTENSION) * extensions, int nid, std::string* value) {
    int index = X509v3_get_ext_by_NID(extensions, nid, -1);
    if (index < 0) {
        return false;
    }
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(X509v3_get_ext(extensions, index));
    value->assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                  static_cast<size_t>(ASN1_STRING_length(data)));
    return true;
}

void scope_from_extensions(const STACK_OF(X509_EXTENSION) * extensions, CrlScope* scope) {
    std::string ignored;
    scope->delta = extension_value(extensions, NID_delta_crl, &ignored);
    scope->has_key_identifier =
        extension_value(extensions, NID_authority_key_identifier, &scope->key_identifier);
    scope->has_distribution_point =
        extension_value(extensions, NID_issuing_distribution_point, &scope->distribution_point);
}

bool name_hash(const X509_NAME* name, unsigned long* hash) {
    int ok = 0;
    *hash = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
    ERR_clear_error();
    return ok == 1;
}

// What a walk is after: the layout only, the scope, or the scope with every
// entry checked.
enum Walk { walk_layout, walk_scope, walk_entries };

// Steps over the revoked list [list.content, list.end), decoding each entry
// and freeing it at once.
bool check_entries(const CrlBytes& crl, const Element& list) {
    size_t available = 0;
    const unsigned char* start = bytes_at(crl, list.content, &available);
    size_t length = list.end - list.content;
    if (length == 0) {
        return true;
    }
    if (start == nullptr || available < length) {
        return false;
    }
    const unsigned char* cursor = start;
    const unsigned char* end = start + length;
    while (cursor < end) {
        if (end - cursor >= 2 && cursor[0] == 0 && cursor[1] == 0) {
            return false;
        }
        X509_REVOKED* entry = d2i_X509_REVOKED(nullptr, &cursor, end - cursor);
        if (entry == nullptr) {
            ERR_clear_error();
            return false;
        }
        X509_REVOKED_free(entry);
    }
    return cursor == end;
}

// Walks the CRL in crl as its template decoder does. Fills scope (unless
// walk_layout) and the offsets where its revoked list ends and where it ends.
bool walk(const CrlBytes& crl, Walk mode, CrlScope* scope, size_t* entries_end, size_t* total) {
    Element outer;
    if (!read_element(crl, 0, mode == walk_layout ? SIZE_MAX : crl.total, &outer) ||
        !is(outer, V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE) || !outer.constructed) {
        return false;
    }
    *total = outer.end;
    Element tbs;
    if (!read_element(crl, outer.content, outer.end, &tbs) ||
        !is(tbs, V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE) || !tbs.constructed) {
        return false;
    }
    size_t at = tbs.content;
    bool decoding = mode != walk_layout;
    if (decoding) {
        *scope = CrlScope();
    }
    Element field;

    // version INTEGER OPTIONAL
    if (!next_field(crl, at, tbs.end, &field)) {
        return false;
    }
    if (is(field, V_ASN1_UNIVERSAL, V_ASN1_INTEGER)) {
        if (decoding && !decode(crl, field, d2i_ASN1_INTEGER, ASN1_INTEGER_free)) {
            return false;
        }
        at = field.end;
        if (!next_field(crl, at, tbs.end, &field)) {
            return false;
        }
    }
    // signature AlgorithmIdentifier
    if (decoding && !decode(crl, field, d2i_X509_ALGOR, X509_ALGOR_free)) {
        return false;
    }
    at = field.end;
    // issuer Name
    if (!next_field(crl, at, tbs.end, &field)) {
        return false;
    }
    if (decoding) {
        X509_NAME* issuer = nullptr;
        if (!decode(crl, field, d2i_X509_NAME, X509_NAME_free, &issuer)) {
            return false;
        }
        std::unique_ptr<X509_NAME, FreeName> held(issuer);
        size_t available = 0;
        const unsigned char* bytes = bytes_at(crl, field.start, &available);
        scope->issuer.assign(reinterpret_cast<const char*>(bytes), field.end - field.start);
        if (!name_hash(issuer, &scope->issuer_hash)) {
            return false;
        }
    }
    at = field.end;
    // thisUpdate Time
    if (!next_field(crl, at, tbs.end, &field)) {
        return false;
    }
    if (decoding && !decode(crl, field, d2i_ASN1_TIME, ASN1_TIME_free)) {
        return false;
    }
    at = field.end;
    *entries_end = at;
    // nextUpdate Time OPTIONAL, then revokedCertificates SEQUENCE OF OPTIONAL,
    // then crlExtensions [0] EXPLICIT OPTIONAL. The template decoder takes the
    // last field as required while bytes are left.
    if (at < tbs.end) {
        if (!next_field(crl, at, tbs.end, &field)) {
            return false;
        }
        if (field.tag_class == V_ASN1_UNIVERSAL &&
            (field.tag == V_ASN1_UTCTIME || field.tag == V_ASN1_GENERALIZEDTIME)) {
            if (decoding && !decode(crl, field, d2i_ASN1_TIME, ASN1_TIME_free)) {
                return false;
            }
            at = field.end;
            *entries_end = at;
        }
    }
    if (at < tbs.end) {
        if (!next_field(crl, at, tbs.end, &field)) {
            return false;
        }
        if (is(field, V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE)) {
            if (!field.constructed) {
                return false;
            }
            if (mode == walk_entries && !check_entries(crl, field)) {
                return false;
            }
            at = field.end;
            *entries_end = at;
        }
    }
    if (mode == walk_layout) {
        return true;
    }
    if (at < tbs.end) {
        if (!next_field(crl, at, tbs.end, &field) || !is(field, V_ASN1_CONTEXT_SPECIFIC, 0) ||
            !field.constructed) {
            return false;
        }
        STACK_OF(X509_EXTENSION)* extensions = nullptr;
        Element inner;
        if (!read_element(crl, field.content, field.end, &inner) || inner.end != field.end ||
            !decode(crl, inner, d2i_X509_EXTENSIONS, free_extensions, &extensions)) {
            return false;
        }
        std::unique_ptr<STACK_OF(X509_EXTENSION), FreeExtensions> held(extensions);
        scope_from_extensions(extensions, scope);
        at = field.end;
    }
    if (at != tbs.end) {
        return false;
    }

    // signatureAlgorithm, signatureValue, and nothing after.
    at = tbs.end;
    if (!next_field(crl, at, outer.end, &field) ||
        !decode(crl, field, d2i_X509_ALGOR, X509_ALGOR_free)) {
        return false;
    }
    at = field.end;
    if (!next_field(crl, at, outer.end, &field) ||
        !decode(crl, field, d2i_ASN1_BIT_STRING, ASN1_BIT_STRING_free)) {
        return false;
    }
    return field.end == outer.end && outer.end == crl.total;
}

}  // namespace

bool operator==(const CrlScope& a, const CrlScope& b) {
    return a.issuer == b.issuer && a.issuer_hash == b.issuer_hash && a.delta == b.delta &&
           a.has_key_identifier == b.has_key_identifier && a.key_identifier == b.key_identifier &&
           a.has_distribution_point == b.has_distribution_point &&
           a.distribution_point == b.distribution_point;
}

CrlReading read_crl_scope(const CrlBytes& bytes, bool check_entries, CrlScope* scope) {
    bool whole = bytes.tail == nullptr && bytes.head_length == bytes.total;
    if (check_entries && !whole) {
        return crl_unsure;
    }
    size_t entries_end = 0;
    size_t total = 0;
    return walk(bytes, check_entries ? walk_entries : walk_scope, scope, &entries_end, &total)
               ? crl_read
               : crl_unsure;
}

bool crl_scope_of(const X509_CRL* crl, CrlScope* scope) {
    const unsigned char* der = nullptr;
    size_t length = 0;
    const X509_NAME* issuer = X509_CRL_get_issuer(crl);
    if (X509_NAME_get0_der(issuer, &der, &length) != 1 || !name_hash(issuer, &scope->issuer_hash)) {
        return false;
    }
    scope->issuer.assign(reinterpret_cast<const char*>(der), length);
    scope_from_extensions(X509_CRL_get0_extensions(crl), scope);
    return true;
}

bool crl_layout(const unsigned char* head, size_t length, size_t* entries_end, size_t* total) {
    CrlBytes bytes = {head, length, nullptr, 0, length};
    return walk(bytes, walk_layout, nullptr, entries_end, total);
}
