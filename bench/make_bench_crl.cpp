// Makes the benchmark's fixtures quickly: a CRL of any number of entries
// (a million in seconds), written field by field in DER and signed with
// libcrypto, by an intermediate authority under a test root.
//
//   make_bench_crl DIR NAME ENTRIES [DISTRIBUTION_POINT [SECONDS_AGO]]
//
// writes DIR/NAME, a CRL revoking ENTRIES serial numbers, with an Issuing
// Distribution Point when DISTRIBUTION_POINT (a URI) is not empty, issued
// SECONDS_AGO seconds ago (0). The first call makes DIR/root.cer and the
// issuer, DIR/issuer.cer (DER) and DIR/issuer.key; later calls reuse them.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

namespace {

[[noreturn]] void die(const char* what) {
    (void)std::fprintf(stderr, "make_bench_crl: %s\n", what);
    std::exit(1);
}

void check(bool ok, const char* what) {
    if (!ok) {
        die(what);
    }
}

// A whole decimal number, at least 0.
long number(const char* text) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0) {
        die("not a number");
    }
    return value;
}

std::string length_octets(size_t n) {
    if (n < 0x80) {
        return std::string(1, static_cast<char>(n));
    }
    std::string octets;
    for (; n > 0; n >>= 8) {
        octets.insert(octets.begin(), static_cast<char>(n & 0xFF));
    }
    return static_cast<char>(0x80 | octets.size()) + octets;
}

std::string tlv(unsigned char tag, const std::string& content) {
    return static_cast<char>(tag) + length_octets(content.size()) + content;
}

std::string utc_time(std::time_t when) {
    char text[16];
    (void)std::strftime(text, sizeof text, "%y%m%d%H%M%SZ", std::gmtime(&when));
    return tlv(0x17, text);
}

std::string der_of(X509* certificate) {
    unsigned char* der = nullptr;
    int length = i2d_X509(certificate, &der);
    check(length > 0, "encode a certificate");
    std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

void write_file(const std::string& path, const std::string& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    check(file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
              std::fclose(file) == 0,
          "write a file");
}

void add_extension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    check(extension != nullptr && X509_add_ext(certificate, extension, -1) == 1, value);
    X509_EXTENSION_free(extension);
}

// A CA certificate for key, named common_name, issued by issuer (itself
// when null) and signed with signing_key.
X509* make_ca(EVP_PKEY* key, const char* common_name, X509* issuer, EVP_PKEY* signing_key,
              long serial) {
    X509* certificate = X509_new();
    X509_NAME* name = X509_get_subject_name(certificate);
    check(X509_set_version(certificate, 2) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(certificate), -86400) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(certificate), 3650L * 86400) != nullptr &&
              X509_set_pubkey(certificate, key) == 1 &&
              X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>("ca-import bench"),
                                         -1, -1, 0) == 1 &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(common_name), -1,
                                         -1, 0) == 1 &&
              X509_set_issuer_name(certificate,
                                   X509_get_subject_name(issuer ? issuer : certificate)) == 1,
          "certificate fields");
    X509* signer = issuer ? issuer : certificate;
    add_extension(certificate, signer, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(certificate, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    add_extension(certificate, signer, NID_subject_key_identifier, "hash");
    add_extension(certificate, signer, NID_authority_key_identifier, "keyid:always");
    check(X509_sign(certificate, signing_key, EVP_sha256()) > 0, "sign a certificate");
    return certificate;
}

// The issuer's key and certificate, made with the root on the first call.
void load_issuer(const std::string& dir, EVP_PKEY** key, X509** certificate) {
    std::string key_path = dir + "/issuer.key";
    std::string cert_path = dir + "/issuer.cer";
    if (FILE* file = std::fopen(key_path.c_str(), "rb")) {
        *key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
        (void)std::fclose(file);
        FILE* cert_file = std::fopen(cert_path.c_str(), "rb");
        check(*key != nullptr && cert_file != nullptr, "read the issuer");
        *certificate = d2i_X509_fp(cert_file, nullptr);
        (void)std::fclose(cert_file);
        check(*certificate != nullptr, "read the issuer's certificate");
        return;
    }
    EVP_PKEY* root_key = EVP_EC_gen("P-256");
    *key = EVP_EC_gen("P-256");
    check(root_key != nullptr && *key != nullptr, "make keys");
    X509* root = make_ca(root_key, "Bench Root", nullptr, root_key, 1);
    *certificate = make_ca(*key, "Bench Issuing CA", root, root_key, 2);
    write_file(dir + "/root.cer", der_of(root));
    write_file(cert_path, der_of(*certificate));
    FILE* file = std::fopen(key_path.c_str(), "wb");
    check(file != nullptr &&
              PEM_write_PrivateKey(file, *key, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
              std::fclose(file) == 0,
          "write the issuer's key");
    X509_free(root);
    EVP_PKEY_free(root_key);
}

std::string name_der(X509* certificate) {
    const unsigned char* der = nullptr;
    size_t length = 0;
    check(X509_NAME_get0_der(X509_get_subject_name(certificate), &der, &length) == 1, "name");
    return std::string(reinterpret_cast<const char*>(der), length);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 6) {
        die("usage: make_bench_crl DIR NAME ENTRIES [DISTRIBUTION_POINT [SECONDS_AGO]]");
    }
    std::string dir = argv[1];
    long entries = number(argv[3]);
    std::string distribution_point = argc > 4 ? argv[4] : "";
    long seconds_ago = argc > 5 ? number(argv[5]) : 0;
    EVP_PKEY* key = nullptr;
    X509* issuer = nullptr;
    load_issuer(dir, &key, &issuer);

    const std::string ecdsa_sha256 = tlv(0x30, tlv(0x06, "\x2a\x86\x48\xce\x3d\x04\x03\x02"));
    std::time_t now = std::time(nullptr) - seconds_ago;
    std::string revoked_at = utc_time(now - 86400);
    std::string list;
    list.reserve(static_cast<size_t>(entries) * 28);
    for (long i = 0; i < entries; ++i) {
        // Eight-byte serial numbers, positive, as authorities issue them.
        unsigned long long serial = 0x1000000000000000ULL + static_cast<unsigned long long>(i);
        std::string octets(8, '\0');
        for (int b = 7; b >= 0; --b, serial >>= 8) {
            octets[static_cast<size_t>(b)] = static_cast<char>(serial & 0xFF);
        }
        list += tlv(0x30, tlv(0x02, octets) + revoked_at);
    }
    // Authority Key Identifier, CRL number, and the distribution point.
    const ASN1_OCTET_STRING* key_id = X509_get0_subject_key_id(issuer);
    check(key_id != nullptr, "the issuer's key identifier");
    std::string akid = tlv(
        0x30, tlv(0x80, std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(key_id)),
                                    ASN1_STRING_length(key_id))));
    std::string extensions =
        tlv(0x30, tlv(0x06, "\x55\x1d\x23") + tlv(0x04, akid)) +
        tlv(0x30, tlv(0x06, "\x55\x1d\x14") +
                      tlv(0x04, tlv(0x02, std::string(1, static_cast<char>(now % 100)))));
    if (!distribution_point.empty()) {
        std::string idp = tlv(0x30, tlv(0xA0, tlv(0xA0, tlv(0x86, distribution_point))));
        extensions += tlv(0x30, tlv(0x06, "\x55\x1d\x1c") + tlv(0x01, "\xff") + tlv(0x04, idp));
    }
    std::string tbs = tlv(0x30, tlv(0x02, std::string(1, '\x01')) + ecdsa_sha256 +
                                    name_der(issuer) + utc_time(now) + utc_time(now + 7L * 86400) +
                                    tlv(0x30, list) + tlv(0xA0, tlv(0x30, extensions)));
    list.clear();
    list.shrink_to_fit();

    EVP_MD_CTX* context = EVP_MD_CTX_new();
    size_t signature_length = 0;
    check(context != nullptr &&
              EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestSign(context, nullptr, &signature_length,
                             reinterpret_cast<const unsigned char*>(tbs.data()), tbs.size()) == 1,
          "sign");
    std::string signature(signature_length, '\0');
    check(
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(&signature[0]), &signature_length,
                       reinterpret_cast<const unsigned char*>(tbs.data()), tbs.size()) == 1,
        "sign");
    signature.resize(signature_length);
    EVP_MD_CTX_free(context);
    write_file(dir + "/" + argv[2],
               tlv(0x30, tbs + ecdsa_sha256 + tlv(0x03, std::string(1, '\0') + signature)));
    X509_free(issuer);
    EVP_PKEY_free(key);
    return 0;
}
