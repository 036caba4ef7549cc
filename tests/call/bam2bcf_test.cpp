#include "call/bam2bcf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bam/bam.h"
#include "call/bcf.h"
#include "call/errmod.h"
#include "call/fet.h"

using namespace std::string_literals;
using v_int = std::vector<int>;

namespace {

// One calling context for the whole file: the error model takes a while to build.
bcf_callaux_t* shared_bca() {
    static std::unique_ptr<bcf_callaux_t, decltype(&bcf_call_destroy)> bca(bcf_call_init(-1, 13), bcf_call_destroy);
    bca->capQ = 60;
    bca->min_baseQ = 13;
    return bca.get();
}

// A read of `len` copies of `base` ('=' allowed), all of quality `q` (255: not
// stored); CIGAR `clip`S then M.
bam1_ptr make_read(int len, char base, int q, int mapq, uint16_t flag, uint32_t clip) {
    bam1_ptr b = bam1_make();
    bam1_core_t* c = &b->core;
    c->qual = static_cast<uint8_t>(mapq);
    c->flag = flag;
    c->l_qname = 2;
    c->n_cigar = clip ? 2 : 1;
    c->l_qseq = len;
    b->data_len = rec_data_len(c, 0);
    EXPECT_EQ(bam_grow_data(b.get(), static_cast<size_t>(b->data_len)), 0);
    std::memcpy(b->data, "r", 2);
    if (clip) cigar_set(rec_cigar(b.get()), 0, clip << BAM_CIGAR_SHIFT | BAM_CSOFT_CLIP);
    cigar_set(rec_cigar(b.get()), c->n_cigar - 1, (len - clip) << BAM_CIGAR_SHIFT | BAM_CMATCH);
    const uint8_t code = bam_nt16_table[static_cast<uint8_t>(base)];
    std::memset(rec_seq(b.get()), code << 4 | code, static_cast<size_t>((len + 1) / 2));
    std::memset(rec_qual(b.get()), q, static_cast<size_t>(len));
    return b;
}

struct read_row {
    int len;
    char base;
    int q, mapq;
    uint16_t flag;
    int qpos, is_del, is_refskip, clip;
    uint32_t aux;
};

// Builds the records and their entries of one column.
struct column {
    std::vector<bam1_ptr> reads;
    std::vector<bam_pileup1_t> entries;
    explicit column(const std::vector<read_row>& rows) {
        for (const read_row& r : rows) {
            reads.push_back(make_read(r.len, r.base, r.q, r.mapq, r.flag, static_cast<uint32_t>(r.clip)));
            bam_pileup1_t e{};
            e.b = reads.back().get();
            e.qpos = r.qpos;
            e.is_del = r.is_del;
            e.is_refskip = r.is_refskip;
            e.aux = r.aux;
            entries.push_back(e);
        }
    }
    int glfgen(int ref_base, bcf_callaux_t* bca, bcf_callret1_t* res) {
        return bcf_call_glfgen(static_cast<int>(entries.size()), entries.data(), ref_base, bca, res);
    }
};

struct call_owner {
    bcf_call_t c{};
    ~call_owner() { std::free(c.PL); }
};
struct record_deleter {
    void operator()(bcf1_t* b) const { bcf_destroy(b); }
};
using record_ptr = std::unique_ptr<bcf1_t, record_deleter>;
record_ptr new_record() { return record_ptr(static_cast<bcf1_t*>(std::calloc(1, sizeof(bcf1_t)))); }
std::string str_block(const bcf1_t* b) { return std::string(b->str, static_cast<size_t>(b->l_str)); }
template <typename T>
v_int ints(const T* p, int n) {
    return v_int(p, p + n);
}

// PL entries of one sample, genotype (a[j], a[i]) for j <= i, from the formula.
v_int expected_pl(const float* p, const v_int& a) {
    float min = 1e37f;
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j <= i; ++j) min = std::fmin(min, p[a[j] * 5 + a[i]]);
    v_int pl;
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j <= i; ++j) pl.push_back(std::min(255, static_cast<int>(double(p[a[j] * 5 + a[i]] - min) + 0.499)));
    return pl;
}
v_int pl_of(const bcf_call_t& c, int sample) {
    const int g = c.n_alleles * (c.n_alleles + 1) / 2;
    return ints(c.PL + sample * g, g);
}

TEST(SiteCallInit, DefaultsAndErrorDependency) {
    // Each case builds an error model; theta <= 0 takes the default (mpileup passes -1), the viewer 0.83.
    // 1 - 0.83 in single precision (0.17000002f) is not 0.17f.
    for (const auto& [theta, depcorr] :
         {std::pair{0.0, 1.0f - 0.83f}, std::pair{0.83, 0.17f}, std::pair{double(NAN), float(NAN)}}) {
        std::unique_ptr<bcf_callaux_t, decltype(&bcf_call_destroy)> bca(bcf_call_init(theta, 17), bcf_call_destroy);
        ASSERT_NE(bca, nullptr);
        EXPECT_EQ(v_int({bca->capQ, bca->min_baseQ, bca->openQ, bca->extQ, bca->tandemQ, bca->min_support}),
                  v_int({60, 17, 40, 20, 100, 1}));
        EXPECT_EQ(bca->min_frac, 0.002);
        EXPECT_TRUE(bca->e->depcorr == double(depcorr) || (std::isnan(depcorr) && std::isnan(bca->e->depcorr))) << theta;
    }
}

// Reference A, capQ 65.  Reads below the base-quality cut count only in
// ori_depth; deletions, skips, unmapped reads, reads without qualities and
// positions past the sequence count nowhere.
TEST(SiteCall, CraftedColumnStatisticsLikelihoodsAndRecord) {
    column col({
        {10, 'A', 30, 60, 0, 0, 0, 0, 0, 0},              // R fwd, tail 0
        {10, 'A', 20, 255, BAM_FREVERSE, 5, 0, 0, 0, 0},  // R rev, mapQ 255 -> 20, tail 4
        {100, 'C', 40, 70, 0, 30, 0, 0, 5, 0},            // A fwd, mapQ capped, tail capped, variant position 25
        {10, 'G', 10, 60, 0, 2, 0, 0, 0, 0},              // below min_baseQ
        {10, 'T', 30, 60, 0, 3, 1, 0, 0, 0},              // deletion
        {8, '=', 35, 10, BAM_FREVERSE, 3, 0, 0, 0, 0},    // "=" is the reference: R rev, tail 3
        {10, 'T', 30, 60, BAM_FUNMAP, 1, 0, 0, 0, 0},     //
        {50, 'N', 30, 30, 0, 2, 0, 0, 0, 0},              // A fwd, allele 4, tail 2
        {10, 'T', 255, 60, 0, 4, 0, 0, 0, 0},             // no stored qualities
        {5, 'T', 30, 60, 0, 5, 0, 0, 0, 0},               // past the sequence
        {10, 'T', 30, 60, 0, 3, 1, 1, 0, 0},              // reference skip
        {30, 'T', 25, 0, BAM_FREVERSE, 29, 0, 0, 0, 0},   // A rev, effective quality 0 -> 4, tail 0
        {40, 'A', 70, 70, 0, 10, 0, 0, 0, 0},             // R fwd, effective quality 65 -> 63, tail 10
    });
    bcf_callaux_t* bca = shared_bca();
    bca->capQ = 65;
    bcf_callret1_t res;
    std::memset(&res, 0x5a, sizeof res);
    ASSERT_EQ(col.glfgen(bam_nt16_table['A'], bca, &res), 7);
    EXPECT_EQ(res.ori_depth, 8);
    EXPECT_EQ(ints(res.qsum, 4), v_int({30 + 20 + 10 + 63, 40, 0, 4}));
    EXPECT_EQ(ints(res.anno, 16), v_int({2, 2, 2, 1, 155, 7425, 95, 3125, 155, 8325, 95, 5125, 17, 125, 27, 629}));
    // Variant positions 25 2 3 3 1 2 4 3 29 (every entry whose code is not A): 370 / 36 pairs.
    EXPECT_EQ(ints(res.mvd, 3), v_int({10, 9, 238 / 9}));
    std::vector<uint16_t> bases = {30 << 5, 20 << 5 | 16, 40 << 5 | 1, 10 << 5 | 16, 30 << 5 | 4, 4 << 5 | 16 | 3, 63 << 5};
    std::vector<float> p(25);
    errmod_cal(bca->e, 7, 5, bases.data(), p.data());
    EXPECT_EQ(std::vector<float>(res.p, res.p + 25), p);

    call_owner call;
    ASSERT_EQ(bcf_call_combine(1, &res, bam_nt16_table['A'], &call.c), 0);
    EXPECT_EQ(ints(call.c.a, 5), v_int({0, 1, 3, 2, -1}));  // C, T, then G unseen
    EXPECT_EQ(pl_of(call.c, 0), expected_pl(p.data(), {0, 1, 3, 2}));
    record_ptr b = new_record();
    ASSERT_EQ(bcf_call2bcf(0, 99, &call.c, b.get(), &res, 1, nullptr, nullptr), 0);
    char vdb[32];
    std::snprintf(vdb, sizeof vdb, "%.4f", call.c.vdb);
    EXPECT_EQ(str_block(b.get()),
              "\0A\0C,T,X\0\0DP=8;I16=2,2,2,1,155,7425,95,3125,155,8325,95,5125,17,125,27,629;VDB="s + vdb + "\0PL:DP:SP\0"s);
    ASSERT_EQ(b->n_gi, 3);
    EXPECT_EQ(ints(static_cast<uint8_t*>(b->gi[0].data), 10), pl_of(call.c, 0));
    EXPECT_EQ(ints(static_cast<uint16_t*>(b->gi[1].data), 1), v_int({7}));
}

// At indel sites quality, context quality and allele come from `aux`, and
// every read is a variant read.
TEST(SiteCall, IndelAllelesFromPileupAux) {
    column col({{20, 'A', 30, 60, 0, 4, 0, 0, 0, 2 << 16 | 30 << 8 | 45},
                {20, 'A', 30, 50, BAM_FREVERSE, 4, 0, 0, 0, 0 << 16 | 99 << 8 | 20},
                {20, 'A', 30, 60, 0, 7, 0, 0, 0, 4 << 16 | 99 << 8 | 40},
                {30, 'A', 30, 60, 0, 4, 0, 0, 0, 1 << 16 | 50 << 8 | 12}});
    bcf_callret1_t res;
    ASSERT_EQ(col.glfgen(-1, shared_bca(), &res), 3);
    EXPECT_EQ(res.ori_depth, 4);
    EXPECT_EQ(ints(res.qsum, 4), v_int({20, 0, 30, 0}));
    EXPECT_EQ(ints(res.anno, 12), v_int({0, 1, 2, 0, 20, 400, 85, 3625, 50, 2500, 120, 7200}));
    EXPECT_EQ(ints(res.mvd, 3), v_int({1, 4, 22}));  // positions 4 4 7 4: 9 / 6 pairs, truncated
}

// Reference first, then by decreasing quality sum (ties: higher allele
// first), then the placeholder for unseen bases while there is room.
TEST(SiteCall, AlleleChoice) {
    struct allele_case {
        int ref_base;
        std::vector<v_int> qsum;  // per sample
        int ret;
        v_int a;
        int unseen;
    };
    const allele_case cases[] = {
        {1, {{40, 0, 0, 0}}, 0, {0, 3, -1, -1, -1}, 1},
        {1, {}, 0, {0, 3, -1, -1, -1}, 1},
        {1, {{40, 50, 50, 0}}, 0, {0, 2, 1, 3, -1}, 3},
        {1, {{100, 50, 50, 10}}, 0, {0, 2, 1, 3, -1}, -1},
        {2, {{15, 0, 0, 20}, {15, 0, 0, 0}}, 0, {1, 0, 3, 2, -1}, 3},
        {15, {{5, 6, 7, 8}}, 0, {4, 3, 2, 1, 0}, -1},
        {15, {{0, 0, 0, 0}}, 0, {4, 3, -1, -1, -1}, 1},
        {15, {{9, 0, 0, 0}}, 0, {4, 0, 3, -1, -1}, 2},
        {-1, {{100, 0, 0, 0}}, -1, {0, -1, -1, -1, -1}, -1},
        {-1, {{100, 0, 40, 0}, {0, 0, 0, 40}}, 0, {0, 3, 2, -1, -1}, -1},
    };
    for (const allele_case& c : cases) {
        std::vector<bcf_callret1_t> calls(c.qsum.size());
        for (size_t s = 0; s < calls.size(); ++s) std::copy(c.qsum[s].begin(), c.qsum[s].end(), calls[s].qsum);
        call_owner call;
        EXPECT_EQ(bcf_call_combine(static_cast<int>(calls.size()), calls.data(), c.ref_base, &call.c), c.ret);
        EXPECT_EQ(ints(call.c.a, 5), c.a) << c.ref_base;
        EXPECT_EQ(v_int({call.c.unseen, call.c.ori_ref}), v_int({c.unseen, c.ref_base < 0 ? -1 : c.a[0]}));
        EXPECT_EQ(call.c.n_alleles, 5 - std::count(c.a.begin(), c.a.end(), -1));
    }
}

// PL entries read p[5 a[j] + a[i]], subtract the minimum, add 0.499 and
// truncate, cap at 255; shift rounds the summed minima the same way.
TEST(SiteCall, PhredLikelihoodsAndShift) {
    std::vector<bcf_callret1_t> calls(2);
    calls[0].qsum[2] = calls[0].qsum[1] = 30;
    for (int k = 0; k < 25; ++k) calls[0].p[k] = 2.25f + static_cast<float>(k);  // asymmetric on purpose
    calls[0].p[0] = 2.25f;
    calls[0].p[2] = 2.75f;   // 0.5 + 0.499 -> 0
    calls[0].p[12] = 3.25f;  // exactly 1
    calls[0].p[1] = 400.f;   // capped
    for (float& v : calls[1].p) v = 1.0f;
    calls[1].p[0] = 0.25f;
    calls[1].p[2] = 0.75f;
    call_owner call;
    ASSERT_EQ(bcf_call_combine(2, calls.data(), 1, &call.c), 0);
    ASSERT_EQ(call.c.n_alleles, 4);  // A, G, C, T (unseen)
    EXPECT_EQ(pl_of(call.c, 0), v_int({0, 0, 1, 255, 11, 6, 3, 13, 8, 18}));
    EXPECT_EQ(pl_of(call.c, 1), v_int({0, 0, 1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(call.c.shift, 2);  // minima 2.25 + 0.25, + 0.499, truncated
}

// One sample's variant distance term, each rounding to single precision
// written out as its own step.
std::pair<float, float> vdb_term(int d, int m, int L) {
    if (d == 2) {
        const float p = static_cast<float>(m == 0 ? 1.0 / L : 2.0 * (L - m) / L / L);
        return {p + p, 2.0f};
    }
    const float mu = static_cast<float>(static_cast<double>(L) / 2.9);
    if (d == 3) {
        const float two_mu = mu + mu, four_mu = mu * 4.0f;
        if (static_cast<float>(m) > two_mu) return {0.0f, 3.0f};
        const double angle = static_cast<double>(m) * 3.14 * 0.5 / static_cast<double>(mu);
        return {3.0f * static_cast<float>(std::sin(angle) / (static_cast<double>(four_mu) / 3.14)), 3.0f};
    }
    const int dd = d < 5 ? d : 5;
    const double sd = static_cast<double>(L) / 1.9 / static_cast<double>(dd + 1);
    const float sigma2 = static_cast<float>(sd * sd);
    const float norm = static_cast<float>(std::sqrt(6.28 * static_cast<double>(sigma2)) * 1.125);
    const float x = static_cast<float>(m), dx = x - mu, neg = -dx, sq = dx * neg, half = sq * 0.5f;
    const double e = x < mu ? static_cast<double>(half / sigma2) : static_cast<double>(sq) / 3.125 / static_cast<double>(sigma2);
    return {static_cast<float>(dd) * static_cast<float>(std::exp(e) / static_cast<double>(norm)), static_cast<float>(dd)};
}

TEST(SiteCall, VariantDistanceBias) {
    const std::vector<v_int> cases[] = {
        // per sample {mean distance, variant reads, mean read length}; no usable sample gives 1
        {{0, 2, 100}},
        {{30, 2, 100}},
        {{10, 3, 100}},
        {{80, 3, 100}},
        {{20, 4, 100}},
        {{50, 7, 100}},
        {{34, 4, 100}},
        {{60, 4, 100}},
        {{45, 5, 97}},
        {{70, 9, 150}},
        {{10, 3, 100}, {30, 2, 100}, {17, 2, 77}},
        {{0, 2, 50}, {10, 3, 100}, {40, 6, 120}, {5, 1, 5}, {0, 0, 0}},
        {},
        {{0, 1, 100}},
    };
    for (const auto& c : cases) {
        std::vector<bcf_callret1_t> calls(c.size());
        float contribution = 0, weight = 0;
        for (size_t s = 0; s < c.size(); ++s) {
            std::copy(c[s].begin(), c[s].end(), calls[s].mvd);
            if (c[s][1] <= 1) continue;
            contribution += vdb_term(c[s][1], c[s][0], c[s][2]).first;
            weight += vdb_term(c[s][1], c[s][0], c[s][2]).second;
        }
        call_owner call;
        ASSERT_EQ(bcf_call_combine(static_cast<int>(calls.size()), calls.data(), 1, &call.c), 0);
        EXPECT_EQ(call.c.vdb, weight == 0 ? 1.0f : contribution / weight) << c.size();
    }
}

// String and FORMAT blocks of SNP records: reference N, the DP cap, SP
// against the Fisher test and its margin rule.
TEST(SiteCall, SnpRecords) {
    struct record_case {
        int ref_base;
        v_int qsum, strands, mvd;
        int depth, format;  // format: 0 PL, 1 PL:DP, 2 PL:DP:SP
        std::string alleles, vdb;
        int sp;  // -1: from kt_fisher_exact
    };
    const record_case cases[] = {
        {1, {40, 0, 0, 0}, {2, 0, 0, 0}, {0, 0, 0}, 2, 0, "A\0X"s, "", 0},
        {15, {5, 6, 7, 8}, {3, 3, 0, 2}, {0, 2, 100}, 70000, 1, "N\0T,G,C,A"s, ";VDB=0.0100", 0},
        {2, {0, 0, 9, 0}, {10, 2, 3, 9}, {0, 0, 0}, 7, 2, "C\0G,X"s, "", -1},
        {2, {0, 0, 9, 0}, {1, 0, 1, 9}, {0, 0, 0}, 7, 2, "C\0G,X"s, "", 0},  // a margin of 1: no SP (the test alone gives 7)
        {2, {0, 0, 9, 0}, {100, 0, 0, 100}, {0, 0, 0}, 7, 2, "C\0G,X"s, "", 255},
    };
    const char* formats[] = {"PL", "PL:DP", "PL:DP:SP"};
    for (const record_case& c : cases) {
        bcf_callret1_t res{};
        std::copy(c.qsum.begin(), c.qsum.end(), res.qsum);
        std::copy(c.strands.begin(), c.strands.end(), res.anno);
        std::copy(c.mvd.begin(), c.mvd.end(), res.mvd);
        res.depth = c.depth;
        res.ori_depth = 9;
        for (int k = 0; k < 25; ++k) res.p[k] = static_cast<float>(k % 7);
        call_owner call;
        ASSERT_EQ(bcf_call_combine(1, &res, c.ref_base, &call.c), 0);
        record_ptr b = new_record();
        ASSERT_EQ(bcf_call2bcf(3, 1234, &call.c, b.get(), c.format ? &res : nullptr, c.format == 2, nullptr, nullptr), 0);
        char i16[64];
        std::snprintf(i16, sizeof i16, "%d,%d,%d,%d", c.strands[0], c.strands[1], c.strands[2], c.strands[3]);
        EXPECT_EQ(str_block(b.get()), "\0"s + c.alleles + "\0\0DP=9;I16="s + i16 + ",0,0,0,0,0,0,0,0,0,0,0,0" + c.vdb + "\0"s +
                                          formats[c.format] + "\0"s);
        EXPECT_EQ(v_int({b->tid, b->pos, b->n_smpl, b->n_alleles, int(b->qual)}), v_int({3, 1234, 1, call.c.n_alleles, 0}));
        EXPECT_EQ(ints(static_cast<uint8_t*>(b->gi[0].data), b->gi[0].len), pl_of(call.c, 0));
        if (!c.format) continue;
        EXPECT_EQ(*static_cast<uint16_t*>(b->gi[1].data), std::min(c.depth, 65535));
        if (c.format < 2) continue;
        int expected = c.sp;
        if (expected < 0) {
            double left, right, two;
            kt_fisher_exact(c.strands[0], c.strands[1], c.strands[2], c.strands[3], &left, &right, &two);
            expected = static_cast<int>(-4.343 * std::log(two) + 0.499);
            EXPECT_GT(expected, 0);
        }
        EXPECT_EQ(*static_cast<int32_t*>(b->gi[2].data), expected);
    }
}

// REF and ALT of indel records: insertions carry their consensus, deletions
// drop reference bases, all end with the reference stretch the site spans.
TEST(SiteCall, IndelRecords) {
    struct indel_case {
        const char* ref;
        int pos, indelreg;
        v_int types, qsum;
        std::string alleles;
    };
    const indel_case cases[] = {
        {"ACGTTGCA", 2, 1, {0, 2, -1, 10000}, {50, 40, 30, 0}, "GT\0GCAT,G\0"s},
        {"ACGTTGCA", 2, 3, {0, -1, -2, -4}, {50, 40, 30, 20}, "GTTG\0GTG,GG,G\0"s},
        {"ACGT", 3, 2, {0, 1, 10000, 10000}, {50, 40, 0, 0}, "T\0TC\0"s},  // the reference ends early
    };
    for (const indel_case& c : cases) {
        bcf_callaux_t bca{};
        std::copy(c.types.begin(), c.types.end(), bca.indel_types);
        uint8_t inscns[] = {0, 0, 1, 0, 1, 2, 4, 4};  // rows "AA", "CA", "CG", "NN"
        bca.inscns = inscns;
        bca.maxins = 2;
        bca.indelreg = c.indelreg;
        bcf_callret1_t res{};
        std::copy(c.qsum.begin(), c.qsum.end(), res.qsum);
        res.ori_depth = res.anno[2] = 4;
        call_owner call;
        ASSERT_EQ(bcf_call_combine(1, &res, -1, &call.c), 0);
        record_ptr b = new_record();
        ASSERT_EQ(bcf_call2bcf(0, c.pos, &call.c, b.get(), nullptr, 0, &bca, c.ref), 0);
        EXPECT_EQ(str_block(b.get()), "\0"s + c.alleles + "\0INDEL;DP=4;I16=0,0,4,0,0,0,0,0,0,0,0,0,0,0,0,0\0PL\0"s);
    }
}

// No reads, no samples: zero results, and still a record.
TEST(SiteCall, EmptyColumnsAndNoSamples) {
    bcf_callret1_t res;
    std::memset(&res, 0x5a, sizeof res);
    EXPECT_EQ(bcf_call_glfgen(0, nullptr, 1, shared_bca(), &res), -1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&res), sizeof res), std::string(sizeof res, '\0'));
    call_owner call, none;
    ASSERT_EQ(bcf_call_combine(1, &res, 1, &call.c), 0);
    EXPECT_EQ(pl_of(call.c, 0), v_int({0, 0, 0}));
    ASSERT_EQ(bcf_call_combine(0, nullptr, 4, &none.c), 0);
    EXPECT_EQ(v_int({none.c.n_alleles, none.c.shift, none.c.depth, none.c.n}), v_int({2, 0, 0, 0}));
    record_ptr b = new_record();
    ASSERT_EQ(bcf_call2bcf(0, 0, &none.c, b.get(), nullptr, 1, nullptr, nullptr), 0);
    EXPECT_EQ(str_block(b.get()), "\0G\0X\0\0DP=0;I16=0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\0PL\0"s);
}

}  // namespace
