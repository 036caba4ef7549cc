// Parsing SAM text and reference lists.
//
// Every field is a token ending at white space other than the space
// character; a record reuses its data block, and nothing is allocated per
// record once the buffers have grown.
#include "bam/bam_import.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bam/sam_header.h"

namespace {

constexpr int sam_buffer_size = 16384;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads the next field; false when the input was exhausted, leaving an empty
// field rather than the text of the previous one.
bool next_field(tamFile fp, int* dret) {
    if (ks_getuntil(fp->ks, KS_SEP_TAB, &fp->str, dret) >= 0) return true;
    fp->str.l = 0;
    if (fp->str.s) fp->str.s[0] = 0;
    return false;
}

int parse_error(tamFile fp, const char* msg) {
    fp->err = msg;
    return SAM_PARSE_ERROR;
}

// Decimal value of a token that starts with a digit (or '-'), like atoi but
// without overflow traps: the value wraps to 32 bits.
int32_t token_int(const char* s) {
    long long v = std::strtoll(s, nullptr, 10);
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(v)));
}

uint16_t parse_flag(const char* s) {
    char* end;
    long v = std::strtol(s, &end, 0);
    if (*end == 0) return static_cast<uint16_t>(v);
    uint16_t flag = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) flag |= bam_char2flag_table[*p];
    return flag;
}

int cigar_code(char c) {
    switch (std::toupper(static_cast<unsigned char>(c))) {
    case 'M': return BAM_CMATCH;
    case 'I': return BAM_CINS;
    case 'D': return BAM_CDEL;
    case 'N': return BAM_CREF_SKIP;
    case 'S': return BAM_CSOFT_CLIP;
    case 'H': return BAM_CHARD_CLIP;
    case 'P': return BAM_CPAD;
    case '=': return BAM_CEQUAL;
    case 'X': return BAM_CDIFF;
    default: return -1;
    }
}

// Appends the CIGAR in fp->str to the data block at b->data_len.
int parse_cigar(tamFile fp, bam1_t* b) {
    const char* s = fp->str.s;
    size_t n_ops = 0;
    for (const char* p = s; *p; ++p) {
        if (std::isalpha(static_cast<unsigned char>(*p)) || *p == '=') ++n_ops;
        else if (!is_digit(*p)) return parse_error(fp, "invalid CIGAR character");
    }
    if (n_ops > 0xffff) return parse_error(fp, "too many CIGAR operations");
    if (bam_grow_data(b, b->data_len + 4 * n_ops) < 0) return parse_error(fp, "out of memory");
    uint8_t* cigar = b->data + b->data_len;
    const char* p = s;
    for (size_t i = 0; i < n_ops; ++i) {
        unsigned long long len = 0;
        while (is_digit(*p)) {
            len = len * 10 + static_cast<unsigned>(*p - '0');
            if (len >> 28) return parse_error(fp, "CIGAR operation too long");
            ++p;
        }
        int op = cigar_code(*p);
        if (op < 0) return parse_error(fp, "invalid CIGAR operation");
        ++p;
        cigar_set(cigar, static_cast<int>(i), static_cast<uint32_t>(len) << BAM_CIGAR_SHIFT | static_cast<uint32_t>(op));
    }
    if (*p) return parse_error(fp, "unmatched CIGAR operation");
    b->core.n_cigar = static_cast<uint16_t>(n_ops);
    b->data_len += static_cast<int>(4 * n_ops);
    return 0;
}

template <typename T>
void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// Appends `n` bytes of room to the data block; null when memory runs out.
uint8_t* append_room(bam1_t* b, size_t n) {
    if (bam_grow_data(b, b->data_len + n) < 0) return nullptr;
    uint8_t* p = b->data + b->data_len;
    b->data_len += static_cast<int>(n);
    return p;
}

int parse_int_field(tamFile fp, bam1_t* b, const char* value) {
    long long x = std::strtoll(value, nullptr, 10);
    if (x < INT32_MIN || x > static_cast<long long>(UINT32_MAX))
        std::fprintf(stderr, "Parse warning at line %lld: integer %lld is out of range.", static_cast<long long>(fp->n_lines), x);
    uint8_t* p;
    if (x < 0) {
        if (x >= -127) {
            if (!(p = append_room(b, 2))) return parse_error(fp, "out of memory");
            p[0] = 'c';
            store<int8_t>(p + 1, static_cast<int8_t>(x));
        } else if (x >= -32767) {
            if (!(p = append_room(b, 3))) return parse_error(fp, "out of memory");
            p[0] = 's';
            store<int16_t>(p + 1, static_cast<int16_t>(x));
        } else {
            if (!(p = append_room(b, 5))) return parse_error(fp, "out of memory");
            p[0] = 'i';
            store<int32_t>(p + 1, static_cast<int32_t>(static_cast<uint32_t>(x)));
        }
    } else if (x <= 255) {
        if (!(p = append_room(b, 2))) return parse_error(fp, "out of memory");
        p[0] = 'C';
        p[1] = static_cast<uint8_t>(x);
    } else if (x <= 65535) {
        if (!(p = append_room(b, 3))) return parse_error(fp, "out of memory");
        p[0] = 'S';
        store<uint16_t>(p + 1, static_cast<uint16_t>(x));
    } else {
        if (!(p = append_room(b, 5))) return parse_error(fp, "out of memory");
        p[0] = 'I';
        store<uint32_t>(p + 1, static_cast<uint32_t>(x));
    }
    return 0;
}

bool is_hex_digit(char c) { return is_digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

int parse_array_field(tamFile fp, bam1_t* b, const char* s, size_t len) {
    if (len < 8) return parse_error(fp, "too few values in aux type B");
    char sub = s[5];
    int width;
    switch (sub) {
    case 'c':
    case 'C': width = 1; break;
    case 's':
    case 'S': width = 2; break;
    case 'i':
    case 'I':
    case 'f': width = 4; break;
    default: return parse_error(fp, "unrecognized array type");
    }
    int32_t n = 0;
    for (const char* q = s + 6; *q; ++q)
        if (*q == ',') ++n;
    uint8_t* p = append_room(b, 6 + static_cast<size_t>(n) * width);
    if (!p) return parse_error(fp, "out of memory");
    p[0] = 'B';
    p[1] = static_cast<uint8_t>(sub);
    store<int32_t>(p + 2, n);
    p += 6;
    // Each element follows a comma; conversion never passes a comma, so the
    // walk stays inside the token.
    char* q = const_cast<char*>(s + 6);
    for (int32_t i = 0; i < n; ++i, p += width) {
        while (*q && *q != ',') ++q;  // skip junk after a malformed element
        if (!*q) break;
        ++q;
        if (sub == 'f') {
            store<float>(p, static_cast<float>(std::strtod(q, &q)));
            continue;
        }
        unsigned long v = static_cast<unsigned long>(std::strtol(q, &q, 0));
        if (width == 1) p[0] = static_cast<uint8_t>(v);
        else if (width == 2) store<uint16_t>(p, static_cast<uint16_t>(v));
        else store<uint32_t>(p, static_cast<uint32_t>(v));
    }
    return 0;
}

// Appends one optional field from the token in fp->str.
int parse_aux_field(tamFile fp, bam1_t* b) {
    const char* s = fp->str.s;
    size_t len = fp->str.l;
    if (len <= 5 || s[2] != ':' || s[4] != ':') return parse_error(fp, "missing colon in auxiliary data");
    uint8_t* tag = append_room(b, 2);
    if (!tag) return parse_error(fp, "out of memory");
    tag[0] = static_cast<uint8_t>(s[0]);
    tag[1] = static_cast<uint8_t>(s[1]);
    char type = s[3];
    uint8_t* p;
    switch (type) {
    case 'A':
    case 'a':
    case 'c':
    case 'C':
        if (!(p = append_room(b, 2))) return parse_error(fp, "out of memory");
        p[0] = 'A';
        p[1] = static_cast<uint8_t>(s[5]);
        return 0;
    case 'i':
    case 'I': return parse_int_field(fp, b, s + 5);
    case 'f':
        if (!(p = append_room(b, 5))) return parse_error(fp, "out of memory");
        p[0] = 'f';
        store<float>(p + 1, static_cast<float>(std::strtod(s + 5, nullptr)));
        return 0;
    case 'd':
        if (!(p = append_room(b, 9))) return parse_error(fp, "out of memory");
        p[0] = 'd';
        store<double>(p + 1, std::strtod(s + 5, nullptr));
        return 0;
    case 'Z':
    case 'H':
        if (type == 'H') {
            if ((len - 5) % 2 == 1) return parse_error(fp, "length of the hex string not even");
            for (size_t i = 5; i < len; ++i)
                if (!is_hex_digit(s[i])) return parse_error(fp, "invalid hex character");
        }
        if (!(p = append_room(b, len - 5 + 2))) return parse_error(fp, "out of memory");
        p[0] = static_cast<uint8_t>(type);
        std::memcpy(p + 1, s + 5, len - 5 + 1);  // with the NUL
        return 0;
    case 'B': return parse_array_field(fp, b, s, len);
    default: return parse_error(fp, "unrecognized type");
    }
}

void pack_sequence(const char* s, int len, uint8_t* out) {
    int i = 0;
    for (; i + 1 < len; i += 2)
        out[i >> 1] = static_cast<uint8_t>(bam_nt16_table[static_cast<unsigned char>(s[i])] << 4 |
                                           bam_nt16_table[static_cast<unsigned char>(s[i + 1])]);
    if (i < len) out[i >> 1] = static_cast<uint8_t>(bam_nt16_table[static_cast<unsigned char>(s[i])] << 4);
}

// Reads the query name: the pending first token, or the next non-empty one.
bool read_qname(tamFile fp, int* dret) {
    if (fp->is_first) {
        fp->is_first = 0;
        return true;
    }
    do {
        if (!next_field(fp, dret)) return false;
    } while (fp->str.l == 0);
    return true;
}

}  // namespace

tamFile sam_open(const char* fn) {
    gzFile gz = std::strcmp(fn, "-") == 0 ? gzdopen(dup(STDIN_FILENO), "rb") : gzopen(fn, "rb");
    if (!gz) return nullptr;
    auto* fp = static_cast<tamFile>(std::calloc(1, sizeof(tamFile_t)));
    if (!fp) {
        gzclose(gz);
        return nullptr;
    }
    fp->fp = gz;
    fp->ks = ks_init_gz(gz, sam_buffer_size);
    if (!fp->ks) {
        gzclose(gz);
        std::free(fp);
        return nullptr;
    }
    return fp;
}

void sam_close(tamFile fp) {
    if (!fp) return;
    ks_destroy(fp->ks);
    gzclose(fp->fp);
    ks_free(&fp->str);
    std::free(fp);
}

namespace {

void append_header_text(bam_header_t* h, const char* s, size_t n) {
    size_t need = h->l_text + n + 2;
    if (need > h->n_text) {
        size_t m = 1;
        while (m < need) m <<= 1;
        auto* p = static_cast<char*>(std::realloc(h->text, m));
        if (!p) {
            std::fprintf(stderr, "realloc failed to alloc %ld bytes\n", static_cast<long>(m));
            std::exit(1);
        }
        h->text = p;
        h->n_text = m;
    }
    std::memcpy(h->text + h->l_text, s, n);
    h->l_text += n;
    h->text[h->l_text] = 0;
}

}  // namespace

bam_header_t* sam_header_read(tamFile fp) {
    bam_header_t* h = bam_header_init();
    fp->is_first = 0;
    int dret;
    while (ks_getuntil(fp->ks, KS_SEP_TAB, &fp->str, &dret) >= 0) {
        if (fp->str.l == 0 || fp->str.s[0] != '@') {
            fp->is_first = fp->str.l != 0;
            break;
        }
        append_header_text(h, fp->str.s, fp->str.l);
        if (dret == '\n') {
            append_header_text(h, "\n", 1);
        } else {
            if (dret) {
                char d = static_cast<char>(dret);
                append_header_text(h, &d, 1);
                ks_getuntil(fp->ks, '\n', &fp->str, &dret);
                append_header_text(h, fp->str.s, fp->str.l);
            }
            append_header_text(h, "\n", 1);
        }
        ++fp->n_lines;
    }
    sam_header_parse(h);
    bam_init_header_hash(h);
    return h;
}

int sam_header_parse(bam_header_t* h) {
    if (h->target_name) {
        for (int i = 0; i < h->n_targets; ++i) std::free(h->target_name[i]);
        std::free(h->target_name);
    }
    std::free(h->target_len);
    h->target_name = nullptr;
    h->target_len = nullptr;
    h->n_targets = 0;
    bam_destroy_header_hash(h);  // the names it borrowed are gone
    if (h->l_text <= 2) return 0;
    if (!h->dict) h->dict = sam_header_parse2(h->text);
    // A reference is an SQ line with both a name and a length; lines lacking
    // either are skipped, so that names and lengths stay paired.
    int n = 0;
    for (const list_t* l = static_cast<const list_t*>(h->dict); l; l = l->next) {
        auto* line = static_cast<const HeaderLine*>(l->data);
        if (line->type[0] == 'S' && line->type[1] == 'Q') ++n;
    }
    if (!n) return 0;
    h->target_name = static_cast<char**>(std::calloc(n, sizeof(char*)));
    h->target_len = static_cast<uint32_t*>(std::calloc(n, sizeof(uint32_t)));
    int k = 0;
    for (const list_t* l = static_cast<const list_t*>(h->dict); l; l = l->next) {
        auto* line = static_cast<const HeaderLine*>(l->data);
        if (line->type[0] != 'S' || line->type[1] != 'Q') continue;
        const char *sn = nullptr, *ln = nullptr;
        for (const list_t* t = line->tags; t; t = t->next) {
            auto* tag = static_cast<const HeaderTag*>(t->data);
            if (!sn && tag->key[0] == 'S' && tag->key[1] == 'N') sn = tag->value;
            if (!ln && tag->key[0] == 'L' && tag->key[1] == 'N') ln = tag->value;
        }
        if (!sn || !ln) {
            std::fprintf(stderr, "[sam_header_parse] an @SQ line without SN or LN is ignored.\n");
            continue;
        }
        h->target_name[k] = strdup(sn);
        h->target_len[k] = static_cast<uint32_t>(std::strtoul(ln, nullptr, 10));
        ++k;
    }
    h->n_targets = k;
    return k;
}

int sam_read1_checked(tamFile fp, bam_header_t* header, bam1_t* b) {
    bam1_core_t* c = &b->core;
    int dret = 0;
    fp->err = nullptr;
    // 1. QNAME
    if (!read_qname(fp, &dret)) return -1;
    ++fp->n_lines;
    int total = static_cast<int>(fp->str.l) + 1;
    if (fp->str.l > 254) return parse_error(fp, "query name too long");
    c->l_qname = static_cast<uint8_t>(fp->str.l + 1);
    b->data_len = 0;
    uint8_t* name = append_room(b, c->l_qname);
    if (!name) return parse_error(fp, "out of memory");
    std::memcpy(name, fp->str.s, c->l_qname);
    // 2. FLAG
    next_field(fp, &dret);
    total += static_cast<int>(fp->str.l) + 1;
    c->flag = parse_flag(fp->str.s);
    // 3. RNAME
    next_field(fp, &dret);
    total += static_cast<int>(fp->str.l) + 1;
    c->tid = bam_get_tid(header, fp->str.s);
    if (c->tid < 0 && std::strcmp(fp->str.s, "*") != 0) {
        if (header->n_targets == 0) return SAM_MISSING_HEADER;
        std::fprintf(stderr, "[sam_read1] reference '%s' is recognized as '*'.\n", fp->str.s);
    }
    // 4. POS
    next_field(fp, &dret);
    total += static_cast<int>(fp->str.l) + 1;
    c->pos = is_digit(fp->str.s[0]) ? token_int(fp->str.s) - 1 : -1;
    // 5. MAPQ
    if (!next_field(fp, &dret)) return -2;
    total += static_cast<int>(fp->str.l) + 1;
    c->qual = is_digit(fp->str.s[0]) ? static_cast<uint8_t>(token_int(fp->str.s)) : 0;
    // 6. CIGAR
    if (!next_field(fp, &dret)) return -3;
    total += static_cast<int>(fp->str.l) + 1;
    c->n_cigar = 0;
    if (std::strcmp(fp->str.s, "*") == 0) {
        if (!(c->flag & BAM_FUNMAP)) {
            std::fprintf(stderr, "Parse warning at line %lld: mapped sequence without CIGAR\n",
                         static_cast<long long>(fp->n_lines));
            c->flag |= BAM_FUNMAP;
        }
    } else if (int r = parse_cigar(fp, b); r < 0) {
        return r;
    }
    c->bin = bam_rec_bin(c, rec_cigar(b));
    // 7. RNEXT
    next_field(fp, &dret);
    total += static_cast<int>(fp->str.l) + 1;
    c->mtid = std::strcmp(fp->str.s, "=") == 0 ? c->tid : bam_get_tid(header, fp->str.s);
    // 8. PNEXT
    next_field(fp, &dret);
    total += static_cast<int>(fp->str.l) + 1;
    c->mpos = is_digit(fp->str.s[0]) ? token_int(fp->str.s) - 1 : -1;
    // 9. TLEN
    if (!next_field(fp, &dret)) return -4;
    total += static_cast<int>(fp->str.l) + 1;
    c->isize = fp->str.s[0] == '-' || is_digit(fp->str.s[0]) ? token_int(fp->str.s) : 0;
    // 10. SEQ
    if (!next_field(fp, &dret)) return -5;
    total += static_cast<int>(fp->str.l) + 1;
    int l_seq_bytes = 0;
    if (std::strcmp(fp->str.s, "*") == 0) {
        c->l_qseq = 0;
    } else {
        if (fp->str.l > INT32_MAX / 2) return parse_error(fp, "sequence too long");
        c->l_qseq = static_cast<int32_t>(fp->str.l);
        if (c->n_cigar) {
            int32_t qlen = bam_cigar2qlen(c, rec_cigar(b));
            if (c->l_qseq != qlen) {
                std::fprintf(stderr, "Line %ld, sequence length %i vs %i from CIGAR\n", static_cast<long>(fp->n_lines), c->l_qseq,
                             qlen);
                return parse_error(fp, "CIGAR and sequence length are inconsistent");
            }
        }
        l_seq_bytes = (c->l_qseq + 1) >> 1;
        uint8_t* seq = append_room(b, l_seq_bytes + static_cast<size_t>(c->l_qseq));
        if (!seq) return parse_error(fp, "out of memory");
        b->data_len -= c->l_qseq;  // the qualities are placed below
        pack_sequence(fp->str.s, c->l_qseq, seq);
    }
    // 11. QUAL
    if (!next_field(fp, &dret)) return -6;
    total += static_cast<int>(fp->str.l) + 1;
    uint8_t* qual = b->data + b->data_len;
    if (std::strcmp(fp->str.s, "*") != 0) {
        if (fp->str.l != static_cast<size_t>(c->l_qseq)) return parse_error(fp, "sequence and quality are inconsistent");
        for (int i = 0; i < c->l_qseq; ++i) qual[i] = static_cast<uint8_t>(fp->str.s[i] - 33);
    } else if (c->l_qseq) {
        std::memset(qual, 0xff, c->l_qseq);
    }
    b->data_len += c->l_qseq;
    int core_len = b->data_len;
    // 12-13. Optional fields, up to the end of the line.
    if (dret != '\n' && dret != '\r') {
        while (next_field(fp, &dret)) {
            total += static_cast<int>(fp->str.l) + 1;
            if (int r = parse_aux_field(fp, b); r < 0) return r;
            if (dret == '\n' || dret == '\r') break;
        }
    }
    b->l_aux = b->data_len - core_len;
    return total;
}

int sam_read1(tamFile fp, bam_header_t* header, bam1_t* b) {
    int r = sam_read1_checked(fp, header, b);
    if (r == SAM_PARSE_ERROR) {
        std::fprintf(stderr, "Parse error at line %lld: %s\n", static_cast<long long>(fp->n_lines), fp->err);
        std::exit(1);
    }
    if (r == SAM_MISSING_HEADER) {
        std::fprintf(stderr, "[sam_read1] missing header? Abort!\n");
        std::exit(1);
    }
    return r;
}

bam_header_t* sam_header_read2(const char* fn) {
    if (!fn) return nullptr;
    gzFile gz = std::strcmp(fn, "-") == 0 ? gzdopen(dup(STDIN_FILENO), "rb") : gzopen(fn, "rb");
    if (!gz) return nullptr;
    kstream_t* ks = ks_init_gz(gz, sam_buffer_size);
    if (!ks) {
        gzclose(gz);
        return nullptr;
    }
    kstring_owner str;
    kh_str2int_t seen;  // names are owned by `names`
    int n = 0, cap = 0, dret = 0;
    char** names = nullptr;
    uint32_t* lens = nullptr;
    bool failed = false;
    while (ks_getuntil(ks, KS_SEP_SPACE, str.get(), &dret) > 0) {
        char* name = strdup(str->s);
        int ret;
        seen.put(name, &ret);
        if (ret == 0) {
            std::fprintf(stderr, "[sam_header_read2] duplicated sequence name: %s\n", name);
            failed = true;
            std::free(name);
        }
        ks_getuntil(ks, KS_SEP_SPACE, str.get(), &dret);
        uint32_t len = static_cast<uint32_t>(std::strtoul(str->s, nullptr, 10));
        if (ret != 0) {
            if (n == cap) {
                cap = cap ? cap * 2 : 256;
                names = static_cast<char**>(std::realloc(names, sizeof(char*) * cap));
                lens = static_cast<uint32_t*>(std::realloc(lens, sizeof(uint32_t) * cap));
            }
            names[n] = name;
            lens[n++] = len;
        }
        if (dret != '\n') ks_getuntil(ks, '\n', str.get(), &dret);  // rest of the line
    }
    ks_destroy(ks);
    gzclose(gz);
    std::fprintf(stderr, "[sam_header_read2] %d sequences loaded.\n", n);
    if (failed) {
        for (int i = 0; i < n; ++i) std::free(names[i]);
        std::free(names);
        std::free(lens);
        return nullptr;
    }
    bam_header_t* h = bam_header_init();
    h->n_targets = n;
    h->target_name = names;
    h->target_len = lens;
    bam_init_header_hash(h);
    return h;
}
