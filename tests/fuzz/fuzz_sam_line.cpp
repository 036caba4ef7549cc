// Fuzzes the SAM text reader (header and records) and formats every record
// it accepts, so that the writer sees whatever the reader can produce.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "bam/bam.h"
#include "bam/bam_import.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("sam", 0);
    if (fd < 0) return 0;
    if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
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
