// The alignment record and header shared by every command, their code tables,
// bins, alignment ends and query lengths, and the reference-name map.
//
// A record owns one data block laid out as: query name with its NUL, CIGAR
// words (host order), 4-bit packed sequence, qualities, optional fields.  The
// CIGAR words follow a name of any length and are therefore not 4-byte
// aligned: read and write them with cigar_get/cigar_set, never through a
// uint32_t pointer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

// Flag bits.
enum : uint16_t {
    BAM_FPAIRED = 0x1,
    BAM_FPROPER_PAIR = 0x2,
    BAM_FUNMAP = 0x4,
    BAM_FMUNMAP = 0x8,
    BAM_FREVERSE = 0x10,
    BAM_FMREVERSE = 0x20,
    BAM_FREAD1 = 0x40,
    BAM_FREAD2 = 0x80,
    BAM_FSECONDARY = 0x100,
    BAM_FQCFAIL = 0x200,
    BAM_FDUP = 0x400,
};

// CIGAR operation codes; a CIGAR word is length << BAM_CIGAR_SHIFT | code.
enum : uint32_t {
    BAM_CMATCH = 0,
    BAM_CINS = 1,
    BAM_CDEL = 2,
    BAM_CREF_SKIP = 3,
    BAM_CSOFT_CLIP = 4,
    BAM_CHARD_CLIP = 5,
    BAM_CPAD = 6,
    BAM_CEQUAL = 7,
    BAM_CDIFF = 8,
    BAM_CIGAR_SHIFT = 4,
    BAM_CIGAR_MASK = 0xf,
};
inline constexpr char bam_cigar_chars[] = "MIDNSHP=X";
inline constexpr int bam_cigar_nops = 9;
inline uint32_t bam_cigar_op(uint32_t w) { return w & BAM_CIGAR_MASK; }
inline uint32_t bam_cigar_oplen(uint32_t w) { return w >> BAM_CIGAR_SHIFT; }
// Operations M, I, S, = and X consume query; M, D, N, = and X consume reference.
inline bool bam_cigar_is_query(uint32_t op) { return op < 9 && ((0x193U >> op) & 1); }
inline bool bam_cigar_is_ref(uint32_t op) { return op < 9 && ((0x18dU >> op) & 1); }

// Character to 4-bit nucleotide code ('=' 0, A 1, C 2, ... N and the rest 15).
extern const std::array<uint8_t, 256> bam_nt16_table;
// 4-bit code to character.
inline constexpr char bam_nt16_rev_table[] = "=ACMGRSVTWYHKDBN";
// 4-bit code to 2-bit code: A 0, C 1, G 2, T 3, anything else 4.
extern const int bam_nt16_nt4_table[16];
// Flag bit index to its letter ("pPuUrR12sfd"; bits 11-15 have none).
extern const char bam_flag2char_table[16];
// Character to the flag bit it names (0 for characters without a bit).
extern const std::array<uint16_t, 256> bam_char2flag_table;

struct bam1_core_t {
    int32_t tid;
    int32_t pos;
    uint16_t bin;
    uint8_t qual;
    uint8_t l_qname;
    uint16_t flag;
    uint16_t n_cigar;
    int32_t l_qseq;
    int32_t mtid;
    int32_t mpos;
    int32_t isize;
};
static_assert(sizeof(bam1_core_t) == 32);

struct bam1_t {
    bam1_core_t core;
    int l_aux, data_len, m_data;
    uint8_t* data;
};

// Views into the data block.
inline char* rec_qname(const bam1_t* b) { return reinterpret_cast<char*>(b->data); }
inline uint8_t* rec_cigar(const bam1_t* b) { return b->data + b->core.l_qname; }
inline uint8_t* rec_seq(const bam1_t* b) { return rec_cigar(b) + 4 * b->core.n_cigar; }
inline uint8_t* rec_qual(const bam1_t* b) { return rec_seq(b) + ((b->core.l_qseq + 1) >> 1); }
inline uint8_t* rec_aux(const bam1_t* b) { return rec_qual(b) + b->core.l_qseq; }
inline int rec_seqi(const uint8_t* seq, int i) { return (seq[i >> 1] >> ((~i & 1) << 2)) & 0xf; }
inline uint32_t cigar_get(const uint8_t* cigar, int i) {
    uint32_t w;
    std::memcpy(&w, cigar + 4 * i, 4);
    return w;
}
inline void cigar_set(uint8_t* cigar, int i, uint32_t w) { std::memcpy(cigar + 4 * i, &w, 4); }
inline bool rec_is_reverse(const bam1_t* b) { return b->core.flag & BAM_FREVERSE; }
inline bool rec_is_mate_reverse(const bam1_t* b) { return b->core.flag & BAM_FMREVERSE; }

// Size of the data block implied by the core fields and `l_aux`.
inline int rec_data_len(const bam1_core_t* c, int l_aux) {
    return c->l_qname + 4 * c->n_cigar + ((c->l_qseq + 1) >> 1) + c->l_qseq + l_aux;
}

// Record life cycle.  A record grows its block on demand and never shrinks it.
bam1_t* bam_init1();
void bam_destroy1(bam1_t* b);
// Ensures capacity for `n` bytes (next power of two); returns 0 or -1.
int bam_grow_data(bam1_t* b, size_t n);
bam1_t* bam_copy1(bam1_t* bdst, const bam1_t* bsrc);
bam1_t* bam_dup1(const bam1_t* bsrc);

struct bam1_deleter {
    void operator()(bam1_t* b) const { bam_destroy1(b); }
};
using bam1_ptr = std::unique_ptr<bam1_t, bam1_deleter>;
inline bam1_ptr bam1_make() { return bam1_ptr(bam_init1()); }

uint32_t bam_reg2bin(uint32_t beg, uint32_t end);
uint32_t bam_calend(const bam1_core_t* c, const uint8_t* cigar);
int32_t bam_cigar2qlen(const bam1_core_t* c, const uint8_t* cigar);
// Bin of a record: from pos to its alignment end, or to pos + 1 without CIGAR.
uint16_t bam_rec_bin(const bam1_core_t* c, const uint8_t* cigar);

struct bam_header_t {
    int32_t n_targets;
    char** target_name;
    uint32_t* target_len;
    void* dict;    // header-text dictionary, built on first use
    void* hash;    // reference name -> tid, built on first use
    void* rg2lib;  // read-group ID -> library, built on first use
    size_t l_text, n_text;
    char* text;
};

// Process-wide settings.
extern int bam_is_be;    // host stores integers big-endian
extern int bam_verbose;  // verbosity level; fixed at 2
int bam_is_big_endian();

bam_header_t* bam_header_init();
void bam_header_destroy(bam_header_t* h);
struct bam_header_deleter {
    void operator()(bam_header_t* h) const { bam_header_destroy(h); }
};
using bam_header_ptr = std::unique_ptr<bam_header_t, bam_header_deleter>;

void bam_init_header_hash(bam_header_t* h);
void bam_destroy_header_hash(bam_header_t* h);
int32_t bam_get_tid(const bam_header_t* h, const char* name);
