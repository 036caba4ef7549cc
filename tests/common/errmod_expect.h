// The error model's terms evaluated straight from their definitions, for
// golden values of the consumers of genotype likelihoods.
#pragma once

#include <cmath>

namespace test_util {

// -10 log10(P(X >= k+1) / P(X >= k)) for X binomial with n trials and error
// rate 10^(-q/10), the tails summed term by term.
inline double binomial_beta(int q, int n, int k) {
    const long double e = std::pow(10.0L, -q / 10.0L);
    auto tail = [&](int from) {
        long double s = 0;
        for (int j = from; j <= n; ++j)
            s += std::exp(std::lgamma(n + 1.0L) - std::lgamma(j + 1.0L) - std::lgamma(n - j + 1.0L)) * std::pow(e, j) *
                 std::pow(1 - e, n - j);
        return s;
    };
    return static_cast<double>(-10 * std::log10(tail(k + 1) / tail(k)));
}

// Weight of the w-th earlier sighting of one allele on one strand, for the
// dependency correlation 0.17 the callers use.
inline double dependency_weight(int w) { return w == 0 ? 1 : 0.97 * std::pow(1 - static_cast<double>(0.17f), w) + 0.03; }

// Phred score that `n` agreeing bases of quality `q`, all on one strand, give
// against every other homozygote.
inline double agreeing_bases_score(int q, int n) {
    double s = 0;
    for (int k = 0; k < n; ++k) s += dependency_weight(k) * binomial_beta(q, n, k);
    return s;
}

}  // namespace test_util
