// The BAM binary form over a BGZF stream: the header (magic, text,
// reference list) and records (a 32-byte core and the data block), with
// integers little-endian on disk.  Every length read from the stream is
// checked before it is trusted, so damaged input is reported, never read past.
#include "bam/bam_codec.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
    if (block_size < 32 || block_size > (1 << 30) || c->l_qseq < 0 || c->l_qname == 0 || !bam_refs_valid(c, n_targets)) return -4;
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
    if (fixed > data_len || b->data[c->l_qname - 1] != 0 || !cigar_ops_valid(b->data + c->l_qname, c->n_cigar)) return -4;
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
