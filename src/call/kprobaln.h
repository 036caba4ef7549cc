// Banded pair hidden Markov model that aligns a read end to end against a
// stretch of reference entered and left anywhere (glocal alignment).
#pragma once

#include <cstdint>

// Gap-open probability, gap-extension probability and band width.
struct kpa_par_t {
  float d;
  float e;
  int bw;
};

extern const kpa_par_t kpa_par_def;  // d 0.001, e 0.1, bw 10

// Largest band (query length x stored cells per row) that one call accepts.
// Above it, or for an empty query or reference, a call allocates nothing,
// leaves `state` and `q` alone and returns kpa_no_result.
inline constexpr int64_t kpa_max_cells = int64_t{64} << 20;
inline constexpr int kpa_no_result = -1;

// Cells one call with these lengths would store, after the band rules.
int64_t kpa_cells(int l_ref, int l_query, const kpa_par_t* c);

// Phred-scaled probability of the query given the reference stretch.  Bases
// are 2-bit codes (above 3: unknown); `iqual` null means quality 30
// everywhere.  With both `state` and `q` given, state[i] receives
// (reference index << 2) | (0 match, 1 insertion) of query base i, or -1, and
// q[i] the phred-scaled probability that this placement is wrong.
int kpa_glocal(const uint8_t* ref, int l_ref, const uint8_t* query, int l_query,
               const uint8_t* iqual, const kpa_par_t* c, int* state, uint8_t* q);
// A call also returns kpa_no_result, leaving `state` and `q` alone, when some
// query row gets no probability at all (parameters such as d = 0, or a band of
// width 0 and a base of quality 0).  A placement that holds the whole probability of
// its row (1 - best/sum = 0, an infinite phred value) gets q = 99, the value
// stored for every placement quality above 100; a row without any posterior
// probability gets state -1 and q 0.  A short query that fits many
// places can score below 0, so a computed result may also equal -1.

// The process-wide table g_qual2prob: entry i is float(10^(-i/10)), the
// error probability of phred quality i.  Built once, on first use.
const float* kpa_qual2prob();
