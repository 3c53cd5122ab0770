#include "support.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

int capture_file(std::string* path) {
    std::string pattern = fs::temp_directory_path() / "ca-import-capture-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    *path = name.data();
    return fd;
}

std::string take_file(const std::string& path) {
    std::string content = read_file(path);
    unlink(path.c_str());
    return content;
}

}  // namespace

Outcome run_in_child(const std::function<void()>& body) {
    std::string out_path, err_path;
    int out = capture_file(&out_path);
    int err = capture_file(&err_path);
    // Anything still buffered would be written a second time by the child.
    (void)std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        body();
        (void)std::fflush(nullptr);
        _exit(0);
    }
    close(out);
    close(err);
    Outcome outcome;
    outcome.status = wait_for(pid);
    outcome.out = take_file(out_path);
    outcome.err = take_file(err_path);
    return outcome;
}

std::vector<char*> exec_vector(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const std::string& text : strings) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

int wait_for(int pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Outcome run_in_removed_directory(const std::string& parent, const std::function<void()>& body) {
    std::string doomed = parent + "/removed";
    fs::create_directory(doomed);
    return run_in_child([&] {
        if (chdir(doomed.c_str()) != 0 || rmdir(doomed.c_str()) != 0) {
            std::perror("test: cannot remove the working directory");
            _exit(126);
        }
        body();
    });
}

Outcome run_program(const Invocation& invocation) {
    return run_in_child([&] {
        if (chdir(invocation.cwd.c_str()) != 0) {
            std::perror("test: cannot enter the working directory");
            _exit(126);
        }
        if (invocation.prepare) {
            invocation.prepare();
        }
        std::vector<char*> argv = exec_vector(invocation.argv);
        std::vector<char*> env = exec_vector(invocation.env);
        execve(argv[0], argv.data(), env.data());
        std::perror("test: cannot start the program");
        _exit(127);
    });
}

std::string make_temp_dir() {
    std::string pattern = fs::temp_directory_path() / "ca-import-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return name.data();
}

void remove_tree(const std::string& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string random_bytes(size_t count) {
    static std::mt19937 generator(std::random_device{}());
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xff);
    }
    return bytes;
}

int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot find a free port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

std::string Loopback::http_url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(http) + path;
}

std::string Loopback::https_url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(https) + path;
}

void Loopback::serve(const std::string& path, const std::string& content) const {
    write_file(docroot + path, content);
}

std::vector<std::string> Loopback::requests_for(const std::string& path) const {
    std::vector<std::string> found;
    std::ifstream in(log);
    std::string line;
    std::string key = "\"path\": \"" + path + "\"";
    while (std::getline(in, line)) {
        if (line.find(key) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

namespace {

int json_int(const std::string& json, const std::string& key) {
    std::smatch match;
    if (!std::regex_search(json, match, std::regex("\"" + key + "\": (\\d+)"))) {
        throw std::runtime_error("loopback server did not name " + key + ": " + json);
    }
    return std::stoi(match[1]);
}

std::string json_string(const std::string& json, const std::string& key) {
    std::smatch match;
    if (!std::regex_search(json, match, std::regex("\"" + key + "\": \"([^\"]*)\""))) {
        throw std::runtime_error("loopback server did not name " + key + ": " + json);
    }
    return match[1];
}

pid_t loopback_owner = 0;
std::string loopback_root;

// Only the process that started the server cleans up after it: children
// forked by run_in_child also run exit handlers.
void remove_loopback_root() {
    if (getpid() == loopback_owner) {
        remove_tree(loopback_root);
    }
}

Loopback start_loopback() {
    std::string root = make_temp_dir();
    loopback_owner = getpid();
    loopback_root = root;
    (void)std::atexit(remove_loopback_root);
    std::string state = root + "/state";
    std::string docroot = root + "/docroot";
    fs::create_directories(state);
    fs::create_directories(docroot);
    int to_server[2], from_server[2];
    if (pipe2(to_server, O_CLOEXEC) != 0 || pipe2(from_server, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    (void)std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(to_server[0], STDIN_FILENO);
        dup2(from_server[1], STDOUT_FILENO);
        execl(PYTHON3, PYTHON3, LOOPBACK_SERVER, "--state", state.c_str(), "--docroot",
              docroot.c_str(), "--authority-host", CA_IMPORT_DEFAULT_HOST,
              static_cast<char*>(nullptr));
        std::perror("cannot start " PYTHON3);
        _exit(127);
    }
    close(to_server[0]);
    close(from_server[1]);
    // The write end stays open for the life of this process: the server
    // stops when it sees the end of its input.
    std::string line;
    char c;
    while (read(from_server[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    close(from_server[0]);
    Loopback server;
    server.http = json_int(line, "http");
    server.https = json_int(line, "https");
    server.expired = json_int(line, "expired");
    server.self_signed = json_int(line, "self_signed");
    server.proxy = json_int(line, "proxy");
    server.silent = json_int(line, "silent");
    server.ca = json_string(line, "ca");
    server.other_ca = json_string(line, "other_ca");
    server.log = json_string(line, "log");
    server.docroot = docroot;
    return server;
}

}  // namespace

const Loopback& loopback() {
    static const Loopback server = start_loopback();
    return server;
}
