// Reading and writing BGZF streams.
#include "io/bgzf.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <vector>

#include "containers/khash.h"
#include "io/thread_pool.h"

const uint8_t bgzf_eof_marker[28] = {0x1f, 0x8b, 0x08, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0x06, 0x00, 0x42, 0x43,
                                     0x02, 0x00, 0x1b, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

namespace {

using cache_map_t = khash_t<uint64_t, cache_t, kh_int64_traits>;

void mt_stop(BGZF* fp);
void delete_compressor(BGZF* fp);

uint16_t load_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void store_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
uint32_t load_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
void store_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The fixed part of every block header; BSIZE (bytes 16-17) is filled in per block.
constexpr uint8_t block_header[BGZF_BLOCK_HEADER_LENGTH] = {31, 139, 8, 4, 0, 0, 0, 0, 0, 255, 6, 0, 'B', 'C', 2, 0, 0, 0};

int level_from_digits(const char* s) {
    for (; *s; ++s)
        if (*s >= '0' && *s <= '9') return *s - '0';
    return -1;
}

int normalise_level(int level) { return level < 0 || level > 9 ? -1 : level; }

BGZF* new_stream(char mode) {
    auto* fp = static_cast<BGZF*>(std::calloc(1, sizeof(BGZF)));
    if (!fp) return nullptr;
    fp->open_mode = mode;
    fp->file_descriptor = -1;
    fp->uncompressed_block_size = BGZF_MAX_BLOCK_SIZE;
    fp->compressed_block_size = BGZF_MAX_BLOCK_SIZE;
    fp->compressed_block = std::malloc(BGZF_MAX_BLOCK_SIZE);
    if (mode == 'r') fp->uncompressed_block = std::malloc(BGZF_MAX_BLOCK_SIZE);
    if (!fp->compressed_block || (mode == 'r' && !fp->uncompressed_block)) {
        std::free(fp->compressed_block);
        std::free(fp->uncompressed_block);
        std::free(fp);
        return nullptr;
    }
    return fp;
}

BGZF* open_read(knetFile* file) {
    BGZF* fp = new_stream('r');
    if (!fp) return nullptr;
    fp->x.fpr = file;
    fp->cache = new cache_map_t;
    return fp;
}

BGZF* open_write(FILE* file, int level) {
    BGZF* fp = new_stream('w');
    if (!fp) return nullptr;
    fp->x.fpw = file;
    fp->compress_level = static_cast<int16_t>(normalise_level(level));
    const char* engine = std::getenv(bgzf_deflate_env);
    fp->fast_deflate = engine && std::strcmp(engine, "libdeflate") == 0;
    return fp;
}

void free_stream(BGZF* fp) {
    mt_stop(fp);
    delete_compressor(fp);
    if (fp->inflater) libdeflate_free_decompressor(static_cast<libdeflate_decompressor*>(fp->inflater));
    if (auto* cache = static_cast<cache_map_t*>(fp->cache)) {
        for (khint_t k = cache->begin(); k != cache->end(); ++k)
            if (cache->exist(k)) std::free(cache->value(k).block);
        delete cache;
    }
    std::free(fp->uncompressed_block);
    std::free(fp->compressed_block);
    std::free(fp);
}

int report(BGZF* fp, const char* error) {
    fp->error = error;
    fp->error_address = -1;
    return -1;
}

// An error in the block that starts at file offset `address`.
int report_block(BGZF* fp, int64_t address, const char* error) {
    fp->error = error;
    fp->error_address = address;
    return -1;
}

// Deflation state reused from block to block: a zlib stream at one level
// (reset for every block, so each is compressed exactly as by a fresh one) or
// a libdeflate compressor.  One per stream, and one per worker thread.
struct block_compressor {
    z_stream* zs = nullptr;
    libdeflate_compressor* ld = nullptr;
    int level = -2;

    block_compressor() = default;
    block_compressor(const block_compressor&) = delete;
    block_compressor& operator=(const block_compressor&) = delete;
    ~block_compressor() { release(); }

    void release() {
        if (zs) {
            deflateEnd(zs);
            delete zs;
            zs = nullptr;
        }
        if (ld) {
            libdeflate_free_compressor(ld);
            ld = nullptr;
        }
    }

    z_stream* zlib(int want_level) {
        if (zs && level == want_level) return deflateReset(zs) == Z_OK ? zs : nullptr;
        release();
        zs = new z_stream{};
        if (deflateInit2(zs, want_level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            delete zs;
            zs = nullptr;
            return nullptr;
        }
        level = want_level;
        return zs;
    }

    libdeflate_compressor* fast(int want_level) {
        if (ld && level == want_level) return ld;
        release();
        ld = libdeflate_alloc_compressor(want_level < 0 ? 6 : want_level);
        if (ld) level = want_level;
        return ld;
    }
};

// Deflates the first `block_length` bytes of `in` into one block at `out`
// (room for BGZF_MAX_BLOCK_SIZE), taking fewer bytes (1024 at a time) when
// they do not fit.  Returns the block's size and sets *used to the bytes it
// holds, or -1 with *error set.
int deflate_one(block_compressor& c, int level, bool fast, const uint8_t* in, int block_length, uint8_t* out, int* used,
                const char** error) {
    std::memcpy(out, block_header, BGZF_BLOCK_HEADER_LENGTH);
    const int room = BGZF_MAX_BLOCK_SIZE - BGZF_BLOCK_HEADER_LENGTH - BGZF_BLOCK_FOOTER_LENGTH;
    int input_length = block_length;
    int compressed_length;
    for (;;) {
        if (fast) {
            libdeflate_compressor* ld = c.fast(level);
            if (!ld) return *error = "deflate init failed", -1;
            compressed_length = static_cast<int>(libdeflate_deflate_compress(ld, in, static_cast<size_t>(input_length),
                                                                             out + BGZF_BLOCK_HEADER_LENGTH, room));
            if (compressed_length > 0) break;
        } else {
            z_stream* zs = c.zlib(level);
            if (!zs) return *error = "deflate init failed", -1;
            zs->next_in = const_cast<uint8_t*>(in);
            zs->avail_in = static_cast<uInt>(input_length);
            zs->next_out = out + BGZF_BLOCK_HEADER_LENGTH;
            zs->avail_out = static_cast<uInt>(room);
            int status = deflate(zs, Z_FINISH);
            if (status == Z_STREAM_END) {
                compressed_length = static_cast<int>(zs->total_out);
                break;
            }
            if (status != Z_OK && status != Z_BUF_ERROR) return *error = "deflate failed", -1;
        }
        input_length -= 1024;  // did not fit: retry with less input
        if (input_length <= 0) return *error = "input reduction failed", -1;
    }
    compressed_length += BGZF_BLOCK_HEADER_LENGTH + BGZF_BLOCK_FOOTER_LENGTH;
    if (compressed_length > BGZF_MAX_BLOCK_SIZE) return *error = "deflate overflow", -1;
    store_u16(out + 16, static_cast<uint16_t>(compressed_length - 1));
    uint32_t crc = libdeflate_crc32(0, in, static_cast<size_t>(input_length));
    store_u32(out + compressed_length - 8, crc);
    store_u32(out + compressed_length - 4, static_cast<uint32_t>(input_length));
    if (block_length - input_length > input_length) return *error = "remainder too large", -1;
    *used = input_length;
    return compressed_length;
}

void delete_compressor(BGZF* fp) { delete static_cast<block_compressor*>(fp->deflater); }

block_compressor* stream_compressor(BGZF* fp) {
    if (!fp->deflater) fp->deflater = new (std::nothrow) block_compressor;
    return static_cast<block_compressor*>(fp->deflater);
}

// Compresses the first `block_length` waiting bytes into one block, taking
// fewer (1024 at a time) when they do not fit; returns the block's size.
int deflate_block(BGZF* fp, int block_length) {
    block_compressor* c = stream_compressor(fp);
    if (!c) return report(fp, "out of memory");
    auto* in = static_cast<uint8_t*>(fp->uncompressed_block);
    int used = 0;
    const char* error = nullptr;
    int size = deflate_one(*c, fp->compress_level, fp->fast_deflate, in, block_length, static_cast<uint8_t*>(fp->compressed_block),
                           &used, &error);
    if (size < 0) return report(fp, error);
    int remaining = block_length - used;
    if (remaining > 0) std::memcpy(in, in + used, remaining);
    fp->block_offset = remaining;
    return size;
}

// Inflates `length` bytes of raw deflate data into the block buffer; returns
// the number of bytes produced.
int inflate_block(BGZF* fp, const uint8_t* data, int length) {
    if (!fp->inflater) {
        fp->inflater = libdeflate_alloc_decompressor();
        if (!fp->inflater) return report(fp, "inflate init failed");
    }
    size_t produced = 0;
    auto r = libdeflate_deflate_decompress(static_cast<libdeflate_decompressor*>(fp->inflater), data, static_cast<size_t>(length),
                                           fp->uncompressed_block, BGZF_MAX_BLOCK_SIZE, &produced);
    if (r != LIBDEFLATE_SUCCESS) return report(fp, "inflate failed");
    return static_cast<int>(produced);
}

bool is_block_header(const uint8_t* h) {
    return h[0] == 31 && h[1] == 139 && h[2] == 8 && (h[3] & 4) && load_u16(h + 10) == 6 && h[12] == 'B' && h[13] == 'C' &&
           load_u16(h + 14) == 2;
}

bool load_from_cache(BGZF* fp, int64_t address) {
    auto* cache = static_cast<cache_map_t*>(fp->cache);
    khint_t k = cache->get(static_cast<uint64_t>(address));
    if (k == cache->end() || cache->value(k).size == 0) return false;
    const cache_t& c = cache->value(k);
    if (fp->block_length != 0) fp->block_offset = 0;
    fp->block_address = address;
    fp->block_length = c.size;
    std::memcpy(fp->uncompressed_block, c.block, BGZF_MAX_BLOCK_SIZE);
    knet_seek(fp->x.fpr, c.end_offset, SEEK_SET);
    return true;
}

void cache_block(BGZF* fp, int64_t address, int64_t end_offset) {
    if (fp->cache_size <= BGZF_MAX_BLOCK_SIZE) return;
    auto* cache = static_cast<cache_map_t*>(fp->cache);
    if (static_cast<int64_t>(cache->size + 1) * BGZF_MAX_BLOCK_SIZE > fp->cache_size) {
        // Evict whichever block comes first in bucket order.
        for (khint_t k = cache->begin(); k != cache->end(); ++k) {
            if (!cache->exist(k)) continue;
            std::free(cache->value(k).block);
            cache->del(k);
            break;
        }
    }
    int ret;
    khint_t k = cache->put(static_cast<uint64_t>(address), &ret);
    if (ret == 0) return;
    cache_t& c = cache->value(k);
    c.size = fp->block_length;
    c.end_offset = end_offset;
    c.block = static_cast<uint8_t*>(std::malloc(BGZF_MAX_BLOCK_SIZE));
    if (!c.block) {
        c.size = 0;
        return;
    }
    std::memcpy(c.block, fp->uncompressed_block, BGZF_MAX_BLOCK_SIZE);
}


// ---------------------------------------------------------------------------
// Worker threads

// One block in flight: for writing, up to 64 KiB of data to deflate into one
// or more blocks (`packed`); for reading, a whole compressed block
// (`packed`) to inflate into `data`.
struct mt_block : thread_task {
    uint8_t* data = nullptr;  // BGZF_MAX_BLOCK_SIZE bytes
    int length = 0;           // bytes of data: input when writing, output when reading
    std::vector<uint8_t> packed;
    const char* error = nullptr;
    // Writing.
    int level = 0;
    bool fast = false;
    // Reading.
    int64_t address = 0, end = 0;  // file offsets of the block and of the next one
    bool is_eof = false;           // no block: the file ends here
    bool submitted = false;

    ~mt_block() { std::free(data); }
};

struct bgzf_mt_t {
    thread_pool* pool;
    size_t max_in_flight;
    std::deque<mt_block*> in_flight;  // in file order
    std::vector<mt_block*> spare;
    bool read_stopped = false;  // the end or an error has been queued: read no further ahead
    int64_t next_address = 0;   // file offset after the block last delivered
    bool failed = false;        // a write error was reported: later flushes fail too

    ~bgzf_mt_t() {
        for (mt_block* b : spare) delete b;
    }
};

// Exchanges the stream's block buffer with the block's, without copying.
void swap_data(BGZF* fp, mt_block* b) {
    void* stream_data = fp->uncompressed_block;
    fp->uncompressed_block = b->data;
    b->data = static_cast<uint8_t*>(stream_data);
}

bgzf_mt_t* mt_of(const BGZF* fp) { return static_cast<bgzf_mt_t*>(fp->mt); }

mt_block* mt_take_spare(bgzf_mt_t* mt) {
    if (!mt->spare.empty()) {
        mt_block* b = mt->spare.back();
        mt->spare.pop_back();
        b->error = nullptr;
        b->is_eof = false;
        b->submitted = false;
        return b;
    }
    auto* b = new (std::nothrow) mt_block;
    if (!b) return nullptr;
    b->data = static_cast<uint8_t*>(std::malloc(BGZF_MAX_BLOCK_SIZE));
    if (!b->data) {
        delete b;
        return nullptr;
    }
    return b;
}

void mt_recycle(bgzf_mt_t* mt, mt_block* b) {
    if (b->submitted) mt->pool->wait(b);
    mt->spare.push_back(b);
}

void run_deflate(thread_task* task) {
    auto* b = static_cast<mt_block*>(task);
    thread_local block_compressor compressor;
    b->packed.clear();
    uint8_t out[BGZF_MAX_BLOCK_SIZE];
    for (int offset = 0; offset < b->length;) {
        int used = 0;
        int size = deflate_one(compressor, b->level, b->fast, b->data + offset, b->length - offset, out, &used, &b->error);
        if (size < 0) return;
        b->packed.insert(b->packed.end(), out, out + size);
        offset += used;
    }
}

void run_inflate(thread_task* task) {
    auto* b = static_cast<mt_block*>(task);
    struct decompressor_holder {
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        ~decompressor_holder() {
            if (d) libdeflate_free_decompressor(d);
        }
    };
    thread_local decompressor_holder holder;
    if (!holder.d) {
        b->error = "inflate init failed";
        return;
    }
    const int block_size = static_cast<int>(b->packed.size());
    size_t produced = 0;
    auto r = libdeflate_deflate_decompress(holder.d, b->packed.data() + BGZF_BLOCK_HEADER_LENGTH,
                                           static_cast<size_t>(block_size - BGZF_BLOCK_HEADER_LENGTH - BGZF_BLOCK_FOOTER_LENGTH), b->data,
                                           BGZF_MAX_BLOCK_SIZE, &produced);
    if (r != LIBDEFLATE_SUCCESS) {
        b->error = "inflate failed";
        return;
    }
    const uint8_t* footer = b->packed.data() + block_size - BGZF_BLOCK_FOOTER_LENGTH;
    if (static_cast<uint32_t>(produced) != load_u32(footer + 4)) {
        b->error = "uncompressed size mismatch";
        return;
    }
    if (libdeflate_crc32(0, b->data, produced) != load_u32(footer)) {
        b->error = "CRC32 mismatch";
        return;
    }
    b->length = static_cast<int>(produced);
}

// Writes the oldest block in flight once it is deflated.
int mt_write_oldest(BGZF* fp) {
    bgzf_mt_t* mt = mt_of(fp);
    mt_block* b = mt->in_flight.front();
    mt->in_flight.pop_front();
    mt->pool->wait(b);
    b->submitted = false;
    int status = 0;
    if (mt->failed) {
        status = -1;  // the error was reported already; what follows is dropped
    } else if (b->error) {
        status = report(fp, b->error);
    } else if (std::fwrite(b->packed.data(), 1, b->packed.size(), fp->x.fpw) != b->packed.size()) {
        status = report(fp, "write failed");
    } else {
        fp->block_address += static_cast<int64_t>(b->packed.size());
    }
    if (status != 0) mt->failed = true;
    mt_recycle(mt, b);
    return status;
}

int mt_drain(BGZF* fp) {
    bgzf_mt_t* mt = mt_of(fp);
    int status = mt->failed ? -1 : 0;
    while (!mt->in_flight.empty())
        if (mt_write_oldest(fp) != 0) status = -1;
    return status;
}

// Hands the waiting bytes to a worker as the next block(s) of the file.
int mt_flush(BGZF* fp) {
    bgzf_mt_t* mt = mt_of(fp);
    if (mt->failed) return -1;
    if (mt->in_flight.size() >= mt->max_in_flight && mt_write_oldest(fp) != 0) return -1;
    mt_block* b = mt_take_spare(mt);
    if (!b) return report(fp, "out of memory");
    swap_data(fp, b);
    b->length = fp->block_offset;
    b->level = fp->compress_level;
    b->fast = fp->fast_deflate;
    b->run = run_deflate;
    fp->block_offset = 0;
    b->submitted = true;
    mt->pool->submit(b);
    mt->in_flight.push_back(b);
    // Write whatever is ready, without waiting.
    while (!mt->in_flight.empty() && mt->pool->is_done(mt->in_flight.front()))
        if (mt_write_oldest(fp) != 0) return -1;
    return 0;
}

// Queues the next block of the file for inflating; false once nothing more
// can be queued (the end of the file or an error, which is queued in order).
bool mt_queue_read(BGZF* fp) {
    bgzf_mt_t* mt = mt_of(fp);
    mt_block* b = mt_take_spare(mt);
    if (!b) return false;
    b->address = knet_tell(fp->x.fpr);
    b->packed.resize(BGZF_MAX_BLOCK_SIZE);
    uint8_t* block = b->packed.data();
    ssize_t count = knet_read(fp->x.fpr, block, BGZF_BLOCK_HEADER_LENGTH);
    int block_size = 0;
    if (count == 0) {
        b->is_eof = true;
    } else if (count != BGZF_BLOCK_HEADER_LENGTH) {
        b->error = "read failed";
    } else if (!is_block_header(block) ||
               (block_size = load_u16(block + 16) + 1) < BGZF_BLOCK_HEADER_LENGTH + BGZF_BLOCK_FOOTER_LENGTH) {
        b->error = "invalid block header";
    } else {
        int remaining = block_size - BGZF_BLOCK_HEADER_LENGTH;
        if (knet_read(fp->x.fpr, block + BGZF_BLOCK_HEADER_LENGTH, remaining) != remaining) b->error = "read failed";
    }
    mt->in_flight.push_back(b);
    if (b->is_eof || b->error) {
        mt->read_stopped = true;
        return false;
    }
    b->packed.resize(static_cast<size_t>(block_size));
    b->end = b->address + block_size;
    b->run = run_inflate;
    b->submitted = true;
    mt->pool->submit(b);
    return true;
}

void mt_fill(BGZF* fp) {
    bgzf_mt_t* mt = mt_of(fp);
    while (!mt->read_stopped && mt->in_flight.size() < mt->max_in_flight && mt_queue_read(fp)) {
    }
}

// Drops the read-ahead and puts the file position back where reading alone
// would have it: at the oldest block not yet delivered.
void mt_reset_read(BGZF* fp) {
    bgzf_mt_t* mt = mt_of(fp);
    if (mt->in_flight.empty()) return;
    int64_t resume = mt->in_flight.front()->address;
    for (mt_block* b : mt->in_flight) mt_recycle(mt, b);
    mt->in_flight.clear();
    mt->read_stopped = false;
    knet_seek(fp->x.fpr, resume, SEEK_SET);
}

int mt_read_block(BGZF* fp) {
    bgzf_mt_t* mt = mt_of(fp);
    mt_fill(fp);
    if (mt->in_flight.empty() && !mt_queue_read(fp) && mt->in_flight.empty()) return report(fp, "out of memory");
    mt_block* b = mt->in_flight.front();
    if (b->submitted) mt->pool->wait(b);
    if (b->is_eof) {
        // Stays queued: every later call sees the end too, until a seek.
        fp->block_length = 0;
        mt->next_address = b->address;
        return 0;
    }
    mt->in_flight.pop_front();
    if (b->error) {
        const char* error = b->error;
        int64_t address = b->address;
        mt->read_stopped = false;  // reading goes on from where the damage left the file
        mt_recycle(mt, b);
        return report_block(fp, address, error);
    }
    swap_data(fp, b);
    if (fp->block_length != 0) fp->block_offset = 0;
    fp->block_address = b->address;
    fp->block_length = b->length;
    mt->next_address = b->end;
    mt_recycle(mt, b);
    mt_fill(fp);
    return 0;
}

bool mt_reads_ahead(const BGZF* fp) { return fp->mt && fp->open_mode == 'r' && fp->cache_size <= BGZF_MAX_BLOCK_SIZE; }

void mt_stop(BGZF* fp) {
    bgzf_mt_t* mt = mt_of(fp);
    if (!mt) return;
    for (mt_block* b : mt->in_flight) mt_recycle(mt, b);
    mt->in_flight.clear();
    delete mt;
    fp->mt = nullptr;
}

}  // namespace

BGZF* bgzf_open(const char* path, const char* mode) {
    if (std::strchr(mode, 'r') || std::strchr(mode, 'R')) {
        knetFile* file = knet_open(path, "r");
        if (!file) return nullptr;
        BGZF* fp = open_read(file);
        if (!fp) {
            knet_close(file);
            return nullptr;
        }
        fp->owned_file = 1;
        return fp;
    }
    if (std::strchr(mode, 'w') || std::strchr(mode, 'W')) {
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0) return nullptr;
        FILE* file = fdopen(fd, "w");
        if (!file) {
            close(fd);
            return nullptr;
        }
        int level = std::strchr(mode, 'u') ? 0 : level_from_digits(mode);
        BGZF* fp = open_write(file, level);
        if (!fp) {
            std::fclose(file);
            return nullptr;
        }
        fp->owned_file = 1;
        return fp;
    }
    return nullptr;
}

BGZF* bgzf_fdopen(int fd, const char* mode) {
    if (fd == -1) return nullptr;
    BGZF* fp = nullptr;
    if (mode[0] == 'r' || mode[0] == 'R') {
        knetFile* file = knet_dopen(fd, "r");
        if (!file) return nullptr;
        fp = open_read(file);
        if (!fp) knet_close(file);
    } else if (mode[0] == 'w' || mode[0] == 'W') {
        // Buffer a duplicate, so that closing the stream frees the buffered
        // file while the caller's descriptor stays open.
        int own = dup(fd);
        FILE* file = own >= 0 ? fdopen(own, "w") : nullptr;
        if (!file) {
            if (own >= 0) close(own);
            return nullptr;
        }
        int level = std::strchr(mode, 'u') ? 0 : level_from_digits(mode + 1);
        fp = open_write(file, level);
        if (!fp) std::fclose(file);
    }
    if (fp) {
        fp->file_descriptor = fd;
        fp->owned_file = 0;
    }
    return fp;
}

int bgzf_write(BGZF* fp, const void* data, int length) {
    if (fp->open_mode != 'w') return report(fp, "file not open for writing");
    if (!fp->uncompressed_block) {
        fp->uncompressed_block = std::malloc(BGZF_MAX_BLOCK_SIZE);
        if (!fp->uncompressed_block) return report(fp, "out of memory");
    }
    auto* input = static_cast<const uint8_t*>(data);
    int written = 0;
    while (written < length) {
        int copy = std::min(fp->uncompressed_block_size - fp->block_offset, length - written);
        std::memcpy(static_cast<uint8_t*>(fp->uncompressed_block) + fp->block_offset, input + written, copy);
        fp->block_offset += copy;
        written += copy;
        if (fp->block_offset == fp->uncompressed_block_size && bgzf_flush(fp) != 0) break;
    }
    return written;
}

int bgzf_flush(BGZF* fp) {
    if (fp->mt) return fp->block_offset > 0 ? mt_flush(fp) : mt_of(fp)->failed ? -1 : 0;
    while (fp->block_offset > 0) {
        int size = deflate_block(fp, fp->block_offset);
        if (size < 0) return -1;
        if (std::fwrite(fp->compressed_block, 1, size, fp->x.fpw) != static_cast<size_t>(size)) return report(fp, "write failed");
        fp->block_address += size;
    }
    return 0;
}

int bgzf_flush_try(BGZF* fp, int size) {
    if (fp->block_offset + size > fp->uncompressed_block_size) return bgzf_flush(fp);
    return -1;
}

int bgzf_close(BGZF* fp) {
    int status = 0;
    if (fp->open_mode == 'w') {
        if (bgzf_flush(fp) != 0 || (fp->mt && mt_drain(fp) != 0)) status = -1;
        // The end-of-file block is written literally: compressing no input at
        // level 0 would give a stored block instead of the 28-byte marker
        // that readers look for.
        else if (std::fwrite(bgzf_eof_marker, 1, sizeof bgzf_eof_marker, fp->x.fpw) != sizeof bgzf_eof_marker)
            status = report(fp, "write failed");
        if (std::fflush(fp->x.fpw) != 0 && status == 0) status = report(fp, "flush failed");
        // A write that failed earlier leaves the file's error flag set.
        if (std::ferror(fp->x.fpw) && status == 0) status = report(fp, "write failed");
        if (std::fclose(fp->x.fpw) != 0) status = -1;  // a duplicate when not owned
    } else if (fp->owned_file) {
        if (knet_close(fp->x.fpr) != 0) status = -1;
    } else {
        fp->x.fpr->fd = -1;  // the caller's descriptor stays open
        knet_close(fp->x.fpr);
    }
    free_stream(fp);
    return status;
}

int bgzf_abandon(BGZF* fp) {
    if (!fp) return 0;
    if (fp->open_mode != 'w') return bgzf_close(fp);
    int status = std::fclose(fp->x.fpw) == 0 ? 0 : -1;  // a duplicate when not owned
    free_stream(fp);
    return status;
}

int bgzf_read_block(BGZF* fp) {
    if (mt_reads_ahead(fp)) return mt_read_block(fp);
    int64_t address = knet_tell(fp->x.fpr);
    if (load_from_cache(fp, address)) return 0;
    auto* block = static_cast<uint8_t*>(fp->compressed_block);
    ssize_t count = knet_read(fp->x.fpr, block, BGZF_BLOCK_HEADER_LENGTH);
    if (count == 0) {
        fp->block_length = 0;
        return 0;
    }
    if (count != BGZF_BLOCK_HEADER_LENGTH) return report_block(fp, address, "read failed");
    if (!is_block_header(block)) return report_block(fp, address, "invalid block header");
    int block_size = load_u16(block + 16) + 1;
    if (block_size < BGZF_BLOCK_HEADER_LENGTH + BGZF_BLOCK_FOOTER_LENGTH)
        return report_block(fp, address, "invalid block header");
    int remaining = block_size - BGZF_BLOCK_HEADER_LENGTH;
    count = knet_read(fp->x.fpr, block + BGZF_BLOCK_HEADER_LENGTH, remaining);
    if (count != remaining) return report_block(fp, address, "read failed");
    int produced =
        inflate_block(fp, block + BGZF_BLOCK_HEADER_LENGTH, block_size - BGZF_BLOCK_HEADER_LENGTH - BGZF_BLOCK_FOOTER_LENGTH);
    if (produced < 0) return report_block(fp, address, fp->error);
    // A damaged block may still inflate; its checksum and length tell.
    const uint8_t* footer = block + block_size - BGZF_BLOCK_FOOTER_LENGTH;
    if (static_cast<uint32_t>(produced) != load_u32(footer + 4)) return report_block(fp, address, "uncompressed size mismatch");
    if (libdeflate_crc32(0, fp->uncompressed_block, static_cast<size_t>(produced)) != load_u32(footer))
        return report_block(fp, address, "CRC32 mismatch");
    if (fp->block_length != 0) fp->block_offset = 0;
    fp->block_address = address;
    fp->block_length = produced;
    cache_block(fp, address, address + block_size);
    return 0;
}

int bgzf_read(BGZF* fp, void* data, int length) {
    if (length <= 0) return 0;
    if (fp->open_mode != 'r') return report(fp, "file not open for reading");
    auto* output = static_cast<uint8_t*>(data);
    int bytes_read = 0;
    while (bytes_read < length) {
        int available = fp->block_length - fp->block_offset;
        if (available <= 0) {
            if (bgzf_read_block(fp) != 0) return -1;
            available = fp->block_length - fp->block_offset;
            if (available < 0) return report(fp, "virtual offset beyond the end of its block");
            if (available == 0) break;
        }
        int copy = std::min(length - bytes_read, available);
        std::memcpy(output + bytes_read, static_cast<uint8_t*>(fp->uncompressed_block) + fp->block_offset, copy);
        fp->block_offset += copy;
        bytes_read += copy;
    }
    if (fp->block_offset == fp->block_length) {
        fp->block_address = mt_reads_ahead(fp) ? mt_of(fp)->next_address : knet_tell(fp->x.fpr);
        fp->block_offset = 0;
        fp->block_length = 0;
    }
    return bytes_read;
}

int64_t bgzf_seek(BGZF* fp, int64_t pos, int where) {
    if (fp->open_mode != 'r') return report(fp, "file not open for read");
    if (where != SEEK_SET) return report(fp, "unimplemented seek option");
    int64_t address = voffset_block(pos);
    if (fp->mt) mt_reset_read(fp);
    if (knet_seek(fp->x.fpr, address, SEEK_SET) != 0) return report(fp, "seek failed");
    fp->block_length = 0;
    fp->block_address = address;
    fp->block_offset = voffset_within(pos);
    return 0;
}

int bgzf_check_EOF(BGZF* fp) {
    int64_t offset = knet_tell(fp->x.fpr);
    if (knet_seek(fp->x.fpr, -28, SEEK_END) != 0) return -1;
    uint8_t buf[28];
    ssize_t n = knet_read(fp->x.fpr, buf, sizeof buf);
    knet_seek(fp->x.fpr, offset, SEEK_SET);
    return n == 28 && std::memcmp(buf, bgzf_eof_marker, 28) == 0 ? 1 : 0;
}

void bgzf_set_cache_size(BGZF* fp, int cache_size) {
    if (!fp) return;
    // The cache serves random access, where reading ahead does not pay.
    if (fp->mt && fp->open_mode == 'r') mt_reset_read(fp);
    fp->cache_size = cache_size;
}

bool bgzf_block_walk_feed(bgzf_block_walk_t* w, const uint8_t* p, size_t n) {
    while (n > 0 && !w->is_damaged) {
        if (w->block_left > 0) {
            size_t skip = static_cast<size_t>(std::min<int64_t>(w->block_left, static_cast<int64_t>(n)));
            w->block_left -= static_cast<int64_t>(skip);
            p += skip;
            n -= skip;
            continue;
        }
        size_t take = std::min(n, static_cast<size_t>(BGZF_BLOCK_HEADER_LENGTH - w->header_have));
        std::memcpy(w->header + w->header_have, p, take);
        w->header_have += static_cast<int>(take);
        p += take;
        n -= take;
        if (w->header_have < BGZF_BLOCK_HEADER_LENGTH) break;
        int block_size = load_u16(w->header + 16) + 1;
        if (!is_block_header(w->header) || block_size < BGZF_BLOCK_HEADER_LENGTH + BGZF_BLOCK_FOOTER_LENGTH) {
            w->is_damaged = true;
            break;
        }
        w->header_have = 0;
        w->block_left = block_size - BGZF_BLOCK_HEADER_LENGTH;
    }
    return !w->is_damaged;
}

bool bgzf_block_walk_is_complete(const bgzf_block_walk_t* w) {
    return !w->is_damaged && w->header_have == 0 && w->block_left == 0;
}

int bgzf_write_raw(BGZF* out, const void* data, size_t n) {
    if (out->open_mode != 'w' || out->block_offset != 0) return -1;
    if (out->mt && mt_drain(out) != 0) return -1;
    if (n == 0) return 0;
    if (std::fwrite(data, 1, n, out->x.fpw) != n) return -1;
    out->block_address += static_cast<int64_t>(n);
    return 0;
}

int bgzf_flush_block_rest(BGZF* in, BGZF* out) {
    int rest = in->block_length - in->block_offset;
    if (rest <= 0) return 0;
    const auto* data = static_cast<const uint8_t*>(in->uncompressed_block) + in->block_offset;
    if (bgzf_write(out, data, rest) != rest) return -1;
    if (bgzf_flush(out) != 0) return -1;
    return out->mt ? mt_drain(out) : 0;
}

int bgzf_set_pool(BGZF* fp, thread_pool* pool, int max_blocks) {
    if (!fp || !pool || pool->size() == 0 || fp->mt) return -1;
    auto* mt = new (std::nothrow) bgzf_mt_t;
    if (!mt) return -1;
    mt->pool = pool;
    mt->max_in_flight = max_blocks > 0 ? static_cast<size_t>(max_blocks) : 4 * static_cast<size_t>(pool->size()) + 2;
    if (fp->open_mode == 'r') mt->next_address = knet_tell(fp->x.fpr);
    fp->mt = mt;
    return 0;
}

std::string bgzf_error_text(const BGZF* fp) {
    if (!fp || !fp->error) return "";
    std::string text = fp->error;
    if (fp->error_address >= 0) text += " in the BGZF block at file offset " + std::to_string(fp->error_address);
    return text;
}
