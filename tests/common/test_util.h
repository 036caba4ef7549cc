// Helpers shared by the tests: scratch directories, whole-file I/O and
// running the alnkit executable with its output captured.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace test_util {

// A fresh directory under the system temporary directory, removed with its
// contents when the object goes out of scope.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// `n` pseudo-random bytes, the same for the same seed.
std::string random_bytes(size_t n, uint32_t seed);

// `n` bytes of SAM-like text lines (compressible, unlike random bytes).
std::string text_bytes(size_t n);

// Uncompressed size of each block of a BGZF file, from the block footers.
std::vector<uint32_t> block_isizes(const std::string& f);

// `s` with one bit flipped: bit `bit` counted from the low bit of byte `at`
// upwards, so a multi-byte little-endian field is addressed by its bit.
std::string flip_bit(std::string s, size_t at, int bit);

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
// The pieces of `s` between separators; a trailing separator adds no empty piece.
std::vector<std::string> split(const std::string& s, char sep);
// Writes `content` gzip-compressed.
void write_gzip_file(const std::string& path, const std::string& content);

struct run_result {
    int status = -1;  // exit status, or 128 + signal number
    int signal = 0;   // the signal that ended the process, if one did
    std::string out, err;
};

// Runs `argv` (argv[0] is the program path) with `input` on standard input;
// `in_child`, when given, runs in the child just before the program starts
// (to set resource limits or the environment).
run_result run(const std::vector<std::string>& argv, const std::string& input = "", const std::function<void()>& in_child = {});
// Runs the alnkit executable under test with the given arguments.
run_result run_alnkit(const std::vector<std::string>& args, const std::string& input = "");
// Runs `argv` with every file it writes limited to `max_bytes`, as on a disk
// that fills up, standard output into `stdout_path` (/dev/null when empty)
// and `cwd` as working directory (unchanged when empty).  Standard error
// comes through a pipe, which the limit does not reach, so no message is lost.
run_result run_file_limited(const std::vector<std::string>& argv, long max_bytes, const std::string& stdout_path = "",
                            const std::string& cwd = "");

}  // namespace test_util
