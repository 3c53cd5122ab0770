// A look into the current user's "CA" store, for the tests that run the
// Windows program under Wine. It uses the system's own certificate store
// interface, so what it reports is what any Windows program would see.
//
//   ca-store-probe list               one line per entry, certificates first:
//                                     "cert <SHA-1 thumbprint>"
//                                     "crl <issuer> <this update, UTC>"
//   ca-store-probe clear              empties the store
//   ca-store-probe manifest <program> prints the program's manifest resource
//
// Exits 0, or 1 with a line on standard error.
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

int failure(const char* what) {
    std::fprintf(stderr, "%s failed: error %lx\n", what,
                 static_cast<unsigned long>(GetLastError()));
    return 1;
}

void print_time(const FILETIME& time) {
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&time, &utc)) {
        std::printf("?");
        return;
    }
    std::printf("%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                utc.wMinute, utc.wSecond);
}

int list(HCERTSTORE store) {
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
        BYTE hash[20];
        DWORD length = sizeof hash;
        if (!CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &length)) {
            return failure("CertGetCertificateContextProperty");
        }
        std::printf("cert ");
        for (DWORD i = 0; i < length; ++i) {
            std::printf("%02X", hash[i]);
        }
        std::printf("\n");
    }
    PCCRL_CONTEXT crl = nullptr;
    while ((crl = CertEnumCRLsInStore(store, crl)) != nullptr) {
        char issuer[512];
        CertNameToStrA(X509_ASN_ENCODING, &crl->pCrlInfo->Issuer, CERT_X500_NAME_STR, issuer,
                       sizeof issuer);
        std::printf("crl %s ", issuer);
        print_time(crl->pCrlInfo->ThisUpdate);
        std::printf("\n");
    }
    return 0;
}

// The user's system stores are kept in the registry, a key per store; the
// store is empty without its key. (Deleting entry by entry through the store
// interface crashes Wine 8's crypt32 on CRLs.)
int clear() {
    LSTATUS status =
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Microsoft\\SystemCertificates\\CA");
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        SetLastError(static_cast<DWORD>(status));
        return failure("RegDeleteTreeA");
    }
    return 0;
}

int print_manifest(const char* program) {
    HMODULE module = LoadLibraryExA(program, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        return failure("LoadLibraryExA");
    }
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    if (resource == nullptr) {
        return failure("FindResourceA");
    }
    HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded == nullptr ? nullptr : LockResource(loaded);
    if (bytes == nullptr) {
        return failure("LoadResource");
    }
    std::fwrite(bytes, 1, SizeofResource(module, resource), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "manifest") == 0) {
        return print_manifest(argv[2]);
    }
    if (argc == 2 && std::strcmp(argv[1], "clear") == 0) {
        return clear();
    }
    if (argc != 2 || std::strcmp(argv[1], "list") != 0) {
        std::fprintf(stderr, "usage: ca-store-probe list | clear | manifest <program>\n");
        return 2;
    }
    HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
    if (store == nullptr) {
        return failure("CertOpenSystemStoreA");
    }
    int status = list(store);
    CertCloseStore(store, 0);
    return status;
}
