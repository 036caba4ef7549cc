// FASTA index: building, loading and fetching.
//
// Offsets in the index are uncompressed positions of the RAZF stream.  The
// build scans the data once; loading checks every index line, and fetching
// reads at most the wanted number of characters after one seek (never more,
// so that consecutive fetches on a forward-only gzip stream still work).
#include "io/faidx.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/text_out.h"
#include "util/region_text.h"

namespace {

bool is_graph(int c) { return std::isgraph(static_cast<unsigned char>(c)) != 0; }
bool is_space(int c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

faidx_t* fai_new() {
    auto* fai = static_cast<faidx_t*>(std::calloc(1, sizeof(faidx_t)));
    if (!fai) return nullptr;
    fai->hash = new kh_str2fai_t;
    return fai;
}

// Appends a sequence; a repeated name keeps both list entries while the map
// holds the later values.
bool fai_add(faidx_t* fai, const std::string& name, const faidx1_t& e) {
    if (fai->n == fai->m) {
        const int m = fai->m ? fai->m * 2 : 16;
        auto* p = static_cast<char**>(std::realloc(fai->name, sizeof(char*) * static_cast<size_t>(m)));
        if (!p) return false;
        fai->name = p;
        fai->m = m;
    }
    char* s = strdup(name.c_str());
    if (!s) return false;
    fai->name[fai->n++] = s;
    int ret;
    const khint_t k = fai->hash->put(s, &ret);
    fai->hash->value(k) = e;
    return true;
}

// Character source over the stream that tracks the uncompressed offset of
// the next character.
struct char_reader {
    RAZF* rz;
    int64_t pos;
    uint8_t buf[RZ_BUFFER_SIZE];
    int len = 0, off = 0;

    explicit char_reader(RAZF* r) : rz(r), pos(r->out) {}
    int get() {
        if (off == len) {
            len = razf_read(rz, buf, sizeof buf);
            off = 0;
            if (len <= 0) {
                len = 0;
                return -1;
            }
        }
        ++pos;
        return buf[off++];
    }
};

// Line-layout states of the sequence being scanned.
enum : int {
    st_uniform = 0,   // all lines so far have the same lengths
    st_header = 1,    // header just read; the next line sets the lengths
    st_last = 2,      // a line of different length was seen: it must be the last
    st_trailing = 3,  // after that, a line without bases was seen
};

// Parses a non-negative decimal field starting at *p (leading blanks
// allowed) into [0, max]; advances *p.
bool parse_field(const char** p, long long max, long long* out) {
    char* end;
    errno = 0;
    const long long v = std::strtoll(*p, &end, 10);
    if (end == *p || errno == ERANGE || v < 0 || v > max) return false;
    *p = end;
    *out = v;
    return true;
}

const faidx1_t* find_seq(const faidx_t* fai, const char* name) {
    const khint_t k = fai->hash->get(name);
    return k == fai->hash->end() ? nullptr : &fai->hash->value(k);
}

// Collects `wanted` bases starting at 0-based base `beg` of `e`.  Null with
// *len 0 when a gzip stream would have to go back.  Null with *len -1 when
// the data ends, or cannot be read, before the last wanted base: a FASTA
// cut or changed after indexing, whose sequence is shorter than its index
// line says or starts beyond the end of the file.
char* read_bases(faidx_t* fai, const faidx1_t& e, int64_t beg, int64_t wanted, int* len, const char* caller) {
    *len = 0;
    if (e.line_blen <= 0) wanted = 0;  // nothing can be positioned in such an entry
    auto* s = static_cast<char*>(std::malloc(static_cast<size_t>(wanted) + 1));
    if (!s) return nullptr;
    int64_t l = 0;
    if (wanted > 0) {
        int64_t pos;
        const int64_t within = beg / e.line_blen * e.line_len + beg % e.line_blen;
        const bool overflow = __builtin_add_overflow(static_cast<int64_t>(e.offset), within, &pos);
        const int64_t at = overflow ? -1 : razf_seek(fai->rz, pos, SEEK_SET);
        if (at > pos && fai->rz->file_type == FILE_TYPE_GZ) {
            std::fprintf(stderr, "[%s] fail to position the FASTA file at offset %lld (a gzip file only seeks forward).\n",
                         caller, static_cast<long long>(pos));
            std::free(s);
            return nullptr;
        }
        // A header line inside the wanted bases ends the sequence early too.
        bool line_start = beg % e.line_blen == 0;
        bool header = false;
        uint8_t buf[RZ_BUFFER_SIZE];
        while (at == pos && l < wanted && !header && !fai->rz->z_err) {
            // Never read past the last wanted base: each character gives at most one.
            const int n = razf_read(fai->rz, buf, static_cast<int>(std::min<int64_t>(wanted - l, sizeof buf)));
            if (n <= 0) break;
            for (int i = 0; i < n && !header; ++i) {
                header = line_start && buf[i] == '>';
                if (is_graph(buf[i]) && !header) s[l++] = static_cast<char>(buf[i]);
                line_start = buf[i] == '\n';
            }
        }
        if (l < wanted) {
            std::free(s);
            *len = -1;
            return nullptr;
        }
    }
    s[l] = '\0';
    *len = static_cast<int>(l);
    return s;
}

// The sequence a region string names: the text before its last colon, or
// else the whole text (then without coordinates).  Null for an unknown name.
const faidx1_t* find_region_seq(const faidx_t* fai, const char* str, region_text_t* r, std::string* name) {
    *r = region_split(str);
    *name = r->name;
    if (const faidx1_t* e = find_seq(fai, r->name.c_str())) return e;
    if (!r->has_colon) return nullptr;
    r->has_coords = false;
    *name = str;
    return find_seq(fai, str);
}

}  // namespace

faidx_t* fai_build_core(RAZF* rz) {
    fai_ptr fai(fai_new());
    if (!fai) return nullptr;
    char_reader r(rz);
    std::string name;
    int64_t len = -1, offset = 0;
    int32_t line_len = 0, line_blen = 0;
    int state = st_uniform;
    int c;
    while ((c = r.get()) >= 0) {
        if (c == '\n') {
            if (state == st_header) {
                offset = r.pos;  // blank lines between a header and its bases
                continue;
            }
            if ((state == st_uniform && len < 0) || state == st_last) continue;
        } else if (c == '>') {
            if (len >= 0 && !fai_add(fai.get(), name, {line_len, line_blen, len, static_cast<uint64_t>(offset)})) return nullptr;
            name.clear();
            while ((c = r.get()) >= 0 && !is_space(c)) name += static_cast<char>(c);
            if (c < 0) {
                std::fprintf(stderr, "[fai_build_core] the last entry has no sequence\n");
                return nullptr;
            }
            if (c != '\n')
                while ((c = r.get()) >= 0 && c != '\n') {}
            len = 0;
            offset = r.pos;
            state = st_header;
            continue;
        }
        // A sequence line starting with c (an empty line when c is '\n').
        if (state == st_trailing) {
            std::fprintf(stderr, "[fai_build_core] inlined empty line is not allowed in sequence '%s'.\n", name.c_str());
            return nullptr;
        }
        int64_t l1 = 0, l2 = 0;
        for (; c >= 0 && c != '\n'; c = r.get()) {
            ++l1;
            if (is_graph(c)) ++l2;
        }
        if (len < 0) {
            // Before the first header only blank lines can be given a meaning.
            if (l2 == 0) continue;
            std::fprintf(stderr, "[fai_build_core] sequence data before the first header line.\n");
            return nullptr;
        }
        if (state == st_last && l2 > 0) {
            std::fprintf(stderr, "[fai_build_core] different line length in sequence '%s'.\n", name.c_str());
            return nullptr;
        }
        len += l2;
        if (len > INT32_MAX || l1 >= INT32_MAX) {
            std::fprintf(stderr, "[fai_build_core] sequence '%s' is too long.\n", name.c_str());
            return nullptr;
        }
        if (state == st_header) {
            line_len = static_cast<int32_t>(l1 + 1);
            line_blen = static_cast<int32_t>(l2);
            state = st_uniform;
        } else if (state == st_uniform) {
            if (l1 + 1 != line_len || l2 != line_blen) state = st_last;
        } else {
            state = st_trailing;
        }
    }
    if (rz->z_err) {
        std::fprintf(stderr, "[fai_build_core] fail to read the FASTA data.\n");
        return nullptr;
    }
    if (len >= 0 && !fai_add(fai.get(), name, {line_len, line_blen, len, static_cast<uint64_t>(offset)})) return nullptr;
    return fai.release();
}

int fai_build(const char* fn) {
    razf_ptr rz(razf_open(fn, "r"));
    if (!rz) {
        std::fprintf(stderr, "[fai_build] fail to open the FASTA file %s\n", fn);
        return -1;
    }
    fai_ptr fai(fai_build_core(rz.get()));
    rz.reset();
    if (!fai) return -1;
    const std::string idx_name = std::string(fn) + ".fai";
    text_out_t* out = text_out_open(idx_name.c_str());
    if (!out) {
        std::fprintf(stderr, "[fai_build] fail to write FASTA index %s\n", idx_name.c_str());
        return -2;
    }
    fai_save(fai.get(), out->fp);
    if (text_out_close(out) < 0) {
        std::fprintf(stderr, "[fai_build] fail to write FASTA index %s\n", idx_name.c_str());
        unlink(idx_name.c_str());  // a partial index would be trusted later
        return -2;
    }
    return 0;
}

void fai_save(const faidx_t* fai, FILE* fp) {
    for (int i = 0; i < fai->n; ++i) {
        const faidx1_t* e = find_seq(fai, fai->name[i]);
        std::fprintf(fp, "%s\t%d\t%lld\t%d\t%d\n", fai->name[i], static_cast<int>(e->len), static_cast<long long>(e->offset),
                     e->line_blen, e->line_len);
    }
}

faidx_t* fai_read(FILE* fp) {
    fai_ptr fai(fai_new());
    if (!fai) return nullptr;
    std::vector<char> buf(0x10000);
    for (int line_no = 1; std::fgets(buf.data(), static_cast<int>(buf.size()), fp); ++line_no) {
        const char* line = buf.data();
        const size_t l = std::strlen(line);
        if (l && line[l - 1] != '\n' && !std::feof(fp)) {
            std::fprintf(stderr, "[fai_read] line %d of the FASTA index is too long.\n", line_no);
            return nullptr;
        }
        if (std::all_of(line, line + l, is_space)) continue;  // blank line
        const char* p = line;
        while (is_graph(*p)) ++p;
        const std::string name(line, p);
        long long len, offset, line_blen, line_len;
        const bool ok = parse_field(&p, INT32_MAX, &len) && parse_field(&p, INT64_MAX, &offset) &&
                        parse_field(&p, INT32_MAX, &line_blen) && parse_field(&p, INT32_MAX, &line_len) &&
                        line_len >= line_blen && (len == 0 || line_blen > 0);
        if (!ok) {
            std::fprintf(stderr,
                         "[fai_read] invalid entry for sequence '%s' on line %d of the FASTA index: it needs "
                         "a length, an offset, the bases per line (not 0 for a non-empty sequence) and the "
                         "bytes per line.\n",
                         name.c_str(), line_no);
            return nullptr;
        }
        faidx1_t e{static_cast<int32_t>(line_len), static_cast<int32_t>(line_blen), len, static_cast<uint64_t>(offset)};
        if (!fai_add(fai.get(), name, e)) return nullptr;
    }
    return fai.release();
}

void fai_destroy(faidx_t* fai) {
    if (!fai) return;
    for (int i = 0; i < fai->n; ++i) std::free(fai->name[i]);
    std::free(fai->name);
    delete fai->hash;
    razf_close(fai->rz);
    std::free(fai);
}

FILE* download_and_open(const char* url) {
    const char* slash = std::strrchr(url, '/');
    const char* local = slash ? slash + 1 : url;
    if (FILE* fp = std::fopen(local, "rb")) return fp;
    switch (knet_download(url, local)) {
    case knet_download_ok: return std::fopen(local, "rb");
    case knet_download_open_failed: std::fprintf(stderr, "[download_from_remote] fail to open remote file %s\n", url); break;
    case knet_download_create_failed:
        std::fprintf(stderr, "[download_from_remote] fail to create file in the working directory %s\n", local);
        break;
    case knet_download_read_failed: break;  // knet_read has said why
    case knet_download_write_failed: std::fprintf(stderr, "[download_from_remote] fail to write %s\n", local); break;
    }
    return nullptr;
}

faidx_t* fai_load(const char* fn) {
    const std::string idx_name = std::string(fn) + ".fai";
    FILE* fp;
    if (knet_is_remote(fn)) {
        fp = download_and_open(idx_name.c_str());
        if (!fp) {
            std::fprintf(stderr, "[fai_load] failed to open remote FASTA index %s\n", idx_name.c_str());
            return nullptr;
        }
    } else {
        fp = std::fopen(idx_name.c_str(), "rb");
        if (!fp) {
            std::fprintf(stderr, "[fai_load] build FASTA index.\n");
            fai_build(fn);
            fp = std::fopen(idx_name.c_str(), "rb");
            if (!fp) {
                std::fprintf(stderr, "[fai_load] fail to open FASTA index.\n");
                return nullptr;
            }
        }
    }
    fai_ptr fai(fai_read(fp));
    std::fclose(fp);
    if (!fai) return nullptr;
    fai->rz = razf_open(fn, "rb");
    if (!fai->rz) {
        std::fprintf(stderr, "[fai_load] fail to open FASTA file.\n");
        return nullptr;
    }
    return fai.release();
}

char* fai_fetch(faidx_t* fai, const char* str, int* len) {
    *len = 0;
    region_text_t r;
    std::string name;
    const faidx1_t* e = find_region_seq(fai, str, &r, &name);
    if (!e) return nullptr;
    long long b = 0, e_end = e->len;
    if (r.has_coords) region_coords(r.coords, e->len, &b, &e_end);
    int64_t beg = b, end = e_end;
    beg = beg > 0 ? beg - 1 : 0;
    beg = std::min(beg, e->len);
    end = std::clamp<int64_t>(end, 0, e->len);
    return read_bases(fai, *e, beg, beg < end ? end - beg : 0, len, "fai_fetch");
}

char* faidx_fetch_seq(faidx_t* fai, const char* c_name, int p_beg_i, int p_end_i, int* len) {
    *len = 0;
    const faidx1_t* e = find_seq(fai, c_name);
    if (!e) return nullptr;
    if (e->len == 0) return read_bases(fai, *e, 0, 0, len, "faidx_fetch_seq");
    if (p_end_i < p_beg_i) p_beg_i = p_end_i;
    const int64_t last = e->len - 1;
    const int64_t beg = std::clamp<int64_t>(p_beg_i, 0, last), end = std::clamp<int64_t>(p_end_i, 0, last);
    return read_bases(fai, *e, beg, end - beg + 1, len, "faidx_fetch_seq");
}

int faidx_fetch_nseq(const faidx_t* fai) { return fai->n; }

bool faidx_seeks_back(const faidx_t* fai) { return fai->rz->file_type != FILE_TYPE_GZ; }

bool fai_region_seq(const faidx_t* fai, const char* str, std::string* name, int64_t* len) {
    region_text_t r;
    const faidx1_t* e = find_region_seq(fai, str, &r, name);
    *len = e ? e->len : 0;
    return e != nullptr;
}
