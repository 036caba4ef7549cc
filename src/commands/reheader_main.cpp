// reheader: copies a BAM file's records under the header of a SAM file.
#include "commands/commands.h"

#include <cstdio>
#include <cstring>

#include "bam/bam_import.h"
#include "sort/bam_reheader.h"

int main_reheader(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: alnkit reheader <in.header.sam> <in.bam>\n");
        return 1;
    }
    bam_header_ptr h;
    if (tamFile fh = sam_open(argv[1])) {
        h.reset(sam_header_read(fh));
        sam_close(fh);
    }
    if (!h) {
        std::fprintf(stderr, "[%s] fail to read the header from %s.\n", "main_reheader", argv[1]);
        return 1;
    }
    BGZF* in = std::strcmp(argv[2], "-") == 0 ? bgzf_fdopen(fileno(stdin), "r") : bgzf_open(argv[2], "r");
    if (!in) {
        std::fprintf(stderr, "[%s] fail to open file %s.\n", "main_reheader", argv[2]);
        return 1;
    }
    int status = bam_reheader(in, h.get(), fileno(stdout));
    bgzf_close(in);
    if (status == BAM_REHEADER_BAD_INPUT) {
        std::fprintf(stderr, "[%s] truncated or damaged BAM file %s.\n", "main_reheader", argv[2]);
        return 1;
    }
    if (status == BAM_REHEADER_WRITE_FAILED) {
        std::fprintf(stderr, "[%s] fail to write the output.\n", "main_reheader");
        return 1;
    }
    return 0;
}
