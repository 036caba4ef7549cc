// import: SAM with a reference list to BAM, a fixed form of view.
#include "commands/commands.h"

#include <cstdio>

int main_import(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "Usage: alnkit import <in.ref_list> <in.sam> <out.bam>\n");
        return 1;
    }
    char arg0[] = "import", arg1[] = "-o", arg3[] = "-bt";
    char* args[] = {arg0, arg1, argv[3], arg3, argv[1], argv[2], nullptr};
    return main_samview(6, args);
}
