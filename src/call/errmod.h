// Sequencing error model: turns the bases seen at one position in one sample
// into phred-scaled likelihoods of every unordered genotype over a small
// allele alphabet.  Errors are binomial in each base's error rate; repeated
// errors of one allele on one strand are damped by a dependency factor.
//
// The tables are built once per model (the binomial-tail table alone takes
// 32 MiB, so callers create one model per command) and read-only afterwards.
// Also home of the process-wide random stream that the error model and the
// phasing draw from.
#pragma once

#include <cstdint>
#include <vector>

// An observed base packed into 16 bits: allele code in bits 0-3, strand in
// bit 4 (1 = reverse), quality in bits 5-15.  Ascending order is therefore
// quality first.
inline constexpr uint16_t errmod_pack_base(int qual, int is_reverse, int allele) {
    return static_cast<uint16_t>((qual << 5) | (is_reverse ? 0x10 : 0) | (allele & 0xf));
}

inline constexpr int errmod_max_depth = 255;     // bases used per call; deeper columns are subsampled
inline constexpr int errmod_max_qual = 63;       // highest quality with a table
inline constexpr int errmod_min_qual = 4;        // lower qualities are scored as this one
inline constexpr int errmod_n_alleles_max = 16;  // allele codes are 4 bits wide

// Index helpers of the flattened tables.
inline constexpr int errmod_beta_index(int q, int n, int k) { return q << 16 | n << 8 | k; }
inline constexpr int errmod_lhet_index(int n, int k) { return n << 8 | k; }

struct errmod_coef_t {
    // fk[w]: weight of the w-th earlier sighting of one allele on one strand,
    // 0.97 * (1 - depcorr)^w + 0.03 (fk[0] = 1).  256 entries.
    std::vector<double> fk;
    // beta[q<<16 | n<<8 | k] = -10 log10(P(X >= k+1) / P(X >= k)), X binomial
    // with n trials and success rate 10^(-q/10); q = 1..63, n = 1..255,
    // k = 0..n (k = n is infinite and never read).  Zero for q = 0.
    std::vector<double> beta;
    // lhet[n<<8 | k] = ln C(n, k) - n ln 2 (for k > n just -n ln 2).
    std::vector<double> lhet;
};

struct errmod_t {
    double depcorr;
    errmod_coef_t* coef;
};

// Builds a model with dependency correlation `depcorr`; null when memory runs out.
errmod_t* errmod_init(float depcorr);
// Frees the model and its tables; null is ignored.
void errmod_destroy(errmod_t* em);

// Fills the m x m matrix `q` with phred-scaled genotype likelihoods of the
// `n` packed `bases` (symmetric, smaller is more likely, never negative).
// `bases` is reordered in place: sorted, and shuffled with the process-wide
// stream first when n exceeds 255 (only the first 255 are then used).  Bases
// whose allele is m or above count towards the depth but score no genotype;
// genotypes of alleles 16 and above see no bases.  Returns 0.
int errmod_cal(const errmod_t* em, int n, int m, uint16_t* bases, float* q);

// The process-wide random stream: the 48-bit linear congruential sequence of
// an unseeded drand48(), a uniform double in [0, 1).  One stream for the whole
// process, never reseeded, so results repeat from run to run.  Not meant for
// concurrent use from several threads.
double errmod_drand48();

// One step of that generator on an explicit 48-bit state: advances `state`
// and returns the new state divided by 2^48.
double errmod_rand48_next(uint64_t* state);
// The state an unseeded drand48() starts from in the GNU C library.
inline constexpr uint64_t errmod_rand48_seed = 0;
