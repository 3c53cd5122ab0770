#include "ca_store.h"

#include "platform.h"
#include "report.h"

void import_into_ca_store(const LoadedItem& cert, const LoadedItem& crl) {
    HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
    if (store == nullptr) {
        fatal_error("Could not open the CA system store.");
    }
    progress_line("Opened the CA system store\n");

    // The store decodes the items itself; they are handed over as downloaded.
    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    if (!CertAddEncodedCertificateToStore(store, encoding, cert.bytes,
                                          static_cast<DWORD>(cert.length),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        fatal_error("The new certificate was not added to the store.");
    }
    progress_line("AC is added to the CA store\n");

    if (!CertAddEncodedCRLToStore(store, encoding, crl.bytes, static_cast<DWORD>(crl.length),
                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        fatal_error("The new crl was not added to the store.");
    }
    progress_line("CRL is added to the CA store\n");

    CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG);
}
