// What the tests share: running code or programs with their output captured,
// scratch directories, and the loopback server.
#ifndef CA_IMPORT_TESTS_SUPPORT_H
#define CA_IMPORT_TESTS_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

struct Outcome {
    std::string out;
    std::string err;
    int status;  // the exit status, or 128 + the signal that ended it
};

// Runs body in a child process with standard output and standard error
// captured; a body that returns ends the child with status 0.
Outcome run_in_child(const std::function<void()>& body);

// Runs body in a child whose current directory, made under parent, has been
// removed: the directory can no longer be named.
Outcome run_in_removed_directory(const std::string& parent, const std::function<void()>& body);

struct Invocation {
    std::vector<std::string> argv;
    std::string cwd;
    std::vector<std::string> env;
    std::function<void()> prepare = nullptr;  // runs in the child just before exec
};

// Runs a program as a user would, with exactly the given environment.
Outcome run_program(const Invocation& invocation);

// strings as the null-terminated array execve takes; it points into strings.
std::vector<char*> exec_vector(const std::vector<std::string>& strings);

// Waits for the child pid; returns its exit status, or 128 + the signal that
// ended it.
int wait_for(int pid);

// A new directory under the system's temporary directory.
std::string make_temp_dir();
void remove_tree(const std::string& path);
std::string read_file(const std::string& path);
// Writes content to path, making its parent directories.
void write_file(const std::string& path, const std::string& content);
// The names in a directory, hidden ones included, sorted.
std::vector<std::string> list_dir(const std::string& path);
// Bytes that no test could mistake for anything else.
std::string random_bytes(size_t count);
// A TCP port on 127.0.0.1 with nothing listening.
int closed_port();

// The loopback server, started once per test process from
// tests/loopback_server.py and stopped when the process ends.
struct Loopback {
    int http;
    int https;
    int expired;      // TLS with an expired server certificate
    int self_signed;  // TLS with a server certificate that signs itself
    int proxy;
    int silent;
    std::string ca;        // trust anchor for the https listener
    std::string other_ca;  // an unrelated CA
    std::string log;       // requests, one JSON line each
    std::string docroot;
    std::string http_url(const std::string& path) const;
    std::string https_url(const std::string& path) const;
    // Puts content under the docroot at path ("/a/b.cer").
    void serve(const std::string& path, const std::string& content) const;
    // The request log lines whose path is exactly path.
    std::vector<std::string> requests_for(const std::string& path) const;
};
const Loopback& loopback();

#endif
