// The POSIX layer's certificate stores, called as the program calls them,
// with the openssl command judging what they hold. Each test has its own
// HOME and XDG_DATA_HOME under a scratch directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pki.h"
#include "platform.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
typedef std::map<std::string, std::string> Entries;

// Status of a child that could not set up a private mount namespace.
const int no_namespace = 77;

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        root = make_temp_dir();
        data = root + "/data";
        home = root + "/home";
        directory = data + "/certstore/CA";
        fs::create_directories(root + "/work");
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        setenv("HOME", home.c_str(), 1);
        previous_cwd = fs::current_path();
        fs::current_path(root + "/work");
    }
    void TearDown() override {
        fs::current_path(previous_cwd);
        remove_tree(root);
    }

    // Opens the "CA" store, adds der as a certificate or a CRL and closes the
    // store. Returns 0, or the error code the add left.
    static int add(const std::string& der, bool crl, DWORD add_encoding = encoding,
                   DWORD disposition = CERT_STORE_ADD_REPLACE_EXISTING) {
        HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
        if (store == nullptr) {
            ADD_FAILURE() << "cannot open the store: " << GetLastError();
            return -1;
        }
        const BYTE* bytes = reinterpret_cast<const BYTE*>(der.data());
        DWORD length = static_cast<DWORD>(der.size());
        BOOL added =
            crl ? CertAddEncodedCRLToStore(store, add_encoding, bytes, length, disposition, nullptr)
                : CertAddEncodedCertificateToStore(store, add_encoding, bytes, length, disposition,
                                                   nullptr);
        int error = added ? 0 : static_cast<int>(GetLastError());
        EXPECT_EQ(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG), TRUE);
        return error;
    }

    std::string root, data, home, directory;
    fs::path previous_cwd;
};

// A fresh authority for each test: a root and the intermediate "AC".
struct Authority {
    Issuer root = make_root("Root");
    Issuer ac = make_ca(root, "AC");
    std::string hash = openssl_hash(ac.der(), false);
};

// Runs body in a child process with a private mount namespace, where it may
// mount what it likes. Returns false when the child cannot have one (it
// needs root); body may also end the child with no_namespace.
bool in_private_mount_namespace(const std::function<void()>& body) {
    Outcome outcome = run_in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            _exit(no_namespace);
        }
        body();
        (void)std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    });
    if (outcome.status == no_namespace) {
        return false;
    }
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    return true;
}

}  // namespace

// XDG_DATA_HOME when it is absolute, else the default under HOME. Every
// directory made on the way is private to the user.
TEST_F(Store, OpensTheUsersStoreUnderTheirDataDirectory) {
    std::string xdg = root + "/xdg";
    std::string linked = root + "/linked";
    std::string home_store = home + "/.local/share/certstore/CA";
    struct Case {
        const char* xdg_data_home;  // null: unset
        std::string store;
        std::vector<std::string> made;  // directories the open makes
    } cases[] = {
        {xdg.c_str(), xdg + "/certstore/CA", {xdg, xdg + "/certstore", xdg + "/certstore/CA"}},
        {"", home_store, {home, home + "/.local", home + "/.local/share", home_store}},
        {"relative/data", home_store, {}},
        {nullptr, home_store, {}},
        // The store reached through a symlink is used where the link leads.
        {linked.c_str(), root + "/target/CA", {root + "/target/CA"}},
    };
    fs::create_directories(linked);
    fs::create_directories(root + "/target");
    fs::create_directory_symlink(root + "/target", linked + "/certstore");
    for (const Case& c : cases) {
        if (c.xdg_data_home) {
            setenv("XDG_DATA_HOME", c.xdg_data_home, 1);
        } else {
            unsetenv("XDG_DATA_HOME");
        }
        umask(022);
        HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
        ASSERT_NE(store, nullptr) << c.store << ": " << GetLastError();
        EXPECT_EQ(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG), TRUE);
        EXPECT_TRUE(fs::is_directory(c.store)) << c.store;
        for (const std::string& made : c.made) {
            struct stat status;
            ASSERT_EQ(stat(made.c_str(), &status), 0) << made;
            EXPECT_EQ(status.st_mode & 07777, 0700u) << made;
        }
    }
    EXPECT_EQ(list_dir(root + "/work"), std::vector<std::string>{});
    EXPECT_TRUE(fs::is_symlink(linked + "/certstore"));
}

// Without a usable HOME the home directory comes from the password database,
// replaced here, in a private mount namespace, by one naming a scratch home.
TEST_F(Store, WithoutAUsableHomeTheStoreIsUnderThePasswordDatabasesHome) {
    std::string listed_home = root + "/listed-home";
    std::string passwd = root + "/passwd";
    write_file(passwd, "tester:x:" + std::to_string(getuid()) + ":" + std::to_string(getgid()) +
                           ":tester:" + listed_home + ":/bin/sh\n");
    unsetenv("XDG_DATA_HOME");
    bool ran = in_private_mount_namespace([&] {
        if (mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) {
            _exit(no_namespace);
        }
        for (const char* value : {static_cast<const char*>(nullptr), "", "relative"}) {
            if (value) {
                setenv("HOME", value, 1);
            } else {
                unsetenv("HOME");
            }
            HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
            EXPECT_NE(store, nullptr) << GetLastError();
            CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG);
            EXPECT_TRUE(fs::is_directory(listed_home + "/.local/share/certstore/CA"));
            fs::remove_all(listed_home);
        }
    });
    if (!ran) {
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    }
}

TEST_F(Store, RefusesBadNamesAndArguments) {
    for (const char* name :
         {static_cast<const char*>(nullptr), "", ".", "..", "a/b", "/CA", "CA/"}) {
        errno = 0;
        EXPECT_EQ(CertOpenSystemStoreA(0, name), nullptr) << (name ? name : "null");
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
    }
    EXPECT_FALSE(fs::exists(data));

    Authority authority;
    std::string cert = authority.ac.der();
    std::string crl = make_crl(authority.ac, {});
    ASSERT_EQ(add(cert, false), 0);
    Entries before = snapshot(directory);
    struct Case {
        const char* what;
        DWORD encoding;
        DWORD disposition;
    } cases[] = {
        {"no encoding", 0, CERT_STORE_ADD_REPLACE_EXISTING},
        {"PKCS #7 only", PKCS_7_ASN_ENCODING, CERT_STORE_ADD_REPLACE_EXISTING},
        {"add new", encoding, 1},
        {"use existing", encoding, 2},
        {"always add", encoding, 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(add(cert, false, c.encoding, c.disposition), EINVAL) << c.what;
        EXPECT_EQ(add(crl, true, c.encoding, c.disposition), EINVAL) << c.what;
    }
    HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT cert_context = nullptr;
    PCCRL_CONTEXT crl_context = nullptr;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(cert.data());
    EXPECT_FALSE(
        CertAddEncodedCertificateToStore(store, encoding, bytes, cert.size(), 3, &cert_context));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
    EXPECT_FALSE(CertAddEncodedCRLToStore(store, encoding, bytes, cert.size(), 3, &crl_context));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
    EXPECT_FALSE(CertAddEncodedCertificateToStore(store, encoding, nullptr, 10, 3, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
    EXPECT_FALSE(
        CertAddEncodedCertificateToStore(nullptr, encoding, bytes, cert.size(), 3, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
    CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG);
    EXPECT_EQ(snapshot(directory), before);
}

TEST_F(Store, SaysWhyAStoreCannotBeOpened) {
    struct Case {
        std::string file;  // a regular file where a directory should be
        DWORD error;
    } cases[] = {
        {data, ENOTDIR},
        {data + "/certstore", ENOTDIR},
        {directory, ENOTDIR},
    };
    for (const Case& c : cases) {
        write_file(c.file, "not a directory");
        errno = 0;
        EXPECT_EQ(CertOpenSystemStoreA(0, "CA"), nullptr) << c.file;
        EXPECT_EQ(GetLastError(), c.error) << c.file;
        EXPECT_EQ(read_file(c.file), "not a directory");
        remove_tree(data);
    }
    fs::create_directories(data + "/certstore");
    fs::create_symlink(root + "/nowhere", directory);
    EXPECT_EQ(CertOpenSystemStoreA(0, "CA"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
    EXPECT_FALSE(fs::exists(root + "/nowhere"));
}

// Exactly one DER item of the kind asked for, every byte of it, or nothing:
// the store is left exactly as it was.
TEST_F(Store, RefusesAnythingButExactlyOneEncodedItemOfItsKind) {
    Authority authority;
    std::string cert = authority.ac.der();
    std::string crl = make_crl(authority.ac, {0x77});
    ASSERT_EQ(add(cert, false), 0);
    ASSERT_EQ(add(crl, true), 0);
    Entries before = snapshot(directory);
    struct Case {
        const char* what;
        std::string bytes;
        bool as_crl;
    } cases[] = {
        {"empty certificate", "", false},
        {"empty CRL", "", true},
        {"certificate in PEM", to_pem(cert, "CERTIFICATE"), false},
        {"CRL in PEM", to_pem(crl, "X509 CRL"), true},
        {"certificate in base64", to_pem(cert, "CERTIFICATE").substr(28), false},
        {"certificate and a zero byte", cert + std::string(1, '\0'), false},
        {"CRL and a line feed", crl + "\n", true},
        {"certificate and another", cert + cert, false},
        {"truncated certificate", cert.substr(0, cert.size() - 1), false},
        {"half a CRL", crl.substr(0, crl.size() / 2), true},
        {"random bytes", random_bytes(1200), false},
        {"random bytes as CRL", random_bytes(1200), true},
        {"a CRL as the certificate", crl, false},
        {"a certificate as the CRL", cert, true},
        {"an error page", "<html><body>404 Not Found</body></html>\n", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(add(c.bytes, c.as_crl), EBADMSG) << c.what;
        EXPECT_EQ(snapshot(directory), before) << c.what;
    }
}

// Entries are where OpenSSL looks for them, hold the bytes as added, and
// can be read by anyone, whatever the umask.
TEST_F(Store, KeepsEachItemWhereOpensslLooksItUp) {
    Authority authority;
    std::string leaf = make_leaf(authority.ac, "leaf", 0x42);
    std::string cert = authority.ac.der();
    std::string crl = make_crl(authority.ac, {0x42});
    std::string crl_hash = openssl_hash(crl, true);
    umask(077);
    ASSERT_EQ(add(cert, false), 0);
    ASSERT_EQ(add(crl, true), 0);
    umask(022);
    EXPECT_EQ(store_entries(directory),
              (Entries{{authority.hash + ".0", cert}, {crl_hash + ".r0", crl}}));
    for (const std::string& name : {authority.hash + ".0", crl_hash + ".r0"}) {
        struct stat status;
        ASSERT_EQ(lstat((directory + "/" + name).c_str(), &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, 0644u) << name;
    }
    EXPECT_EQ(store_leftovers(directory), std::vector<std::string>{});

    std::string root_pem = root + "/root.pem";
    std::string leaf_pem = root + "/leaf.pem";
    write_file(root_pem, to_pem(authority.root.der(), "CERTIFICATE"));
    write_file(leaf_pem, to_pem(leaf, "CERTIFICATE"));
    EXPECT_NE(openssl_verify(root_pem, directory, leaf_pem).find("certificate revoked"),
              std::string::npos);
}

// What libcrypto decodes is accepted as it is, leniencies included (here a
// length in a longer form than DER allows), and stored byte for byte, so
// every OpenSSL reader decodes the entry as the store did.
TEST_F(Store, StoresWhatLibcryptoAcceptsByteForByte) {
    Authority authority;
    std::string der = authority.ac.der();
    ASSERT_EQ(static_cast<unsigned char>(der[1]), 0x82);  // two length bytes follow
    std::string lenient = std::string("\x30\x83\x00", 3) + der.substr(2);
    ASSERT_EQ(add(lenient, false), 0);
    std::string entry = directory + "/" + authority.hash + ".0";
    EXPECT_EQ(pem_file_bytes(entry), lenient);
    EXPECT_EQ(store_entries(directory), (Entries{{authority.hash + ".0", der}}));
}

// A certificate replaces only an entry with its very encoding; others of
// the same subject take the next numbers.
TEST_F(Store, ACertificateReplacesOnlyItsOwnEncoding) {
    Authority authority;
    std::string a = authority.ac.der();
    std::string b = make_ca(authority.root, "AC").der();
    std::string c = make_ca(authority.root, "AC").der();
    Issuer other = make_ca(authority.root, "Other AC");
    std::string other_hash = openssl_hash(other.der(), false);
    const std::string& h = authority.hash;
    struct Step {
        const char* what;
        std::function<void()> before;
        std::string added;
        Entries after;
    } steps[] = {
        {"first", nullptr, a, {{h + ".0", a}}},
        {"same again", nullptr, a, {{h + ".0", a}}},
        {"same subject", nullptr, b, {{h + ".0", a}, {h + ".1", b}}},
        {"first again", nullptr, a, {{h + ".0", a}, {h + ".1", b}}},
        {"second again", nullptr, b, {{h + ".0", a}, {h + ".1", b}}},
        {"other subject",
         nullptr,
         other.der(),
         {{h + ".0", a}, {h + ".1", b}, {other_hash + ".0", other.der()}}},
        {"after a gap closes",
         [&] { fs::remove(directory + "/" + h + ".0"); },
         c,
         {{h + ".0", b}, {h + ".1", c}, {other_hash + ".0", other.der()}}},
    };
    for (const Step& step : steps) {
        if (step.before) {
            step.before();
        }
        ASSERT_EQ(add(step.added, false), 0) << step.what;
        EXPECT_EQ(store_entries(directory), step.after) << step.what;
    }
    EXPECT_EQ(store_leftovers(directory), std::vector<std::string>{});
}

// A CRL replaces the previous one of its scope: same issuer, same kind
// (base or delta), same key and same distribution point.
TEST_F(Store, ACrlReplacesThePreviousOneOfItsScope) {
    Authority authority;
    const Issuer& ac = authority.ac;
    Issuer rekeyed = make_ca(authority.root, "AC");  // same name, another key
    std::string base1 = make_crl(ac, {1}, -7200);
    std::string base2 = make_crl(ac, {1, 2}, -3600);
    std::string base3 = make_crl(ac, {1, 2, 3});
    std::string delta1 = make_crl(ac, {4}, -3600, 9);
    std::string delta2 = make_crl(ac, {4, 5}, 0, 9);
    std::string part1 = make_crl(ac, {6}, -3600, 0, "http://pki.example.org/part1.crl");
    std::string part1_newer = make_crl(ac, {6, 7}, 0, 0, "http://pki.example.org/part1.crl");
    std::string part2 = make_crl(ac, {8}, 0, 0, "http://pki.example.org/part2.crl");
    std::string no_key_id = make_crl(ac, {9}, 0, 0, "", false);
    std::string other_key = make_crl(rekeyed, {10});
    std::string r = openssl_hash(base1, true) + ".r";
    // Each step names the number its CRL ends up under: the one of the CRL it
    // replaces, or the next free one.
    struct Step {
        const char* what;
        std::string added;
        int number;
    } steps[] = {
        {"first", base1, 0},           {"newer base", base2, 0},
        {"delta", delta1, 1},          {"newer delta", delta2, 1},
        {"partition", part1, 2},       {"newer partition", part1_newer, 2},
        {"other partition", part2, 3}, {"no key identifier", no_key_id, 4},
        {"another key", other_key, 5}, {"newest base", base3, 0},
    };
    Entries expected;
    for (const Step& step : steps) {
        ASSERT_EQ(add(step.added, true), 0) << step.what;
        expected[r + std::to_string(step.number)] = step.added;
        EXPECT_EQ(store_entries(directory), expected) << step.what;
    }
    EXPECT_EQ(store_leftovers(directory), std::vector<std::string>{});
}

// A stored CRL in the store's own layout has its scope read from its first
// and last lines, its entries never read; one in another layout is read
// whole; one whose scope cannot be read is taken, never replaced.
TEST_F(Store, ALargeCrlReplacesThePreviousOneOfItsScope) {
    Authority authority;
    std::vector<long> many(3000);
    for (size_t i = 0; i < many.size(); ++i) {
        many[i] = 0x10000 + static_cast<long>(i);
    }
    const std::string p1 = "http://pki.example.org/p1.crl";
    std::string first = make_crl(authority.ac, many, -120, 0, p1);
    many.push_back(0x20000);
    std::string second = make_crl(authority.ac, many, -60, 0, p1);
    many.push_back(0x20001);
    std::string third = make_crl(authority.ac, many, 0, 0, p1);
    std::string other = make_crl(authority.ac, many, 0, 0, "http://pki.example.org/p2.crl");
    ASSERT_GT(to_pem(first, "X509 CRL").size(), 65536u);
    std::string r = openssl_hash(first, true) + ".r";
    std::string entry = directory + "/" + r + "0";

    ASSERT_EQ(add(first, true), 0);
    ASSERT_EQ(add(second, true), 0);
    ASSERT_EQ(add(other, true), 0);
    EXPECT_EQ(store_entries(directory), (Entries{{r + "0", second}, {r + "1", other}}));

    // Another layout: lines ending in CR LF.
    std::string text = to_pem(second, "X509 CRL");
    std::string crlf;
    for (char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    write_file(entry, crlf);
    ASSERT_EQ(add(third, true), 0);
    EXPECT_EQ(store_entries(directory), (Entries{{r + "0", third}, {r + "1", other}}));

    // Cut short: its scope cannot be read, so it stays and the CRL stands
    // beside it.
    std::string cut = to_pem(third, "X509 CRL");
    cut.erase(cut.size() - 200, 100);
    write_file(entry, cut);
    ASSERT_EQ(add(second, true), 0);
    EXPECT_EQ(read_file(entry), cut);
    EXPECT_EQ(store_entries(directory)[r + "2"], second);
}

// OpenSSL takes any self-issued certificate it finds under <hash>.<n> as a
// trust anchor. Those, and those it cannot judge, are kept as <hash>.s<n>;
// a key-rollover certificate (same names, another key) is not self-issued.
TEST_F(Store, NoCertificateItAddsBecomesATrustAnchor) {
    Authority authority;
    Issuer rollover = make_ca(authority.root, "Root");
    std::string unjudgeable = make_unjudgeable_ca(authority.root, "Odd AC");
    std::string root_hash = openssl_hash(authority.root.der(), false);
    std::string odd_hash = openssl_hash(unjudgeable, false);
    ASSERT_EQ(openssl_hash(rollover.der(), false), root_hash);
    struct Step {
        const char* what;
        std::string added;
        Entries after;
    } steps[] = {
        {"a root", authority.root.der(), {{root_hash + ".s0", authority.root.der()}}},
        {"the root again", authority.root.der(), {{root_hash + ".s0", authority.root.der()}}},
        {"a rollover certificate",
         rollover.der(),
         {{root_hash + ".s0", authority.root.der()}, {root_hash + ".0", rollover.der()}}},
        {"an unjudgeable certificate",
         unjudgeable,
         {{root_hash + ".s0", authority.root.der()},
          {root_hash + ".0", rollover.der()},
          {odd_hash + ".s0", unjudgeable}}},
    };
    for (const Step& step : steps) {
        ASSERT_EQ(add(step.added, false), 0) << step.what;
        EXPECT_EQ(store_entries(directory), step.after) << step.what;
    }

    // The store alone vouches for nothing under the root.
    std::string leaf_pem = root + "/leaf.pem";
    write_file(leaf_pem, to_pem(make_leaf(authority.root, "leaf", 0x43), "CERTIFICATE"));
    std::string verdict = openssl_verify("", directory, leaf_pem);
    EXPECT_NE(verdict.find("unable to get local issuer certificate"), std::string::npos) << verdict;
}

// Hand-made gaps hide entries from OpenSSL's lookup, which stops at the first
// missing number. An add finds its match past a gap and closes every gap of
// the names it touches; a self-issued certificate stored under <hash>.<n> by
// an earlier version moves to <hash>.s<n>, closing the gap it leaves.
TEST_F(Store, AnAddClosesTheGapsOfItsNames) {
    Authority authority;
    Issuer renewed = make_ca(authority.root, "AC");
    Issuer rollover = make_ca(authority.root, "Root");
    std::string a = authority.ac.der();
    std::string b = renewed.der();
    std::string third = make_ca(authority.root, "AC").der();
    std::string d = make_ca(authority.root, "AC").der();
    std::string root_der = authority.root.der();
    std::string crl_p1 = make_crl(authority.ac, {1}, 0, 0, "http://pki.example.org/p1.crl");
    std::string crl_p2 = make_crl(authority.ac, {2}, -60, 0, "http://pki.example.org/p2.crl");
    std::string crl_p2_newer =
        make_crl(authority.ac, {2, 3}, 0, 0, "http://pki.example.org/p2.crl");
    const std::string& h = authority.hash;
    std::string r = openssl_hash(crl_p1, true) + ".r";
    std::string rh = openssl_hash(root_der, false);
    struct Case {
        const char* what;
        Entries placed;  // by hand, before the add
        std::string added;
        bool crl;
        Entries after;
    } cases[] = {
        {"a match behind a gap", {{h + ".1", b}}, b, false, {{h + ".0", b}}},
        {"a new entry after gaps",
         {{h + ".0", a}, {h + ".3", b}, {h + ".9", d}},
         third,
         false,
         {{h + ".0", a}, {h + ".1", d}, {h + ".2", b}, {h + ".3", third}}},
        {"a CRL behind a gap", {{r + "1", crl_p2}}, crl_p2_newer, true, {{r + "0", crl_p2_newer}}},
        {"a CRL beside others",
         {{r + "2", crl_p2}, {r + "4", crl_p1}},
         crl_p2_newer,
         true,
         {{r + "0", crl_p1}, {r + "1", crl_p2_newer}}},
        {"a root stored as an anchor",
         {{rh + ".0", root_der}},
         root_der,
         false,
         {{rh + ".s0", root_der}}},
        {"a root stored before a rollover",
         {{rh + ".0", root_der}, {rh + ".1", rollover.der()}},
         root_der,
         false,
         {{rh + ".0", rollover.der()}, {rh + ".s0", root_der}}},
        {"a root stored on both sides",
         {{rh + ".0", rollover.der()}, {rh + ".1", root_der}, {rh + ".s1", root_der}},
         root_der,
         false,
         {{rh + ".0", rollover.der()}, {rh + ".s0", root_der}}},
    };
    for (const Case& c : cases) {
        remove_tree(directory);
        fs::create_directories(directory);
        for (const auto& [name, der] : c.placed) {
            bool is_crl = name.find(".r") != std::string::npos;
            write_file(directory + "/" + name, to_pem(der, is_crl ? "X509 CRL" : "CERTIFICATE"));
        }
        ASSERT_EQ(add(c.added, c.crl), 0) << c.what;
        EXPECT_EQ(store_entries(directory), c.after) << c.what;
        EXPECT_EQ(store_faults(directory, true), std::vector<std::string>{}) << c.what;
    }
}

// Links in the store are somebody else's: they hold their number, and
// nothing is read or written through them.
TEST_F(Store, SymlinksInTheStoreAreTakenNeverFollowed) {
    Authority authority;
    std::string cert = authority.ac.der();
    const std::string& h = authority.hash;
    std::string outside = root + "/outside.pem";
    write_file(outside, to_pem(cert, "CERTIFICATE"));
    fs::create_directories(directory);
    fs::create_symlink(outside, directory + "/" + h + ".0");
    fs::create_symlink(root + "/nowhere", directory + "/" + h + ".1");
    fs::create_directories(directory + "/.tmp");
    fs::create_symlink(outside, directory + "/.tmp/new-1");
    ASSERT_EQ(add(cert, false), 0);
    EXPECT_TRUE(fs::is_symlink(directory + "/" + h + ".0"));
    EXPECT_TRUE(fs::is_symlink(directory + "/" + h + ".1"));
    EXPECT_EQ(store_entries(directory)[h + ".2"], cert);
    EXPECT_EQ(read_file(outside), to_pem(cert, "CERTIFICATE"));
    EXPECT_FALSE(fs::exists(root + "/nowhere"));
    EXPECT_EQ(store_leftovers(directory), std::vector<std::string>{});

    // Nor is a lock file that is a link ever opened.
    fs::remove(directory + "/.lock");
    fs::create_symlink(outside, directory + "/.lock");
    EXPECT_EQ(add(make_ca(authority.root, "AC").der(), false), ELOOP);
    EXPECT_EQ(read_file(outside), to_pem(cert, "CERTIFICATE"));
}

// What a run that died left in the store's directory of unfinished files is
// removed by the next add, and so, once, is what earlier versions left beside
// the entries. Nothing else is touched.
TEST_F(Store, AnAddRemovesWhatARunThatDiedLeftBehind) {
    Authority authority;
    fs::create_directories(directory);
    write_file(directory + "/.new-123", "-----BEGIN CERT");
    write_file(directory + "/.old-7", "an entry replaced");
    write_file(directory + "/.other", "kept");
    ASSERT_EQ(add(authority.ac.der(), false), 0);
    EXPECT_EQ(list_dir(directory),
              (std::vector<std::string>{".lock", ".other", ".tmp", authority.hash + ".0"}));

    write_file(directory + "/.tmp/new-123", "-----BEGIN CERT");
    write_file(directory + "/.tmp/old-9", "an entry replaced");
    ASSERT_EQ(add(make_ca(authority.root, "AC").der(), false), 0);
    EXPECT_EQ(store_leftovers(directory), std::vector<std::string>{".other"});
    EXPECT_EQ(list_dir(directory + "/.tmp"), std::vector<std::string>{});
}

// Runs adding at once, each its own certificate of one subject and all the
// same CRL: no number is claimed twice and nothing is lost.
TEST_F(Store, ConcurrentAddsNeverShareANumberNorLoseAnEntry) {
    Authority authority;
    std::string crl = make_crl(authority.ac, {});
    std::vector<std::string> certs;
    for (int i = 0; i < 8; ++i) {
        certs.push_back(make_ca(authority.root, "AC").der());
    }
    std::vector<pid_t> children;
    for (const std::string& cert : certs) {
        (void)std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            _exit(add(cert, false) == 0 && add(crl, true) == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Entries entries = store_entries(directory);
    std::set<std::string> stored;
    for (size_t i = 0; i < certs.size(); ++i) {
        stored.insert(entries[authority.hash + "." + std::to_string(i)]);
    }
    EXPECT_EQ(stored, std::set<std::string>(certs.begin(), certs.end()));
    EXPECT_EQ(entries[openssl_hash(crl, true) + ".r0"], crl);
    EXPECT_EQ(entries.size(), certs.size() + 1);
    EXPECT_EQ(store_leftovers(directory), std::vector<std::string>{});
}

// A store on a read-only mount (root ignores permissions, so a mount it is).
TEST_F(Store, AReadOnlyStoreRefusesTheAddAndStaysAsItWas) {
    Authority authority;
    std::string crl = make_crl(authority.ac, {});
    ASSERT_EQ(add(authority.ac.der(), false), 0);
    Entries before = snapshot(directory);
    bool ran = in_private_mount_namespace([&] {
        if (mount(directory.c_str(), directory.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, directory.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
                0) {
            _exit(no_namespace);
        }
        EXPECT_EQ(add(crl, true), EROFS);
        EXPECT_EQ(add(make_ca(authority.root, "AC").der(), false), EROFS);
    });
    if (!ran) {
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    }
    EXPECT_EQ(snapshot(directory), before);
}
