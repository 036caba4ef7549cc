// Optional fields, libraries, and region strings resolved against a header.
#include "bam/bam_aux.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bam/sam_header.h"
#include "util/region_text.h"

namespace {

template <typename T>
T load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

int array_elem_size(uint8_t sub) {
    switch (sub) {
    case 'c':
    case 'C':
    case 'A': return 1;
    case 's':
    case 'S': return 2;
    case 'i':
    case 'I':
    case 'f': return 4;
    default: return 0;
    }
}

// Bytes of the value that follows the type character at `s`, or -1 when the
// value would run past `end`.
long aux_value_size(const uint8_t* s, const uint8_t* end) {
    const uint8_t* v = s + 1;
    long avail = end - v;
    long size;
    switch (std::toupper(*s)) {
    case 'A':
    case 'C': size = 1; break;
    case 'S': size = 2; break;
    case 'I':
    case 'F': size = 4; break;
    case 'D': size = 8; break;
    case 'Z':
    case 'H': {
        const void* nul = std::memchr(v, 0, avail > 0 ? avail : 0);
        if (!nul) return -1;
        size = static_cast<const uint8_t*>(nul) - v + 1;
        break;
    }
    case 'B':
        if (avail < 5) return -1;
        size = 5 + static_cast<long>(array_elem_size(v[0])) * load<int32_t>(v + 1);
        if (size < 5) return -1;
        break;
    default: size = 0; break;
    }
    return size <= avail ? size : -1;
}

}  // namespace

uint8_t* bam_aux_get(const bam1_t* b, const char tag[2]) {
    uint8_t* s = rec_aux(b);
    const uint8_t* end = b->data + b->data_len;
    while (end - s >= 3) {
        if (s[0] == static_cast<uint8_t>(tag[0]) && s[1] == static_cast<uint8_t>(tag[1])) return s + 2;
        long size = aux_value_size(s + 2, end);
        if (size < 0) return nullptr;
        s += 3 + size;
    }
    return nullptr;
}

int bam_aux_append(bam1_t* b, const char tag[2], char type, int len, const uint8_t* data) {
    if (len < 0 || bam_grow_data(b, static_cast<size_t>(b->data_len) + 3 + len) < 0) return -1;
    uint8_t* p = b->data + b->data_len;
    p[0] = static_cast<uint8_t>(tag[0]);
    p[1] = static_cast<uint8_t>(tag[1]);
    p[2] = static_cast<uint8_t>(type);
    if (len) std::memcpy(p + 3, data, len);
    b->data_len += 3 + len;
    b->l_aux += 3 + len;
    return 0;
}

int bam_aux_del(bam1_t* b, uint8_t* s) {
    uint8_t* end = b->data + b->data_len;
    long size = aux_value_size(s, end);
    if (size < 0) size = end - (s + 1);  // a damaged last field goes entirely
    uint8_t* field = s - 2;
    long field_len = 3 + size;
    std::memmove(field, field + field_len, end - (field + field_len));
    b->data_len -= static_cast<int>(field_len);
    b->l_aux -= static_cast<int>(field_len);
    return 0;
}

int bam_aux_drop_other(bam1_t* b, uint8_t* s) {
    if (!s) {
        b->data_len -= b->l_aux;
        b->l_aux = 0;
        return 0;
    }
    uint8_t* end = b->data + b->data_len;
    long size = aux_value_size(s, end);
    if (size < 0) size = end - (s + 1);
    long field_len = 3 + size;
    uint8_t* aux = rec_aux(b);
    std::memmove(aux, s - 2, field_len);
    b->data_len -= b->l_aux - static_cast<int>(field_len);
    b->l_aux = static_cast<int>(field_len);
    return 0;
}

int32_t bam_aux2i(const uint8_t* s) {
    if (!s) return 0;
    switch (*s) {
    case 'c': return static_cast<int8_t>(s[1]);
    case 'C': return s[1];
    case 's': return load<int16_t>(s + 1);
    case 'S': return load<uint16_t>(s + 1);
    case 'i': return load<int32_t>(s + 1);
    case 'I': return static_cast<int32_t>(load<uint32_t>(s + 1));
    default: return 0;
    }
}

char* bam_aux2Z(const uint8_t* s) {
    return *s == 'Z' || *s == 'H' ? reinterpret_cast<char*>(const_cast<uint8_t*>(s + 1)) : nullptr;
}
float bam_aux2f(const uint8_t* s) { return *s == 'f' ? load<float>(s + 1) : 0.0f; }
double bam_aux2d(const uint8_t* s) { return *s == 'd' ? load<double>(s + 1) : 0.0; }
char bam_aux2A(const uint8_t* s) { return *s == 'A' ? static_cast<char>(s[1]) : '\0'; }

const char* bam_get_library(bam_header_t* h, const bam1_t* b) {
    if (!h->dict) h->dict = sam_header_parse2(h->text);
    if (!h->rg2lib) h->rg2lib = sam_header2tbl(static_cast<const list_t*>(h->dict), "RG", "ID", "LB");
    const uint8_t* rg = bam_aux_get(b, "RG");
    if (!rg) return nullptr;
    // The value must be a string ending inside the record to be looked up.
    const uint8_t* end = b->data + b->data_len;
    if (!std::memchr(rg + 1, 0, end - (rg + 1))) return nullptr;
    return sam_tbl_get(static_cast<const sam_tbl_t*>(h->rg2lib), reinterpret_cast<const char*>(rg + 1));
}

namespace {

int clamp_int(long long v) { return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v); }

}  // namespace

int bam_parse_region(bam_header_t* h, const char* str, int* ref_id, int* beg, int* end) {
    bam_init_header_hash(h);
    *ref_id = *beg = *end = -1;
    region_text_t r = region_split(str);
    bool has_coords = r.has_coords;
    int tid = h->n_targets ? bam_get_tid(h, r.name.c_str()) : -1;
    if (tid < 0) {
        if (!r.has_colon) return -1;
        tid = h->n_targets ? bam_get_tid(h, str) : -1;
        if (tid < 0) {
            if (bam_verbose > 1) std::fprintf(stderr, "[%s] fail to determine the sequence name.\n", "bam_parse_region");
            return -1;
        }
        has_coords = false;  // the whole text names the reference
    }
    if (has_coords) {
        long long b, e;
        region_coords(r.coords, bam_region_max, &b, &e);
        *beg = clamp_int(b);
        *end = clamp_int(e);
        if (*beg > 0) --*beg;
    } else {
        *beg = 0;
        *end = bam_region_max;
    }
    *ref_id = tid;
    return *beg <= *end ? 0 : -1;
}
