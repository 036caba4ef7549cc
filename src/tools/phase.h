// phase: phases the heterozygous sites of one diploid sample from a
// coordinate-sorted BAM file.
//
// Sites are called heterozygous from the genotype likelihoods of each pileup
// column; every fragment (the reads sharing a name) records which allele it
// shows at each site.  A site that no current fragment reaches starts a new
// block.  Each block is phased by dynamic programming over windows of k
// consecutive sites, poorly supported stretches are flagged, and fragments
// that switch haplotype part-way can be repaired.  The report goes to
// standard output; with an output prefix the reads are also split into one
// BAM file per haplotype plus one for chimeric reads.
//
// The per-site window counters of a block are built one site at a time as
// the dynamic programming reaches it, and back pointers are kept as bits, so
// a block costs 2^(k-1) bits per site.  Results depend on the process-wide
// random stream of the error model (errmod_drand48), which the split into
// files draws from once per block even when no files are written.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "containers/khash.h"

class thread_pool;

struct phase_opts_t {
    int k = 13;                    // sites in one window of the dynamic programming
    const char* prefix = nullptr;  // prefix of the three BAM outputs, or none
    int min_varLOD = 37;           // minimum heterozygote LOD of a called site
    int min_baseQ = 13;            // minimum base quality in site calling
    int max_depth = 256;           // deeper columns are skipped
    bool fix_chimeras = true;
    bool listed_only = false;  // only positions of the list become sites
    bool ambig_to_chimera = false;
    const char* fn_list = nullptr;  // list of positions to use as sites
    thread_pool* pool = nullptr;    // workers that inflate and deflate blocks, or none
};

inline constexpr int phase_min_k = 1, phase_max_k = 20;
// A fragment keeps the alleles of at most this many sites from its first one.
inline constexpr int phase_max_vlen = 255;

// One fragment: the reads sharing a name within the current block.
struct frag_t {
    int8_t seq[256];  // allele at each site from vpos on: 0 unknown, 1 first, 2 second
    int vpos;         // index of its first site within the block
    int beg, end;     // start of its first read, end of its latest read (0-based)
    uint16_t vlen;    // sites covered
    uint8_t single : 1, flip : 1, phase : 1, phased : 1, ambig : 1;
    uint16_t in, out;  // sites consistent and inconsistent with its phase
};
using phase_frag_table_t = khash_t<uint64_t, frag_t, kh_int64_traits>;

// The fragment key of a read name: h = h * 31 + c over its characters, in 64 bits.
uint64_t phase_name_hash(const char* s);

// A site value (the lower 32 bits of a site entry) from the 4 x 4 genotype
// likelihoods: for a heterozygous best genotype {i, j}, i < j, the first
// allele field (bits 0-15) is j with the LOD as score and the second (bits
// 16-31) is i with score 1; 0 for a homozygous best genotype.
uint32_t phase_gl2cns(const float* q);
inline int phase_site_lod(uint32_t v) { return static_cast<int>(v >> 2 & 0x3fff); }

// The haplotype path of a block of `vpos` sites: path[i] = 0 when haplotype
// 0 carries the first allele at site i.  Uses the non-single fragments of
// the block (those with vpos below the block's).
std::vector<int8_t> phase_dynaprog(int k, int vpos, phase_frag_table_t* frags);

// Assigns every fragment of the block to a haplotype along `path` (phase,
// in, out, phased, ambig, flip) and, with `repair`, flips the alleles of one
// side of a chimeric fragment.  Returns per-site counts of the non-single
// fragments, four saturating 16-bit fields: phase-0 consistent,
// phase-0 inconsistent, phase-1 consistent, phase-1 inconsistent.
std::vector<uint64_t> phase_fragphase(int vpos, const int8_t* path, phase_frag_table_t* frags, bool repair);

// The filtered regions of a block (first and last site, inclusive) from the
// per-site counts.
std::vector<std::pair<int, int>> phase_genmask(int vpos, const uint64_t* pcnt);

// Runs the command on `fn` ("-" for standard input).  Returns 0, or 1 after a
// one-line message when an input or output cannot be opened, the input is
// damaged or unsorted, or a write fails (what was written before stays).
int phase_bam(const phase_opts_t& opts, const char* fn);
