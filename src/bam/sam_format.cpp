// The SAM text line of a record: the eleven mandatory columns and the
// optional fields, each field checked against the end of the data block.
#include "bam/sam_format.h"

#include <cstdio>
#include <cstring>

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
    default: return nullptr;
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
