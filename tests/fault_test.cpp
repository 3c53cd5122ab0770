// The built program under faults: killed at each file system call it makes,
// signalled during a download, refused by the disk, and run many times at
// once on one store. After every case the store passes store_faults (openssl
// judging each entry), and is, entry by entry, as it was before the run or as
// a complete run leaves it.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "program_fixture.h"

namespace {

namespace fs = std::filesystem;

const char strace[] = "/usr/bin/strace";

// The calls of a run that touch files: every one is a place to be killed.
const std::vector<std::string> file_calls = {
    "openat", "close",  "write",    "mkdir",  "mkdirat",  "fsync",     "fchmod",
    "flock",  "unlink", "unlinkat", "linkat", "renameat", "renameat2", "ftruncate",
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

// Processes started together: each waits for the others to be forked
// before it execs, so that their runs overlap as much as they can.
struct Started {
    std::vector<pid_t> pids;
    std::vector<std::string> outputs;  // each one's standard output, a file
};

Started start_together(const std::vector<Invocation>& invocations, const std::string& scratch) {
    int go[2];
    if (pipe(go) != 0) {
        throw std::runtime_error("pipe failed");
    }
    Started started;
    for (size_t i = 0; i < invocations.size(); ++i) {
        const Invocation& invocation = invocations[i];
        std::string output = scratch + "/out-" + std::to_string(i);
        // Made before the fork: the child only execs.
        std::vector<char*> argv = exec_vector(invocation.argv);
        std::vector<char*> envp = exec_vector(invocation.env);
        pid_t pid = fork();
        if (pid == 0) {
            int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            char byte;
            close(go[1]);
            if (out < 0 || chdir(invocation.cwd.c_str()) != 0 || dup2(out, STDOUT_FILENO) < 0 ||
                read(go[0], &byte, 1) != 0) {
                _exit(126);
            }
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        started.pids.push_back(pid);
        started.outputs.push_back(output);
    }
    close(go[0]);
    close(go[1]);
    return started;
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
    } else if (scenario == "both entries replaced behind gaps") {
        // Another key's certificate and CRL came first, then were removed by
        // hand: the authority's entries sit behind a gap, which the run closes.
        Issuer renewed = make_ca(trust_anchor, "AC");
        std::string old_url = loopback().http_url(serve("old.cer", renewed.der()));
        std::string old_crl_url = loopback().http_url(serve("old.crl", make_crl(renewed, {})));
        ASSERT_EQ(run({old_url, old_crl_url}).status, 0);
        ASSERT_EQ(run(args).status, 0);
        fs::remove(store + "/" + openssl_hash(cert, false) + ".0");
        fs::remove(store + "/" + openssl_hash(crl, true) + ".r0");
        serve("ac.crl", make_crl(authority, {revoked_serial, good_serial}, 60));
    } else if (scenario == "a root moved aside") {
        // The root is imported, which an earlier version stored where OpenSSL
        // takes it as an anchor, before a rollover certificate of its names.
        cert = trust_anchor.der();
        crl = make_crl(trust_anchor, {});
        serve("ac.cer", cert);
        serve("ac.crl", crl);
        std::string rollover = make_ca(trust_anchor, "Root").der();
        std::string hash = openssl_hash(cert, false);
        fs::create_directories(store);
        write_file(store + "/" + hash + ".0", to_pem(cert, "CERTIFICATE"));
        write_file(store + "/" + hash + ".1", to_pem(rollover, "CERTIFICATE"));
    }
    keep_as_base();
    Entries before = snapshot(store);
    // A kill may leave a fault the store had before (a gap), never a new one.
    std::vector<std::string> faults_before = store_faults(store, false);
    // Where the run closes gaps, entries change names on the way.
    bool closes_gaps = !faults_before.empty() || scenario == "a root moved aside";

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
            for (const std::string& fault : store_faults(store, false)) {
                EXPECT_NE(std::find(faults_before.begin(), faults_before.end(), fault),
                          faults_before.end())
                    << where << ": " << fault;
            }
            Entries now = snapshot(store);
            EXPECT_TRUE(closes_gaps ? items_between(before, now, after)
                                    : entries_between(before, now, after))
                << where;

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
                                           "both entries replaced",
                                           "both entries replaced behind gaps",
                                           "a root moved aside"),
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

// The store refuses a write (EIO from fsync, EXDEV from a rename) at every
// invocation of the call: the run ends with the failure block naming the
// errno, and the item it was adding is not in the store, which keeps no
// temporary. A certificate added before a refused CRL stays. Where the
// directory's flush fails after the rename, the entry is taken back.
TEST_F(Faults, AStoreThatRefusesAWriteEndsTheRunAsItWas) {
    std::string cert_url = loopback().http_url(serve("ac.cer", cert));
    std::string crl_url = loopback().http_url(serve("ac.crl", crl));
    std::vector<std::string> args = {cert_url, crl_url};
    const std::vector<std::string> messages = {"Could not open the CA system store.",
                                               "The new certificate was not added to the store.",
                                               "The new crl was not added to the store."};
    struct Fault {
        const char* call;
        const char* error;
        const char* number;
    } faults[] = {{"fsync", "EIO", "5"}, {"renameat2", "EXDEV", "12"}, {"renameat", "EXDEV", "12"}};
    for (bool replacing : {false, true}) {
        if (replacing) {
            ASSERT_EQ(run(args).status, 0);
            serve("ac.crl", make_crl(authority, {revoked_serial, good_serial}, 60));
        }
        keep_as_base();
        Entries before = visible(snapshot(store));
        restore_base();
        ASSERT_EQ(run(args).status, 0);
        Entries after = visible(snapshot(store));
        std::map<std::string, int> counts = count_calls(args);
        for (const Fault& fault : faults) {
            for (int k = 1; k <= counts[fault.call]; ++k) {
                std::string where = std::string(replacing ? "replacing, " : "adding, ") +
                                    fault.call + " #" + std::to_string(k);
                restore_base();
                Outcome outcome =
                    run_traced({"-o", "/dev/null", "-e", std::string("trace=") + fault.call, "-e",
                                std::string("inject=") + fault.call + ":error=" + fault.error +
                                    ":when=" + std::to_string(k)},
                               args);
                EXPECT_EQ(outcome.status, 1) << where;
                size_t which = 0;
                while (which < messages.size() &&
                       outcome.err != failure_block(messages[which], fault.number)) {
                    ++which;
                }
                ASSERT_LT(which, messages.size()) << where << "\n" << outcome.err;
                // Only a refused CRL comes after an item was added: the certificate.
                Entries expected = before;
                if (which == 2) {
                    for (const auto& [name, content] : after) {
                        if (name.find(".r") == std::string::npos) {
                            expected[name] = content;
                        }
                    }
                }
                EXPECT_EQ(visible(snapshot(store)), expected) << where;
                EXPECT_EQ(faults_text(store_faults(store, true)), "") << where;
                EXPECT_EQ(list_dir(cwd), std::vector<std::string>{}) << where;
            }
        }
    }
}

// A full disk, a tiny file system in a private mount namespace holding the
// store: the run ends with "Error number 1c." and the store as it was.
TEST_F(Faults, AFullDiskEndsTheRunAsItWas) {
    std::string cert_url = loopback().http_url(serve("ac.cer", cert));
    std::string crl_url = loopback().http_url(serve("ac.crl", crl));
    std::string fetched =
        item_lines("AC", cert_url, local("ac.cer")) + item_lines("CRL", crl_url, local("ac.crl"));
    // A renewed key of the authority: its certificate needs a new entry.
    Issuer renewed = make_ca(trust_anchor, "AC");
    std::string renewed_url = loopback().http_url(serve("renewed.cer", renewed.der()));
    ASSERT_EQ(run({cert_url, crl_url}).status, 0);
    keep_as_base();
    Entries full_store = visible(snapshot(store));
    struct Case {
        const char* what;
        bool with_store;
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {"a new store", false, {cert_url, crl_url}, fetched + opened_line},
        {"a new entry",
         true,
         {renewed_url, crl_url},
         item_lines("AC", renewed_url, local("renewed.cer")) +
             item_lines("CRL", crl_url, local("ac.crl")) + opened_line},
        {"a replacement", true, {cert_url, crl_url}, fetched + opened_line},
    };
    std::string saved = root + "/saved";
    for (const Case& c : cases) {
        remove_tree(saved);
        fs::create_directory(saved);
        remove_tree(root + "/data");
        fs::create_directory(root + "/data");
        // The store is judged outside the namespace, so the script copies it
        // out after the run.
        std::vector<std::string> script_args = {root + "/data", saved, c.with_store ? base : "",
                                                program};
        script_args.insert(script_args.end(), c.args.begin(), c.args.end());
        std::vector<std::string> argv = in_private_mount_namespace(
            "data=$1 saved=$2 base=$3; shift 3\n"
            "mount -t tmpfs -o size=16k tmpfs \"$data\" || exit 99\n"
            "if [ -n \"$base\" ]; then cp -a \"$base/.\" \"$data/\"; fi\n"
            "dd if=/dev/zero of=\"$data/filler\" bs=1k 2>/dev/null\n"
            "\"$@\"; status=$?\n"
            "cp -a \"$data/certstore\" \"$saved/\" 2>/dev/null; exit $status",
            script_args);
        Outcome outcome = run_program({argv, cwd, env});
        if (getuid() != 0 || outcome.status == 99) {
            GTEST_SKIP() << "cannot mount in a private mount namespace here: " << outcome.err;
        }
        EXPECT_EQ(outcome.out, c.out) << c.what;
        EXPECT_EQ(outcome.err,
                  failure_block("The new certificate was not added to the store.", "1c"))
            << c.what;
        EXPECT_EQ(outcome.status, 1) << c.what;
        std::string judged = saved + "/certstore/CA";
        EXPECT_EQ(visible(snapshot(judged)), c.with_store ? full_store : Entries{}) << c.what;
        EXPECT_EQ(faults_text(store_faults(judged, true)), "") << c.what;
        EXPECT_EQ(list_dir(cwd), std::vector<std::string>{}) << c.what;
    }
}

// Sixteen runs at once, each adding another key of the authority's name and
// the same CRL: every certificate gets a number of its own, .0 to .15, and
// the CRL one entry. Sixteen runs adding the same certificate leave one copy.
TEST_F(Faults, SixteenRunsAtOnceShareTheStore) {
    const int runs = 16;
    std::string crl_url = loopback().http_url(serve("ac.crl", crl));
    std::set<std::string> certificates;
    std::vector<Invocation> distinct, same;
    std::string cert_url = loopback().http_url(serve("ac.cer", cert));
    for (int i = 0; i < runs; ++i) {
        std::string der = make_ca(trust_anchor, "AC").der();
        certificates.insert(der);
        std::string url = loopback().http_url(serve("key" + std::to_string(i) + ".cer", der));
        // Each run in a directory of its own: their local copies share a name.
        std::string dir = cwd + "/" + std::to_string(i);
        fs::create_directory(dir);
        distinct.push_back({{program, url, crl_url}, dir, env});
        same.push_back({{program, cert_url, crl_url}, dir, env});
    }
    std::string hash = openssl_hash(cert, false);
    for (const auto* together : {&distinct, &same}) {
        remove_tree(root + "/data");
        fs::create_directory(root + "/data");
        Started started = start_together(*together, root);
        for (size_t i = 0; i < started.pids.size(); ++i) {
            EXPECT_EQ(wait_for(started.pids[i]), 0) << read_file(started.outputs[i]);
        }
        std::map<std::string, std::string> entries = store_entries(store);
        std::set<std::string> held;
        for (const auto& [name, der] : entries) {
            if (name.find(".r") == std::string::npos) {
                held.insert(der);
            }
        }
        bool all_distinct = together == &distinct;
        EXPECT_EQ(held, all_distinct ? certificates : std::set<std::string>{cert});
        EXPECT_EQ(entries.size(), (all_distinct ? runs : 1) + 1u);
        EXPECT_EQ(entries[openssl_hash(crl, true) + ".r0"], crl);
        EXPECT_EQ(entries.count(hash + "." + std::to_string(all_distinct ? runs - 1 : 0)), 1u);
        EXPECT_EQ(faults_text(store_faults(store, true)), "");
    }
}

// A run killed while it holds the store's lock does not hold up the next:
// the lock goes with the process.
TEST_F(Faults, ARunKilledHoldingTheLockBlocksNoOne) {
    std::string cert_url = loopback().http_url(serve("ac.cer", cert));
    std::string crl_url = loopback().http_url(serve("ac.crl", crl));
    // fchmod comes only under the lock, as the entry's file is made.
    Outcome killed =
        run_traced({"-o", "/dev/null", "-e", "trace=fchmod", "-e", "inject=fchmod:signal=KILL"},
                   {cert_url, crl_url});
    ASSERT_EQ(killed.status, 128 + SIGKILL);
    Outcome next = run_program({{"/usr/bin/timeout", "20", program, cert_url, crl_url}, cwd, env});
    EXPECT_EQ(next.status, 0) << "124 means it waited on the lock";
    expect_store(installed);
}

// Killed, interrupted or terminated while a download is under way: nothing
// is left beside the local path, and the store is never touched.
TEST_F(Faults, ASignalDuringADownloadLeavesNothingBehind) {
    for (int signal_number : {SIGKILL, SIGINT, SIGTERM}) {
        std::string path = "/_drip/" + std::to_string(signal_number) + unique("slow.cer");
        size_t requests = loopback().requests_for(path).size();
        Started started = start_together(
            {{{program, loopback().http_url(path), loopback().http_url(path)}, cwd, env}}, root);
        // Signalled once the server has begun to answer, with bytes written.
        for (int waited = 0; waited < 100 && loopback().requests_for(path).size() == requests;
             ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        kill(started.pids[0], signal_number);
        EXPECT_EQ(wait_for(started.pids[0]), 128 + signal_number);
        EXPECT_NE(read_file(started.outputs[0]).find("to local file"), std::string::npos);
        expect_left_nothing();
    }
}

// Two runs in one working directory, each fetching its own authority's items
// under the same file names, started together a hundred times: each either
// stores exactly its own items and says so, or ends with status 1 and the
// line of a local copy in the way; it never takes the other's copy for its
// own, and nothing is left in the directory.
class SharedDirectory : public Program {};

TEST_F(SharedDirectory, RunsStartedTogetherNeverTakeEachOthersCopy) {
    Issuer other = make_ca(trust_anchor, "BC");
    struct Run {
        std::string cert, crl;  // DER
        std::string cert_url, crl_url;
        std::string data;  // its own XDG_DATA_HOME, so that its store shows what it added
        std::set<std::string> outputs;  // every output it may end with
    } runs[2] = {{cert, crl, "", "", "", {}}, {other.der(), make_crl(other, {7}), "", "", "", {}}};
    std::vector<Invocation> invocations;
    for (int i = 0; i < 2; ++i) {
        Run& run = runs[i];
        std::string side = i == 0 ? "a" : "b";
        run.cert_url = loopback().http_url(serve(side + "/cert.cer", run.cert));
        run.crl_url = loopback().http_url(serve(side + "/ca.crl", run.crl));
        run.data = root + "/data-" + side;
        std::string cert_head = item_head("AC", run.cert_url, local("cert.cer"));
        std::string crl_head = item_lines("AC", run.cert_url, local("cert.cer")) +
                               item_head("CRL", run.crl_url, local("ca.crl"));
        run.outputs = {
            item_lines("AC", run.cert_url, local("cert.cer")) +
                item_lines("CRL", run.crl_url, local("ca.crl")) + store_lines,
            cert_head + "Local file " + local("cert.cer") + " already exists.\n",
            cert_head + download_error(0xA0000011u),
            crl_head + "Local file " + local("ca.crl") + " already exists.\n",
            crl_head + download_error(0xA0000011u),
        };
        std::vector<std::string> run_env = env;
        for (std::string& variable : run_env) {
            if (variable.rfind("XDG_DATA_HOME=", 0) == 0) {
                variable = "XDG_DATA_HOME=" + run.data;
            }
        }
        invocations.push_back({{program, run.cert_url, run.crl_url}, cwd, run_env});
    }
    int completed = 0;
    for (int pair = 0; pair < 100; ++pair) {
        for (const Run& run : runs) {
            remove_tree(run.data);
            fs::create_directory(run.data);
        }
        Started started = start_together(invocations, root);
        for (int i = 0; i < 2; ++i) {
            const Run& run = runs[i];
            int status = wait_for(started.pids[i]);
            std::string out = read_file(started.outputs[i]);
            std::string where = "pair " + std::to_string(pair) + ", run " + std::to_string(i);
            EXPECT_EQ(run.outputs.count(out), 1u) << where << ":\n" << out;
            Entries own = {{openssl_hash(run.cert, false) + ".0", run.cert},
                           {openssl_hash(run.crl, true) + ".r0", run.crl}};
            // Read in process: openssl judges the stores of every other test.
            Entries stored;
            std::string store_dir = run.data + "/certstore/CA";
            for (const std::string& name :
                 fs::exists(store_dir) ? list_dir(store_dir) : std::vector<std::string>{}) {
                if (name[0] != '.') {
                    stored[name] = pem_file_bytes(store_dir + "/" + name);
                }
            }
            if (status == 0) {
                ++completed;
                EXPECT_EQ(stored, own) << where;
            } else {
                EXPECT_EQ(status, 1) << where;
                for (const auto& [name, der] : stored) {
                    EXPECT_EQ(own[name], der) << where << ": " << name;
                }
            }
        }
        EXPECT_EQ(list_dir(cwd), std::vector<std::string>{}) << "pair " << pair;
        if (HasFailure()) {
            return;
        }
    }
    RecordProperty("completed_runs", completed);
}

}  // namespace
