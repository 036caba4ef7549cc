// Fuzzes the BGZF reader on its own.  The first 16 input bytes are two
// virtual offsets (little-endian) to seek to at the end; the rest is the
// file.  The file is read to the end in chunks of changing size, and a
// position remembered on the way is sought again: its bytes must repeat.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "io/bgzf.h"

namespace {

int64_t load_le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return static_cast<int64_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 16) return 0;
    const int64_t voffsets[2] = {load_le64(data), load_le64(data + 8)};
    char path[64];
    int fd = fuzz_memory_file(data + 16, size - 16, path);
    if (fd < 0) return 0;
    BGZF* fp = bgzf_open(path, "r");
    if (fp) {
        static const int chunks[] = {1, 7, 20, 4093, 65536, 333};
        std::vector<uint8_t> buf(65536);
        int64_t mark = -1;
        std::vector<uint8_t> after_mark;
        int n = 0;
        for (int i = 0; i < 100000; ++i) {
            if (i == 3) mark = bgzf_tell(fp);
            n = bgzf_read(fp, buf.data(), chunks[i % 6]);
            if (n <= 0) break;
            if (i == 3) after_mark.assign(buf.begin(), buf.begin() + n);
        }
        if (mark >= 0 && !after_mark.empty()) {
            if (bgzf_seek(fp, mark, SEEK_SET) < 0) __builtin_trap();  // it was read from there
            std::vector<uint8_t> again(after_mark.size());
            if (bgzf_read(fp, again.data(), static_cast<int>(again.size())) != static_cast<int>(again.size()) ||
                again != after_mark)
                __builtin_trap();
        }
        for (int64_t v : voffsets)
            if (bgzf_seek(fp, v, SEEK_SET) >= 0) bgzf_read(fp, buf.data(), 1000);
        bgzf_check_EOF(fp);
        bgzf_close(fp);
    }
    close(fd);
    return 0;
}
