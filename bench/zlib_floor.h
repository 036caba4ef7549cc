// Floors for the BAM benchmarks: plain zlib inflating or deflating the same
// BGZF blocks that our code reads or writes, measured in the same run.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

using clock_type = std::chrono::steady_clock;

inline double seconds_since(clock_type::time_point t0) { return std::chrono::duration<double>(clock_type::now() - t0).count(); }

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct block_ref {
    size_t offset, size;  // compressed block in the file
    size_t isize;         // its data length
};

inline std::vector<block_ref> list_blocks(const std::string& file) {
    std::vector<block_ref> blocks;
    size_t p = 0;
    while (p + 18 <= file.size()) {
        auto u8 = [&](size_t i) { return static_cast<uint8_t>(file[p + i]); };
        size_t size = (u8(16) | u8(17) << 8) + 1;
        size_t isize = u8(size - 4) | u8(size - 3) << 8 | u8(size - 2) << 16 | static_cast<size_t>(u8(size - 1)) << 24;
        blocks.push_back({p, size, isize});
        p += size;
    }
    return blocks;
}

// zlib inflation of every block into one stream; returns seconds.
inline double zlib_inflate_all(const std::string& file, const std::vector<block_ref>& blocks, std::string* stream) {
    z_stream zs{};
    inflateInit2(&zs, -15);
    std::vector<unsigned char> out(65536);
    if (stream) stream->clear();
    auto t0 = clock_type::now();
    for (const auto& b : blocks) {
        inflateReset(&zs);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + b.offset + 18));
        zs.avail_in = static_cast<uInt>(b.size - 26);
        zs.next_out = out.data();
        zs.avail_out = 65536;
        if (inflate(&zs, Z_FINISH) != Z_STREAM_END) {
            std::fprintf(stderr, "bench_bam: zlib cannot inflate the block at %zu\n", b.offset);
            std::exit(1);
        }
        if (stream) stream->append(reinterpret_cast<char*>(out.data()), zs.total_out);
    }
    double t = seconds_since(t0);
    inflateEnd(&zs);
    return t;
}

// zlib deflation of the given block inputs at the default level; returns seconds.
inline double zlib_deflate_blocks(const std::string& stream, const std::vector<size_t>& inputs) {
    z_stream zs{};
    deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> out(65536);
    size_t p = 0;
    auto t0 = clock_type::now();
    for (size_t n : inputs) {
        deflateReset(&zs);
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data() + p));
        zs.avail_in = static_cast<uInt>(n);
        zs.next_out = out.data();
        zs.avail_out = 65536 - 26;
        deflate(&zs, Z_FINISH);
        // The CRC is part of every block, so the floor pays for it too.
        volatile uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(stream.data() + p), static_cast<uInt>(n));
        (void)crc;
        p += n;
    }
    double t = seconds_since(t0);
    deflateEnd(&zs);
    return t;
}

// Floor of a command that reads `inputs` and writes `output`: zlib inflation
// of every input block plus zlib deflation of the output's block inputs.
inline double zlib_floor(const std::vector<std::string>& inputs, const std::string& output) {
    double t = 0;
    for (const auto& in : inputs) {
        std::string file = slurp(in);
        t += zlib_inflate_all(file, list_blocks(file), nullptr);
    }
    std::string file = slurp(output), stream;
    const auto blocks = list_blocks(file);
    zlib_inflate_all(file, blocks, &stream);
    std::vector<size_t> sizes;
    for (const auto& b : blocks)
        if (b.isize) sizes.push_back(b.isize);
    return t + zlib_deflate_blocks(stream, sizes);
}

}  // namespace bench
