// targetcut's pieces: the consensus of crafted columns against the error
// model's formulas evaluated here from binomial tails, the segmentation
// against an exhaustive search over all paths, and the report line.
#include "tools/cut_target.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/errmod_expect.h"

namespace {

const errmod_t* model() {
    static errmod_t* em = errmod_init(0.17f);
    return em;
}

// A one-base read.
struct base_t {
    char base;
    int qual, mapq;
    bool reverse;
};

bam1_ptr one_base_read(const base_t& x) {
    bam1_ptr b = bam1_make();
    bam1_core_t* c = &b->core;
    c->tid = 0;
    c->qual = static_cast<uint8_t>(x.mapq);
    c->flag = x.reverse ? BAM_FREVERSE : 0;
    c->l_qname = 2;
    c->n_cigar = 1;
    c->l_qseq = 1;
    c->mtid = -1;
    b->data_len = rec_data_len(c, 0);
    EXPECT_EQ(bam_grow_data(b.get(), static_cast<size_t>(b->data_len)), 0);
    std::memcpy(b->data, "r", 2);
    cigar_set(rec_cigar(b.get()), 0, 1 << BAM_CIGAR_SHIFT | BAM_CMATCH);
    rec_seq(b.get())[0] = static_cast<uint8_t>(bam_nt16_table[static_cast<unsigned char>(x.base)] << 4);
    rec_qual(b.get())[0] = static_cast<uint8_t>(x.qual);
    return b;
}

// The expected consensus value of the usable bases: the k-th base of allele a
// (best first) costs fk[earlier bases of a on its strand] * beta[q][n][k];
// the homozygote of a base scores the other alleles' costs.
uint16_t expected_cns(std::vector<base_t> in, int min_baseQ) {
    std::vector<base_t> used;
    for (const base_t& x : in) {
        const char* p = std::strchr("ACGT", x.base);
        if (x.qual >= min_baseQ && p && x.base) used.push_back(x);
    }
    if (used.empty()) return 0;
    const int n = static_cast<int>(used.size());
    auto packed = [](const base_t& x) {
        int q = std::clamp(std::min(x.qual, x.mapq), 4, 63);
        return q << 5 | (x.reverse ? 16 : 0) | static_cast<int>(std::strchr("ACGT", x.base) - "ACGT");
    };
    std::sort(used.begin(), used.end(), [&](const base_t& a, const base_t& b) { return packed(a) > packed(b); });
    double bsum[4] = {};
    int cnt[4] = {}, strand[4][2] = {};
    for (const base_t& x : used) {
        const int v = packed(x), a = v & 3, s = v >> 4 & 1;
        bsum[a] += test_util::dependency_weight(strand[a][s]) * test_util::binomial_beta(v >> 5, n, cnt[a]);
        ++cnt[a];
        ++strand[a][s];
    }
    int score[4];
    for (int i = 0; i < 4; ++i) {
        float s = 0;
        for (int a = 0; a < 4; ++a)
            if (a != i) s = static_cast<float>(s + bsum[a]);
        score[i] = static_cast<int>(s + .499);
    }
    int best = 0;
    for (int i = 1; i < 4; ++i)
        if (score[i] < score[best]) best = i;
    int second = best == 0 ? 1 : 0;
    for (int i = 0; i < 4; ++i)
        if (i != best && score[i] < score[second]) second = i;
    const int qual = std::min(score[second] - score[best], 63);
    return static_cast<uint16_t>((qual << 2 | best) << 8 | std::min(n, 255));
}

struct column_case {
    const char* what;
    std::vector<base_t> bases;
    int min_baseQ;
    uint16_t want;  // worked by hand from the rules; 0xffff: only the formulas
};

TEST(CutTargetConsensus, CraftedColumnsFollowTheErrorModel) {
    const base_t a30{'A', 30, 60, false}, c30{'C', 30, 60, false}, g30{'G', 30, 60, false};
    std::vector<base_t> deep(300, base_t{'T', 40, 60, false});
    const std::vector<column_case> cases = {
        {"one base: its quality", {a30}, 13, static_cast<uint16_t>(1 | (30 << 2 | 0) << 8)},
        {"mapping quality caps the base quality", {{'G', 30, 20, false}}, 13, static_cast<uint16_t>(1 | (20 << 2 | 2) << 8)},
        {"qualities below 4 count as 4", {{'T', 30, 2, false}}, 13, static_cast<uint16_t>(1 | (4 << 2 | 3) << 8)},
        {"bases below the threshold are left out",
         {{'A', 12, 60, false}, c30},
         13,
         static_cast<uint16_t>(1 | (30 << 2 | 1) << 8)},
        {"no usable base", {{'A', 12, 60, false}, {'N', 30, 60, false}}, 13, 0},
        {"N is never a base", {{'N', 30, 60, false}, g30}, 0, static_cast<uint16_t>(1 | (30 << 2 | 2) << 8)},
        // A tie between A and C goes to A with quality 0: all of bits 8-15 are 0.
        {"tie of A and C", {a30, c30}, 13, 2},
        {"tie of C and G", {c30, g30}, 13, static_cast<uint16_t>(2 | 1 << 8)},
        {"two agreeing bases, one strand", {a30, a30}, 13, 0xffff},
        {"two agreeing bases, both strands", {a30, {'A', 30, 60, true}}, 13, 0xffff},
        {"majority with an error", {c30, c30, {'T', 25, 60, true}, c30}, 13, 0xffff},
        {"quality capped at 63, count at 255", deep, 13, static_cast<uint16_t>(255 | (63 << 2 | 3) << 8)},
    };
    std::vector<uint16_t> scratch;
    for (const column_case& c : cases) {
        std::vector<bam1_ptr> reads;
        std::vector<bam_pileup1_t> plp;
        for (const base_t& x : c.bases) {
            reads.push_back(one_base_read(x));
            plp.push_back(bam_pileup1_t{reads.back().get(), 0, 0, 0, 0, 0, 0, 0, 0});
        }
        const uint16_t got = ct_column_cns(model(), static_cast<int>(plp.size()), plp.data(), c.min_baseQ, &scratch);
        EXPECT_EQ(got, expected_cns(c.bases, c.min_baseQ)) << c.what;
        if (c.want != 0xffff) {
            EXPECT_EQ(got, c.want) << c.what;
        }
    }
}

TEST(CutTargetConsensus, DeletionsAndSkipsGiveNoBase) {
    bam1_ptr r = one_base_read({'C', 30, 60, false});
    std::vector<uint16_t> scratch;
    bam_pileup1_t del{r.get(), 0, 0, 0, 1, 0, 0, 0, 0}, skip{r.get(), 0, 0, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(ct_column_cns(model(), 1, &del, 0, &scratch), 0);
    EXPECT_EQ(ct_column_cns(model(), 1, &skip, 0, &scratch), 0);
    EXPECT_EQ(ct_category(0), 0);
    EXPECT_EQ(ct_category(5), 1);
    EXPECT_EQ(ct_category(5 | 1 << 8), 2);
    EXPECT_EQ(ct_category(5 | 1 << 10), 2);
}

std::vector<uint16_t> categories(const std::string& pattern) {  // '.' uncovered, '1' and '2' the categories
    std::vector<uint16_t> v;
    for (char c : pattern) v.push_back(c == '.' ? 0 : c == '1' ? 3 : static_cast<uint16_t>(3 | (40 << 2 | 1) << 8));
    return v;
}

int64_t path_score(const std::vector<uint16_t>& cns, const std::vector<int>& st, const ct_score_param_t& p) {
    int64_t s = 0;
    for (size_t i = 0; i < cns.size(); ++i) {
        s += p.e[st[i]][ct_category(cns[i])];
        s += i == 0 ? 0 : p.p[st[i - 1]][st[i]];
    }
    return s;
}

std::vector<int> states_of(const std::vector<ct_region_t>& regions, size_t len) {
    std::vector<int> st(len, 0);
    for (const ct_region_t& r : regions)
        for (int64_t i = r.beg; i < r.end; ++i) st[static_cast<size_t>(i)] = 1;
    return st;
}

TEST(CutTargetSegment, FindsAPathOfTheBestScore) {
    // Small scores so that short inputs have interesting paths; every input of
    // 10 positions over the three categories, checked against all 1024 paths.
    ct_score_param_t p;
    p.e[0][0] = 1, p.e[0][1] = 0, p.e[0][2] = -1;
    p.e[1][0] = -2, p.e[1][1] = 1, p.e[1][2] = 3;
    p.p[0][1] = -5, p.p[1][0] = -1, p.p[0][0] = 0, p.p[1][1] = 0;
    const int len = 10;
    for (int code = 0; code < 59049; code += 7) {
        std::string pattern;
        for (int i = 0, c = code; i < len; ++i, c /= 3) pattern.push_back(".12"[c % 3]);
        std::vector<uint16_t> cns = categories(pattern);
        std::vector<ct_region_t> got = ct_segment(cns.data(), len, p);
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_LT(got[i].beg, got[i].end) << pattern;
            if (i) {
                ASSERT_LT(got[i - 1].end, got[i].beg) << pattern;  // maximal runs
            }
        }
        int64_t best = INT64_MIN;
        for (int path = 0; path < 1 << len; ++path) {
            std::vector<int> st(len);
            for (int i = 0; i < len; ++i) st[i] = path >> i & 1;
            best = std::max(best, path_score(cns, st, p));
        }
        ASSERT_EQ(path_score(cns, states_of(got, len), p), best) << pattern;
    }
}

TEST(CutTargetSegment, DefaultScoresAndTies) {
    const ct_score_param_t def;
    struct seg_case {
        const char* what;
        std::vector<std::pair<char, int>> runs;  // (category, length) in order
        std::vector<ct_region_t> want;
    };
    const std::vector<seg_case> cases = {
        {"nothing covered", {{'.', 5000}}, {}},
        {"an isolated run of 2333 is too short", {{'.', 4000}, {'2', 2333}, {'.', 100}}, {}},
        {"an isolated run of 2334 is a target", {{'.', 4000}, {'2', 2334}, {'.', 100}}, {{4000, 6334}}},
        {"a target at the first position", {{'2', 3000}, {'.', 10}}, {{0, 3000}}},
        // Both states start at score 0, so the first position enters the target for free.
        {"a target near the start reaches back to it", {{'.', 3499}, {'2', 3000}}, {{0, 6499}}},
        {"a target up to the last position", {{'.', 3501}, {'2', 3000}}, {{3501, 6501}}},
        {"a gap of 3499 is bridged", {{'2', 3000}, {'.', 3499}, {'2', 3000}}, {{0, 9499}}},
        {"a gap of 3501 is not", {{'2', 3000}, {'.', 3501}, {'2', 3000}}, {{0, 3000}, {6501, 9501}}},
        {"category 1 scores 1", {{'.', 4000}, {'1', 14001}, {'.', 5}}, {{4000, 18001}}},
        {"category 1 alone below the entry penalty", {{'.', 4000}, {'1', 13999}, {'.', 5}}, {}},
    };
    for (const seg_case& c : cases) {
        std::string pattern;
        for (auto [cat, n] : c.runs) pattern.append(static_cast<size_t>(n), cat);
        std::vector<uint16_t> cns = categories(pattern);
        EXPECT_EQ(ct_segment(cns.data(), static_cast<int64_t>(cns.size()), def), c.want) << c.what;
    }
    // All scores 0: every comparison ties, so every position takes state 1, the first one included.
    ct_score_param_t zero;
    zero.e[1][0] = zero.e[1][1] = zero.e[1][2] = 0;
    zero.p[0][1] = 0;
    std::vector<uint16_t> cns = categories("..2.1..");
    EXPECT_EQ(ct_segment(cns.data(), 7, zero), (std::vector<ct_region_t>{{0, 7}}));
    EXPECT_TRUE(ct_segment(cns.data(), 0, zero).empty());
}

TEST(CutTargetSegment, ScoresDoNotOverflowOnLongReferences) {
    // Sums past 32 bits, as on a long reference: a wrapped sum would drop
    // the target state part-way.
    ct_score_param_t p;
    p.e[1][2] = 2'000'000'000;
    p.e[1][0] = -1'000'000'000;
    p.p[0][1] = -2'000'000'000;
    std::vector<uint16_t> cns = categories("2222.2222");
    EXPECT_EQ(ct_segment(cns.data(), 9, p), (std::vector<ct_region_t>{{0, 9}}));
}

}  // namespace
