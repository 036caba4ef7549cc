// Fuzzes the SAM text reader (header and records) and formats every record
// it accepts, so that the writer sees whatever the reader can produce.
#include <cstdint>
#include <cstdio>

#include "bam/bam.h"
#include "bam/bam_import.h"
#include "bam/sam_format.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char path[64];
    int fd = fuzz_memory_file(data, size, path);
    if (fd < 0) return 0;
    tamFile fp = sam_open(path);
    if (fp) {
        bam_header_t* h = sam_header_read(fp);
        bam1_t* b = bam_init1();
        kstring_t s{0, 0, nullptr};
        for (int i = 0; i < 10000 && sam_read1_checked(fp, h, b) >= 0; ++i) {
            s.l = 0;
            bam_format1_append(&s, h, b, i % 3);
        }
        ks_free(&s);
        bam_destroy1(b);
        bam_header_destroy(h);
        sam_close(fp);
    }
    close(fd);
    return 0;
}
