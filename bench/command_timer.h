// Timing a command run as its own process, for benchmarks of the executable.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zlib_floor.h"

namespace bench {

// Runs `argv` (argv[0] a path) with standard output to `out` and standard
// error to `err` (inherited when empty); returns seconds.  A failing command
// ends the benchmark.
inline double time_command(const std::vector<std::string>& argv, const std::string& out = "/dev/null",
                           const std::string& err = "") {
    auto t0 = clock_type::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        if (!err.empty()) dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double t = seconds_since(t0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: %s %s failed\n", argv[0].c_str(), argv.size() > 1 ? argv[1].c_str() : "");
        std::exit(1);
    }
    return t;
}

// Peak resident size in kB from /usr/bin/time -v output.
inline long max_rss_kb(const std::string& time_output) {
    const char* key = "Maximum resident set size (kbytes): ";
    size_t at = time_output.find(key);
    return at == std::string::npos ? -1 : std::atol(time_output.c_str() + at + std::strlen(key));
}

}  // namespace bench
