// Block-level copy of the rest of a BGZF stream; see bgzf_copy.h.
#include "io/bgzf_copy.h"

#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "io/knetfile.h"

namespace {

uint32_t load_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// An end-of-file block as recognised here: gzip magic first and an
// uncompressed size of 0 last.
bool is_eof_block(const uint8_t* p) { return p[0] == 31 && p[1] == 139 && load_u32(p + BGZF_EOF_BLOCK_SIZE - 4) == 0; }

// Copies the rest of one input's compressed bytes to the output, holding back
// its last 28 bytes in `ebuf`.  `n_held` is 28 after at least one piece of 28
// bytes or more, 0 if nothing was read, and bgzf_copy_status::truncated
// reports a first piece shorter than 28 bytes.
bgzf_copy_status copy_holding_back(BGZF* in, BGZF* out, uint8_t* buf, uint8_t* ebuf, int* n_held) {
    bgzf_block_walk_t walk;
    bool is_first = true;
    *n_held = 0;
    for (;;) {
        ssize_t len = knet_read(in->x.fpr, buf, BGZF_COPY_BUFFER_SIZE);
        if (len < 0) return bgzf_copy_status::read_failed;
        if (len == 0) break;
        if (!bgzf_block_walk_feed(&walk, buf, static_cast<size_t>(len))) return bgzf_copy_status::not_bgzf;
        if (len < BGZF_EOF_BLOCK_SIZE) {
            if (is_first) return bgzf_copy_status::truncated;
            // Emit the oldest held bytes and keep the last 28 read.
            if (bgzf_write_raw(out, ebuf, len) != 0) return bgzf_copy_status::write_failed;
            std::memmove(ebuf, ebuf + len, BGZF_EOF_BLOCK_SIZE - len);
            std::memcpy(ebuf + BGZF_EOF_BLOCK_SIZE - len, buf, len);
        } else {
            if (!is_first && bgzf_write_raw(out, ebuf, BGZF_EOF_BLOCK_SIZE) != 0) return bgzf_copy_status::write_failed;
            if (bgzf_write_raw(out, buf, len - BGZF_EOF_BLOCK_SIZE) != 0) return bgzf_copy_status::write_failed;
            std::memcpy(ebuf, buf + len - BGZF_EOF_BLOCK_SIZE, BGZF_EOF_BLOCK_SIZE);
        }
        is_first = false;
        *n_held = BGZF_EOF_BLOCK_SIZE;
    }
    return bgzf_block_walk_is_complete(&walk) ? bgzf_copy_status::ok : bgzf_copy_status::truncated;
}

}  // namespace

bgzf_copy_status bgzf_copy_rest(BGZF* in, BGZF* out, bool* had_eof) {
    if (bgzf_flush_block_rest(in, out) != 0) return bgzf_copy_status::write_failed;
    std::vector<uint8_t> buf(BGZF_COPY_BUFFER_SIZE);
    uint8_t ebuf[BGZF_EOF_BLOCK_SIZE];
    int n_held = 0;
    const bgzf_copy_status s = copy_holding_back(in, out, buf.data(), ebuf, &n_held);
    if (s != bgzf_copy_status::ok) return s;
    // An input with nothing after its header blocks has no end-of-file block either.
    *had_eof = n_held > 0 && is_eof_block(ebuf);
    if (!*had_eof && bgzf_write_raw(out, ebuf, n_held) != 0) return bgzf_copy_status::write_failed;
    return bgzf_copy_status::ok;
}

bool bgzf_output_is_an_input(const char* out, int n, char* const* fn) {
    struct stat out_st, in_st;
    if (std::strcmp(out, "-") == 0 || stat(out, &out_st) != 0) return false;
    for (int i = 0; i < n; ++i)
        if (std::strcmp(fn[i], "-") != 0 && stat(fn[i], &in_st) == 0 && in_st.st_dev == out_st.st_dev &&
            in_st.st_ino == out_st.st_ino)
            return true;
    return false;
}
