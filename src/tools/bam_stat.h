// flagstat: counts the records of a BAM stream by their flags, each counter
// kept for QC-passed (index 0) and QC-failed (index 1, flag 0x200) records.
//
// Only the flag, the reference indexes and the mapping quality are needed, so
// records are not decoded: the reader takes each record's length and 32-byte
// core straight from the inflated block and steps over the rest without
// copying or checking it.  A length below the core's size, or a record that
// runs past the end of the data, ends the count as a truncation.
#pragma once

#include <cstdint>

#include "io/bgzf.h"
#include "io/text_out.h"

struct bam_flagstat_t {
    long long n_reads[2], n_mapped[2], n_pair_all[2], n_pair_map[2], n_pair_good[2], n_sgltn[2], n_read1[2], n_read2[2], n_dup[2],
        n_diffchr[2], n_diffhigh[2];
};
static_assert(sizeof(long long) == 8);

// The core fields a count looks at.
struct bam_flagstat_rec_t {
    int32_t tid, mtid;
    uint16_t flag;
    uint8_t qual;
};

// Adds one record to the counters.
void bam_flagstat_count(bam_flagstat_t* s, const bam_flagstat_rec_t* r);

// Counts every record of `fp`, positioned after the header, into `s` (which
// the caller zeroes).  Returns the status that ended the reading, as
// bam_read1 gives it: -1 at a clean end of the data; -2 length field cut
// short (or a block that cannot be read: the stream's error says why), -3
// core cut short, -4 a length below the core's size or data cut short.  On
// any status but -1 the truncation warning is printed; the counts of the
// records read whole are kept.
int bam_flagstat_core(BGZF* fp, bam_flagstat_t* s);

// Prints the eleven report lines.  0, or -1 when writing failed.
int bam_flagstat_print(text_out_t* out, const bam_flagstat_t* s);
