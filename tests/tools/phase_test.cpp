// phase's pieces on crafted inputs: site calls from likelihood matrices, the
// fragment rules (phase, ambiguity, chimera repair, saturating counts), the
// filtered regions and the haplotype path.
#include "tools/phase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A fragment from a string of alleles ('0' unknown, '1', '2'), starting at site `vpos`.
frag_t make_frag(const std::string& alleles, int vpos = 0) {
    frag_t f{};
    for (size_t i = 0; i < alleles.size(); ++i) f.seq[i] = static_cast<int8_t>(alleles[i] - '0');
    f.vpos = vpos;
    f.vlen = static_cast<uint16_t>(alleles.size());
    f.single = alleles.size() == 1;
    return f;
}

void add(phase_frag_table_t* t, uint64_t key, const frag_t& f) {
    int ret;
    t->value(t->put(key, &ret)) = f;
}

std::string alleles_of(const frag_t& f) {
    std::string s;
    for (int i = 0; i < f.vlen; ++i) s.push_back(static_cast<char>('0' + f.seq[i]));
    return s;
}

TEST(PhaseSites, NameHashAndSiteValues) {
    EXPECT_EQ(phase_name_hash(""), 0U);
    EXPECT_EQ(phase_name_hash("ab"), 97U * 31 + 98);
    uint64_t h = 0;  // wraps in 64 bits
    const std::string name(40, 'z');
    for (char c : name) h = h * 31 + static_cast<uint64_t>(c);
    EXPECT_EQ(phase_name_hash(name.c_str()), h);

    struct gl_case {
        const char* what;
        std::vector<std::pair<int, float>> cells;  // (i << 2 | j, value), the rest 100 unless said
        uint32_t want;
    };
    const std::vector<gl_case> cases = {
        // Het {A, G}: the first field is G with the LOD, the second A with score 1.
        {"heterozygote", {{0 << 2 | 2, 0.f}, {0, 40.4f}}, 1U << 18 | 0U << 16 | 2 | 40U << 2},
        {"LOD rounds at .501", {{1 << 2 | 3, 2.f}, {1 << 2 | 1, 39.001f}}, 1U << 18 | 1U << 16 | 3 | 37U << 2},
        {"homozygote", {{1 << 2 | 1, 0.f}, {1 << 2 | 2, 3.f}}, 0},
        // The pair scanned second takes the minimum; a later value between them becomes the second.
        {"second smallest found after the minimum", {{0, 10.f}, {0 << 2 | 1, 5.f}, {1 << 2 | 1, 7.f}}, 1U << 18 | 1 | 2U << 2},
        {"equal values keep the first pair", {{0 << 2 | 3, 4.f}, {2 << 2 | 3, 4.f}}, 1U << 18 | 3 | 0U << 2},
        {"the LOD field holds at most 14 bits", {{2 << 2 | 3, 0.f}, {-1, 20000.f}}, 1U << 18 | 2U << 16 | 3 | 0x3fffU << 2},
    };
    for (const gl_case& c : cases) {
        float q[16];
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) q[i << 2 | j] = c.cells.back().first < 0 ? c.cells.back().second : 100.f;
        for (auto [cell, v] : c.cells)
            if (cell >= 0) q[cell] = q[(cell & 3) << 2 | cell >> 2] = v;
        EXPECT_EQ(phase_gl2cns(q), c.want) << c.what;
        EXPECT_EQ(phase_site_lod(phase_gl2cns(q)), static_cast<int>(c.want >> 2 & 0x3fff)) << c.what;
    }
}

TEST(PhaseFragments, PhaseAmbiguityAndChimeraRepair) {
    struct frag_case {
        const char* what;
        std::string alleles;
        bool repair;
        int phase, in, out, phased, ambig, flip;
        std::string after;  // alleles after the repair
    };
    // The path is all 0: allele 1 sits on haplotype 0 everywhere.
    const std::vector<frag_case> cases = {
        {"all on haplotype 0", "111", true, 0, 3, 0, 1, 0, 0, "111"},
        {"all on haplotype 1", "222", true, 1, 3, 0, 1, 0, 0, "222"},
        {"a tie goes to phase 1", "12", true, 1, 1, 1, 0, 1, 0, "12"},
        {"two against one is ambiguous", "1012", true, 0, 2, 1, 1, 1, 0, "1012"},
        {"three against two is ambiguous too", "11122", true, 0, 3, 2, 1, 1, 0, "11122"},
        {"four against one is not", "11112", true, 0, 4, 1, 1, 0, 0, "11112"},
        {"two against one with an unknown gap", "2201", true, 1, 2, 1, 1, 1, 0, "2201"},
        // A switch after four sites: the best split beats each side by 4.
        {"chimera, left part flipped", "11112222", true, 1, 4, 4, 0, 0, 1, "22222222"},
        {"chimera, right part flipped", "111112222", true, 0, 5, 4, 1, 0, 1, "111111111"},
        {"chimera with unknown sites", "11011022022", true, 1, 4, 4, 0, 0, 1, "22022022022"},
        {"chimera without repair", "11112222", false, 1, 4, 4, 0, 0, 0, "11112222"},
        // Three and three: the split beats each side by only 3.
        {"too short to repair", "111222", true, 1, 3, 3, 0, 0, 0, "111222"},
        {"one side of 3 against 5", "11122222", true, 1, 5, 3, 1, 0, 0, "11122222"},
        {"needs more than two sites on each side", "1122222222", true, 1, 8, 2, 1, 0, 0, "1122222222"},
    };
    for (const frag_case& c : cases) {
        phase_frag_table_t t;
        add(&t, 1, make_frag(c.alleles));
        const std::vector<int8_t> path(c.alleles.size(), 0);
        const std::vector<uint64_t> counts = phase_fragphase(static_cast<int>(path.size()), path.data(), &t, c.repair);
        const frag_t& f = t.value(t.get(1));
        EXPECT_EQ(f.phase, c.phase) << c.what;
        EXPECT_EQ(f.in, c.in) << c.what;
        EXPECT_EQ(f.out, c.out) << c.what;
        EXPECT_EQ(f.phased, c.phased) << c.what;
        EXPECT_EQ(f.ambig, c.ambig) << c.what;
        EXPECT_EQ(f.flip, c.flip) << c.what;
        EXPECT_EQ(alleles_of(f), c.after) << c.what;
        // Each known site counts once, as consistent or not with the fragment's phase.
        for (size_t i = 0; i < counts.size(); ++i) {
            const int a = f.seq[i];
            uint64_t want = 0;
            if (a) {
                const bool consistent = (f.phase ? 2 - a : a - 1) == 0;
                want = uint64_t{1} << (16 * (f.phase * 2 + (consistent ? 0 : 1)));
            }
            EXPECT_EQ(counts[i], want) << c.what << " site " << i;
        }
    }
}

TEST(PhaseFragments, PathDecidesConsistencyAndOnlyTheBlockCounts) {
    phase_frag_table_t t;
    add(&t, 1, make_frag("12", 0));
    add(&t, 2, make_frag("1", 1));    // single: phased but not counted
    add(&t, 3, make_frag("212", 2));  // starts at the next block: untouched
    frag_t& next = t.value(t.get(3));
    next.in = 77;
    const std::vector<int8_t> path = {0, 1};
    const std::vector<uint64_t> c = phase_fragphase(2, path.data(), &t, true);
    const frag_t& f = t.value(t.get(1));
    EXPECT_EQ(f.phase, 0);  // allele 1 = path + 1 at site 0, allele 2 = path + 1 at site 1
    EXPECT_EQ(f.in, 2);
    EXPECT_EQ(c, (std::vector<uint64_t>{1, 1}));
    const frag_t& s = t.value(t.get(2));
    EXPECT_EQ(s.phase, 1);
    EXPECT_EQ(s.phased, 1);
    EXPECT_EQ(t.value(t.get(3)).in, 77);
}

TEST(PhaseFragments, CountsSaturateInsteadOfCarrying) {
    phase_frag_table_t t;
    const int n = 65540;
    for (int i = 0; i < n; ++i) add(&t, static_cast<uint64_t>(i) + 1, make_frag("11"));
    add(&t, 1000000, make_frag("22"));
    const std::vector<int8_t> path = {0, 0};
    const std::vector<uint64_t> c = phase_fragphase(2, path.data(), &t, false);
    EXPECT_EQ(c[0], 0xffffULL | 1ULL << 32);
    EXPECT_EQ(c[1], 0xffffULL | 1ULL << 32);
}

uint64_t counts(int c0, int c1, int c2, int c3) {
    return static_cast<uint64_t>(c0) | static_cast<uint64_t>(c1) << 16 | static_cast<uint64_t>(c2) << 32 |
           static_cast<uint64_t>(c3) << 48;
}

TEST(PhaseMask, FilteredRegions) {
    struct mask_case {
        const char* what;
        std::vector<uint64_t> sites;
        std::vector<std::pair<int, int>> want;
    };
    const std::vector<mask_case> cases = {
        {"clean sites", {counts(5, 0, 4, 0), counts(3, 0, 3, 0)}, {}},
        // Scores 3 then 6 then back to 0: sites 1-2; a new walk from site 3
        // reaches 5 at site 4 and stands at 3 at the last site: site 4.
        {"two regions",
         {counts(5, 0, 0, 0), counts(0, 2, 0, 0), counts(0, 1, 0, 1), counts(10, 0, 0, 0), counts(0, 3, 0, 0),
          counts(1, 0, 1, 0)},
         {{1, 2}, {4, 4}}},
        // A maximum of 2 is not enough, 3 is.
        {"score 2", {counts(0, 0, 0, 1), counts(0, 0, 0, 1), counts(9, 0, 0, 0)}, {}},
        {"score 3", {counts(0, 0, 0, 1), counts(0, 1, 0, 0), counts(0, 1, 0, 0), counts(9, 0, 0, 0)}, {{0, 2}}},
        // The last site closes a region that peaked before it.
        {"peak before the end", {counts(1, 0, 0, 0), counts(0, 4, 0, 0), counts(2, 0, 0, 0)}, {{1, 1}}},
        // Only the score before a site counts: a region peaking at the last site is not closed.
        {"peak at the last site", {counts(1, 0, 0, 0), counts(0, 4, 0, 0)}, {}},
    };
    for (const mask_case& c : cases) EXPECT_EQ(phase_genmask(static_cast<int>(c.sites.size()), c.sites.data()), c.want) << c.what;
}

TEST(PhasePath, WindowsLinkSitesAndTheMajorityWins) {
    struct path_case {
        const char* what;
        int k;
        std::vector<std::pair<std::string, int>> frags;  // alleles and copies
        std::vector<int8_t> want;                        // up to exchanging the haplotypes; -1 either
    };
    const std::vector<path_case> cases = {
        {"two haplotypes", 13, {{"121", 3}, {"212", 3}}, {0, 1, 0}},
        {"majority", 13, {{"1211", 4}, {"2122", 3}, {"1111", 2}}, {0, 1, 0, 0}},
        // An unknown site inside a window is enumerated both ways.
        {"gap in the middle", 3, {{"102", 3}, {"201", 2}}, {0, -1, 1}},
        {"short windows", 2, {{"12", 3}, {"021", 3}}, {0, 1, 0}},
    };
    for (const path_case& c : cases) {
        phase_frag_table_t t;
        uint64_t key = 1;
        for (const auto& [a, copies] : c.frags)
            for (int i = 0; i < copies; ++i) add(&t, key++, make_frag(a));
        const int vpos = static_cast<int>(c.want.size());
        const std::vector<int8_t> got = phase_dynaprog(c.k, vpos, &t);
        ASSERT_EQ(got.size(), c.want.size()) << c.what;
        const int flip = got[0] ^ c.want[0];
        for (int i = 0; i < vpos; ++i)
            if (c.want[i] >= 0) {
                EXPECT_EQ(got[i] ^ flip, c.want[i]) << c.what << " site " << i;
            }
    }
    // A window of one site never counts: without evidence every comparison
    // ties, the back pointers all say 1 and the path alternates, whatever the
    // fragments say.
    phase_frag_table_t t;
    for (uint64_t key = 1; key <= 3; ++key) add(&t, key, make_frag("11"));
    EXPECT_EQ(phase_dynaprog(2, 2, &t), (std::vector<int8_t>{0, 0}));
    EXPECT_EQ(phase_dynaprog(1, 2, &t), (std::vector<int8_t>{1, 0}));
}

}  // namespace
