// faidx: indexes a FASTA file, or extracts regions from it as FASTA.
#include "commands/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "io/faidx.h"

namespace {

constexpr int fai_out_width = 60;  // bases per output line

}  // namespace

int faidx_main(int argc, char* argv[]) {
    if (argc == 1) {
        std::fprintf(stderr, "Usage: faidx <in.fasta> [<reg> [...]]\n");
        return 1;
    }
    if (argc == 2) {
        fai_build(argv[1]);  // the status does not depend on the outcome
        return 0;
    }
    fai_ptr fai(fai_load(argv[1]));
    if (!fai) return 1;
    for (int i = 2; i < argc; ++i) {
        std::printf(">%s\n", argv[i]);
        int l = 0;
        char* s = fai_fetch(fai.get(), argv[i], &l);
        for (int j = 0; j < l; j += fai_out_width) {
            std::fwrite(s + j, 1, static_cast<size_t>(std::min(fai_out_width, l - j)), stdout);
            std::fputc('\n', stdout);
        }
        std::free(s);
    }
    return 0;
}
