// Fuzzes BAM reading.  With the first input byte odd, the rest is an
// uncompressed BAM stream that is first wrapped into BGZF blocks (so the
// fuzzer reaches the header and record decoders); otherwise the rest is
// read as a BGZF file as it stands.  Every decoded record is formatted.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "bam/bam.h"
#include "bam/bam_codec.h"
#include "bam/sam_format.h"
#include "fuzz_util.h"
#include "io/bgzf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    bool wrap = data[0] & 1;
    char path[64];
    int fd;
    if (wrap) {
        fd = memfd_create("bam", 0);
        if (fd < 0) return 0;
        BGZF* w = bgzf_fdopen(fd, "w1");
        bgzf_write(w, data + 1, static_cast<int>(size - 1));
        bgzf_close(w);
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    } else {
        fd = fuzz_memory_file(data + 1, size - 1, path);
        if (fd < 0) return 0;
    }
    BGZF* fp = bgzf_open(path, "r");
    if (fp) {
        bam_header_t* h = bam_header_read(fp);
        if (h) {
            bam1_t* b = bam_init1();
            kstring_t s{0, 0, nullptr};
            for (int i = 0; i < 10000 && bam_read1(fp, b) >= 0; ++i) {
                s.l = 0;
                bam_format1_append(&s, h, b, i % 3);
            }
            ks_free(&s);
            bam_destroy1(b);
            bam_header_destroy(h);
        }
        bgzf_close(fp);
    }
    close(fd);
    return 0;
}
