// Running the duplicate-removal cores in process on SAM text written inline,
// and listing what they kept as "name@pos" (1-based) in output order.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bam/sam.h"
#include "common/test_util.h"
#include "tools/bam_rmdup.h"
#include "tools/bam_rmdupse.h"

namespace rmdup_test {

// Two references; read groups a and b in libraries L1 and L2, c without one.
inline const std::string header_text =
    "@SQ\tSN:chr1\tLN:100000\n@SQ\tSN:chr2\tLN:100000\n"
    "@RG\tID:a\tLB:L1\n@RG\tID:b\tLB:L2\n@RG\tID:c\tSM:s\n";

// One SAM line; the sequence length follows the CIGAR, every base has
// quality `q` ('*' for none).  An empty `rg` leaves the RG tag out.
struct sam_rec {
    std::string name;
    int flag;
    std::string ref;
    int pos;  // 1-based, 0 for none
    std::string cigar = "4M";
    int isize = 0;
    char q = 'I';
    std::string rg = "a";
    std::string mref = "=";
    int mpos = 0;
};

inline int query_length(const std::string& cigar) {
    int len = 0, n = 0;
    for (char c : cigar) {
        if (c >= '0' && c <= '9') {
            n = n * 10 + (c - '0');
            continue;
        }
        if (c == 'M' || c == 'I' || c == 'S' || c == '=' || c == 'X') len += n;
        n = 0;
    }
    return len;
}

inline std::string sam_line(const sam_rec& r) {
    int len = r.cigar == "*" ? 4 : query_length(r.cigar);
    std::string line = r.name + "\t" + std::to_string(r.flag) + "\t" + r.ref + "\t" + std::to_string(r.pos) + "\t30\t" + r.cigar +
                       "\t" + r.mref + "\t" + std::to_string(r.mpos) + "\t" + std::to_string(r.isize) + "\t" +
                       std::string(static_cast<size_t>(len), 'A') + "\t" +
                       (r.q == '*' ? std::string("*") : std::string(static_cast<size_t>(len), r.q));
    if (!r.rg.empty()) line += "\tRG:Z:" + r.rg;
    return line + "\n";
}

inline std::string sam_text(const std::vector<sam_rec>& recs) {
    std::string text = header_text;
    for (const auto& r : recs) text += sam_line(r);
    return text;
}

// "name@pos" for each record of SAM text without header, space-separated.
inline std::string kept_of(const std::string& sam) {
    std::string out;
    for (size_t at = 0; at < sam.size();) {
        size_t eol = sam.find('\n', at);
        if (eol == std::string::npos) eol = sam.size();
        std::vector<std::string> f;
        for (size_t p = at; p <= eol;) {
            size_t tab = sam.find('\t', p);
            if (tab == std::string::npos || tab > eol) tab = eol;
            f.push_back(sam.substr(p, tab - p));
            p = tab + 1;
        }
        if (f.size() > 3) out += (out.empty() ? "" : " ") + f[0] + "@" + f[3];
        at = eol + 1;
    }
    return out;
}

enum class rmdup_mode { paired, single, single_forced };

struct core_result {
    int ret = 0;
    std::string kept;  // as kept_of
    std::string err;
};

inline core_result run_core(const std::string& sam, rmdup_mode mode) {
    test_util::scratch_dir dir;
    const std::string in_fn = dir.file("in.sam"), out_fn = dir.file("out.sam");
    test_util::write_file(in_fn, sam);
    core_result res;
    testing::internal::CaptureStderr();  // the reader's header line too
    samfile_ptr in(samopen(in_fn.c_str(), "r", nullptr));
    samfile_ptr out(in ? samopen(out_fn.c_str(), "w", in->header) : nullptr);
    std::string opened = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(in && out) << opened;
    if (!in || !out) return res;
    testing::internal::CaptureStderr();
    res.ret = mode == rmdup_mode::paired
                  ? bam_rmdup_core(in.get(), out.get(), in_fn.c_str(), out_fn.c_str())
                  : bam_rmdupse_core(in.get(), out.get(), mode == rmdup_mode::single_forced, in_fn.c_str(), out_fn.c_str());
    res.err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(samclose(out.release()), 0);
    res.kept = kept_of(test_util::read_file(out_fn));
    return res;
}

}  // namespace rmdup_test
