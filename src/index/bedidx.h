// Target-region sets loaded from BED files or position lists, and the test
// whether an interval overlaps any region of a reference.
//
// Lines are "name start end" (BED: 0-based start, exclusive end) or
// "name pos" (1-based position); other columns are ignored and lines that
// yield no interval are skipped silently.  Each reference keeps its
// intervals sorted with a linear index of 8192-base windows, so a query
// starts its scan close to the first interval that can overlap and stops at
// the first interval starting at or beyond the query's end.  Numbers that do
// not fit a 32-bit signed int are clamped to INT32_MAX, which bounds the
// linear index of one reference to 2^18 entries.
#pragma once

#include <cstdint>

#include "containers/khash.h"

// One interval packed into 64 bits: start in the upper half, end in the lower
// half; both 0-based, half-open.  Packed values sort by start, then end.
inline uint64_t bed_pack(uint32_t beg, uint32_t end) { return static_cast<uint64_t>(beg) << 32 | end; }
inline uint32_t bed_start(uint64_t x) { return static_cast<uint32_t>(x >> 32); }
inline uint32_t bed_end(uint64_t x) { return static_cast<uint32_t>(x); }

// Width of a linear-index window is 1 << bed_window_shift bases.
inline constexpr int bed_window_shift = 13;

// The intervals of one reference.
struct bed_reglist_t {
    int n;        // number of intervals
    int m;        // while loading: capacity of `a`; once indexed: entries of `idx`
    uint64_t* a;  // packed intervals, sorted once indexed
    int* idx;     // entry w: first interval in `a` covering window w, or -1
};

// Reference name (owned copy) -> its intervals.  This is what the untyped
// handle of bed_read points to.
using reghash_t = khash_t<const char*, bed_reglist_t, kh_str_traits>;

// Loads a BED file or position list, plain or gzip ("-" reads standard
// input), sorted and indexed.  Null, without a message, when the file cannot
// be opened or memory runs out.
void* bed_read(const char* fn);
// 1 if [beg, end) overlaps a listed interval of reference `chr`, else 0; a
// null handle or an unknown reference gives 0.
int bed_overlap(const void* reg_hash, const char* chr, int beg, int end);
// Frees the handle and everything it owns; null is allowed.
void bed_destroy(void* reg_hash);

// Lower-level steps, exposed for the tests.

// Sorts every list and rebuilds its linear index.  0, or -1 when memory ran
// out (the lists touched so far stay valid).
int bed_index(void* reg_hash);
// Linear index of `n` sorted intervals (free with std::free); *n_idx gets its
// length, the last interval's end window + 1.  Null with *n_idx 0 when n is 0
// or memory runs out.
int* bed_index_core(int n, const uint64_t* a, int* n_idx);
// The overlap test on one indexed list.
int bed_overlap_core(const bed_reglist_t* p, int beg, int end);
