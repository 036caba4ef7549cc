// Helpers of the damaged-input suite: guarded runs of the executable (time,
// memory and signal limits), the BGZF block layout and decompressed stream of
// a file, the byte positions of BAM header and record fields in that stream,
// and the checks every damaged case must pass.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "io/bgzf.h"

namespace corrupt {

// A finished run; `signal` is the signal that ended it, 0 for a normal exit
// (whose status may be anything up to 255, e.g. a command returning -1).
using outcome = test_util::run_result;

// Runs alnkit limited to 20 s of processor time and about 1 GiB of address
// space, set in the child itself so that no shell or timer process is needed.
// Address space limits do not work under AddressSanitizer, which reserves
// terabytes of it; there the sanitizer's resident-memory limit takes over.
inline outcome run_guarded(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> argv = {ALNKIT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return test_util::run(argv, input, [] {
        rlimit cpu{20, 21};
        setrlimit(RLIMIT_CPU, &cpu);
#ifdef ALNKIT_SANITIZE_BUILD
        setenv("ASAN_OPTIONS", "abort_on_error=1:detect_leaks=1:hard_rss_limit_mb=1024", 1);
        setenv("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1:abort_on_error=1", 1);
#else
        rlimit as{rlim_t{1} << 30, rlim_t{1} << 30};
        setrlimit(RLIMIT_AS, &as);
#endif
    });
}

// Whether case `k` of a damaged-file sweep runs.  Every case starts its own
// processes, which under the sanitizers makes a sweep take minutes; there
// every seventh case runs (always the same ones, so failures reproduce).
inline bool sampled(size_t k) {
#ifdef ALNKIT_SANITIZE_BUILD
    return k % 7 == 0;
#else
    (void)k;
    return true;
#endif
}

inline size_t count_lines(const std::string& s) {
    size_t n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

inline std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < s.size();) {
        size_t eol = s.find('\n', at);
        if (eol == std::string::npos) eol = s.size();
        lines.push_back(s.substr(at, eol - at));
        at = eol + 1;
    }
    return lines;
}

// What a command did with one damaged input, judged against the intact file:
// it must not crash, hang or run out of memory; a failure must say something;
// a success must keep every record (`complete`) or, where the case allows a
// shorter defined result (a file cut at a block boundary), warn and keep
// exactly the records that are still whole (`partial`).
struct expectation {
    size_t complete = 0;
    bool allow_partial = false;
    size_t partial = 0;
};

inline void check_run(const std::string& what, const outcome& r) {
    ASSERT_EQ(r.signal, 0) << what << ": killed by signal " << r.signal << " (crash, time or memory limit)\n"
                           << r.err.substr(0, 2000);
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << what << "\n" << r.err.substr(0, 4000);
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << what << "\n" << r.err.substr(0, 4000);
    if (r.status != 0) {
        EXPECT_FALSE(r.err.empty()) << what << ": status " << r.status << " without a message";
    }
}

inline void check_records(const std::string& what, const outcome& r, size_t n_out, const expectation& e) {
    check_run(what, r);
    if (r.status != 0) return;
    if (n_out == e.complete) return;
    if (e.allow_partial && n_out == e.partial && !r.err.empty()) return;
    ADD_FAILURE() << what << ": status 0 with " << n_out << " records, expected " << e.complete
                  << (e.allow_partial ? " (or " + std::to_string(e.partial) + " with a warning)" : "") << "\n"
                  << r.err.substr(0, 2000);
}

// ---- BGZF layout ----

struct block_t {
    size_t offset = 0, size = 0;          // compressed position and length
    size_t data_start = 0, data_len = 0;  // position and length in the decompressed stream
};

inline uint32_t load_le(const std::string& s, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])) << (8 * i);
    return v;
}

inline void store_le32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// The blocks of an intact BGZF file and its decompressed content.
inline std::vector<block_t> read_blocks(const std::string& file, std::string* data) {
    std::vector<block_t> blocks;
    data->clear();
    std::vector<unsigned char> out(65536);
    for (size_t at = 0; at < file.size();) {
        if (file.size() - at < 28) throw std::runtime_error("short BGZF block");
        block_t b;
        b.offset = at;
        b.size = load_le(file, at + 16, 2) + 1;
        z_stream zs{};
        inflateInit2(&zs, -15);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + at + 18));
        zs.avail_in = static_cast<uInt>(b.size - 26);
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        if (inflate(&zs, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("bad BGZF block");
        b.data_start = data->size();
        b.data_len = zs.total_out;
        data->append(reinterpret_cast<const char*>(out.data()), zs.total_out);
        inflateEnd(&zs);
        blocks.push_back(b);
        at += b.size;
    }
    return blocks;
}

// Compresses `data` into a BGZF file with the project's writer; mode "w0"
// stores the blocks, so that files of equal length have equal block offsets.
inline void write_bgzf(const std::string& path, const std::string& data, const char* mode = "w") {
    BGZF* fp = bgzf_open(path.c_str(), mode);
    if (!fp) throw std::runtime_error("cannot write " + path);
    for (size_t at = 0; at < data.size(); at += 65536) {
        int n = static_cast<int>(std::min<size_t>(65536, data.size() - at));
        bgzf_write(fp, data.data() + at, n);
    }
    bgzf_close(fp);
}

// ---- BAM layout in the decompressed stream ----

struct bam_layout_t {
    size_t l_text_at = 0, n_ref_at = 0;
    std::vector<size_t> l_name_at, l_ref_at;  // per reference
    std::vector<size_t> records;              // offset of each record's block_size
    size_t end = 0;
};

inline bam_layout_t parse_bam(const std::string& d) {
    bam_layout_t l;
    l.l_text_at = 4;
    size_t at = 8 + load_le(d, 4, 4);
    l.n_ref_at = at;
    uint32_t n_ref = load_le(d, at, 4);
    at += 4;
    for (uint32_t i = 0; i < n_ref; ++i) {
        l.l_name_at.push_back(at);
        at += 4 + load_le(d, at, 4);
        l.l_ref_at.push_back(at);
        at += 4;
    }
    while (at < d.size()) {
        l.records.push_back(at);
        at += 4 + load_le(d, at, 4);
    }
    l.end = at;
    return l;
}

// Field positions inside the record that starts at `r`.
inline size_t rec_tid_at(size_t r) { return r + 4; }
inline size_t rec_pos_at(size_t r) { return r + 8; }
inline size_t rec_l_qname_at(size_t r) { return r + 12; }
inline size_t rec_mtid_at(size_t r) { return r + 24; }
inline size_t rec_n_cigar_at(size_t r) { return r + 16; }
inline size_t rec_l_seq_at(size_t r) { return r + 20; }
inline size_t rec_data_at(size_t r) { return r + 36; }
inline size_t rec_cigar_at(const std::string& d, size_t r) { return rec_data_at(r) + static_cast<uint8_t>(d[rec_l_qname_at(r)]); }
inline size_t rec_aux_at(const std::string& d, size_t r) {
    uint32_t l_seq = load_le(d, rec_l_seq_at(r), 4);
    return rec_cigar_at(d, r) + 4 * load_le(d, rec_n_cigar_at(r), 2) + l_seq + (l_seq + 1) / 2;
}
inline size_t rec_end(const std::string& d, size_t r) { return r + 4 + load_le(d, r, 4); }

}  // namespace corrupt
