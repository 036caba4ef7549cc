// Running the duplicate-removal cores in process on SAM text written inline,
// and listing what they kept as "name@pos" (1-based) in output order.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bam/bam.h"
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

// A record built in memory: CIGAR `n_match`M (none when 0), `l_qseq` bases
// of quality `q`, the mate at the same place, no optional fields.
inline bam1_ptr make_read(const std::string& name, uint16_t flag, int32_t tid, int32_t pos, uint32_t n_match, int32_t l_qseq,
                          uint8_t q, int32_t isize = 0) {
    bam1_ptr b = bam1_make();
    bam1_core_t* c = &b->core;
    c->tid = c->mtid = tid;
    c->pos = c->mpos = pos;
    c->flag = flag;
    c->qual = 30;
    c->isize = isize;
    c->l_qname = static_cast<uint8_t>(name.size() + 1);
    c->n_cigar = n_match ? 1 : 0;
    c->l_qseq = l_qseq;
    b->l_aux = 0;
    b->data_len = rec_data_len(c, 0);
    EXPECT_EQ(bam_grow_data(b.get(), static_cast<size_t>(b->data_len)), 0);
    std::memset(b->data, 0, static_cast<size_t>(b->data_len));
    std::memcpy(b->data, name.c_str(), name.size() + 1);
    if (n_match) cigar_set(rec_cigar(b.get()), 0, n_match << BAM_CIGAR_SHIFT | BAM_CMATCH);
    std::memset(rec_qual(b.get()), q, static_cast<size_t>(l_qseq));
    return b;
}

// "name@pos" (1-based) of every record of a BAM file, space-separated.
inline std::string kept_of_bam(const std::string& fn) {
    samfile_ptr in(samopen(fn.c_str(), "rb", nullptr));
    EXPECT_TRUE(in && in->header);
    std::string out;
    if (!in || !in->header) return out;
    bam1_ptr b = bam1_make();
    int r;
    while ((r = samread(in.get(), b.get())) >= 0) {
        if (!out.empty()) out += ' ';
        out.append(rec_qname(b.get())).append("@").append(std::to_string(b->core.pos + 1));
    }
    EXPECT_EQ(r, -1);
    return out;
}

enum class rmdup_mode { paired, single, single_forced };

struct core_result {
    int ret = 0;
    std::string kept;  // as kept_of
    std::string err;
};

inline int call_core(samfile_t* in, samfile_t* out, rmdup_mode mode, const std::string& fn_in, const std::string& fn_out) {
    return mode == rmdup_mode::paired
               ? bam_rmdup_core(in, out, fn_in.c_str(), fn_out.c_str())
               : bam_rmdupse_core(in, out, mode == rmdup_mode::single_forced, fn_in.c_str(), fn_out.c_str());
}

// Runs a core from one BAM file to another.
inline core_result run_core_bam(const std::string& in_fn, const std::string& out_fn, rmdup_mode mode) {
    core_result res;
    samfile_ptr in(samopen(in_fn.c_str(), "rb", nullptr));
    samfile_ptr out(in && in->header ? samopen(out_fn.c_str(), "wb", in->header) : nullptr);
    EXPECT_TRUE(in && out);
    if (!in || !out) return res;
    testing::internal::CaptureStderr();
    res.ret = call_core(in.get(), out.get(), mode, in_fn, out_fn);
    res.err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(samclose(out.release()), 0);
    res.kept = kept_of_bam(out_fn);
    return res;
}

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
    res.ret = call_core(in.get(), out.get(), mode, in_fn, out_fn);
    res.err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(samclose(out.release()), 0);
    res.kept = kept_of(test_util::read_file(out_fn));
    return res;
}

}  // namespace rmdup_test
