// The URL download and cache service on POSIX systems: a download is a
// libcurl transfer, taken one redirect hop at a time, into a part file that
// takes the local path only once the resource has arrived whole. There is no
// system URL cache to purge.
#include "platform.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

// Download limits. A test build passes shorter ones so that its stalls end
// quickly and its size limit is small.
#ifndef CA_IMPORT_CONNECT_TIMEOUT_SECONDS
#define CA_IMPORT_CONNECT_TIMEOUT_SECONDS 30
#endif
#ifndef CA_IMPORT_MIN_BYTES_PER_SECOND
#define CA_IMPORT_MIN_BYTES_PER_SECOND 1024
#endif
#ifndef CA_IMPORT_STALL_SECONDS
#define CA_IMPORT_STALL_SECONDS 60
#endif
#ifndef CA_IMPORT_MAX_TRANSFER_SECONDS
#define CA_IMPORT_MAX_TRANSFER_SECONDS 1800
#endif
#ifndef CA_IMPORT_MAX_ITEM_BYTES
#define CA_IMPORT_MAX_ITEM_BYTES 2147483647
#endif

namespace {

const long connect_timeout_seconds = CA_IMPORT_CONNECT_TIMEOUT_SECONDS;
// A scheduled run that never ends holds up the next ones. A transfer that
// averages under min_bytes_per_second over stall_seconds is abandoned, and so
// is a download, redirects included, not complete after max_transfer_seconds:
// even a large CRL on a slow link arrives well within both.
const long min_bytes_per_second = CA_IMPORT_MIN_BYTES_PER_SECOND;
const long stall_seconds = CA_IMPORT_STALL_SECONDS;
const long max_transfer_seconds = CA_IMPORT_MAX_TRANSFER_SECONDS;
// The caller keeps an item's length in a signed 32-bit integer.
const curl_off_t max_item_bytes = CA_IMPORT_MAX_ITEM_BYTES;
const int max_redirects = 10;

// Download failure codes, one per kind of failure.
const HRESULT INET_E_INVALID_URL = static_cast<HRESULT>(0x800C0002u);
const HRESULT INET_E_CANNOT_CONNECT = static_cast<HRESULT>(0x800C0004u);
const HRESULT INET_E_RESOURCE_NOT_FOUND = static_cast<HRESULT>(0x800C0005u);
const HRESULT INET_E_OBJECT_NOT_FOUND = static_cast<HRESULT>(0x800C0006u);
const HRESULT INET_E_DOWNLOAD_FAILURE = static_cast<HRESULT>(0x800C0008u);
const HRESULT INET_E_CONNECTION_TIMEOUT = static_cast<HRESULT>(0x800C000Bu);
const HRESULT INET_E_SECURITY_PROBLEM = static_cast<HRESULT>(0x800C000Eu);
const HRESULT INET_E_REDIRECT_FAILED = static_cast<HRESULT>(0x800C0014u);
const HRESULT INET_E_INVALID_CERTIFICATE = static_cast<HRESULT>(0x800C0019u);

// An HTTP error status, or a redirect without a Location.
HRESULT http_status_code(long status) {
    return static_cast<HRESULT>(0x80190000u + static_cast<unsigned>(status));
}

// The local file could not be written: the customer bit marks errno values,
// which are not Windows error numbers.
HRESULT local_file_code(int error) {
    return static_cast<HRESULT>(0xA0000000u + static_cast<unsigned>(error));
}

// The scheme has been checked before the transfer, so libcurl's "unsupported
// protocol" can only mean a reply in no protocol at all (no status line).
HRESULT code_for_curl_result(CURLcode result) {
    switch (result) {
    case CURLE_URL_MALFORMAT:
        return INET_E_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return INET_E_RESOURCE_NOT_FOUND;
    case CURLE_COULDNT_CONNECT:
        return INET_E_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
        return INET_E_CONNECTION_TIMEOUT;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        return INET_E_INVALID_CERTIFICATE;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
        return INET_E_SECURITY_PROBLEM;
    case CURLE_FILE_COULDNT_READ_FILE:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
        return INET_E_OBJECT_NOT_FOUND;
    case CURLE_TOO_MANY_REDIRECTS:
        return INET_E_REDIRECT_FAILED;
    default:
        return INET_E_DOWNLOAD_FAILURE;
    }
}

// Parses reference, an absolute URL, and returns its scheme in lower case
// and, when url is given, the whole URL. Returns "" when it does not parse.
std::string parse_url(const char* reference, unsigned int flags, std::string* url = nullptr) {
    std::string scheme;
    CURLU* parsed = curl_url();
    if (parsed == nullptr) {
        return scheme;
    }
    char* part = nullptr;
    char* whole = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, reference, flags) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_SCHEME, &part, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_URL, &whole, 0) == CURLUE_OK) {
        scheme = part;
        if (url != nullptr) {
            *url = whole;
        }
    }
    curl_free(part);
    curl_free(whole);
    curl_url_cleanup(parsed);
    return scheme;
}

bool is_http(const std::string& scheme) {
    return scheme == "http" || scheme == "https";
}

// The state of one hop's transfer, shared with the write callback.
struct Transfer {
    CURL* curl;
    int fd;
    bool http;
    curl_off_t received;
    bool refused_status;
    bool over_limit;
    int write_error;
};

size_t write_body(char* data, size_t size, size_t count, void* context) {
    Transfer* transfer = static_cast<Transfer*>(context);
    size_t length = size * count;
    bool discard = false;
    if (transfer->http) {
        // The body of a redirect or of an error page is never the item. A
        // redirect's is read to its end, unwritten: libcurl tells where the
        // redirect leads only once its response is complete.
        long status = 0;
        curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
        discard = status >= 300 && status <= 399;
        if (!discard && (status < 200 || status > 299)) {
            transfer->refused_status = true;
            return CURL_WRITEFUNC_ERROR;
        }
    }
    // A chunked body has no length to refuse up front, so count it here.
    if (static_cast<curl_off_t>(length) > max_item_bytes - transfer->received) {
        transfer->over_limit = true;
        return CURL_WRITEFUNC_ERROR;
    }
    transfer->received += static_cast<curl_off_t>(length);
    if (discard) {
        return length;
    }
    const char* next = data;
    size_t left = length;
    while (left > 0) {
        ssize_t written = write(transfer->fd, next, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            transfer->write_error = errno;
            return CURL_WRITEFUNC_ERROR;
        }
        next += written;
        left -= static_cast<size_t>(written);
    }
    return length;
}

bool curl_ready() {
    static CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    return init == CURLE_OK;
}

const char* environment_value(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// Fetches url to fd, following redirects one hop at a time so that each hop
// can be checked before it is taken. Returns 0 or a failure code.
HRESULT transfer_to(const char* url, int fd) {
    std::string scheme = parse_url(url, 0);
    if (scheme != "http" && scheme != "https" && scheme != "ftp" && scheme != "file") {
        return INET_E_INVALID_URL;
    }
    if (!curl_ready()) {
        return INET_E_DOWNLOAD_FAILURE;
    }
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return INET_E_DOWNLOAD_FAILURE;
    }
    // No cache on the way may answer with a stale copy of a CRL.
    curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    curl_slist* more = curl_slist_append(headers, "Pragma: no-cache");
    if (more == nullptr) {
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        return INET_E_DOWNLOAD_FAILURE;
    }
    headers = more;

    Transfer transfer = {curl, fd, false, 0, false, false, 0};
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,ftp,file");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "ca-import/" CA_IMPORT_VERSION);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, min_bytes_per_second);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall_seconds);
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, max_item_bytes);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // libcurl ignores the variables by which OpenSSL programs name another
    // trust store; honour them the way those programs do.
    if (const char* file = environment_value("SSL_CERT_FILE")) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, file);
    }
    if (const char* dir = environment_value("SSL_CERT_DIR")) {
        curl_easy_setopt(curl, CURLOPT_CAPATH, dir);
    }

    HRESULT outcome = 0;
    std::string hop = url;
    bool seen_https = scheme == "https";
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int redirects = 0;; ++redirects) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed_ms =
            (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        long left_ms = max_transfer_seconds * 1000L - elapsed_ms;
        if (left_ms <= 0) {
            outcome = INET_E_CONNECTION_TIMEOUT;
            break;
        }
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, left_ms);
        transfer.http = is_http(scheme);
        transfer.refused_status = false;
        transfer.received = 0;
        curl_easy_setopt(curl, CURLOPT_URL, hop.c_str());
        CURLcode result = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        long proxy_status = 0;
        curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &proxy_status);
        if (transfer.write_error != 0) {
            outcome = local_file_code(transfer.write_error);
            break;
        }
        if (transfer.over_limit) {
            outcome = INET_E_DOWNLOAD_FAILURE;
            break;
        }
        if (result != CURLE_OK && !transfer.refused_status) {
            outcome =
                proxy_status >= 300 ? http_status_code(proxy_status) : code_for_curl_result(result);
            break;
        }
        if (!transfer.http || (status >= 200 && status <= 299)) {
            break;
        }
        // The redirect's target as libcurl would follow it: the response's
        // Location, resolved against this hop, never a proxy's.
        char* target = nullptr;
        curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &target);
        if (status < 300 || status > 399 || target == nullptr) {
            outcome = http_status_code(status);
            break;
        }
        std::string next;
        scheme = parse_url(target, CURLU_NON_SUPPORT_SCHEME, &next);
        if (redirects == max_redirects || !is_http(scheme) || (seen_https && scheme == "http")) {
            outcome = INET_E_REDIRECT_FAILED;
            break;
        }
        seen_https = seen_https || scheme == "https";
        hop = next;
    }
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    return outcome;
}

std::string random_name() {
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // Uniqueness is still checked by exclusive creation; this only makes
        // a retry less likely.
        std::uint64_t fallback =
            static_cast<std::uint64_t>(getpid()) << 32 ^ static_cast<std::uint64_t>(time(nullptr));
        std::memcpy(bytes, &fallback, sizeof bytes);
    }
    static const char hex[] = "0123456789abcdef";
    std::string name = ".ca-import-";
    for (unsigned char byte : bytes) {
        name += hex[byte >> 4];
        name += hex[byte & 15];
    }
    return name;
}

// Where a download is written until it is complete: an unnamed file in the
// target's directory, which vanishes by itself however the process ends, or,
// where the file system has no unnamed files, a new hidden one.
struct PartFile {
    int fd;
    std::string name;  // empty for an unnamed file
};

// directory ends in "/".
bool open_part_file(const std::string& directory, PartFile* part) {
    part->name.clear();
    if (access("/proc/self/fd", X_OK) == 0) {
        part->fd = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (part->fd >= 0) {
            return true;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return false;
        }
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = directory + random_name();
        // O_EXCL also refuses a symbolic link planted under the name.
        part->fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (part->fd >= 0) {
            part->name = name;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

// Gives the complete part file the name path, never replacing an entry
// there: one that appeared during the download is somebody else's (another
// run's copy, say), and stays as it is. Fails with EEXIST then.
bool place_part_file(const PartFile& part, const char* path) {
    if (part.name.empty()) {
        std::string self = "/proc/self/fd/" + std::to_string(part.fd);
        return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
    }
    if (renameat2(AT_FDCWD, part.name.c_str(), AT_FDCWD, path, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A link claims the name just as exclusively where rename cannot.
    if (link(part.name.c_str(), path) != 0) {
        return false;
    }
    unlink(part.name.c_str());
    return true;
}

}  // namespace

BOOL DeleteUrlCacheEntry(LPCSTR) {
    return TRUE;
}

HRESULT URLDownloadToFileA(LPUNKNOWN, LPCSTR url, LPCSTR path, DWORD, LPBINDSTATUSCALLBACK) {
    std::string target = path;
    size_t slash = target.rfind('/');
    std::string directory = slash == std::string::npos ? "./" : target.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    // A path that names a directory can never receive the file; say so before
    // anything goes over the network.
    struct stat existing;
    if (name.empty() || name == "." || name == ".." ||
        (lstat(path, &existing) == 0 && S_ISDIR(existing.st_mode))) {
        return local_file_code(EISDIR);
    }

    PartFile part = {-1, std::string()};
    if (!open_part_file(directory, &part)) {
        return local_file_code(errno);
    }
    HRESULT outcome = transfer_to(url, part.fd);
    if (outcome >= 0 && !place_part_file(part, path)) {
        outcome = local_file_code(errno);
    }
    if (close(part.fd) != 0 && outcome >= 0) {
        // The file is in place but may be short: take it back.
        outcome = local_file_code(errno);
        unlink(path);
    }
    if (outcome < 0 && !part.name.empty()) {
        unlink(part.name.c_str());
    }
    return outcome;
}
