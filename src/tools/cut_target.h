// targetcut: the target regions of a fosmid pool.  Every covered position
// of a coordinate-sorted BAM file gets a one-base consensus from the error
// model; a two-state Viterbi path (non-target, target) over each reference
// then cuts it into target regions, printed as SAM-like lines whose sequence
// and qualities are the consensus.
//
// Memory: one 16-bit consensus value per position of the current reference
// and two bits of back pointers per position during the segmentation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "call/errmod.h"
#include "pileup/bam_pileup.h"

// Scores of the segmentation: e[state][category] is the emission score of a
// position, p[from][to] the transition score; the path maximises their sum.
struct ct_score_param_t {
    int e[2][3] = {{0, 0, 0}, {-4, 1, 6}};
    int p[2][2] = {{0, -14000}, {0, 0}};
};

struct ct_opts_t {
    int min_baseQ = 13;
    const char* fn_ref = nullptr;  // FASTA with its index: BAQ is applied when given
    ct_score_param_t param;
};

// A consensus value: bits 0-7 the number of bases used (at most 255), bits
// 8-9 the base (A0 C1 G2 T3), bits 10-15 its quality (at most 63); 0 where
// no base was usable.
inline constexpr int ct_max_count = 255;
inline constexpr int ct_max_qual = 63;
inline int ct_cns_base(uint16_t v) { return v >> 8 & 3; }
inline int ct_cns_qual(uint16_t v) { return v >> 10; }
inline int ct_cns_count(uint16_t v) { return v & 0xff; }

// The consensus of one pileup column: the bases that are not deletions or
// skips, of quality at least `min_baseQ` and A, C, G or T, scored by the
// error model `em`.  `bases` is scratch space.
uint16_t ct_column_cns(const errmod_t* em, int n, const bam_pileup1_t* plp, int min_baseQ, std::vector<uint16_t>* bases);

// Category of a position for the segmentation: 0 uncovered, 1 covered with a
// quality-0 call of A (bits 8-15 zero), 2 otherwise.
inline int ct_category(uint16_t v) { return v == 0 ? 0 : (v >> 8) == 0 ? 1 : 2; }

// A target region, 0-based half-open.
struct ct_region_t {
    int64_t beg, end;
    bool operator==(const ct_region_t&) const = default;
};

// The Viterbi segmentation of `len` positions: the maximal runs of the target
// state.  Both states start at score 0; ties take state 1 as predecessor and
// at the end.
std::vector<ct_region_t> ct_segment(const uint16_t* cns, int64_t len, const ct_score_param_t& param);

// The report line of one region of reference `name`, newline included.
void ct_format_region(const char* name, const uint16_t* cns, const ct_region_t& r, std::string* line);

// Runs the command on `fn` ("-" for standard input), printing the regions to
// standard output.  Returns 0, or 1 after a one-line message when the input
// cannot be opened, is damaged or unsorted, or output cannot be written
// (what was printed before stays).
int cut_target(const ct_opts_t& opts, const char* fn);
