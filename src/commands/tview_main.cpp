// tview: the interactive alignment viewer.
#include <cstdio>

#include "commands/commands.h"
#include "tview/bam_tview.h"

int bam_tview_main(int argc, char* argv[]) {
    if (argc == 1) {
        std::fprintf(stderr, "Usage: alnkit tview <aln.bam> [ref.fasta]\n");
        return 1;
    }
    tview_t* tv = tv_init(argv[1], argc > 2 ? argv[2] : nullptr);
    if (!tv) return 1;
    tv_draw_aln(tv, 0, 0);
    tv_loop(tv);
    tv_destroy(tv);
    return 0;
}
