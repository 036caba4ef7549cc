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
#include "io/bgzf_copy.h"

namespace {

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

}  // namespace

int bam_cat(int nfn, char* const* fn, const bam_header_t* h, const char* outbam) {
    if (bgzf_output_is_an_input(outbam, nfn, fn)) {
        std::fprintf(stderr, "[%s] ERROR: the output file '%s' is also an input.\n", "bam_cat", outbam);
        return 1;
    }
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
        bool had_eof = false;
        switch (bgzf_copy_rest(in.get(), out.fp, &had_eof)) {
        case bgzf_copy_status::ok: break;
        case bgzf_copy_status::write_failed: return write_failed();
        case bgzf_copy_status::read_failed:
            std::fprintf(stderr, "[%s] ERROR: fail to read file '%s'.\n", "bam_cat", fn[i]);
            return -1;
        case bgzf_copy_status::truncated:
            std::fprintf(stderr, "[%s] ERROR: truncated file?: '%s'.\n", "bam_cat", fn[i]);
            return -1;
        case bgzf_copy_status::not_bgzf:
            std::fprintf(stderr, "[%s] ERROR: invalid BGZF block in file '%s'.\n", "bam_cat", fn[i]);
            return -1;
        }
        if (!had_eof) {
            std::fprintf(stderr, "[%s] WARNING: Unexpected block structure in file '%s'.", "bam_cat", fn[i]);
            std::fprintf(stderr, " Possible output corruption.\n");
        }
    }
    if (out.close() != 0) return write_failed();
    return 0;
}
