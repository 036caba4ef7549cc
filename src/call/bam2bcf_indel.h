// Indel candidates at a pileup column: decides whether the column is an
// indel site, collects the candidate indel lengths ("types"), builds one
// haplotype per sample and type around the site, realigns every read against
// every haplotype with the pair HMM (kpa_glocal) and turns the scores into a
// per-read allele index and qualities stored in the pileup entries' `aux`
// fields.  The site likelihood code (bcf_call_glfgen with a negative reference
// base) then treats the indel types as it treats bases.
//
// A read-group set built from the header text limits candidate discovery to
// the sequencing platforms the user names.
//
// The reference is passed with its length and never read outside it, so a
// site at either end of the reference (or a window or repeat run reaching
// past it) stays within the sequence.  All scratch buffers live for one call.
#pragma once

#include <cstdint>

#include "bam/bam.h"
#include "call/bam2bcf.h"
#include "pileup/bam_pileup.h"

inline constexpr int bcf_indel_null = 10000;       // unused slot of indel_types
inline constexpr int bcf_indel_max_types = 63;     // distinct types (with 0) handled at one site
inline constexpr int bcf_indel_window = 50;        // reference bases on each side of the site
inline constexpr int bcf_indel_max_len = 1 << 20;  // a longer candidate (damaged record) rejects the site

// Adds to the set `_hash` (created when null) the IDs of the read groups in
// `hdtext` whose platform (PL) occurs as a substring of `list`.  Returns
// `_hash` unchanged when `hdtext` or `list` is null.  The set owns its keys.
void* bcf_call_add_rg(void* _hash, const char* hdtext, const char* list);
// Frees the keys and the set; null is ignored.
void bcf_call_del_rghash(void* _hash);

// Prepares indel calling at 0-based `pos` for `n` samples (`n_plp[s]` entries
// at `plp[s]`).  `ref` holds the whole reference sequence, `ref_len` bases of
// it (reading stops early at a NUL).  With `rghash`, only reads of the listed
// read groups nominate candidates.  0 when the column is an indel site with
// at least one read supporting an alternative type: the entries' `aux` and
// bca's indel_types, maxins, inscns and indelreg are then set.  -1 otherwise
// (or when memory runs out).
int bcf_call_gap_prep(int n, const int* n_plp, bam_pileup1_t** plp, int pos, bcf_callaux_t* bca, const char* ref, int ref_len,
                      const void* rghash);

// Query position aligned to reference position `tpos`; *_tpos receives the
// reference position actually used (the alignment start when `tpos` lies
// before it, the start (`is_left`) or end of a D/N containing it, the
// alignment end when `tpos` lies beyond it).
int tpos2qpos(const bam1_core_t* c, const uint8_t* cigar, int32_t tpos, int is_left, int32_t* _tpos);

// The steps of bcf_call_gap_prep that stand alone.

// One sample's reference over a window of `len` bases from `left` (`ref16`,
// 4-bit code) into `cns`, with the position of most and the one of
// second-most mismatching read bases (ties: the later position) set to N
// unless at least 70% of the read bases there match the reference.
void bcf_indel_consensus(const bam_pileup1_t* plp, int n_plp, const uint8_t* ref16, int left, int len, uint8_t* cns);
// The `type` consensus bases (codes 0-4) of an insertion of length `type`
// over the reads carrying it: the most frequent of A, C, G, T at each offset
// (ties: the lower code), 4 where none was seen.  Nothing for other types.
void bcf_indel_ins_consensus(int n, const int* n_plp, bam_pileup1_t* const* plp, int type, uint8_t* out);
// Length of the homopolymer run of the base after `pos` that reaches through
// `pos` leftwards; 1 when that base is N or lies past the reference end.
int bcf_indel_run_length(const char* ref, int ref_len, int pos);
// Reference bases after `pos` spanned by an indel of length |l|: the
// repeat-aware score walk (+1 for a base matching the indel's sequence, -10
// otherwise).  `ins` holds the inserted bases (codes 0-4) of an insertion and
// is null for a deletion.
int bcf_indel_region(const char* ref, int ref_len, int pos, int l, const uint8_t* ins);
// Sequence-context quality of an indel of length `l` next to a run of `l_run`.
int bcf_indel_seqQ(const bcf_callaux_t* bca, int l, int l_run);
// Realignment qualities of query bases [qbeg, qend) into `out`: the stored
// ones (restored to their pre-BAQ values by a ZQ string of the read's length),
// capped at 30, with 6 or less raised to 7.  Missing qualities count as 30.
void bcf_indel_realign_quals(const bam1_t* b, int qbeg, int qend, uint8_t* out);
// Packs an alignment result `R` of a query of `l_query` bases as
// R << 8 | min(255, round(100 R / l_query)); 0 for kpa_no_result or an empty query.
int64_t bcf_indel_score(int R, int l_query);
// One read's `aux` (type index << 16 | seqQ << 8 | indelQ) from its scores
// against the `n_types` candidate types (score1: first parameter set, score2:
// the stricter one), 2 <= n_types <= 63; 0 for other counts.  Keys are
// 64-bit, so scores of any size keep their order.
uint32_t bcf_indel_read_aux(const int64_t* score1, const int64_t* score2, const int* types, int n_types, int ref_type, int l_run,
                            const bcf_callaux_t* bca);
