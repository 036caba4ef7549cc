// index: builds the .bai index of a coordinate-sorted BAM file.
#include "commands/commands.h"

#include <unistd.h>

#include <cstdio>

#include "commands/threads_option.h"
#include "index/bam_index.h"

int bam_index(int argc, char* argv[]) {
    command_threads threads;
    int c;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "@:")) >= 0)
        if (c != '@' || !threads.parse("bam_index", optarg)) return 1;
    if (argc - optind < 1) {
        std::fprintf(stderr, "Usage: alnkit index <in.bam> [out.index]\n");
        return 1;
    }
    // A failed build has printed its message; it must not pass for success.
    const char* fn_idx = argc - optind >= 2 ? argv[optind + 1] : nullptr;
    int ret = bam_index_build2(argv[optind], fn_idx, threads.get());
    return ret < 0 ? 1 : 0;
}
