#include "pki.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <stdexcept>

#include "support.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        ERR_print_errors_fp(stderr);
        throw std::runtime_error(std::string("libcrypto: ") + what);
    }
}

std::shared_ptr<EVP_PKEY> make_key() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    check(key != nullptr, "EC key");
    return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

void set_name(X509_NAME* name, const std::string& common_name) {
    check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>("ca-import tests"), -1,
                                     -1, 0) == 1 &&
              X509_NAME_add_entry_by_txt(
                  name, "CN", MBSTRING_UTF8,
                  reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1, 0) == 1,
          "name");
}

void add_extension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value);
    check(extension != nullptr && X509_add_ext(certificate, extension, -1) == 1, value);
    X509_EXTENSION_free(extension);
}

// A certificate for key, issued by issuer (or by itself when issuer is null).
std::shared_ptr<X509> make_certificate(const Issuer* issuer, EVP_PKEY* key,
                                       const std::string& common_name, long serial, bool ca) {
    std::shared_ptr<X509> certificate(X509_new(), X509_free);
    X509* cert = certificate.get();
    check(X509_set_version(cert, 2) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(cert), serial) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(cert), -86400) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 86400) != nullptr &&
              X509_set_pubkey(cert, key) == 1,
          "certificate fields");
    set_name(X509_get_subject_name(cert), common_name);
    X509* signer = issuer ? issuer->certificate.get() : cert;
    check(X509_set_issuer_name(cert, X509_get_subject_name(signer)) == 1, "issuer");
    X509V3_CTX context;
    X509V3_set_ctx(&context, signer, cert, nullptr, nullptr, 0);
    if (ca) {
        add_extension(cert, &context, NID_basic_constraints, "critical,CA:TRUE");
        add_extension(cert, &context, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        add_extension(cert, &context, NID_basic_constraints, "CA:FALSE");
        add_extension(cert, &context, NID_key_usage, "critical,digitalSignature");
    }
    add_extension(cert, &context, NID_subject_key_identifier, "hash");
    add_extension(cert, &context, NID_authority_key_identifier, "keyid:always");
    EVP_PKEY* signing_key = issuer ? issuer->key.get() : key;
    check(X509_sign(cert, signing_key, EVP_sha256()) > 0, "sign certificate");
    return certificate;
}

template <typename Item>
std::string der_of(const Item* item, int (*encode)(const Item*, unsigned char**)) {
    unsigned char* der = nullptr;
    int length = encode(item, &der);
    check(length > 0, "encode");
    std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

long next_serial() {
    static long serial = 0x1000;
    return ++serial;
}

void add_integer_extension(X509_CRL* crl, int nid, long value, bool critical) {
    ASN1_INTEGER* integer = ASN1_INTEGER_new();
    check(integer != nullptr && ASN1_INTEGER_set(integer, value) == 1 &&
              X509_CRL_add1_ext_i2d(crl, nid, integer, critical ? 1 : 0, 0) == 1,
          "CRL integer extension");
    ASN1_INTEGER_free(integer);
}

Outcome run_openssl(std::vector<std::string> args) {
    args.insert(args.begin(), OPENSSL_PROGRAM);
    return run_program({args, "/", {"PATH=/usr/bin:/bin", "LC_ALL=C"}});
}

}  // namespace

std::string Issuer::der() const {
    return der_of(certificate.get(), i2d_X509);
}

Issuer make_root(const std::string& common_name) {
    Issuer root;
    root.key = make_key();
    root.certificate = make_certificate(nullptr, root.key.get(), common_name, next_serial(), true);
    return root;
}

Issuer make_ca(const Issuer& parent, const std::string& common_name) {
    Issuer ca;
    ca.key = make_key();
    ca.certificate = make_certificate(&parent, ca.key.get(), common_name, next_serial(), true);
    return ca;
}

std::string make_leaf(const Issuer& issuer, const std::string& common_name, long serial) {
    std::shared_ptr<EVP_PKEY> key = make_key();
    return der_of(make_certificate(&issuer, key.get(), common_name, serial, false).get(), i2d_X509);
}

std::string make_unjudgeable_ca(const Issuer& parent, const std::string& common_name) {
    Issuer ca = make_ca(parent, common_name);
    X509* cert = ca.certificate.get();
    // An extended key usage whose value is a NULL, not a list of purposes.
    ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
    check(value != nullptr &&
              ASN1_OCTET_STRING_set(value, reinterpret_cast<const unsigned char*>("\x05\x00"), 2),
          "extension value");
    X509_EXTENSION* extension = X509_EXTENSION_create_by_NID(nullptr, NID_ext_key_usage, 0, value);
    check(extension != nullptr && X509_add_ext(cert, extension, -1) == 1 &&
              X509_sign(cert, parent.key.get(), EVP_sha256()) > 0,
          "broken extension");
    X509_EXTENSION_free(extension);
    ASN1_OCTET_STRING_free(value);
    return ca.der();
}

std::string make_crl(const Issuer& issuer, const std::vector<long>& revoked, long this_update,
                     long delta_of, const std::string& distribution_point, bool key_identifier) {
    std::unique_ptr<X509_CRL, void (*)(X509_CRL*)> holder(X509_CRL_new(), X509_CRL_free);
    X509_CRL* crl = holder.get();
    std::time_t now = std::time(nullptr);
    std::unique_ptr<ASN1_TIME, void (*)(ASN1_TIME*)> last_update(
        ASN1_TIME_adj(nullptr, now, 0, this_update), ASN1_TIME_free);
    std::unique_ptr<ASN1_TIME, void (*)(ASN1_TIME*)> next_update(
        ASN1_TIME_adj(nullptr, now, 30, this_update), ASN1_TIME_free);
    check(X509_CRL_set_version(crl, 1) == 1 &&
              X509_CRL_set_issuer_name(crl, X509_get_subject_name(issuer.certificate.get())) == 1 &&
              X509_CRL_set1_lastUpdate(crl, last_update.get()) == 1 &&
              X509_CRL_set1_nextUpdate(crl, next_update.get()) == 1,
          "CRL fields");
    for (long serial : revoked) {
        X509_REVOKED* entry = X509_REVOKED_new();
        ASN1_INTEGER* number = ASN1_INTEGER_new();
        check(entry != nullptr && number != nullptr && ASN1_INTEGER_set(number, serial) == 1 &&
                  X509_REVOKED_set_serialNumber(entry, number) == 1 &&
                  X509_REVOKED_set_revocationDate(entry, last_update.get()) == 1 &&
                  X509_CRL_add0_revoked(crl, entry) == 1,
              "revoked entry");
        ASN1_INTEGER_free(number);
    }
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer.certificate.get(), nullptr, nullptr, crl, 0);
    if (key_identifier) {
        X509_EXTENSION* extension =
            X509V3_EXT_conf_nid(nullptr, &context, NID_authority_key_identifier, "keyid:always");
        check(extension != nullptr && X509_CRL_add_ext(crl, extension, -1) == 1, "CRL AKI");
        X509_EXTENSION_free(extension);
    }
    add_integer_extension(crl, NID_crl_number, next_serial(), false);
    if (delta_of != 0) {
        add_integer_extension(crl, NID_delta_crl, delta_of, true);
    }
    if (!distribution_point.empty()) {
        std::string value = "critical,fullname:URI:" + distribution_point;
        X509_EXTENSION* extension =
            X509V3_EXT_conf_nid(nullptr, &context, NID_issuing_distribution_point, value.c_str());
        check(extension != nullptr && X509_CRL_add_ext(crl, extension, -1) == 1, "CRL IDP");
        X509_EXTENSION_free(extension);
    }
    check(X509_CRL_sort(crl) == 1 && X509_CRL_sign(crl, issuer.key.get(), EVP_sha256()) > 0,
          "sign CRL");
    return der_of(crl, i2d_X509_CRL);
}

std::string to_pem(const std::string& der, const std::string& label) {
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free);
    check(PEM_write_bio(bio.get(), label.c_str(), "",
                        reinterpret_cast<const unsigned char*>(der.data()),
                        static_cast<long>(der.size())) > 0,
          "PEM");
    char* text = nullptr;
    long length = BIO_get_mem_data(bio.get(), &text);
    return std::string(text, static_cast<size_t>(length));
}

std::string pem_file_bytes(const std::string& path) {
    std::string text = read_file(path);
    std::unique_ptr<BIO, int (*)(BIO*)> bio(
        BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), BIO_free);
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    check(PEM_read_bio(bio.get(), &name, &header, &data, &length) == 1, "read PEM");
    std::string bytes(reinterpret_cast<char*>(data), static_cast<size_t>(length));
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    return bytes;
}

std::string openssl_hash(const std::string& der, bool crl) {
    std::string directory = make_temp_dir();
    write_file(directory + "/item.der", der);
    Outcome outcome = run_openssl({crl ? "crl" : "x509", "-inform", "DER", "-in",
                                   directory + "/item.der", "-hash", "-noout"});
    remove_tree(directory);
    if (outcome.status != 0 || outcome.out.size() != 9) {
        throw std::runtime_error("openssl -hash failed: " + outcome.err);
    }
    return outcome.out.substr(0, 8);
}

std::map<std::string, std::string> store_entries(const std::string& directory) {
    std::map<std::string, std::string> entries;
    if (!std::filesystem::exists(directory)) {
        return entries;
    }
    std::string scratch = make_temp_dir();
    for (const std::string& name : list_dir(directory)) {
        if (name[0] == '.') {
            continue;
        }
        bool crl = name.find(".r") != std::string::npos;
        Outcome outcome = run_openssl({crl ? "crl" : "x509", "-in", directory + "/" + name,
                                       "-outform", "DER", "-out", scratch + "/item.der"});
        entries[name] = outcome.status == 0 ? read_file(scratch + "/item.der") : "unreadable";
    }
    remove_tree(scratch);
    return entries;
}

std::vector<std::string> store_leftovers(const std::string& directory) {
    std::vector<std::string> leftovers;
    for (const std::string& name : list_dir(directory)) {
        if (name == ".tmp" && std::filesystem::is_directory(
                                  std::filesystem::symlink_status(directory + "/" + name))) {
            for (const std::string& unfinished : list_dir(directory + "/" + name)) {
                leftovers.push_back(name + "/" + unfinished);
            }
        } else if (name[0] == '.' && name != ".lock") {
            leftovers.push_back(name);
        }
    }
    return leftovers;
}

std::map<std::string, std::string> snapshot(const std::string& directory) {
    std::map<std::string, std::string> files;
    if (!std::filesystem::exists(directory)) {
        return files;
    }
    for (const std::string& name : list_dir(directory)) {
        std::string path = directory + "/" + name;
        struct stat status;
        lstat(path.c_str(), &status);
        std::string mode = std::to_string(status.st_mode) + ":";
        files[name] = S_ISREG(status.st_mode) ? mode + read_file(path) : mode;
        // The store's own directory of unfinished files, one level down.
        if (S_ISDIR(status.st_mode) && name[0] == '.') {
            for (const auto& [inner, content] : snapshot(path)) {
                files[name + "/" + inner] = content;
            }
        }
    }
    return files;
}

std::vector<std::string> store_faults(const std::string& directory, bool completed) {
    std::vector<std::string> faults;
    if (!std::filesystem::exists(directory)) {
        return faults;
    }
    std::map<std::string, std::vector<unsigned long>> numbers;  // "<hash>.[rs]" to numbers
    std::map<std::string, std::string> holder;                  // bytes to entry
    static const std::regex entry_name("([0-9a-f]{8})\\.([rs]?)(0|[1-9][0-9]{0,8})");
    for (const std::string& name : list_dir(directory)) {
        std::string path = directory + "/" + name;
        if (name[0] == '.') {
            continue;
        }
        std::smatch parts;
        if (!std::regex_match(name, parts, entry_name)) {
            faults.push_back(name + ": not an entry's name");
            continue;
        }
        bool crl = parts[2] == "r";
        numbers[parts[1].str() + "." + parts[2].str()].push_back(std::stoul(parts[3]));
        if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path))) {
            faults.push_back(name + ": not a regular file");
            continue;
        }
        std::string content = read_file(path);
        const std::string begin = "-----BEGIN ";
        size_t objects = 0;
        for (size_t at = content.find(begin); at != std::string::npos;
             at = content.find(begin, at + 1)) {
            ++objects;
        }
        std::string label = crl ? "-----BEGIN X509 CRL-----\n" : "-----BEGIN CERTIFICATE-----\n";
        if (objects != 1 || content.compare(0, label.size(), label) != 0) {
            faults.push_back(name + ": not exactly one PEM object of its kind");
        }
        Outcome hash = run_openssl({crl ? "crl" : "x509", "-in", path, "-noout", "-hash"});
        if (hash.status != 0 || hash.out != parts[1].str() + "\n") {
            faults.push_back(name + ": openssl reads hash '" + hash.out + "'");
        }
        auto [other, fresh] = holder.emplace(content, name);
        if (!fresh) {
            faults.push_back(name + ": the same bytes as " + other->second);
        }
    }
    if (completed) {
        for (const std::string& leftover : store_leftovers(directory)) {
            faults.push_back(leftover + ": left behind");
        }
    }
    for (auto& [base, used] : numbers) {
        std::sort(used.begin(), used.end());
        for (size_t i = 0; i < used.size(); ++i) {
            if (used[i] != i) {
                faults.push_back(base + ": numbers with a gap before " + std::to_string(used[i]));
                break;
            }
        }
    }
    return faults;
}

bool entries_between(const std::map<std::string, std::string>& before,
                     const std::map<std::string, std::string>& now,
                     const std::map<std::string, std::string>& after) {
    std::set<std::string> names;
    for (const auto* side : {&before, &now, &after}) {
        for (const auto& [name, content] : *side) {
            if (name[0] != '.') {
                names.insert(name);
            }
        }
    }
    auto held = [](const std::map<std::string, std::string>& side, const std::string& name) {
        auto found = side.find(name);
        return found == side.end() ? std::string("(absent)") : found->second;
    };
    for (const std::string& name : names) {
        std::string content = held(now, name);
        if (content != held(before, name) && content != held(after, name)) {
            return false;
        }
    }
    return true;
}

bool items_between(const std::map<std::string, std::string>& before,
                   const std::map<std::string, std::string>& now,
                   const std::map<std::string, std::string>& after) {
    auto items = [](const std::map<std::string, std::string>& side) {
        std::multiset<std::string> held;
        for (const auto& [name, content] : side) {
            if (name[0] != '.') {
                held.insert(content);
            }
        }
        return held;
    };
    std::multiset<std::string> was = items(before), is = items(now), will = items(after);
    bool replacement_arrived = false;
    for (const std::string& item : is) {
        if (was.count(item) == 0 && will.count(item) == 0) {
            return false;
        }
        replacement_arrived = replacement_arrived || was.count(item) == 0;
    }
    for (const std::string& item : was) {
        bool kept = will.count(item) != 0;
        if (is.count(item) == 0 && (kept || !replacement_arrived)) {
            return false;
        }
    }
    return true;
}

std::string openssl_verify(const std::string& root_pem, const std::string& store,
                           const std::string& leaf_pem) {
    std::vector<std::string> args = {"verify", "-no-CAstore"};
    if (root_pem.empty()) {
        args.push_back("-no-CAfile");
    } else {
        args.insert(args.end(), {"-CAfile", root_pem});
    }
    args.insert(args.end(), {"-CApath", store, "-crl_check", leaf_pem});
    Outcome outcome = run_openssl(args);
    return outcome.out + outcome.err;
}
