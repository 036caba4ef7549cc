// rmdup: removes PCR duplicates from a coordinate-sorted BAM file, by pairs
// or (with -s or -S) by single reads, into a new BAM file with the input's
// header.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bam/sam.h"
#include "commands/commands.h"
#include "commands/threads_option.h"
#include "tools/bam_rmdup.h"
#include "tools/bam_rmdupse.h"

namespace {

int rmdup_usage() {
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "Usage:  alnkit rmdup [-sS] <input.srt.bam> <output.bam>\n\n");
    std::fprintf(stderr, "Option: -s    rmdup for SE reads\n");
    std::fprintf(stderr, "        -S    treat PE reads as SE in rmdup (force -s)\n\n");
    return 1;
}

}  // namespace

int bam_rmdup(int argc, char* argv[]) {
    bool is_se = false, force_se = false;
    command_threads threads;
    int c;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "sS@:")) >= 0) {
        switch (c) {
        case 's': is_se = true; break;
        case 'S': is_se = force_se = true; break;
        case '@':
            if (!threads.parse("bam_rmdup", optarg)) return 1;
            break;
        default: break;
        }
    }
    if (optind + 2 > argc) return rmdup_usage();
    const char* fn_in = argv[optind];
    const char* fn_out = argv[optind + 1];
    samfile_ptr in(samopen(fn_in, "rb", nullptr));
    samfile_ptr out;
    if (in && in->header) out.reset(samopen(fn_out, "wb", in->header));
    if (!out) {
        std::fprintf(stderr, "[bam_rmdup] fail to read/write input files\n");
        return 1;
    }
    threads.attach(in.get());
    threads.attach(out.get());
    int ret = is_se ? bam_rmdupse_core(in.get(), out.get(), force_se, fn_in, fn_out)
                    : bam_rmdup_core(in.get(), out.get(), fn_in, fn_out);
    in.reset();
    // After a failed write the core has said so; closing cannot mend it.
    if (samclose(out.release()) < 0 && ret == 0) {
        std::fprintf(stderr, "[bam_rmdup] fail to write %s\n", std::strcmp(fn_out, "-") == 0 ? "standard output" : fn_out);
        ret = -1;
    }
    return ret == 0 ? 0 : 1;
}
