// The sample registry: which samples the input files hold and which sample
// each read belongs to.
//
// Reads are grouped through the @RG lines of each file's header: a read with
// read group ID from file `fn` is looked up under the key "fn/ID"; a file's
// default sample (for reads without RG, or a file without usable read
// groups) is looked up under the bare file name.  Samples with the same name
// in different files share one id; ids follow the order of first appearance.
// The registry only reads the header text it is given.
#pragma once

#include "containers/khash.h"
#include "containers/kstring.h"

struct bam_sample_t {
    int n, m;               // number of samples and capacity of `smpl`
    char** smpl;            // owned sample names; the index is the sample id
    kh_str2int_t* rg2smid;  // lookup key (owned copy) -> sample id
    kh_str2int_t* sm2id;    // sample name (the string in `smpl`) -> sample id
};

// An empty registry, or null when memory runs out.
bam_sample_t* bam_smpl_init();
// Registers the read groups and samples of the file `fn` whose header text is
// `txt`; null `txt` (read groups ignored) makes the file one sample named
// `fn`.  Only @RG lines carrying both ID and SM count.  0, or -1 when memory
// runs out (what was registered before stays valid).
int bam_smpl_add(bam_sample_t* sm, const char* fn, const char* txt);
// The sample id of a read from file `fn` with read group `rg` (null: the
// file's default sample); -1 when the key is unknown.  `str` is scratch space
// for building the key.
int bam_smpl_rg2smid(const bam_sample_t* sm, const char* fn, const char* rg, kstring_t* str);
// Frees the names, the keys, both maps and the registry; null is ignored.
void bam_smpl_destroy(bam_sample_t* sm);
