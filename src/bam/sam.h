// One handle for reading or writing alignments as SAM text or BAM: the mode
// string picks the encoding, the open call reads or writes the header, and
// records then go one at a time.
#pragma once

#include <cstdio>

#include "bam/bam.h"
#include "bam/bam_import.h"
#include "containers/kstring.h"
#include "io/bgzf.h"
#include "io/text_out.h"

enum {
    TYPE_BAM = 1,
    TYPE_READ = 2,
    TYPE_SAM_HEX_FLAG = 4,
    TYPE_SAM_STR_FLAG = 8,
};

struct samfile_t {
    int type;
    union {
        tamFile tamr;
        BGZF* bam;
        text_out_t* tamw;  // SAM output
    } x;
    bam_header_t* header;
    kstring_t line;  // SAM output line, reused for every record
};

// mode: "r" SAM, "rb" BAM; "w" SAM ("x" hex flags, "X" letter flags, "h"
// with header), "wb" BAM (a digit sets the level, "u" level 0).  For reading
// SAM, aux names a reference list; for writing, aux is the header to copy.
samfile_t* samopen(const char* fn, const char* mode, const void* aux);
// -1 when writing failed at any point (the output is incomplete), else 0.
int samclose(samfile_t* fp);
// The next record: >= 0, -1 at the end, below -1 for a damaged or cut input
// (a BAM record must name references of its header; see bam_read1_bounded).
int samread(samfile_t* fp, bam1_t* b);
int samwrite(samfile_t* fp, const bam1_t* b);
// Name of the FASTA file's index, built when missing; null on failure.
char* samfaipath(const char* fn_ref);
bam_header_t* bam_header_dup(const bam_header_t* h0);

struct samfile_closer {
    void operator()(samfile_t* fp) const { samclose(fp); }
};
using samfile_ptr = std::unique_ptr<samfile_t, samfile_closer>;
