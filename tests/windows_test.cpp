// The Windows program, cross-built with MinGW-w64, run under Wine as a user
// runs it: a scratch working directory, the tests' own Wine prefix and the
// loopback HTTP server of the other program tests. What landed in the
// current user's "CA" store is read back by ca-store-probe.exe, which asks
// the store itself through the system's certificate interface; the expected
// thumbprints and times come from libcrypto, apart from Wine.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "pki.h"
#include "run_output.h"
#include "support.h"

namespace {

const std::string wine = WINE_PROGRAM;
const std::string program = CA_IMPORT_WINDOWS_PROGRAM;
const std::string probe = CA_STORE_PROBE_PROGRAM;
const std::string load_file_probe = LOAD_FILE_PROBE_PROGRAM;
const std::string objdump = MINGW_OBJDUMP;
const std::string wine_dir = WINE_DIR;

// The environment of every Wine process: the tests' own prefix, never a
// user's, and no proxy.
std::vector<std::string> wine_env() {
    return {"PATH=/usr/bin:/bin", "HOME=" + wine_dir + "/home",
            "WINEPREFIX=" + wine_dir + "/prefix", "WINEDEBUG=-all",
            // No prompt to install Mono or Gecko when the prefix is made.
            "WINEDLLOVERRIDES=mscoree,mshtml="};
}

Outcome run_wine(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv = {wine};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program({argv, cwd, wine_env()});
}

// The console streams are in text mode on Windows: each line ends in "\r\n".
std::string crlf(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

// How Wine names a directory of this machine: on drive Z:, with "\".
std::string windows_path(std::string path) {
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return "Z:" + path;
}

// The probe's line for a certificate: its SHA-1 thumbprint.
std::string cert_line(const std::string& der) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), digest);
    std::string line = "cert ";
    char hex[3];
    for (unsigned char byte : digest) {
        (void)std::snprintf(hex, sizeof hex, "%02X", byte);
        line += hex;
    }
    return line;
}

// The probe's line for a CRL of the authority: its issuer and this-update
// time.
std::string crl_line(const std::string& der) {
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<X509_CRL, void (*)(X509_CRL*)> crl(
        d2i_X509_CRL(nullptr, &cursor, static_cast<long>(der.size())), X509_CRL_free);
    std::tm time = {};
    if (crl == nullptr || ASN1_TIME_to_tm(X509_CRL_get0_lastUpdate(crl.get()), &time) != 1) {
        return "not a CRL";
    }
    char text[32];
    (void)std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &time);
    return std::string("crl O=ca-import tests, CN=AC ") + text;
}

class WindowsProgram : public ::testing::Test {
protected:
    // The prefix is made once and kept in the build tree: making one takes
    // seconds. Tests that share it run one at a time.
    static void SetUpTestSuite() {
        if (!std::filesystem::exists(wine_dir + "/prefix/system.reg")) {
            std::filesystem::create_directories(wine_dir + "/home");
            run_wine({"wineboot", "--init"}, wine_dir);
        }
    }

    void SetUp() override {
        cwd = make_temp_dir();
        Outcome cleared = run_wine({probe, "clear"}, cwd);
        ASSERT_EQ(cleared.status, 0) << cleared.err;
        cert = authority.der();
        crl = make_crl(authority, {0x2002});
    }
    void TearDown() override { remove_tree(cwd); }

    Outcome run(std::vector<std::string> args) {
        args.insert(args.begin(), program);
        return run_wine(args, cwd);
    }

    // What the current user's "CA" store holds, as the probe lists it.
    std::vector<std::string> store() {
        Outcome listed = run_wine({probe, "list"}, cwd);
        EXPECT_EQ(listed.status, 0) << listed.err;
        std::vector<std::string> lines;
        std::istringstream in(listed.out);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line);
        }
        return lines;
    }

    // The server path of name, unique to this test.
    static std::string served_path(const std::string& name) {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string("/windows/") + info->name() + "/" + name;
    }

    // Serves content as name; returns its URL.
    std::string serve(const std::string& name, const std::string& content) {
        loopback().serve(served_path(name), content);
        return loopback().http_url(served_path(name));
    }

    std::string local(const std::string& name) const { return windows_path(cwd) + "\\" + name; }

    std::string cwd;
    Issuer trust_anchor = make_root("Root");
    Issuer authority = make_ca(trust_anchor, "AC");
    std::string cert;  // the authority's certificate, DER
    std::string crl;   // its CRL, DER
};

}  // namespace

// Both items land in the user's store, and running again leaves one of each.
// The authority's next CRL, served at the same URL, is then downloaded anew
// and offered to the store, which keeps one CRL of the authority: Windows
// replaces the first with it, Wine 8's crypt32 keeps the first. (Wine's
// urlmon asks the server every time, purged cache entry or not, so the
// purge itself cannot be seen here.)
TEST_F(WindowsProgram, ACompleteRunInstallsTheCertificateAndTheCrl) {
    std::string cert_url = serve("atrib-cert-ul.cer", cert);
    std::string crl_url = serve("cas_zel.crl", crl);
    std::string lines = item_lines("AC", cert_url, local("atrib-cert-ul.cer")) +
                        item_lines("CRL", crl_url, local("cas_zel.crl")) + opened_line +
                        cert_added_line + crl_added_line;
    for (int run_number = 1; run_number <= 2; ++run_number) {
        Outcome outcome = run({cert_url, crl_url});
        EXPECT_EQ(outcome.out, crlf(lines)) << "run " << run_number;
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(list_dir(cwd), std::vector<std::string>{}) << "no local copy is left";
        EXPECT_EQ(store(), (std::vector<std::string>{cert_line(cert), crl_line(crl)}));
    }

    std::string next_crl = make_crl(authority, {0x2002, 0x2003}, 60);
    size_t fetched = loopback().requests_for(served_path("cas_zel.crl")).size();
    serve("cas_zel.crl", next_crl);
    Outcome outcome = run({cert_url, crl_url});
    EXPECT_EQ(outcome.out, crlf(lines));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(loopback().requests_for(served_path("cas_zel.crl")).size(), fetched + 1)
        << "downloaded anew";
    std::vector<std::string> after = store();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], cert_line(cert));
    EXPECT_TRUE(after[1] == crl_line(next_crl) || after[1] == crl_line(crl)) << after[1];
}

// Each failure ends the run with its line or block and status 1, and leaves
// the store as it was and nothing in the working directory.
TEST_F(WindowsProgram, AFailureLeavesTheStoreAsItWas) {
    ASSERT_EQ(run({serve("ok.cer", cert), serve("ok.crl", crl)}).status, 0);
    std::vector<std::string> before = store();
    ASSERT_EQ(before.size(), 2u);

    std::string crl_url = serve("good.crl", crl);
    std::string unreachable = "http://127.0.0.1:" + std::to_string(closed_port()) + "/down.cer";
    std::string page_url = serve("page.cer", "<html><body>Service Unavailable</body></html>\n");
    std::string missing_url = serve("present.cer", cert) + ".missing";
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string out;
        std::string err;
        bool exact;  // false where the platform decides the lines
    } cases[] = {
        {"a URL without a slash", {"atrib-cert-ul.cer", crl_url}, "Wrong url.\n", "", true},
        // Wine's urlmon gives INET_E_DOWNLOAD_FAILURE for a refused connection.
        {"an unreachable server",
         {unreachable, crl_url},
         item_head("AC", unreachable, local("down.cer")) +
             "An error occured : error code = 800c0008",
         "",
         true},
        // The store's own decoder refuses it: CRYPT_E_ASN1_BADTAG.
        {"an error page as the certificate",
         {page_url, crl_url},
         item_lines("AC", page_url, local("page.cer")) +
             item_lines("CRL", crl_url, local("good.crl")) + opened_line,
         failure_block("The new certificate was not added to the store.", "8009310b"),
         true},
        // Wine's urlmon saves a 404 page as a download; Windows reports the
        // status. Either way the run fails and nothing changes.
        {"a missing certificate (404)", {missing_url, crl_url}, "", "", false},
    };
    for (const Case& c : cases) {
        Outcome outcome = run(c.args);
        if (c.exact) {
            EXPECT_EQ(outcome.out, crlf(c.out)) << c.what;
            EXPECT_EQ(outcome.err, crlf(c.err)) << c.what;
        }
        EXPECT_EQ(outcome.status, 1) << c.what;
        EXPECT_EQ(store(), before) << c.what;
        EXPECT_EQ(list_dir(cwd), std::vector<std::string>{}) << c.what;
    }
}

// A CRL the store refuses ends the run after the certificate was added.
// Windows writes a system store through at each add, so the certificate
// stays there; Wine's crypt32 writes the store back when it is closed, which
// a run ended by a failure never does, so under Wine the store is unchanged.
TEST_F(WindowsProgram, ARefusedCrlEndsTheRunAfterTheCertificate) {
    std::string cert_url = serve("ac.cer", cert);
    std::string crl_url = serve("ac.crl", "not a CRL\n");
    Outcome outcome = run({cert_url, crl_url});
    EXPECT_EQ(outcome.out,
              crlf(item_lines("AC", cert_url, local("ac.cer")) +
                   item_lines("CRL", crl_url, local("ac.crl")) + opened_line + cert_added_line));
    EXPECT_EQ(outcome.err,
              crlf(failure_block("The new crl was not added to the store.", "8009310b")));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(store(), std::vector<std::string>{});
    EXPECT_EQ(list_dir(cwd), std::vector<std::string>{});
}

// The start-up code expands no wildcards: with a file the pattern would
// match beside it, "d/*.cer" still reaches the program as typed.
TEST_F(WindowsProgram, ArgumentsArriveAsTyped) {
    write_file(cwd + "/d/x.cer", cert);
    Outcome outcome = run({"d/*.cer", "d/*.crl"});
    EXPECT_EQ(outcome.out.rfind(crlf(item_head("AC", "d/*.cer", local("*.cer"))), 0), 0u)
        << outcome.out;
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(list_dir(cwd), std::vector<std::string>{"d"});
    EXPECT_EQ(list_dir(cwd + "/d"), std::vector<std::string>{"x.cer"});
    EXPECT_EQ(store(), std::vector<std::string>{});
}

// Where long is 32 bits the C runtime's ftell wraps for a file of 2 GiB or
// more (Wine's gives 3 for 4 GiB + 3 bytes, and a negative size without an
// error code for 3 GB). Such a file is refused whole, never read in part.
TEST_F(WindowsProgram, AFileOf2GiBOrMoreIsRefusedWhole) {
    struct Case {
        std::uintmax_t size;
        std::string out;
    } cases[] = {
        {10, "10 bytes\n"},
        {std::uintmax_t(1) << 31, "Cannot read file big: error 0x0000001B\n"},
        {3000000000u, "Cannot read file big: error 0x0000001B\n"},
        {(std::uintmax_t(1) << 32) + 3, "Cannot read file big: error 0x0000001B\n"},
    };
    for (const Case& c : cases) {
        write_file(cwd + "/big", "");
        std::filesystem::resize_file(cwd + "/big", c.size);  // sparse: no disk used
        Outcome outcome = run_wine({load_file_probe, "big"}, cwd);
        EXPECT_EQ(outcome.out, crlf(c.out)) << c.size;
        EXPECT_EQ(outcome.status, c.size == 10 ? 0 : 1) << c.size;
    }
}

// The executable asks for no elevation in its embedded manifest, and needs
// no library beyond the operating system's own.
TEST_F(WindowsProgram, TheExecutableCarriesItsManifestAndNeedsOnlySystemLibraries) {
    Outcome manifest = run_wine({probe, "manifest", program}, cwd);
    ASSERT_EQ(manifest.status, 0) << manifest.err;
    EXPECT_TRUE(std::regex_search(
        manifest.out,
        std::regex(R"(<requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"\s*/>)")))
        << manifest.out;
    EXPECT_TRUE(std::regex_search(manifest.out, std::regex(R"(<dpiAware[^>]*>true</dpiAware>)")))
        << manifest.out;

    Outcome headers = run_program({{objdump, "-p", program}, cwd, {"PATH=/usr/bin:/bin"}});
    ASSERT_EQ(headers.status, 0) << headers.err;
    std::vector<std::string> libraries;
    std::regex import_line(R"(DLL Name: (\S+))");
    for (std::sregex_iterator it(headers.out.begin(), headers.out.end(), import_line), end;
         it != end; ++it) {
        std::string name = (*it)[1];
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        libraries.push_back(name);
    }
    std::sort(libraries.begin(), libraries.end());
    EXPECT_EQ(libraries, (std::vector<std::string>{"crypt32.dll", "kernel32.dll", "msvcrt.dll",
                                                   "urlmon.dll", "wininet.dll"}));
}
