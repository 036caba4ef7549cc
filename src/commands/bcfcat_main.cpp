// bcfcat: joins BCF files with identical headers, block by block.
#include <unistd.h>

#include <cstdio>

#include "call/bcf_cat.h"
#include "commands/commands.h"

namespace {

int bcfcat_usage() {
    std::fprintf(stderr, "Usage: alnkit bcfcat [-o out.bcf] <in1.bcf> [...]\n");
    return 1;
}

}  // namespace

int main_bcfcat(int argc, char* argv[]) {
    const char* out_fn = "-";
    int c;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "o:")) >= 0) {
        switch (c) {
        case 'o': out_fn = optarg; break;
        default: return bcfcat_usage();
        }
    }
    if (argc - optind < 1) return bcfcat_usage();
    return bcf_cat(argc - optind, argv + optind, out_fn);
}
