// The banded pair HMM: cases worked by hand, placements of reads with known
// indels, agreement with a plain unscaled long-double model over random small
// cases, and the calls the model refuses.
#include "call/kprobaln.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> codes(const std::string& s) {
    std::vector<uint8_t> v;
    for (char ch : s) v.push_back(ch == 'A' ? 0 : ch == 'C' ? 1 : ch == 'G' ? 2 : ch == 'T' ? 3 : 4);
    return v;
}

struct run_t {
    int r;
    std::vector<int> state;
    std::vector<uint8_t> q;
};

run_t align(const std::vector<uint8_t>& ref, const std::vector<uint8_t>& query, const uint8_t* qual = nullptr,
            const kpa_par_t& par = kpa_par_def) {
    run_t out{0, std::vector<int>(query.size(), -7), std::vector<uint8_t>(query.size(), 222)};
    out.r = kpa_glocal(ref.data(), static_cast<int>(ref.size()), query.data(), static_cast<int>(query.size()), qual, &par,
                       out.state.data(), out.q.data());
    return out;
}

TEST(KpaGlocal, QualityTable) {
    const float* t = kpa_qual2prob();
    EXPECT_EQ(t[0], 1.0f);
    EXPECT_EQ(t[10], 0.1f);
    EXPECT_EQ(t[20], 0.01f);
    EXPECT_EQ(t[30], 0.001f);
    EXPECT_EQ(t[3], static_cast<float>(0.50118723362727224));
    EXPECT_GT(t[255], 0.0f);
    EXPECT_LT(t[255], 1e-25f);
}

// One query base against one reference base, default parameters.  With
// l_ref = l_query = 1: bM = float(1 - 0.001) = 0.999, bI = 0.001, sM = sI = 1/4.
// Row 1: M = em * bM, I = 0.25 * bI = 0.00025, s1 = M + I; normalised
// M' = M/s1, I' = I/s1, and s2 = (M' + I')/4 = 1/4, so P = s1/4 and the result
// is (int)(-4.343 ln((M + I)/4) + 0.499).  Backward: both states get
// 1/(4 s1 s2), so the posteriors are proportional to M and I; the placement is
// the larger and q = -4.343 ln(smaller/(M + I)).
//   quality 30, eps = 0.001: match M = 0.998001 -> P = 0.249563, 6.028 -> 6;
//     q = -4.343 ln(0.00025/0.998251) = 36.01 -> 36.
//   mismatch M = 0.001/3 * 0.999 = 0.000333 -> P = 0.000146, 38.36 -> 38;
//     q = -4.343 ln(0.00025/0.000583) = 3.68 -> 4.
//   unknown on either side: M = 0.999 -> P = 0.249813, 6.024 -> 6; q 36.02 -> 36.
//   quality 3, eps = 0.501187: match M = 0.498314 -> 9.04 -> 9, q 33.00 -> 33;
//     mismatch M = 0.166895 -> 13.79 -> 14, q 28.25 -> 28; unknown as above.
//   quality 0, eps = 1: M = 0, I = 0.00025 -> P = 0.0000625, 42.04 -> 42;
//     the insertion holds the whole posterior (1 - best/sum = 0): q = 99.
TEST(KpaGlocal, SingleBaseCasesWorkedByHand) {
    struct case_t {
        uint8_t ref, query, qual;
        int r, state, q;
    };
    const case_t cases[] = {
        {2, 2, 30, 6, 0, 36}, {1, 2, 30, 38, 0, 4}, {0, 4, 30, 6, 0, 36}, {4, 3, 30, 6, 0, 36},  {3, 3, 3, 9, 0, 33},
        {0, 3, 3, 14, 0, 28}, {0, 4, 3, 6, 0, 36},  {1, 4, 3, 6, 0, 36},  {2, 4, 3, 6, 0, 36},   {3, 4, 3, 6, 0, 36},
        {4, 4, 3, 6, 0, 36},  {4, 0, 3, 6, 0, 36},  {15, 1, 3, 6, 0, 36}, {2, 200, 3, 6, 0, 36}, {1, 1, 0, 42, 1, 99},
    };
    for (const case_t& c : cases) {
        const run_t got = align({c.ref}, {c.query}, &c.qual);
        const std::string at = std::to_string(c.ref) + " vs " + std::to_string(c.query) + " q" + std::to_string(c.qual);
        EXPECT_EQ(got.r, c.r) << at;
        EXPECT_EQ(got.state[0], c.state) << at;
        EXPECT_EQ(got.q[0], c.q) << at;
    }
}

// Query A against reference AA: both columns are alike, so their posteriors
// tie exactly and the first column must win.  bM = float(0.999/2) = 0.4995,
// bI = 0.0005, I = 0.25 * bI = 0.000125 in each column, s2 = 1/4.
//   quality 30: M = 0.998001 * 0.4995 = 0.498500 per column; P = 2(M + I)/4
//     = 0.249563, -4.343 ln(2 P) = 3.02 -> 3; best = M, q = -4.343 ln(1 -
//     M/(2M + 2I)) = 3.01 -> 3; state: match at reference base 0.
//   quality 0: M = 0, P = 2I/4 = 0.0000625, -4.343 ln(2 P) = 39.03 -> 39;
//     q = -4.343 ln(1/2) = 3.01 -> 3; state: insertion after reference base 0.
TEST(KpaGlocal, ExactTiesKeepTheFirstCell) {
    struct case_t {
        uint8_t qual;
        int r, state, q;
    };
    for (const case_t c : {case_t{30, 3, 0, 3}, case_t{0, 39, 1, 3}}) {
        const run_t got = align(codes("AA"), codes("A"), &c.qual);
        EXPECT_EQ(got.r, c.r) << int{c.qual};
        EXPECT_EQ(got.state[0], c.state) << int{c.qual};
        EXPECT_EQ(got.q[0], c.q) << int{c.qual};
    }
}

TEST(KpaGlocal, IdenticalTwentyBasesMatchInPlace) {
    const std::vector<uint8_t> ref = codes("ACGTTGCAAGCTTCAGGATC");
    const run_t got = align(ref, ref);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(got.state[i], i << 2) << i;
        EXPECT_GT(got.q[i], 20) << i;
    }
    const std::vector<uint8_t> q30(20, 30);
    const run_t with_qual = align(ref, ref, q30.data());
    EXPECT_EQ(with_qual.r, got.r);
    EXPECT_EQ(with_qual.state, got.state);
    EXPECT_EQ(with_qual.q, got.q);
}

TEST(KpaGlocal, BandWidensToTheLengthDifference) {
    const std::vector<uint8_t> ref = codes("ACGTTGCAAGCTTCAGGATCCATGCAGTCA");
    const kpa_par_t narrow = {0.001f, 0.1f, 2};
    EXPECT_EQ(kpa_cells(30, 10, &narrow), 10 * (2 * 20 + 1));
    EXPECT_EQ(kpa_cells(10, 30, &narrow), 30 * (2 * 20 + 1));
    // The last ten bases are reachable from row 1 only through a band of 20.
    for (int start : {0, 7, 20}) {
        const std::vector<uint8_t> query(ref.begin() + start, ref.begin() + start + 10);
        const run_t got = align(ref, query, nullptr, narrow);
        const kpa_par_t wide = {0.001f, 0.1f, 20};
        const run_t as_wide = align(ref, query, nullptr, wide);
        EXPECT_EQ(got.r, as_wide.r) << start;
        EXPECT_EQ(got.q, as_wide.q) << start;
        for (int i = 0; i < 10; ++i) EXPECT_EQ(got.state[i], (start + i) << 2) << start << " " << i;
    }
}

TEST(KpaGlocal, PlacementOnlyWhenBothOutputsAreGiven) {
    const std::vector<uint8_t> ref = codes("ACGTTGCAAGCTTCAGGATCCATG");
    const std::vector<uint8_t> query = codes("TTGCAAGCTTGAGGAT");
    const run_t full = align(ref, query);
    const int n = static_cast<int>(query.size());
    std::vector<int> state(query.size(), -7);
    std::vector<uint8_t> q(query.size(), 222);
    EXPECT_EQ(kpa_glocal(ref.data(), 24, query.data(), n, nullptr, &kpa_par_def, state.data(), nullptr), full.r);
    EXPECT_EQ(state, std::vector<int>(query.size(), -7));
    EXPECT_EQ(kpa_glocal(ref.data(), 24, query.data(), n, nullptr, &kpa_par_def, nullptr, q.data()), full.r);
    EXPECT_EQ(q, std::vector<uint8_t>(query.size(), 222));
    EXPECT_EQ(kpa_glocal(ref.data(), 24, query.data(), n, nullptr, &kpa_par_def, nullptr, nullptr), full.r);
    EXPECT_EQ(full.state[0], 3 << 2);
}

TEST(KpaGlocal, InsertionAndDeletionPlacements) {
    const std::string ref_text = "ACGTTGCAAGCTTCAGGATCCATGCAGTCA";
    const std::vector<uint8_t> ref = codes(ref_text);
    const std::vector<uint8_t> qual(22, 35);
    {  // ref[5..15) + "TC" + ref[15..25): the two extra bases follow reference base 14
        const run_t got = align(ref, codes(ref_text.substr(5, 10) + "TC" + ref_text.substr(15, 10)), qual.data());
        for (int i = 0; i < 22; ++i) {
            const int want = i < 10 ? (5 + i) << 2 : i < 12 ? (14 << 2 | 1) : (3 + i) << 2;
            EXPECT_EQ(got.state[i], want) << i;
        }
    }
    {  // ref[5..15) + ref[17..27): reference bases 15 and 16 are skipped
        const run_t got = align(ref, codes(ref_text.substr(5, 10) + ref_text.substr(17, 10)), qual.data());
        for (int i = 0; i < 20; ++i) EXPECT_EQ(got.state[i], (i < 10 ? 5 + i : 7 + i) << 2) << i;
    }
}

TEST(KpaGlocal, RefusedCallsLeaveTheOutputsAlone) {
    const std::vector<uint8_t> base = codes("ACGTACGT");
    struct case_t {
        int l_ref, l_query;
    };
    for (const case_t c : {case_t{0, 8}, case_t{8, 0}, case_t{0, 0}, case_t{-1, 8}, case_t{8, -5}}) {
        std::vector<int> state(8, -7);
        std::vector<uint8_t> q(8, 222);
        EXPECT_EQ(kpa_glocal(base.data(), c.l_ref, base.data(), c.l_query, nullptr, &kpa_par_def, state.data(), q.data()),
                  kpa_no_result)
            << c.l_ref << " " << c.l_query;
        EXPECT_EQ(state, std::vector<int>(8, -7));
        EXPECT_EQ(q, std::vector<uint8_t>(8, 222));
    }
    // Without gap opening nothing can absorb the query bases beyond the reference.
    const kpa_par_t no_gaps = {0.0f, 0.1f, 10};
    const run_t impossible = align(codes("A"), codes("AAA"), nullptr, no_gaps);
    EXPECT_EQ(impossible.r, kpa_no_result);
    EXPECT_EQ(impossible.state, std::vector<int>(3, -7));
}

TEST(KpaGlocal, CellCount) {
    struct case_t {
        int l_ref, l_query, bw;
        int64_t cells;
    };
    const int big = 2147483647;
    const case_t cases[] = {
        {100, 100, 10, 100 * 21},
        {5, 5, 10, 5 * 11},  // the band never exceeds the longer sequence
        {3, 7, 10, 7 * 15},
        {30, 10, 2, 10 * 41},
        {30, 30, 0, 30},
        {8, 8, -4, 8},  // a negative band still covers the diagonal
        {0, 10, 10, 0},
        {10, 0, 10, 0},
        {big, 1, 10, int64_t{1} * (2 * int64_t{big - 1} + 1)},
        {big, big, big, int64_t{big} * (2 * int64_t{big} + 1)},
    };
    for (const case_t& c : cases) {
        const kpa_par_t par = {0.001f, 0.1f, c.bw};
        EXPECT_EQ(kpa_cells(c.l_ref, c.l_query, &par), c.cells) << c.l_ref << " " << c.l_query << " " << c.bw;
    }
}

TEST(KpaGlocal, CallsAboveTheCellCapAreRefused) {
    // 2^20 query bases against 2^22 reference bases: the band widens to about
    // three million, far above the cap, which must be checked before allocating.
    const std::vector<uint8_t> ref(size_t{1} << 22, 1), query(size_t{1} << 20, 1);
    const kpa_par_t par = kpa_par_def;
    ASSERT_GT(kpa_cells(1 << 22, 1 << 20, &par), kpa_max_cells);
    std::vector<int> state(query.size(), -7);
    std::vector<uint8_t> q(query.size(), 222);
    EXPECT_EQ(kpa_glocal(ref.data(), 1 << 22, query.data(), 1 << 20, nullptr, &par, state.data(), q.data()), kpa_no_result);
    EXPECT_EQ(state[0], -7);
    EXPECT_EQ(q.back(), 222);
    // Just below the cap by query length and band: 2^20 rows of 63 cells are accepted.
    const kpa_par_t bw31 = {0.001f, 0.1f, 31};
    EXPECT_LE(kpa_cells(1 << 20, 1 << 20, &bw31), kpa_max_cells);
    const kpa_par_t bw32 = {0.001f, 0.1f, 32};
    EXPECT_GT(kpa_cells(1 << 20, 1 << 20, &bw32), kpa_max_cells);
}

// A plain model for comparison: the whole matrix in long double without
// scaling; cells outside the band are zero.
struct plain_model_t {
    bool impossible = false;  // the query has probability zero
    int r = 0;                // phred result, rounded
    std::vector<int> state;
    std::vector<long double> q;      // unrounded placement quality
    std::vector<bool> clear_winner;  // the best placement beats the runner-up clearly
};

plain_model_t plain_model(const std::vector<uint8_t>& ref, const std::vector<uint8_t>& query, const std::vector<uint8_t>& qual,
                          const kpa_par_t& par) {
    using ld = long double;
    const int lr = static_cast<int>(ref.size()), lq = static_cast<int>(query.size());
    int bw = std::min(par.bw, std::max(lr, lq));
    bw = std::max(bw, std::abs(lr - lq));
    auto in_band = [&](int i, int k) { return k >= 1 && k <= lr && k >= i - bw && k <= i + bw; };
    auto emit = [&](int i, int k) -> ld {  // row i, column k, both 1-based
        const uint8_t a = query[i - 1], b = ref[k - 1];
        if (a > 3 || b > 3) return 1;
        const ld eps = std::pow(10.0L, -static_cast<ld>(qual[i - 1]) / 10);
        return a == b ? 1 - eps : eps * 0.33333333333L;
    };
    const ld d = par.d, e = par.e, s_end = 1.0L / (2 * lq + 2);
    const ld mm = (1 - 2 * d) * (1 - s_end), mi = d * (1 - s_end), md = mi;
    const ld im = (1 - e) * (1 - s_end), ii = e * (1 - s_end), dm = 1 - e, dd = e;
    const ld bm = (1 - d) / lr, bi = d / lr;
    struct cell {
        ld m = 0, i = 0, d = 0;
    };
    std::vector<std::vector<cell>> f(lq + 2, std::vector<cell>(lr + 2)), b = f;
    for (int i = 1; i <= lq; ++i)
        for (int k = 1; k <= lr; ++k) {
            if (!in_band(i, k)) continue;
            cell& c = f[i][k];
            if (i == 1) {
                c.m = emit(i, k) * bm, c.i = 0.25L * bi;
                continue;
            }
            c.m = emit(i, k) * (mm * f[i - 1][k - 1].m + im * f[i - 1][k - 1].i + dm * f[i - 1][k - 1].d);
            c.i = 0.25L * (mi * f[i - 1][k].m + ii * f[i - 1][k].i);
            c.d = md * f[i][k - 1].m + dd * f[i][k - 1].d;
        }
    ld total = 0;
    for (int k = 1; k <= lr; ++k) total += s_end * (f[lq][k].m + f[lq][k].i);
    plain_model_t out;
    out.impossible = total == 0;
    if (out.impossible) return out;
    out.r = static_cast<int>(-4.343L * std::log(lr * total * lq) + 0.499L);
    for (int i = lq; i >= 1; --i)
        for (int k = lr; k >= 1; --k) {
            if (!in_band(i, k)) continue;
            cell& c = b[i][k];
            if (i == lq) {
                c.m = s_end, c.i = s_end;
                continue;
            }
            const ld t = k < lr ? emit(i + 1, k + 1) * b[i + 1][k + 1].m : 0;
            c.m = mm * t + 0.25L * mi * b[i + 1][k].i + md * b[i][k + 1].d;
            c.i = im * t + 0.25L * ii * b[i + 1][k].i;
            c.d = i > 1 ? dm * t + dd * b[i][k + 1].d : 0;
        }
    for (int i = 1; i <= lq; ++i) {
        ld best = 0, second = 0, sum = 0;
        int s = -1;
        for (int k = 1; k <= lr; ++k)
            for (int st = 0; st < 2; ++st) {
                const ld p = st == 0 ? f[i][k].m * b[i][k].m : f[i][k].i * b[i][k].i;
                sum += p;
                if (p > best) second = best, best = p, s = (k - 1) << 2 | st;
                else if (p > second) second = p;
            }
        out.state.push_back(s);
        out.q.push_back(best < sum ? -4.343L * std::log(1 - best / sum) : INFINITY);
        out.clear_winner.push_back(best - second > 1e-9L * best);
    }
    return out;
}

TEST(KpaGlocal, AgreesWithAPlainModelOnRandomSmallCases) {
    std::mt19937 rng(20260);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const kpa_par_t params[] = {kpa_par_def, {0.01f, 0.3f, 10}, {0.0001f, 0.01f, 10}};
    int placements = 0, results = 0, exact = 0, impossible = 0;
    for (int round = 0; round < 3000; ++round) {
        const int lr = 1 + pick(12);
        std::vector<uint8_t> ref(lr), query;
        for (uint8_t& x : ref) x = pick(25) == 0 ? 4 : pick(4);
        if (pick(3) == 0) {  // unrelated query
            query.resize(1 + pick(12));
            for (uint8_t& x : query) x = pick(4);
        } else {  // a piece of the reference with edits
            const int from = pick(lr);
            for (int k = from; k < lr && static_cast<int>(query.size()) < 12; ++k) {
                const int edit = pick(12);
                if (edit == 0) continue;                                       // deletion
                query.push_back(edit == 1 ? pick(4) : ref[k]);                 // mismatch or copy
                if (edit == 2 && query.size() < 12) query.push_back(pick(4));  // insertion
            }
            if (query.empty()) query.push_back(pick(4));
            if (pick(20) == 0) query[pick(static_cast<int>(query.size()))] = 4;
        }
        std::vector<uint8_t> qual(query.size());
        for (uint8_t& x : qual) x = static_cast<uint8_t>(pick(45));
        kpa_par_t par = params[pick(3)];
        par.bw = pick(3) == 0 ? pick(4) : 12;
        const bool default_qual = pick(5) == 0;
        if (default_qual) qual.assign(query.size(), 30);

        const run_t got = align(ref, query, default_qual ? nullptr : qual.data(), par);
        const plain_model_t want = plain_model(ref, query, qual, par);
        const std::string at = "round " + std::to_string(round);
        if (want.impossible) {  // e.g. a base of quality 0 on a band of width 0
            EXPECT_EQ(got.r, kpa_no_result) << at;
            EXPECT_EQ(got.state, std::vector<int>(query.size(), -7)) << at;
            ++impossible;
            continue;
        }
        // Short queries that fit many places can score below zero, -1 included.
        EXPECT_LE(std::abs(got.r - want.r), 1) << at << " lr " << lr << " lq " << query.size() << " bw " << par.bw;
        ++results;
        exact += got.r == want.r;
        for (size_t i = 0; i < query.size(); ++i) {
            if (!want.clear_winner[i]) continue;
            ++placements;
            EXPECT_EQ(got.state[i], want.state[i]) << at << " base " << i;
            if (want.q[i] < 95) {
                EXPECT_LE(std::abs(got.q[i] - static_cast<int>(want.q[i] + 0.499L)), 1) << at << " base " << i;
            } else if (want.q[i] > 105) {
                EXPECT_EQ(got.q[i], 99) << at << " base " << i;
            }
        }
    }
    EXPECT_GT(placements, 10000);
    EXPECT_LT(impossible, 50);
    EXPECT_GT(exact, results * 98 / 100);
}

}  // namespace
