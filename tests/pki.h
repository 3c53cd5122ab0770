// Certificates and CRLs made on the spot with libcrypto, and the openssl
// command as the judge of what a store holds.
#ifndef CA_IMPORT_TESTS_PKI_H
#define CA_IMPORT_TESTS_PKI_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

// A certification authority: its key and its certificate.
struct Issuer {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> certificate;
    std::string der() const;
};

// A self-signed root. Names are "O=ca-import tests, CN=<common_name>".
Issuer make_root(const std::string& common_name);
// An intermediate CA issued by parent, with a key of its own: two made with
// one name differ, but share their subject and its hash. Made with the
// parent's own name, it is a key-rollover certificate: subject and issuer
// names equal, key identifiers not.
Issuer make_ca(const Issuer& parent, const std::string& common_name);
// A CA certificate issued by parent, in DER, with an extension whose value
// libcrypto cannot parse: whether it could end a chain cannot be told.
std::string make_unjudgeable_ca(const Issuer& parent, const std::string& common_name);
// A leaf certificate issued by issuer, in DER.
std::string make_leaf(const Issuer& issuer, const std::string& common_name, long serial);

// A CRL signed by issuer, in DER, revoking the serial numbers revoked. Its
// this-update time is this_update seconds from now; delta_of, when nonzero,
// makes it a delta CRL on that base CRL number; distribution_point, when not
// empty, is the URI of its Issuing Distribution Point; key_identifier says
// whether it has an Authority Key Identifier.
std::string make_crl(const Issuer& issuer, const std::vector<long>& revoked, long this_update = 0,
                     long delta_of = 0, const std::string& distribution_point = "",
                     bool key_identifier = true);

// DER as PEM text under label ("CERTIFICATE", "X509 CRL").
std::string to_pem(const std::string& der, const std::string& label);

// The bytes inside the first PEM object of the file at path, exactly as
// they are encoded there.
std::string pem_file_bytes(const std::string& path);

// What `openssl x509 -hash` (or `openssl crl -hash`) prints for the item.
std::string openssl_hash(const std::string& der, bool crl);

// The entries of a hashed directory as openssl reads them: name to DER, for
// every name not beginning with "."; "unreadable" where openssl fails.
std::map<std::string, std::string> store_entries(const std::string& directory);

// The hidden files of a store other than its lock and its directory of
// unfinished files, and what that directory holds: what an add left
// unfinished.
std::vector<std::string> store_leftovers(const std::string& directory);

// Every file in directory, hidden ones too (and those of a hidden directory
// in it, as "<dir>/<name>"), with its content and mode: equal snapshots mean
// the directory is exactly as it was.
std::map<std::string, std::string> snapshot(const std::string& directory);

// What is wrong with a store, one line per fault, judged with openssl; none
// for a sound store. Every entry <8 hex digits>.<n> (certificate) or .r<n>
// (CRL) is a regular file holding exactly one PEM object of its kind, whose
// `openssl -hash` is the name's; numbers run from 0 without a gap, per hash
// and kind; no two entries hold the same bytes; every other name is hidden.
// After a completed run (completed) no hidden file but ".lock" is left.
std::vector<std::string> store_faults(const std::string& directory, bool completed);

// Whether every name of now (a snapshot) holds what it held in before or
// what it holds in after, absence included: the store is, entry by entry,
// as before a run or as after it. Hidden files are not entries.
bool entries_between(const std::map<std::string, std::string>& before,
                     const std::map<std::string, std::string>& now,
                     const std::map<std::string, std::string>& after);

// The same judgement by content, wherever it stands, for runs that rename
// entries as they close gaps: every item of now is one of before or of after;
// no item that a run keeps is missing; an item the run replaces is missing
// only once a replacement is there.
bool items_between(const std::map<std::string, std::string>& before,
                   const std::map<std::string, std::string>& now,
                   const std::map<std::string, std::string>& after);

// `openssl verify -CAfile root_pem -CApath store -crl_check leaf_pem`'s
// output, both streams; with no root_pem (""), the store is the only place
// openssl looks in. The system's trust store is never read.
std::string openssl_verify(const std::string& root_pem, const std::string& store,
                           const std::string& leaf_pem);

#endif
