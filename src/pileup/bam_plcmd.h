// mpileup: a multi-way pileup over coordinate-sorted BAM files, written per
// column either as text pileup or as genotype likelihoods in BCF.
//
// Each input file gets a reader that filters its records (mapping quality,
// anomalous pairs, read groups, position lists) and applies BAQ and
// mapping-quality capping against the record's own reference: the one the
// column loop holds, or, for a record the pileup reads ahead onto the next
// reference, a read-ahead slot that the column loop takes over when it gets
// there.  At most two sequences are held at once, shared by all files, so a
// read's qualities do not depend on how far the pileup has buffered.  Text lines
// are built in a reused buffer and written in large pieces; the BCF path
// reuses one record, one call and the per-sample lists for every column.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bam/bam.h"
#include "call/bcf.h"
#include "index/bam_index.h"
#include "io/bgzf.h"
#include "io/faidx.h"
#include "pileup/bam_pileup.h"

// Bits of mplp_conf_t::flag.
enum : int {
    MPLP_GLF = 0x10,           // BCF genotype likelihoods instead of text
    MPLP_NO_COMP = 0x20,       // uncompressed BCF
    MPLP_NO_ORPHAN = 0x40,     // skip paired reads that are not properly paired
    MPLP_REALN = 0x80,         // BAQ
    MPLP_FMT_DP = 0x100,       // per-sample DP in BCF
    MPLP_FMT_SP = 0x200,       // per-sample SP in BCF
    MPLP_NO_INDEL = 0x400,     // no indel calling
    MPLP_EXT_BAQ = 0x800,      // extended BAQ
    MPLP_ILLUMINA13 = 0x1000,  // qualities in the Illumina-1.3+ encoding
    MPLP_IGNORE_RG = 0x2000,   // one sample per input file
    MPLP_PRINT_POS = 0x4000,   // text: read positions column
    MPLP_PRINT_MAPQ = 0x8000,  // text: mapping qualities column
};

inline constexpr int mplp_default_flag = MPLP_NO_ORPHAN | MPLP_REALN;

class thread_pool;

// The options.  The pointers are borrowed: the caller owns the index, the
// position list and the exclusion map.
struct mplp_conf_t {
    int max_mq = 60;  // -M: stored, read by nothing (the callers cap at 60)
    int min_mq = 0;
    int flag = mplp_default_flag;
    int min_baseQ = 13;
    int capQ_thres = 0;  // mapping-quality capping, applied above 10 with a reference
    int max_depth = 250;
    int max_indel_depth = 250;
    int openQ = 40, extQ = 20, tandemQ = 100;
    int min_support = 1;
    double min_frac = 0.002;
    const char* reg = nullptr;      // -r
    const char* pl_list = nullptr;  // -P
    faidx_t* fai = nullptr;         // -f
    void* bed = nullptr;            // -l
    kh_str2id_t* rghash = nullptr;  // -G: read-group IDs to leave out
    thread_pool* pool = nullptr;    // -@: workers that inflate and deflate blocks
};

// The reference sequence currently loaded, shared by every file's reader.
struct mplp_ref_t {
    int tid = -1;         // -1: none
    char* seq = nullptr;  // malloc'd, NUL-terminated
    int len = 0;
};

// One input file as its reader sees it.
struct mplp_aux_t {
    BGZF* fp = nullptr;
    bam_iter_t iter = nullptr;        // region iterator, or null for the whole file
    const bam_header_t* h = nullptr;  // the first file's header, for names
    int32_t n_targets = 0;
    const mplp_ref_t* ref = nullptr;
    mplp_ref_t* ahead = nullptr;  // the read-ahead slot, shared by all files
    const mplp_conf_t* conf = nullptr;
    const char* fn = nullptr;
    // What ended the file: the last read's result (-1 at a clean end, -2 or
    // below for damage) or a record out of coordinate order.
    long long n_read = 0;
    int status = 0;
    bool is_unsorted = false;
    int32_t last_tid = -1, last_pos = -1;
    bool past_placed = false;  // records without a reference have been seen
};

// The pileup's reader: the next record that passes the filters, with BAQ and
// capping applied; negative at the end of the file, on damage or when the
// order breaks (see mplp_aux_t).
int mplp_func(void* data, bam1_t* b);

// Runs mpileup over `n` files and writes to standard output.  Prints the
// command's messages; returns the exit status (1 after a one-line message
// for an unopenable, damaged or unsorted input, mismatching reference
// dictionaries, a missing index, a bad region, a read without a sample or a
// failed write).  Output written before a failure stays.
int mpileup(const mplp_conf_t* conf, int n, char** fn);

// Text pileup of one file's entries at a column, for the line builder and
// its tests.  mplp_text_bound gives an upper bound of the bytes that
// mplp_put_entries writes for the same entries; mplp_put_entries writes the
// entry count and the columns after it ("\t3\t^?..,\tIII" and, with the
// flags, mapping qualities and read positions), and returns the end.  `ref`
// (null: none) is the whole sequence of `ref_len` bases.
size_t mplp_text_bound(int n, const bam_pileup1_t* plp);
char* mplp_put_entries(char* p, int n, const bam_pileup1_t* plp, int pos, const char* ref, int ref_len, int flag);

// The per-file depth cap for `n_samples` (> 0) samples: a total below 8000
// is raised to 8000 spread over the samples.  Products are taken in 64 bits.
int mplp_depth_cap(int max_depth, int n_samples);
