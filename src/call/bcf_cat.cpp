// bcfcat: header check and block-level join of BCF files; see bcf_cat.h.
#include "call/bcf_cat.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "io/bgzf.h"
#include "io/bgzf_copy.h"

namespace {

constexpr char bcf_magic[4] = {'B', 'C', 'F', '\4'};

enum class header_status { ok, not_bcf, cut };

// Appends `n` bytes of `fp` to `out`, in pieces, so that a damaged length
// ends at the end of the data rather than in one huge allocation.
bool read_append(BGZF* fp, std::string* out, int64_t n) {
    char buf[65536];
    while (n > 0) {
        const int want = static_cast<int>(std::min<int64_t>(n, sizeof buf));
        if (bgzf_read(fp, buf, want) != want) return false;
        out->append(buf, static_cast<size_t>(want));
        n -= want;
    }
    return true;
}

// The header bytes: magic, then three length-prefixed parts (reference
// names, sample names, text).
header_status read_header(BGZF* fp, std::string* h) {
    h->clear();
    if (!read_append(fp, h, 4)) return h->empty() ? header_status::not_bcf : header_status::cut;
    if (std::memcmp(h->data(), bcf_magic, 4) != 0) return header_status::not_bcf;
    for (int part = 0; part < 3; ++part) {
        if (!read_append(fp, h, 4)) return header_status::cut;
        int32_t len;
        std::memcpy(&len, h->data() + h->size() - 4, 4);
        if (len < 0) return header_status::not_bcf;
        if (!read_append(fp, h, len)) return header_status::cut;
    }
    return header_status::ok;
}

// Opens `fn` and reads its header; false after a message.
bool open_with_header(const char* fn, bgzf_ptr* fp, std::string* h) {
    fp->reset(bgzf_open(fn, "r"));
    if (!*fp) {
        std::fprintf(stderr, "[bcfcat] fail to open \"%s\".\n", fn);
        return false;
    }
    switch (read_header(fp->get(), h)) {
    case header_status::ok: return true;
    case header_status::not_bcf: std::fprintf(stderr, "[bcfcat] \"%s\" is not a BCF file.\n", fn); return false;
    case header_status::cut: std::fprintf(stderr, "[bcfcat] the header of \"%s\" is cut short.\n", fn); return false;
    }
    return false;
}

// The output stream; removes an output file that was not completed, but
// only a regular file (never a device such as /dev/full or a named pipe).
class output_t {
public:
    explicit output_t(const char* fn) : fn_(fn), is_stdout_(std::strcmp(fn, "-") == 0) {
        struct stat st;
        may_remove_ = !is_stdout_ && (stat(fn, &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode));
        fp_ = is_stdout_ ? bgzf_fdopen(fileno(stdout), "w") : bgzf_open(fn, "w");
    }
    ~output_t() {
        if (!fp_) return;
        bgzf_abandon(fp_);
        if (may_remove_) unlink(fn_);
    }
    output_t(const output_t&) = delete;
    output_t& operator=(const output_t&) = delete;
    BGZF* fp() const { return fp_; }
    const char* name() const { return is_stdout_ ? "standard output" : fn_; }
    // 0, or -1 when the last blocks could not be written.
    int close() {
        const int r = bgzf_close(fp_);
        fp_ = nullptr;
        if (r != 0 && may_remove_) unlink(fn_);
        return r;
    }

private:
    const char* fn_;
    bool is_stdout_;
    bool may_remove_ = false;
    BGZF* fp_ = nullptr;
};

}  // namespace

int bcf_cat(int n, char* const* fn, const char* out_fn) {
    std::string first, h;
    for (int i = 0; i < n; ++i) {
        bgzf_ptr in;
        if (!open_with_header(fn[i], &in, i == 0 ? &first : &h)) return 1;
        if (i > 0 && h != first) {
            std::fprintf(stderr, "[bcfcat] the header of \"%s\" differs from that of \"%s\".\n", fn[i], fn[0]);
            return 1;
        }
    }
    if (bgzf_output_is_an_input(out_fn, n, fn)) {
        std::fprintf(stderr, "[bcfcat] the output \"%s\" is also an input.\n", out_fn);
        return 1;
    }
    output_t out(out_fn);
    if (!out.fp()) {
        std::fprintf(stderr, "[bcfcat] fail to open \"%s\" for writing.\n", out_fn);
        return 1;
    }
    auto write_failed = [&out]() {
        std::fprintf(stderr, "[bcfcat] fail to write to \"%s\".\n", out.name());
        return 1;
    };
    // The header ends a block, so that the records of every input follow
    // at a block boundary.
    if (bgzf_write(out.fp(), first.data(), static_cast<int>(first.size())) != static_cast<int>(first.size()) ||
        bgzf_flush(out.fp()) != 0)
        return write_failed();
    for (int i = 0; i < n; ++i) {
        bgzf_ptr in;
        if (!open_with_header(fn[i], &in, &h)) return 1;  // changed since the check
        if (h != first) {
            std::fprintf(stderr, "[bcfcat] the header of \"%s\" differs from that of \"%s\".\n", fn[i], fn[0]);
            return 1;
        }
        bool had_eof = false;
        switch (bgzf_copy_rest(in.get(), out.fp(), &had_eof)) {
        case bgzf_copy_status::ok: break;
        case bgzf_copy_status::write_failed: return write_failed();
        case bgzf_copy_status::read_failed: std::fprintf(stderr, "[bcfcat] fail to read \"%s\".\n", fn[i]); return 1;
        case bgzf_copy_status::truncated: std::fprintf(stderr, "[bcfcat] \"%s\" is cut inside a block.\n", fn[i]); return 1;
        case bgzf_copy_status::not_bgzf: std::fprintf(stderr, "[bcfcat] invalid BGZF block in \"%s\".\n", fn[i]); return 1;
        }
        if (!had_eof) {  // a file cut at a block boundary looks like this
            std::fprintf(stderr, "[bcfcat] \"%s\" has no end-of-file block; it may be cut short.\n", fn[i]);
            return 1;
        }
    }
    if (out.close() != 0) return write_failed();
    return 0;
}
