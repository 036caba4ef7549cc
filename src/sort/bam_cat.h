// cat: concatenates BAM files that share one reference list, without
// decoding records.  After the header only the rest of the block that ends
// the header is recompressed; every later block is copied byte for byte, so
// the command runs at file-copy speed.
//
// The block copy is shared with bcfcat; see io/bgzf_copy.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bam/bam.h"
#include "io/bgzf.h"

// Size of the raw copy buffer.
inline constexpr int BAM_CAT_BUFFER_SIZE = 65536;
// Size of the empty block that ends a BGZF file.
inline constexpr int BAM_CAT_EOF_SIZE = 28;

// Concatenates `nfn` BAM files to `outbam` ("-" for standard output, as for
// inputs).  The header is `h` when given, else the first input's.  Returns 0,
// 1 when the output cannot be opened or written, -1 when an input cannot be
// opened, is too short, cut inside a block or not BGZF.
int bam_cat(int nfn, char* const* fn, const bam_header_t* h, const char* outbam);
