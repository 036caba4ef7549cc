// Text pileup entries at the edges the command-line tests do not reach
// (entries past the read or the reference end, missing qualities, forward
// reference skips), their byte bound, and the per-file depth cap.
#include "pileup/bam_plcmd.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A record of `seq` (bases as text) with qualities `qual` (text - 33; empty:
// missing, stored as 0xff) and mapping quality `mapq`; no CIGAR is needed
// by the text formatter.
bam1_ptr make_read(const std::string& seq, const std::string& qual, int mapq, bool is_rev) {
    bam1_ptr b = bam1_make();
    bam1_core_t* c = &b->core;
    c->l_qname = 2;
    c->l_qseq = static_cast<int32_t>(seq.size());
    c->qual = static_cast<uint8_t>(mapq);
    c->flag = is_rev ? BAM_FREVERSE : 0;
    b->data_len = rec_data_len(c, 0);
    EXPECT_EQ(bam_grow_data(b.get(), static_cast<size_t>(b->data_len)), 0);
    std::memcpy(b->data, "r", 2);
    uint8_t* s = rec_seq(b.get());
    std::memset(s, 0, static_cast<size_t>((seq.size() + 1) / 2));
    for (size_t i = 0; i < seq.size(); ++i)
        s[i / 2] |= static_cast<uint8_t>(bam_nt16_table[static_cast<uint8_t>(seq[i])] << (i % 2 ? 0 : 4));
    for (size_t i = 0; i < seq.size(); ++i) rec_qual(b.get())[i] = static_cast<uint8_t>(qual.empty() ? 0xff : qual[i] - 33);
    return b;
}

bam_pileup1_t entry(const bam1_t* b, int qpos, int indel = 0, bool is_del = false, bool is_refskip = false, bool is_head = false,
                    bool is_tail = false) {
    bam_pileup1_t e{};
    e.b = const_cast<bam1_t*>(b);
    e.qpos = qpos;
    e.indel = indel;
    e.is_del = is_del || is_refskip;
    e.is_refskip = is_refskip;
    e.is_head = is_head;
    e.is_tail = is_tail;
    return e;
}

std::string put(const std::vector<bam_pileup1_t>& plp, int pos, const char* ref, int ref_len, int flag) {
    const size_t bound = mplp_text_bound(static_cast<int>(plp.size()), plp.data());
    std::vector<char> buf(bound + 64, '#');
    char* end = mplp_put_entries(buf.data(), static_cast<int>(plp.size()), plp.data(), pos, ref, ref_len, flag);
    const size_t n = static_cast<size_t>(end - buf.data());
    EXPECT_LE(n, bound);
    return std::string(buf.data(), n);
}

TEST(MplpText, EntriesAtTheEdgesOfReadsAndReference) {
    const char ref[] = "ACGTN";  // 5 bases
    const bam1_ptr fwd = make_read("ACGTA", "ABCDE", 200, false);
    const bam1_ptr rev = make_read("NCG", "", 10, true);
    struct text_case {
        const char* what;
        std::vector<bam_pileup1_t> plp;
        int pos, flag;
        const char* ref;
        std::string want;
    };
    const text_case cases[] = {
        {"forward skip, head above 93, -s and -O",
         {entry(fwd.get(), 2, 0, false, true, true), entry(fwd.get(), 1)},
         1,
         MPLP_PRINT_MAPQ | MPLP_PRINT_POS,
         ref,
         "\t2\t^~>.\tCB\t~~\t3,2"},
        {"deletion at the read end: no base, no quality",
         {entry(fwd.get(), 5, 0, true, false, false, true)},
         4,
         0,
         ref,
         "\t1\t*$\t~"},
        {"insertion running past the read, deletion past the reference",
         {entry(fwd.get(), 3, 3), entry(rev.get(), 2, -3)},
         3,
         0,
         ref,
         "\t2\t.+3ANNg-3nnn\tD~"},
        {"missing qualities; N read base against N reference and past its end", {entry(rev.get(), 0)}, 4, 0, ref, "\t1\t,\t~"},
        {"past the reference end the base is N", {entry(rev.get(), 0)}, 9, 0, ref, "\t1\t,\t~"},
        {"without a reference N is a base", {entry(rev.get(), 0), entry(fwd.get(), 0)}, 0, 0, nullptr, "\t2\tnA\t~A"},
        {"no entries with both extra columns", {}, 0, MPLP_PRINT_MAPQ | MPLP_PRINT_POS, ref, "\t0\t*\t*\t*\t*"},
        {"no entries with read positions only", {}, 0, MPLP_PRINT_POS, ref, "\t0\t*\t*\t*"},
    };
    for (const text_case& c : cases) EXPECT_EQ(put(c.plp, c.pos, c.ref, 5, c.flag), c.want) << c.what;
}

TEST(MplpText, DepthCapSpreadsEightThousandOverTheSamples) {
    struct cap_case {
        int max_depth, n_samples, want;
    };
    for (const cap_case& c : {cap_case{250, 1, 8000}, cap_case{250, 3, 2666}, cap_case{250, 32, 250}, cap_case{7999, 1, 8000},
                              cap_case{8000, 1, 8000}, cap_case{INT_MAX, 3, INT_MAX}, cap_case{0, 7, 1142}})
        EXPECT_EQ(mplp_depth_cap(c.max_depth, c.n_samples), c.want) << c.max_depth << " " << c.n_samples;
}

}  // namespace
