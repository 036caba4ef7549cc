// BGZF: a series of gzip members of at most 64 KiB of data each, every one
// announcing its compressed size, so that a reader can seek to any block and
// address any byte by a 64-bit virtual offset (block file offset << 16 |
// offset inside the block's data).
//
// Reading goes through knetFile (local files, descriptors, FTP, HTTP) and
// inflates with libdeflate, which produces the same bytes as zlib about twice
// as fast.  Writing deflates with zlib (raw deflate, window 15, memory level
// 8, default strategy) so that written files are byte-for-byte reproducible;
// a writer ends the file with the fixed 28-byte end-of-file block.
// Every block read is checked against its CRC32 and uncompressed size, so a
// damaged block that still inflates is reported rather than read.
// Errors are returned as -1 (null from opens) with their text in `error`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "io/knetfile.h"

inline constexpr int BGZF_MAX_BLOCK_SIZE = 65536;
inline constexpr int BGZF_BLOCK_HEADER_LENGTH = 18;
inline constexpr int BGZF_BLOCK_FOOTER_LENGTH = 8;
extern const uint8_t bgzf_eof_marker[28];

struct cache_t {
    int size;
    uint8_t* block;
    int64_t end_offset;
};

struct BGZF {
    int file_descriptor;
    char open_mode;  // 'r' or 'w'
    int16_t owned_file, compress_level;
    union {
        knetFile* fpr;
        FILE* fpw;
    } x;
    int uncompressed_block_size, compressed_block_size;
    void* uncompressed_block;
    void* compressed_block;
    int64_t block_address;
    int block_length, block_offset;
    int cache_size;
    const char* error;
    int64_t error_address;  // file offset of the block a read error came from, or -1
    void* cache;            // block address -> cache_t
    void* deflater;         // zlib stream (or libdeflate compressor), reused for every block
    void* inflater;         // libdeflate decompressor
    int16_t fast_deflate;   // 1: blocks are deflated by libdeflate (ALNKIT_DEFLATE=libdeflate)
    void* mt;               // worker threads' state (bgzf_set_pool), or null
};
using bamFile = BGZF*;
using bcfFile = BGZF*;

BGZF* bgzf_open(const char* path, const char* mode);
BGZF* bgzf_fdopen(int fd, const char* mode);
int bgzf_close(BGZF* fp);
// Closes a writing stream after a failure: what was written stays, pending
// data is dropped and no end-of-file block is added, so the output reads as
// truncated.  A reading stream is simply closed.
int bgzf_abandon(BGZF* fp);
struct bgzf_closer {
    void operator()(BGZF* fp) const { bgzf_close(fp); }
};
using bgzf_ptr = std::unique_ptr<BGZF, bgzf_closer>;
int bgzf_read(BGZF* fp, void* data, int length);
int bgzf_write(BGZF* fp, const void* data, int length);
int bgzf_flush(BGZF* fp);
int bgzf_flush_try(BGZF* fp, int size);
int64_t bgzf_seek(BGZF* fp, int64_t pos, int where);
int bgzf_check_EOF(BGZF* fp);
void bgzf_set_cache_size(BGZF* fp, int cache_size);
int bgzf_read_block(BGZF* fp);
// The last error, with the file offset of its block for read errors (e.g.
// "CRC32 mismatch in the BGZF block at file offset 1234"); empty if none.
std::string bgzf_error_text(const BGZF* fp);

// ---- Worker threads ----
//
// A write stream hands each block it cuts to the pool's workers and writes
// their results in order: the blocks are cut exactly where a single thread
// cuts them and deflated with the same parameters, so the file is the same
// byte for byte.  A read stream reads blocks ahead (a bounded number) and
// has the workers inflate and check them; they are delivered in file order,
// each with the error it would have had when read alone, and a seek drops the
// read-ahead.  Errors surface in the calls that write or read the block.

class thread_pool;

// Attaches `pool` (which must outlive the stream) to the stream; `pool` may
// be shared by several streams.  At most `max_blocks` blocks are in flight
// (0: four per worker and two more; readers of many files at once want
// fewer).  0, or -1 when the pool has no workers or memory runs out (the
// stream then stays single-threaded and usable).
int bgzf_set_pool(BGZF* fp, thread_pool* pool, int max_blocks = 0);

// By default blocks are deflated with zlib, for reproducible bytes.  With the
// environment variable ALNKIT_DEFLATE=libdeflate when a write stream is
// opened, libdeflate deflates them at the same level instead: about twice as
// fast, still valid BGZF, but different bytes.
inline constexpr const char* bgzf_deflate_env = "ALNKIT_DEFLATE";

// ---- Raw block access, for copying blocks without inflating them ----

// Follows the block boundaries of a raw BGZF byte stream fed in pieces of any
// size.  Only block headers are examined; block contents are not inflated.
struct bgzf_block_walk_t {
    uint8_t header[BGZF_BLOCK_HEADER_LENGTH] = {};
    int header_have = 0;      // bytes of the next block header seen so far
    int64_t block_left = 0;   // bytes of the current block not yet seen
    bool is_damaged = false;  // a block header was not a BGZF header
};

// Feeds the next `n` bytes; false once the stream is known not to be BGZF.
bool bgzf_block_walk_feed(bgzf_block_walk_t* w, const uint8_t* p, size_t n);
// True when the bytes fed so far are whole, well-formed blocks.
bool bgzf_block_walk_is_complete(const bgzf_block_walk_t* w);

// Writes bytes straight to the underlying file of a write stream, bypassing
// compression.  The stream must have nothing buffered.  0 or -1.
int bgzf_write_raw(BGZF* out, const void* data, size_t n);
// Compresses what is left of the input's current block into blocks of the
// output's own and flushes them.  0 or -1.
int bgzf_flush_block_rest(BGZF* in, BGZF* out);

inline int64_t bgzf_voffset(const BGZF* fp) { return fp->block_address << 16 | (fp->block_offset & 0xFFFF); }
inline int64_t voffset_block(int64_t v) { return static_cast<int64_t>(static_cast<uint64_t>(v) >> 16); }
inline int voffset_within(int64_t v) { return static_cast<int>(v & 0xFFFF); }
inline int64_t bgzf_tell(const BGZF* fp) { return bgzf_voffset(fp); }
