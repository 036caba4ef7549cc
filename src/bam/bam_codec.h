// The BAM binary form of headers and records over a BGZF stream (integers
// little-endian on disk, whatever the host order).
#pragma once

#include "bam/bam.h"
#include "io/bgzf.h"

// Header: null when the magic is missing or the header is cut short.
bam_header_t* bam_header_read(BGZF* fp);
// Writes the header and flushes, so that the first record starts a block.
int bam_header_write(BGZF* fp, const bam_header_t* header);
// 4 + block_size on success; -1 at a clean end; -2 size field incomplete;
// -3 core incomplete; -4 data incomplete or inconsistent with the core, or a
// record no writer can have meant: a reference index (tid, mtid) below -1 or
// a CIGAR operation code above 8.
int bam_read1(BGZF* fp, bam1_t* b);
// bam_read1 for a stream whose header lists `n_targets` references: a record
// whose tid or mtid is not below that count is damaged too (-4).
int bam_read1_bounded(BGZF* fp, bam1_t* b, int32_t n_targets);
int bam_write1(BGZF* fp, const bam1_t* b);
int bam_write1_core(BGZF* fp, const bam1_core_t* c, int data_len, uint8_t* data);
// True when tid and mtid are each -1 (none) or the index of one of
// `n_targets` references; pass INT32_MAX when the count is unknown.
inline bool bam_refs_valid(const bam1_core_t* c, int32_t n_targets) {
    // Raised by one as unsigned: -1 becomes 0, anything below it wraps above every count.
    const uint32_t bound = static_cast<uint32_t>(n_targets);
    return static_cast<uint32_t>(c->tid) + 1U <= bound && static_cast<uint32_t>(c->mtid) + 1U <= bound;
}
// 1 when the record is plausible against the header (may be null).
int bam_validate1(const bam_header_t* header, const bam1_t* b);
// The line a command adds after its own truncation message, so that the user
// learns which file is damaged and how many records before the damage were
// read whole: "[command] file: damaged or truncated record after N records".
// With the stream `fp`, a block-level error is added with its file offset.
void bam_report_damage(const char* command, const char* fn, long long n_records, const BGZF* fp = nullptr);
// Converts a data block between host and little-endian order (big-endian hosts).
void bam_swap_data(const bam1_core_t* c, int data_len, uint8_t* data, bool is_host);
