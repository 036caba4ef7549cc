// Fuzzes reading BED files and position lists and querying them.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "index/bedidx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("bed", 0);
    if (fd < 0) return 0;
    if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    void* bed = bed_read(path);
    if (bed) {
        for (int beg : {0, 100, 8191, 8192, 1 << 20})
            for (const char* chr : {"chr1", "1", ""}) bed_overlap(bed, chr, beg, beg + 50);
        bed_destroy(bed);
    }
    close(fd);
    return 0;
}
