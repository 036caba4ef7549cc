// reheader: writes a BAM file with its header replaced by another one,
// without decoding records.  Only the rest of the block that ends the old
// header is recompressed; all later blocks, the input's end-of-file block
// included, are copied byte for byte and the output stream adds one more, so
// the output ends with two empty blocks.  The raw copy follows the block
// structure as cat does, so a cut or non-BGZF input is reported.
#pragma once

#include "bam/bam.h"
#include "io/bgzf.h"

// Codes of bam_reheader.
enum {
    BAM_REHEADER_NOT_READABLE = -1,  // the stream is not open for reading
    BAM_REHEADER_BAD_INPUT = -2,     // unreadable header, cut inside a block, not BGZF
    BAM_REHEADER_WRITE_FAILED = -3,  // the output could not be opened or written
};

// Writes the records of `in` under header `h` to descriptor `fd`.  0 or one
// of the codes above.  The new header's references are not checked against
// the records.
int bam_reheader(BGZF* in, const bam_header_t* h, int fd);
