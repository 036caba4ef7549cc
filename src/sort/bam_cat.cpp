// cat: block-level concatenation of BAM files; see bam_cat.h.
#include "sort/bam_cat.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "bam/bam_codec.h"
#include "bam/bam_import.h"

namespace {

uint32_t load_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// An end-of-file block as the cat command recognises it: gzip magic first and
// an uncompressed size of 0 last.
bool is_eof_block(const uint8_t* p) { return p[0] == 31 && p[1] == 139 && load_u32(p + BAM_CAT_EOF_SIZE - 4) == 0; }

// Owns an output stream; abandons it unless it was closed on success.
struct output_owner {
    BGZF* fp = nullptr;
    output_owner(const output_owner&) = delete;
    output_owner& operator=(const output_owner&) = delete;
    explicit output_owner(BGZF* f) : fp(f) {}
    ~output_owner() { bgzf_abandon(fp); }
    int close() {
        int status = bgzf_close(fp);
        fp = nullptr;
        return status;
    }
};

BGZF* open_input(const char* fn) { return std::strcmp(fn, "-") == 0 ? bgzf_fdopen(fileno(stdin), "r") : bgzf_open(fn, "r"); }

BGZF* open_output(const char* fn) { return std::strcmp(fn, "-") == 0 ? bgzf_fdopen(fileno(stdout), "w") : bgzf_open(fn, "w"); }

enum class copy_status { ok, write_failed, read_failed, truncated, not_bgzf };

// Copies the rest of one input's compressed bytes to the output, holding back
// its last 28 bytes in `ebuf`.  `n_held` is 28 after at least one piece of 28
// bytes or more, 0 if nothing was read, and copy_status::truncated reports a
// first piece shorter than 28 bytes.
copy_status copy_holding_back(BGZF* in, BGZF* out, uint8_t* buf, uint8_t* ebuf, int* n_held) {
    bgzf_block_walk_t walk;
    bool is_first = true;
    *n_held = 0;
    for (;;) {
        ssize_t len = knet_read(in->x.fpr, buf, BAM_CAT_BUFFER_SIZE);
        if (len < 0) return copy_status::read_failed;
        if (len == 0) break;
        if (!bgzf_block_walk_feed(&walk, buf, static_cast<size_t>(len))) return copy_status::not_bgzf;
        if (len < BAM_CAT_EOF_SIZE) {
            if (is_first) return copy_status::truncated;
            // Emit the oldest held bytes and keep the last 28 read.
            if (bgzf_write_raw(out, ebuf, len) != 0) return copy_status::write_failed;
            std::memmove(ebuf, ebuf + len, BAM_CAT_EOF_SIZE - len);
            std::memcpy(ebuf + BAM_CAT_EOF_SIZE - len, buf, len);
        } else {
            if (!is_first && bgzf_write_raw(out, ebuf, BAM_CAT_EOF_SIZE) != 0) return copy_status::write_failed;
            if (bgzf_write_raw(out, buf, len - BAM_CAT_EOF_SIZE) != 0) return copy_status::write_failed;
            std::memcpy(ebuf, buf + len - BAM_CAT_EOF_SIZE, BAM_CAT_EOF_SIZE);
        }
        is_first = false;
        *n_held = BAM_CAT_EOF_SIZE;
    }
    return bgzf_block_walk_is_complete(&walk) ? copy_status::ok : copy_status::truncated;
}

}  // namespace

int bam_cat(int nfn, char* const* fn, const bam_header_t* h, const char* outbam) {
    output_owner out(open_output(outbam));
    if (!out.fp) {
        std::fprintf(stderr, "[%s] ERROR: fail to open output file '%s'.\n", "bam_cat", outbam);
        return 1;
    }
    auto write_failed = [outbam]() {
        std::fprintf(stderr, "[%s] ERROR: fail to write to output file '%s'.\n", "bam_cat", outbam);
        return 1;
    };
    if (h && (bam_header_write(out.fp, h) != 0 || out.fp->block_offset != 0)) return write_failed();

    std::vector<uint8_t> buf(BAM_CAT_BUFFER_SIZE);
    uint8_t ebuf[BAM_CAT_EOF_SIZE];
    for (int i = 0; i < nfn; ++i) {
        bgzf_ptr in(open_input(fn[i]));
        if (!in) {
            std::fprintf(stderr, "[%s] ERROR: fail to open file '%s'.\n", "bam_cat", fn[i]);
            return -1;
        }
        bam_header_ptr old(bam_header_read(in.get()));
        if (!old) {
            std::fprintf(stderr, "[%s] ERROR: fail to read the header from '%s'.\n", "bam_cat", fn[i]);
            return -1;
        }
        if (!h && i == 0 && (bam_header_write(out.fp, old.get()) != 0 || out.fp->block_offset != 0)) return write_failed();
        if (bgzf_flush_block_rest(in.get(), out.fp) != 0) return write_failed();

        int n_held = 0;
        switch (copy_holding_back(in.get(), out.fp, buf.data(), ebuf, &n_held)) {
        case copy_status::ok: break;
        case copy_status::write_failed: return write_failed();
        case copy_status::read_failed: std::fprintf(stderr, "[%s] ERROR: fail to read file '%s'.\n", "bam_cat", fn[i]); return -1;
        case copy_status::truncated: std::fprintf(stderr, "[%s] ERROR: truncated file?: '%s'.\n", "bam_cat", fn[i]); return -1;
        case copy_status::not_bgzf:
            std::fprintf(stderr, "[%s] ERROR: invalid BGZF block in file '%s'.\n", "bam_cat", fn[i]);
            return -1;
        }
        // An input with nothing after its header blocks has no end-of-file
        // block either: warn as for any other missing one.
        if (n_held == 0 || !is_eof_block(ebuf)) {
            std::fprintf(stderr, "[%s] WARNING: Unexpected block structure in file '%s'.", "bam_cat", fn[i]);
            std::fprintf(stderr, " Possible output corruption.\n");
            if (bgzf_write_raw(out.fp, ebuf, n_held) != 0) return write_failed();
        }
    }
    if (out.close() != 0) return write_failed();
    return 0;
}
