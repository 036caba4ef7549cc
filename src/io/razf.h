// Random-access reading of plain, gzip and RAZF files as one uncompressed
// byte stream.
//
// RAZF is gzip whose deflate stream is fully flushed every 32768 input bytes
// and which carries a block index and a 16-byte trailer after the compressed
// data, so any position is reached by inflating from the nearest block start.
// Plain files seek freely; ordinary gzip only forwards (a backward request
// leaves the position unchanged, and razf_seek returns that position so the
// caller can tell).  Every file read is bounded by the end of the compressed
// data; a damaged or truncated file ends the data or sets `z_err`.
// Writing RAZF files is not supported.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>

#include "io/knetfile.h"

inline constexpr int RZ_BLOCK_SIZE = 32768;  // uncompressed bytes per block
inline constexpr int RZ_BUFFER_SIZE = 4096;
inline constexpr int RZ_BIN_SIZE = 1 << 17;  // index entries per bin offset

enum { FILE_TYPE_RZ = 1, FILE_TYPE_PLAIN = 2, FILE_TYPE_GZ = 3 };

// Entry i is the file offset of the compressed data of uncompressed block
// i + 1: bin_offsets[i >> 17] + cell_offsets[i].
struct ZBlockIndex {
    int size, cap;
    int64_t* bin_offsets;
    uint32_t* cell_offsets;
};

struct RAZF {
    char mode;  // 'r'
    int file_type;
    knetFile* x;
    z_stream* stream;    // raw inflater; null for plain files
    ZBlockIndex* index;  // null unless loaded and valid
    int64_t in;          // file offset of the next compressed byte for the inflater
    int64_t out;         // uncompressed position delivered to the caller
    int64_t end;         // file offset where the compressed data ends; INT64_MAX if unknown
    int64_t src_end;     // uncompressed length; INT64_MAX if unknown
    int buf_flush;       // the last inflate stopped at a deflate block boundary
    int64_t block_pos, block_off, next_block_pos;
    uint8_t inbuf[RZ_BUFFER_SIZE], outbuf[RZ_BUFFER_SIZE];
    int header_size;
    int buf_off, buf_len;  // unread part of outbuf
    int z_err, z_eof;
    int seekable;    // the trailer was read and is consistent
    int load_index;  // the block index was requested
};

// Opens `fn` (local path or ftp:// / http:// URL) for reading; the mode must
// contain 'r'.  razf_open loads the block index of a RAZF file, razf_open2
// does not (backward seeks then restart from the first block).
RAZF* razf_open(const char* fn, const char* mode);
RAZF* razf_open2(const char* fn, const char* mode);
// Bytes delivered, 0 at the end of the data or after an error.
int razf_read(RAZF* rz, void* data, int size);
// whence 0/1/2 = from the start / the current position / the uncompressed
// end.  Returns the new uncompressed position, which differs from the
// request when it could not be served (gzip backward seek, end of data,
// decompression error, negative target).
int64_t razf_seek(RAZF* rz, int64_t pos, int whence);
void razf_close(RAZF* rz);

struct razf_closer {
    void operator()(RAZF* rz) const { razf_close(rz); }
};
using razf_ptr = std::unique_ptr<RAZF, razf_closer>;
