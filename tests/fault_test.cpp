// The built program under faults: killed at each file system call it makes,
// signalled during a download, refused by the disk, and run many times at
// once on one store. After every case the store passes store_faults (openssl
// judging each entry), and is, entry by entry, as it was before the run or as
// a complete run leaves it.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "program_fixture.h"

namespace {

namespace fs = std::filesystem;

const char strace[] = "/usr/bin/strace";

// The calls of a run that touch files: every one is a place to be killed.
const std::vector<std::string> file_calls = {
    "openat", "close",    "write",  "mkdir",    "fsync",     "fchmod",    "flock",
    "unlink", "unlinkat", "linkat", "renameat", "renameat2", "ftruncate",
};

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ",") + name;
    }
    return text;
}

// The store's files other than hidden ones: what OpenSSL programs see.
Entries visible(const Entries& files) {
    Entries entries;
    for (const auto& [name, content] : files) {
        if (name[0] != '.') {
            entries[name] = content;
        }
    }
    return entries;
}

std::string faults_text(const std::vector<std::string>& faults) {
    std::string text;
    for (const std::string& fault : faults) {
        text += fault + "\n";
    }
    return text;
}

class Faults : public Program {
protected:
    void SetUp() override {
        Program::SetUp();
        if (access(strace, X_OK) != 0) {
            GTEST_SKIP() << "strace is not installed";
        }
        base = root + "/base";
        fs::create_directory(base);
    }

    // Runs the program under strace with extra options.
    Outcome run_traced(const std::vector<std::string>& options,
                       const std::vector<std::string>& args) {
        std::vector<std::string> argv = {strace, "-f", "-qq"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(program);
        argv.insert(argv.end(), args.begin(), args.end());
        // LeakSanitizer cannot run under ptrace.
        std::vector<std::string> traced_env = env;
        traced_env.push_back("ASAN_OPTIONS=detect_leaks=0");
        return run_program({argv, cwd, traced_env});
    }

    // Puts the data directory back as base holds it, and empties cwd.
    void restore_base() {
        remove_tree(root + "/data");
        fs::copy(base, root + "/data",
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        remove_tree(cwd);
        fs::create_directory(cwd);
    }

    // Saves the data directory as the base every case starts from.
    void keep_as_base() {
        remove_tree(base);
        fs::copy(root + "/data", base,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }

    // How many times a clean run from the base calls each of file_calls.
    std::map<std::string, int> count_calls(const std::vector<std::string>& args) {
        restore_base();
        std::string trace = root + "/trace";
        Outcome outcome = run_traced({"-o", trace, "-e", "trace=" + joined(file_calls)}, args);
        EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
        std::map<std::string, int> counts;
        std::istringstream lines(read_file(trace));
        for (std::string line; std::getline(lines, line);) {
            // "<pid> name(args..." starts a call; a "<... name resumed>" line
            // ends one that was interrupted.
            size_t start = line.find_first_not_of(' ', line.find(' '));
            size_t open = line.find('(');
            if (start == std::string::npos || open == std::string::npos || open < start ||
                line.compare(start, 4, "<...") == 0) {
                continue;
            }
            ++counts[line.substr(start, open - start)];
        }
        return counts;
    }

    std::string base;
};

// A run killed with SIGKILL at every invocation of every file system call
// it makes, one at a time: the store stays sound and, entry by entry, as
// before or as after; the next run completes and leaves no temporary. The
// only other thing a kill may leave is an item's complete local copy, which
// the next run refuses until it is removed.
class KilledRun : public Faults, public ::testing::WithParamInterface<const char*> {};

TEST_P(KilledRun, LeavesTheStoreSoundAndTheNextRunCompletes) {
    std::string scenario = GetParam();
    std::string cert_url = loopback().http_url(serve("ac.cer", cert));
    std::string crl_url = loopback().http_url(serve("ac.crl", crl));
    std::vector<std::string> args = {cert_url, crl_url};
    if (scenario == "a certificate taking a new number") {
        // Another key of the authority's name is there already, with its CRL.
        Issuer renewed = make_ca(trust_anchor, "AC");
        std::string old_url = loopback().http_url(serve("old.cer", renewed.der()));
        std::string old_crl_url = loopback().http_url(serve("old.crl", make_crl(renewed, {})));
        ASSERT_EQ(run({old_url, old_crl_url}).status, 0);
    } else if (scenario == "both entries replaced") {
        ASSERT_EQ(run(args).status, 0);
        serve("ac.crl", make_crl(authority, {revoked_serial, good_serial}, 60));
    }
    keep_as_base();
    Entries before = snapshot(store);

    restore_base();
    ASSERT_EQ(run(args).status, 0);
    Entries after = snapshot(store);
    ASSERT_EQ(faults_text(store_faults(store, true)), "");

    std::map<std::string, int> counts = count_calls(args);
    int cases = 0;
    for (const auto& [call, count] : counts) {
        for (int k = 1; k <= count; ++k, ++cases) {
            std::string where = call + " #" + std::to_string(k);
            restore_base();
            Outcome killed =
                run_traced({"-o", "/dev/null", "-e", "trace=" + call, "-e",
                            "inject=" + call + ":signal=KILL:when=" + std::to_string(k)},
                           args);
            ASSERT_EQ(killed.status, 128 + SIGKILL) << where << "\n" << killed.err;
            EXPECT_EQ(faults_text(store_faults(store, false)), "") << where;
            Entries now = snapshot(store);
            EXPECT_TRUE(entries_between(before, now, after)) << where;

            std::vector<std::string> left = list_dir(cwd);
            if (!left.empty()) {
                // The one thing a kill may leave: a complete local copy.
                ASSERT_EQ(left.size(), 1u) << where;
                std::string name = left[0];
                ASSERT_TRUE(name == "ac.cer" || name == "ac.crl") << where << ": " << name;
                EXPECT_EQ(
                    read_file(local(name)),
                    name == "ac.cer" ? cert : read_file(loopback().docroot + unique("ac.crl")))
                    << where;
                Outcome refused = run(args);
                std::string item = name == "ac.cer" ? "AC" : "CRL";
                std::string head = item == "AC" ? item_head("AC", cert_url, local(name))
                                                : item_lines("AC", cert_url, local("ac.cer")) +
                                                      item_head("CRL", crl_url, local(name));
                EXPECT_EQ(refused.out, head + "Local file " + local(name) + " already exists.\n")
                    << where;
                EXPECT_EQ(refused.status, 1) << where;
                fs::remove(local(name));
            }

            Outcome next = run(args);
            EXPECT_EQ(next.status, 0) << where << "\n" << next.out << next.err;
            EXPECT_EQ(faults_text(store_faults(store, true)), "") << where;
            EXPECT_EQ(visible(snapshot(store)), visible(after)) << where;
            EXPECT_EQ(list_dir(cwd), std::vector<std::string>{}) << where;
            if (HasFailure()) {
                return;
            }
        }
    }
    // Every call of a store add was among them.
    for (const char* call : {"fsync", "flock", "write", "openat"}) {
        EXPECT_GT(counts[call], 0) << call;
    }
    RecordProperty("kill_points", cases);
}

INSTANTIATE_TEST_SUITE_P(Stores, KilledRun,
                         ::testing::Values("a new store", "a certificate taking a new number",
                                           "both entries replaced"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             // "a new store" names the test ANewStore.
                             std::string name;
                             bool word_start = true;
                             for (const char* c = info.param; *c; ++c) {
                                 if (*c == ' ') {
                                     word_start = true;
                                 } else {
                                     name += word_start ? static_cast<char>(std::toupper(*c)) : *c;
                                     word_start = false;
                                 }
                             }
                             return name;
                         });

}  // namespace
