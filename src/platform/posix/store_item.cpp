// Items as the certificate store sees them, decoded with libcrypto.
#include "store_item.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// libcrypto takes an item's length as a long.
static_assert(LONG_MAX >= 0xFFFFFFFF, "a long must hold any item length");

struct FreeX509 {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct FreeCrl {
    void operator()(X509_CRL* crl) const { X509_CRL_free(crl); }
};
struct FreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
typedef std::unique_ptr<X509, FreeX509> X509Ptr;
typedef std::unique_ptr<X509_CRL, FreeCrl> CrlPtr;

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

// The scope of the CRL that is exactly the length bytes at der, read in one
// pass (with check_entries, each entry decoded and freed at once). What that
// pass leaves to libcrypto (BER forms it does not follow, and every refusal)
// is decoded whole. False when libcrypto does not accept the bytes whole.
bool crl_scope_from_der(const unsigned char* der, size_t length, bool check_entries,
                        CrlScope* scope) {
    CrlBytes whole = {der, length, nullptr, 0, length};
    if (read_crl_scope(whole, check_entries, scope) == crl_read) {
        return true;
    }
    const unsigned char* next = der;
    CrlPtr crl(d2i_X509_CRL(nullptr, &next, static_cast<long>(length)));
    bool read = crl && next == der + length && crl_scope_of(crl.get(), scope);
    ERR_clear_error();
    return read;
}

// A CRL of a million entries would take libcrypto's decoder hundreds of
// megabytes: it is checked in one pass instead, so the store accepts exactly
// what d2i_X509_CRL accepts without building its tree.
bool decode_crl(const BYTE* bytes, size_t length, Offered* offered) {
    if (!crl_scope_from_der(bytes, length, true, &offered->scope)) {
        errno = EBADMSG;
        return false;
    }
    offered->hash = offered->scope.issuer_hash;
    return true;
}

// Reads length bytes at offset of fd into text. False on a read error
// (errno set) or when the file is shorter.
bool read_at(int fd, off_t offset, size_t length, std::string* text) {
    text->resize(length);
    size_t done = 0;
    while (done < length) {
        ssize_t got = pread(fd, &(*text)[done], length - done, offset + static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            text->resize(done);
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

// The whole of the regular file open at fd. False on a read error.
bool read_whole(int fd, std::string* text) {
    char buffer[65536];
    for (off_t offset = 0;;) {
        ssize_t got = pread(fd, buffer, sizeof buffer, offset);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            return true;
        }
        text->append(buffer, static_cast<size_t>(got));
        offset += got;
    }
}

// The DER of the first PEM object of text, if it is labelled label.
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

// The DER in the stored entry at fd, if it holds an item labelled label: 1,
// 0 when it does not, -1 on a read error.
int stored_der(int fd, const char* label, std::string* der) {
    std::string text;
    if (!read_whole(fd, &text)) {
        return -1;
    }
    return pem_body(text, label, der) ? 1 : 0;
}

// A certificate replaces only itself.
int same_certificate(const Offered& offered, int fd) {
    std::string der;
    int found = stored_der(fd, offered.kind->pem_label, &der);
    if (found <= 0) {
        return found;
    }
    return der.size() == offered.length && std::memcmp(der.data(), offered.bytes, der.size()) == 0;
}

// The entries this store writes: a header line, lines of 64 base64
// characters (48 bytes each), a shorter last line, a footer line.
const char crl_header[] = "-----BEGIN X509 CRL-----\n";
const char crl_footer[] = "-----END X509 CRL-----\n";
const size_t header_length = sizeof crl_header - 1;
const size_t footer_length = sizeof crl_footer - 1;
const size_t line_bytes = 48;
const size_t line_length = 65;  // with its '\n'
// How much of a stored CRL is read first: enough for its header fields.
const size_t head_read = 32768;

bool is_base64(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// Decodes lines of the layout above from text (which starts at a line) into
// der: count full lines, then, when last is nonzero, a last line of that
// many bytes. False when text does not hold exactly such lines.
bool decode_lines(const std::string& text, size_t count, size_t last, std::string* der) {
    size_t chars = last == 0 ? 0 : (last + 2) / 3 * 4;
    if (text.size() < count * line_length + (last == 0 ? 0 : chars + 1)) {
        return false;
    }
    der->resize(count * line_bytes + (last == 0 ? 0 : chars / 4 * 3));
    unsigned char* out = reinterpret_cast<unsigned char*>(&(*der)[0]);
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t line = 0; line < count; ++line, in += line_length, out += line_bytes) {
        if (in[64] != '\n' || !std::all_of(in, in + 64, is_base64) ||
            EVP_DecodeBlock(out, in, 64) != static_cast<int>(line_bytes)) {
            return false;
        }
    }
    if (last != 0) {
        size_t padding = chars / 4 * 3 - last;
        bool shape =
            in[chars] == '\n' && std::all_of(in, in + chars - padding, is_base64) &&
            std::all_of(in + chars - padding, in + chars, [](unsigned char c) { return c == '='; });
        if (!shape || EVP_DecodeBlock(out, in, static_cast<int>(chars)) < 0) {
            return false;
        }
        der->resize(der->size() - padding);
    }
    return true;
}

// The scope of a large stored CRL in this store's own layout, read from its
// first lines and its last ones: the revoked entries between are never read.
bool scope_from_ends(int fd, size_t size, CrlScope* scope) {
    std::string head;
    if (!read_at(fd, 0, head_read, &head) || head.compare(0, header_length, crl_header) != 0) {
        return false;
    }
    std::string head_der;
    size_t head_lines = (head_read - header_length) / line_length;
    size_t entries_end = 0;
    size_t total = 0;
    if (!decode_lines(head.substr(header_length), head_lines, 0, &head_der) ||
        !crl_layout(reinterpret_cast<const unsigned char*>(head_der.data()), head_der.size(),
                    &entries_end, &total)) {
        return false;
    }
    size_t last = total % line_bytes;
    size_t expected = header_length + total / line_bytes * line_length +
                      (last == 0 ? 0 : (last + 2) / 3 * 4 + 1) + footer_length;
    if (expected != size) {
        return false;
    }
    size_t first_line = entries_end / line_bytes;
    size_t tail_start = header_length + first_line * line_length;
    std::string tail;
    std::string tail_der;
    if (!read_at(fd, static_cast<off_t>(tail_start), size - tail_start, &tail) ||
        tail.compare(tail.size() - footer_length, footer_length, crl_footer) != 0 ||
        !decode_lines(tail, total / line_bytes - first_line, last, &tail_der)) {
        return false;
    }
    CrlBytes bytes = {reinterpret_cast<const unsigned char*>(head_der.data()), head_der.size(),
                      reinterpret_cast<const unsigned char*>(tail_der.data()),
                      first_line * line_bytes, total};
    return read_crl_scope(bytes, false, scope) == crl_read;
}

// The scope of the stored CRL at fd: 1, 0 when it holds no CRL whose scope
// can be read, -1 on a read error.
int stored_crl_scope(int fd, CrlScope* scope) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
        return -1;
    }
    size_t size = static_cast<size_t>(status.st_size);
    if (size > head_read && scope_from_ends(fd, size, scope)) {
        return 1;
    }
    std::string der;
    int found = stored_der(fd, "X509 CRL", &der);
    if (found <= 0) {
        return found;
    }
    return crl_scope_from_der(reinterpret_cast<const unsigned char*>(der.data()), der.size(), false,
                              scope)
               ? 1
               : 0;
}

// A CRL replaces the one its authority published before it for the same
// scope: same issuer, same kind, same key and same distribution point. A
// delta CRL, or one of another distribution point, stands beside it.
int same_crl_scope(const Offered& offered, int fd) {
    CrlScope stored;
    int found = stored_crl_scope(fd, &stored);
    if (found <= 0) {
        return found;
    }
    return offered.scope == stored;
}

// "<hash>.", the hash in at least eight hex digits as OpenSSL names entries.
std::string hash_text(unsigned long hash) {
    char text[sizeof "ffffffffffffffff."];
    (void)std::snprintf(text, sizeof text, "%08lx.", hash);
    return text;
}

bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
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

bool write_pem(int fd, const Offered& offered) {
    const std::string header = std::string("-----BEGIN ") + offered.kind->pem_label + "-----\n";
    const std::string footer = std::string("-----END ") + offered.kind->pem_label + "-----\n";
    // Lines are encoded into a buffer of many lines and written from there.
    const size_t capacity = 1024 * line_length;
    std::unique_ptr<char[]> buffer(new char[capacity]);
    size_t used = 0;
    if (!write_all(fd, header.data(), header.size())) {
        return false;
    }
    for (size_t at = 0; at < offered.length; at += line_bytes) {
        if (used + line_length > capacity) {
            if (!write_all(fd, buffer.get(), used)) {
                return false;
            }
            used = 0;
        }
        // The encoder ends its line with a NUL, which the '\n' replaces.
        int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(buffer.get() + used),
                                      offered.bytes + at,
                                      static_cast<int>(std::min(line_bytes, offered.length - at)));
        used += static_cast<size_t>(written);
        buffer[used++] = '\n';
    }
    return write_all(fd, buffer.get(), used) && write_all(fd, footer.data(), footer.size());
}
