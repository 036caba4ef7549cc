// Writing BCF headers and records, and deriving a record's layout from its
// string block.  Every integer goes out through an explicit little-endian
// store; every write is checked against the stream's error state, because a
// BGZF write that fails while flushing a full block still counts its input
// as taken.
#include "call/bcf.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "containers/kstring.h"

namespace {

constexpr uint8_t bcf_magic[4] = {'B', 'C', 'F', 4};
constexpr size_t write_chunk = size_t{1} << 30;  // below the int length of bgzf_write

constexpr uint32_t fmt_key(const char (&k)[3]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(k[0])) << 8 | static_cast<uint8_t>(k[1]);
}
constexpr uint32_t key_pl = fmt_key("PL"), key_dp = fmt_key("DP"), key_hq = fmt_key("HQ"), key_gq = fmt_key("GQ"),
                   key_gt = fmt_key("GT"), key_sp = fmt_key("SP"), key_gl = fmt_key("GL");

void store_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void store_i32(uint8_t* p, int32_t v) { store_u32(p, static_cast<uint32_t>(v)); }
void store_f32(uint8_t* p, float v) {
    static_assert(sizeof(float) == 4);
    uint32_t u;
    std::memcpy(&u, &v, 4);
    store_u32(p, u);
}

// Writes `n` bytes; false when the stream reports a failure.
bool write_bytes(BGZF* fp, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        int chunk = static_cast<int>(n < write_chunk ? n : write_chunk);
        if (bgzf_write(fp, p, chunk) != chunk || fp->error) return false;
        p += chunk;
        n -= static_cast<size_t>(chunk);
    }
    return !fp->error;
}

bool write_i32(BGZF* fp, int32_t v) {
    uint8_t buf[4];
    store_i32(buf, v);
    return write_bytes(fp, buf, 4);
}

// A length and its block agree: non-negative, with data when non-zero.
bool is_block(int32_t l, const void* p) { return l == 0 || (l > 0 && p); }

// Splits a block of NUL-terminated names: *n names starting at (*starts)[i].
// An empty or absent block gives no names; -1 for a negative length, a block
// whose last byte is not NUL, or no memory.
int split_names(char* p, int32_t l, int32_t* n, char*** starts) {
    *n = 0;
    *starts = nullptr;
    if (l < 0) return -1;
    if (l == 0 || !p) return 0;
    if (p[l - 1] != 0) return -1;
    int32_t count = 0;
    for (int32_t i = 0; i < l; ++i) count += p[i] == 0;
    auto* a = static_cast<char**>(std::malloc(sizeof(char*) * static_cast<size_t>(count)));
    if (!a) return -1;
    int32_t k = 0;
    a[k++] = p;
    for (int32_t i = 0; i + 1 < l; ++i)
        if (p[i] == 0) a[k++] = p + i + 1;
    *n = count;
    *starts = a;
    return 0;
}

// The names, each followed by its NUL, concatenated; null for no names.
bool join_names(int n, const char* const* names, char** out, int32_t* l) {
    *out = nullptr;
    *l = 0;
    if (n < 0 || (n > 0 && !names)) return false;
    kstring_t s{0, 0, nullptr};
    for (int i = 0; i < n; ++i) {
        if (kputsn(names[i], std::strlen(names[i]) + 1, &s) < 0 || s.l > INT32_MAX) {
            ks_free(&s);
            return false;
        }
    }
    *out = s.s;
    *l = static_cast<int32_t>(s.l);
    return true;
}

int count_char(const char* p, const char* end, char c) {
    int n = 0;
    for (; p < end; ++p) n += *p == c;
    return n;
}

int reject(const bcf1_t* b, const char* what) {
    std::fprintf(stderr, "[%s] %s at %d:%d\n", "bcf_sync", what, b->tid, b->pos);
    return -1;
}

// Makes room for `n` FORMAT blocks; entries beyond the old capacity are zeroed.
bool reserve_gi(bcf1_t* b, int n) {
    if (n <= b->m_gi) return true;
    int64_t m = 1;
    while (m < n) m <<= 1;
    if (m > INT_MAX) return false;
    auto* gi = static_cast<bcf_ginfo_t*>(std::realloc(b->gi, sizeof(bcf_ginfo_t) * static_cast<size_t>(m)));
    if (!gi) return false;
    std::memset(gi + b->m_gi, 0, sizeof(bcf_ginfo_t) * static_cast<size_t>(m - b->m_gi));
    b->gi = gi;
    b->m_gi = static_cast<int>(m);
    return true;
}

}  // namespace

bcf_t* bcf_open(const char* fn, const char* mode) {
    if (!fn || !mode) return nullptr;
    const bool is_write = std::strchr(mode, 'w') != nullptr;
    if (!is_write && !std::strchr(mode, 'r')) return nullptr;
    BGZF* fp;
    if (std::strcmp(fn, "-") == 0) {
        // The stream writes through its own duplicate of the descriptor and
        // closes only that, so the process's standard files stay open.
        std::string m(1, is_write ? 'w' : 'r');
        for (const char* c = mode; *c; ++c)
            if (*c != 'w' && *c != 'r') m += *c;
        if (is_write) std::fflush(stdout);
        fp = bgzf_fdopen(fileno(is_write ? stdout : stdin), m.c_str());
    } else {
        fp = bgzf_open(fn, mode);
    }
    if (!fp) return nullptr;
    auto* bp = static_cast<bcf_t*>(std::calloc(1, sizeof(bcf_t)));
    if (!bp) {
        bgzf_close(fp);
        return nullptr;
    }
    bp->fp = fp;
    return bp;
}

int bcf_close(bcf_t* bp) {
    if (!bp) return 0;
    int ret = bp->fp ? bgzf_close(bp->fp) : 0;
    std::free(bp);
    return ret;
}

int bcf_hdr_sync(bcf_hdr_t* h) {
    if (!h) return -1;
    std::free(h->ns);
    std::free(h->sns);
    int r1 = split_names(h->name, h->l_nm, &h->n_ref, &h->ns);
    int r2 = split_names(h->sname, h->l_smpl, &h->n_smpl, &h->sns);
    return r1 < 0 || r2 < 0 ? -1 : 0;
}

int bcf_hdr_write(bcf_t* bp, const bcf_hdr_t* h) {
    if (!bp || !bp->fp || !h) return -1;
    if (!is_block(h->l_nm, h->name) || !is_block(h->l_smpl, h->sname) || !is_block(h->l_txt, h->txt)) return -1;
    BGZF* fp = bp->fp;
    bool ok = write_bytes(fp, bcf_magic, 4) && write_i32(fp, h->l_nm) && write_bytes(fp, h->name, h->l_nm) &&
              write_i32(fp, h->l_smpl) && write_bytes(fp, h->sname, h->l_smpl) && write_i32(fp, h->l_txt) &&
              write_bytes(fp, h->txt, h->l_txt);
    if (!ok || bgzf_flush(fp) != 0 || fp->error) return -1;
    return 0;
}

bcf_hdr_t* bcf_hdr_make(int n_ref, const char* const* ref_names, int n_smpl, const char* const* sample_names) {
    auto* h = static_cast<bcf_hdr_t*>(std::calloc(1, sizeof(bcf_hdr_t)));
    if (!h) return nullptr;
    kstring_t txt{0, 0, nullptr};
    bool ok = join_names(n_ref, ref_names, &h->name, &h->l_nm) && join_names(n_smpl, sample_names, &h->sname, &h->l_smpl) &&
              ksprintf(&txt, "##alnkitVersion=%s\n", ALNKIT_VERSION) >= 0;
    h->txt = txt.s;
    h->l_txt = static_cast<int32_t>(txt.l + 1);  // the NUL is part of the text block
    if (!ok || bcf_hdr_sync(h) < 0) {
        bcf_hdr_destroy(h);
        return nullptr;
    }
    return h;
}

void bcf_hdr_destroy(bcf_hdr_t* h) {
    if (!h) return;
    std::free(h->name);
    std::free(h->sname);
    std::free(h->txt);
    std::free(h->ns);
    std::free(h->sns);
    std::free(h);
}

uint32_t bcf_str2int(const char* str, int l) {
    uint32_t x = 0;
    for (int i = 0; i < 4 && i < l; ++i) x = x << 8 | static_cast<uint8_t>(str[i]);
    return x;
}

int64_t bcf_fmt_width(uint32_t fmt, int n_alleles) {
    const int64_t g = static_cast<int64_t>(n_alleles) * (n_alleles + 1) / 2;  // genotypes
    int64_t w = 0;
    if (fmt == key_pl) w = g;
    else if (fmt == key_dp || fmt == key_hq) w = 2;
    else if (fmt == key_gq || fmt == key_gt) w = 1;
    else if (fmt == key_sp) w = 4;
    else if (fmt == key_gl) w = 4 * g;
    return w > INT_MAX ? -1 : w;
}

int bcf_sync(bcf1_t* b) {
    if (!b) return -1;
    b->ref = b->alt = b->flt = b->info = b->fmt = nullptr;
    if (!is_block(b->l_str, b->str)) return reject(b, "invalid string block");
    const char* s = b->str;
    const int32_t l = b->l_str;
    // Every NUL but the block's last byte starts the next field.
    int32_t start[5];
    int n = 0;
    for (int32_t i = 0; i + 1 < l; ++i) {
        if (s[i] != 0) continue;
        if (n == 5) {
            n = 6;
            break;
        }
        start[n++] = i + 1;
    }
    if (n != 5) {
        std::fprintf(stderr, "[%s] incorrect number of fields (%d != 5) at %d:%d\n", "bcf_sync", n, b->tid, b->pos);
        return -1;
    }
    if (s[l - 1] != 0) return reject(b, "unterminated string block");
    if (b->n_smpl < 0) return reject(b, "negative sample count");
    b->ref = b->str + start[0];
    b->alt = b->str + start[1];
    b->flt = b->str + start[2];
    b->info = b->str + start[3];
    b->fmt = b->str + start[4];

    // ALT runs up to the NUL just before FILTER; FORMAT up to the last byte.
    const char* alt_end = s + start[2] - 1;
    b->n_alleles = b->alt == alt_end ? 1 : count_char(b->alt, alt_end, ',') + 2;
    const char* fmt_end = s + l - 1;
    const int n_gi = count_char(b->fmt, fmt_end, ':') + 1;
    if (!reserve_gi(b, n_gi)) return -1;
    b->n_gi = n_gi;
    const char* key = b->fmt;
    for (int i = 0; i < n_gi; ++i) {
        const char* colon = static_cast<const char*>(std::memchr(key, ':', static_cast<size_t>(fmt_end - key)));
        const char* key_end = colon ? colon : fmt_end;
        b->gi[i].fmt = bcf_str2int(key, static_cast<int>(key_end - key));
        key = key_end + 1;
    }
    for (int i = 0; i < n_gi; ++i) {
        bcf_ginfo_t* g = &b->gi[i];
        int64_t w = bcf_fmt_width(g->fmt, b->n_alleles);
        if (w < 0) return reject(b, "too many alleles");
        g->len = static_cast<int>(w);
        const size_t size = static_cast<size_t>(b->n_smpl) * static_cast<size_t>(w);
        if (size == 0) continue;
        void* data = std::realloc(g->data, size);
        if (!data) return -1;
        std::memset(data, 0, size);  // keys the caller does not fill are written as zeros
        g->data = data;
    }
    return 0;
}

int bcf_write(bcf_t* bp, const bcf_hdr_t* h, const bcf1_t* b) {
    if (!bp || !bp->fp || !h || !b) return -1;
    if (!is_block(b->l_str, b->str) || b->n_gi < 0 || b->n_gi > b->m_gi || (b->n_gi > 0 && !b->gi) || h->n_smpl < 0) return -1;
    int64_t total = 16 + static_cast<int64_t>(b->l_str);
    for (int i = 0; i < b->n_gi; ++i) {
        const bcf_ginfo_t* g = &b->gi[i];
        if (g->len < 0 || (g->len > 0 && h->n_smpl > 0 && (b->n_smpl < h->n_smpl || !g->data))) return -1;
        total += static_cast<int64_t>(h->n_smpl) * g->len;
        if (total > INT_MAX) return -1;
    }
    uint8_t head[16];
    store_i32(head, b->tid);
    store_i32(head + 4, b->pos);
    store_f32(head + 8, b->qual);
    store_i32(head + 12, b->l_str);
    BGZF* fp = bp->fp;
    if (!write_bytes(fp, head, sizeof head) || !write_bytes(fp, b->str, static_cast<size_t>(b->l_str))) return -1;
    for (int i = 0; i < b->n_gi; ++i) {
        const bcf_ginfo_t* g = &b->gi[i];
        if (!write_bytes(fp, g->data, static_cast<size_t>(h->n_smpl) * static_cast<size_t>(g->len))) return -1;
    }
    return static_cast<int>(total);
}

int bcf_destroy(bcf1_t* b) {
    if (!b) return -1;
    std::free(b->str);
    for (int i = 0; i < b->m_gi; ++i) std::free(b->gi[i].data);
    std::free(b->gi);
    std::free(b);
    return 0;
}

kh_str2id_t* bcf_str2id_init() { return new (std::nothrow) kh_str2id_t; }

int bcf_str2id(const kh_str2id_t* hash, const char* str) {
    if (!hash || !str) return -1;
    khint_t k = hash->get(str);
    return k == hash->end() ? -1 : hash->value(k);
}

int bcf_str2id_add(kh_str2id_t* hash, const char* str) {
    if (!hash || !str) return -1;
    khint_t k = hash->get(str);
    if (k != hash->end()) return hash->value(k);
    try {
        int ret;
        k = hash->put(str, &ret);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return hash->value(k) = static_cast<int>(hash->size) - 1;
}

void bcf_str2id_thorough_destroy(kh_str2id_t* hash) {
    if (!hash) return;
    for (khint_t k = hash->begin(); k != hash->end(); ++k)
        if (hash->exist(k)) std::free(const_cast<char*>(hash->key(k)));
    delete hash;
}
