// Sorting BAM records by coordinate or by read name within a memory bound,
// and the k-way heap merge of sorted record streams that combines the
// sorted blocks (and that the merge command builds on).
//
// Two record orders exist, chosen process-wide by `g_is_by_qname`:
// coordinate order (reference index, then position; no reference last) and
// name order (natural order of the query names, then coordinate).  Both
// orders put forward before reverse records at one position, in the sort as
// in the merge, and both break remaining ties by input order (stable sort in
// a block, then block number and reading order in the merge).  So a sort's
// output does not depend on how its input falls into blocks, and merging
// sorted files gives the sort of their concatenation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "bam/bam.h"

class thread_pool;

// 1: records are ordered by read name; 0: by coordinate.
extern int g_is_by_qname;

// Natural name order: digit runs compare as numbers; negative, 0 or positive.
int strnum_cmp(const char* a, const char* b);

// True when `a` sorts strictly before `b` in the current order.
bool bam1_lt(const bam1_t* a, const bam1_t* b);

// Parses a memory bound: leading decimal digits, optionally followed by K, M
// or G (powers of 1024).  Anything after that is ignored, as are non-digits
// at the start (giving 0).
size_t bam_sort_parse_mem(const char* s);

// ---- k-way merge ----

// One heap entry per input of the merge.
struct heap1_t {
    int i;         // input index
    uint64_t pos;  // merge key; all bits set once the input is exhausted
    uint64_t idx;  // serial number of the record over all inputs
    bam1_t* b;     // current record, null once the input is exhausted
};

// Key of coordinate order: tid << 32 | (pos + 1) << 1 | reverse strand, so
// records without a reference (tid -1) sort last.
uint64_t bam_merge_key(const bam1_t* b);

// True when entry `a` comes after entry `b` (the heap keeps the first entry
// on top): key, then input index, then serial number; in name order the
// query names decide first and exhausted entries come last.
bool heap_lt(const heap1_t& a, const heap1_t& b);

// Reads the next record of input `i` into `b`; returns what bam_read1 does
// (>= 0 a record, -1 end of data, < -1 an error, which the reader reports).
using merge_read_fn = std::function<int(int i, bam1_t* b)>;
// Takes the next record in merge order, from input `i`; it may modify the
// record.  A negative return stops the merge.
using merge_emit_fn = std::function<int(int i, bam1_t* b)>;

// Merges `n` sorted inputs in the current order.  An input whose read fails
// with an error is treated as ended.  Returns 0, or -1 when `emit` failed.
int bam_merge_heap(int n, const merge_read_fn& read, const merge_emit_fn& emit);

// Flag bits of bam_merge_core.
enum : int {
    MERGE_RG = 1,      // tag every record with RG:Z:<input file name without .bam>
    MERGE_UNCOMP = 2,  // uncompressed output blocks (level 0)
    MERGE_LEVEL1 = 4,  // compression level 1
    MERGE_FORCE = 8,   // overwrite an existing output (checked by the command)
};

// Merges the sorted BAM files `fn[0..n)` into `out` ("-" for standard
// output).  The header is the first input's text with the longest reference
// list, or the text of SAM file `headers` when given.  `reg` restricts the
// merge to one region through each input's index.  Returns 0, or -1 after a
// message; a truncated input is reported, the merge completes with the
// others and the result is -1.
// With `pool`, blocks are inflated and deflated by its workers (the output
// is the same).
int bam_merge_core(int by_qname, const char* out, const char* headers, int n, char* const* fn, int flag, const char* reg,
                   thread_pool* pool = nullptr);

// ---- the sort ----

// Sorts `k` records stably and writes them with `header` to block file
// "prefix.NNNN.bam" (n >= 0, level 1) or to the output "prefix.bam" (n < 0,
// default level; standard output when `is_stdout`).  Returns 0 or -1.
// With `pool` the sorting and the deflating are shared among its workers;
// the order and the bytes are the same.
int sort_blocks(int n, int k, bam1_t** buf, const char* prefix, const bam_header_t* header, int is_stdout,
                thread_pool* pool = nullptr);

// Sorts `n` records stably by bam1_lt: the same merges as ks_mergesort in the
// same order, the independent ones shared among the workers of `pool`.
void sort_records(size_t n, bam1_t** records, thread_pool* pool);

// Sorts file `fn` ("-" for standard input) into "prefix.bam" (or standard
// output) holding at most about `max_mem` record bytes at once.  Returns 0,
// or -1 after a message when the input could not be read to its end (the
// records read are still sorted and written) or no output was produced.
int bam_sort_core_ext(int is_by_qname, const char* fn, const char* prefix, size_t max_mem, int is_stdout,
                      thread_pool* pool = nullptr);
