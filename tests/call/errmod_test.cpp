// Error model: tables against direct binomial computations, likelihoods
// against a per-allele evaluation of the formulas, and the random stream
// against the C library's unseeded drand48() in a fresh process.
#include "call/errmod.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"

namespace {

const errmod_t* model() {
    static errmod_t* em = errmod_init(0.17000002f);
    return em;
}
uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
std::vector<long double> binomials(int n) {  // C(n, 0..n) by Pascal's rule
    std::vector<long double> row{1.0L};
    for (int r = 1; r <= n; ++r) {
        row.push_back(0);
        for (int k = r; k > 0; --k) row[k] += row[k - 1];
    }
    return row;
}

// Likelihoods allele by allele: the k-th base of allele a (best first) costs
// fk[earlier bases of a on its strand] * beta[q][n][k].
std::vector<float> expected_cal(std::vector<uint16_t> b, int m) {
    const errmod_coef_t& c = *model()->coef;
    std::sort(b.begin(), b.end(), std::greater<>());
    int n = static_cast<int>(b.size()), cnt[16] = {};
    double bsum[16] = {};
    for (int a = 0; a < 16; ++a) {
        int strand[2] = {};
        for (uint16_t x : b) {
            if ((x & 15) != a) continue;
            int q = std::clamp(x >> 5, 4, 63);
            bsum[a] += c.fk[strand[x >> 4 & 1]++] * c.beta[q << 16 | n << 8 | cnt[a]++];
        }
    }
    auto others = [&](int i, int j, int* k_count) {
        float s = 0;
        *k_count = 0;
        for (int k = 0; k < std::min(m, 16); ++k)
            if (k != i && k != j) s = static_cast<float>(s + bsum[k]), *k_count += cnt[k];
        return s;
    };
    auto count = [&](int i) { return i < 16 ? cnt[i] : 0; };
    std::vector<float> q(m * m, 0.0f);
    for (int i = 0, k; i < m; ++i) {
        float hom = others(i, i, &k);
        q[i * m + i] = k > 0 ? hom : 0.0f;
        for (int j = i + 1; j < m; ++j) {
            double v = -4.343 * c.lhet[(count(i) + count(j)) << 8 | count(j)];
            float rest = others(i, j, &k);
            q[i * m + j] = q[j * m + i] = static_cast<float>(k > 0 ? v + rest : v);
        }
    }
    for (float& x : q) x = std::max(x, 0.0f);
    return q;
}

std::vector<float> cal(std::vector<uint16_t> b, int m) {
    std::vector<float> q(m * m, -1.0f);
    EXPECT_EQ(errmod_cal(model(), static_cast<int>(b.size()), m, b.data(), q.data()), 0);
    return q;
}

// Shuffles as errmod_cal does with draws from `state`, then sorts the 255 used.
std::vector<uint16_t> reorder(std::vector<uint16_t> b, uint64_t state) {
    for (size_t i = b.size(); i > 1; --i) {
        state = (state * 0x5DEECE66DULL + 11) % (1ULL << 48);
        std::swap(b[i - 1], b[static_cast<size_t>(i * std::ldexp(static_cast<double>(state), -48))]);
    }
    std::sort(b.begin(), b.begin() + 255);
    return b;
}

std::vector<uint16_t> deep_column(int n) {
    std::vector<uint16_t> b;
    for (int i = 0; i < n; ++i) b.push_back(errmod_pack_base(7 + i * 13 % 50, i % 3 == 0, i * i % 5 ? 1 : i % 4));
    return b;
}

TEST(ErrmodTables, BetaIsTheBinomialTailRatio) {
    const std::vector<double>& beta = model()->coef->beta;
    for (int q : {1, 2, 3, 7, 10, 20, 30, 45, 63}) {
        long double e = std::pow(10.0L, -q / 10.0L);
        for (int n : {1, 2, 3, 4, 10, 25, 40, 255}) {
            std::vector<long double> c = binomials(n), term(n + 1), tail(n + 2, 0.0L);  // tail[k] = P(X >= k)
            for (int k = n; k >= 0; --k) tail[k] = tail[k + 1] + (term[k] = c[k] * std::pow(e, k) * std::pow(1 - e, n - k));
            for (int k = 0; k < n; ++k) {
                long double want = -10 / std::log(10.0L) * std::log1p(-term[k] / tail[k]);
                EXPECT_NEAR(beta[q << 16 | n << 8 | k], want, 1e-9 * want + 1e-15) << q << " " << n << " " << k;
            }
            EXPECT_EQ(beta[q << 16 | n << 8 | n], INFINITY);
            EXPECT_EQ(beta[n << 8 | 0], 0.0);  // quality 0
        }
    }
}

// The qualities are built in shares on several threads: none may be left
// out.  The last entry of every depth is a plain error probability, never 0.
TEST(ErrmodTables, EveryQualityAndDepthIsFilled) {
    const std::vector<double>& beta = model()->coef->beta;
    size_t bad = 0;
    for (int q = 1; q <= errmod_max_qual; ++q)
        for (int n = 1; n < 256; ++n) {
            for (int k = 0; k < n; ++k) bad += !(beta[q << 16 | n << 8 | k] >= 0 && beta[q << 16 | n << 8 | k] < INFINITY);
            bad += !(beta[q << 16 | n << 8 | (n - 1)] > 0);
        }
    EXPECT_EQ(bad, 0u);
}

TEST(ErrmodTables, FkFromTheWidenedCorrelationAndLhetIsTheHalfBinomial) {
    errmod_t* other = errmod_init(0.1f);  // 1 - 0.1f is no float
    ASSERT_NE(other, nullptr);
    for (const errmod_t* em : std::initializer_list<const errmod_t*>{model(), other}) {
        float d = em == model() ? 0.17000002f : 0.1f;
        EXPECT_EQ(em->depcorr, static_cast<double>(d));
        for (int w = 0; w < 256; ++w)
            EXPECT_NEAR(em->coef->fk[w], w ? 0.97L * std::pow(1.0L - d, w) + 0.03L : 1, 1e-15) << d << " " << w;
    }
    errmod_destroy(other);
    errmod_destroy(nullptr);
    for (int n = 0; n < 256; ++n) {
        std::vector<long double> c = binomials(n);
        for (int k = 0; k < 256; ++k)
            EXPECT_NEAR(model()->coef->lhet[n << 8 | k], (k <= n ? std::log(c[k]) : 0) - n * std::log(2.0L), 1e-10);
    }
}

TEST(ErrmodCal, EmptyAndTenIdenticalBases) {
    EXPECT_EQ(cal({}, 5), std::vector<float>(25, 0.0f));
    std::vector<float> q = cal(std::vector<uint16_t>(10, errmod_pack_base(30, 0, 0)), 5);
    double errors = 0;
    for (int k = 0; k < 10; ++k) errors += model()->coef->fk[k] * model()->coef->beta[30 << 16 | 10 << 8 | k];
    float het = static_cast<float>(-4.343 * (10 * -0.6931471805599453));
    EXPECT_NEAR(het, 30.1, 0.01);
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) EXPECT_EQ(q[i * 5 + j], i + j == 0 ? 0 : i * j == 0 ? het : static_cast<float>(errors));
}

TEST(ErrmodCal, QualitiesAreClampedToFourAndSixtyThree) {
    struct clamp_case {
        int qual, scored_as;
        bool same;
    };
    for (clamp_case t :
         {clamp_case{0, 4, true}, {2, 4, true}, {3, 4, true}, {70, 63, true}, {2047, 63, true}, {5, 4, false}, {62, 63, false}}) {
        auto column = [](int qual) {
            return std::vector<uint16_t>{errmod_pack_base(qual, 0, 2), errmod_pack_base(30, 0, 2), errmod_pack_base(20, 1, 0)};
        };
        EXPECT_EQ(cal(column(t.qual), 4) == cal(column(t.scored_as), 4), t.same) << t.qual;
    }
}

TEST(ErrmodCal, CraftedAndRandomColumnsMatchTheFormulas) {
    std::vector<std::pair<std::vector<uint16_t>, int>> cases = {
        {{errmod_pack_base(30, 0, 0), errmod_pack_base(30, 1, 0), errmod_pack_base(12, 0, 1)}, 5},
        {{errmod_pack_base(40, 0, 3), errmod_pack_base(40, 0, 3), errmod_pack_base(2, 1, 4), errmod_pack_base(9, 0, 1)}, 2},
        {{errmod_pack_base(25, 1, 15), errmod_pack_base(33, 0, 9), errmod_pack_base(50, 0, 0)}, 20},  // wide alphabet
        {{errmod_pack_base(25, 1, 7), errmod_pack_base(60, 0, 4), errmod_pack_base(8, 0, 0)}, 3}};    // alleles >= m
    std::mt19937 rng(14);
    for (int r = 0; r < 300; ++r) {
        std::vector<uint16_t> b(rng() % 256);
        for (uint16_t& x : b) x = errmod_pack_base(rng() % 70, rng() % 2, rng() % 6);
        cases.push_back({b, static_cast<int>(1 + rng() % 6)});
    }
    for (const auto& [b, m] : cases) {
        std::vector<float> q = cal(b, m);
        ASSERT_EQ(q, expected_cal(b, m)) << "depth " << b.size() << " m " << m;
        for (float x : q) EXPECT_TRUE(std::isfinite(x) && x >= 0);
    }
}

TEST(ErrmodCal, DeepColumnsUseTheNext299DrawsAndTheFirst255Bases) {
    std::vector<uint16_t> b = deep_column(300);
    double x = errmod_drand48();  // recovers the stream's state
    std::vector<uint16_t> want = reorder(b, static_cast<uint64_t>(std::ldexp(x, 48)));
    std::vector<float> q(25);
    errmod_cal(model(), 300, 5, b.data(), q.data());
    EXPECT_EQ(b, want);
    EXPECT_EQ(q, expected_cal(std::vector<uint16_t>(want.begin(), want.begin() + 255), 5));
}

TEST(ErrmodRandom, ProcessStreamIsOneGeneratorNeverReseeded) {
    uint64_t state = static_cast<uint64_t>(std::ldexp(errmod_drand48(), 48));
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(bits(errmod_drand48()), bits(errmod_rand48_next(&state))) << i;
}

// In a fresh process: the first draws of the C library's unseeded drand48()
// are what the generator yields from its initial state, what the shuffle of
// the first deep column uses and what the process stream continues with, so
// every run of a program gives the same result.
TEST(ErrmodRandom, FreshProcessDrawsEqualUnseededLibc) {
    if (!std::getenv("ERRMOD_FRESH_CHILD")) {  // parent: two runs, each in a new process, must both pass
        std::string self = std::filesystem::read_symlink("/proc/self/exe");
        for (int run = 0; run < 2; ++run) {
            test_util::run_result r = test_util::run({self, "--gtest_filter=ErrmodRandom.FreshProcessDrawsEqualUnseededLibc"}, "",
                                                     [] { setenv("ERRMOD_FRESH_CHILD", "1", 1); });
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
        }
        return;
    }
    std::vector<double> libc(3000);
    for (double& x : libc) x = drand48();
    uint64_t state = errmod_rand48_seed;
    for (double x : libc) ASSERT_EQ(bits(errmod_rand48_next(&state)), bits(x));
    std::vector<uint16_t> b = deep_column(300);
    std::vector<float> q(25);
    errmod_cal(model(), 300, 5, b.data(), q.data());
    EXPECT_EQ(b, reorder(deep_column(300), 0));
    EXPECT_EQ(q, expected_cal(std::vector<uint16_t>(b.begin(), b.begin() + 255), 5));
    for (size_t i = 299; i < libc.size(); ++i) ASSERT_EQ(bits(errmod_drand48()), bits(libc[i])) << i;
}

#ifndef ALNKIT_SANITIZE_BUILD  // the sanitizer reserves more address space than any limit allows
TEST(ErrmodTables, InitWithoutMemoryReturnsNull) {
    pid_t pid = fork();
    if (pid == 0) {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        rlim_t cap = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (16 << 20);
        rlimit limit{cap, cap};
        setrlimit(RLIMIT_AS, &limit);
        _exit(errmod_init(0.17f) == nullptr ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
#endif

}  // namespace
