// Paired duplicate removal over a coordinate-sorted file: pairs whose
// leftmost reads start at the same position with the same insert size in one
// library are duplicates; the pair whose leftmost read has the highest
// base-quality sum is kept, and the mates of the dropped leftmost reads are
// dropped by name when they are met.
//
// Only the kept leftmost reads of the current position are held (on a stack
// of records that are reused from position to position), with per-library
// tables of the keys seen on the current reference and the set of mate names
// still to drop.  The order of the input is checked as it is read, so a table
// entry can only ever meet a record of the current position.
#pragma once

#include "bam/sam.h"

// A best table this large is emptied at the next position.
inline constexpr unsigned RMDUP_BEST_CLEAR_SIZE = 0x40000;
// Room reserved in the set of mate names to drop.
inline constexpr unsigned RMDUP_DEL_SET_RESERVE = 1048576;
// Capacity of the stack of kept leftmost reads at its first use.
inline constexpr unsigned RMDUP_STACK_INITIAL = 65536;

// Reads every record of `in` and writes the kept ones to `out`, printing the
// progress, unmatched-pairs and per-library statistics lines.  Returns 0; -1
// after a damaged or cut input (what was read is processed and written
// first), an input out of coordinate order or a failed write, each reported
// in one line naming `fn_in` or `fn_out`.  Closes nothing.
int bam_rmdup_core(samfile_t* in, samfile_t* out, const char* fn_in, const char* fn_out);
