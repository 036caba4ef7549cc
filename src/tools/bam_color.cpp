#include "tools/bam_color.h"

#include <cstring>
#include <string_view>

#include "bam/bam_aux.h"

namespace {

// The value of string field `tag`, or an empty view when the field is
// missing, of another type, or lacks its NUL inside the data block.
std::string_view aux_string(const bam1_t* b, const char tag[2]) {
    const uint8_t* s = bam_aux_get(b, tag);
    if (!s || *s != 'Z') return {};
    const uint8_t* v = s + 1;
    const uint8_t* end = b->data + b->data_len;
    if (v >= end) return {};
    const void* nul = std::memchr(v, 0, static_cast<size_t>(end - v));
    if (!nul) return {};
    return {reinterpret_cast<const char*>(v), static_cast<size_t>(static_cast<const uint8_t*>(nul) - v)};
}

// Index into "CS" of the colour for query position `i`, or -1.  Character 0
// is the primer, so the colours of a read of n bases are 1 to n.
long cs_index(const bam1_t* b, std::string_view cs, int i) {
    const long len = static_cast<long>(cs.size());
    if (i < 0 || i >= len - 1) return -1;
    return rec_is_reverse(b) ? len - i - 1 : i + 1;
}

// The base at query position `i` as a letter, or 0 outside the sequence.
char base_at(const bam1_t* b, int i) {
    if (i < 0 || i >= b->core.l_qseq) return 0;
    return bam_nt16_rev_table[rec_seqi(rec_seq(b), i)];
}

}  // namespace

char bam_aux_getCSi(const bam1_t* b, int i) {
    std::string_view cs = aux_string(b, "CS");
    long k = cs_index(b, cs, i);
    return k < 0 ? 0 : cs[static_cast<size_t>(k)];
}

char bam_aux_getCQi(const bam1_t* b, int i) {
    std::string_view cq = aux_string(b, "CQ");
    const long len = static_cast<long>(cq.size());
    if (i < 0 || i >= len) return 0;
    return cq[static_cast<size_t>(rec_is_reverse(b) ? len - i - 1 : i)];
}

int bam_aux_nt2int(char a) {
    switch (a) {
    case 'A':
    case 'a': return 0;
    case 'C':
    case 'c': return 1;
    case 'G':
    case 'g': return 2;
    case 'T':
    case 't': return 3;
    default: return 4;
    }
}

char bam_aux_ntnt2cs(char a, char b) {
    const int x = bam_aux_nt2int(a), y = bam_aux_nt2int(b);
    if (x == 4 || y == 4) return '4';
    return "0123"[x ^ y];
}

char bam_aux_getCEi(const bam1_t* b, int i) {
    std::string_view cs = aux_string(b, "CS");
    const long k = cs_index(b, cs, i);
    if (k < 0) return 0;
    const char base = base_at(b, i);
    if (!base) return 0;
    char prev;
    if (!rec_is_reverse(b)) {
        prev = i == 0 ? cs[0] : base_at(b, i - 1);
    } else if (i == static_cast<long>(cs.size()) - 2) {
        // The first colour of a reverse read joins the primer, which lies on
        // the other strand: compare against its complement.
        prev = "TGCAN"[bam_aux_nt2int(cs[0])];
    } else {
        prev = base_at(b, i + 1);
    }
    if (!prev) return 0;
    const char colour = cs[static_cast<size_t>(k)];
    return bam_aux_ntnt2cs(prev, base) == colour ? '-' : colour;
}
