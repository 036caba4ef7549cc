// BAM reading and writing speed against plain zlib on the same blocks.
//
// Reading: decoding every record (BGZF read + record decoding) compared with
// inflating the file's blocks with zlib (the floor; the target is decoding
// at least 1.5 times as fast).  Writing: encoding every record into a BGZF
// stream at the default level compared with deflating the same block inputs
// with zlib at that level (target: at most 1.1 times the floor).
//
// usage: bench_bam FILE.bam [RUNS] [FILE.sam]
// When FILE.bam does not exist it is made from FILE.sam first.
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bam/bam.h"
#include "bam/sam.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) { return std::chrono::duration<double>(clock_type::now() - t0).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct block_ref {
    size_t offset, size;  // compressed block in the file
    size_t isize;         // its data length
};

std::vector<block_ref> list_blocks(const std::string& file) {
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
double zlib_inflate_all(const std::string& file, const std::vector<block_ref>& blocks, std::string* stream) {
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

double decode_all(const char* fn, size_t* n_records) {
    auto t0 = clock_type::now();
    BGZF* fp = bgzf_open(fn, "r");
    bam_header_t* h = bam_header_read(fp);
    bam1_t* b = bam_init1();
    size_t n = 0;
    int r;
    while ((r = bam_read1(fp, b)) >= 0) ++n;
    double t = seconds_since(t0);
    if (r != -1) {
        std::fprintf(stderr, "bench_bam: read error %d\n", r);
        std::exit(1);
    }
    bam_destroy1(b);
    bam_header_destroy(h);
    bgzf_close(fp);
    *n_records = n;
    return t;
}

uint32_t le32(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Re-encodes every record of the decompressed stream into a BGZF stream at
// the default level, written to `out`; returns seconds.
double encode_all(const std::string& stream, size_t header_len, const char* out) {
    auto t0 = clock_type::now();
    BGZF* fp = bgzf_open(out, "w");
    bgzf_write(fp, stream.data(), static_cast<int>(header_len));
    bgzf_flush(fp);
    bam1_core_t c;
    for (size_t p = header_len; p + 36 <= stream.size();) {
        int32_t block_size = static_cast<int32_t>(le32(stream.data() + p));
        const char* q = stream.data() + p + 4;
        c.tid = static_cast<int32_t>(le32(q));
        c.pos = static_cast<int32_t>(le32(q + 4));
        uint32_t x = le32(q + 8);
        c.bin = static_cast<uint16_t>(x >> 16);
        c.qual = static_cast<uint8_t>(x >> 8);
        c.l_qname = static_cast<uint8_t>(x);
        x = le32(q + 12);
        c.flag = static_cast<uint16_t>(x >> 16);
        c.n_cigar = static_cast<uint16_t>(x);
        c.l_qseq = static_cast<int32_t>(le32(q + 16));
        c.mtid = static_cast<int32_t>(le32(q + 20));
        c.mpos = static_cast<int32_t>(le32(q + 24));
        c.isize = static_cast<int32_t>(le32(q + 28));
        bam_write1_core(fp, &c, block_size - 32, reinterpret_cast<uint8_t*>(const_cast<char*>(q + 32)));
        p += 4 + static_cast<size_t>(block_size);
    }
    bgzf_close(fp);
    return seconds_since(t0);
}

// zlib deflation of the given block inputs at the default level; returns seconds.
double zlib_deflate_blocks(const std::string& stream, const std::vector<size_t>& inputs) {
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

void make_bam(const char* sam, const char* bam) {
    std::fprintf(stderr, "bench_bam: converting %s to %s\n", sam, bam);
    samfile_t* in = samopen(sam, "r", nullptr);
    if (!in) std::exit(1);
    samfile_t* out = samopen(bam, "wb", in->header);
    bam1_t* b = bam_init1();
    while (samread(in, b) >= 0) samwrite(out, b);
    bam_destroy1(b);
    samclose(out);
    samclose(in);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_bam FILE.bam [RUNS] [FILE.sam]\n");
        return 1;
    }
    const char* fn = argv[1];
    int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    struct stat st;
    if (stat(fn, &st) != 0) {
        if (argc < 4) {
            std::fprintf(stderr, "bench_bam: %s does not exist and no SAM file was given\n", fn);
            return 1;
        }
        make_bam(argv[3], fn);
    }
    const std::string file = slurp(fn);
    const auto blocks = list_blocks(file);
    std::string stream;
    zlib_inflate_all(file, blocks, &stream);
    // The header is the whole first block (it is flushed on its own).
    const size_t header_len = blocks.front().isize;

    // The block inputs our writer produces, for the deflate floor.
    std::vector<size_t> inputs;
    {
        const std::string tmp = std::string(fn) + ".bench-tmp";
        encode_all(stream, header_len, tmp.c_str());
        for (const auto& b : list_blocks(slurp(tmp)))
            if (b.isize) inputs.push_back(b.isize);
        std::remove(tmp.c_str());
    }

    std::vector<double> t_inflate, t_decode, t_encode, t_deflate;
    size_t n_records = 0;
    for (int i = 0; i < runs; ++i) {
        t_inflate.push_back(zlib_inflate_all(file, blocks, nullptr));
        t_decode.push_back(decode_all(fn, &n_records));
        t_encode.push_back(encode_all(stream, header_len, "/dev/null"));
        t_deflate.push_back(zlib_deflate_blocks(stream, inputs));
    }
    const double mb = static_cast<double>(stream.size()) / 1e6;
    std::printf("file: %s, %.1f MB compressed, %.1f MB uncompressed, %zu blocks, %zu records\n", fn,
                static_cast<double>(file.size()) / 1e6, mb, blocks.size(), n_records);
    double inflate_t = median(t_inflate), decode_t = median(t_decode), encode_t = median(t_encode), deflate_t = median(t_deflate);
    std::printf("zlib inflate of the blocks: %.2f s (%.0f MB/s)\n", inflate_t, mb / inflate_t);
    std::printf("decoding every record:      %.2f s (%.0f MB/s), %.2f times as fast as the floor\n", decode_t, mb / decode_t,
                inflate_t / decode_t);
    std::printf("zlib deflate of the blocks: %.2f s (%.0f MB/s)\n", deflate_t, mb / deflate_t);
    std::printf("encoding every record:      %.2f s (%.0f MB/s), %.3f times the floor\n", encode_t, mb / encode_t,
                encode_t / deflate_t);
    std::printf("(medians of %d runs)\n", runs);
    return 0;
}
