// The fixture of the tests that run the built program as a user runs it: a
// scratch working directory, a scratch HOME and XDG_DATA_HOME, a real
// authority (root, intermediate "AC", its CRL, two leaves) made per test, and
// the loopback server.
#ifndef CA_IMPORT_TESTS_PROGRAM_FIXTURE_H
#define CA_IMPORT_TESTS_PROGRAM_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "pki.h"
#include "run_output.h"
#include "support.h"

typedef std::map<std::string, std::string> Entries;

const std::string program = CA_IMPORT_PROGRAM;
const std::string short_limits_program = CA_IMPORT_SHORT_LIMITS_PROGRAM;
const std::string default_cert_url = std::string("https://") + CA_IMPORT_DEFAULT_HOST +
                                     "/wp-content/uploads/certificates/atrib-cert-ul.cer";
const std::string default_crl_url = std::string("https://") + CA_IMPORT_DEFAULT_HOST +
                                    "/wp-content/uploads/certificates/pki/cas_zel.crl";

// The command line that runs script with sh, as root, in a private mount
// namespace: its mounts are seen by nobody else and go with it. args are
// the script's $1, $2…
inline std::vector<std::string> in_private_mount_namespace(const std::string& script,
                                                           const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--propagation", "private",
                                     "/bin/sh",          "-c",      script,          "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        root = make_temp_dir();
        cwd = root + "/work";
        store = root + "/data/certstore/CA";
        for (const char* sub : {"/work", "/home", "/data"}) {
            std::filesystem::create_directory(root + sub);
        }
        env = {"PATH=/usr/bin:/bin", "LC_ALL=C", "HOME=" + root + "/home",
               "XDG_DATA_HOME=" + root + "/data", "SSL_CERT_FILE=" + loopback().ca};
        cert = authority.der();
        crl = make_crl(authority, {revoked_serial});
        installed = {{openssl_hash(cert, false) + ".0", cert},
                     {openssl_hash(crl, true) + ".r0", crl}};
        root_pem = root + "/pki/root.pem";
        write_file(root_pem, to_pem(trust_anchor.der(), "CERTIFICATE"));
        for (long serial : {good_serial, revoked_serial}) {
            std::string name = serial == good_serial ? "good" : "revoked";
            write_file(leaf_pem(serial), to_pem(make_leaf(authority, name, serial), "CERTIFICATE"));
        }
    }
    void TearDown() override { remove_tree(root); }

    Outcome run(std::vector<std::string> args, const std::string& binary = program) {
        args.insert(args.begin(), binary);
        return run_program({args, cwd, env});
    }

    // A name unique to this test, so that tests sharing the server do not
    // see each other's files or requests.
    std::string unique(const std::string& name) {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string("/") + info->test_suite_name() + "/" + info->name() + "/" + name;
    }

    // Serves content at a unique path; returns the path.
    std::string serve(const std::string& name, const std::string& content) {
        std::string path = unique(name);
        loopback().serve(path, content);
        return path;
    }
    std::string serve(const std::string& name) { return serve(name, random_bytes(1500)); }

    std::string local(const std::string& name) const { return cwd + "/" + name; }

    std::string leaf_pem(long serial) const {
        return root + "/pki/" + std::to_string(serial) + ".pem";
    }

    // openssl's verdict on a leaf of the authority, with the store as the
    // place to find the authority and its CRL.
    std::string verify(long serial) const {
        return openssl_verify(root_pem, store, leaf_pem(serial));
    }

    // Nothing written anywhere: the run ended before the store.
    void expect_left_nothing() const {
        EXPECT_EQ(list_dir(cwd), std::vector<std::string>{}) << "in the working directory";
        EXPECT_EQ(list_dir(root + "/home"), std::vector<std::string>{});
        EXPECT_EQ(list_dir(root + "/data"), std::vector<std::string>{});
    }

    // The store holds exactly entries, and nothing else was left anywhere.
    void expect_store(const Entries& entries) const {
        EXPECT_EQ(store_entries(store), entries);
        EXPECT_EQ(store_leftovers(store), std::vector<std::string>{});
        EXPECT_EQ(list_dir(cwd), std::vector<std::string>{}) << "in the working directory";
        EXPECT_EQ(list_dir(root + "/home"), std::vector<std::string>{});
        EXPECT_EQ(list_dir(root + "/data"), std::vector<std::string>{"certstore"});
    }

    std::string root;
    std::string cwd;
    std::string store;
    std::vector<std::string> env;

    Issuer trust_anchor = make_root("Root");
    Issuer authority = make_ca(trust_anchor, "AC");
    const long good_serial = 0x2001;
    const long revoked_serial = 0x2002;
    std::string cert;   // the authority's certificate, DER
    std::string crl;    // its CRL, revoking revoked_serial, DER
    Entries installed;  // the store after cert and crl were added
    std::string root_pem;
};

#endif
