// The duplicate-removal cores run in process on records built in memory:
// quality sums of reads long enough to pass 32 bits, and the single-end
// queue past its limit, where the drain stops at a reverse read that may
// still be replaced and a forward read written by the drain leaves its map.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bam/bam.h"
#include "bam/sam.h"
#include "common/record_util.h"
#include "common/test_util.h"
#include "tools/bam_rmdup.h"
#include "tools/bam_rmdupse.h"

namespace {

// On chr1: CIGAR `n_match`M (none when 0), `l_qseq` bases of quality `q`,
// the mate at the same place, no RG tag.
bam1_ptr make_read(const std::string& name, uint16_t flag, int32_t pos, uint32_t n_match, int32_t l_qseq, uint8_t q,
                   int32_t isize = 0) {
    bam1_ptr b = bam1_make();
    bam1_core_t* c = &b->core;
    c->tid = c->mtid = 0;
    c->pos = c->mpos = pos;
    c->flag = flag;
    c->isize = isize;
    c->l_qname = static_cast<uint8_t>(name.size() + 1);
    c->n_cigar = n_match ? 1 : 0;
    c->l_qseq = l_qseq;
    b->data_len = rec_data_len(c, 0);
    EXPECT_EQ(bam_grow_data(b.get(), static_cast<size_t>(b->data_len)), 0);
    std::memset(b->data, 0, static_cast<size_t>(b->data_len));
    std::memcpy(b->data, name.c_str(), name.size() + 1);
    if (n_match) cigar_set(rec_cigar(b.get()), 0, n_match << BAM_CIGAR_SHIFT | BAM_CMATCH);
    std::memset(rec_qual(b.get()), q, static_cast<size_t>(l_qseq));
    return b;
}

// Writes each record the number of times paired with it.
void write_bam(const std::string& fn, const std::vector<std::pair<const bam1_t*, long>>& recs) {
    bam_header_ptr h = test_util::make_header({"chr1"});
    samfile_ptr out(samopen(fn.c_str(), "wb", h.get()));
    ASSERT_TRUE(out);
    for (const auto& [b, n] : recs)
        for (long k = 0; k < n; ++k) ASSERT_GT(samwrite(out.get(), b), 0);
    ASSERT_EQ(samclose(out.release()), 0);
}

struct core_result {
    int ret = 0;
    std::vector<std::string> kept;  // "name@pos", 1-based
    std::string err;
};

// Runs the paired core (force_se < 0) or the single-end one.
core_result run_core(const std::string& in_fn, const std::string& out_fn, int force_se) {
    core_result res;
    samfile_ptr in(samopen(in_fn.c_str(), "rb", nullptr));
    samfile_ptr out(in && in->header ? samopen(out_fn.c_str(), "wb", in->header) : nullptr);
    EXPECT_TRUE(in && out);
    if (!in || !out) return res;
    testing::internal::CaptureStderr();
    res.ret = force_se < 0 ? bam_rmdup_core(in.get(), out.get(), in_fn.c_str(), out_fn.c_str())
                           : bam_rmdupse_core(in.get(), out.get(), force_se, in_fn.c_str(), out_fn.c_str());
    res.err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(samclose(out.release()), 0);
    samfile_ptr back(samopen(out_fn.c_str(), "rb", nullptr));
    bam1_ptr b = bam1_make();
    while (back && samread(back.get(), b.get()) >= 0)
        res.kept.push_back(std::string(rec_qname(b.get())) + "@" + std::to_string(b->core.pos + 1));
    return res;
}

// 16843010 bases of quality 255 sum to 2^32 + 254: such a read wins over 100
// bases of quality 40 (4000) only when the sum does not wrap.
TEST(BamRmdup, QualitySumsOfLongReadsDoNotWrap) {
    constexpr int32_t long_len = 16843010;
    static_assert(255LL * long_len == (1LL << 32) + 254);
    test_util::scratch_dir dir;
    const std::string in = dir.file("in.bam");
    bam1_ptr recs[] = {make_read("short", 99, 99, 100, 100, 40, 300), make_read("long", 99, 99, long_len, long_len, 255, 300),
                       make_read("short", 147, 299, 4, 4, 40, -300), make_read("long", 147, 299, 4, 4, 40, -300)};
    write_bam(in, {{recs[0].get(), 1}, {recs[1].get(), 1}, {recs[2].get(), 1}, {recs[3].get(), 1}});
    // Paired: the long pair replaces the short one.  -S: the long read takes
    // the short one's place; the reverse mates tie and the first stays.
    for (const auto& [force_se, kept] : {std::pair{-1, std::vector<std::string>{"long@100", "long@300"}},
                                         std::pair{1, std::vector<std::string>{"long@100", "short@300"}}}) {
        core_result r = run_core(in, dir.file("out.bam"), force_se);
        EXPECT_EQ(r.ret, 0);
        EXPECT_EQ(r.kept, kept);
    }
}

// F2 finds one read more than RMDUPSE_QUEUE_MAX queued and starts a drain:
// F1 is written, R1 (ending at 109) waits with everything behind it.  F2 then
// starts a new entry instead of meeting F1, which has left; R2 still replaces
// R1.  The unmapped reads before F1 have long been written when F2 comes,
// but the limit counts them as the queue would have held them.
TEST(BamRmdupse, AnOverlongQueueDrainsUpToAWaitingReverseRead) {
    test_util::scratch_dir dir;
    const std::string in = dir.file("in.bam");
    bam1_ptr fill_a = make_read("a", 4, 49, 0, 0, 0), fill_b = make_read("b", 4, 99, 0, 0, 0);  // unmapped: pass
    bam1_ptr f1 = make_read("F1", 0, 99, 4, 4, 30), r1 = make_read("R1", 16, 99, 10, 10, 30);
    bam1_ptr f2 = make_read("F2", 0, 99, 4, 4, 40), r2 = make_read("R2", 16, 103, 6, 6, 60);
    const long n_a = 1000, n_b = RMDUPSE_QUEUE_MAX - 1 - n_a;
    write_bam(in, {{fill_a.get(), n_a}, {f1.get(), 1}, {r1.get(), 1}, {fill_b.get(), n_b}, {f2.get(), 1}, {r2.get(), 1}});
    core_result r = run_core(in, dir.file("out.bam"), 0);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.err, "[bam_rmdupse_core] 1 / 4 = 0.2500 in library '\t'\n");
    std::vector<std::string> want(static_cast<size_t>(n_a), "a@50");
    want.push_back("F1@100");
    want.resize(want.size() + static_cast<size_t>(n_b), "b@100");
    want.insert(want.end(), {"F2@100", "R2@104"});
    EXPECT_TRUE(r.kept == want) << r.kept.size() << " records";
}

}  // namespace
