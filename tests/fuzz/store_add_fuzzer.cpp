// Fuzzes the store's decode-and-add path: the first byte picks the kind
// (even: certificate, odd: CRL), the rest are the item's bytes, added to a
// scratch store as the program adds a download. After every add the store is
// checked as OpenSSL programs rely on it: each entry a regular file named
// <hash>.<n>, <hash>.s<n> or <hash>.r<n> holding one PEM object of its kind
// whose hash is the name's, numbers from 0 without a gap, no two entries
// alike, nothing hidden but the lock, and no certificate that OpenSSL could
// take as a chain's end (or cannot judge) where its lookup reads anchors. An accepted item is in
// the store byte for byte; a refused one changed nothing.
#include <dirent.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "platform.h"

namespace {

std::string store_path;
HCERTSTORE store;
int adds_since_emptied = 0;
std::string scratch;

void remove_scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

void check(bool condition, const std::string& what) {
    if (!condition) {
        (void)std::fprintf(stderr, "store fuzzer: %s\n", what.c_str());
        std::abort();
    }
}

std::map<std::string, std::string> read_store() {
    std::map<std::string, std::string> files;
    DIR* listing = opendir(store_path.c_str());
    check(listing != nullptr, "cannot list the store");
    while (struct dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        std::string path = store_path + "/" + name;
        struct stat status;
        if (name == "." || name == "..") {
            continue;
        }
        // The store's directory of unfinished files, empty after every add.
        if (name == ".tmp" && lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            check(std::filesystem::is_empty(path), ".tmp holds what an add left behind");
            continue;
        }
        check(lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode),
              name + " is not a regular file");
        FILE* file = std::fopen(path.c_str(), "rb");
        check(file != nullptr, "cannot open " + name);
        std::string content;
        char block[4096];
        size_t count;
        while ((count = std::fread(block, 1, sizeof block, file)) > 0) {
            content.append(block, count);
        }
        (void)std::fclose(file);
        files[name] = content;
    }
    closedir(listing);
    return files;
}

// The DER of the one PEM object in text, which must be of kind label.
std::string only_object(const std::string& name, const std::string& text, const char* label) {
    check(text.find("-----BEGIN ") == text.rfind("-----BEGIN "), name + " holds several objects");
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    char* found_label = nullptr;
    char* header = nullptr;
    unsigned char* der = nullptr;
    long length = 0;
    bool read = PEM_read_bio(bio, &found_label, &header, &der, &length) == 1;
    BIO_free(bio);
    check(read && std::strcmp(found_label, label) == 0, name + " is not one " + label);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(length));
    OPENSSL_free(found_label);
    OPENSSL_free(header);
    OPENSSL_free(der);
    return bytes;
}

unsigned long name_hash(const X509_NAME* name) {
    int ok = 0;
    unsigned long hash = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
    check(ok == 1, "no hash for a name");
    return hash;
}

// Checks the store and returns the DER of every entry.
std::set<std::string> check_store(const std::map<std::string, std::string>& files) {
    std::set<std::string> held;
    std::map<std::string, std::set<unsigned long>> numbers;
    for (const auto& [name, content] : files) {
        if (name[0] == '.') {
            check(name == ".lock", name + " left behind");
            continue;
        }
        char prefix = name.size() > 10 && (name[9] == 'r' || name[9] == 's') ? name[9] : '\0';
        bool crl = prefix == 'r';
        std::string pattern = prefix != '\0' ? std::string("%08lx.") + prefix + "%lu" : "%08lx.%lu";
        unsigned long hash = 0, number = 0;
        int fields = std::sscanf(name.c_str(), pattern.c_str(), &hash, &number);
        char canonical[64];
        (void)std::snprintf(canonical, sizeof canonical, pattern.c_str(), hash, number);
        check(fields == 2 && name == canonical, name + " is not an entry's name");
        std::string der = only_object(name, content, crl ? "X509 CRL" : "CERTIFICATE");
        const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
        long length = static_cast<long>(der.size());
        unsigned long actual;
        if (crl) {
            X509_CRL* item = d2i_X509_CRL(nullptr, &cursor, length);
            check(item != nullptr, name + " does not decode");
            actual = name_hash(X509_CRL_get_issuer(item));
            X509_CRL_free(item);
        } else {
            X509* item = d2i_X509(nullptr, &cursor, length);
            check(item != nullptr, name + " does not decode");
            actual = name_hash(X509_get_subject_name(item));
            bool kept_aside = X509_self_signed(item, 0) != 0;
            check(kept_aside == (prefix == 's'), name + " is kept under the wrong name");
            X509_free(item);
        }
        check(actual == hash, name + " is not named after its hash");
        check(held.insert(der).second, name + " holds what another entry holds");
        numbers[name.substr(0, prefix != '\0' ? 10 : 9)].insert(number);
    }
    for (const auto& [base, used] : numbers) {
        check(*used.rbegin() + 1 == used.size(), base + " numbers have a gap");
    }
    return held;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/ca-import-fuzz-store-XXXXXX";
    check(mkdtemp(pattern) != nullptr, "mkdtemp");
    scratch = pattern;
    (void)std::atexit(remove_scratch);
    setenv("XDG_DATA_HOME", pattern, 1);
    store = CertOpenSystemStoreA(0, "CA");
    check(store != nullptr, "cannot open the store");
    store_path = std::string(pattern) + "/certstore/CA";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // Accepted items pile up; a store of many entries only slows the checks.
    if (++adds_since_emptied == 64) {
        for (const auto& [name, content] : read_store()) {
            (void)std::remove((store_path + "/" + name).c_str());
        }
        adds_since_emptied = 0;
    }
    bool crl = data[0] & 1;
    const BYTE* bytes = data + 1;
    DWORD length = static_cast<DWORD>(size - 1);
    std::map<std::string, std::string> before = read_store();
    errno = 0;
    BOOL added =
        crl ? CertAddEncodedCRLToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, bytes,
                                       length, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)
            : CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                               bytes, length, CERT_STORE_ADD_REPLACE_EXISTING,
                                               nullptr);
    std::map<std::string, std::string> after = read_store();
    std::set<std::string> held = check_store(after);
    if (added) {
        check(held.count(std::string(reinterpret_cast<const char*>(bytes), length)) == 1,
              "an accepted item is not in the store byte for byte");
    } else {
        check(GetLastError() == EBADMSG,
              "a refusal other than EBADMSG: " + std::to_string(GetLastError()));
        before.erase(".lock");
        after.erase(".lock");
        check(before == after, "a refused item changed the store");
    }
    return 0;
}
