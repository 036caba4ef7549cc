// index: builds the .bai index of a coordinate-sorted BAM file.
#include "commands/commands.h"

#include <cstdio>

#include "index/bam_index.h"

int bam_index(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: alnkit index <in.bam> [out.index]\n");
        return 1;
    }
    // A failed build has printed its message; it must not pass for success.
    int ret = argc >= 3 ? bam_index_build2(argv[1], argv[2]) : bam_index_build(argv[1]);
    return ret < 0 ? 1 : 0;
}
