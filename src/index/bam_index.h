// The BAM index (binning index plus 16 kb linear index per reference), its
// ".bai" file, and region iterators over an indexed, coordinate-sorted BAM.
//
// Building is one sequential pass with one reused record; hash lookups happen
// only when the bin changes between consecutive records.  Loading decodes the
// whole ".bai" through a bounded view: every count is checked against the
// bytes that remain before anything is allocated, so a truncated or damaged
// file fails with a message instead of crashing or allocating wildly.
// Iterators copy the chunks they need and never refer back to the index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "bam/bam.h"
#include "containers/khash.h"
#include "io/bgzf.h"

// One chunk: virtual offsets [u, v) of a run of records.
struct pair64_t {
    uint64_t u, v;
};
static_assert(sizeof(pair64_t) == 16);

// The chunks of one bin, in the order they were added.
struct bam_binlist_t {
    uint32_t m, n;
    pair64_t* list;  // malloc'd
};

// Bin number -> chunk list, one map per reference.
using kh_i_t = khash_t<uint32_t, bam_binlist_t, kh_int_traits>;

// Linear index: offset[w] is the virtual offset of the first record that
// overlaps window w (positions w*16384 .. w*16384+16383), 0 for none.
struct bam_lidx_t {
    int32_t n, m;
    uint64_t* offset;  // malloc'd
};

struct bam_index_t {
    int32_t n;           // number of references
    uint64_t n_no_coor;  // records without a reference
    kh_i_t** index;      // binning index per reference
    bam_lidx_t* index2;  // linear index per reference
};

inline constexpr int bam_lidx_shift = 14;
inline constexpr uint32_t bam_max_bin = 37450;   // metadata bin; real bins are 0..37448
inline constexpr uint32_t bam_meta_bin = 37450;  // (first, past-last offsets), (mapped, unmapped)

// Builds the index of the BAM stream positioned at its start; null after a
// message when the records are not sorted or the stream misbehaves.  A
// damaged or cut record (bam_read1_bounded against the header) ends the
// build after a message; the records before it are indexed.
bam_index_t* bam_index_core(BGZF* fp);
// Writes the ".bai" layout and flushes; 0, or -1 when writing failed.
int bam_index_save(const bam_index_t* idx, FILE* fp);

// Status of bam_index_decode.
enum bai_status { bai_ok = 0, bai_bad_magic, bai_corrupt };
// Decodes a whole ".bai" image; null with *status set when it is not one.
bam_index_t* bam_index_decode(const uint8_t* p, size_t n, bai_status* status);
// Index of a BAM file (x.bam.bai, then x.bai) on local disk; for a URL it is
// looked for in the working directory.  Null silently when no file opens.
bam_index_t* bam_index_load_local(const char* fn);
// As above, downloading the index of a URL into the working directory when
// needed.  Prints its own message on failure.
bam_index_t* bam_index_load(const char* fn);
// 0 on success, -1 after a message.  A null `fn_idx` means `fn`.bai.  A
// damaged BAM file gives -1 after the index of its intact records was saved.
// With `pool`, its workers inflate the blocks ahead (the index is the same).
int bam_index_build2(const char* fn, const char* fn_idx, thread_pool* pool = nullptr);
int bam_index_build(const char* fn);
void bam_index_destroy(bam_index_t* idx);

struct bam_index_deleter {
    void operator()(bam_index_t* idx) const { bam_index_destroy(idx); }
};
using bam_index_ptr = std::unique_ptr<bam_index_t, bam_index_deleter>;

// ---- Region iterator ----

struct bam_iter_s {
    int from_first;  // read everything from the current position; always 0 here
    int tid, beg, end;
    int n_off, i, finished;
    uint64_t curr_off;
    pair64_t* off;      // malloc'd, sorted, non-overlapping; may be null
    int32_t n_targets;  // references of the index: a record naming another is damaged
};
// A null iterator reads records sequentially with no region.
using bam_iter_t = bam_iter_s*;

using bam_fetch_f = int (*)(const bam1_t* b, void* data);

// Results of bam_iter_read beyond those of bam_read1.
enum : int {
    bam_iter_einvalid = -5,   // the record that ended the region is malformed
    bam_iter_eseek = -6,      // seeking to a chunk failed, or it lies beyond the end of the data
    bam_iter_emismatch = -7,  // the records do not fit the chunks (a chunk start inside a record, a
                              // record past a chunk end, the data ending inside a chunk): the index
                              // is not this file's, or the file was cut
};

// Bins that may hold records overlapping [beg, end); `list` needs room for
// bam_max_bin entries.  Returns their number.
int bam_reg2bins(uint32_t beg, uint32_t end, uint16_t* list);
// Sorted chunks to a non-overlapping list: drops contained chunks, clips
// overlaps and joins chunks that meet inside one BGZF block.  Returns the
// new count.
int bam_compact_chunks(pair64_t* off, int n);

// Null when end < beg after a negative beg is raised to 0.
bam_iter_t bam_iter_query(const bam_index_t* idx, int tid, int beg, int end);
// >= 0 with the next overlapping record; -1 at the end of the region;
// bam_iter_* codes or the error of bam_read1 otherwise (-4 also for a record
// naming a reference the index lacks).  After any negative result the
// iterator is finished.
int bam_iter_read(BGZF* fp, bam_iter_t iter, bam1_t* b);
void bam_iter_destroy(bam_iter_t iter);

struct bam_iter_deleter {
    void operator()(bam_iter_s* it) const { bam_iter_destroy(it); }
};
using bam_iter_ptr = std::unique_ptr<bam_iter_s, bam_iter_deleter>;

// The virtual offset just past the last record the index places on a
// reference: the largest chunk end over all references, or 0 when the
// index holds no chunk.  In a coordinate-sorted file the records without a
// reference follow from there.
uint64_t bam_index_placed_end(const bam_index_t* idx);

// Calls `func` with every record overlapping the region; 0 when the region
// was read to its end, else the negative bam_iter_read result that stopped it.
int bam_fetch(BGZF* fp, const bam_index_t* idx, int tid, int beg, int end, void* data, bam_fetch_f func);

// Calls `func` with every record without a reference (tid -1) after the
// placed ones of a coordinate-sorted file: read from bam_index_placed_end,
// or from `first_record` (the offset just after the header) when the index
// holds no chunk.  0 at the end of the file, else the negative result of
// the seek (bam_iter_eseek) or of the read that stopped it.
int bam_fetch_unplaced(BGZF* fp, const bam_index_t* idx, int64_t first_record, void* data, bam_fetch_f func);
