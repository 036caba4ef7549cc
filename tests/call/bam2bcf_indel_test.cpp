// Indel preparation: the stand-alone steps on tables worked by hand, and
// whole columns built from crafted reads run through the pileup engine.
#include "call/bam2bcf_indel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "call/kprobaln.h"
#include "common/record_util.h"
#include "containers/khash.h"

namespace {

// A record at `pos` with `cigar` (M, I, D, N, S only), bases `seq`, quality 30.
bam1_ptr make_read(int pos, const std::string& cigar, const std::string& seq) {
    std::vector<uint32_t> ops;
    for (size_t i = 0, used; i < cigar.size(); i += used + 1)
        ops.push_back(std::stoul(cigar.substr(i), &used) << BAM_CIGAR_SHIFT | (std::strchr("MIDNS", cigar[i + used]) - "MIDNS"));
    bam1_ptr b = bam1_make();
    b->core = bam1_core_t{0, pos, 0, 60, 2, 0, static_cast<uint16_t>(ops.size()), static_cast<int32_t>(seq.size()), -1, -1, 0};
    b->l_aux = 0;
    b->data_len = rec_data_len(&b->core, 0);
    EXPECT_EQ(bam_grow_data(b.get(), static_cast<size_t>(b->data_len)), 0);
    std::memcpy(b->data, "r", 2);
    for (size_t k = 0; k < ops.size(); ++k) cigar_set(rec_cigar(b.get()), static_cast<int>(k), ops[k]);
    std::memset(rec_seq(b.get()), 0, (seq.size() + 1) / 2);
    for (size_t i = 0; i < seq.size(); ++i) rec_seq(b.get())[i / 2] |= bam_nt16_table[uint8_t(seq[i])] << ((~i & 1) << 2);
    std::memset(rec_qual(b.get()), 30, seq.size());
    return b;
}

// The bases a CIGAR implies against `ref` from `pos` (I takes `ins`).
std::string read_bases(const std::string& ref, int pos, const std::string& cigar, const std::string& ins = "") {
    std::string out;
    for (size_t i = 0, used; i < cigar.size(); i += used + 1) {
        int len = std::stoi(cigar.substr(i), &used);
        if (cigar[i + used] == 'M') out += ref.substr(pos, len);
        if (cigar[i + used] == 'I') out += ins.substr(0, len);
        if (cigar[i + used] != 'I') pos += len;
    }
    return out;
}

// A fixed pseudo-random reference with `patch` written at `at`.
std::string make_ref(int len, int at = 0, const std::string& patch = "") {
    std::string s;
    for (uint32_t i = 0, x = 12345; i < uint32_t(len); ++i) s += "ACGT"[(x = x * 1103515245u + 12345u) >> 16 & 3];
    return s.replace(at, patch.size(), patch);
}

// Reads of 60 bases starting every 3 bases from `pos` - 50: read i < lens.size()
// carries an indel of lens[i] after `pos` (inserting `ins`), the others none.
std::vector<bam1_ptr> reads_around(const std::string& ref, int pos, int n_reads, const std::vector<int>& lens,
                                   const std::string& ins = "") {
    std::vector<bam1_ptr> recs;
    for (int i = 0; i < n_reads; ++i) {
        int start = pos - 50 + 3 * (i % 16), m1 = pos - start + 1, l = i < int(lens.size()) ? lens[i] : 0;
        std::string cigar = l == 0 ? "60M"
                                   : std::to_string(m1) + "M" + std::to_string(std::abs(l)) + (l < 0 ? "D" : "I") +
                                         std::to_string(60 - m1 - std::max(l, 0)) + "M";
        recs.push_back(make_read(start, cigar, read_bases(ref, start, cigar, ins)));
    }
    std::sort(recs.begin(), recs.end(), [](const bam1_ptr& a, const bam1_ptr& b) { return a->core.pos < b->core.pos; });
    return recs;
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
            for (int i = 0; p == pos && i < n; ++i) {
                reads.emplace_back(bam_dup1(e[i].b));
                plp.push_back(e[i]);
                plp.back().b = reads.back().get();
            }
        bam_plp_destroy(iter);
    }
    int prep(bcf_callaux_t* bca, const std::string& ref, int pos, const void* rghash = nullptr) {
        std::vector<char> exact(ref.begin(), ref.end());  // no terminator: reading past the end is an overflow
        int n = static_cast<int>(plp.size());
        bam_pileup1_t* p = plp.data();
        return bcf_call_gap_prep(1, &n, &p, pos, bca, exact.data(), static_cast<int>(exact.size()), rghash);
    }
    // The reported alleles, and every read's allele index pointing to its own indel.
    void expect_site(const bcf_callaux_t& bca, std::vector<int> types, int maxins, int indelreg) const {
        types.resize(4, bcf_indel_null);
        EXPECT_EQ(std::vector<int>(bca.indel_types, bca.indel_types + 4), types);
        EXPECT_EQ(bca.maxins, maxins);
        EXPECT_EQ(bca.indelreg, indelreg);
        for (const bam_pileup1_t& p : plp) EXPECT_TRUE(p.is_del || bca.indel_types[p.aux >> 16] == p.indel) << p.b->core.pos;
    }
};

struct callaux_t : bcf_callaux_t {
    callaux_t() : bcf_callaux_t{} { capQ = 60, openQ = 40, extQ = 20, tandemQ = 100, min_support = 1, min_frac = 0.002; }
    ~callaux_t() { std::free(inscns); }
};

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
const std::vector<int> del2(12, -2);

TEST(GapPrep, ClearDeletionAndInsertion) {
    std::vector<bam1_ptr> recs = reads_around(site_ref, 100, 16, del2);
    // A deletion over the whole window leaves this read no query: zero scores.
    recs.insert(recs.begin(), make_read(45, "5M110D55M", read_bases(site_ref, 45, "5M110D55M")));
    column_t col(recs, 100);
    callaux_t bca;
    ASSERT_EQ(col.prep(&bca, site_ref, 100), 0);
    col.expect_site(bca, {0, -2}, 0, 2);
    for (const bam_pileup1_t& p : col.plp) {
        EXPECT_EQ(p.aux >> 8 & 0xff, 60u);
        EXPECT_TRUE(p.is_del ? (p.aux & 0xff) == 0 : (p.aux & 0xff) > 20) << p.b->core.pos;
    }

    column_t ins(reads_around(site_ref, 100, 16, std::vector<int>(6, 2), "GT"), 100);
    ASSERT_EQ(ins.prep(&bca, site_ref, 100), 0);
    ins.expect_site(bca, {0, 2}, 2, 0);
    EXPECT_EQ(std::vector<int>(bca.inscns + 2, bca.inscns + 4), (std::vector<int>{2, 3}));  // G T
}

// One read of the deletion column scored by hand: its query against slices
// of the two haplotypes (the deletion one entered two bases earlier).
TEST(GapPrep, ReadQualityFollowsFromItsAlignments) {
    column_t col(reads_around(site_ref, 100, 16, del2), 100);
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
    uint32_t want = 1u << 16 | 60u << 8 | uint32_t(std::min({indel_q(r1_ref, r1_del), indel_q(r2_ref, r2_del), 255}));
    auto read80 = std::find_if(col.plp.begin(), col.plp.end(), [](const bam_pileup1_t& p) { return p.b->core.pos == 80; });
    ASSERT_NE(read80, col.plp.end());
    EXPECT_EQ(read80->aux, want);
}

// The prepared column feeds the site likelihoods: one alternative, the deletion.
TEST(GapPrep, SiteCallHasTheDeletionAsAlternative) {
    column_t col(reads_around(site_ref, 100, 16, del2), 100);
    std::unique_ptr<bcf_callaux_t, decltype(&bcf_call_destroy)> bca(bcf_call_init(-1, 13), bcf_call_destroy);
    ASSERT_EQ(col.prep(bca.get(), site_ref, 100), 0);
    bcf_callret1_t r{};
    ASSERT_EQ(bcf_call_glfgen(16, col.plp.data(), -1, bca.get(), &r), 16);
    EXPECT_EQ(r.anno[0] + r.anno[1], 4);  // reference reads
    EXPECT_EQ(r.anno[2] + r.anno[3], 12);
    bcf_call_t call{};
    EXPECT_EQ(bcf_call_combine(1, &r, -1, &call), 0);
    EXPECT_EQ(call.n_alleles, 2);
    EXPECT_EQ(call.a[1], 1);  // index 1 of indel_types: -2
    std::free(call.PL);
}

TEST(GapPrep, FifthRankedTypeGetsIndexFourAndNoQuality) {
    // Deletions of 1, 2, 3 bases by 6, 5 and 4 reads, of 4 bases by one read.
    column_t col(reads_around(site_ref, 100, 21, {-1, -1, -1, -1, -1, -1, -2, -2, -2, -2, -2, -3, -3, -3, -3, -4}), 100);
    callaux_t bca;
    ASSERT_EQ(col.prep(&bca, site_ref, 100), 0);
    EXPECT_EQ(bca.indel_types[0], 0);
    EXPECT_EQ(std::set<int>(bca.indel_types + 1, bca.indel_types + 4), (std::set<int>{-1, -2, -3}));
    for (const bam_pileup1_t& p : col.plp)
        EXPECT_TRUE(p.indel == -4 ? p.aux == 4u << 16 : bca.indel_types[p.aux >> 16] == p.indel) << p.indel;
}

TEST(GapPrep, RejectedColumns) {
    struct row {
        int n_reads, n_alt, min_support, ret;
    } rows[] = {{1000, 1, 1, -1}, {1000, 2, 1, 0}, {16, 2, 3, -1}, {16, 3, 3, 0}, {16, 0, 1, -1}};
    for (const row& r : rows) {
        column_t col(reads_around(site_ref, 100, r.n_reads, std::vector<int>(r.n_alt, -2)), 100);
        callaux_t bca;
        bca.min_support = r.min_support;
        EXPECT_EQ(col.prep(&bca, site_ref, 100), r.ret) << r.n_reads << " " << r.n_alt;
    }
    // More than 63 types (with 0), then exactly 63; the lengths are bogus (no such insertions).
    for (int n_types : {64, 63}) {
        column_t col(reads_around(site_ref, 100, n_types, {}), 100);
        for (int i = 1; i < n_types; ++i) col.plp[i].indel = i;
        callaux_t bca;
        testing::internal::CaptureStderr();
        int ret = col.prep(&bca, site_ref, 100);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  n_types == 64 ? "[bcf_call_gap_prep] excessive INDEL alleles at position 101. Skip the position.\n" : "");
        EXPECT_TRUE(n_types == 63 || ret == -1);
    }
    column_t del(reads_around(site_ref, 100, 16, std::vector<int>(8, -2)), 100);
    callaux_t bca;
    int n = static_cast<int>(del.plp.size());
    bam_pileup1_t* p = del.plp.data();
    EXPECT_EQ(bcf_call_gap_prep(1, &n, &p, 100, &bca, nullptr, 300, nullptr), -1);
    EXPECT_EQ(bcf_call_gap_prep(1, &n, &p, 100, nullptr, site_ref.c_str(), 300, nullptr), -1);
    del.plp[0].indel = -bcf_indel_max_len - 1;  // only a damaged record claims this
    EXPECT_EQ(del.prep(&bca, site_ref, 100), -1);
    del.plp[0].indel = bcf_indel_max_len;
    EXPECT_EQ(del.prep(&bca, site_ref, 100), 0);
}

TEST(GapPrep, ReadGroupsLimitDiscoveryOnly) {
    struct row {
        const char* platforms;
        int ret;
    } rows[] = {{"ILLUMINA", -1}, {"SOLID", 0}, {"PACBIO", -1}};
    for (const row& r : rows) {
        std::vector<bam1_ptr> recs = reads_around(site_ref, 100, 16, del2);
        for (auto& b : recs) test_util::append_aux_string(b.get(), "RG", 'Z', b->core.n_cigar == 3 ? "g2" : "g1");
        column_t col(recs, 100);
        void* rg = bcf_call_add_rg(nullptr, "@RG\tID:g1\tPL:ILLUMINA\n@RG\tID:g2\tPL:SOLID\n", r.platforms);
        callaux_t bca;
        EXPECT_EQ(col.prep(&bca, site_ref, 100, rg), r.ret) << r.platforms;
        for (const bam_pileup1_t& p : col.plp)  // reads of other groups are still scored
            EXPECT_TRUE(r.ret != 0 || p.indel != 0 || p.aux >> 8 == 60u) << p.b->core.pos;
        bcf_call_del_rghash(rg);
    }
}

TEST(GapPrep, SitesAtTheReferenceEnds) {
    // An insertion after the last base of a 150-base reference, reads overhanging it.
    const std::string ref = make_ref(150);
    std::vector<bam1_ptr> recs;
    for (int i = 0; i < 8; ++i)
        recs.push_back(make_read(110, i < 5 ? "40M3I5M" : "45M", ref.substr(110) + (i < 5 ? "GGGCCCCC" : "CCCCC")));
    column_t last(recs, 149);
    callaux_t bca;
    ASSERT_EQ(last.prep(&bca, ref, 149), 0);
    last.expect_site(bca, {0, 3}, 3, 0);
    EXPECT_EQ(std::vector<int>(bca.inscns + 3, bca.inscns + 6), (std::vector<int>{2, 2, 2}));
    EXPECT_EQ(last.prep(&bca, ref, 150), -1);  // no reference base at the site

    // A deletion right after the first base.
    const std::string ref0 = make_ref(200, 0, "TACG");
    recs.clear();
    for (int i = 0; i < 10; ++i)
        recs.push_back(make_read(0, i < 6 ? "1M2D59M" : "60M", read_bases(ref0, 0, i < 6 ? "1M2D59M" : "60M")));
    column_t first(recs, 0);
    ASSERT_EQ(first.prep(&bca, ref0, 0), 0);
    first.expect_site(bca, {0, -2}, 0, 2);
}

}  // namespace
