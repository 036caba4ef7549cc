// The SAM text line of a record.
#pragma once

#include "bam/bam.h"
#include "containers/kstring.h"

// SAM text of a record.  Output form 0 writes the flag in decimal, 1 in
// hexadecimal, anything else as letters.  bam_format1_core returns a malloc'd
// line without newline; bam_format1_append appends the same line to `str`.
// Both fail (null, -1) when the optional fields cannot be read to their end.
char* bam_format1_core(const bam_header_t* h, const bam1_t* b, int of);
int bam_format1_append(kstring_t* str, const bam_header_t* h, const bam1_t* b, int of);
