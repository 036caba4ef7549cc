// merge: parses the options of a merge of sorted files, refuses to overwrite
// an existing output without -f, and runs the merge.
#include "commands/commands.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "commands/threads_option.h"
#include "sort/bam_sort.h"

int bam_merge(int argc, char* argv[]) {
    int c, is_by_qname = 0, flag = 0;
    const char* fn_headers = nullptr;
    const char* reg = nullptr;
    command_threads threads;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "h:nru1R:f@:")) >= 0) {
        switch (c) {
        case 'r': flag |= MERGE_RG; break;
        case 'f': flag |= MERGE_FORCE; break;
        case 'h': fn_headers = optarg; break;
        case 'n': is_by_qname = 1; break;
        case '1': flag |= MERGE_LEVEL1; break;
        case 'u': flag |= MERGE_UNCOMP; break;
        case 'R': reg = optarg; break;
        case '@':
            if (!threads.parse("bam_merge", optarg)) return 1;
            break;
        default: break;
        }
    }
    if (optind + 2 >= argc) {
        std::fprintf(stderr,
                     "\n"
                     "Usage:   alnkit merge [-nr] [-h inh.sam] <out.bam> <in1.bam> <in2.bam> [...]\n\n"
                     "Options: -n       sort by read names\n"
                     "         -r       attach RG tag (inferred from file names)\n"
                     "         -u       uncompressed BAM output\n"
                     "         -f       overwrite the output BAM if exist\n"
                     "         -1       compress level 1\n"
                     "         -R STR   merge file in the specified region STR [all]\n"
                     "         -h FILE  copy the header in FILE to <out.bam> [in1.bam]\n\n"
                     "Note: Alnkit' merge does not reconstruct the @RG dictionary in the header. Users\n"
                     "      must provide the correct header with -h, or uses Picard which properly maintains\n"
                     "      the header dictionary in merging.\n\n");
        return 1;
    }
    const char* out = argv[optind];
    if (!(flag & MERGE_FORCE) && std::strcmp(out, "-") != 0) {
        if (FILE* fp = std::fopen(out, "r")) {
            std::fclose(fp);
            std::fprintf(stderr, "[%s] File '%s' exists. Please apply '-f' to overwrite. Abort.\n", "bam_merge", out);
            return 1;
        }
    }
    int n = argc - optind - 1;
    return bam_merge_core(is_by_qname, out, fn_headers, n, argv + optind + 1, flag, reg, threads.get()) < 0 ? 1 : 0;
}
