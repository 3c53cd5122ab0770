// Differential fuzzing of the store's one-pass CRL reader against libcrypto's
// d2i_X509_CRL, for any bytes:
// - when the reader, checking every entry, says it read a CRL, d2i_X509_CRL
//   accepts the bytes whole, and the scope read (issuer, its hash, base or
//   delta, Authority Key Identifier, Issuing Distribution Point) is the one
//   taken from libcrypto's CRL;
// - when the reader steps over the entries, or reads the CRL in two pieces
//   as the store reads a stored entry (its first bytes and the bytes from
//   the end of its revoked list), any scope it reads from a CRL that
//   d2i_X509_CRL accepts is that same scope.
// What the reader leaves to libcrypto (crl_unsure) is counted, not checked:
// the store then decodes the CRL whole.
#include <openssl/x509.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "posix/crl_scope.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        (void)std::fprintf(stderr, "crl scope fuzzer: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size == 0 || size > LONG_MAX) {
        return 0;
    }
    const unsigned char* next = data;
    X509_CRL* crl = d2i_X509_CRL(nullptr, &next, static_cast<long>(size));
    bool accepted = crl != nullptr && next == data + size;
    CrlScope full;
    bool full_read = accepted && crl_scope_of(crl, &full);
    X509_CRL_free(crl);

    CrlBytes whole = {data, size, nullptr, 0, size};
    CrlScope checked;
    if (read_crl_scope(whole, true, &checked) == crl_read) {
        check(accepted, "read a CRL that d2i_X509_CRL refuses");
        check(full_read && checked == full, "read another scope than libcrypto's");
    }
    if (!full_read) {
        return 0;
    }
    CrlScope stepped;
    if (read_crl_scope(whole, false, &stepped) == crl_read) {
        check(stepped == full, "stepping over the entries, read another scope");
    }
    size_t entries_end = 0;
    size_t total = 0;
    if (crl_layout(data, size, &entries_end, &total)) {
        check(entries_end <= total && total == size, "a layout outside the CRL");
        // The first bytes up to some point in the entries, then the bytes
        // from the line of 48 bytes where the entries end, as a stored
        // entry's ends are read.
        size_t tail_offset = entries_end / 48 * 48;
        size_t head_length = tail_offset < size ? tail_offset / 2 + 1 : size;
        CrlBytes pieces = {data, head_length, data + tail_offset, tail_offset, size};
        CrlScope ends;
        if (read_crl_scope(pieces, false, &ends) == crl_read) {
            check(ends == full, "reading the ends, read another scope");
        }
    }
    return 0;
}
