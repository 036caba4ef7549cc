// Duplicate removal among single reads of a coordinate-sorted file: reads of
// one library and reference that lie on the same strand and share their outer
// end (the start of a forward read, the end of a reverse read) are
// duplicates, and the one with the highest base-quality sum survives.
//
// Reads wait in a first-in, first-out queue so that the survivors leave in
// input order; the queue is drained at each change of reference and, within a
// reference, once it holds more than RMDUPSE_QUEUE_MAX reads (counting those
// that have left early: reads at the head that nothing can change any more
// are written as soon as the position passes them, which keeps the queue to
// about one read length of input).  Queue nodes and their record buffers are
// recycled, so the steady state allocates nothing per record.  The order of
// the input is checked as it is read.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bam/bam.h"
#include "bam/sam.h"

// A queue this long is drained within a reference.
inline constexpr long RMDUPSE_QUEUE_MAX = 1048576;

// Sum of the base qualities of a record, each byte 0-255 (a missing quality
// counts 255 per base); 64 bits so that long reads cannot overflow it.
uint64_t bam_rmdup_sum_qual(const bam1_t* b);
// Coordinate-order key: reference, records without one last, then position.
// A sorted input never has a record whose key is below the previous one's.
uint64_t bam_rmdup_coord_key(const bam1_core_t* c);
// True when `out` has failed a write so far.
bool bam_rmdup_has_write_failed(const samfile_t* out);

// The statistics line of every library, in the library table's order.
template <typename LibTable>
void bam_rmdup_print_stats(const char* core, const LibTable& aux) {
    for (auto k = aux.begin(); k != aux.end(); ++k) {
        if (!aux.exist(k)) continue;
        const auto* q = aux.value(k);
        std::fprintf(stderr, "[%s] %lld / %lld = %.4lf in library '%s'\n", core, static_cast<long long>(q->n_removed),
                     static_cast<long long>(q->n_checked), static_cast<double>(q->n_removed) / static_cast<double>(q->n_checked),
                     aux.key(k));
    }
}

// How a duplicate-removal run ended.
enum class stop_t { end, damaged, unsorted, write_failed, no_memory };
// 0 for a clean end; otherwise prints the one line naming the cause (the
// file, and for an unsorted input the record `b` that broke the order) under
// the tag `core`, and returns -1.
int bam_rmdup_report_stop(stop_t stop, const char* core, const samfile_t* in, const char* fn_in, const char* fn_out,
                          long long n_read, const bam1_t* b);

// Reads every record of `in` and writes the survivors to `out`; `force_se`
// treats paired reads as single reads (otherwise they pass untouched).
// Prints one statistics line per library.  Returns 0; -1 after a damaged or
// cut input (what was read is processed and written first), an input out of
// coordinate order or a failed write, each reported in one line naming
// `fn_in` or `fn_out`.  Closes nothing.
int bam_rmdupse_core(samfile_t* in, samfile_t* out, int force_se, const char* fn_in, const char* fn_out);
