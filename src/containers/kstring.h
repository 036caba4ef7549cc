// Growable NUL-terminated byte strings and an in-memory tokeniser.
//
// A zero-filled kstring_t is a valid empty string; the owner frees `s`
// (ks_free, or the kstring_owner RAII wrapper).  Appends keep the content
// NUL-terminated and grow the capacity to the next power of two above the
// needed size, never shrinking it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

struct kstring_t {
    size_t l, m;
    char* s;
};

// Makes room for `need` bytes of content plus the NUL; returns 0, or -1 when
// memory cannot be obtained (the string is then unchanged).
int ks_reserve(kstring_t* s, size_t need);

inline int kputsn(const char* p, size_t l, kstring_t* s) {
    if (s->l + l + 1 >= s->m && ks_reserve(s, s->l + l + 1) < 0) return -1;
    if (l) std::memcpy(s->s + s->l, p, l);
    s->l += l;
    s->s[s->l] = 0;
    return static_cast<int>(l);
}
inline int kputs(const char* p, kstring_t* s) { return kputsn(p, std::strlen(p), s); }
inline int kputc(int c, kstring_t* s) {
    if (s->l + 1 >= s->m && ks_reserve(s, s->l + 1) < 0) return -1;
    s->s[s->l++] = static_cast<char>(c);
    s->s[s->l] = 0;
    return c;
}
int kputw(int c, kstring_t* s);
int kputuw(unsigned c, kstring_t* s);
// Signed and unsigned 64-bit decimal forms (used by report writers).
int kputl(long long c, kstring_t* s);
int kputul(unsigned long long c, kstring_t* s);
int ksprintf(kstring_t* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int kvsprintf(kstring_t* s, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));

inline std::string_view ks_view(const kstring_t* s) { return {s->s ? s->s : "", s->l}; }
inline void ks_free(kstring_t* s) {
    std::free(s->s);
    s->s = nullptr;
    s->l = s->m = 0;
}

// Owns a kstring_t for a scope.
struct kstring_owner {
    kstring_t str{0, 0, nullptr};
    kstring_owner() = default;
    kstring_owner(const kstring_owner&) = delete;
    kstring_owner& operator=(const kstring_owner&) = delete;
    ~kstring_owner() { ks_free(&str); }
    kstring_t* operator->() { return &str; }
    kstring_t* get() { return &str; }
};

// State of kstrtok: a 256-bit separator set, or a single separator in `sep`.
struct ks_tokaux_t {
    uint64_t tab[4];
    int sep, finished;
    const char* p;
};

// Returns the start of the next token (not NUL-terminated; aux->p marks its
// end), or null when there is none.  Pass the text and separators on the first
// call, null for both afterwards.
const char* kstrtok(const char* str, const char* sep, ks_tokaux_t* aux);
