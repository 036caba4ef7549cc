// Site likelihoods from pileup columns: per-sample genotype likelihoods and
// read statistics (bcf_call_glfgen), the combination of all samples into one
// site call with its alleles and phred-scaled likelihoods
// (bcf_call_combine), and the BCF record of that call (bcf_call2bcf).
//
// The same three steps serve SNPs (alleles are the bases A, C, G, T) and
// indels (alleles are the candidate indel types that the indel preparation
// stores in the pileup entries' `aux` fields and in bcf_callaux_t); a
// negative reference base selects indel calling.
//
// Buffers held by the structures below (`bases`, `inscns`, `var_pos`, `PL`)
// are malloc'd and only grow, so one set serves every column of a run.  The
// read statistics are plain ints, as the BCF text prints them: the sum of
// squared base qualities leaves the int range after 2^31 / q^2 reads (about
// 250 000 reads of quality 93 in one column, summed over the samples in
// bcf_call_t); beyond that the sums wrap modulo 2^32 instead of saturating.
#pragma once

#include <cstdint>

#include "pileup/bam_pileup.h"

struct errmod_t;
struct bcf1_t;

// Calling parameters and scratch space shared by all samples and positions.
struct bcf_callaux_t {
    int capQ;       // cap on mapping quality (60)
    int min_baseQ;  // bases of lower quality are ignored
    // Indel error model: gap open, gap extension, tandem repeat (40, 20, 100).
    int openQ, extQ, tandemQ;
    int min_support;     // reads needed to support an indel candidate (1)
    double min_frac;     // fraction of gapped reads needed for an indel candidate (0.002)
    int max_bases;       // capacity of `bases`
    int indel_types[4];  // indel lengths of the reported alleles; unused slots 10000
    int maxins;          // longest insertion among the candidates
    int indelreg;        // reference bases after the site spanned by the indel alleles
    uint8_t* inscns;     // consensus inserted bases (codes 0-4), `maxins` per type
    uint16_t* bases;     // packed observed bases: quality << 5 | reverse << 4 | allele
    errmod_t* e;         // the error model
    void* rghash;        // read groups allowed to nominate indel candidates; owned by the caller
    // Variant positions of one column (bcf_call_glfgen), per structure so
    // that separate callers never share it.
    int* var_pos;
    int max_var_pos;  // capacity of `var_pos`
};

// One sample's result at one position.
struct bcf_callret1_t {
    int depth;      // bases passed to the error model
    int ori_depth;  // reads considered before the base-quality filter
    int qsum[4];    // per allele, sum of the effective qualities of the bases used
    // Read statistics, reference-like (R) then other (A) reads:
    //  0,1 R forward/reverse   2,3 A forward/reverse
    //  4,5 R base quality sum, sum of squares    6,7 the same for A
    //  8,9 R mapping quality sum, sum of squares  10,11 the same for A
    //  12,13 R tail distance sum, sum of squares  14,15 the same for A
    int anno[16];
    float p[25];  // 5 x 5 genotype likelihoods from errmod_cal
    int mvd[3];   // variant reads: mean pairwise distance, count, mean read length
};

// The combined site call.
struct bcf_call_t {
    int a[5];       // allele codes, a[0] the reference; unused slots -1
    int n;          // samples for which PL is allocated
    int n_alleles;  // alleles in `a`
    int shift;      // sum over samples of the minimum likelihood, rounded
    int ori_ref;    // reference allele 0-4 (A, C, G, T, other), -1 at an indel site
    int unseen;     // index in `a` of the placeholder for any unobserved base, or -1
    int anno[16];   // sum of the samples' anno
    int depth, ori_depth;
    // Per sample n_alleles(n_alleles+1)/2 phred-scaled likelihoods, samples
    // one after another; capacity 15 bytes per sample.
    uint8_t* PL;
    float vdb;  // variant distance bias
};

// Parameters with their defaults and an error model with dependency
// 1 - theta (theta > 0 or NaN) or the default 1 - 0.83.  Null when memory
// runs out.
bcf_callaux_t* bcf_call_init(double theta, int min_baseQ);
// Frees the error model, the buffers and the structure; null is ignored.
// `rghash` is left to its owner.
void bcf_call_destroy(bcf_callaux_t* bca);

// Fills `r` from the `_n` pileup entries of one sample.  `ref_base` is the
// reference base in the 4-bit code, or negative for indel calling (the
// entries' `aux` fields then hold the indel alleles and qualities).  Returns
// r->depth, or -1 when `_n` is 0 or memory runs out.
int bcf_call_glfgen(int _n, const bam_pileup1_t* pl, int ref_base, bcf_callaux_t* bca, bcf_callret1_t* r);

// Combines the `n` samples' results into `call`.  0; -1 at an indel site
// with no alternative allele, or when memory runs out.
int bcf_call_combine(int n, const bcf_callret1_t* calls, int ref_base, bcf_call_t* call);

// Writes the call into `b` (tid, pos, string block, FORMAT blocks for
// bc->n samples).  With `bcr` (bc->n results) the per-sample DP is added,
// with `is_SP` as well the strand-bias SP.  `bca` and `ref` (the whole
// reference sequence, NUL-terminated) are read only at indel sites.  0, or
// -1 when the record cannot be synchronised (memory).
int bcf_call2bcf(int tid, int pos, const bcf_call_t* bc, bcf1_t* b, const bcf_callret1_t* bcr, int is_SP,
                 const bcf_callaux_t* bca, const char* ref);
