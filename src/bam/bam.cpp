// Records and headers: code tables, life cycle, bins, ends and the name map.
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
