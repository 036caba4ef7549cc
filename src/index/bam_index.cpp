// BAM index building, ".bai" reading and writing, and region iterators.
//
// A chunk is a run of consecutive records sharing one bin; the build keeps
// the offsets of the current run and files it only when the bin changes, so
// the per-record work is one bam_read1, one alignment-end computation and a
// few comparisons.  The ".bai" is written and read with explicit
// little-endian stores and loads, so the host byte order never matters.
#include "index/bam_index.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bam/bam_codec.h"
#include "containers/ksort.h"
#include "io/knetfile.h"

namespace {

constexpr uint8_t bai_magic[4] = {'B', 'A', 'I', 1};
constexpr uint32_t bin_none = 0xffffffffU;

// ---- building ----

// Appends [beg, end) to bin `bin` of one reference.
void insert_offset(kh_i_t* h, uint32_t bin, uint64_t beg, uint64_t end) {
    int ret;
    khint_t k = h->put(bin, &ret);
    bam_binlist_t& l = h->value(k);
    if (ret) l = bam_binlist_t{1, 0, static_cast<pair64_t*>(std::malloc(sizeof(pair64_t)))};
    if (l.n == l.m) {
        l.m = l.m ? l.m << 1 : 1;
        auto* p = static_cast<pair64_t*>(std::realloc(l.list, sizeof(pair64_t) * l.m));
        if (!p) throw std::bad_alloc();
        l.list = p;
    }
    if (!l.list) throw std::bad_alloc();
    l.list[l.n++] = pair64_t{beg, end};
}

// Enters a mapped record into the linear index.  The length follows the
// current record (it can shrink after a long record), as readers expect.
void insert_offset2(bam_lidx_t* l, const bam1_t* b, uint64_t offset) {
    int64_t first = b->core.pos >> bam_lidx_shift;
    int64_t rec_end = static_cast<int32_t>(bam_calend(&b->core, rec_cigar(b)));
    int64_t last = (rec_end - 1) >> bam_lidx_shift;
    if (l->m < last + 1) {
        int64_t m = 1;
        while (m < last + 1) m <<= 1;
        auto* p = static_cast<uint64_t*>(std::realloc(l->offset, sizeof(uint64_t) * static_cast<size_t>(m)));
        if (!p) throw std::bad_alloc();
        std::memset(p + l->m, 0, sizeof(uint64_t) * static_cast<size_t>(m - l->m));
        l->offset = p;
        l->m = static_cast<int32_t>(m);
    }
    for (int64_t w = std::max<int64_t>(first, 0); w <= last; ++w)
        if (l->offset[w] == 0) l->offset[w] = offset;
    l->n = static_cast<int32_t>(std::max<int64_t>(last + 1, 0));
}

// Joins consecutive chunks of a bin that meet inside one BGZF block.
void merge_chunks(bam_index_t* idx) {
    for (int i = 0; i < idx->n; ++i) {
        kh_i_t* h = idx->index[i];
        for (khint_t k = h->begin(); k != h->end(); ++k) {
            if (!h->exist(k) || h->key(k) == bam_meta_bin) continue;
            bam_binlist_t& l = h->value(k);
            if (l.n < 2) continue;
            uint32_t m = 0;
            for (uint32_t j = 1; j < l.n; ++j) {
                if (l.list[m].v >> 16 == l.list[j].u >> 16)  // same BGZF block
                    l.list[m].v = l.list[j].v;
                else l.list[++m] = l.list[j];
            }
            l.n = m + 1;
        }
    }
}

// Windows without a record of their own take the entry of the window before.
void fill_missing(bam_index_t* idx) {
    for (int i = 0; i < idx->n; ++i) {
        bam_lidx_t& l = idx->index2[i];
        for (int32_t w = 1; w < l.n; ++w)
            if (l.offset[w] == 0) l.offset[w] = l.offset[w - 1];
    }
}

bam_index_t* index_create(int32_t n) {
    auto* idx = static_cast<bam_index_t*>(std::calloc(1, sizeof(bam_index_t)));
    if (!idx) throw std::bad_alloc();
    idx->n = n;
    idx->index = static_cast<kh_i_t**>(std::calloc(n > 0 ? static_cast<size_t>(n) : 1, sizeof(kh_i_t*)));
    idx->index2 = static_cast<bam_lidx_t*>(std::calloc(n > 0 ? static_cast<size_t>(n) : 1, sizeof(bam_lidx_t)));
    if (!idx->index || !idx->index2) {
        bam_index_destroy(idx);
        throw std::bad_alloc();
    }
    for (int32_t i = 0; i < n; ++i) idx->index[i] = new kh_i_t;
    return idx;
}

// ---- .bai encoding ----

void put_u32(std::string& s, uint32_t x) {
    char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(x >> (8 * i));
    s.append(b, 4);
}
void put_u64(std::string& s, uint64_t x) {
    char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(x >> (8 * i));
    s.append(b, 8);
}

// Bounded little-endian reader over a byte image.
struct bai_reader {
    const uint8_t* p;
    size_t left;
    bool ok = true;

    bool has(size_t n) const { return ok && left >= n; }
    uint64_t get(int bytes) {
        if (!has(static_cast<size_t>(bytes))) {
            ok = false;
            return 0;
        }
        uint64_t x = 0;
        for (int i = 0; i < bytes; ++i) x |= static_cast<uint64_t>(p[i]) << (8 * i);
        p += bytes;
        left -= static_cast<size_t>(bytes);
        return x;
    }
    uint32_t u32() { return static_cast<uint32_t>(get(4)); }
    uint64_t u64() { return get(8); }
    // A count of items of at least `item_size` bytes each: it must be
    // non-negative and fit in what remains.
    int32_t count(size_t item_size) {
        int32_t n = static_cast<int32_t>(u32());
        if (!ok || n < 0 || static_cast<size_t>(n) > left / item_size) {
            ok = false;
            return 0;
        }
        return n;
    }
};

// The chunk list of one bin; the count is already checked against the bytes left.
bool read_bin(bai_reader& r, kh_i_t* h) {
    uint32_t bin = r.u32();
    int32_t n_chunk = r.count(16);
    if (!r.ok) return false;
    // No bin lies above the metadata bin, which holds exactly its two pairs.
    if (bin > bam_meta_bin || (bin == bam_meta_bin && n_chunk != 2)) return r.ok = false;
    int ret;
    khint_t k = h->put(bin, &ret);
    bam_binlist_t& l = h->value(k);
    if (!ret) std::free(l.list);  // a repeated bin replaces the earlier list
    l = bam_binlist_t{static_cast<uint32_t>(n_chunk), static_cast<uint32_t>(n_chunk), nullptr};
    if (n_chunk == 0) return true;
    l.list = static_cast<pair64_t*>(std::malloc(sizeof(pair64_t) * static_cast<size_t>(n_chunk)));
    if (!l.list) throw std::bad_alloc();
    for (int32_t j = 0; j < n_chunk; ++j) {
        l.list[j].u = r.u64();
        l.list[j].v = r.u64();
    }
    return r.ok;
}

bool read_lidx(bai_reader& r, bam_lidx_t* l) {
    int32_t n_intv = r.count(8);
    if (!r.ok) return false;
    l->n = l->m = n_intv;
    if (n_intv == 0) return true;
    l->offset = static_cast<uint64_t*>(std::malloc(sizeof(uint64_t) * static_cast<size_t>(n_intv)));
    if (!l->offset) throw std::bad_alloc();
    for (int32_t j = 0; j < n_intv; ++j) l->offset[j] = r.u64();
    return r.ok;
}

bool read_file_bytes(FILE* fp, std::vector<uint8_t>* out) {
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) out->insert(out->end(), buf, buf + n);
    return !std::ferror(fp);
}

// Opens the index of `fn`: fn.bai, then (for x.bam) x.bai.
FILE* open_local_index(const char* fn) {
    std::string name(fn);
    if (knet_is_remote(fn)) name = name.substr(name.rfind('/') + 1);
    FILE* fp = std::fopen((name + ".bai").c_str(), "rb");
    if (!fp && name.size() >= 3 && name.compare(name.size() - 3, 3, "bam") == 0) {
        name.back() = 'i';
        fp = std::fopen(name.c_str(), "rb");
    }
    return fp;
}

// Copies `url` to its last path component in the working directory; a
// failed copy leaves no file.
void download_from_remote(const char* url) {
    const char* base = std::strrchr(url, '/');
    base = base ? base + 1 : url;
    switch (knet_download(url, base)) {
    case knet_download_ok: break;
    case knet_download_open_failed: std::fprintf(stderr, "[download_from_remote] fail to open remote file.\n"); break;
    case knet_download_create_failed:
        std::fprintf(stderr, "[download_from_remote] fail to create file in the working directory.\n");
        break;
    case knet_download_read_failed: break;  // knet_read has said why
    case knet_download_write_failed: std::fprintf(stderr, "[download_from_remote] fail to write %s\n", base); break;
    }
}

// ---- queries ----

// Smallest virtual offset a record overlapping window beg>>14 can have.
uint64_t linear_min_offset(const bam_lidx_t& l, int beg) {
    if (l.n == 0) return 0;
    int32_t w = beg >> bam_lidx_shift;
    uint64_t min_off = w < l.n ? l.offset[w] : l.offset[l.n - 1];
    if (min_off == 0)
        for (int32_t j = std::min(w, l.n) - 1; j >= 0 && min_off == 0; --j) min_off = l.offset[j];
    return min_off;
}

// Moves to the next chunk; false (with *ret set) when the iteration ends.
bool next_chunk(BGZF* fp, bam_iter_s* it, int* ret) {
    // With this file's index, reading stops exactly at a chunk end.
    if (it->i >= 0 && it->curr_off > it->off[it->i].v) {
        *ret = bam_iter_emismatch;
        return false;
    }
    if (it->i == it->n_off - 1) {
        *ret = -1;
        return false;
    }
    uint64_t target = it->off[it->i + 1].u;
    if (it->i < 0 || target != it->curr_off) {
        if (bgzf_seek(fp, static_cast<int64_t>(target), SEEK_SET) < 0) {
            *ret = bam_iter_eseek;
            return false;
        }
        it->curr_off = static_cast<uint64_t>(bgzf_voffset(fp));
    }
    ++it->i;
    return true;
}

}  // namespace

namespace {

// Builds the index; `fn`, when given, names the file in the damage report.
// A damaged or cut record ends the build with the index of the records
// before it and sets *damaged.
bam_index_t* build_index(BGZF* fp, const char* fn, bool* damaged) {
    bam_header_ptr h(bam_header_read(fp));
    if (!h) {
        std::fprintf(stderr, "[bam_index_core] fail to read the BAM header.\n");
        return nullptr;
    }
    bam_index_ptr idx(index_create(h->n_targets));
    h.reset();
    bam1_ptr rec = bam1_make();
    bam1_t* b = rec.get();
    const bam1_core_t* c = &b->core;

    int32_t last_tid = -1, save_tid = -1;
    uint32_t last_bin = bin_none, save_bin = bin_none;
    int32_t last_coor = -1;
    uint64_t n_mapped = 0, n_unmapped = 0, n_no_coor = 0;
    uint64_t last_off = static_cast<uint64_t>(bgzf_voffset(fp));
    uint64_t save_off = last_off, off_beg = last_off;
    bool unplaced_tail = false;
    long long n_read = 0;
    int ret;
    // A record naming a reference the header lacks counts as damaged.
    const int32_t n_targets = idx->n;
    while ((ret = bam_read1_bounded(fp, b, n_targets)) >= 0) {
        ++n_read;
        if (c->tid < 0) ++n_no_coor;
        if (last_tid < c->tid) {
            last_tid = c->tid;
            last_bin = bin_none;
        } else if (last_tid >= 0 && c->tid < 0) {
            last_tid = c->tid;
            last_bin = bin_none;
        } else if (c->tid < last_tid) {
            std::fprintf(stderr, "[bam_index_core] the alignment is not sorted (%s): %d-th chr > %d-th chr\n", rec_qname(b),
                         last_tid + 1, c->tid + 1);
            return nullptr;
        } else if (c->tid >= 0 && c->pos < last_coor) {
            std::fprintf(stderr, "[bam_index_core] the alignment is not sorted (%s): %u > %u in %d-th chr\n", rec_qname(b),
                         static_cast<unsigned>(last_coor), static_cast<unsigned>(c->pos), c->tid + 1);
            return nullptr;
        }
        if (c->tid >= 0 && !(c->flag & BAM_FUNMAP)) insert_offset2(&idx->index2[c->tid], b, last_off);
        if (c->bin != last_bin) {
            if (save_bin != bin_none) insert_offset(idx->index[save_tid], save_bin, save_off, last_off);
            if (last_bin == bin_none && save_tid != -1) {
                insert_offset(idx->index[save_tid], bam_meta_bin, off_beg, last_off);
                insert_offset(idx->index[save_tid], bam_meta_bin, n_mapped, n_unmapped);
                n_mapped = n_unmapped = 0;
                off_beg = last_off;
            }
            save_off = last_off;
            save_bin = last_bin = c->bin;
            save_tid = c->tid;
            if (save_tid < 0) {
                unplaced_tail = true;
                break;
            }
        }
        uint64_t now = static_cast<uint64_t>(bgzf_voffset(fp));
        if (now <= last_off) {
            std::fprintf(stderr, "[bam_index_core] bug in BGZF/RAZF: %llx < %llx\n", static_cast<unsigned long long>(now),
                         static_cast<unsigned long long>(last_off));
            return nullptr;
        }
        if (c->flag & BAM_FUNMAP) ++n_unmapped;
        else ++n_mapped;
        last_coor = c->pos;
        last_off = now;
    }
    if (!unplaced_tail) {
        if (save_tid >= 0) {
            uint64_t now = static_cast<uint64_t>(bgzf_voffset(fp));
            insert_offset(idx->index[save_tid], save_bin, save_off, now);
            insert_offset(idx->index[save_tid], bam_meta_bin, off_beg, now);
            insert_offset(idx->index[save_tid], bam_meta_bin, n_mapped, n_unmapped);
        }
        merge_chunks(idx.get());
        fill_missing(idx.get());
    } else {
        merge_chunks(idx.get());
        fill_missing(idx.get());
        while ((ret = bam_read1_bounded(fp, b, n_targets)) >= 0) {
            ++n_read;
            ++n_no_coor;
            if (c->tid >= 0) {
                std::fprintf(stderr,
                             "[bam_index_core] the alignment is not sorted: reads without coordinates prior to reads "
                             "with coordinates.\n");
                return nullptr;
            }
        }
    }
    if (ret < -1) {
        std::fprintf(stderr, "[bam_index_core] truncated file? Continue anyway. (%d)\n", ret);
        if (fn) bam_report_damage("bam_index_core", fn, n_read, fp);
        *damaged = true;
    }
    idx->n_no_coor = n_no_coor;
    return idx.release();
}

}  // namespace

bam_index_t* bam_index_core(BGZF* fp) {
    bool damaged = false;
    return build_index(fp, nullptr, &damaged);
}

void bam_index_destroy(bam_index_t* idx) {
    if (!idx) return;
    for (int32_t i = 0; i < idx->n; ++i) {
        if (idx->index && idx->index[i]) {
            kh_i_t* h = idx->index[i];
            for (khint_t k = h->begin(); k != h->end(); ++k)
                if (h->exist(k)) std::free(h->value(k).list);
            delete h;
        }
        if (idx->index2) std::free(idx->index2[i].offset);
    }
    std::free(idx->index);
    std::free(idx->index2);
    std::free(idx);
}

int bam_index_save(const bam_index_t* idx, FILE* fp) {
    std::string s(reinterpret_cast<const char*>(bai_magic), 4);
    put_u32(s, static_cast<uint32_t>(idx->n));
    for (int32_t i = 0; i < idx->n; ++i) {
        const kh_i_t* h = idx->index[i];
        put_u32(s, h->size);
        for (khint_t k = h->begin(); k != h->end(); ++k) {
            if (!h->exist(k)) continue;
            const bam_binlist_t& l = h->value(k);
            put_u32(s, h->key(k));
            put_u32(s, l.n);
            for (uint32_t j = 0; j < l.n; ++j) {
                put_u64(s, l.list[j].u);
                put_u64(s, l.list[j].v);
            }
        }
        const bam_lidx_t& l = idx->index2[i];
        put_u32(s, static_cast<uint32_t>(l.n));
        for (int32_t j = 0; j < l.n; ++j) put_u64(s, l.offset[j]);
        // Bound the buffer for indexes of very large files.
        if (s.size() >= (1U << 22)) {
            if (std::fwrite(s.data(), 1, s.size(), fp) != s.size()) return -1;
            s.clear();
        }
    }
    put_u64(s, idx->n_no_coor);
    if (std::fwrite(s.data(), 1, s.size(), fp) != s.size()) return -1;
    return std::fflush(fp) == 0 ? 0 : -1;
}

bam_index_t* bam_index_decode(const uint8_t* p, size_t n, bai_status* status) {
    *status = bai_ok;
    if (n < 4 || std::memcmp(p, bai_magic, 4) != 0) {
        *status = bai_bad_magic;
        return nullptr;
    }
    bai_reader r{p + 4, n - 4};
    // Every reference takes at least its two counts.
    int32_t n_ref = r.count(8);
    if (!r.ok) {
        *status = bai_corrupt;
        return nullptr;
    }
    bam_index_ptr idx(index_create(n_ref));
    for (int32_t i = 0; i < n_ref; ++i) {
        int32_t n_bin = r.count(8);  // bin number and chunk count
        for (int32_t j = 0; j < n_bin && r.ok; ++j)
            if (!read_bin(r, idx->index[i])) break;
        if (!r.ok || !read_lidx(r, &idx->index2[i])) {
            *status = bai_corrupt;
            return nullptr;
        }
    }
    // The trailing count is optional, but a partial one means a cut file,
    // and bytes after it mean the counts before did not describe the file.
    if (r.left > 0) {
        idx->n_no_coor = r.u64();
        if (!r.ok || r.left > 0) {
            *status = bai_corrupt;
            return nullptr;
        }
    }
    return idx.release();
}

bam_index_t* bam_index_load_local(const char* fn) {
    FILE* fp = open_local_index(fn);
    if (!fp) return nullptr;
    std::vector<uint8_t> bytes;
    bool read_ok = read_file_bytes(fp, &bytes);
    std::fclose(fp);
    bai_status st = bai_corrupt;
    bam_index_t* idx = read_ok ? bam_index_decode(bytes.data(), bytes.size(), &st) : nullptr;
    if (st == bai_bad_magic) std::fprintf(stderr, "[bam_index_load] wrong magic number.\n");
    else if (!idx) std::fprintf(stderr, "[bam_index_load] truncated or corrupt index file.\n");
    return idx;
}

bam_index_t* bam_index_load(const char* fn) {
    if (bam_index_t* idx = bam_index_load_local(fn)) return idx;
    if (knet_is_remote(fn)) {
        std::fprintf(stderr, "[bam_index_load] attempting to download the remote index file.\n");
        download_from_remote((std::string(fn) + ".bai").c_str());
        if (bam_index_t* idx = bam_index_load_local(fn)) return idx;
    }
    std::fprintf(stderr, "[bam_index_load] fail to load BAM index.\n");
    return nullptr;
}

int bam_index_build2(const char* fn, const char* fn_idx, thread_pool* pool) {
    BGZF* fp = bgzf_open(fn, "r");
    if (!fp) {
        std::fprintf(stderr, "[bam_index_build2] fail to open the BAM file.\n");
        return -1;
    }
    if (pool) bgzf_set_pool(fp, pool);
    bool damaged = false;
    bam_index_ptr idx(build_index(fp, fn, &damaged));
    bgzf_close(fp);
    if (!idx) {
        std::fprintf(stderr, "[bam_index_build2] fail to index the BAM file.\n");
        return -1;
    }
    std::string name = fn_idx ? std::string(fn_idx) : std::string(fn) + ".bai";
    FILE* out = std::fopen(name.c_str(), "wb");
    if (!out) {
        std::fprintf(stderr, "[bam_index_build2] fail to create the index file.\n");
        return -1;
    }
    int ret = bam_index_save(idx.get(), out);
    if (std::fclose(out) != 0) ret = -1;
    if (ret < 0) {
        std::fprintf(stderr, "[bam_index_build2] fail to write the index file.\n");
        unlink(name.c_str());  // a partial index would be loaded later and fail there
        return -1;
    }
    // The index of the records before the damage is kept, but the build of
    // the whole file failed: regions after the damage would look empty.
    return damaged ? -1 : 0;
}

int bam_index_build(const char* fn) { return bam_index_build2(fn, nullptr); }

// ---- region iterator ----

int bam_reg2bins(uint32_t beg, uint32_t end, uint16_t* list) {
    if (beg >= end) return 0;
    if (end >= 1U << 29) end = 1U << 29;
    --end;
    int i = 0;
    list[i++] = 0;
    constexpr struct {
        uint32_t first;
        int shift;
    } levels[] = {{1, 26}, {9, 23}, {73, 20}, {585, 17}, {4681, 14}};
    for (const auto& lv : levels)
        for (uint32_t k = lv.first + (beg >> lv.shift); k <= lv.first + (end >> lv.shift); ++k)
            list[i++] = static_cast<uint16_t>(k);
    return i;
}

int bam_compact_chunks(pair64_t* off, int n) {
    if (n < 2) return n;
    int l = 0;
    for (int i = 1; i < n; ++i)  // drop chunks ending inside an earlier one
        if (off[i].v > off[l].v) off[++l] = off[i];
    n = l + 1;
    for (int i = 1; i < n; ++i)  // clip overlaps
        if (off[i - 1].v >= off[i].u) off[i - 1].v = off[i].u;
    l = 0;
    for (int i = 1; i < n; ++i) {  // join neighbours inside one block
        if (off[l].v >> 16 == off[i].u >> 16) off[l].v = off[i].v;
        else off[++l] = off[i];
    }
    return l + 1;
}

bam_iter_t bam_iter_query(const bam_index_t* idx, int tid, int beg, int end) {
    if (beg < 0) beg = 0;
    if (end < beg) return nullptr;
    auto* it = static_cast<bam_iter_s*>(std::calloc(1, sizeof(bam_iter_s)));
    if (!it) throw std::bad_alloc();
    it->tid = tid;
    it->beg = beg;
    it->end = end;
    it->i = -1;
    it->n_targets = idx->n;
    if (tid < 0 || tid >= idx->n) return it;

    std::vector<uint16_t> bins(bam_max_bin);
    int n_bins = bam_reg2bins(static_cast<uint32_t>(beg), static_cast<uint32_t>(end), bins.data());
    uint64_t min_off = linear_min_offset(idx->index2[tid], beg);
    const kh_i_t* h = idx->index[tid];
    size_t n_off = 0;
    for (int i = 0; i < n_bins; ++i) {
        khint_t k = h->get(bins[i]);
        if (k != h->end()) n_off += h->value(k).n;
    }
    if (n_off == 0) return it;
    auto* off = static_cast<pair64_t*>(std::malloc(sizeof(pair64_t) * n_off));
    if (!off) {
        std::free(it);
        throw std::bad_alloc();
    }
    size_t n = 0;
    for (int i = 0; i < n_bins; ++i) {
        khint_t k = h->get(bins[i]);
        if (k == h->end()) continue;
        const bam_binlist_t& l = h->value(k);
        for (uint32_t j = 0; j < l.n; ++j)
            if (l.list[j].v > min_off) off[n++] = l.list[j];
    }
    if (n == 0) {
        std::free(off);
        return it;
    }
    ks_introsort(n, off, [](const pair64_t& a, const pair64_t& b) { return a.u < b.u; });
    it->n_off = bam_compact_chunks(off, static_cast<int>(n));
    it->off = off;
    return it;
}

int bam_iter_read(BGZF* fp, bam_iter_t iter, bam1_t* b) {
    if (!iter) return bam_read1(fp, b);
    if (iter->finished) return -1;
    if (iter->from_first) {
        int ret = bam_read1(fp, b);
        if (ret < 0) iter->finished = 1;
        return ret;
    }
    if (!iter->off) return -1;
    for (;;) {
        if (iter->curr_off == 0 || iter->curr_off >= iter->off[iter->i].v) {
            int ret;
            if (!next_chunk(fp, iter, &ret)) {
                iter->finished = 1;
                return ret;
            }
        }
        // Every chunk of this file's index starts with a record of the
        // region's reference and ends where a record ends.
        const bool at_chunk_start = iter->curr_off == iter->off[iter->i].u;
        int ret = bam_read1_bounded(fp, b, iter->n_targets);
        if (ret < 0) {
            iter->finished = 1;
            // The last chunk may end where the stream does, after the
            // end-of-file block; ending before a chunk's end means the index
            // points past the data (or the file was cut).
            if (ret == -1 && static_cast<uint64_t>(bgzf_voffset(fp)) < iter->off[iter->i].v)
                return at_chunk_start ? bam_iter_eseek : bam_iter_emismatch;
            return ret;
        }
        iter->curr_off = static_cast<uint64_t>(bgzf_voffset(fp));
        const bam1_core_t* c = &b->core;
        if (c->tid != iter->tid || c->pos >= iter->end) {
            iter->finished = 1;
            // Not the end of the region but records that do not fit the
            // chunks: one running past its chunk's end (a returned record
            // doing so is caught on the next call), or a chunk starting on
            // another reference.
            if (iter->curr_off > iter->off[iter->i].v || (at_chunk_start && c->tid != iter->tid)) return bam_iter_emismatch;
            return bam_validate1(nullptr, b) ? -1 : bam_iter_einvalid;
        }
        uint32_t rec_end = c->n_cigar ? bam_calend(c, rec_cigar(b)) : static_cast<uint32_t>(c->pos) + 1;
        uint32_t beg = static_cast<uint32_t>(iter->beg), end = static_cast<uint32_t>(iter->end);
        if (rec_end > beg && end > static_cast<uint32_t>(c->pos)) return ret;
    }
}

void bam_iter_destroy(bam_iter_t iter) {
    if (!iter) return;
    std::free(iter->off);
    std::free(iter);
}

uint64_t bam_index_placed_end(const bam_index_t* idx) {
    uint64_t end = 0;
    for (int32_t i = 0; i < idx->n; ++i) {
        const kh_i_t* h = idx->index[i];
        for (khint_t k = h->begin(); k != h->end(); ++k) {
            if (!h->exist(k) || h->key(k) == bam_meta_bin) continue;  // its pairs are not all offsets
            const bam_binlist_t& bins = h->value(k);
            for (uint32_t j = 0; j < bins.n; ++j) end = std::max(end, bins.list[j].v);
        }
    }
    return end;
}

int bam_fetch(BGZF* fp, const bam_index_t* idx, int tid, int beg, int end, void* data, bam_fetch_f func) {
    bam1_ptr b = bam1_make();
    bam_iter_ptr iter(bam_iter_query(idx, tid, beg, end));
    int ret;
    while ((ret = bam_iter_read(fp, iter.get(), b.get())) >= 0) func(b.get(), data);
    return ret == -1 ? 0 : ret;
}

int bam_fetch_unplaced(BGZF* fp, const bam_index_t* idx, int64_t first_record, void* data, bam_fetch_f func) {
    const uint64_t placed_end = bam_index_placed_end(idx);
    if (bgzf_seek(fp, placed_end ? static_cast<int64_t>(placed_end) : first_record, SEEK_SET) < 0) return bam_iter_eseek;
    bam1_ptr b = bam1_make();
    int ret;
    while ((ret = bam_read1_bounded(fp, b.get(), idx->n)) >= 0)
        if (b->core.tid < 0) func(b.get(), data);
    return ret == -1 ? 0 : ret;
}
