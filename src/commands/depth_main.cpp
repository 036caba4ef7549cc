// depth: per-position read depth of BAM files.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "commands/commands.h"
#include "commands/threads_option.h"
#include "tools/bam2depth.h"

int main_depth(int argc, char* argv[]) {
    depth_opts_t opts;
    command_threads threads;
    int c;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "r:b:q:Q:@:")) >= 0) {
        switch (c) {
        case 'r': opts.region = optarg; break;
        case 'b': opts.bed_fn = optarg; break;
        case 'q': opts.min_baseQ = std::atoi(optarg); break;
        case 'Q': opts.min_mapQ = std::atoi(optarg); break;
        case '@':
            if (!threads.parse("main_depth", optarg)) return 1;
            break;
        default: break;
        }
    }
    if (optind == argc) {
        std::fprintf(stderr, "Usage: bam2depth [-r reg] [-q baseQthres] [-Q mapQthres] [-b in.bed] <in1.bam> [...]\n");
        return 1;
    }
    opts.pool = threads.get();
    return bam2depth(opts, argc - optind, argv + optind);
}
