// faidx: indexes a FASTA file, or extracts regions from it as FASTA.
#include "commands/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "io/faidx.h"
#include "io/text_out.h"

namespace {

constexpr int fai_out_width = 60;  // bases per output line

}  // namespace

int faidx_main(int argc, char* argv[]) {
    if (argc == 1) {
        std::fprintf(stderr, "Usage: faidx <in.fasta> [<reg> [...]]\n");
        return 1;
    }
    if (argc == 2) {
        // A FASTA that cannot be indexed is reported only by its message; an
        // index that could not be written is a failed command.
        return fai_build(argv[1]) == -2 ? 1 : 0;
    }
    fai_ptr fai(fai_load(argv[1]));
    if (!fai) return 1;
    text_out_ptr out(text_out_open("-"));
    if (!out) return 1;
    int status = 0;
    for (int i = 2; i < argc && !text_out_has_failed(out.get()); ++i) {
        int l = 0;
        char* s = fai_fetch(fai.get(), argv[i], &l);
        if (l < 0) {  // the regions before it stay printed; this one is not cut short silently
            std::string name;
            int64_t len = 0;
            fai_region_seq(fai.get(), argv[i], &name, &len);
            std::fprintf(stderr,
                         "[faidx_main] sequence '%s' ends before the %lld bases its .fai line gives (region \"%s\"): "
                         "the FASTA file was cut, damaged or changed after indexing.\n",
                         name.c_str(), static_cast<long long>(len), argv[i]);
            status = 1;
            break;
        }
        text_out_printf(out.get(), ">%s\n", argv[i]);
        for (int j = 0; j < l && !text_out_has_failed(out.get()); j += fai_out_width) {
            text_out_write(out.get(), s + j, static_cast<size_t>(std::min(fai_out_width, l - j)));
            text_out_putc(out.get(), '\n');
        }
        std::free(s);
    }
    if (text_out_close(out.release()) < 0) {
        std::fprintf(stderr, "[faidx_main] fail to write \"standard output\".\n");
        return 1;
    }
    return status;
}
