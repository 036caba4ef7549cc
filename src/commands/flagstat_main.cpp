// flagstat: counts of a BAM file's records by flag category, QC-passed and
// QC-failed side by side.  A cut file still gets its counts so far printed,
// but ends with status 1.
#include "commands/commands.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bam/bam_codec.h"
#include "commands/threads_option.h"
#include "io/text_out.h"
#include "tools/bam_stat.h"

int bam_flagstat(int argc, char* argv[]) {
    command_threads threads;
    int c;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "@:")) >= 0)
        if (c != '@' || !threads.parse("bam_flagstat", optarg)) return 1;
    if (optind >= argc) {
        std::fprintf(stderr, "Usage: alnkit flagstat <in.bam>\n");
        return 1;
    }
    const char* fn = argv[optind];
    bgzf_ptr fp(std::strcmp(fn, "-") == 0 ? bgzf_fdopen(STDIN_FILENO, "r") : bgzf_open(fn, "r"));
    if (!fp) {
        std::fprintf(stderr, "[bam_flagstat] fail to open file %s.\n", fn);
        return 1;
    }
    threads.attach(fp.get());
    bam_header_ptr header(bam_header_read(fp.get()));
    if (!header) return 1;  // the reader has said why
    bam_flagstat_t s{};
    const int r = bam_flagstat_core(fp.get(), &s);
    int status = 0;
    if (r != -1) {
        bam_report_damage("bam_flagstat", fn, s.n_reads[0] + s.n_reads[1], fp.get());
        status = 1;
    }
    text_out_ptr out(text_out_open("-"));
    if (!out) return 1;
    bam_flagstat_print(out.get(), &s);
    if (text_out_close(out.release()) < 0) {
        std::fprintf(stderr, "[bam_flagstat] fail to write \"standard output\".\n");
        status = 1;
    }
    return status;
}
