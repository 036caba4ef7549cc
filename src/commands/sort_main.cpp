// sort: parses the options of a bounded-memory sort and runs it.
#include "commands/commands.h"

#include <unistd.h>

#include <cstdio>

#include "commands/threads_option.h"
#include "sort/bam_sort.h"

int bam_sort(int argc, char* argv[]) {
    size_t max_mem = 500000000;
    int is_by_qname = 0, is_stdout = 0, c;
    command_threads threads;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "nom:@:")) >= 0) {
        switch (c) {
        case 'o': is_stdout = 1; break;
        case 'n': is_by_qname = 1; break;
        case 'm': max_mem = bam_sort_parse_mem(optarg); break;
        case '@':
            if (!threads.parse("bam_sort", optarg)) return 1;
            break;
        default: break;
        }
    }
    if (optind + 2 > argc) {
        std::fprintf(stderr, "Usage: alnkit sort [-on] [-m <maxMem>] <in.bam> <out.prefix>\n");
        return 1;
    }
    return bam_sort_core_ext(is_by_qname, argv[optind], argv[optind + 1], max_mem, is_stdout, threads.get()) < 0 ? 1 : 0;
}
