// Fuzzes RAZF reading (plain, gzip and RAZF input alike).  The first input
// byte picks whether the block index is loaded; the rest is the file.  The
// stream is read to the end in chunks of changing size, then positioned
// from the start, the current position and the end and read again.  A
// plain file positioned anywhere must give the bytes read the first time.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "io/razf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool load_index = data[0] & 1;
    char path[64];
    int fd = fuzz_memory_file(data + 1, size - 1, path);
    if (fd < 0) return 0;
    RAZF* rz = load_index ? razf_open(path, "r") : razf_open2(path, "r");
    if (rz) {
        static const int chunks[] = {1, 7, 20, 4093, 40000, 333};
        std::string all;
        std::vector<uint8_t> buf(40000);
        for (int i = 0; all.size() < (1u << 24); ++i) {
            const int n = razf_read(rz, buf.data(), chunks[i % 6]);
            if (n <= 0) break;
            all.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n));
        }
        const bool clean = !rz->z_err;
        const int64_t total = static_cast<int64_t>(all.size());
        const int64_t targets[] = {total / 2, 0, total + 5, 32768, total - 1};
        for (int64_t p : targets) {
            const int64_t got = razf_seek(rz, p, SEEK_SET);
            const int n = razf_read(rz, buf.data(), 100);
            // Plain data re-read after a seek must match what came first.
            if (clean && rz->file_type == FILE_TYPE_PLAIN && got == p && p >= 0 && p < total && n > 0 &&
                all.compare(static_cast<size_t>(p), static_cast<size_t>(n), reinterpret_cast<const char*>(buf.data()),
                            static_cast<size_t>(n)) != 0)
                __builtin_trap();
        }
        razf_seek(rz, -10, SEEK_CUR);
        razf_read(rz, buf.data(), 50);
        razf_seek(rz, -100, SEEK_END);
        razf_read(rz, buf.data(), 200);
        razf_close(rz);
    }
    close(fd);
    return 0;
}
