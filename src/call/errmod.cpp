// Error model tables and genotype likelihoods, plus the process-wide random
// stream.  Every expression keeps the precision and evaluation order of its
// formula (double, with long double only for the binomial tail sums), since
// the likelihoods must repeat bit for bit.
#include "call/errmod.h"

#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "containers/ksort.h"

namespace {

constexpr int table_dim = 256;  // n and k run over 0..255
constexpr int n_strand_keys = 2 * errmod_n_alleles_max;
constexpr double neg_ln2 = -0.6931471805599453;
// -10 / ln 10: turns a natural log into a phred value, in extended precision.
constexpr long double neg_10_over_ln10 = -4.3429448190325175L;
// The rounder phred factor the heterozygote term uses.
constexpr double het_phred_factor = -4.343;

// fk[w] = 0.97 * (1 - depcorr)^w + 0.03, with 1 - depcorr taken in double.
void build_fk(float depcorr, std::vector<double>& fk) {
    fk.assign(table_dim, 0.0);
    fk[0] = 1.0;
    for (int w = 1; w < table_dim; ++w) fk[w] = 0.97 * std::pow(1.0 - depcorr, w) + 0.03;
}

// lC[n<<8 | k] = ln C(n, k) through lgamma for n = 1..255, k = 1..n; zero
// elsewhere, which makes lC[n<<8 | 0] = ln C(n, 0) = 0.
void build_lc(std::vector<double>& lc) {
    lc.assign(table_dim * table_dim, 0.0);
    for (int n = 1; n < table_dim; ++n) {
        double lfn = std::lgamma(n + 1);
        for (int k = 1; k <= n; ++k) lc[n << 8 | k] = lfn - std::lgamma(k + 1) - std::lgamma(n - k + 1);
    }
}

// beta[q][n][k] = -10 log10(S_{k+1} / S_k) with S_k = P(X >= k), X ~ Bin(n, e),
// e = 10^(-q/10).  The tail sums run from k = n down in long double because
// the individual terms underflow a double at high quality and depth.
void build_beta_quality(const std::vector<double>& lc, int q, std::vector<double>& beta) {
    double e = std::pow(10.0, -q / 10.0);
    double le = std::log(e);
    double le1 = std::log(1.0 - e);
    for (int n = 1; n < table_dim; ++n) {
        long double sum = 0.0L;
        for (int k = n; k >= 0; --k) {
            double t = k * le + lc[n << 8 | k] + (n - k) * le1;
            long double sum1 = sum + std::exp(static_cast<long double>(t));
            beta[errmod_beta_index(q, n, k)] = static_cast<double>(std::log(sum / sum1) * neg_10_over_ln10);
            sum = sum1;
        }
    }
}

// One worker's share of the qualities: first, first + stride, ...
struct beta_share_t {
    const std::vector<double>* lc;
    std::vector<double>* beta;
    int first, stride;
};

void* build_beta_share(void* arg) {
    const auto* share = static_cast<const beta_share_t*>(arg);
    for (int q = share->first; q <= errmod_max_qual; q += share->stride) build_beta_quality(*share->lc, q, *share->beta);
    return nullptr;
}

// The qualities are independent and cost the same (about two million
// extended-precision exp/log pairs in all), so they are dealt out to the
// available cores; each entry is computed by the same code either way.
// The workers neither allocate nor free, so they leave no per-thread malloc
// arenas behind, and a share whose thread cannot start is done here.
void build_beta(const std::vector<double>& lc, std::vector<double>& beta) {
    beta.assign(static_cast<size_t>(errmod_max_qual + 1) << 16, 0.0);
    const int n_workers = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    std::vector<beta_share_t> shares;
    std::vector<pthread_t> threads;
    std::vector<char> started;
    shares.reserve(n_workers);
    threads.resize(n_workers);
    started.resize(n_workers);
    for (int w = 0; w < n_workers; ++w) shares.push_back({&lc, &beta, 1 + w, n_workers});
    for (int w = 1; w < n_workers; ++w) started[w] = pthread_create(&threads[w], nullptr, build_beta_share, &shares[w]) == 0;
    build_beta_share(&shares[0]);
    for (int w = 1; w < n_workers; ++w) {
        if (started[w]) pthread_join(threads[w], nullptr);
        else build_beta_share(&shares[w]);
    }
}

// lhet[n<<8 | k] = ln C(n, k) - n ln 2.
void build_lhet(const std::vector<double>& lc, std::vector<double>& lhet) {
    lhet.assign(table_dim * table_dim, 0.0);
    for (int n = 0; n < table_dim; ++n)
        for (int k = 0; k < table_dim; ++k) lhet[n << 8 | k] = lc[n << 8 | k] + n * neg_ln2;
}

// Sums bsum over alleles 0..m-1 except `skip1` and `skip2`, in single
// precision with each addition done in double; also returns the count of
// those alleles.  Alleles 16 and above have no bases, so only 0..15 are read.
float sum_other_alleles(const double* bsum, const int* c, int m, int skip1, int skip2, int* count) {
    float acc = 0.0f;
    int cnt = 0;
    int end = m < errmod_n_alleles_max ? m : errmod_n_alleles_max;
    for (int k = 0; k < end; ++k) {
        if (k == skip1 || k == skip2) continue;
        acc = static_cast<float>(acc + bsum[k]);
        cnt += c[k];
    }
    *count = cnt;
    return acc;
}

// The 48-bit linear congruential generator of drand48: X' = (a X + c) mod 2^48.
constexpr uint64_t rand48_a = 0x5DEECE66DULL;
constexpr uint64_t rand48_c = 0xB;
constexpr uint64_t rand48_mask = (1ULL << 48) - 1;

// Fisher-Yates from the last element down, drawing from the process stream.
void shuffle_bases(int n, uint16_t* bases) {
    for (int i = n; i > 1; --i) {
        int j = static_cast<int>(i * errmod_drand48());
        uint16_t tmp = bases[i - 1];
        bases[i - 1] = bases[j];
        bases[j] = tmp;
    }
}

}  // namespace

double errmod_rand48_next(uint64_t* state) {
    *state = (rand48_a * *state + rand48_c) & rand48_mask;
    // The 48 bits become the top of the mantissa of a double in [1, 2); taking
    // 1 away leaves exactly state / 2^48.
    uint64_t bits = (uint64_t{1023} << 52) | (*state << 4);
    return std::bit_cast<double>(bits) - 1.0;
}

double errmod_drand48() {
    static uint64_t state = errmod_rand48_seed;
    return errmod_rand48_next(&state);
}

errmod_t* errmod_init(float depcorr) {
    errmod_t* em = new (std::nothrow) errmod_t{depcorr, nullptr};
    if (!em) return nullptr;
    em->coef = new (std::nothrow) errmod_coef_t;
    if (!em->coef) {
        delete em;
        return nullptr;
    }
    try {
        std::vector<double> lc;
        build_fk(depcorr, em->coef->fk);
        build_lc(lc);
        build_beta(lc, em->coef->beta);
        build_lhet(lc, em->coef->lhet);
    } catch (const std::bad_alloc&) {
        errmod_destroy(em);
        return nullptr;
    }
    return em;
}

void errmod_destroy(errmod_t* em) {
    if (!em) return;
    delete em->coef;
    delete em;
}

int errmod_cal(const errmod_t* em, int n, int m, uint16_t* bases, float* q) {
    if (m > 0) std::memset(q, 0, sizeof(float) * m * m);
    if (n <= 0) return 0;
    if (n > errmod_max_depth) {
        shuffle_bases(n, bases);
        n = errmod_max_depth;
    }
    ks_introsort(static_cast<size_t>(n), bases, [](uint16_t a, uint16_t b) { return a < b; });

    const errmod_coef_t& coef = *em->coef;
    int c[errmod_n_alleles_max] = {};
    double bsum[errmod_n_alleles_max] = {};
    int w[n_strand_keys] = {};
    // Best quality first: the k-th error of an allele pays the conditional
    // term for k earlier ones, damped by repeats on the same strand.
    for (int j = n - 1; j >= 0; --j) {
        uint16_t b = bases[j];
        int qq = b >> 5;
        if (qq < errmod_min_qual) qq = errmod_min_qual;
        if (qq > errmod_max_qual) qq = errmod_max_qual;
        int a = b & 0xf;
        int s = b & 0x1f;
        bsum[a] += coef.fk[w[s]] * coef.beta[errmod_beta_index(qq, n, c[a])];
        ++c[a];
        ++w[s];
    }
    if (m <= 0) return 0;

    auto count_of = [&](int k) { return k < errmod_n_alleles_max ? c[k] : 0; };
    for (int i = 0; i < m; ++i) {
        int others;
        float hom = sum_other_alleles(bsum, c, m, i, i, &others);
        if (others > 0) q[i * m + i] = hom;
        for (int j = i + 1; j < m; ++j) {
            double v = het_phred_factor * coef.lhet[errmod_lhet_index(count_of(i) + count_of(j), count_of(j))];
            float rest = sum_other_alleles(bsum, c, m, i, j, &others);
            if (others > 0) v += rest;
            q[j * m + i] = q[i * m + j] = static_cast<float>(v);
        }
        for (int j = 0; j < m; ++j)
            if (q[i * m + j] < 0.0f) q[i * m + j] = 0.0f;
    }
    return 0;
}
