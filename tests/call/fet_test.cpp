// Fisher's exact test against exact sums over every table with the same
// margins, computed with integer binomial weights.
#include "call/fet.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <random>
#include <tuple>
#include <vector>

namespace {

struct pvalues {
    double q, left, right, two;
};

pvalues fisher(int a, int b, int c, int d) {
    pvalues r;
    r.q = kt_fisher_exact(a, b, c, d, &r.left, &r.right, &r.two);
    return r;
}

uint64_t choose(int n, int k) {  // exact up to n = 66
    unsigned __int128 r = 1;
    for (int i = 1; i <= k; ++i) r = r * (n - k + i) / i;
    return static_cast<uint64_t>(r);
}

// Tails by brute force; the two-tailed sum takes every table that is at most
// as likely as the observed one, ties within a factor 1 + 1e-8 included.
pvalues brute(int a, int b, int c, int d) {
    int r1 = a + b, c1 = a + c, n = a + b + c + d;
    auto weight = [&](int x) { return static_cast<unsigned __int128>(choose(r1, x)) * choose(n - r1, c1 - x); };
    long double total = choose(n, c1), left = 0, right = 0, two = 0;
    for (int x = std::max(0, r1 + c1 - n); x <= std::min(r1, c1); ++x) {
        long double w = static_cast<long double>(weight(x));
        if (x <= a) left += w;
        if (x >= a) right += w;
        if (weight(x) * 100000000 < weight(a) * 100000001) two += w;
    }
    return {static_cast<double>(weight(a) / total), static_cast<double>(left / total), static_cast<double>(right / total),
            static_cast<double>(std::min(1.0L, two / total))};
}

void expect_close(double got, double want, const char* what) { EXPECT_NEAR(got, want, 1e-12 * want) << what; }

TEST(Fet, EveryTableMatchesTheExactSumsAndIsSymmetric) {
    std::vector<std::vector<int>> tables;
    for (int i = 0; i < 7 * 7 * 7 * 7; ++i) tables.push_back({i % 7, i / 7 % 7, i / 49 % 7, i / 343});
    std::mt19937 rng(76);
    for (int i = 0; i < 400; ++i) tables.push_back({int(rng() % 30), int(rng() % 12), int(rng() % 5), int(rng() % 20)});
    for (const auto& t : tables) {
        SCOPED_TRACE(testing::Message() << t[0] << " " << t[1] << " " << t[2] << " " << t[3]);
        pvalues got = fisher(t[0], t[1], t[2], t[3]), want = brute(t[0], t[1], t[2], t[3]);
        expect_close(got.q, want.q, "q");
        expect_close(got.left, want.left, "left");
        expect_close(got.right, want.right, "right");
        expect_close(got.two, want.two, "two");
        EXPECT_LE(got.two, 1.0);
        expect_close(fisher(t[2], t[3], t[0], t[1]).two, got.two, "rows swapped");
        expect_close(fisher(t[0], t[2], t[1], t[3]).q, got.q, "transposed");
    }
}

TEST(Fet, DegenerateNegativeAndKnownTables) {
    struct fet_case {
        int a, b, c, d;
        pvalues want;
    };
    for (fet_case t : {fet_case{0, 0, 0, 0, {1, 1, 1, 1}},
                       {0, 0, 0, 7, {1, 1, 1, 1}},
                       {4, 0, 0, 0, {1, 1, 1, 1}},
                       {0, 3, 0, 2, {1, 1, 1, 1}},
                       {-1, 2, 3, 4, {1, 1, 1, 1}},
                       {2, 3, 4, -5, {1, 1, 1, 1}},
                       {INT_MAX, 1, 1, 1, {1, 1, 1, 1}},
                       {3, 0, 0, 3, {0.05, 1, 0.05, 0.1}},
                       {1, 1, 1, 1, {2 / 3., 5 / 6., 5 / 6., 1}}}) {
        pvalues got = fisher(t.a, t.b, t.c, t.d);
        EXPECT_NEAR(got.q, t.want.q, 1e-15) << t.a << " " << t.b << " " << t.c << " " << t.d;
        EXPECT_NEAR(got.left, t.want.left, 1e-15);
        EXPECT_NEAR(got.right, t.want.right, 1e-15);
        if (t.want.two == 1) {
            EXPECT_EQ(got.two, 1.0);  // capped, never above
        }
        EXPECT_NEAR(got.two, t.want.two, 1e-15);
    }
}

TEST(Fet, SeriesStepsLeftToRightAndRestartsEveryEleventh) {
    const int r1 = 40, c1 = 35, n = 90;
    hgacc_t aux;
    double prev = hypergeo_acc(0, r1, c1, n, &aux);
    for (int x = 1; x <= 35; ++x) {  // up the series, then check a step down
        double p = hypergeo_acc(x, 0, 0, 0, &aux);
        double scratch = std::exp(lbinom(r1, x) + lbinom(n - r1, c1 - x) - lbinom(n, c1));
        EXPECT_EQ(p, x % 11 ? prev * (r1 - x + 1) / x * (c1 - x + 1) / (x + n - r1 - c1) : scratch) << x;
        EXPECT_NEAR(p, scratch, 1e-13 * scratch);
        prev = p;
    }
    EXPECT_EQ(hypergeo_acc(34, 0, 0, 0, &aux), prev * 35 / (r1 - 34) * (35 + n - c1 - r1) / (c1 - 34));
    for (auto [nn, k, want] :
         {std::tuple{5, 0, 0.0L}, {5, 5, 0.0L}, {5, 2, std::log(10.0L)}, {60, 30, std::log(118264581564861424.0L)}})
        EXPECT_NEAR(lbinom(nn, k), want, 1e-13 * (1 + want));
}

}  // namespace
