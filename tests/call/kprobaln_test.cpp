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
    std::vector<int> state;  // -7 and 222 mark entries left alone
    std::vector<uint8_t> q;
};

run_t align(const std::vector<uint8_t>& ref, const std::vector<uint8_t>& query, const uint8_t* qual = nullptr,
            const kpa_par_t& par = kpa_par_def, bool want_state = true, bool want_q = true) {
    run_t out{0, std::vector<int>(query.size(), -7), std::vector<uint8_t>(query.size(), 222)};
    out.r = kpa_glocal(ref.data(), static_cast<int>(ref.size()), query.data(), static_cast<int>(query.size()), qual, &par,
                       want_state ? out.state.data() : nullptr, want_q ? out.q.data() : nullptr);
    return out;
}

// Default parameters, one query base.  With l_ref = 1: bM = float(1 - 0.001),
// bI = 0.001, sM = sI = 1/4.  Row 1: M = em * bM, I = 0.25 * bI = 0.00025; after
// scaling s2 = 1/4, so P = (M + I)/4 and the result is (int)(-4.343 ln P + 0.499).
// Both backward states are 1/(4 s1 s2), so the posteriors are proportional to
// M and I: the placement is the larger, q = -4.343 ln(smaller/(M + I)).
//   quality 30 (eps 0.001): match M = 0.998001, P = 0.249563 -> 6.03 -> 6,
//     q = 36.01 -> 36; mismatch M = 0.000333, P = 0.000146 -> 38.36 -> 38,
//     q = -4.343 ln(0.00025/0.000583) = 3.68 -> 4.
//   unknown base on either side: M = 0.999, P = 0.249813 -> 6.02 -> 6, q 36.02.
//   quality 3 (eps 0.501187): match M = 0.498314 -> 9.04 -> 9, q 33.00 -> 33;
//     mismatch M = 0.166895 -> 13.79 -> 14, q 28.25 -> 28.
//   quality 0: M = 0, P = 0.0000625 -> 42.04 -> 42; the insertion holds the
//     whole posterior (1 - best/sum = 0), stored as q = 99.
// Query A against AA: both columns are alike and tie exactly; the first wins.
// bM = float(0.999/2), bI = 0.0005, I = 0.000125 per column, P = 2(M + I)/4.
//   quality 30: M = 0.498500, -4.343 ln(2P) = 3.02 -> 3, q = -4.343 ln(1 -
//     M/(2M + 2I)) = 3.01 -> 3, match at 0.  Quality 0: M = 0, 39.03 -> 39,
//     q = -4.343 ln(1/2) -> 3, insertion after 0.
// Tiny gap-open d around the q cap, quality 30 match: bM = 1, M = 0.999,
// I = d/4, q = -4.343 ln(I/(M + I)): d = 5e-10 -> 99.03 -> 99; 4e-10 -> 99.997
// -> 100, kept; 3.2e-10 -> 100.97 -> 101, stored as 99.  P = (M + I)/4 -> 6.
TEST(KpaGlocal, SmallCasesWorkedByHand) {
    struct case_t {
        std::vector<uint8_t> ref;
        uint8_t query, qual;
        int r, state, q;
    };
    const case_t cases[] = {
        {{2}, 2, 30, 6, 0, 36},   {{1}, 2, 30, 38, 0, 4},  {{0}, 4, 30, 6, 0, 36}, {{4}, 3, 30, 6, 0, 36},
        {{3}, 3, 3, 9, 0, 33},    {{0}, 3, 3, 14, 0, 28},  {{0}, 4, 3, 6, 0, 36},  {{1}, 4, 3, 6, 0, 36},
        {{2}, 4, 3, 6, 0, 36},    {{3}, 4, 3, 6, 0, 36},   {{4}, 4, 3, 6, 0, 36},  {{4}, 0, 3, 6, 0, 36},
        {{15}, 1, 3, 6, 0, 36},   {{2}, 200, 3, 6, 0, 36}, {{1}, 1, 0, 42, 1, 99}, {{0, 0}, 0, 30, 3, 0, 3},
        {{0, 0}, 0, 0, 39, 1, 3},
    };
    for (const case_t& c : cases) {
        const run_t got = align(c.ref, {c.query}, &c.qual);
        const std::string at = std::to_string(c.ref[0]) + " vs " + std::to_string(c.query) + " q" + std::to_string(c.qual);
        EXPECT_EQ(got.r, c.r) << at;
        EXPECT_EQ(got.state[0], c.state) << at;
        EXPECT_EQ(got.q[0], c.q) << at;
    }
    for (const auto& [d, q] : std::vector<std::pair<float, int>>{{5e-10f, 99}, {4e-10f, 100}, {3.2e-10f, 99}}) {
        const run_t got = align({1}, {1}, nullptr, {d, 0.1f, 10});
        EXPECT_EQ(got.r, 6) << d;
        EXPECT_EQ(got.state[0], 0) << d;
        EXPECT_EQ(got.q[0], q) << d;
    }
    const float* table = kpa_qual2prob();
    EXPECT_EQ(table[0], 1.0f);
    EXPECT_EQ(table[10], 0.1f);
    EXPECT_EQ(table[30], 0.001f);
    EXPECT_EQ(table[3], static_cast<float>(0.50118723362727224));
}

TEST(KpaGlocal, IdenticalReadMatchesInPlaceAndPlacementNeedsBothOutputs) {
    const std::vector<uint8_t> ref = codes("ACGTTGCAAGCTTCAGGATC"), q30(20, 30);
    const run_t got = align(ref, ref);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(got.state[i], i << 2) << i;
    const run_t with_qual = align(ref, ref, q30.data());
    EXPECT_EQ(with_qual.r, got.r);
    EXPECT_EQ(with_qual.q, got.q);
    // Without one of the outputs no backward pass runs: the other stays untouched.
    const run_t state_only = align(ref, ref, nullptr, kpa_par_def, true, false);
    const run_t q_only = align(ref, ref, nullptr, kpa_par_def, false, true);
    EXPECT_EQ(state_only.r, got.r);
    EXPECT_EQ(q_only.r, got.r);
    EXPECT_EQ(state_only.state, std::vector<int>(20, -7));
    EXPECT_EQ(q_only.q, std::vector<uint8_t>(20, 222));
}

TEST(KpaGlocal, BandWidensToTheLengthDifference) {
    const std::vector<uint8_t> ref = codes("ACGTTGCAAGCTTCAGGATCCATGCAGTCA");
    const kpa_par_t narrow = {0.001f, 0.1f, 2}, wide = {0.001f, 0.1f, 20};
    // The last ten bases are reachable from row 1 only through a band of 20.
    for (int start : {0, 7, 20}) {
        const std::vector<uint8_t> query(ref.begin() + start, ref.begin() + start + 10);
        const run_t got = align(ref, query, nullptr, narrow), as_wide = align(ref, query, nullptr, wide);
        EXPECT_EQ(got.r, as_wide.r) << start;
        EXPECT_EQ(got.q, as_wide.q) << start;
        for (int i = 0; i < 10; ++i) EXPECT_EQ(got.state[i], (start + i) << 2) << start << " " << i;
    }
}

TEST(KpaGlocal, InsertionAndDeletionPlacements) {
    const std::string text = "ACGTTGCAAGCTTCAGGATCCATGCAGTCA";
    const std::vector<uint8_t> ref = codes(text), qual(22, 35);
    // ref[5..15) + TC + ref[15..25): the two extra bases follow reference base 14.
    const run_t ins = align(ref, codes(text.substr(5, 10) + "TC" + text.substr(15, 10)), qual.data());
    for (int i = 0; i < 22; ++i) EXPECT_EQ(ins.state[i], i < 10 ? (5 + i) << 2 : i < 12 ? (14 << 2 | 1) : (3 + i) << 2) << i;
    // ref[5..15) + ref[17..27): reference bases 15 and 16 are skipped.
    const run_t del = align(ref, codes(text.substr(5, 10) + text.substr(17, 10)), qual.data());
    for (int i = 0; i < 20; ++i) EXPECT_EQ(del.state[i], (i < 10 ? 5 + i : 7 + i) << 2) << i;
}

TEST(KpaGlocal, CellCountFollowsTheBandIn64Bits) {
    struct case_t {
        int l_ref, l_query, bw;
        int64_t cells;
    };
    const int big = 2147483647;
    const case_t cases[] = {
        {100, 100, 10, 100 * 21},
        {5, 5, 10, 5 * 11},
        {3, 7, 10, 7 * 15},
        {30, 10, 2, 10 * 41},
        {10, 30, 2, 30 * 41},
        {30, 30, 0, 30},
        {8, 8, -4, 8},
        {0, 10, 10, 0},
        {10, 0, 10, 0},
        {-3, -3, 10, 0},
        {big, 1, 10, 2 * int64_t{big - 1} + 1},
        {big, big, big, int64_t{big} * (2 * int64_t{big} + 1)},
        {1 << 20, 1 << 20, 31, int64_t{63} << 20},  // at most the cap
    };
    for (const case_t& c : cases) {
        const kpa_par_t par = {0.001f, 0.1f, c.bw};
        EXPECT_EQ(kpa_cells(c.l_ref, c.l_query, &par), c.cells) << c.l_ref << " " << c.l_query << " " << c.bw;
    }
    EXPECT_LE(int64_t{63} << 20, kpa_max_cells);
    EXPECT_GT(int64_t{65} << 20, kpa_max_cells);
}

TEST(KpaGlocal, RefusedCallsLeaveTheOutputsAlone) {
    const std::vector<uint8_t> seq = codes("ACGTACGT");
    for (const auto& [l_ref, l_query] : std::vector<std::pair<int, int>>{{0, 8}, {8, 0}, {0, 0}, {-1, 8}, {8, -5}}) {
        std::vector<int> state(8, -7);
        std::vector<uint8_t> q(8, 222);
        EXPECT_EQ(kpa_glocal(seq.data(), l_ref, seq.data(), l_query, nullptr, &kpa_par_def, state.data(), q.data()),
                  kpa_no_result);
        EXPECT_EQ(state, std::vector<int>(8, -7));
        EXPECT_EQ(q, std::vector<uint8_t>(8, 222));
    }
    // 2^20 query bases against 2^22 reference bases widen the band to three
    // million: far above the cap, refused before anything is allocated.
    const std::vector<uint8_t> long_ref(size_t{1} << 22, 1), long_query(size_t{1} << 20, 1);
    const run_t capped = align(long_ref, long_query);
    EXPECT_EQ(capped.r, kpa_no_result);
    EXPECT_EQ(capped.state[0], -7);
    EXPECT_EQ(capped.q.back(), 222);
    // Without gap opening nothing can absorb the query bases beyond the reference.
    const run_t impossible = align(codes("A"), codes("AAA"), nullptr, {0.0f, 0.1f, 10});
    EXPECT_EQ(impossible.r, kpa_no_result);
    EXPECT_EQ(impossible.state, std::vector<int>(3, -7));
}

// The same model over the whole matrix in long double without scaling; cells
// outside the band are zero.
struct plain_model_t {
    bool impossible = false;  // the query has probability zero
    int r = 0;
    std::vector<int> state;
    std::vector<long double> q;      // unrounded placement quality
    std::vector<bool> clear_winner;  // the best placement beats the runner-up clearly
};

plain_model_t plain_model(const std::vector<uint8_t>& ref, const std::vector<uint8_t>& query, const std::vector<uint8_t>& qual,
                          const kpa_par_t& par) {
    using ld = long double;
    const int lr = static_cast<int>(ref.size()), lq = static_cast<int>(query.size());
    const int bw = std::max(std::min(par.bw, std::max(lr, lq)), std::abs(lr - lq));
    auto in_band = [&](int i, int k) { return k >= 1 && k <= lr && k >= i - bw && k <= i + bw; };
    auto emit = [&](int i, int k) -> ld {  // row i against column k
        if (k > lr) return 0;
        const ld eps = std::pow(10.0L, -static_cast<ld>(qual[i - 1]) / 10);
        return query[i - 1] > 3 || ref[k - 1] > 3 ? 1 : query[i - 1] == ref[k - 1] ? 1 - eps : eps * 0.33333333333L;
    };
    const ld d = par.d, e = par.e, s_end = 1.0L / (2 * lq + 2);
    const ld mm = (1 - 2 * d) * (1 - s_end), mi = d * (1 - s_end), im = (1 - e) * (1 - s_end), ii = e * (1 - s_end);
    struct cell {
        ld m = 0, i = 0, d = 0;
    };
    std::vector<std::vector<cell>> f(lq + 2, std::vector<cell>(lr + 2)), b = f;
    for (int i = 1; i <= lq; ++i)
        for (int k = 1; k <= lr; ++k) {
            if (!in_band(i, k)) continue;
            const cell &diag = f[i - 1][k - 1], &up = f[i - 1][k], &left = f[i][k - 1];
            f[i][k].m = emit(i, k) * (i == 1 ? (1 - d) / lr : mm * diag.m + im * diag.i + (1 - e) * diag.d);
            f[i][k].i = 0.25L * (i == 1 ? d / lr : mi * up.m + ii * up.i);
            f[i][k].d = i == 1 ? 0 : mi * left.m + e * left.d;
        }
    ld total = 0;
    for (int k = 1; k <= lr; ++k) total += s_end * (f[lq][k].m + f[lq][k].i);
    plain_model_t out;
    if ((out.impossible = total == 0)) return out;
    out.r = static_cast<int>(-4.343L * std::log(lr * total * lq) + 0.499L);
    for (int i = lq; i >= 1; --i)
        for (int k = lr; k >= 1; --k) {
            if (!in_band(i, k)) continue;
            if (i == lq) {
                b[i][k].m = b[i][k].i = s_end;
                continue;
            }
            const ld t = emit(i + 1, k + 1) * b[i + 1][k + 1].m;
            b[i][k].m = mm * t + 0.25L * mi * b[i + 1][k].i + mi * b[i][k + 1].d;
            b[i][k].i = im * t + 0.25L * ii * b[i + 1][k].i;
            b[i][k].d = i > 1 ? (1 - e) * t + e * b[i][k + 1].d : 0;
        }
    for (int i = 1; i <= lq; ++i) {
        ld best = 0, second = 0, sum = 0;
        int s = -1;
        for (int k = 1; k <= lr; ++k)
            for (int st = 0; st < 2; ++st) {
                const ld p = st ? f[i][k].i * b[i][k].i : f[i][k].m * b[i][k].m;
                sum += p;
                if (p > best) {
                    second = best, best = p, s = (k - 1) << 2 | st;
                } else if (p > second) {
                    second = p;
                }
            }
        out.state.push_back(s);
        out.q.push_back(best < sum ? -4.343L * std::log(1 - best / sum) : INFINITY);
        out.clear_winner.push_back(best - second > 1e-9L * best);
    }
    return out;
}

TEST(KpaGlocal, AgreesWithAPlainModelOnRandomCases) {
    std::mt19937 rng(20260);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const kpa_par_t params[] = {kpa_par_def, {0.01f, 0.3f, 10}, {0.0001f, 0.01f, 10}};
    int placements = 0, results = 0, exact = 0, impossible = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> ref(1 + pick(12)), query;
        for (uint8_t& x : ref) x = pick(25) == 0 ? 4 : pick(4);
        const bool unrelated = pick(3) == 0;
        if (unrelated) query.resize(1 + pick(12));
        for (uint8_t& x : query) x = pick(4);
        for (size_t k = pick(static_cast<int>(ref.size())); !unrelated && k < ref.size() && query.size() < 12; ++k) {
            const int edit = pick(12);  // a piece of the reference: 0 deletes, 1 substitutes, 2 inserts after
            if (edit != 0) query.push_back(edit == 1 ? pick(4) : ref[k]);
            if (edit == 2 && query.size() < 12) query.push_back(pick(4));
        }
        if (query.empty()) query.push_back(pick(4));
        if (pick(20) == 0) query[pick(static_cast<int>(query.size()))] = 4;
        std::vector<uint8_t> qual(query.size(), 30);
        const bool default_qual = pick(5) == 0;
        if (!default_qual)
            for (uint8_t& x : qual) x = static_cast<uint8_t>(pick(45));
        kpa_par_t par = params[pick(3)];
        par.bw = pick(3) == 0 ? pick(4) : 12;

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
        EXPECT_LE(std::abs(got.r - want.r), 1) << at;
        ++results, exact += got.r == want.r;
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
    // Long unrelated reads at high quality: probabilities far below the double
    // range, which only the rescaled product can represent.
    for (int len : {250, 300}) {
        std::vector<uint8_t> ref(len + 8), query(len), qual(len, 40);
        for (uint8_t& x : ref) x = pick(4);
        for (uint8_t& x : query) x = pick(4);
        const run_t got = align(ref, query, qual.data());
        const plain_model_t want = plain_model(ref, query, qual, kpa_par_def);
        EXPECT_GT(want.r, 3200) << len;  // below 10^-320
        EXPECT_LE(std::abs(got.r - want.r), 1) << len;
        for (int i = 0; i < len; ++i) EXPECT_TRUE(!want.clear_winner[i] || got.state[i] == want.state[i]) << len << " base " << i;
    }
    EXPECT_LT(impossible, 50);
    EXPECT_GT(exact, results * 98 / 100);
}

}  // namespace
