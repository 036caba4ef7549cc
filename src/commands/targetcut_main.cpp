// targetcut: target regions of a fosmid pool, with their consensus.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "commands/commands.h"
#include "tools/cut_target.h"

int main_cut_target(int argc, char* argv[]) {
    ct_opts_t opts;
    int c;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "f:Q:i:o:0:1:2:")) >= 0) {
        switch (c) {
        case 'Q': opts.min_baseQ = std::atoi(optarg); break;
        case 'i': opts.param.p[0][1] = -std::atoi(optarg); break;
        case '0': opts.param.e[1][0] = std::atoi(optarg); break;
        case '1': opts.param.e[1][1] = std::atoi(optarg); break;
        case '2': opts.param.e[1][2] = std::atoi(optarg); break;
        case 'f': opts.fn_ref = optarg; break;
        default: break;  // -o is accepted and ignored
        }
    }
    if (argc == optind) {
        std::fprintf(stderr, "Usage: alnkit targetcut [-Q minQ] [-i inPen] [-0 em0] [-1 em1] [-2 em2] [-f ref] <in.bam>\n");
        return 1;
    }
    return cut_target(opts, argv[optind]);
}
