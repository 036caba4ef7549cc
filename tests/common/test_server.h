// Loopback HTTP and FTP servers for tests (tests/io/test_servers.py, one
// process per server, killed with the object) and scoped settings.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/knetfile.h"

namespace test_util {

struct knet_closer {
    void operator()(knetFile* fp) const { knet_close(fp); }
};
using knet_ptr = std::unique_ptr<knetFile, knet_closer>;

// Sets (or, with nullopt, unsets) an environment variable for one scope.
class env_guard {
public:
    env_guard(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) setenv(name, value->c_str(), 1);
        else unsetenv(name);
    }
    ~env_guard() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }
    env_guard(const env_guard&) = delete;
    env_guard& operator=(const env_guard&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Gives a process-wide setting another value for one scope.
template <class T>
class scoped_value {
public:
    scoped_value(T& var, T value) : var_(var), old_(var) { var_ = value; }
    ~scoped_value() { var_ = old_; }
    scoped_value(const scoped_value&) = delete;
    scoped_value& operator=(const scoped_value&) = delete;

private:
    T& var_;
    T old_;
};

// One server process of test_servers.py; port() is 0 when it did not come
// up.  Its standard error goes to `err_path`, away from the messages the
// tests capture.  The process is killed and reaped with the object.
class test_server {
public:
    test_server(const std::vector<std::string>& args, const std::string& err_path) {
        int out[2];
        if (pipe(out) != 0) return;
        std::vector<std::string> argv{"python3", ALNKIT_TEST_DIR "/io/test_servers.py"};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (err >= 0) dup2(err, 2);
            close(out[0]);
            close(out[1]);
            std::vector<char*> cargv;
            for (auto& a : argv) cargv.push_back(a.data());
            cargv.push_back(nullptr);
            execvp(cargv[0], cargv.data());
            _exit(127);
        }
        close(out[1]);
        // The port line is printed once the server listens.
        std::string line;
        pollfd pfd{out[0], POLLIN, 0};
        while (pid_ > 0 && line.find('\n') == std::string::npos && poll(&pfd, 1, 20000) > 0) {
            char c[64];
            ssize_t n = read(out[0], c, sizeof c);
            if (n <= 0) break;
            line.append(c, static_cast<size_t>(n));
        }
        close(out[0]);
        if (line.find('\n') != std::string::npos) port_ = std::atoi(line.c_str());
    }
    ~test_server() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    test_server(const test_server&) = delete;
    test_server& operator=(const test_server&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& scheme, const std::string& path) const {
        return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace test_util
