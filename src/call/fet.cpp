// Fisher's exact test.  Probabilities of neighbouring tables come from the
// previous one by a ratio of counts; every eleventh value, and any value the
// ratio cannot reach, is recomputed from log-gamma, which bounds the drift of
// the running products.  All arithmetic is double, left to right.
#include "call/fet.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

// Tables within these factors of the observed probability tie with it.
constexpr double tie_below = 0.99999999;
constexpr double tie_above = 1.00000001;
// A series is recomputed from scratch at every multiple of this value.
constexpr int refresh_period = 11;

double hypergeo(int n11, int n1_, int n_1, int n) {
    return std::exp(lbinom(n1_, n11) + lbinom(n - n1_, n_1 - n11) - lbinom(n, n_1));
}

}  // namespace

double lbinom(int n, int k) {
    if (k == 0 || n == k) return 0;
    // n + 1.0 rather than n + 1: the same value, without overflow at INT_MAX.
    return std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0);
}

double hypergeo_acc(int n11, int n1_, int n_1, int n, hgacc_t* aux) {
    if (n1_ || n_1 || n) {
        aux->n11 = n11;
        aux->n1_ = n1_;
        aux->n_1 = n_1;
        aux->n = n;
        aux->p = hypergeo(n11, n1_, n_1, n);
        return aux->p;
    }
    n1_ = aux->n1_;
    n_1 = aux->n_1;
    n = aux->n;
    int prev = aux->n11;
    // Integer parts in 64 bits: the same values, but no overflow near INT_MAX.
    int64_t n22 = int64_t{n11} + n - n1_ - n_1;  // bottom-right cell of the new table
    double p;
    if (n11 % refresh_period == 0 || n22 == 0) {
        p = hypergeo(n11, n1_, n_1, n);
    } else if (n11 == prev + 1) {
        p = aux->p * (n1_ - prev) / n11 * (n_1 - prev) / static_cast<double>(n22);
    } else if (n11 == prev - 1) {
        p = aux->p * prev / (n1_ - n11) * static_cast<double>(int64_t{prev} + n - n_1 - n1_) / (n_1 - n11);
    } else {
        p = hypergeo(n11, n1_, n_1, n);
    }
    aux->n11 = n11;
    aux->p = p;
    return p;
}

double kt_fisher_exact(int n11, int n12, int n21, int n22, double* left, double* right, double* two) {
    *left = *right = *two = 1.0;
    if (n11 < 0 || n12 < 0 || n21 < 0 || n22 < 0) return 1.0;
    int64_t total = int64_t{n11} + n12 + n21 + n22;
    if (total > std::numeric_limits<int>::max()) return 1.0;
    int n1_ = n11 + n12, n_1 = n11 + n21, n = static_cast<int>(total);
    int64_t lo64 = int64_t{n1_} + n_1 - n;
    int lo = lo64 > 0 ? static_cast<int>(lo64) : 0;
    int hi = n1_ < n_1 ? n1_ : n_1;
    if (lo == hi) return 1.0;

    hgacc_t aux;
    double q = hypergeo_acc(n11, n1_, n_1, n, &aux);

    // Left tail: tables from lo up while they are less likely than the
    // observed one; the first that is not joins when it ties.  The bound on
    // i only matters if rounding ever let the walk pass the observed table.
    double sum_left = 0.0;
    int i = lo;
    double p = hypergeo_acc(i, 0, 0, 0, &aux);
    while (p < tie_below * q && i < hi) {
        sum_left += p;
        p = hypergeo_acc(++i, 0, 0, 0, &aux);
    }
    if (p < tie_above * q) sum_left += p;
    else --i;

    // Right tail, the same from hi down.
    double sum_right = 0.0;
    int j = hi;
    p = hypergeo_acc(j, 0, 0, 0, &aux);
    while (p < tie_below * q && j > lo) {
        sum_right += p;
        p = hypergeo_acc(--j, 0, 0, 0, &aux);
    }
    if (p < tie_above * q) sum_right += p;
    else ++j;

    *two = sum_left + sum_right;
    if (*two > 1.0) *two = 1.0;
    if (std::abs(i - n11) < std::abs(j - n11)) {
        *left = sum_left;
        *right = 1.0 - sum_left + q;
    } else {
        *right = sum_right;
        *left = 1.0 - sum_right + q;
    }
    return q;
}
