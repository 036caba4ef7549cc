// bcfcat: joins BCF files whose headers are byte for byte the same (such as
// the per-region shards of one mpileup -g run) into one BCF file: the header
// once, then every file's records in the order given.
//
// All headers are read and compared before any output is opened, so a
// mismatch leaves nothing behind.  The records are not decoded: after each
// header the rest of its block is recompressed and every later block copied
// raw (io/bgzf_copy.h), which, for files whose header ends a block (as
// mpileup writes them), is a plain block copy.  Each input's end-of-file
// block is dropped and the output ends with exactly one.
#pragma once

// Joins the `n` files `fn` (paths; inputs are read twice, so not "-") into
// `out_fn` ("-" for standard output).  Returns 0, or 1 after a one-line
// message for an input that cannot be opened, is not BCF, is cut short or
// damaged, lacks its end-of-file block or has a header unlike the first
// file's, for an output that is one of the inputs, and for a failed write.
// An output file that could not be completed is removed.
int bcf_cat(int n, char* const* fn, const char* out_fn);
