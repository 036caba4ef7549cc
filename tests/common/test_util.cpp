#include "common/test_util.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace test_util {

scratch_dir::scratch_dir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "alnkit-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

scratch_dir::~scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xff);
    return s;
}

std::string text_bytes(size_t n) {
    std::string s;
    while (s.size() < n) {
        s.append(1, 'r');
        s.append(std::to_string(s.size()));
        s.append("\t99\tchr1\t12345\t60\t100M\t=\t12500\t250\tACGTACGTAC\n");
    }
    s.resize(n);
    return s;
}

std::vector<uint32_t> block_isizes(const std::string& f) {
    std::vector<uint32_t> sizes;
    auto u8 = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(f[i])); };
    for (size_t p = 0, size; p + 18 <= f.size() && p + (size = (u8(p + 16) | u8(p + 17) << 8) + 1) <= f.size(); p += size)
        sizes.push_back(u8(p + size - 4) | u8(p + size - 3) << 8 | u8(p + size - 2) << 16 | u8(p + size - 1) << 24);
    return sizes;
}

std::string flip_bit(std::string s, size_t at, int bit) {
    s[at + static_cast<size_t>(bit / 8)] ^= static_cast<char>(1 << (bit % 8));
    return s;
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary);
    f << content;
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string piece; std::getline(in, piece, sep);) out.push_back(piece);
    return out;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_gzip_file(const std::string& path, const std::string& content) {
    gzFile gz = gzopen(path.c_str(), "wb");
    if (!gz) throw std::runtime_error("cannot write " + path);
    if (!content.empty()) gzwrite(gz, content.data(), static_cast<unsigned>(content.size()));
    gzclose(gz);
}

namespace {

std::string slurp_fd(int fd) {
    std::string s;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, n);
    return s;
}

}  // namespace

run_result run(const std::vector<std::string>& argv, const std::string& input, const std::function<void()>& in_child) {
    // Standard streams go through temporary files, which avoids any pipe
    // dead-lock whatever the amount of output.
    scratch_dir dir;
    std::string in_path = dir.file("stdin"), out_path = dir.file("stdout"), err_path = dir.file("stderr");
    write_file(in_path, input);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (in_child) in_child();
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    run_result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    int fd = open(out_path.c_str(), O_RDONLY);
    r.out = slurp_fd(fd);
    close(fd);
    fd = open(err_path.c_str(), O_RDONLY);
    r.err = slurp_fd(fd);
    close(fd);
    return r;
}

run_result run_file_limited(const std::vector<std::string>& argv, long max_bytes, const std::string& stdout_path,
                            const std::string& cwd) {
    int err[2];
    if (pipe(err) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(stdout_path.empty() ? "/dev/null" : stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || (!cwd.empty() && chdir(cwd.c_str()) != 0)) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err[1], 2);
        close(err[0]);
        close(err[1]);
        rlimit limit{static_cast<rlim_t>(max_bytes), static_cast<rlim_t>(max_bytes)};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(err[1]);
    run_result r;
    r.err = slurp_fd(err[0]);
    close(err[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    return r;
}

run_result run_alnkit(const std::vector<std::string>& args, const std::string& input) {
    std::vector<std::string> argv{ALNKIT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, input);
}

}  // namespace test_util
