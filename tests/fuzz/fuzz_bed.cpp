// Fuzzes reading BED files and position lists and querying them.
#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "fuzz_util.h"
#include "index/bedidx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char path[64];
    int fd = fuzz_memory_file(data, size, path);
    if (fd < 0) return 0;
    void* bed = bed_read(path);
    if (bed) {
        for (int beg : {0, 100, 8191, 8192, 1 << 20})
            for (const char* chr : {"chr1", "1", ""}) bed_overlap(bed, chr, beg, beg + 50);
        bed_destroy(bed);
    }
    close(fd);
    return 0;
}
