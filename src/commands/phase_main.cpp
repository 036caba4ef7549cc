// phase: phasing of heterozygous sites, with the reads split by haplotype on request.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "commands/commands.h"
#include "commands/threads_option.h"
#include "tools/phase.h"

namespace {

int usage(const phase_opts_t& o) {
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "Usage:   alnkit phase [options] <in.bam>\n\n");
    std::fprintf(stderr, "Options: -k INT    block length [%d]\n", o.k);
    std::fprintf(stderr, "         -b STR    prefix of BAMs to output [null]\n");
    std::fprintf(stderr, "         -q INT    min het phred-LOD [%d]\n", o.min_varLOD);
    std::fprintf(stderr, "         -Q INT    min base quality in het calling [%d]\n", o.min_baseQ);
    std::fprintf(stderr, "         -D INT    max read depth [%d]\n", o.max_depth);
    std::fprintf(stderr, "         -F        do not attempt to fix chimeras\n");
    std::fprintf(stderr, "         -A        drop reads with ambiguous phase\n");
    std::fprintf(stderr, "\n");
    return 1;
}

}  // namespace

int main_phase(int argc, char* argv[]) {
    phase_opts_t opts;
    command_threads threads;
    int c;
    optind = 0;  // the dispatcher may have used getopt before
    bool is_k_valid = true;
    while ((c = getopt(argc, argv, "Q:eFq:k:b:l:D:A@:")) >= 0) {
        switch (c) {
        case 'D': opts.max_depth = std::atoi(optarg); break;
        case 'q': opts.min_varLOD = std::atoi(optarg); break;
        case 'Q': opts.min_baseQ = std::atoi(optarg); break;
        case 'k':
            opts.k = std::atoi(optarg);
            // 2^k counters per site: beyond 20 the memory is out of reach (and 1 << 31 undefined).
            is_k_valid = opts.k >= phase_min_k && opts.k <= phase_max_k;
            break;
        case 'b': opts.prefix = optarg; break;
        case 'F': opts.fix_chimeras = false; break;
        case 'e': opts.listed_only = true; break;
        case 'A': opts.ambig_to_chimera = true; break;
        case 'l': opts.fn_list = optarg; break;
        case '@':
            if (!threads.parse("main_phase", optarg)) return 1;
            break;
        default: break;
        }
    }
    if (argc == optind || !is_k_valid) {
        if (!is_k_valid) opts.k = phase_opts_t{}.k;
        return usage(opts);
    }
    opts.pool = threads.get();
    return phase_bam(opts, argv[optind]);
}
