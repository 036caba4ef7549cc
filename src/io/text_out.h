// Checked text output: the one road by which commands write text (SAM lines,
// FASTQ, FASTA regions, reports, counts, index lines) to standard output or
// a file.
//
// The writer remembers its first failure (a full disk, a file-size limit, a
// broken connection) and writes nothing after it, so an output is never
// continued past a hole; text_out_close flushes and reports whether every
// byte reached the file.  Standard output is borrowed: it is flushed and
// checked but left open.  Nothing is printed here; callers name the output
// in their own message.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

struct text_out_t {
    FILE* fp;
    bool is_owned;  // opened here and closed by text_out_close
    int error;      // errno of the first failure, 0 while every write succeeded
};

// Opens `fn` for writing ("-" is standard output); null when it cannot be created.
text_out_t* text_out_open(const char* fn);
// Each returns 0, or -1 once writing has failed (now or earlier).
int text_out_write(text_out_t* out, const void* data, size_t n);
int text_out_puts(text_out_t* out, const char* s);
int text_out_putc(text_out_t* out, char c);
int text_out_printf(text_out_t* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Writes what is buffered; 0 or -1.
int text_out_flush(text_out_t* out);
inline bool text_out_has_failed(const text_out_t* out) { return out->error != 0; }
// Flushes, closes an owned file and frees `out`; 0 when everything written
// reached the file, -1 otherwise (with errno set to the first failure's).
// Failures of writes made straight to `fp` count too.
int text_out_close(text_out_t* out);

struct text_out_closer {
    void operator()(text_out_t* out) const { text_out_close(out); }
};
using text_out_ptr = std::unique_ptr<text_out_t, text_out_closer>;
