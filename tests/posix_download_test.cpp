// The POSIX URL download service against its contract: the download the
// Windows program calls, with the same return values and error codes, against
// the loopback server.
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform.h"
#include "support.h"

namespace {

class Download : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_temp_dir();
        setenv("SSL_CERT_FILE", loopback().ca.c_str(), 1);
        for (const char* proxy : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                  "ALL_PROXY", "SSL_CERT_DIR"}) {
            unsetenv(proxy);
        }
    }
    void TearDown() override { remove_tree(dir); }

    unsigned download(const std::string& url, const std::string& path) {
        return static_cast<unsigned>(
            URLDownloadToFileA(nullptr, url.c_str(), path.c_str(), 0, nullptr));
    }

    std::string dir;
};

}  // namespace

TEST_F(Download, DeliversTheResourceByteForByte) {
    std::string content = random_bytes(300000);
    loopback().serve("/platform/whole.crl", content);
    std::string source = dir + "/source.crl";
    write_file(source, content);
    std::string urls[] = {
        loopback().http_url("/platform/whole.crl"),
        loopback().https_url("/platform/whole.crl"),
        loopback().http_url("/_chain/3/platform/whole.crl"),
        "file://" + source,
    };
    for (const std::string& url : urls) {
        std::string path = dir + "/whole.crl";
        EXPECT_EQ(download(url, path), 0u) << url;
        EXPECT_TRUE(read_file(path) == content) << url;
        std::filesystem::remove(path);
    }
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"source.crl"});
}

// Every request asks caches for a fresh copy and names the program and its
// version.
TEST_F(Download, AsksEveryCacheForAFreshCopyAndSaysWhoAsks) {
    loopback().serve("/platform/fresh.cer", "fresh");
    ASSERT_EQ(download(loopback().http_url("/platform/fresh.cer"), dir + "/fresh.cer"), 0u);
    std::vector<std::string> requests = loopback().requests_for("/platform/fresh.cer");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find("\"cache-control\": \"no-cache\""), std::string::npos);
    EXPECT_NE(requests[0].find("\"pragma\": \"no-cache\""), std::string::npos);
    EXPECT_NE(requests[0].find("\"user-agent\": \"ca-import/" CA_IMPORT_VERSION "\""),
              std::string::npos)
        << requests[0];
    EXPECT_NE(DeleteUrlCacheEntry(loopback().http_url("/platform/fresh.cer").c_str()), FALSE);
}

// An entry at the local path when the download completes is somebody
// else's (another run's copy, say): it is never replaced nor written
// through, and the download fails with the local-file code for EEXIST.
TEST_F(Download, NeverReplacesWhatIsAtThePath) {
    loopback().serve("/platform/new.cer", "new content");
    std::string target = dir + "/target";
    write_file(target, "the user's file");
    std::string linked = dir + "/linked.cer";
    ASSERT_EQ(symlink(target.c_str(), linked.c_str()), 0);
    std::string dangling = dir + "/dangling.cer";
    ASSERT_EQ(symlink((dir + "/nowhere").c_str(), dangling.c_str()), 0);
    for (const std::string& path : {target, linked, dangling}) {
        EXPECT_EQ(download(loopback().http_url("/platform/new.cer"), path), 0xA0000011u) << path;
    }
    EXPECT_EQ(read_file(target), "the user's file");
    EXPECT_TRUE(std::filesystem::is_symlink(linked));
    EXPECT_TRUE(std::filesystem::is_symlink(dangling));
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"dangling.cer", "linked.cer", "target"}));
}

// A transfer that keeps moving, however slowly, still ends: under the
// minimum rate averaged over the stall time, or past the overall limit. One
// that keeps above the rate for longer than the stall time completes.
TEST_F(Download, SlowTransfersEndButSteadyOnesComplete) {
    const Loopback& server = loopback();
    std::string path = dir + "/item";
    struct Case {
        std::string url;
        unsigned code;
    } cases[] = {
        // The short-limits build wants 1 KiB/s over 2 s, and at most 5 s.
        {server.http_url("/_pace/6144/x?rate=3072"), 0},
        {server.http_url("/_drip/x?every=0.5"), 0x800C000Bu},
        {server.http_url("/_pace/6144/x?rate=512"), 0x800C000Bu},
        {server.http_url("/_pace/36864/x?rate=6144"), 0x800C000Bu},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(download(c.url, path), c.code) << c.url;
        if (c.code == 0) {
            EXPECT_EQ(read_file(path), std::string(6144, 'p'));
            std::filesystem::remove(path);
        }
        EXPECT_TRUE(list_dir(dir).empty()) << c.url;
    }
}

// Every failure leaves nothing at the path and no temporary beside it.
TEST_F(Download, FailuresHaveOneCodeEachAndLeaveNothingBehind) {
    const Loopback& server = loopback();
    struct Case {
        std::string url;
        unsigned code;
    } cases[] = {
        {server.http_url("/platform/absent.cer"), 0x80190194u},
        {server.http_url("/_status/401/x"), 0x80190191u},
        {server.http_url("/_status/500/x"), 0x801901F4u},
        {server.http_url("/_noloc/302/x"), 0x8019012Eu},
        {server.http_url("/_redirect/301/x?to=ftp://127.0.0.1/x"), 0x800C0014u},
        {server.http_url("/_redirect/302/x?to=file:///etc/passwd"), 0x800C0014u},
        {server.https_url("/_redirect/302/x?to=" + server.http_url("/platform/new.cer")),
         0x800C0014u},
        {server.http_url("/_loop/x"), 0x800C0014u},
        {server.http_url("/_chain/11/platform/whole.crl"), 0x800C0014u},
        {"gopher://127.0.0.1/x", 0x800C0002u},
        {"no scheme/x", 0x800C0002u},
        {"file://" + dir + "/absent", 0x800C0006u},
        {"http://127.0.0.1:" + std::to_string(closed_port()) + "/x", 0x800C0004u},
        {"https://localhost:" + std::to_string(server.https) + "/platform/new.cer", 0x800C0019u},
        {server.http_url("/_short/1000/x"), 0x800C0008u},
        {server.http_url("/_garbage/x"), 0x800C0008u},
        {server.http_url("/_reset/100000/x"), 0x800C0008u},
        // The short-limits build refuses more than 1 MiB, and stalls of 2 s.
        {server.http_url("/_length/1048577/x"), 0x800C0008u},
        {server.http_url("/_chunked/2097152/x"), 0x800C0008u},
        {server.http_url("/_stall/x"), 0x800C000Bu},
        {"https://127.0.0.1:" + std::to_string(server.silent) + "/x", 0x800C000Bu},
    };
    for (const Case& c : cases) {
        std::string path = dir + "/item";
        EXPECT_EQ(download(c.url, path), c.code) << c.url;
        EXPECT_TRUE(list_dir(dir).empty()) << c.url;
    }
}

// Needs a resolver that answers: where none does, resolving times out, which
// is reported as a timeout.
TEST_F(Download, FromAHostThatDoesNotResolveSaysSo) {
    addrinfo* found = nullptr;
    int result = getaddrinfo("name.invalid", "80", nullptr, &found);
    if (found != nullptr) {
        freeaddrinfo(found);
    }
    if (result != EAI_NONAME) {
        GTEST_SKIP() << "the resolver gives no clear answer for name.invalid here";
    }
    EXPECT_EQ(download("http://name.invalid/x", dir + "/x"), 0x800C0005u);
    EXPECT_TRUE(list_dir(dir).empty());
}

TEST_F(Download, RefusesAServerItCannotTrust) {
    loopback().serve("/platform/trust.cer", "x");
    setenv("SSL_CERT_FILE", loopback().other_ca.c_str(), 1);
    EXPECT_EQ(download(loopback().https_url("/platform/trust.cer"), dir + "/trust.cer"),
              0x800C0019u);
    // A trust store given as a directory is honoured too.
    std::string anchors = dir + "/anchors";
    std::filesystem::create_directory(anchors);
    std::filesystem::copy_file(loopback().ca, anchors + "/ca.pem");
    ASSERT_EQ(run_in_child([&] {
                  execlp("openssl", "openssl", "rehash", anchors.c_str(),
                         static_cast<char*>(nullptr));
              }).status,
              0);
    setenv("SSL_CERT_FILE", loopback().other_ca.c_str(), 1);
    setenv("SSL_CERT_DIR", anchors.c_str(), 1);
    EXPECT_EQ(download(loopback().https_url("/platform/trust.cer"), dir + "/trust.cer"), 0u);
}

// Proxies come from the environment; a proxy's refusal carries its status.
TEST_F(Download, GoesThroughTheProxyTheEnvironmentNames) {
    loopback().serve("/platform/proxied.cer", "through the proxy");
    std::string proxy = "http://127.0.0.1:" + std::to_string(loopback().proxy);
    setenv("http_proxy", proxy.c_str(), 1);
    setenv("https_proxy", proxy.c_str(), 1);
    std::string path = dir + "/proxied.cer";
    // Neither host resolves: only the proxy can reach them.
    EXPECT_EQ(download("http://pki.example.org/platform/proxied.cer", path), 0u);
    EXPECT_EQ(read_file(path), "through the proxy");
    std::filesystem::remove(path);
    EXPECT_EQ(download("https://" CA_IMPORT_DEFAULT_HOST "/platform/proxied.cer", path), 0u);
    EXPECT_EQ(read_file(path), "through the proxy");
    std::filesystem::remove(path);
    EXPECT_EQ(download("https://elsewhere.invalid/platform/proxied.cer", path), 0x80190193u);
    EXPECT_TRUE(list_dir(dir).empty());
    unsetenv("http_proxy");
    unsetenv("https_proxy");
}

TEST_F(Download, WithinTheSizeLimitSucceedsAtTheLimit) {
    std::string path = dir + "/limit";
    EXPECT_EQ(download(loopback().http_url("/_chunked/1048576/x"), path), 0u);
    EXPECT_EQ(std::filesystem::file_size(path), 1048576u);
}

TEST_F(Download, ToAPlaceThatCannotHoldTheFileNamesTheErrno) {
    loopback().serve("/platform/place.cer", "x");
    std::string url = loopback().http_url("/platform/place.cer");
    std::string file = dir + "/file";
    write_file(file, "");
    struct Case {
        std::string path;
        unsigned code;
    } cases[] = {
        {dir + "/absent/place.cer", 0xA0000002u},  // ENOENT
        {file + "/place.cer", 0xA0000014u},        // ENOTDIR
        {dir + "/", 0xA0000015u},                  // EISDIR
        {dir + "/.", 0xA0000015u},
        {dir, 0xA0000015u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(download(url, c.path), c.code) << c.path;
    }
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"file"});
    // Nothing went over the network for a place that could never be written.
    EXPECT_TRUE(loopback().requests_for("/platform/place.cer").empty());
}
