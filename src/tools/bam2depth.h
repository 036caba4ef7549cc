// Per-position read depth of one or more coordinate-sorted BAM files, run
// over all files in lock-step.
#pragma once

class thread_pool;

struct depth_opts_t {
    const char* region = nullptr;  // reference region read through the index
    const char* bed_fn = nullptr;  // only positions inside these intervals are printed
    int min_baseQ = 0;             // bases below this quality are not counted
    int min_mapQ = 0;              // reads below this mapping quality are left out
    thread_pool* pool = nullptr;   // workers that inflate blocks ahead, or none
};

// Prints "name\tpos\tdepth..." lines for `n` files to standard output.
// Returns 0, or 1 after a one-line message (unopenable file or index, unknown
// region, damaged or unsorted input, failed write); output already written
// stays.
int bam2depth(const depth_opts_t& opts, int n, char* const* fns);
