// Checked text output over a buffered standard file.
#include "io/text_out.h"

#include <stdio_ext.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

// Records the first failure; a write that failed without saying why counts as EIO.
int fail(text_out_t* out) {
    if (out->error == 0) out->error = errno != 0 ? errno : EIO;
    return -1;
}

}  // namespace

text_out_t* text_out_open(const char* fn) {
    const bool is_stdout = std::strcmp(fn, "-") == 0;
    FILE* fp = is_stdout ? stdout : std::fopen(fn, "wb");
    if (!fp) return nullptr;
    auto* out = static_cast<text_out_t*>(std::malloc(sizeof(text_out_t)));
    if (!out) {
        if (!is_stdout) std::fclose(fp);
        return nullptr;
    }
    *out = text_out_t{fp, !is_stdout, 0};
    return out;
}

int text_out_write(text_out_t* out, const void* data, size_t n) {
    if (out->error) return -1;
    errno = 0;
    if (n > 0 && std::fwrite(data, 1, n, out->fp) != n) return fail(out);
    return 0;
}

int text_out_puts(text_out_t* out, const char* s) { return text_out_write(out, s, std::strlen(s)); }

int text_out_putc(text_out_t* out, char c) { return text_out_write(out, &c, 1); }

int text_out_printf(text_out_t* out, const char* fmt, ...) {
    if (out->error) return -1;
    errno = 0;
    va_list ap;
    va_start(ap, fmt);
    const int r = std::vfprintf(out->fp, fmt, ap);
    va_end(ap);
    return r < 0 ? fail(out) : 0;
}

int text_out_flush(text_out_t* out) {
    if (out->error) return -1;
    errno = 0;
    return std::fflush(out->fp) != 0 ? fail(out) : 0;
}

int text_out_close(text_out_t* out) {
    if (!out) return 0;
    text_out_flush(out);
    // The stream's error flag also covers writes made straight to `fp`.
    if (!out->error && std::ferror(out->fp)) out->error = EIO;
    // What a failed write left in the buffer must not follow the hole when
    // the file is closed or the process exits.
    if (out->error) __fpurge(out->fp);
    if (out->is_owned) {
        errno = 0;
        if (std::fclose(out->fp) != 0) fail(out);
    }
    const int error = out->error;
    std::free(out);
    if (error == 0) return 0;
    errno = error;
    return -1;
}
