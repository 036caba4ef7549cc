// Appending to kstring_t and splitting text in memory.
#include "containers/kstring.h"

#include <cstdio>
#include <cstdlib>

int ks_reserve(kstring_t* s, size_t need) {
    if (need < s->m) return 0;
    size_t m = 1;
    while (m <= need) m <<= 1;  // smallest power of two strictly above `need`
    char* p = static_cast<char*>(std::realloc(s->s, m));
    if (!p) return -1;
    s->s = p;
    s->m = m;
    return 0;
}

int kputul(unsigned long long c, kstring_t* s) {
    char buf[24];
    int l = 0;
    do {
        buf[l++] = static_cast<char>('0' + c % 10);
        c /= 10;
    } while (c);
    if (s->l + l + 1 >= s->m && ks_reserve(s, s->l + l + 1) < 0) return -1;
    for (int i = l - 1; i >= 0; --i) s->s[s->l++] = buf[i];
    s->s[s->l] = 0;
    return 0;
}

int kputl(long long c, kstring_t* s) {
    if (c < 0) {
        if (kputc('-', s) < 0) return -1;
        return kputul(0ULL - static_cast<unsigned long long>(c), s);
    }
    return kputul(static_cast<unsigned long long>(c), s);
}

int kputw(int c, kstring_t* s) { return kputl(c, s); }
int kputuw(unsigned c, kstring_t* s) { return kputul(c, s); }

int kvsprintf(kstring_t* s, const char* fmt, va_list ap) {
    va_list args;
    va_copy(args, ap);
    size_t room = s->m > s->l ? s->m - s->l : 0;
    int l = std::vsnprintf(room ? s->s + s->l : nullptr, room, fmt, args);
    va_end(args);
    if (l < 0) return -1;
    if (static_cast<size_t>(l) + 1 > room) {
        if (ks_reserve(s, s->l + l + 1) < 0) return -1;
        va_copy(args, ap);
        l = std::vsnprintf(s->s + s->l, s->m - s->l, fmt, args);
        va_end(args);
    }
    s->l += l;
    return l;
}

int ksprintf(kstring_t* s, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int l = kvsprintf(s, fmt, ap);
    va_end(ap);
    return l;
}

const char* kstrtok(const char* str, const char* sep, ks_tokaux_t* aux) {
    if (sep) {  // first call: set up the separators
        if (!str) return nullptr;
        std::memset(aux, 0, sizeof(*aux));
        aux->sep = -1;
        if (sep[0] && sep[1]) {
            for (const unsigned char* p = reinterpret_cast<const unsigned char*>(sep); *p; ++p)
                aux->tab[*p >> 6] |= 1ULL << (*p & 0x3f);
        } else {
            aux->sep = static_cast<unsigned char>(sep[0]);
        }
    }
    if (aux->finished) return nullptr;
    const char* start = str ? str : aux->p + 1;
    const char* p = start;
    if (aux->sep < 0) {
        for (; *p; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (aux->tab[c >> 6] >> (c & 0x3f) & 1) break;
        }
    } else {
        while (*p && static_cast<unsigned char>(*p) != aux->sep) ++p;
    }
    aux->p = p;
    if (!*p) aux->finished = 1;
    return start;
}
