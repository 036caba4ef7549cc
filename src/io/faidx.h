// FASTA index: building, saving and loading ".fai" files, and extracting
// intervals.
//
// The FASTA is read through a RAZF stream, so plain, gzip and RAZF files are
// indexed alike; extraction seeks once and reads only the wanted lines.  A
// gzip FASTA only seeks forward: fetches must come in file order.  Index
// lines are validated on load, so positioning never divides by a zero line
// width.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "containers/khash.h"
#include "io/razf.h"

struct faidx1_t {
    int32_t line_len;   // bytes per line including the terminator
    int32_t line_blen;  // bases per line
    int64_t len;        // bases in the sequence
    uint64_t offset;    // uncompressed offset of the first base
};

// Sequence name -> its index entry; keys borrow the strings of faidx_t::name.
using kh_str2fai_t = khash_t<const char*, faidx1_t, kh_str_traits>;

struct faidx_t {
    RAZF* rz;
    int n, m;
    char** name;  // owned, in file order (a repeated name is listed twice)
    kh_str2fai_t* hash;
};

// Builds `fn`.fai; 0 on success, -1 when the FASTA cannot be read or
// indexed, -2 when the index file cannot be created or written.  No index
// file is left after a failure.
int fai_build(const char* fn);
faidx_t* fai_build_core(RAZF* rz);
void fai_save(const faidx_t* fai, FILE* fp);
// Null (with a message) when a line lacks its numbers or they cannot
// describe a sequence.
faidx_t* fai_read(FILE* fp);
// Loads `fn`.fai (building it for a local file when missing; downloading it
// to the working directory for an ftp:// or http:// FASTA) and opens the FASTA.
faidx_t* fai_load(const char* fn);
void fai_destroy(faidx_t* fai);

// Bases of a region string "name[:beg[-end]]" (1-based, inclusive), newly
// allocated (free with std::free) and NUL-terminated; *len gets their count.
// Null with *len 0 for an unknown name (or a backward seek on gzip, after a
// message).  Null with *len -1 when the FASTA data ends or cannot be read
// before the last base the index promises: the file was cut, damaged or
// changed after indexing; the caller reports it.
char* fai_fetch(faidx_t* fai, const char* str, int* len);
// Bases of the 0-based closed interval [p_beg_i, p_end_i], clipped to the
// sequence; null for an unknown name, and as fai_fetch on a failed read.
char* faidx_fetch_seq(faidx_t* fai, const char* c_name, int p_beg_i, int p_end_i, int* len);
int faidx_fetch_nseq(const faidx_t* fai);
// False for a FASTA in ordinary gzip, which can only be read forwards: its
// sequences must be fetched in file order.
bool faidx_seeks_back(const faidx_t* fai);
// The name of the sequence a region string names and its indexed length,
// for messages; false for an unknown name.
bool fai_region_seq(const faidx_t* fai, const char* str, std::string* name, int64_t* len);

// Copy of `url` saved under its last path component in the working
// directory (an existing file of that name is used as is), opened for reading.
FILE* download_and_open(const char* url);

struct fai_deleter {
    void operator()(faidx_t* fai) const { fai_destroy(fai); }
};
using fai_ptr = std::unique_ptr<faidx_t, fai_deleter>;
