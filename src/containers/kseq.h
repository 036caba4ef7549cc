// Buffered token reader over any source with a read(handle, buf, len) call;
// kstream_t is the instance over zlib's gz interface (plain or gzip text).
//
// Tokens end at a delimiter: KS_SEP_SPACE (any white space), KS_SEP_TAB (any
// white space but the space character) or, for values of 2 and above, exactly
// that character.  A read error of the source ends the input and is kept in
// `is_err`, so that callers can tell a damaged input from a clean end.
#pragma once

#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "containers/kstring.h"

enum { KS_SEP_SPACE = 0, KS_SEP_TAB = 1, KS_SEP_MAX = 2 };

// Character classes of the two white-space delimiters, indexed by byte.
struct ks_delim_table {
    bool space[256];
    bool tab[256];
    constexpr ks_delim_table() : space(), tab() {
        const char ws[] = {' ', '\t', '\n', '\v', '\f', '\r'};
        for (char c : ws) {
            space[static_cast<unsigned char>(c)] = true;
            tab[static_cast<unsigned char>(c)] = c != ' ';
        }
    }
};
inline constexpr ks_delim_table ks_delims{};

template <typename File, int (*ReadFn)(File, void*, unsigned)>
struct kstream_gen {
    unsigned char* buf;
    int begin, end, is_eof, is_err, bufsize;
    File f;
};

template <typename File, int (*ReadFn)(File, void*, unsigned)>
kstream_gen<File, ReadFn>* ks_init(File f, int bufsize) {
    auto* ks = static_cast<kstream_gen<File, ReadFn>*>(std::calloc(1, sizeof(kstream_gen<File, ReadFn>)));
    if (!ks) return nullptr;
    ks->buf = static_cast<unsigned char*>(std::malloc(bufsize));
    if (!ks->buf) {
        std::free(ks);
        return nullptr;
    }
    ks->bufsize = bufsize;
    ks->f = f;
    return ks;
}

template <typename File, int (*ReadFn)(File, void*, unsigned)>
void ks_destroy(kstream_gen<File, ReadFn>* ks) {
    if (!ks) return;
    std::free(ks->buf);
    std::free(ks);
}

template <typename File, int (*ReadFn)(File, void*, unsigned)>
inline bool ks_eof(const kstream_gen<File, ReadFn>* ks) {
    return ks->is_eof && ks->begin >= ks->end;
}

// Reads the next token into `str` (cleared first).  Returns its length, or -1
// when the input was already exhausted; *dret receives the delimiter that
// ended the token, 0 at the end of the input.
template <typename File, int (*ReadFn)(File, void*, unsigned)>
int ks_getuntil(kstream_gen<File, ReadFn>* ks, int delimiter, kstring_t* str, int* dret) {
    if (dret) *dret = 0;
    str->l = 0;
    if (ks->begin >= ks->end && ks->is_eof) return -1;
    const bool* cls = delimiter == KS_SEP_SPACE ? ks_delims.space : delimiter == KS_SEP_TAB ? ks_delims.tab : nullptr;
    for (;;) {
        if (ks->begin >= ks->end) {
            if (ks->is_eof) break;
            ks->begin = 0;
            ks->end = ReadFn(ks->f, ks->buf, static_cast<unsigned>(ks->bufsize));
            if (ks->end < 0) {
                ks->is_err = 1;
                ks->end = 0;
            }
            if (ks->end < ks->bufsize) ks->is_eof = 1;
            if (ks->end == 0) break;
        }
        const unsigned char* start = ks->buf + ks->begin;
        const unsigned char* stop = ks->buf + ks->end;
        const unsigned char* p;
        if (cls) {
            p = start;
            while (p < stop && !cls[*p]) ++p;
        } else {
            p = static_cast<const unsigned char*>(std::memchr(start, delimiter, stop - start));
            if (!p) p = stop;
        }
        if (kputsn(reinterpret_cast<const char*>(start), p - start, str) < 0) return -1;
        ks->begin = static_cast<int>(p - ks->buf);
        if (p < stop) {
            if (dret) *dret = *p;
            ++ks->begin;
            break;
        }
    }
    // The loop may end without appending anything (a refill that returns
    // nothing), so terminate explicitly: `s` can still hold an older token.
    if (!str->s && ks_reserve(str, 1) < 0) return -1;
    str->s[str->l] = 0;
    return static_cast<int>(str->l);
}

inline int ks_gzread(gzFile f, void* buf, unsigned len) { return gzread(f, buf, len); }
using kstream_t = kstream_gen<gzFile, ks_gzread>;
inline kstream_t* ks_init_gz(gzFile f, int bufsize) { return ks_init<gzFile, ks_gzread>(f, bufsize); }
