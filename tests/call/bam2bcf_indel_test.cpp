// Indel preparation: the stand-alone steps on tables worked by hand, and
// whole columns built from crafted reads run through the pileup engine.
#include "call/bam2bcf_indel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "call/kprobaln.h"
#include "common/record_util.h"
#include "containers/khash.h"

namespace {

// A record at `pos` with `cigar`, bases `seq` and one quality for all bases.
bam1_ptr make_read(int pos, const std::string& cigar, const std::string& seq, int qual = 30) {
    std::vector<uint32_t> ops;
    for (size_t i = 0; i < cigar.size();) {
        size_t used = 0;
        uint32_t len = static_cast<uint32_t>(std::stoul(cigar.substr(i), &used));
        ops.push_back(len << BAM_CIGAR_SHIFT |
                      static_cast<uint32_t>(std::strchr(bam_cigar_chars, cigar[i + used]) - bam_cigar_chars));
        i += used + 1;
    }
    bam1_ptr b = bam1_make();
    bam1_core_t* c = &b->core;
    *c = {};
    c->pos = pos;
    c->qual = 60;
    c->l_qname = 2;
    c->n_cigar = static_cast<uint16_t>(ops.size());
    c->l_qseq = static_cast<int32_t>(seq.size());
    c->mtid = c->mpos = -1;
    b->l_aux = 0;
    b->data_len = rec_data_len(c, 0);
    EXPECT_EQ(bam_grow_data(b.get(), static_cast<size_t>(b->data_len)), 0);
    std::memcpy(b->data, "r", 2);
    for (size_t k = 0; k < ops.size(); ++k) cigar_set(rec_cigar(b.get()), static_cast<int>(k), ops[k]);
    std::memset(rec_seq(b.get()), 0, (seq.size() + 1) / 2);
    for (size_t i = 0; i < seq.size(); ++i)
        rec_seq(b.get())[i / 2] |= static_cast<uint8_t>(bam_nt16_table[static_cast<uint8_t>(seq[i])] << ((~i & 1) << 2));
    std::memset(rec_qual(b.get()), qual, seq.size());
    return b;
}

// The read a CIGAR implies against `ref` from `pos`: M copies, D skips, I
// inserts `ins`.
std::string read_bases(const std::string& ref, int pos, const std::string& cigar, const std::string& ins = "") {
    std::string out;
    for (size_t i = 0; i < cigar.size();) {
        size_t used = 0;
        int len = std::stoi(cigar.substr(i), &used);
        char op = cigar[i + used];
        if (op == 'M') out += ref.substr(pos, len);
        if (op == 'M' || op == 'D') pos += len;
        if (op == 'I') out += ins.substr(0, len);
        i += used + 1;
    }
    return out;
}

// A fixed pseudo-random reference; `patch` overwrites it from `at`.
std::string make_ref(int len, int at = 0, const std::string& patch = "") {
    std::string s;
    uint32_t x = 12345;
    for (int i = 0; i < len; ++i) s += "ACGT"[(x = x * 1103515245u + 12345u) >> 16 & 3];
    s.replace(at, patch.size(), patch);
    return s;
}

// The entries of one column from the pileup engine, over copies of the
// records so that they outlive the iterator.
struct column_t {
    std::vector<bam1_ptr> reads;
    std::vector<bam_pileup1_t> plp;
    column_t(const std::vector<bam1_ptr>& recs, int pos) {
        bam_plp_t iter = bam_plp_init(nullptr, nullptr);
        for (const auto& r : recs) EXPECT_EQ(bam_plp_push(iter, r.get()), 0);
        bam_plp_push(iter, nullptr);
        int tid, p, n;
        while (const bam_pileup1_t* e = bam_plp_next(iter, &tid, &p, &n))
            if (p == pos)
                for (int i = 0; i < n; ++i) {
                    reads.emplace_back(bam_dup1(e[i].b));
                    plp.push_back(e[i]);
                    plp.back().b = reads.back().get();
                }
        bam_plp_destroy(iter);
    }
    int prep(bcf_callaux_t* bca, const std::string& ref, int pos, const void* rghash = nullptr) {
        // An exact-size copy without terminator: any read past the end is a heap overflow.
        std::vector<char> exact(ref.begin(), ref.end());
        int n = static_cast<int>(plp.size());
        bam_pileup1_t* p = plp.data();
        return bcf_call_gap_prep(1, &n, &p, pos, bca, exact.data(), static_cast<int>(exact.size()), rghash);
    }
};

struct callaux_t : bcf_callaux_t {
    callaux_t() : bcf_callaux_t{} { capQ = 60, openQ = 40, extQ = 20, tandemQ = 100, min_support = 1, min_frac = 0.002; }
    ~callaux_t() { std::free(inscns); }
};

// Reads of length 60 starting every 3 bases so that each covers `pos`: the
// first `n_alt` carry `cigar_of(start)`, the rest match the reference.
template <typename F>
std::vector<bam1_ptr> reads_around(const std::string& ref, int pos, int n_reads, int n_alt, F cigar_of,
                                   const std::string& ins = "") {
    std::vector<bam1_ptr> recs;
    for (int i = 0; i < n_reads; ++i) {
        int start = pos - 50 + 3 * (i % 16);
        std::string cigar = i < n_alt ? cigar_of(start) : "60M";
        recs.push_back(make_read(start, cigar, read_bases(ref, start, cigar, ins)));
    }
    std::sort(recs.begin(), recs.end(), [](const bam1_ptr& a, const bam1_ptr& b) { return a->core.pos < b->core.pos; });
    return recs;
}

std::string no_indel(int) { return "60M"; }
std::string deletion_at(int pos, int start, int len) {
    int m1 = pos - start + 1;
    return std::to_string(m1) + "M" + std::to_string(len) + "D" + std::to_string(60 - m1) + "M";
}
std::string insertion_at(int pos, int start, int len) {
    int m1 = pos - start + 1;
    return std::to_string(m1) + "M" + std::to_string(len) + "I" + std::to_string(60 - m1 - len) + "M";
}

TEST(Tpos2qpos, TableOfCigarsAndPositions) {
    struct row {
        const char* cigar;
        int pos, tpos, is_left, qpos, tpos_out;
    } rows[] = {
        {"3S5M2D4M1I3M", 100, 90, 0, 3, 100},    // before the start
        {"3S5M2D4M1I3M", 100, 102, 1, 5, 102},   // inside M
        {"3S5M2D4M1I3M", 100, 105, 1, 8, 105},   // inside D, left side
        {"3S5M2D4M1I3M", 100, 106, 0, 8, 107},   // inside D, right side
        {"3S5M2D4M1I3M", 100, 107, 0, 8, 107},   // first base after D
        {"3S5M2D4M1I3M", 100, 111, 0, 13, 111},  // after the insertion
        {"3S5M2D4M1I3M", 100, 120, 0, 16, 114},  // after the end
        {"4M10N4M", 0, 7, 1, 4, 4},
        {"4M10N4M", 0, 7, 0, 4, 14},
        {"5M3S", 0, 10, 0, 5, 5},  // trailing clip not counted
    };
    for (const row& r : rows) {
        bam1_ptr b = make_read(r.pos, r.cigar, std::string(20, 'A'));
        int32_t out = -1;
        EXPECT_EQ(tpos2qpos(&b->core, rec_cigar(b.get()), r.tpos, r.is_left, &out), r.qpos) << r.cigar << " " << r.tpos;
        EXPECT_EQ(out, r.tpos_out) << r.cigar << " " << r.tpos;
    }
}

std::set<std::string> keys_of(void* h) {
    std::set<std::string> out;
    auto* set = static_cast<kh_strset_t*>(h);
    for (khint_t k = set->begin(); k != set->end(); ++k)
        if (set->exist(k)) out.insert(set->key(k));
    return out;
}

TEST(CallAddRg, PlatformSubstringsAndStopRules) {
    struct row {
        const char* text;
        const char* list;
        std::set<std::string> ids;
    } rows[] = {
        {"@HD\tVN:1.0\n@RG\tID:a\tPL:ILLUMINA\n@RG\tID:b\tPL:SOLID\n", "ILLUMINA", {"a"}},
        {"@RG\tID:a\tPL:ILLUMINA\n@RG\tID:b\tPL:SOLID\tSM:x\n", "ILLUMINA,SOLID", {"a", "b"}},
        {"@RG\tID:a\tPL:ILL\n", "ILLUMINA", {"a"}},                        // part of a listed name matches
        {"@RG\tID:a\tPL:SOLID\tSM:x\n", "SOLID,x", {"a"}},                 // value ends at the TAB
        {"@RG\tID:a\tSM:x\n@RG\tID:b\tPL:ILLUMINA\n", "ILLUMINA", {"b"}},  // PL only on the next line
        {"@RG\tID:a\tSM:x\n@RG\tID:b\tSM:y\n@CO\tPL:ILLUMINA\n", "ILLUMINA", {"b"}},
        {"@RG\tID:a\tPL:ILLUMINA\n@RG\tSM:x\tPL:ILLUMINA\n", "ILLUMINA", {"a"}},  // no ID left: stop
        {"@HD\tVN:1.0\n", "ILLUMINA", {}},
    };
    for (const row& r : rows) {
        void* h = bcf_call_add_rg(nullptr, r.text, r.list);
        ASSERT_NE(h, nullptr) << r.text;
        EXPECT_EQ(keys_of(h), r.ids) << r.text;
        bcf_call_del_rghash(h);
    }
    EXPECT_EQ(bcf_call_add_rg(nullptr, "@RG\tID:a\tPL:X\n", nullptr), nullptr);
    void* h = bcf_call_add_rg(nullptr, "@RG\tID:a\tPL:X\n", "X");
    EXPECT_EQ(bcf_call_add_rg(h, nullptr, "X"), h);
    EXPECT_EQ(bcf_call_add_rg(h, "@RG\tID:a\tPL:X\n@RG\tID:c\tPL:X\n", "X"), h);  // second file
    EXPECT_EQ(keys_of(h), (std::set<std::string>{"a", "c"}));
    bcf_call_del_rghash(h);
    bcf_call_del_rghash(nullptr);
}

TEST(IndelSteps, RunLengthRegionAndSeqQ) {
    struct run_row {
        const char* ref;
        int pos, l_run;
    } runs[] = {{"AAAAT", 0, 4}, {"CAAAT", 0, 3}, {"ANNA", 0, 1}, {"ACGT", 3, 1}, {"AAAA", 3, 1}, {"TTTTTTTTTTA", 4, 10}};
    for (const run_row& r : runs)
        EXPECT_EQ(bcf_indel_run_length(r.ref, static_cast<int>(std::strlen(r.ref)), r.pos), r.l_run) << r.ref << r.pos;

    const uint8_t ac[] = {0, 1}, gg[] = {2, 2};
    struct region_row {
        const char* ref;
        int pos, l;
        const uint8_t* ins;
        int region;
    } regions[] = {
        {"GACACACT", 0, -2, nullptr, 6}, {"GACACACT", 0, 2, ac, 6},
        {"GAAAT", 0, -1, nullptr, 3},    {"GACAC", 0, -2, nullptr, 4},  // the repeat runs to the reference end
        {"gacacT", 0, 2, ac, 4},         {"ACGT", 3, -1, nullptr, 0},
        {"GACT", 0, 2, gg, 0},           {"GACTCACACACACACACACAC", 0, -2, nullptr, 2},  // the walk stops below 0
    };
    for (const region_row& r : regions) {
        std::vector<char> exact(r.ref, r.ref + std::strlen(r.ref));
        EXPECT_EQ(bcf_indel_region(exact.data(), static_cast<int>(exact.size()), r.pos, r.l, r.ins), r.region) << r.ref;
    }

    callaux_t bca;
    struct q_row {
        int l, l_run, seqQ;
    } qs[] = {{-1, 10, 10}, {3, 2, 80}, {2, 3, 60}, {-5, 4, 120}, {3, 5, 60}};
    for (const q_row& r : qs) EXPECT_EQ(bcf_indel_seqQ(&bca, r.l, r.l_run), r.seqQ) << r.l << " " << r.l_run;
}

TEST(IndelSteps, RealignmentQualities) {
    struct row {
        std::vector<int> qual;
        const char* zq;  // null: no ZQ field
        char zq_type;
        std::vector<int> want;
    } rows[] = {
        {{2, 10, 35, 6, 7}, nullptr, 'Z', {7, 10, 30, 7, 7}},
        {{2, 10, 25, 6, 7}, "@DD@H", 'Z', {7, 14, 29, 7, 15}},                 // restored by ZQ - 64
        {{2, 10, 25, 6, 7}, "@DD@", 'Z', {7, 10, 25, 7, 7}},                   // wrong length: ignored
        {{2, 10, 25, 6, 7}, "@DD@H", 'H', {7, 10, 25, 7, 7}},                  // not a string: ignored
        {{0xff, 0xff, 0xff, 0xff, 0xff}, "@DD@H", 'Z', {30, 30, 30, 30, 30}},  // no qualities
    };
    for (const row& r : rows) {
        bam1_ptr b = make_read(0, "5M", "ACGTA");
        for (int i = 0; i < 5; ++i) rec_qual(b.get())[i] = static_cast<uint8_t>(r.qual[i]);
        if (r.zq) test_util::append_aux_string(b.get(), "ZQ", r.zq_type, r.zq);
        std::vector<uint8_t> out(5);
        bcf_indel_realign_quals(b.get(), 0, 5, out.data());
        EXPECT_EQ(std::vector<int>(out.begin(), out.end()), r.want) << (r.zq ? r.zq : "-");
    }
}

TEST(IndelSteps, SampleAndInsertionConsensus) {
    const std::string window = "ACGTACGTAC";  // reference from 100
    struct row {
        std::vector<std::string> reads;  // 10M at 100, or shorter
        const char* cns;
    } rows[] = {
        {{"ACGGACGTAC", "ACGGACGTAC", "ACGGACGTAC"}, "ACGNACGTAC"},
        {{"ACGGACGTAC", "ACGTACGTAC", "ACGTACGTAC", "ACGTACGTAC"}, "ACGTACGTAC"},  // 3/4 match
        // Most mismatches at 2, then a tie of 5 and 7 that goes to 7 (2/3 < 0.7).
        {{"ACTTAGGTAC", "ACTTACGAAC", "ACGTACGTAC"}, "ACNTACGNAC"},
        {{"ACGTA", "ACGTA"}, "ACGTACGTNN"},  // uncovered positions fail
    };
    std::vector<uint8_t> ref16;
    for (char c : window) ref16.push_back(bam_nt16_table[static_cast<uint8_t>(c)]);
    for (const row& r : rows) {
        std::vector<bam1_ptr> recs;
        std::vector<bam_pileup1_t> plp;
        for (const std::string& seq : r.reads) {
            recs.push_back(make_read(100, std::to_string(seq.size()) + "M", seq));
            plp.push_back(bam_pileup1_t{recs.back().get(), 0, 0, 0, 0, 0, 0, 0, 0});
        }
        std::vector<uint8_t> cns(window.size());
        bcf_indel_consensus(plp.data(), static_cast<int>(plp.size()), ref16.data(), 100, 10, cns.data());
        std::string got;
        for (uint8_t c : cns) got += bam_nt16_rev_table[c];
        EXPECT_EQ(got, r.cns) << r.reads[0];
    }

    struct ins_row {
        std::vector<std::string> s1, s2;  // inserted bases of the reads of two samples
        std::vector<int> cns;
    } ins_rows[] = {
        {{"GT"}, {"CA"}, {1, 0}},  // ties go to the lower code
        {{"GT", "CA"}, {"GA"}, {2, 0}},
        {{"NN"}, {}, {4, 4}},
        {{"GT", "AAA"}, {}, {2, 3}},  // a 3-base insertion is another type
    };
    for (const ins_row& r : ins_rows) {
        std::vector<bam1_ptr> recs;
        std::vector<bam_pileup1_t> plp[2];
        for (int s = 0; s < 2; ++s)
            for (const std::string& ins : s ? r.s2 : r.s1) {
                recs.push_back(make_read(100, "2M" + std::to_string(ins.size()) + "I2M", "AC" + ins + "GT"));
                plp[s].push_back(bam_pileup1_t{recs.back().get(), 1, static_cast<int>(ins.size()), 0, 0, 0, 0, 0, 0});
            }
        int n_plp[2] = {static_cast<int>(plp[0].size()), static_cast<int>(plp[1].size())};
        bam_pileup1_t* p[2] = {plp[0].data(), plp[1].data()};
        uint8_t out[2] = {9, 9};
        bcf_indel_ins_consensus(2, n_plp, p, 2, out);
        EXPECT_EQ(std::vector<int>(out, out + 2), r.cns) << r.s1[0];
    }
}

TEST(IndelSteps, ScoresAndReadQualities) {
    EXPECT_EQ(bcf_indel_score(kpa_no_result, 10), 0);
    EXPECT_EQ(bcf_indel_score(7, 0), 0);
    EXPECT_EQ(bcf_indel_score(37, 60), 37 << 8 | 62);  // 61.67 rounds up
    EXPECT_EQ(bcf_indel_score(1000, 50), 1000 << 8 | 255);

    callaux_t bca;
    const int types[] = {-2, 0, 3};
    struct row {
        int64_t r1[3], r2[3];  // raw results; the normalised part uses l_query
        int l_query, l_run;
        uint32_t aux;
    } rows[] = {
        // Best is the reference: compare with the second (-2), seqQ 40+20 = 60;
        // delta 20, norm round(100*10/100) = 10: (1 - 10/111) * 20 = 18.2 -> 18.
        {{30, 10, 50}, {30, 10, 50}, 100, 1, 1u << 16 | 60 << 8 | 18},
        // Best is +3, compared with the reference; seqQ 40+40 = 80 next to a run of 4:
        // min(80, round(300/4)) = 75.  score2 prefers the reference: type from score2.
        {{40, 30, 5}, {40, 6, 8}, 100, 4, 1u << 16 | 75 << 8 | 2},
        // Normalised best above 111 gives indelQ 0.
        {{300, 120, 900}, {300, 120, 900}, 100, 1, 1u << 16 | 60 << 8 | 0},
        // Results past 2^17 overflow 32-bit keys: the order must still follow R.
        // Norm round(32.77) = 33, delta 10: (1 - 33/111) * 10 = 7.03 -> 7; seqQ of +3 is 80.
        {{131090, 131070, 131080}, {131090, 131070, 131080}, 400000, 1, 1u << 16 | 80 << 8 | 7},
        {{131090, 131080, 131070}, {131090, 131080, 131070}, 400000, 1, 2u << 16 | 80 << 8 | 7},
    };
    for (const row& r : rows) {
        int64_t s1[3], s2[3];
        for (int t = 0; t < 3; ++t) s1[t] = bcf_indel_score(static_cast<int>(r.r1[t]), r.l_query);
        for (int t = 0; t < 3; ++t) s2[t] = bcf_indel_score(static_cast<int>(r.r2[t]), r.l_query);
        uint32_t aux = bcf_indel_read_aux(s1, s2, types, 3, 1, r.l_run, &bca);
        EXPECT_EQ(aux >> 16, r.aux >> 16) << r.r1[0];
        EXPECT_EQ(aux >> 8 & 0xff, r.aux >> 8 & 0xff) << r.r1[0];
        EXPECT_EQ(aux & 0xff, r.aux & 0xff) << r.r1[0];
    }
}

// Reference around the site at 100: T, then A C G.  Deleting "AC" spans 2
// bases (G differs from A), the base after the site runs 1 (seqQ 40 + 20).
const std::string site_ref = make_ref(300, 100, "TACG");

TEST(GapPrep, ClearTwoBaseDeletion) {
    std::vector<bam1_ptr> recs = reads_around(site_ref, 100, 16, 12, [](int st) { return deletion_at(100, st, 2); });
    // A deletion over the whole window leaves this read no query: zero scores.
    recs.insert(recs.begin(), make_read(45, "5M110D55M", read_bases(site_ref, 45, "5M110D55M")));
    column_t col(recs, 100);
    ASSERT_EQ(col.plp.size(), 17u);
    callaux_t bca;
    ASSERT_EQ(col.prep(&bca, site_ref, 100), 0);
    EXPECT_EQ(std::vector<int>(bca.indel_types, bca.indel_types + 4), (std::vector<int>{0, -2, bcf_indel_null, bcf_indel_null}));
    EXPECT_EQ(bca.maxins, 0);
    EXPECT_EQ(bca.indelreg, 2);
    for (const bam_pileup1_t& p : col.plp) {
        if (p.is_del) {
            EXPECT_EQ(p.aux & 0xff, 0u);
            continue;
        }
        EXPECT_EQ(p.aux >> 16, p.indel == -2 ? 1u : 0u) << p.b->core.pos;
        EXPECT_EQ(p.aux >> 8 & 0xff, 60u);
        EXPECT_GT(p.aux & 0xff, 20u) << p.b->core.pos;
    }
}

// One read of the deletion column scored by hand: its query against slices
// of the two haplotypes (the deletion one entered two bases earlier).
TEST(GapPrep, ReadQualityFollowsFromItsAlignments) {
    column_t col(reads_around(site_ref, 100, 16, 12, [](int st) { return deletion_at(100, st, 2); }), 100);
    callaux_t bca;
    ASSERT_EQ(col.prep(&bca, site_ref, 100), 0);
    auto nt4 = [](const std::string& s) {
        std::vector<uint8_t> v;
        for (char c : s) v.push_back(static_cast<uint8_t>(bam_nt16_nt4_table[bam_nt16_table[static_cast<uint8_t>(c)]]));
        return v;
    };
    // Read from 80: 21M2D39M, window [50, 152), read span [80, 142).
    std::vector<uint8_t> query = nt4(read_bases(site_ref, 80, "21M2D39M")), qual(60, 30);
    std::vector<uint8_t> hap_ref = nt4(site_ref.substr(50, 102));
    std::vector<uint8_t> hap_del = nt4(site_ref.substr(50, 51) + site_ref.substr(103, 49));
    auto align = [&](const std::vector<uint8_t>& hap, int from, int len, float d, float e, int bw) {
        kpa_par_t par{d, e, bw};
        return kpa_glocal(hap.data() + from, len, query.data(), 60, qual.data(), &par, nullptr, nullptr);
    };
    int r1_ref = align(hap_ref, 30, 62, 1e-4f, 1e-2f, 3), r1_del = align(hap_del, 28, 66, 1e-4f, 1e-2f, 5);
    int r2_ref = r1_ref > 5 ? align(hap_ref, 30, 62, 1e-6f, 1e-3f, 3) : r1_ref;
    int r2_del = r1_del > 5 ? align(hap_del, 28, 66, 1e-6f, 1e-3f, 5) : r1_del;
    ASSERT_LT(r1_del, r1_ref);
    ASSERT_LT(r2_del, r2_ref);
    auto indel_q = [](int r_ref, int r_del) {
        int norm = std::min(255, static_cast<int>(100. * r_del / 60 + .499));
        return norm > 111 ? 0 : static_cast<int>((1. - norm / 111.) * (r_ref - r_del) + .499);
    };
    uint32_t want =
        1u << 16 | 60u << 8 | static_cast<uint32_t>(std::min({indel_q(r1_ref, r1_del), indel_q(r2_ref, r2_del), 255}));
    int found = 0;
    for (const bam_pileup1_t& p : col.plp)
        if (p.b->core.pos == 80) {
            EXPECT_EQ(p.aux, want);
            ++found;
        }
    EXPECT_EQ(found, 1);
}

TEST(GapPrep, TwoBaseInsertionOnly) {
    column_t col(reads_around(
                     site_ref, 100, 16, 6, [](int st) { return insertion_at(100, st, 2); }, "GT"),
                 100);
    callaux_t bca;
    ASSERT_EQ(col.prep(&bca, site_ref, 100), 0);
    EXPECT_EQ(std::vector<int>(bca.indel_types, bca.indel_types + 4), (std::vector<int>{0, 2, bcf_indel_null, bcf_indel_null}));
    EXPECT_EQ(bca.maxins, 2);
    EXPECT_EQ(bca.inscns[2], 2);  // G
    EXPECT_EQ(bca.inscns[3], 3);  // T
    EXPECT_EQ(bca.indelreg, 0);
    for (const bam_pileup1_t& p : col.plp) EXPECT_EQ(p.aux >> 16, p.indel == 2 ? 1u : 0u);
}

TEST(GapPrep, FifthRankedTypeGetsIndexFourAndNoQuality) {
    // Deletions of 1, 2, 3 bases by 6, 5 and 4 reads, of 4 bases by one read.
    const int lens[] = {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 3, 3, 3, 3, 4};
    int k = 0;
    std::vector<bam1_ptr> recs = reads_around(site_ref, 100, 21, 16, [&](int st) { return deletion_at(100, st, lens[k++]); });
    column_t col(recs, 100);
    callaux_t bca;
    ASSERT_EQ(col.prep(&bca, site_ref, 100), 0);
    EXPECT_EQ(bca.indel_types[0], 0);
    EXPECT_EQ(std::set<int>(bca.indel_types + 1, bca.indel_types + 4), (std::set<int>{-1, -2, -3}));
    for (const bam_pileup1_t& p : col.plp) {
        if (p.indel == -4) {
            EXPECT_EQ(p.aux, 4u << 16);
        } else {
            EXPECT_EQ(bca.indel_types[p.aux >> 16], p.indel);
        }
    }
}

TEST(GapPrep, SupportFractionAndCount) {
    auto del = [](int st) { return deletion_at(100, st, 2); };
    struct row {
        int n_reads, n_alt, min_support, ret;
    } rows[] = {{1000, 1, 1, -1}, {1000, 2, 1, 0}, {16, 2, 3, -1}, {16, 3, 3, 0}};
    for (const row& r : rows) {
        column_t col(reads_around(site_ref, 100, r.n_reads, r.n_alt, del), 100);
        callaux_t bca;
        bca.min_support = r.min_support;
        EXPECT_EQ(col.prep(&bca, site_ref, 100), r.ret) << r.n_reads << " " << r.n_alt;
    }
}

TEST(GapPrep, RejectsMoreThanSixtyThreeTypesWithMessage) {
    for (int n_types : {64, 63}) {
        column_t col(reads_around(site_ref, 100, n_types, 0, no_indel), 100);
        for (int i = 1; i < n_types; ++i) col.plp[i].indel = i;  // bogus lengths: the reads carry no insertion
        callaux_t bca;
        testing::internal::CaptureStderr();
        int ret = col.prep(&bca, site_ref, 100);
        std::string err = testing::internal::GetCapturedStderr();
        if (n_types == 64) {
            EXPECT_EQ(ret, -1);
            EXPECT_EQ(err, "[bcf_call_gap_prep] excessive INDEL alleles at position 101. Skip the position.\n");
        } else {
            EXPECT_EQ(err, "");
        }
    }
}

TEST(GapPrep, ReadGroupsLimitDiscoveryOnly) {
    const char* text = "@RG\tID:g1\tPL:ILLUMINA\n@RG\tID:g2\tPL:SOLID\n";
    struct row {
        const char* platforms;
        int ret;
    } rows[] = {{"ILLUMINA", -1}, {"SOLID", 0}, {"PACBIO", -1}};
    for (const row& r : rows) {
        std::vector<bam1_ptr> recs = reads_around(site_ref, 100, 16, 12, [](int st) { return deletion_at(100, st, 2); });
        for (auto& b : recs) test_util::append_aux_string(b.get(), "RG", 'Z', b->core.n_cigar == 3 ? "g2" : "g1");
        column_t col(recs, 100);
        void* rg = bcf_call_add_rg(nullptr, text, r.platforms);
        callaux_t bca;
        EXPECT_EQ(col.prep(&bca, site_ref, 100, rg), r.ret) << r.platforms;
        if (r.ret == 0) {  // reads of other groups are still scored
            for (const bam_pileup1_t& p : col.plp) {
                if (p.indel == 0) {
                    EXPECT_EQ(p.aux >> 8, 60u) << p.b->core.pos;
                }
            }
        }
        bcf_call_del_rghash(rg);
    }
}

TEST(GapPrep, InsertionAfterTheLastReferenceBase) {
    // Reads overhang the 150-base reference; the site is its last base.
    const std::string ref = make_ref(150);
    std::vector<bam1_ptr> recs;
    for (int i = 0; i < 8; ++i) {
        const char* cigar = i < 5 ? "40M3I5M" : "45M";
        recs.push_back(make_read(110, cigar, ref.substr(110) + (i < 5 ? "GGGCCCCC" : "CCCCC")));
    }
    column_t col(recs, 149);
    callaux_t bca;
    ASSERT_EQ(col.prep(&bca, ref, 149), 0);
    EXPECT_EQ(bca.indel_types[1], 3);
    EXPECT_EQ(bca.maxins, 3);
    EXPECT_EQ(bca.indelreg, 0);
    EXPECT_EQ(std::vector<int>(bca.inscns + 3, bca.inscns + 6), (std::vector<int>{2, 2, 2}));
    for (const bam_pileup1_t& p : col.plp) EXPECT_EQ(p.aux >> 16, p.indel == 3 ? 1u : 0u);
    EXPECT_EQ(col.prep(&bca, ref, 150), -1);  // no reference base at the site
}

TEST(GapPrep, DeletionAfterTheFirstReferenceBase) {
    const std::string ref = make_ref(200, 0, "TACG");
    std::vector<bam1_ptr> recs;
    for (int i = 0; i < 10; ++i) {
        const char* cigar = i < 6 ? "1M2D59M" : "60M";
        recs.push_back(make_read(0, cigar, read_bases(ref, 0, cigar)));
    }
    column_t col(recs, 0);
    callaux_t bca;
    ASSERT_EQ(col.prep(&bca, ref, 0), 0);
    EXPECT_EQ(bca.indel_types[1], -2);
    EXPECT_EQ(bca.indelreg, 2);
    for (const bam_pileup1_t& p : col.plp) EXPECT_EQ(p.aux >> 16, p.indel == -2 ? 1u : 0u);
}

TEST(GapPrep, NothingToCall) {
    column_t col(reads_around(site_ref, 100, 16, 0, no_indel), 100);
    callaux_t bca;
    EXPECT_EQ(col.prep(&bca, site_ref, 100), -1);  // no read with an indel
    column_t del(reads_around(site_ref, 100, 16, 8, [](int st) { return deletion_at(100, st, 2); }), 100);
    int n = static_cast<int>(del.plp.size());
    bam_pileup1_t* p = del.plp.data();
    EXPECT_EQ(bcf_call_gap_prep(1, &n, &p, 100, &bca, nullptr, 300, nullptr), -1);
    EXPECT_EQ(bcf_call_gap_prep(1, &n, &p, 100, nullptr, site_ref.c_str(), 300, nullptr), -1);
    del.plp[0].indel = -bcf_indel_max_len - 1;  // only a damaged record claims this
    EXPECT_EQ(del.prep(&bca, site_ref, 100), -1);
    del.plp[0].indel = bcf_indel_max_len;
    EXPECT_EQ(del.prep(&bca, site_ref, 100), 0);
}

}  // namespace
