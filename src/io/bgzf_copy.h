// Block-level copy of the rest of a BGZF stream, for the commands that join
// files without decoding them (cat for BAM, bcfcat for BCF).
//
// After the caller has read an input's header, the rest of the block that
// ends the header is recompressed into blocks of the output's own; every
// later block is copied byte for byte.  The copy still follows the block
// structure: each block's 18-byte gzip header is checked and its size used
// to skip to the next one, so a cut inside a block, or bytes that are not
// BGZF at all, fail instead of ending up in the output.  The input's
// trailing end-of-file block is held back and dropped, so that the joined
// output ends with exactly one (written when the output is closed).
#pragma once

#include "io/bgzf.h"

// Size of the raw copy buffer.
inline constexpr int BGZF_COPY_BUFFER_SIZE = 65536;
// Size of the empty block that ends a BGZF file.
inline constexpr int BGZF_EOF_BLOCK_SIZE = 28;

enum class bgzf_copy_status { ok, write_failed, read_failed, truncated, not_bgzf };

// Copies what is left of `in` after its current read position to `out`, as
// above.  *had_eof is false when the input did not end with an end-of-file
// block (then its last bytes are copied too, and the caller decides whether
// that is worth a word); it is set only with bgzf_copy_status::ok.
bgzf_copy_status bgzf_copy_rest(BGZF* in, BGZF* out, bool* had_eof);

// Whether `out` names the same file as one of the `n` inputs (by device and
// inode; "-" never does).  Opening it for writing would empty that input
// before it is read.
bool bgzf_output_is_an_input(const char* out, int n, char* const* fn);
