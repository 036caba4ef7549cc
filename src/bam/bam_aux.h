// Optional fields of a record (find, append, delete, keep one, typed reads),
// the library of a record through its read group, and region strings.
//
// Field walks are bounded by the record's data block: a damaged area ends the
// walk instead of reading past the block.
#pragma once

#include <cstdint>
#include <string>

#include "bam/bam.h"

// Pointer to the type character of the first field with `tag`, or null.
uint8_t* bam_aux_get(const bam1_t* b, const char tag[2]);
// Appends tag, type and `len` value bytes; returns 0, or -1 when memory runs out.
int bam_aux_append(bam1_t* b, const char tag[2], char type, int len, const uint8_t* data);
int bam_aux_del(bam1_t* b, uint8_t* s);
int bam_aux_drop_other(bam1_t* b, uint8_t* s);

int32_t bam_aux2i(const uint8_t* s);
char* bam_aux2Z(const uint8_t* s);
float bam_aux2f(const uint8_t* s);
double bam_aux2d(const uint8_t* s);
char bam_aux2A(const uint8_t* s);

// Library (LB) of the record's read group, or null.
const char* bam_get_library(bam_header_t* h, const bam1_t* b);

inline constexpr int bam_region_max = 1 << 29;  // end of a region without one

// Resolves "name[:beg[-end]]" to a reference index and a 0-based half-open
// interval; 0 on success, -1 for an unknown name or a reversed interval.
int bam_parse_region(bam_header_t* h, const char* str, int* ref_id, int* beg, int* end);
