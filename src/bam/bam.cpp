// Records and headers: code tables, life cycle, bins, ends, the name map and
// SAM text formatting.
#include "bam/bam.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "bam/sam_header.h"
#include "containers/khash.h"

namespace {

constexpr std::array<uint8_t, 256> make_nt16_table() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = 15;
    t['='] = 0;
    const char* upper = "=ACMGRSVTWYHKDB";
    for (int code = 1; code < 15; ++code) {
        t[static_cast<unsigned char>(upper[code])] = static_cast<uint8_t>(code);
        t[static_cast<unsigned char>(upper[code] + ('a' - 'A'))] = static_cast<uint8_t>(code);
    }
    // Colour-space digits read as bases.
    t['0'] = 1;
    t['1'] = 2;
    t['2'] = 4;
    t['3'] = 8;
    return t;
}

constexpr std::array<uint16_t, 256> make_char2flag_table() {
    std::array<uint16_t, 256> t{};
    const char letters[] = "pPuUrR12sfd";
    for (int i = 0; letters[i]; ++i) t[static_cast<unsigned char>(letters[i])] = static_cast<uint16_t>(1U << i);
    return t;
}

using name_map_t = kh_str2int_t;

uint32_t next_pow2(uint32_t x) {
    --x;
    x |= x >> 1;
    x |= x >> 2;
    x |= x >> 4;
    x |= x >> 8;
    x |= x >> 16;
    return ++x;
}

}  // namespace

const std::array<uint8_t, 256> bam_nt16_table = make_nt16_table();
const int bam_nt16_nt4_table[16] = {4, 0, 1, 4, 2, 4, 4, 4, 3, 4, 4, 4, 4, 4, 4, 4};
const char bam_flag2char_table[16] = {'p', 'P', 'u', 'U', 'r', 'R', '1', '2', 's', 'f', 'd', 0, 0, 0, 0, 0};
const std::array<uint16_t, 256> bam_char2flag_table = make_char2flag_table();

int bam_is_be = 0;
int bam_verbose = 2;

int bam_is_big_endian() {
    const uint32_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 0;
}

bam1_t* bam_init1() { return static_cast<bam1_t*>(std::calloc(1, sizeof(bam1_t))); }

void bam_destroy1(bam1_t* b) {
    if (!b) return;
    std::free(b->data);
    std::free(b);
}

int bam_grow_data(bam1_t* b, size_t n) {
    if (n <= static_cast<size_t>(b->m_data)) return 0;
    if (n > (1U << 31)) return -1;
    uint32_t m = next_pow2(static_cast<uint32_t>(n));
    if (m > 0x7fffffffU) m = 0x7fffffffU;  // int capacity; n fits below it
    auto* p = static_cast<uint8_t*>(std::realloc(b->data, m));
    if (!p) return -1;
    b->data = p;
    b->m_data = static_cast<int>(m);
    return 0;
}

bam1_t* bam_copy1(bam1_t* bdst, const bam1_t* bsrc) {
    if (bam_grow_data(bdst, bsrc->data_len) < 0) return nullptr;
    if (bsrc->data_len) std::memcpy(bdst->data, bsrc->data, bsrc->data_len);
    bdst->core = bsrc->core;
    bdst->l_aux = bsrc->l_aux;
    bdst->data_len = bsrc->data_len;
    return bdst;
}

bam1_t* bam_dup1(const bam1_t* bsrc) {
    bam1_t* b = bam_init1();
    if (!b) return nullptr;
    *b = *bsrc;
    b->m_data = b->data_len;
    b->data = static_cast<uint8_t*>(std::malloc(b->data_len ? b->data_len : 1));
    if (!b->data) {
        std::free(b);
        return nullptr;
    }
    if (bsrc->data_len) std::memcpy(b->data, bsrc->data, bsrc->data_len);
    return b;
}

uint32_t bam_reg2bin(uint32_t beg, uint32_t end) {
    --end;
    if (beg >> 14 == end >> 14) return ((1U << 15) - 1) / 7 + (beg >> 14);
    if (beg >> 17 == end >> 17) return ((1U << 12) - 1) / 7 + (beg >> 17);
    if (beg >> 20 == end >> 20) return ((1U << 9) - 1) / 7 + (beg >> 20);
    if (beg >> 23 == end >> 23) return ((1U << 6) - 1) / 7 + (beg >> 23);
    if (beg >> 26 == end >> 26) return ((1U << 3) - 1) / 7 + (beg >> 26);
    return 0;
}

uint32_t bam_calend(const bam1_core_t* c, const uint8_t* cigar) {
    uint32_t end = static_cast<uint32_t>(c->pos);
    for (int k = 0; k < c->n_cigar; ++k) {
        uint32_t w = cigar_get(cigar, k);
        if (bam_cigar_is_ref(bam_cigar_op(w))) end += bam_cigar_oplen(w);
    }
    return end;
}

int32_t bam_cigar2qlen(const bam1_core_t* c, const uint8_t* cigar) {
    uint32_t l = 0;
    for (int k = 0; k < c->n_cigar; ++k) {
        uint32_t w = cigar_get(cigar, k);
        if (bam_cigar_is_query(bam_cigar_op(w))) l += bam_cigar_oplen(w);
    }
    return static_cast<int32_t>(l);
}

uint16_t bam_rec_bin(const bam1_core_t* c, const uint8_t* cigar) {
    uint32_t beg = static_cast<uint32_t>(c->pos);
    uint32_t end = c->n_cigar ? bam_calend(c, cigar) : beg + 1;
    return static_cast<uint16_t>(bam_reg2bin(beg, end));
}

bam_header_t* bam_header_init() {
    bam_is_be = bam_is_big_endian();
    return static_cast<bam_header_t*>(std::calloc(1, sizeof(bam_header_t)));
}

void bam_header_destroy(bam_header_t* h) {
    if (!h) return;
    if (h->target_name) {
        for (int i = 0; i < h->n_targets; ++i) std::free(h->target_name[i]);
        std::free(h->target_name);
    }
    std::free(h->target_len);
    std::free(h->text);
    if (h->dict) sam_header_free(h->dict);
    if (h->rg2lib) sam_tbl_destroy(h->rg2lib);
    bam_destroy_header_hash(h);
    std::free(h);
}

void bam_init_header_hash(bam_header_t* h) {
    if (h->hash) return;
    auto* map = new name_map_t;
    for (int i = 0; i < h->n_targets; ++i) {
        int ret;
        khint_t k = map->put(h->target_name[i], &ret);
        map->value(k) = i;  // a repeated name maps to its last index
    }
    h->hash = map;
}

void bam_destroy_header_hash(bam_header_t* h) {
    delete static_cast<name_map_t*>(h->hash);
    h->hash = nullptr;
}

int32_t bam_get_tid(const bam_header_t* h, const char* name) {
    auto* map = static_cast<name_map_t*>(h->hash);
    if (!map) return -1;
    khint_t k = map->get(name);
    return k == map->end() ? -1 : map->value(k);
}

// ---- SAM text ----

namespace {

void put_ref_name(kstring_t* s, const bam_header_t* h, int32_t tid) {
    if (h && tid < h->n_targets) kputs(h->target_name[tid], s);
    else kputw(tid, s);
}

template <typename T>
T load_aux(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Appends one optional field starting at its tag; returns the byte after it,
// or null when the field runs past `end`.
const uint8_t* format_aux_field(kstring_t* s, const uint8_t* p, const uint8_t* end) {
    if (end - p < 3) return nullptr;
    kputc('\t', s);
    kputsn(reinterpret_cast<const char*>(p), 2, s);
    kputc(':', s);
    char type = static_cast<char>(p[2]);
    p += 3;
    auto need = [&](ptrdiff_t n) { return end - p >= n; };
    switch (type) {
    case 'A':
        if (!need(1)) return nullptr;
        kputsn("A:", 2, s);
        kputc(*p, s);
        return p + 1;
    case 'c':
        if (!need(1)) return nullptr;
        kputsn("i:", 2, s);
        kputw(static_cast<int8_t>(*p), s);
        return p + 1;
    case 'C':
        if (!need(1)) return nullptr;
        kputsn("i:", 2, s);
        kputuw(*p, s);
        return p + 1;
    case 's':
        if (!need(2)) return nullptr;
        kputsn("i:", 2, s);
        kputw(load_aux<int16_t>(p), s);
        return p + 2;
    case 'S':
        if (!need(2)) return nullptr;
        kputsn("i:", 2, s);
        kputuw(load_aux<uint16_t>(p), s);
        return p + 2;
    case 'i':
        if (!need(4)) return nullptr;
        kputsn("i:", 2, s);
        kputw(load_aux<int32_t>(p), s);
        return p + 4;
    case 'I':
        if (!need(4)) return nullptr;
        kputsn("i:", 2, s);
        kputuw(load_aux<uint32_t>(p), s);
        return p + 4;
    case 'f':
        if (!need(4)) return nullptr;
        ksprintf(s, "f:%g", load_aux<float>(p));
        return p + 4;
    case 'd':
        if (!need(8)) return nullptr;
        ksprintf(s, "d:%lg", load_aux<double>(p));
        return p + 8;
    case 'Z':
    case 'H': {
        const void* nul = std::memchr(p, 0, end - p);
        if (!nul) return nullptr;
        kputc(type, s);
        kputc(':', s);
        size_t n = static_cast<const uint8_t*>(nul) - p;
        kputsn(reinterpret_cast<const char*>(p), n, s);
        return p + n + 1;
    }
    case 'B': {
        if (!need(5)) return nullptr;
        char sub = static_cast<char>(*p);
        int32_t n = load_aux<int32_t>(p + 1);
        p += 5;
        int width = sub == 'c' || sub == 'C' ? 1 : sub == 's' || sub == 'S' ? 2 : sub == 'i' || sub == 'I' || sub == 'f' ? 4 : 0;
        if (!width || n < 0 || !need(static_cast<ptrdiff_t>(n) * width)) return nullptr;
        kputsn("B:", 2, s);
        kputc(sub, s);
        for (int32_t i = 0; i < n; ++i, p += width) {
            kputc(',', s);
            switch (sub) {
            case 'c': kputw(static_cast<int8_t>(*p), s); break;
            case 'C': kputuw(*p, s); break;
            case 's': kputw(load_aux<int16_t>(p), s); break;
            case 'S': kputuw(load_aux<uint16_t>(p), s); break;
            case 'i': kputw(load_aux<int32_t>(p), s); break;
            case 'I': kputuw(load_aux<uint32_t>(p), s); break;
            default: ksprintf(s, "%g", load_aux<float>(p)); break;
            }
        }
        return p;
    }
    default:
        return nullptr;
    }
}

}  // namespace

int bam_format1_append(kstring_t* s, const bam_header_t* h, const bam1_t* b, int of) {
    const bam1_core_t* c = &b->core;
    // Reserve for the fixed-width part up front so that most appends below
    // need no capacity check to fail.
    if (ks_reserve(s, s->l + b->data_len * 2 + 128) < 0) return -1;
    kputsn(rec_qname(b), c->l_qname ? c->l_qname - 1 : 0, s);
    kputc('\t', s);
    if (of == 0) {
        kputuw(c->flag, s);
    } else if (of == 1) {
        ksprintf(s, "0x%x", c->flag);
    } else {
        for (int i = 0; i < 16; ++i)
            if ((c->flag & (1U << i)) && bam_flag2char_table[i]) kputc(bam_flag2char_table[i], s);
    }
    kputc('\t', s);
    if (c->tid < 0) kputc('*', s);
    else put_ref_name(s, h, c->tid);
    kputc('\t', s);
    kputl(static_cast<long long>(c->pos) + 1, s);
    kputc('\t', s);
    kputuw(c->qual, s);
    kputc('\t', s);
    if (c->n_cigar == 0) {
        kputc('*', s);
    } else {
        const uint8_t* cigar = rec_cigar(b);
        for (int i = 0; i < c->n_cigar; ++i) {
            uint32_t w = cigar_get(cigar, i);
            kputuw(bam_cigar_oplen(w), s);
            uint32_t op = bam_cigar_op(w);
            kputc(op < static_cast<uint32_t>(bam_cigar_nops) ? bam_cigar_chars[op] : '?', s);
        }
    }
    kputc('\t', s);
    if (c->mtid < 0) kputc('*', s);
    else if (c->mtid == c->tid) kputc('=', s);
    else put_ref_name(s, h, c->mtid);
    kputc('\t', s);
    kputl(static_cast<long long>(c->mpos) + 1, s);
    kputc('\t', s);
    kputw(c->isize, s);
    kputc('\t', s);
    if (c->l_qseq) {
        if (ks_reserve(s, s->l + 2 * static_cast<size_t>(c->l_qseq) + 2) < 0) return -1;
        const uint8_t* seq = rec_seq(b);
        char* out = s->s + s->l;
        for (int i = 0; i < c->l_qseq; ++i) out[i] = bam_nt16_rev_table[rec_seqi(seq, i)];
        s->l += c->l_qseq;
        s->s[s->l++] = '\t';
        const uint8_t* qual = rec_qual(b);
        if (qual[0] == 0xff) {
            s->s[s->l++] = '*';
        } else {
            out = s->s + s->l;
            for (int i = 0; i < c->l_qseq; ++i) out[i] = static_cast<char>(qual[i] + 33);
            s->l += c->l_qseq;
        }
        s->s[s->l] = 0;
    } else {
        kputsn("*\t*", 3, s);
    }
    const uint8_t* p = rec_aux(b);
    const uint8_t* end = b->data + b->data_len;
    while (p && p < end) p = format_aux_field(s, p, end);
    if (!p) return -1;  // an unknown type or a field cut short: the line would lose data
    return static_cast<int>(s->l);
}

char* bam_format1_core(const bam_header_t* h, const bam1_t* b, int of) {
    kstring_t s{0, 0, nullptr};
    if (bam_format1_append(&s, h, b, of) < 0) {
        ks_free(&s);
        return nullptr;
    }
    return s.s;
}

// ---- BAM binary form ----

namespace {

uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
void store_le32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

bool read_le32(BGZF* fp, int32_t* v) {
    uint8_t buf[4];
    if (bgzf_read(fp, buf, 4) != 4) return false;
    *v = static_cast<int32_t>(load_le32(buf));
    return true;
}

int write_le32(BGZF* fp, int32_t v) {
    uint8_t buf[4];
    store_le32(buf, static_cast<uint32_t>(v));
    return bgzf_write(fp, buf, 4);
}

// Reads `len` bytes into a new zero-filled buffer of len + 1 bytes.  The
// buffer grows with the data actually read, so a length field that lies
// cannot make us allocate more than the file holds.
char* read_counted_bytes(BGZF* fp, int32_t len) {
    if (len < 0) return nullptr;
    constexpr int32_t step = 1 << 20;
    char* buf = nullptr;
    int32_t done = 0;
    do {
        int32_t chunk = std::min(step, len - done);
        auto* grown = static_cast<char*>(std::realloc(buf, static_cast<size_t>(done) + chunk + 1));
        if (!grown) break;
        buf = grown;
        if (chunk && bgzf_read(fp, buf + done, chunk) != chunk) break;
        done += chunk;
        buf[done] = 0;
        if (done == len) return buf;
    } while (true);
    std::free(buf);
    return nullptr;
}

void swap_bytes(uint8_t* p, int n) {
    for (int i = 0, j = n - 1; i < j; ++i, --j) std::swap(p[i], p[j]);
}

// True when every operation code of `n` little-endian CIGAR words is 0..8.
// One bit per code seen, tested once: no branch per operation.
bool cigar_ops_valid(const uint8_t* cigar, int n) {
    uint32_t seen = 0;
    for (int i = 0; i < n; ++i) seen |= 1U << (cigar[4 * i] & BAM_CIGAR_MASK);
    return (seen >> bam_cigar_nops) == 0;
}

bam_header_t* truncated_header(bam_header_t* h) {
    std::fprintf(stderr, "[bam_header_read] truncated or corrupt BAM header.\n");
    bam_header_destroy(h);
    return nullptr;
}

}  // namespace

bam_header_t* bam_header_read(BGZF* fp) {
    errno = 0;
    int eof = bgzf_check_EOF(fp);
    if (eof < 0) {
        if (errno != ESPIPE) std::perror("[bam_header_read] bgzf_check_EOF");
    } else if (eof == 0) {
        std::fprintf(stderr, "[bam_header_read] EOF marker is absent. The input is probably truncated.\n");
    }
    char magic[4];
    if (bgzf_read(fp, magic, 4) != 4 || std::memcmp(magic, "BAM\1", 4) != 0) {
        std::fprintf(stderr, "[bam_header_read] invalid BAM binary header (this is not a BAM file).\n");
        return nullptr;
    }
    bam_header_t* h = bam_header_init();
    int32_t l_text, n_ref;
    if (!read_le32(fp, &l_text) || l_text < 0) return truncated_header(h);
    h->text = read_counted_bytes(fp, l_text);
    if (!h->text) return truncated_header(h);
    h->l_text = h->n_text = static_cast<size_t>(l_text);
    if (!read_le32(fp, &n_ref) || n_ref < 0) return truncated_header(h);
    int capacity = 0;
    for (int32_t i = 0; i < n_ref; ++i) {
        if (h->n_targets == capacity) {
            capacity = capacity ? std::min(capacity * 2, n_ref) : std::min(n_ref, 1024);
            auto* names = static_cast<char**>(std::realloc(h->target_name, sizeof(char*) * capacity));
            if (names) h->target_name = names;
            auto* lens = static_cast<uint32_t*>(std::realloc(h->target_len, sizeof(uint32_t) * capacity));
            if (lens) h->target_len = lens;
            if (!names || !lens) return truncated_header(h);
        }
        int32_t l_name, l_ref;
        // A name has at least one character before its NUL.
        if (!read_le32(fp, &l_name) || l_name < 2) return truncated_header(h);
        char* name = read_counted_bytes(fp, l_name);
        if (!name) return truncated_header(h);
        // The stored length counts the name and its NUL, nothing more.
        if (std::strlen(name) != static_cast<size_t>(l_name) - 1 || !read_le32(fp, &l_ref)) {
            std::free(name);
            return truncated_header(h);
        }
        h->target_name[h->n_targets] = name;
        h->target_len[h->n_targets] = static_cast<uint32_t>(l_ref);
        ++h->n_targets;
    }
    return h;
}

int bam_header_write(BGZF* fp, const bam_header_t* header) {
    bgzf_write(fp, "BAM\1", 4);
    write_le32(fp, static_cast<int32_t>(header->l_text));
    if (header->l_text) bgzf_write(fp, header->text, static_cast<int>(header->l_text));
    write_le32(fp, header->n_targets);
    for (int i = 0; i < header->n_targets; ++i) {
        const char* name = header->target_name[i];
        int32_t l_name = static_cast<int32_t>(std::strlen(name) + 1);
        write_le32(fp, l_name);
        bgzf_write(fp, name, l_name);
        write_le32(fp, static_cast<int32_t>(header->target_len[i]));
    }
    bgzf_flush(fp);
    return 0;
}

void bam_swap_data(const bam1_core_t* c, int data_len, uint8_t* data, bool is_host) {
    uint8_t* cigar = data + c->l_qname;
    for (int i = 0; i < c->n_cigar; ++i) swap_bytes(cigar + 4 * i, 4);
    uint8_t* s = data + rec_data_len(c, 0);
    uint8_t* end = data + data_len;
    while (end - s >= 3) {
        s += 2;
        char type = static_cast<char>(std::toupper(*s));
        ++s;
        int size = type == 'A' || type == 'C' ? 1 : type == 'S' ? 2 : type == 'I' || type == 'F' ? 4 : type == 'D' ? 8 : 0;
        if (size) {
            if (end - s < size) return;
            if (size > 1) swap_bytes(s, size);
            s += size;
        } else if (type == 'Z' || type == 'H') {
            while (s < end && *s) ++s;
            ++s;
        } else if (type == 'B') {
            if (end - s < 5) return;
            uint8_t sub = *s++;
            int32_t n;
            if (is_host) std::memcpy(&n, s, 4);
            swap_bytes(s, 4);
            if (!is_host) std::memcpy(&n, s, 4);
            s += 4;
            int width = sub == 's' || sub == 'S' ? 2 : sub == 'i' || sub == 'I' || sub == 'f' ? 4 : 1;
            if (n < 0 || (end - s) / width < n) return;
            if (width > 1)
                for (int32_t i = 0; i < n; ++i) swap_bytes(s + i * width, width);
            s += static_cast<ptrdiff_t>(n) * width;
        }
    }
}

namespace {

// One record; tid and mtid must be below `n_targets` (INT32_MAX: unknown).
int read_record(BGZF* fp, bam1_t* b, int32_t n_targets) {
    uint8_t buf[32];
    int r = bgzf_read(fp, buf, 4);
    if (r == 0) return -1;
    if (r != 4) return -2;
    int32_t block_size = static_cast<int32_t>(load_le32(buf));
    if (bgzf_read(fp, buf, 32) != 32) return -3;
    bam1_core_t* c = &b->core;
    c->tid = static_cast<int32_t>(load_le32(buf));
    c->pos = static_cast<int32_t>(load_le32(buf + 4));
    uint32_t x = load_le32(buf + 8);
    c->bin = static_cast<uint16_t>(x >> 16);
    c->qual = static_cast<uint8_t>(x >> 8);
    c->l_qname = static_cast<uint8_t>(x);
    x = load_le32(buf + 12);
    c->flag = static_cast<uint16_t>(x >> 16);
    c->n_cigar = static_cast<uint16_t>(x);
    c->l_qseq = static_cast<int32_t>(load_le32(buf + 16));
    c->mtid = static_cast<int32_t>(load_le32(buf + 20));
    c->mpos = static_cast<int32_t>(load_le32(buf + 24));
    c->isize = static_cast<int32_t>(load_le32(buf + 28));
    // A size or length that cannot describe a record means the stream is
    // damaged; it is reported like a truncation.
    if (block_size < 32 || block_size > (1 << 30) || c->l_qseq < 0 || c->l_qname == 0 || !bam_refs_valid(c, n_targets))
        return -4;
    int data_len = block_size - 32;
    // Grow with the data actually read, so that a damaged size field cannot
    // make us allocate far more than the stream holds.
    constexpr int step = 1 << 20;
    for (int done = 0; done < data_len;) {
        int want = data_len - done <= step || data_len <= b->m_data ? data_len - done : step;
        if (bam_grow_data(b, static_cast<size_t>(done) + want) < 0) return -4;
        if (bgzf_read(fp, b->data + done, want) != want) return -4;
        done += want;
    }
    int64_t fixed = static_cast<int64_t>(c->l_qname) + 4 * c->n_cigar + c->l_qseq + (static_cast<int64_t>(c->l_qseq) + 1) / 2;
    if (fixed > data_len || b->data[c->l_qname - 1] != 0 || !cigar_ops_valid(b->data + c->l_qname, c->n_cigar))
        return -4;
    b->data_len = data_len;
    b->l_aux = data_len - static_cast<int>(fixed);
    if (bam_is_be) bam_swap_data(c, data_len, b->data, false);
    return 4 + block_size;
}

}  // namespace

int bam_read1(BGZF* fp, bam1_t* b) { return read_record(fp, b, INT32_MAX); }

int bam_read1_bounded(BGZF* fp, bam1_t* b, int32_t n_targets) { return read_record(fp, b, n_targets); }

int bam_write1_core(BGZF* fp, const bam1_core_t* c, int data_len, uint8_t* data) {
    int32_t block_size = 32 + data_len;
    uint8_t buf[36];
    store_le32(buf, static_cast<uint32_t>(block_size));
    store_le32(buf + 4, static_cast<uint32_t>(c->tid));
    store_le32(buf + 8, static_cast<uint32_t>(c->pos));
    store_le32(buf + 12, static_cast<uint32_t>(c->bin) << 16 | static_cast<uint32_t>(c->qual) << 8 | c->l_qname);
    store_le32(buf + 16, static_cast<uint32_t>(c->flag) << 16 | c->n_cigar);
    store_le32(buf + 20, static_cast<uint32_t>(c->l_qseq));
    store_le32(buf + 24, static_cast<uint32_t>(c->mtid));
    store_le32(buf + 28, static_cast<uint32_t>(c->mpos));
    store_le32(buf + 32, static_cast<uint32_t>(c->isize));
    bgzf_flush_try(fp, 4 + block_size);
    bgzf_write(fp, buf, 36);
    if (bam_is_be) bam_swap_data(c, data_len, data, true);
    bgzf_write(fp, data, data_len);
    if (bam_is_be) bam_swap_data(c, data_len, data, false);
    return 4 + block_size;
}

int bam_write1(BGZF* fp, const bam1_t* b) { return bam_write1_core(fp, &b->core, b->data_len, b->data); }

void bam_report_damage(const char* command, const char* fn, long long n_records, const BGZF* fp) {
    std::string detail = bgzf_error_text(fp);
    std::fprintf(stderr, "[%s] %s: damaged or truncated record after %lld records%s%s%s\n", command, fn, n_records,
                 detail.empty() ? "" : " (", detail.c_str(), detail.empty() ? "" : ")");
}

int bam_validate1(const bam_header_t* header, const bam1_t* b) {
    const bam1_core_t* c = &b->core;
    if (!bam_refs_valid(c, header ? header->n_targets : INT32_MAX)) return 0;
    if (b->data_len < c->l_qname) return 0;
    const void* nul = std::memchr(b->data, 0, c->l_qname);
    if (!nul || static_cast<const uint8_t*>(nul) != b->data + c->l_qname - 1) return 0;
    return 1;
}
