// RAZF / gzip / plain reader.
//
// Invariant for compressed streams: the file position of `x` equals
// `in` + `stream->avail_in`, so a restart only has to position the file and
// drop the pending input.  Lengths and offsets read from the file (header,
// trailer, block index) are checked against the bytes actually present
// before they are trusted.
#include "io/razf.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

constexpr int gz_flag_hcrc = 0x02, gz_flag_extra = 0x04, gz_flag_name = 0x08, gz_flag_comment = 0x10;
constexpr int trailer_size = 16;

uint32_t load_be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint64_t load_be64(const uint8_t* p) { return static_cast<uint64_t>(load_be32(p)) << 32 | load_be32(p + 4); }

// Reads exactly `n` bytes; false on a short read or an error.
bool read_exact(knetFile* fp, void* buf, size_t n) { return knet_read(fp, buf, n) == static_cast<ssize_t>(n); }

struct gzip_header_t {
    int size = 0;  // bytes up to the deflate data
    const uint8_t* extra = nullptr;
    int extra_len = 0;
};

// Parses a gzip member header lying entirely within p[0..n).
bool parse_gzip_header(const uint8_t* p, size_t n, gzip_header_t* h) {
    if (n < 10 || p[0] != 31 || p[1] != 139 || p[2] != 8 || (p[3] & 0xE0)) return false;
    const int flags = p[3];
    size_t pos = 10;
    if (flags & gz_flag_extra) {
        if (pos + 2 > n) return false;
        h->extra_len = p[10] | p[11] << 8;
        pos += 2;
        h->extra = p + pos;
        pos += static_cast<size_t>(h->extra_len);
        if (pos > n) return false;
    }
    for (int f : {gz_flag_name, gz_flag_comment}) {
        if (!(flags & f)) continue;
        const void* nul = pos < n ? std::memchr(p + pos, 0, n - pos) : nullptr;
        if (!nul) return false;
        pos = static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) + 1;
    }
    if (flags & gz_flag_hcrc) pos += 2;
    if (pos > n) return false;
    h->size = static_cast<int>(pos);
    return true;
}

void free_index(ZBlockIndex* idx) {
    if (!idx) return;
    std::free(idx->bin_offsets);
    std::free(idx->cell_offsets);
    std::free(idx);
}

int64_t index_entry(const ZBlockIndex* idx, int i) {
    return idx->bin_offsets[i >> 17] + static_cast<int64_t>(idx->cell_offsets[i]);
}

// Reads the block index at the current file position (`end`); the index must
// fit before the trailer at `trailer_pos` and every entry must point into
// the compressed data, in increasing order.  Null when it does not.
ZBlockIndex* read_index(RAZF* rz, int64_t trailer_pos) {
    uint8_t b[8];
    if (!read_exact(rz->x, b, 4)) return nullptr;
    const int32_t size = static_cast<int32_t>(load_be32(b));
    const int64_t avail = trailer_pos - rz->end - 4;
    if (size < 0) return nullptr;
    const int64_t n_bins = (static_cast<int64_t>(size) >> 17) + 1;
    if (n_bins * 8 + static_cast<int64_t>(size) * 4 > avail) return nullptr;
    auto* idx = static_cast<ZBlockIndex*>(std::calloc(1, sizeof(ZBlockIndex)));
    if (!idx) return nullptr;
    idx->size = idx->cap = size;
    idx->bin_offsets = static_cast<int64_t*>(std::malloc(static_cast<size_t>(n_bins) * sizeof(int64_t)));
    idx->cell_offsets = static_cast<uint32_t*>(std::malloc(static_cast<size_t>(size ? size : 1) * sizeof(uint32_t)));
    bool ok = idx->bin_offsets && idx->cell_offsets;
    for (int64_t i = 0; ok && i < n_bins; ++i) {
        ok = read_exact(rz->x, b, 8);
        if (ok) idx->bin_offsets[i] = static_cast<int64_t>(load_be64(b));
    }
    for (int i = 0; ok && i < size; ++i) {
        ok = read_exact(rz->x, b, 4);
        if (ok) idx->cell_offsets[i] = load_be32(b);
    }
    int64_t prev = rz->header_size;
    for (int i = 0; ok && i < size; ++i) {
        const int64_t bin = idx->bin_offsets[i >> 17];
        const int64_t pos = bin + static_cast<int64_t>(idx->cell_offsets[i]);
        ok = bin >= 0 && pos >= prev && pos <= rz->end;
        prev = pos;
    }
    if (ok) return idx;
    free_index(idx);
    return nullptr;
}

// Reads the trailer and, when requested, the block index of a RAZF file
// whose first `n_read` bytes sit in `inbuf`.  On any inconsistency the
// stream stays a sequential one with unknown end and no index.
void read_trailer(RAZF* rz, int64_t n_read) {
    bool ok = knet_seek(rz->x, -trailer_size, SEEK_END) == 0;
    const int64_t trailer_pos = rz->x->offset;
    uint8_t t[trailer_size];
    if (ok) ok = read_exact(rz->x, t, trailer_size);
    if (ok) {
        rz->src_end = static_cast<int64_t>(load_be64(t));
        rz->end = static_cast<int64_t>(load_be64(t + 8));
        ok = rz->src_end >= rz->end && rz->end >= rz->header_size && rz->end <= trailer_pos &&
             knet_seek(rz->x, rz->end, SEEK_SET) == 0;
    }
    if (ok && rz->load_index) {
        rz->index = read_index(rz, trailer_pos);
        ok = rz->index != nullptr;  // a RAZF file always has one; its absence means damage
    }
    if (ok) {
        rz->seekable = 1;
        if (rz->end < n_read) rz->stream->avail_in = static_cast<uInt>(rz->end - rz->header_size);
    } else {
        rz->seekable = 0;
        rz->end = rz->src_end = INT64_MAX;
    }
    if (knet_seek(rz->x, n_read, SEEK_SET) != 0) rz->z_err = 1;
}

RAZF* razf_open_r(const char* fn, bool load_index) {
    knetFile* x = knet_open(fn, "r");
    if (!x) {
        std::fprintf(stderr, "[_razf_open] fail to open %s\n", fn);
        return nullptr;
    }
    auto* rz = static_cast<RAZF*>(std::calloc(1, sizeof(RAZF)));
    if (!rz) {
        knet_close(x);
        return nullptr;
    }
    rz->mode = 'r';
    rz->x = x;
    rz->load_index = load_index;
    rz->end = rz->src_end = INT64_MAX;
    const ssize_t n = knet_read(x, rz->inbuf, RZ_BUFFER_SIZE);
    if (n < 0) {
        std::fprintf(stderr, "[_razf_open] fail to open %s\n", fn);
        razf_close(rz);
        return nullptr;
    }
    gzip_header_t gz;
    if (!parse_gzip_header(rz->inbuf, static_cast<size_t>(n), &gz)) {
        rz->file_type = FILE_TYPE_PLAIN;
        std::memcpy(rz->outbuf, rz->inbuf, static_cast<size_t>(n));
        rz->buf_len = static_cast<int>(n);
        rz->in = n;
        return rz;
    }
    rz->stream = static_cast<z_stream*>(std::calloc(1, sizeof(z_stream)));
    if (!rz->stream || inflateInit2(rz->stream, -15) != Z_OK) {
        std::free(rz->stream);
        rz->stream = nullptr;
        razf_close(rz);
        return nullptr;
    }
    rz->file_type = FILE_TYPE_GZ;
    rz->header_size = gz.size;
    rz->in = rz->block_pos = rz->next_block_pos = gz.size;
    rz->stream->next_in = rz->inbuf + gz.size;
    rz->stream->avail_in = static_cast<uInt>(n - gz.size);
    if (gz.extra_len >= 7 && std::memcmp(gz.extra, "RAZF", 4) == 0) {
        if (gz.extra[5] != 0x80 || gz.extra[6] != 0x00) {
            std::fprintf(stderr, " -- WARNING: RZ_BLOCK_SIZE is not %d, treat source as gz file.  in %s -- %s:%d --\n",
                         RZ_BLOCK_SIZE, __func__, __FILE__, __LINE__);
        } else {
            rz->file_type = FILE_TYPE_RZ;
            read_trailer(rz, n);
        }
    }
    return rz;
}

// Inflates up to RZ_BUFFER_SIZE bytes into outbuf, stopping early at a
// deflate block boundary.  Returns the bytes produced (possibly 0 at a
// boundary); sets z_eof or z_err when the data ends or is damaged.
int inflate_some(RAZF* rz) {
    z_stream* zs = rz->stream;
    zs->next_out = rz->outbuf;
    zs->avail_out = RZ_BUFFER_SIZE;
    while (zs->avail_out && !rz->z_eof && !rz->z_err) {
        if (zs->avail_in == 0) {
            if (rz->in >= rz->end) {
                rz->z_eof = 1;
                break;
            }
            const int64_t want = std::min<int64_t>(RZ_BUFFER_SIZE, rz->end - rz->in);
            const ssize_t got = knet_read(rz->x, rz->inbuf, static_cast<size_t>(want));
            if (got <= 0) {  // truncated file: the data simply ends
                rz->z_eof = 1;
                break;
            }
            zs->next_in = rz->inbuf;
            zs->avail_in = static_cast<uInt>(got);
        }
        const uInt in_before = zs->avail_in, out_before = zs->avail_out;
        const int ret = inflate(zs, Z_BLOCK);
        rz->in += in_before - zs->avail_in;
        if (ret == Z_NEED_DICT || ret == Z_MEM_ERROR || ret == Z_DATA_ERROR) {
            std::fprintf(stderr, "[_razf_read] inflate error: %d %s (at %s:%d)\n", ret, zs->msg ? zs->msg : "", __FILE__,
                         __LINE__);
            rz->z_err = 1;
            break;
        }
        if (ret == Z_STREAM_END) {
            rz->z_eof = 1;
            break;
        }
        if ((zs->data_type & 128) && !(zs->data_type & 64)) {
            rz->buf_flush = 1;
            rz->next_block_pos = rz->in;
            break;
        }
        // Input left, room left, nothing moved: zlib cannot continue.
        if (zs->avail_in == in_before && zs->avail_out == out_before && zs->avail_in) {
            rz->z_err = 1;
            break;
        }
    }
    return RZ_BUFFER_SIZE - static_cast<int>(zs->avail_out);
}

// Positions a compressed stream at the start of uncompressed block k, whose
// compressed data begins at file offset `pos`.
bool restart_at(RAZF* rz, int64_t k, int64_t pos) {
    if (knet_seek(rz->x, pos, SEEK_SET) != 0) return false;
    inflateReset(rz->stream);
    rz->stream->avail_in = 0;
    rz->in = rz->block_pos = rz->next_block_pos = pos;
    rz->block_off = 0;
    rz->out = k * RZ_BLOCK_SIZE;
    rz->buf_off = rz->buf_len = 0;
    rz->buf_flush = rz->z_err = rz->z_eof = 0;
    return true;
}

// Decompresses and drops bytes until `out` reaches p or the data ends.
void skip_to(RAZF* rz, int64_t p) {
    uint8_t scratch[RZ_BUFFER_SIZE];
    while (rz->out < p) {
        const int want = static_cast<int>(std::min<int64_t>(RZ_BUFFER_SIZE, p - rz->out));
        if (razf_read(rz, scratch, want) <= 0) break;
    }
}

int64_t seek_plain(RAZF* rz, int64_t pos, int whence) {
    if (knet_seek(rz->x, pos, whence) != 0) return rz->out;
    rz->in = rz->out = rz->x->offset;
    rz->buf_off = rz->buf_len = 0;
    rz->z_eof = rz->z_err = 0;
    return rz->out;
}

void seek_razf(RAZF* rz, int64_t p) {
    if (p == rz->out || p > rz->src_end) return;
    const int64_t k = p / RZ_BLOCK_SIZE;
    const ZBlockIndex* idx = rz->seekable ? rz->index : nullptr;
    const bool in_block = rz->out / RZ_BLOCK_SIZE == k && rz->out < p;
    if (idx && k <= idx->size) {
        if (!in_block && !restart_at(rz, k, k == 0 ? rz->header_size : index_entry(idx, static_cast<int>(k - 1)))) {
            rz->z_err = 1;
            return;
        }
    } else if (p < rz->out) {
        // Without a usable index the only known block start is the first
        // one: inflate forward from there.
        if (!restart_at(rz, 0, rz->header_size)) {
            rz->z_err = 1;
            return;
        }
    }
    skip_to(rz, p);
}

}  // namespace

RAZF* razf_open(const char* fn, const char* mode) {
    if (!std::strchr(mode, 'r')) return nullptr;
    return razf_open_r(fn, true);
}

RAZF* razf_open2(const char* fn, const char* mode) {
    if (!std::strchr(mode, 'r')) return nullptr;
    return razf_open_r(fn, false);
}

int razf_read(RAZF* rz, void* data, int size) {
    auto* dst = static_cast<uint8_t*>(data);
    int done = 0;
    while (done < size) {
        if (rz->buf_len > 0) {
            const int n = std::min(rz->buf_len, size - done);
            std::memcpy(dst + done, rz->outbuf + rz->buf_off, static_cast<size_t>(n));
            rz->buf_off += n;
            rz->buf_len -= n;
            rz->block_off += n;
            done += n;
            continue;
        }
        if (rz->z_eof || rz->z_err) break;
        if (rz->buf_flush) {
            rz->buf_flush = 0;
            rz->block_pos = rz->next_block_pos;
            rz->block_off = 0;
        }
        if (rz->file_type == FILE_TYPE_PLAIN) {
            // Large requests go straight to the caller; small ones are buffered.
            const bool direct = size - done >= RZ_BUFFER_SIZE;
            const ssize_t n = direct ? knet_read(rz->x, dst + done, static_cast<size_t>(size - done))
                                     : knet_read(rz->x, rz->outbuf, RZ_BUFFER_SIZE);
            if (n <= 0) {
                rz->z_eof = 1;
                if (n < 0) rz->z_err = 1;
                break;
            }
            rz->in += n;
            if (direct) {
                done += static_cast<int>(n);
                rz->block_off += n;
            } else {
                rz->buf_off = 0;
                rz->buf_len = static_cast<int>(n);
            }
            continue;
        }
        rz->buf_off = 0;
        rz->buf_len = inflate_some(rz);
    }
    rz->out += done;
    return done;
}

int64_t razf_seek(RAZF* rz, int64_t pos, int whence) {
    if (rz->file_type == FILE_TYPE_PLAIN) {
        if (whence == SEEK_CUR && __builtin_add_overflow(pos, rz->out, &pos)) return rz->out;
        if (whence == SEEK_CUR) whence = SEEK_SET;
        return pos < 0 && whence == SEEK_SET ? rz->out : seek_plain(rz, pos, whence);
    }
    int64_t p = pos;
    if (whence == SEEK_CUR) {
        if (__builtin_add_overflow(pos, rz->out, &p)) return rz->out;
    } else if (whence == SEEK_END) {
        if (rz->src_end == INT64_MAX || __builtin_add_overflow(pos, rz->src_end, &p)) return rz->out;
    } else if (whence != SEEK_SET) {
        return rz->out;
    }
    if (p < 0) return rz->out;
    if (rz->file_type == FILE_TYPE_GZ) {
        if (p > rz->out) skip_to(rz, p);  // gzip only moves forward
    } else {
        seek_razf(rz, p);
    }
    return rz->out;
}

void razf_close(RAZF* rz) {
    if (!rz) return;
    if (rz->stream) {
        inflateEnd(rz->stream);
        std::free(rz->stream);
    }
    free_index(rz->index);
    knet_close(rz->x);
    std::free(rz);
}
