// Certificate store import: the downloaded certificate and CRL into the
// current user's "CA" system store, the store of intermediate authorities.
#ifndef CA_IMPORT_CA_STORE_H
#define CA_IMPORT_CA_STORE_H

#include "retrieval.h"

// Opens the user's "CA" store, adds the certificate and then the CRL, each
// replacing a matching entry, and closes the store, writing a progress line
// for each stage. Returns when both are added; otherwise writes the failure
// block and ends the process, keeping whatever was already added.
void import_into_ca_store(const LoadedItem& cert, const LoadedItem& crl);

#endif
