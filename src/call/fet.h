// Fisher's exact test on a 2 x 2 table, with an incremental evaluator of
// hypergeometric probabilities that walks the tables of fixed margins one
// top-left value at a time.
#pragma once

// State of one series of tables with fixed margins: the last top-left value
// evaluated, the first row sum, the first column sum, the grand total, and
// the last probability.
struct hgacc_t {
    int n11, n1_, n_1, n;
    double p;
};

// ln C(n, k); 0 when k is 0 or n.
double lbinom(int n, int k);

// Hypergeometric probability of the table with top-left cell `n11`.  Non-zero
// margins start a new series in `aux`; n1_ = n_1 = n = 0 evaluates another
// top-left value with the margins of the series, from the last probability
// when it is a neighbour of the last value.
double hypergeo_acc(int n11, int n1_, int n_1, int n, hgacc_t* aux);

// Probability of the table (n11 n12 / n21 n22); its left-tail, right-tail
// and two-tailed p-values go to `left`, `right` and `two`.  A table whose
// margins allow one arrangement only, one with a negative count, or one whose
// total exceeds the int range gives 1 everywhere.
double kt_fisher_exact(int n11, int n12, int n21, int n22, double* left, double* right, double* two);
