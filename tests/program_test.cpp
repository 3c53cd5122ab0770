// The built program, run as a user runs it: a scratch working directory, a
// scratch HOME and XDG_DATA_HOME, and a real HTTP/HTTPS server on loopback.
// Every case checks standard output and standard error to the byte, the exit
// status, what the store holds as openssl reads it, and that nothing is left
// in the working directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "program_fixture.h"
#include "support.h"

// Both items downloaded, over http and https, land in the store where
// OpenSSL finds them: a leaf of the authority verifies, a revoked one does
// not. A second run replaces both entries.
TEST_F(Program, ACompleteRunInstallsTheCertificateAndTheCrl) {
    std::string cert_url = loopback().http_url(serve("ca.cer", cert));
    std::string crl_url = loopback().https_url(serve("ca.crl", crl));
    Outcome outcome = run({cert_url, crl_url});
    EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("ca.cer")) +
                               item_lines("CRL", crl_url, local("ca.crl")) + store_lines);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
    expect_store(installed);
    EXPECT_EQ(verify(good_serial), leaf_pem(good_serial) + ": OK\n");
    EXPECT_NE(verify(revoked_serial).find("certificate revoked"), std::string::npos);

    // The authority's next CRL revokes the good leaf too, and replaces the first.
    std::string next_crl = make_crl(authority, {revoked_serial, good_serial}, 60);
    loopback().serve(unique("ca.crl"), next_crl);
    outcome = run({cert_url, crl_url});
    EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("ca.cer")) +
                               item_lines("CRL", crl_url, local("ca.crl")) + store_lines);
    EXPECT_EQ(outcome.status, 0);
    expect_store(
        {{openssl_hash(cert, false) + ".0", cert}, {openssl_hash(crl, true) + ".r0", next_crl}});
    EXPECT_NE(verify(good_serial).find("certificate revoked"), std::string::npos);
}

// A root served over plain http, as anyone answering the request could
// serve one, lands where OpenSSL's lookup never takes it as an anchor: the
// store vouches for nothing under it. A root stored as an anchor by an
// earlier version moves aside on its next import. A key-rollover
// certificate (the root's names, another key) stays a normal entry.
TEST_F(Program, NoCertificateItImportsBecomesATrustAnchor) {
    std::string root_der = trust_anchor.der();
    std::string root_crl = make_crl(trust_anchor, {});
    std::string rollover = make_ca(trust_anchor, "Root").der();
    std::string h = openssl_hash(root_der, false);
    std::string r = openssl_hash(root_crl, true) + ".r0";
    std::string crl_url = loopback().http_url(serve("root.crl", root_crl));
    struct Case {
        const char* what;
        Entries placed;  // by hand, before the run
        std::string served;
        Entries after;
    } cases[] = {
        {"a root", {}, root_der, {{h + ".s0", root_der}, {r, root_crl}}},
        {"a root stored as an anchor",
         {{h + ".0", root_der}},
         root_der,
         {{h + ".s0", root_der}, {r, root_crl}}},
        {"a rollover certificate", {}, rollover, {{h + ".0", rollover}, {r, root_crl}}},
    };
    std::string leaf = root + "/pki/root-leaf.pem";
    write_file(leaf, to_pem(make_leaf(trust_anchor, "leaf", 0x3001), "CERTIFICATE"));
    for (const Case& c : cases) {
        remove_tree(root + "/data");
        std::filesystem::create_directories(store);
        for (const auto& [name, der] : c.placed) {
            write_file(store + "/" + name, to_pem(der, "CERTIFICATE"));
        }
        std::string cert_url = loopback().http_url(serve("root.cer", c.served));
        Outcome outcome = run({cert_url, crl_url});
        EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("root.cer")) +
                                   item_lines("CRL", crl_url, local("root.crl")) + store_lines)
            << c.what;
        EXPECT_EQ(outcome.status, 0) << c.what;
        expect_store(c.after);
        if (c.served == root_der) {
            EXPECT_NE(
                openssl_verify("", store, leaf).find("unable to get local issuer certificate"),
                std::string::npos)
                << c.what;
        }
    }
}

// OpenSSL's lookup stops at the first missing number: an entry removed by
// hand hides the ones after it. The next import of one of them finds it past
// the gap and closes the gap, instead of writing it again.
TEST_F(Program, AGapMadeByHandClosesOnTheNextImport) {
    std::string earlier_crl = make_crl(authority, {}, -60, 0, "http://pki.example.org/p1.crl");
    std::string h = openssl_hash(cert, false);
    std::string r = openssl_hash(crl, true) + ".r";
    std::filesystem::create_directories(store);
    write_file(store + "/" + h + ".1", to_pem(cert, "CERTIFICATE"));
    write_file(store + "/" + r + "1", to_pem(crl, "X509 CRL"));
    write_file(store + "/" + r + "2", to_pem(earlier_crl, "X509 CRL"));
    EXPECT_NE(verify(good_serial).find("unable to get local issuer certificate"),
              std::string::npos);

    std::string cert_url = loopback().http_url(serve("ca.cer", cert));
    std::string crl_url = loopback().http_url(serve("ca.crl", crl));
    Outcome outcome = run({cert_url, crl_url});
    EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("ca.cer")) +
                               item_lines("CRL", crl_url, local("ca.crl")) + store_lines);
    EXPECT_EQ(outcome.status, 0);
    expect_store({{h + ".0", cert}, {r + "0", earlier_crl}, {r + "1", crl}});
    EXPECT_EQ(verify(good_serial), leaf_pem(good_serial) + ": OK\n");
}

// The default URLs name the authority's host; the loopback proxy stands in
// for the route to it, so the very URLs built into the program are fetched.
TEST_F(Program, WithoutArgumentsFetchesTheDefaultUrls) {
    loopback().serve("/wp-content/uploads/certificates/atrib-cert-ul.cer", cert);
    loopback().serve("/wp-content/uploads/certificates/pki/cas_zel.crl", crl);
    env.push_back("https_proxy=http://127.0.0.1:" + std::to_string(loopback().proxy));
    size_t before =
        loopback().requests_for("/wp-content/uploads/certificates/atrib-cert-ul.cer").size();
    Outcome outcome = run({});
    EXPECT_EQ(outcome.out, item_lines("AC", default_cert_url, local("atrib-cert-ul.cer")) +
                               item_lines("CRL", default_crl_url, local("cas_zel.crl")) +
                               store_lines);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(loopback().requests_for("/wp-content/uploads/certificates/atrib-cert-ul.cer").size(),
              before + 1);
    expect_store(installed);
}

TEST_F(Program, OneArgumentNamesTheCertificateAndTheCrlTakesItsDefault) {
    loopback().serve("/wp-content/uploads/certificates/pki/cas_zel.crl", crl);
    env.push_back("https_proxy=http://127.0.0.1:" + std::to_string(loopback().proxy));
    std::string cert_url = loopback().http_url(serve("only.cer", cert));
    Outcome outcome = run({cert_url});
    EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("only.cer")) +
                               item_lines("CRL", default_crl_url, local("cas_zel.crl")) +
                               store_lines);
    EXPECT_EQ(outcome.status, 0);
    expect_store(installed);
}

TEST_F(Program, ArgumentsAfterTheSecondAreIgnored) {
    std::string cert_url = loopback().http_url(serve("a.cer", cert));
    std::string crl_url = loopback().http_url(serve("a.crl", crl));
    Outcome outcome = run({cert_url, crl_url, "no slash here", "", "*.cer"});
    EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("a.cer")) +
                               item_lines("CRL", crl_url, local("a.crl")) + store_lines);
    EXPECT_EQ(outcome.status, 0);
    expect_store(installed);
}

// Local names are taken verbatim, a query included, and redirects are
// followed; each fetch asks every cache on the way for a fresh copy.
TEST_F(Program, FetchesThroughQueriesAndRedirects) {
    std::string query_path = unique("get");
    loopback().serve(query_path, cert);
    std::string cert_path = serve("chained.cer", cert);
    std::string crl_path = serve("chained.crl", crl);
    struct Case {
        std::string cert_url, crl_url, cert_name, crl_name;
    } cases[] = {
        {loopback().http_url(query_path + "?id=5"), loopback().http_url(crl_path), "get?id=5",
         "chained.crl"},
        {loopback().http_url("/_chain/10" + cert_path),
         loopback().https_url("/_chain/2" + crl_path), "chained.cer", "chained.crl"},
    };
    for (const Case& c : cases) {
        Outcome outcome = run({c.cert_url, c.crl_url});
        EXPECT_EQ(outcome.out, item_lines("AC", c.cert_url, local(c.cert_name)) +
                                   item_lines("CRL", c.crl_url, local(c.crl_name)) + store_lines);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0) << c.cert_url;
        expect_store(installed);
    }
    std::vector<std::string> requests = loopback().requests_for(crl_path);
    EXPECT_EQ(requests.size(), 1u);
    for (const std::string& request : requests) {
        EXPECT_NE(request.find("\"cache-control\": \"no-cache\""), std::string::npos);
    }
}

// What the store refuses ends the run with the failure block on standard
// error: a refused certificate before the CRL is offered, a refused CRL
// after the certificate was added, which stays.
TEST_F(Program, TheStoreRefusesWhatIsNotAnEncodedItem) {
    const std::string cert_refused = "The new certificate was not added to the store.";
    const std::string crl_refused = "The new crl was not added to the store.";
    Entries cert_only = {{openssl_hash(cert, false) + ".0", cert}};
    struct Case {
        const char* what;
        std::string cert_content, crl_content;
        std::string message;
    } cases[] = {
        {"an error page", "<html><body><h1>Service Unavailable</h1></body></html>\n", crl,
         cert_refused},
        {"a certificate in PEM", to_pem(cert, "CERTIFICATE"), crl, cert_refused},
        {"an empty certificate", "", crl, cert_refused},
        {"a CRL as the certificate", crl, crl, cert_refused},
        {"a certificate as the CRL", cert, cert, crl_refused},
        {"a CRL in PEM", cert, to_pem(crl, "X509 CRL"), crl_refused},
        {"an empty CRL", cert, "", crl_refused},
    };
    for (const Case& c : cases) {
        // One URL serves as both items where they are the same: its local
        // copy is made and removed twice.
        std::string crl_name = c.cert_content == c.crl_content ? "item.cer" : "item.crl";
        std::string cert_url = loopback().http_url(serve("item.cer", c.cert_content));
        std::string crl_url = loopback().http_url(serve(crl_name, c.crl_content));
        Outcome outcome = run({cert_url, crl_url});
        bool cert_added = c.message == crl_refused;
        EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("item.cer")) +
                                   item_lines("CRL", crl_url, local(crl_name)) + opened_line +
                                   (cert_added ? cert_added_line : ""))
            << c.what;
        EXPECT_EQ(outcome.err, failure_block(c.message, "4a")) << c.what;
        EXPECT_EQ(outcome.status, 1);
        expect_store(cert_added ? cert_only : Entries{});
        remove_tree(root + "/data/certstore");
    }
}

// A refused item leaves an existing store exactly as it was.
TEST_F(Program, ARefusedItemLeavesTheStoreAsItWas) {
    std::string cert_url = loopback().http_url(serve("ok.cer", cert));
    std::string crl_url = loopback().http_url(serve("ok.crl", crl));
    ASSERT_EQ(run({cert_url, crl_url}).status, 0);
    Entries before = snapshot(store);
    std::string page_url = loopback().http_url(serve("page.cer", "<html>Moved</html>"));
    Outcome outcome = run({page_url, crl_url});
    EXPECT_EQ(outcome.err, failure_block("The new certificate was not added to the store.", "4a"));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(snapshot(store), before);
}

// A store that cannot be made or written: the failure block carries the
// system's error number. A read-only mount stands for an unwritable store,
// as root writes through any permissions.
TEST_F(Program, AStoreThatCannotBeMadeOrWrittenEndsTheRun) {
    std::string cert_url = loopback().http_url(serve("ca.cer", cert));
    std::string crl_url = loopback().http_url(serve("ca.crl", crl));
    std::string fetched =
        item_lines("AC", cert_url, local("ca.cer")) + item_lines("CRL", crl_url, local("ca.crl"));

    write_file(root + "/data/certstore", "a file where the store's parent should be");
    Outcome outcome = run({cert_url, crl_url});
    EXPECT_EQ(outcome.out, fetched);
    EXPECT_EQ(outcome.err, failure_block("Could not open the CA system store.", "14"));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(read_file(root + "/data/certstore"), "a file where the store's parent should be");
    std::filesystem::remove(root + "/data/certstore");

    std::filesystem::create_directories(store);
    std::vector<std::string> argv = in_private_mount_namespace(
        "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && shift && exec \"$@\"",
        {store, program, cert_url, crl_url});
    outcome = run_program({argv, cwd, env});
    if (getuid() != 0 || outcome.out.find(opened_line) == std::string::npos) {
        GTEST_SKIP() << "cannot mount in a private mount namespace here: " << outcome.err;
    }
    EXPECT_EQ(outcome.out, fetched + opened_line);
    EXPECT_EQ(outcome.err, failure_block("The new certificate was not added to the store.", "1e"));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(list_dir(store), std::vector<std::string>{});
}

// Where the file system cannot rename without replacing, a new entry is
// claimed by a hard link instead: strace makes every such rename fail as
// those file systems do.
TEST_F(Program, ClaimsNewEntriesWhereRenameCannotRefuseToReplace) {
    const char* strace = "/usr/bin/strace";
    if (access(strace, X_OK) != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    std::string cert_url = loopback().http_url(serve("ca.cer", cert));
    std::string crl_url = loopback().http_url(serve("ca.crl", crl));
    // LeakSanitizer, in a sanitizer build, cannot work under ptrace.
    env.push_back("ASAN_OPTIONS=detect_leaks=0");
    Outcome outcome =
        run_program({{strace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=renameat2", "-e",
                      "inject=renameat2:error=EINVAL", program, cert_url, crl_url},
                     cwd,
                     env});
    EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("ca.cer")) +
                               item_lines("CRL", crl_url, local("ca.crl")) + store_lines);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    expect_store(installed);
}

// A reader that goes away (ca-import | head -1) makes writes fail; the run
// goes on to the end all the same.
TEST_F(Program, ARunOutlivesTheReaderOfItsOutput) {
    std::string cert_path = serve("piped.cer", cert);
    std::string crl_path = serve("piped.crl", crl);
    Invocation invocation{
        {program, loopback().http_url(cert_path), loopback().http_url(crl_path)}, cwd, env};
    invocation.prepare = [] {
        int ends[2];
        if (pipe(ends) != 0 || close(ends[0]) != 0 || dup2(ends[1], STDOUT_FILENO) < 0) {
            _exit(126);
        }
    };
    Outcome outcome = run_program(invocation);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    expect_store(installed);
}

TEST_F(Program, RefusesABadUrlBeforeFetchingAnything) {
    std::string good = loopback().http_url(serve("good.cer"));
    std::string prefix = loopback().http_url("/");
    std::string too_long = prefix + std::string(260 - prefix.size(), 'l');
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{""}, "Wrong url.\n"},
        {{"atrib-cert-ul.cer", good}, "Wrong url.\n"},
        {{too_long, good}, "URL is too long.\n"},
        {{good, too_long}, "URL is too long.\n"},
    };
    for (const Case& c : cases) {
        Outcome outcome = run(c.args);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 1);
        expect_left_nothing();
    }
    EXPECT_TRUE(loopback().requests_for(unique("good.cer")).empty());
}

TEST_F(Program, AcceptsAUrlOfMaximumLength) {
    std::string prefix = loopback().http_url("/");
    std::string url259 = prefix + std::string(259 - prefix.size() - 2, 'm') + "/x";
    ASSERT_EQ(url259.size(), 259u);
    Outcome outcome = run({url259});
    EXPECT_EQ(outcome.out, item_head("AC", url259, local("x")) + download_error(0x80190194u));
    EXPECT_EQ(outcome.status, 1);
}

// A failure in the second item comes after the first item's five lines; the
// first item's local copy is already gone.
TEST_F(Program, ACrlFailureComesAfterTheCertificateWasFetched) {
    std::string cert_url = loopback().http_url(serve("first.cer"));
    std::string missing = loopback().http_url(unique("missing.crl"));
    struct Case {
        std::string crl_url;
        std::string tail;
    } cases[] = {
        {"cas_zel.crl", "Wrong url.\n"},
        {missing, item_head("CRL", missing, local("missing.crl")) + download_error(0x80190194u)},
    };
    for (const Case& c : cases) {
        Outcome outcome = run({cert_url, c.crl_url});
        EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("first.cer")) + c.tail);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 1);
        expect_left_nothing();
    }
}

// Each way a download can fail, with the code it reports and the line
// without a line end; nothing is left behind.
TEST_F(Program, ReportsEachDownloadFailureWithItsCode) {
    const Loopback& server = loopback();
    std::string ok = serve("ok.cer");
    struct Case {
        std::string url;
        unsigned code;
        std::string binary;
    } cases[] = {
        {server.http_url(unique("absent.cer")), 0x80190194u, program},
        {server.https_url("/_status/500/ca.crl"), 0x801901F4u, program},
        {server.http_url("/_status/401/ca.cer"), 0x80190191u, program},
        {server.http_url("/_status/407/ca.cer"), 0x80190197u, program},
        {server.http_url("/_noloc/302/ca.cer"), 0x8019012Eu, program},
        {server.http_url("/_redirect/302/ca.cer?to=ftp://127.0.0.1/ca.cer"), 0x800C0014u, program},
        {server.http_url("/_redirect/307/ca.cer?to=file:///etc/passwd"), 0x800C0014u, program},
        {server.https_url("/_redirect/301/c?to=" + server.http_url(ok)), 0x800C0014u, program},
        {server.http_url("/_loop/ca.cer"), 0x800C0014u, program},
        {server.http_url("/_chain/11" + ok), 0x800C0014u, program},
        {"https://localhost:" + std::to_string(server.https) + ok, 0x800C0019u, program},
        {"https://127.0.0.1:" + std::to_string(server.expired) + ok, 0x800C0019u, program},
        {"https://127.0.0.1:" + std::to_string(server.self_signed) + ok, 0x800C0019u, program},
        {"http://127.0.0.1:" + std::to_string(closed_port()) + "/ca.cer", 0x800C0004u, program},
        {"ldap://127.0.0.1/ca.cer", 0x800C0002u, program},
        {"file:///nonexistent/ca.cer", 0x800C0006u, program},
        {server.http_url("/"), 0xA0000015u, program},
        {server.http_url(ok + "/.."), 0xA0000015u, program},
        {server.http_url("/a\tb/c.cer"), 0x800C0002u, program},
        {server.http_url("/a\x01b.cer"), 0x800C0002u, program},
        {server.http_url("/\xC3\xA9t\xE9.cer"), 0x80190194u, program},
        {server.http_url("/."), 0xA0000015u, program},
        {"ftp://127.0.0.1:" + std::to_string(closed_port()) + "/ca.crl", 0x800C0004u, program},
        {server.http_url("/_short/5000/ca.crl"), 0x800C0008u, program},
        {server.http_url("/_reset/5000/ca.crl"), 0x800C0008u, program},
        // The short-limits build gives up on a 2 s stall and above 1 MiB.
        {server.http_url("/_stall/ca.crl"), 0x800C000Bu, short_limits_program},
        {server.http_url("/_drip/ca.crl?every=5"), 0x800C000Bu, short_limits_program},
        {"https://127.0.0.1:" + std::to_string(server.silent) + "/ca.crl", 0x800C000Bu,
         short_limits_program},
        {server.http_url("/_chunked/1048577/ca.crl"), 0x800C0008u, short_limits_program},
        {server.http_url("/_length/5000000/ca.crl"), 0x800C0008u, short_limits_program},
    };
    for (const Case& c : cases) {
        // Some URLs hold a "/" in their query: the name is what follows the last.
        std::string name = c.url.substr(c.url.rfind('/') + 1);
        Outcome outcome = run({c.url, server.http_url(ok)}, c.binary);
        EXPECT_EQ(outcome.out, item_head("AC", c.url, local(name)) + download_error(c.code))
            << c.url;
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 1);
        expect_left_nothing();
    }
    // Nothing beside the working directory either ("/." and "/.." name
    // directories).
    EXPECT_EQ(list_dir(root), (std::vector<std::string>{"data", "home", "pki", "work"}));
}

// A server that gzips an item unasked: the bytes as sent, not inflated,
// reach the store, which refuses them.
TEST_F(Program, AnUnaskedForContentEncodingReachesTheStoreAsSent) {
    std::string cert_url = loopback().http_url("/_gzip" + serve("zipped.cer", cert));
    std::string crl_url = loopback().http_url(serve("zipped.crl", crl));
    Outcome outcome = run({cert_url, crl_url});
    EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("zipped.cer")) +
                               item_lines("CRL", crl_url, local("zipped.crl")) + opened_line);
    EXPECT_EQ(outcome.err, failure_block("The new certificate was not added to the store.", "4a"));
    EXPECT_EQ(outcome.status, 1);
    expect_store({});
}

// Proxies come from the environment: http_proxy carries requests for a host
// only the proxy can reach; no_proxy sends requests straight to the server.
TEST_F(Program, ProxiesComeFromTheEnvironment) {
    std::string cert_path = serve("proxied.cer", cert);
    std::string crl_path = serve("proxied.crl", crl);
    env.push_back("http_proxy=http://127.0.0.1:" + std::to_string(loopback().proxy));
    std::string authority_host = std::string("http://") + CA_IMPORT_DEFAULT_HOST;
    struct Case {
        std::string cert_url, crl_url;
        std::string no_proxy;
        bool proxied;
    } cases[] = {
        {authority_host + cert_path, authority_host + crl_path, "", true},
        {loopback().http_url(cert_path), loopback().http_url(crl_path), "127.0.0.1", false},
    };
    for (const Case& c : cases) {
        std::vector<std::string> saved = env;
        if (!c.no_proxy.empty()) {
            env.push_back("no_proxy=" + c.no_proxy);
        }
        Outcome outcome = run({c.cert_url, c.crl_url});
        env = saved;
        EXPECT_EQ(outcome.out, item_lines("AC", c.cert_url, local("proxied.cer")) +
                                   item_lines("CRL", c.crl_url, local("proxied.crl")) +
                                   store_lines);
        EXPECT_EQ(outcome.status, 0);
        // The proxy records a request by its absolute URL.
        EXPECT_EQ(loopback().requests_for(c.cert_url).size(), c.proxied ? 1u : 0u) << c.cert_url;
        expect_store(installed);
    }
}

// The store reached through a symbolic link works; links inside it count as
// taken numbers and are never written through, nor are their targets.
TEST_F(Program, SymbolicLinksInAndToTheStoreAreNeverWrittenThrough) {
    std::string real_store = root + "/elsewhere/CA";
    std::filesystem::create_directories(real_store);
    std::filesystem::create_directories(root + "/data/certstore");
    ASSERT_EQ(symlink(real_store.c_str(), store.c_str()), 0);
    std::string target = root + "/target";
    write_file(target, "not to be touched");
    std::string hash = openssl_hash(cert, false);
    std::string crl_hash = openssl_hash(crl, true);
    ASSERT_EQ(symlink(target.c_str(), (real_store + "/" + hash + ".0").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (real_store + "/" + crl_hash + ".r0").c_str()), 0);

    std::string cert_url = loopback().http_url(serve("ac.cer", cert));
    std::string crl_url = loopback().http_url(serve("ac.crl", crl));
    Outcome outcome = run({cert_url, crl_url});
    EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("ac.cer")) +
                               item_lines("CRL", crl_url, local("ac.crl")) + store_lines);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(read_file(target), "not to be touched");
    EXPECT_EQ(std::filesystem::read_symlink(real_store + "/" + hash + ".0"), target);
    EXPECT_EQ(std::filesystem::read_symlink(real_store + "/" + crl_hash + ".r0"), "nowhere");
    std::map<std::string, std::string> entries = store_entries(real_store);
    EXPECT_EQ(entries[hash + ".1"], cert);
    EXPECT_EQ(entries[crl_hash + ".r1"], crl);
    EXPECT_EQ(store_leftovers(real_store), std::vector<std::string>{});
    EXPECT_EQ(list_dir(cwd), std::vector<std::string>{});
}

TEST_F(Program, RefusesAServerCertificateItDoesNotTrust) {
    std::string url = loopback().https_url(serve("trust.cer"));
    env.back() = "SSL_CERT_FILE=" + loopback().other_ca;
    Outcome outcome = run({url});
    EXPECT_EQ(outcome.out, item_head("AC", url, local("trust.cer")) + download_error(0x800C0019u));
    EXPECT_EQ(outcome.status, 1);
    expect_left_nothing();
}

// An entry already at the local path is somebody's data: the run stops
// before downloading and leaves it exactly as it was.
TEST_F(Program, NeverReplacesAnEntryAlreadyAtTheLocalPath) {
    std::string url = loopback().http_url(serve("taken.cer"));
    std::string path = local("taken.cer");
    std::string outside = root + "/outside";
    write_file(outside, "outside");
    struct Case {
        const char* what;
        std::function<void()> make;
    } cases[] = {
        {"file", [&] { write_file(path, "mine"); }},
        {"link to a file", [&] { ASSERT_EQ(symlink(outside.c_str(), path.c_str()), 0); }},
        {"dangling link",
         [&] { ASSERT_EQ(symlink((root + "/nowhere").c_str(), path.c_str()), 0); }},
        {"link to a directory", [&] { ASSERT_EQ(symlink(root.c_str(), path.c_str()), 0); }},
    };
    for (const Case& c : cases) {
        c.make();
        Outcome outcome = run({url});
        EXPECT_EQ(outcome.out,
                  item_head("AC", url, path) + "Local file " + path + " already exists.\n")
            << c.what;
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(list_dir(cwd), std::vector<std::string>{"taken.cer"}) << c.what;
        if (std::string(c.what) == "file") {
            EXPECT_EQ(read_file(path), "mine");
        }
        std::filesystem::remove(path);
    }
    EXPECT_EQ(read_file(outside), "outside");
    EXPECT_TRUE(loopback().requests_for(unique("taken.cer")).empty());
}

// An entry that appears at the local path while the download is under way
// (another run's copy, say) is not this run's: the download fails and the
// entry stays as it is.
TEST_F(Program, AnEntryAppearingAtTheLocalPathDuringTheDownloadIsLeftAlone) {
    std::string path = "/_pace/4096" + unique("ac.cer");
    std::string url = loopback().http_url(path);
    std::thread other([&] {
        for (int waited = 0; waited < 200 && loopback().requests_for(path).empty(); ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        write_file(local("ac.cer"), "another run's copy");
    });
    Outcome outcome = run({url});
    other.join();
    EXPECT_EQ(outcome.out, item_head("AC", url, local("ac.cer")) + download_error(0xA0000011u));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(list_dir(cwd), std::vector<std::string>{"ac.cer"});
    EXPECT_EQ(read_file(local("ac.cer")), "another run's copy");
    EXPECT_EQ(list_dir(root + "/data"), std::vector<std::string>{});
}

TEST_F(Program, NeverRemovesTheSourceOfAFileUrlInItsOwnDirectory) {
    std::string source = local("own.cer");
    write_file(source, "the only copy");
    Outcome outcome = run({"file://" + source});
    EXPECT_EQ(outcome.out, item_head("AC", "file://" + source, source) + "Local file " + source +
                               " already exists.\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(read_file(source), "the only copy");
}

// A directory at the local path cannot be replaced, so the run goes on and
// the download reports it.
TEST_F(Program, ADirectoryAtTheLocalPathFailsTheDownload) {
    std::string url = loopback().http_url(serve("dir.cer"));
    std::filesystem::create_directory(local("dir.cer"));
    Outcome outcome = run({url});
    EXPECT_EQ(outcome.out, item_head("AC", url, local("dir.cer")) + download_error(0xA0000015u));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(list_dir(local("dir.cer")), std::vector<std::string>{});
}

TEST_F(Program, RefusesALocalPathTooLongForItsBuffer) {
    std::string url = loopback().http_url(serve("deep.cer"));
    std::string deep = cwd;
    while (deep.size() < 300) {
        deep += "/" + std::string(50, 'd');
    }
    std::filesystem::create_directories(deep);
    Outcome outcome = run_program({{program, url}, deep, env});
    EXPECT_EQ(outcome.out, "Local path is too long.\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(list_dir(deep), std::vector<std::string>{});
    EXPECT_TRUE(loopback().requests_for(unique("deep.cer")).empty());
}

TEST_F(Program, ReportsAWorkingDirectoryThatNoLongerExists) {
    std::string url = loopback().http_url(serve("gone.cer"));
    std::string gone = cwd + "/gone";
    std::filesystem::create_directory(gone);
    Invocation invocation{{program, url}, gone, env};
    invocation.prepare = [&] {
        if (rmdir(gone.c_str()) != 0) {
            _exit(126);
        }
    };
    Outcome outcome = run_program(invocation);
    EXPECT_EQ(outcome.out, "Getting current directory error.\n");
    EXPECT_EQ(outcome.status, 1);
    expect_left_nothing();
}

// At the root the separator is appended all the same.
TEST_F(Program, AtTheRootTheLocalPathStartsWithTwoSeparators) {
    std::string name = "ca-import-test-" + std::to_string(getpid()) + ".cer";
    std::string url = loopback().http_url(unique(name));
    Outcome outcome = run_program({{program, url}, "/", env});
    EXPECT_EQ(outcome.out, item_head("AC", url, "//" + name) + download_error(0x80190194u));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_FALSE(std::filesystem::exists("/" + name));
}

// Where unnamed files cannot be used (no /proc to link them from, or a file
// system without them), downloads go to a hidden file of their own, with the
// same promise: nothing left behind. /proc is hidden here in a private mount
// namespace, which needs root.
TEST_F(Program, WithoutUnnamedFilesDownloadsStillLeaveNothingBehind) {
    auto without_proc = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = {"/usr/bin/unshare",
                                         "--mount",
                                         "--propagation",
                                         "private",
                                         "/bin/sh",
                                         "-c",
                                         "mount -t tmpfs none /proc && exec \"$0\" \"$@\"",
                                         program};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program({argv, cwd, env});
    };
    if (getuid() != 0 || without_proc({""}).out != "Wrong url.\n") {
        GTEST_SKIP() << "cannot run the program in a private mount namespace here";
    }
    std::string cert_url = loopback().http_url(serve("hidden.cer", cert));
    std::string crl_url = loopback().https_url(serve("hidden.crl", crl));
    Outcome outcome = without_proc({cert_url, crl_url});
    EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("hidden.cer")) +
                               item_lines("CRL", crl_url, local("hidden.crl")) + store_lines);
    EXPECT_EQ(outcome.status, 0);
    expect_store(installed);
    remove_tree(root + "/data/certstore");

    std::string missing = loopback().http_url(unique("missing.crl"));
    outcome = without_proc({cert_url, missing});
    EXPECT_EQ(outcome.out, item_lines("AC", cert_url, local("hidden.cer")) +
                               item_head("CRL", missing, local("missing.crl")) +
                               download_error(0x80190194u));
    EXPECT_EQ(outcome.status, 1);
    expect_left_nothing();
}
