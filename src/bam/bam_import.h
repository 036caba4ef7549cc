// SAM text input (plain or gzip, file or standard input) into headers and
// records, and reference lists (name and length per line) into headers.
//
// Malformed record text is fatal: sam_read1 prints "Parse error at line N:
// ..." and ends the process.  sam_read1_checked is the same parser returning
// a code instead, for callers that must survive bad input (fuzzing, tests).
#pragma once

#include <zlib.h>

#include <cstdint>

#include "bam/bam.h"
#include "containers/kseq.h"
#include "containers/kstring.h"

struct tamFile_t {
    gzFile fp;
    kstream_t* ks;
    kstring_t str;     // the current token
    uint64_t n_lines;  // lines consumed so far, for messages
    int is_first;      // str holds the first field of the first record
    const char* err;   // message of the last parse error
};
using tamFile = tamFile_t*;

// Codes of sam_read1_checked beyond those of sam_read1.
enum {
    SAM_PARSE_ERROR = -100,     // malformed content; fp->err says what
    SAM_MISSING_HEADER = -101,  // a reference name but no reference list
};

tamFile sam_open(const char* fn);
void sam_close(tamFile fp);
bam_header_t* sam_header_read(tamFile fp);
// Bytes of the record's line (>= 0); -1 at the end of input; -2..-6 when the
// input ends inside a record.  Malformed content ends the process.
int sam_read1(tamFile fp, bam_header_t* header, bam1_t* b);
int sam_read1_checked(tamFile fp, bam_header_t* header, bam1_t* b);
bam_header_t* sam_header_read2(const char* fn);
int sam_header_parse(bam_header_t* h);
