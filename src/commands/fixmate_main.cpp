// fixmate: rewrites the mate information of a BAM file grouped by read name.
// A cut input still has every record read written (the output is a complete
// BAM file), but the command ends with status 1.
#include "commands/commands.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bam/bam_codec.h"
#include "commands/threads_option.h"
#include "tools/bam_mate.h"

namespace {

bool is_standard_stream(const char* fn) { return std::strcmp(fn, "-") == 0; }

const char* output_name(const char* fn) { return is_standard_stream(fn) ? "standard output" : fn; }

}  // namespace

int bam_mating(int argc, char* argv[]) {
    command_threads threads;
    int c;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "@:")) >= 0)
        if (c != '@' || !threads.parse("bam_mating", optarg)) return 1;
    if (argc - optind < 2) {
        std::fprintf(stderr, "alnkit fixmate <in.nameSrt.bam> <out.nameSrt.bam>\n");
        return 1;
    }
    const char* fn_in = argv[optind];
    const char* fn_out = argv[optind + 1];
    bgzf_ptr in(is_standard_stream(fn_in) ? bgzf_fdopen(STDIN_FILENO, "r") : bgzf_open(fn_in, "r"));
    if (!in) {
        std::fprintf(stderr, "[bam_mating] fail to open file %s.\n", fn_in);
        return 1;
    }
    BGZF* out = is_standard_stream(fn_out) ? bgzf_fdopen(STDOUT_FILENO, "w") : bgzf_open(fn_out, "w");
    if (!out) {
        std::fprintf(stderr, "[bam_mating] fail to create file %s.\n", fn_out);
        return 1;
    }
    threads.attach(in.get());
    threads.attach(out);
    long long n_read = 0;
    const int r = bam_mating_core(in.get(), out, &n_read);
    if (r == BAM_MATING_BAD_HEADER || r == BAM_MATING_WRITE_FAILED) {
        // No end-of-file block: what was written reads as truncated.
        bgzf_abandon(out);
        if (r == BAM_MATING_WRITE_FAILED) std::fprintf(stderr, "[bam_mating] fail to write file %s.\n", output_name(fn_out));
        return 1;
    }
    int status = 0;
    if (r == BAM_MATING_TRUNCATED) {
        bam_report_damage("bam_mating", fn_in, n_read, in.get());
        status = 1;
    }
    if (bgzf_close(out) < 0) {
        std::fprintf(stderr, "[bam_mating] fail to write file %s.\n", output_name(fn_out));
        status = 1;
    }
    return status;
}
