// The platform layer's certificate stores on POSIX systems: OpenSSL hashed
// directories, the items decoded with libcrypto.
//
// Every add holds an exclusive lock on the store's ".lock" from the moment it
// looks at the entries until the store's directory has been flushed. Under
// the lock it writes the entry's new content to ".new-<pid>", flushes it and
// renames it onto the entry's name, so that a crash at any point leaves the
// old entry or the new one whole. An entry it replaces is kept as
// ".old-<pid>" until the directory is flushed, so that an add whose flush
// fails can put the store back as it was. A ".new-" or ".old-" file seen
// under the lock was left by a run that died, and is removed.
#include "platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

struct CertStore {
    int directory;
};

namespace {

// libcrypto takes an item's length as a long.
static_assert(LONG_MAX >= 0xFFFFFFFF, "a long must hold any item length");

const char lock_name[] = ".lock";
const char unfinished_prefix[] = ".new-";
const char previous_prefix[] = ".old-";

struct FreeX509 {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct FreeCrl {
    void operator()(X509_CRL* crl) const { X509_CRL_free(crl); }
};
struct FreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
// Closes fd after a failure, leaving errno as that failure set it.
void close_keeping_errno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

struct CloseDir {
    void operator()(DIR* listing) const {
        int saved = errno;
        closedir(listing);
        errno = saved;
    }
};
typedef std::unique_ptr<X509, FreeX509> X509Ptr;
typedef std::unique_ptr<X509_CRL, FreeCrl> CrlPtr;

// A file descriptor closed when it goes out of scope, leaving errno as the
// failure that caused the early return.
struct Descriptor {
    int fd;
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) {
            close_keeping_errno(fd);
        }
    }
};

BOOL fail(int error) {
    errno = error;
    return FALSE;
}

// An item offered to the store, decoded.
struct Offered {
    const BYTE* bytes;
    size_t length;
    unsigned long hash;  // of the certificate's subject or the CRL's issuer
    CrlPtr crl;
};

// What sets certificates and CRLs apart in a store.
struct ItemKind {
    const char* pem_label;
    const char* number_prefix;  // between the hash's "." and the number
    bool (*decode)(const BYTE* bytes, size_t length, Offered* offered);
    // Whether the stored item, der, is the one offered replaces.
    bool (*matches)(const Offered& offered, const std::string& der);
};

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
    return whole_item(certificate.get(), next, bytes, length) &&
           name_hash(X509_get_subject_name(certificate.get()), &offered->hash);
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

const ItemKind certificate_kind = {"CERTIFICATE", "", decode_certificate, same_certificate};
const ItemKind crl_kind = {"X509 CRL", "r", decode_crl, same_crl_scope};

// The entry's content: the item's bytes unchanged, in PEM.
std::string pem_text(const char* label, const BYTE* bytes, size_t length) {
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

// The whole content of the regular file name in dir. Anything else reads as
// empty: it holds no entry.
bool read_entry(int dir, const char* name, std::string* content) {
    Descriptor file(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.fd < 0) {
        return errno == ELOOP;
    }
    struct stat status;
    if (fstat(file.fd, &status) != 0) {
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        return true;
    }
    char buffer[16384];
    for (;;) {
        ssize_t got = read(file.fd, buffer, sizeof buffer);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        content->append(buffer, static_cast<size_t>(got));
    }
}

enum Slot { slot_free, slot_taken, slot_match, slot_error };

// What stands under name: nothing, an entry the offered item does not
// replace, or one that it does. A symlink or any other non-file is taken,
// and never read or written through.
Slot examine(int dir, const std::string& name, const Offered& offered, const ItemKind& kind) {
    struct stat status;
    if (fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? slot_free : slot_error;
    }
    if (!S_ISREG(status.st_mode)) {
        return slot_taken;
    }
    std::string content, der;
    if (!read_entry(dir, name.c_str(), &content)) {
        return slot_error;
    }
    if (!pem_body(content, kind.pem_label, &der)) {
        return slot_taken;
    }
    return kind.matches(offered, der) ? slot_match : slot_taken;
}

// Removes what runs that died while adding left behind. Only the lock
// holder writes such files, so under the lock none of them is in use.
bool remove_leftovers(int dir) {
    int copy = fcntl(dir, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return false;
    }
    std::unique_ptr<DIR, CloseDir> listing(fdopendir(copy));
    if (!listing) {
        close_keeping_errno(copy);
        return false;
    }
    // The copy shares its place in the directory with the store's descriptor,
    // which an earlier listing may have left at the end.
    rewinddir(listing.get());
    std::vector<std::string> leftovers;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(listing.get());
        if (entry == nullptr) {
            if (errno != 0) {
                return false;
            }
            break;
        }
        if (std::strncmp(entry->d_name, unfinished_prefix, sizeof unfinished_prefix - 1) == 0 ||
            std::strncmp(entry->d_name, previous_prefix, sizeof previous_prefix - 1) == 0) {
            leftovers.push_back(entry->d_name);
        }
    }
    for (const std::string& name : leftovers) {
        if (unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) {
            return false;
        }
    }
    return true;
}

void discard(int dir, const std::string& name) {
    int saved = errno;
    unlinkat(dir, name.c_str(), 0);
    errno = saved;
}

bool write_all(int fd, const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        ssize_t written = write(fd, text.data() + at, text.size() - at);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        at += static_cast<size_t>(written);
    }
    return true;
}

// Writes text to the new file name in dir and flushes it to the disk.
bool write_unfinished(int dir, const std::string& name, const std::string& text) {
    int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    // Entries are readable by every OpenSSL program, whatever the umask.
    bool written = fchmod(fd, 0644) == 0 && write_all(fd, text) && fsync(fd) == 0;
    if (!written) {
        close_keeping_errno(fd);
    }
    if (!written || close(fd) != 0) {
        discard(dir, name);
        return false;
    }
    return true;
}

// Moves the file unfinished to the first free name base<n> from number on,
// never replacing an entry, even one that appeared after the scan, and
// leaves that name in claimed.
bool claim_number(int dir, const std::string& unfinished, const std::string& base,
                  unsigned long number, std::string* claimed) {
    bool can_rename = true;
    for (;; ++number) {
        std::string& name = *claimed = base + std::to_string(number);
        if (can_rename) {
            if (renameat2(dir, unfinished.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0) {
                return true;
            }
            // File systems without the no-replace rename refuse the flag:
            // a hard link claims the name just as safely.
            if (errno == EINVAL || errno == ENOSYS) {
                can_rename = false;
            } else if (errno != EEXIST) {
                return false;
            }
        }
        if (!can_rename) {
            if (linkat(dir, unfinished.c_str(), dir, name.c_str(), 0) == 0) {
                // A name left behind is removed by the next add.
                unlinkat(dir, unfinished.c_str(), 0);
                return true;
            }
            if (errno != EEXIST) {
                return false;
            }
        }
    }
}

void flush_keeping_errno(int dir) {
    int saved = errno;
    fsync(dir);
    errno = saved;
}

// Renames unfinished over the entry name and flushes the directory. Until
// the flush has succeeded the replaced entry keeps a second name, which puts
// it back if the flush fails. Where hard links are not supported the entry
// is replaced without that way back.
bool replace_entry(int dir, const std::string& unfinished, const std::string& name) {
    std::string previous = previous_prefix + std::to_string(getpid());
    bool kept = linkat(dir, name.c_str(), dir, previous.c_str(), 0) == 0;
    if (!kept && errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) {
        discard(dir, unfinished);
        return false;
    }
    if (renameat(dir, unfinished.c_str(), dir, name.c_str()) != 0) {
        discard(dir, unfinished);
        if (kept) {
            discard(dir, previous);
        }
        return false;
    }
    if (fsync(dir) != 0) {
        if (kept) {
            int saved = errno;
            renameat(dir, previous.c_str(), dir, name.c_str());
            flush_keeping_errno(dir);
            errno = saved;
        }
        return false;
    }
    if (kept) {
        // A name left behind is removed by the next add.
        unlinkat(dir, previous.c_str(), 0);
    }
    return true;
}

// Puts the item, as pem, in the store dir: over the entry it replaces, or
// under the first free number of its hash.
bool store_item(int dir, const Offered& offered, const std::string& pem, const ItemKind& kind) {
    Descriptor lock(openat(dir, lock_name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (lock.fd < 0) {
        return false;
    }
    while (flock(lock.fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    if (!remove_leftovers(dir)) {
        return false;
    }

    char hash[sizeof "ffffffffffffffff"];
    std::snprintf(hash, sizeof hash, "%08lx", offered.hash);
    std::string base = std::string(hash) + "." + kind.number_prefix;
    // The scan stops at the entry to replace or at the first free number.
    unsigned long number = 0;
    Slot slot;
    while ((slot = examine(dir, base + std::to_string(number), offered, kind)) == slot_taken) {
        ++number;
    }
    if (slot == slot_error) {
        return false;
    }

    std::string unfinished = unfinished_prefix + std::to_string(getpid());
    if (!write_unfinished(dir, unfinished, pem)) {
        return false;
    }
    if (slot == slot_free) {
        std::string name;
        if (!claim_number(dir, unfinished, base, number, &name)) {
            discard(dir, unfinished);
            return false;
        }
        if (fsync(dir) != 0) {
            // Not known to be on the disk: take it back.
            discard(dir, name);
            flush_keeping_errno(dir);
            return false;
        }
        return true;
    }
    return replace_entry(dir, unfinished, base + std::to_string(number));
}

BOOL add_item(HCERTSTORE store, DWORD encoding, const BYTE* bytes, DWORD length, DWORD disposition,
              const void* context, const ItemKind& kind) {
    if (store == nullptr || (encoding & X509_ASN_ENCODING) == 0 ||
        disposition != CERT_STORE_ADD_REPLACE_EXISTING || context != nullptr ||
        (bytes == nullptr && length != 0)) {
        return fail(EINVAL);
    }
    if (length == 0) {
        return fail(EBADMSG);
    }
    try {
        Offered offered{bytes, length, 0, nullptr};
        if (!kind.decode(bytes, length, &offered)) {
            return FALSE;
        }
        std::string pem = pem_text(kind.pem_label, bytes, length);
        return store_item(static_cast<CertStore*>(store)->directory, offered, pem, kind);
    } catch (const std::bad_alloc&) {
        return fail(ENOMEM);
    }
}

// $XDG_DATA_HOME, or its default under the user's home directory. Both must
// be absolute: a relative one would put the store wherever the program runs.
bool user_data_directory(std::string* path) {
    const char* data_home = std::getenv("XDG_DATA_HOME");
    if (data_home != nullptr && data_home[0] == '/') {
        *path = data_home;
        return true;
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        *path = std::string(home) + "/.local/share";
        return true;
    }
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(4096);
    int error;
    while ((error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0) {
        return fail(error);
    }
    if (found == nullptr || found->pw_dir[0] != '/') {
        return fail(ENOENT);
    }
    *path = std::string(found->pw_dir) + "/.local/share";
    return true;
}

// Makes the directory path's parent know its new entry for good.
bool flush_parent(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    Descriptor dir(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.fd >= 0 && fsync(dir.fd) == 0;
}

// Makes path, an absolute directory path, and its missing parents.
bool make_directories(const std::string& path) {
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string prefix = path.substr(0, end);
        if (prefix.back() != '/') {
            if (mkdir(prefix.c_str(), 0700) == 0) {
                if (!flush_parent(prefix)) {
                    return false;
                }
            } else if (errno != EEXIST) {
                return false;
            }
        }
        if (end == std::string::npos) {
            return true;
        }
    }
}

}  // namespace

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY, LPCSTR name) {
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr ||
        std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        errno = EINVAL;
        return nullptr;
    }
    try {
        std::string path;
        if (!user_data_directory(&path)) {
            return nullptr;
        }
        path += "/certstore/";
        path += name;
        if (!make_directories(path)) {
            return nullptr;
        }
        Descriptor dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.fd < 0) {
            return nullptr;
        }
        CertStore* store = new CertStore{dir.fd};
        dir.fd = -1;
        return store;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encoding, const BYTE* bytes,
                                      DWORD length, DWORD disposition, PCCERT_CONTEXT* context) {
    return add_item(store, encoding, bytes, length, disposition, context, certificate_kind);
}

BOOL CertAddEncodedCRLToStore(HCERTSTORE store, DWORD encoding, const BYTE* bytes, DWORD length,
                              DWORD disposition, PCCRL_CONTEXT* context) {
    return add_item(store, encoding, bytes, length, disposition, context, crl_kind);
}

BOOL CertCloseStore(HCERTSTORE store, DWORD) {
    if (store != nullptr) {
        close(static_cast<CertStore*>(store)->directory);
        delete static_cast<CertStore*>(store);
    }
    return TRUE;
}
