// fixmate: makes the two records of each read pair in a name-grouped BAM
// stream agree about each other (mate reference and position, insert size,
// mate strand, mate unmapped).  Adjacent records with the same name are
// mates; a record whose name differs from both neighbours' loses its mate
// information.  Input that is not grouped by name is not detected: its
// records are simply treated as unmated.
//
// Records keep their order; only the mate fields, the insert size and the
// flags 0x2, 0x8 and 0x20 change (0x2 is only ever cleared).  Two records are
// held at a time, decoded and encoded by the normal codec in place.
#pragma once

#include "bam/bam.h"
#include "io/bgzf.h"

// Codes of bam_mating_core.
enum {
    BAM_MATING_OK = 0,
    BAM_MATING_BAD_HEADER = -1,    // the input's header cannot be read (the reader has said why)
    BAM_MATING_TRUNCATED = -2,     // a record was damaged or cut short; every record before it was written
    BAM_MATING_WRITE_FAILED = -3,  // the output could not be written
};

// Rewrites the mate fields of two adjacent records with the same name.
void bam_mating_pair(bam1_t* pre, bam1_t* cur);
// Clears the mate fields of a record whose mate is not next to it.
void bam_mating_lone(bam1_t* b);

// Copies the header of `in` to `out`, then every record with its mate fields
// fixed.  Returns one of the codes above; `n_records`, when given, receives
// the number of records read whole.  `out` is left open for the caller, who
// closes it (and must check that close as well).
int bam_mating_core(BGZF* in, BGZF* out, long long* n_records = nullptr);
