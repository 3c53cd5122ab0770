// The import run: settles the certificate and CRL URLs, fetches the
// certificate and then the CRL into memory, adds both to the user's CA store
// and releases them.
#include <cstring>

#include "ca_store.h"
#include "platform.h"
#include "report.h"
#include "retrieval.h"

namespace {

const char default_cert_url[] =
    "https://" CA_IMPORT_DEFAULT_HOST "/wp-content/uploads/certificates/atrib-cert-ul.cer";
const char default_crl_url[] =
    "https://" CA_IMPORT_DEFAULT_HOST "/wp-content/uploads/certificates/pki/cas_zel.crl";
static_assert(sizeof default_cert_url <= MAX_PATH && sizeof default_crl_url <= MAX_PATH,
              "the default host makes a default URL too long for its buffer");

const ItemLabels cert_labels = {"Downloading AC   : %s\n", "Read AC to memory\n"};
const ItemLabels crl_labels = {"Downloading CRL  : %s\n", "Read CRL to memory\n"};

// Copies url into a MAX_PATH buffer, or ends the process when it does not fit.
void choose_url(char* buffer, const char* url) {
    size_t length = std::strlen(url);
    if (length >= MAX_PATH) {
        exit_with_line("URL is too long.\n");
    }
    std::memcpy(buffer, url, length + 1);
}

}  // namespace

int main(int argc, char** argv) {
    char cert_url[MAX_PATH];
    char crl_url[MAX_PATH];
    char local_path[MAX_PATH];
    choose_url(cert_url, argc >= 2 ? argv[1] : default_cert_url);
    choose_url(crl_url, argc >= 3 ? argv[2] : default_crl_url);

    LoadedItem cert = fetch_item(cert_url, local_path, cert_labels);
    LoadedItem crl = fetch_item(crl_url, local_path, crl_labels);
    import_into_ca_store(cert, crl);

    delete[] cert.bytes;
    delete[] crl.bytes;
    return 0;
}
