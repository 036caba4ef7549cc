// The pileup engine: turns coordinate-sorted records into columns, one per
// covered reference position, each listing the records that cover it with
// the query position aligned there.
//
// Three ways to drive it: push records and pull columns (bam_plp_push /
// bam_plp_next); let it pull records through a reader (bam_plp_auto, and
// bam_mplp_auto for several files in lock-step); or push records and get
// every finished column through a callback (bam_plbuf_push).
//
// Only records overlapping the pending column are kept, in pooled nodes
// whose data blocks are reused, so memory follows the depth, not the file.
#pragma once

#include <cstdint>

#include "bam/bam.h"

// One record's contribution to one column.
struct bam_pileup1_t {
    bam1_t* b;     // the engine's copy; valid until the next call into the iterator
    int32_t qpos;  // query index of the base here; for D/N the first base after it
    int indel;     // length of an insertion (>0) or deletion (<0) following this position
    int level;     // display row, left to the level pileup
    uint32_t is_del : 1, is_head : 1, is_tail : 1, is_refskip : 1, aux : 28;
};

// Reads the next record into `b`; >= 0 on success, negative at the end.
using bam_plp_auto_f = int (*)(void* data, bam1_t* b);
// Receives one column; the result is ignored.
using bam_pileup_f = int (*)(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t* pl, void* data);

inline constexpr int bam_plp_default_mask = 0x704;  // unmapped, secondary, QC failure, duplicate
inline constexpr int bam_plp_default_maxcnt = 8000;

struct bam_plp_s;
using bam_plp_t = bam_plp_s*;

bam_plp_t bam_plp_init(bam_plp_auto_f func, void* data);
void bam_plp_destroy(bam_plp_t iter);
// Negative selects the default mask; any other mask gets the unmapped bit added.
void bam_plp_set_mask(bam_plp_t iter, int mask);
void bam_plp_set_maxcnt(bam_plp_t iter, int maxcnt);
// Pushes one record, or marks the end of input when `b` is null.  -1 when
// the record breaks the sort order or the iterator has failed before.
int bam_plp_push(bam_plp_t iter, const bam1_t* b);
// The next finished column, or null: with *n_plp 0 more input is needed (or
// the input is exhausted), with *n_plp -1 the iterator has failed.
const bam_pileup1_t* bam_plp_next(bam_plp_t iter, int* tid, int* pos, int* n_plp);
// As bam_plp_next, reading records through the iterator's reader as needed.
const bam_pileup1_t* bam_plp_auto(bam_plp_t iter, int* tid, int* pos, int* n_plp);
// Drops every buffered record and starts over at the first position; the
// mask, the cap and a failure stay.
void bam_plp_reset(bam_plp_t iter);
// True once a sort-order violation has stopped the iterator.
bool bam_plp_failed(const bam_plp_t iter);
// The number of columns right after the one last returned that hold the same
// records with the same flags, the query position of each aligned base one
// further per column (0 when none or not known yet).  A caller that needs
// only counts may pass over them with bam_plp_skip_run.
int bam_plp_run_length(const bam_plp_t iter);
// Moves past `k` of those columns (at most the run length) without reporting
// them; the entries then describe the last column skipped.
void bam_plp_skip_run(bam_plp_t iter, int k);

// Several files in lock-step.
struct bam_mplp_s;
using bam_mplp_t = bam_mplp_s*;

bam_mplp_t bam_mplp_init(int n, bam_plp_auto_f func, void** data);
void bam_mplp_set_maxcnt(bam_mplp_t iter, int maxcnt);
// Reports the next position any file covers: per file its entry count and
// entries (0 and null for files without a column there).  Returns the number
// of files with a column, 0 when every file is finished.
int bam_mplp_auto(bam_mplp_t iter, int* tid, int* pos, int* n_plp, const bam_pileup1_t** plp);
// Drops every file's buffered records (bam_plp_reset on each), for a caller
// that stops before the end.
void bam_mplp_reset(bam_mplp_t iter);
// bam_plp_run_length and bam_plp_skip_run of a single file; with several
// files the run length is 0.
int bam_mplp_run_length(const bam_mplp_t iter);
void bam_mplp_skip_run(bam_mplp_t iter, int k);
void bam_mplp_destroy(bam_mplp_t iter);

// Push records, receive columns through a callback.
struct bam_plbuf_t {
    bam_plp_t iter;
    bam_pileup_f func;
    void* data;
};

bam_plbuf_t* bam_plbuf_init(bam_pileup_f func, void* data);
void bam_plbuf_set_mask(bam_plbuf_t* buf, int mask);
// Pushes `b` (null at the end of input) and hands every finished column to
// the callback; 0, or the push's negative result.
int bam_plbuf_push(const bam1_t* b, bam_plbuf_t* buf);
void bam_plbuf_reset(bam_plbuf_t* buf);
void bam_plbuf_destroy(bam_plbuf_t* buf);
