// A small RAZF writer for tests: a gzip header with the 7-byte "RAZF" extra
// field, raw deflate data fully flushed after every 32768 input bytes, the
// big-endian block index and the 16-byte trailer.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace razf_test {

struct razf_file {
    std::string bytes;
    std::vector<int64_t> entries;  // file offset of the compressed block i + 1
    int64_t header_size = 0;
    int64_t end = 0;  // file offset of the block index
};

inline void put_be(std::string& s, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) s += static_cast<char>(v >> (8 * i) & 0xff);
}

inline razf_file make_razf(const std::string& data) {
    static const unsigned char header[] = {31, 139, 8, 4, 0, 0, 0, 0, 0, 3, 7, 0, 'R', 'A', 'Z', 'F', 1, 0x80, 0x00};
    razf_file f;
    std::string& out = f.bytes;
    out.assign(reinterpret_cast<const char*>(header), sizeof header);
    f.header_size = static_cast<int64_t>(out.size());
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::vector<unsigned char> buf(1 << 16);
    auto deflate_chunk = [&](size_t from, size_t n, int flush) {
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + from));
        zs.avail_in = static_cast<uInt>(n);
        do {
            zs.next_out = buf.data();
            zs.avail_out = static_cast<uInt>(buf.size());
            deflate(&zs, flush);
            out.append(reinterpret_cast<const char*>(buf.data()), buf.size() - zs.avail_out);
        } while (zs.avail_out == 0);
    };
    size_t pos = 0;
    for (; pos + 32768 <= data.size(); pos += 32768) {
        deflate_chunk(pos, 32768, Z_FULL_FLUSH);
        f.entries.push_back(static_cast<int64_t>(out.size()));
    }
    deflate_chunk(pos, data.size() - pos, Z_FINISH);
    deflateEnd(&zs);
    f.end = static_cast<int64_t>(out.size());

    const size_t size = f.entries.size(), n_bins = (size >> 17) + 1;
    std::vector<int64_t> bins(n_bins, 0);
    for (size_t i = 0; i < size; i += size_t{1} << 17) bins[i >> 17] = f.entries[i];
    put_be(out, size, 4);
    for (int64_t b : bins) put_be(out, static_cast<uint64_t>(b), 8);
    for (size_t i = 0; i < size; ++i) put_be(out, static_cast<uint64_t>(f.entries[i] - bins[i >> 17]), 4);
    put_be(out, data.size(), 8);
    put_be(out, static_cast<uint64_t>(f.end), 8);
    return f;
}

}  // namespace razf_test
