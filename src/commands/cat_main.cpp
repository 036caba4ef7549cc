// cat: concatenates BAM files block by block, optionally under a new header.
#include "commands/commands.h"

#include <unistd.h>

#include <cstdio>

#include "bam/bam_import.h"
#include "sort/bam_cat.h"

namespace {

int cat_usage() {
    std::fprintf(stderr, "Usage: alnkit cat [-h header.sam] [-o out.bam] <in1.bam> <in2.bam> [...]\n");
    return 1;
}

}  // namespace

int main_cat(int argc, char* argv[]) {
    bam_header_ptr h;
    const char* outfn = "-";
    int c;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "h:o:")) >= 0) {
        switch (c) {
        case 'h': {
            tamFile fh = sam_open(optarg);
            if (fh) {
                h.reset(sam_header_read(fh));
                sam_close(fh);
            }
            if (!h) {
                std::fprintf(stderr, "[%s] ERROR: fail to read the header from '%s'.\n", "main_cat", optarg);
                return 1;
            }
            break;
        }
        case 'o': outfn = optarg; break;
        default: break;
        }
    }
    if (argc - optind < 2) return cat_usage();
    return bam_cat(argc - optind, argv + optind, h.get(), outfn);
}
