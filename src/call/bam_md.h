// Comparing one alignment record with its reference sequence: base alignment
// quality (BAQ), mapping-quality capping, and the MD/NM tags with the
// clean-ups of calmd.
//
// `ref` is the whole sequence of the record's reference as characters and
// `ref_len` its length; no walk reads at or beyond `ref_len` (a read that
// starts beyond it, or a D/N that jumps past it, sees the reference end
// there).  Read bases are only read up to l_qseq: a CIGAR that needs more
// bases than the record stores gets no BAQ, no MD/NM and no masking.
// Scratch buffers are thread-local and reused, so the steady state allocates
// nothing per record beyond what the realignment model itself needs.
#pragma once

#include <cstdint>

#include "bam/bam.h"

// Modes of bam_prob_realn_core.
enum : int {
    BAM_BAQ_APPLY = 1,     // lower the qualities and keep the offsets in ZQ (else store them in BQ)
    BAM_BAQ_EXTENDED = 2,  // extended BAQ
};

// Results of bam_prob_realn_core besides 0.
enum : int {
    BAM_BAQ_SKIPPED = -1,  // no BAQ for this record; it is unchanged
    BAM_BAQ_DONE = -3,     // the wanted tag is already there; nothing changed
};

// Bits of bam_fillmd1_core.
enum : int {
    BAM_MD_EQUAL = 1,       // replace read bases equal to the reference by '='
    BAM_MD_DROP_AUX = 2,    // drop every optional field except RG
    BAM_MD_BIN_QUAL = 4,    // bin qualities above 2 to (q / 10) * 10 + 7
    BAM_MD_UPDATE_NM = 8,   // recompute NM
    BAM_MD_UPDATE_MD = 16,  // recompute MD
};

// BAQ of one record (`flag`: BAM_BAQ_APPLY, BAM_BAQ_EXTENDED): 0 on success
// or when an existing BQ/ZQ was converted (a read without any aligned base
// gets offsets of 64, without running the model); BAM_BAQ_DONE when the work
// was done before; BAM_BAQ_SKIPPED, with the record unchanged, for an
// unmapped record, one without sequence or qualities, with a quality above
// bam_baq_max_qual, with an N operation, with a BQ/ZQ that is not a string of
// one offset (64 or more) per base, with an empty window, or one the model
// does not take (too large for its cell cap: one warning line names the read).
int bam_prob_realn_core(bam1_t* b, const char* ref, int64_t ref_len, int flag);
// Highest quality whose BAQ offset (64 + quality) still fits a byte.
inline constexpr int bam_baq_max_qual = 191;

// Capped mapping quality for threshold `thres` (negative: 40), or -1 when
// the mismatch score exceeds the threshold.
int bam_cap_mapQ(const bam1_t* b, const char* ref, int64_t ref_len, int thres);

// Recomputes MD and NM (bits above) and masks the matching bases with N and
// quality 0 when the edit distance reaches `max_nm` (> 0).  Prints the
// "[bam_fillmd1] different NM/MD ..." lines for replaced tags.  Returns 0, or
// -1 when memory ran out while appending a tag.
int bam_fillmd1_core(bam1_t* b, const char* ref, int64_t ref_len, int flag, int max_nm);
