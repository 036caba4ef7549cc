// BAM reading and writing speed against plain zlib on the same blocks.
//
// Reading: decoding every record (BGZF read + record decoding) compared with
// inflating the file's blocks with zlib (the floor; the target is decoding
// at least 1.5 times as fast).  Writing: encoding every record into a BGZF
// stream at the default level compared with deflating the same block inputs
// with zlib at that level (target: at most 1.1 times the floor).
//
// usage: bench_bam [-r] FILE.bam [RUNS] [FILE.sam]
// When FILE.bam does not exist it is made from FILE.sam first.  With -r only
// reading is measured (decoding, its inflate floor and the CRC32 share), so
// that repeated runs comparing two builds stay short.
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <libdeflate.h>

#include "bam/bam.h"
#include "bam/bam_codec.h"
#include "bam/sam.h"
#include "zlib_floor.h"

namespace {

using namespace bench;

// The checksum work the reader adds per block: CRC32 of each block's data,
// taken as the reader does, right after the data was written to a 64 KiB
// buffer (so it is in cache); only the checksum itself is timed.
double crc_all(const std::string& stream, const std::vector<block_ref>& blocks) {
    std::vector<char> buf(65536);
    double t = 0;
    uint32_t sink = 0;
    size_t p = 0;
    for (const auto& b : blocks) {
        std::memcpy(buf.data(), stream.data() + p, b.isize);
        auto t0 = clock_type::now();
        sink ^= libdeflate_crc32(0, buf.data(), b.isize);
        t += seconds_since(t0);
        p += b.isize;
    }
    volatile uint32_t keep = sink;
    (void)keep;
    return t;
}

// Processor time of this process, which a busy shared machine disturbs far
// less than elapsed time.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double decode_all(const char* fn, size_t* n_records, double* cpu = nullptr) {
    const double c0 = cpu_seconds();
    auto t0 = clock_type::now();
    BGZF* fp = bgzf_open(fn, "r");
    bam_header_t* h = bam_header_read(fp);
    bam1_t* b = bam_init1();
    size_t n = 0;
    int r;
    // As the readers decode: with the record checks and the header's reference count.
    while ((r = bam_read1_bounded(fp, b, h->n_targets)) >= 0) ++n;
    double t = seconds_since(t0);
    if (cpu) *cpu = cpu_seconds() - c0;
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
    const bool read_only = argc > 1 && std::strcmp(argv[1], "-r") == 0;
    if (read_only) {
        --argc;
        ++argv;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_bam [-r] FILE.bam [RUNS] [FILE.sam]\n");
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
    if (!read_only) {
        const std::string tmp = std::string(fn) + ".bench-tmp";
        encode_all(stream, header_len, tmp.c_str());
        for (const auto& b : list_blocks(slurp(tmp)))
            if (b.isize) inputs.push_back(b.isize);
        std::remove(tmp.c_str());
    }

    std::vector<double> t_inflate, t_decode, t_encode, t_deflate, t_crc, c_decode;
    size_t n_records = 0;
    for (int i = 0; i < runs; ++i) {
        t_inflate.push_back(zlib_inflate_all(file, blocks, nullptr));
        double cpu = 0;
        t_decode.push_back(decode_all(fn, &n_records, &cpu));
        c_decode.push_back(cpu);
        t_crc.push_back(crc_all(stream, blocks));
        if (read_only) continue;
        t_encode.push_back(encode_all(stream, header_len, "/dev/null"));
        t_deflate.push_back(zlib_deflate_blocks(stream, inputs));
    }
    const double mb = static_cast<double>(stream.size()) / 1e6;
    std::printf("file: %s, %.1f MB compressed, %.1f MB uncompressed, %zu blocks, %zu records\n", fn,
                static_cast<double>(file.size()) / 1e6, mb, blocks.size(), n_records);
    const double inflate_t = median(t_inflate), decode_t = median(t_decode);
    std::printf("zlib inflate of the blocks: %.2f s (%.0f MB/s)\n", inflate_t, mb / inflate_t);
    std::printf("decoding every record:      %.2f s (%.0f MB/s), %.2f times as fast as the floor\n", decode_t, mb / decode_t,
                inflate_t / decode_t);
    const double crc_t = median(t_crc);
    std::printf("  of which the CRC32 check: %.3f s, %.1f %% of decoding without it\n", crc_t,
                100.0 * crc_t / (decode_t - crc_t));
    if (read_only) {
        std::printf("decode runs:");
        for (double t : t_decode) std::printf(" %.3f", t);
        std::printf("\ndecode processor time:");
        for (double t : c_decode) std::printf(" %.3f", t);
        std::printf("\ninflate runs:");
        for (double t : t_inflate) std::printf(" %.3f", t);
        std::printf("\n(medians of %d runs)\n", runs);
        return 0;
    }
    const double encode_t = median(t_encode), deflate_t = median(t_deflate);
    std::printf("zlib deflate of the blocks: %.2f s (%.0f MB/s)\n", deflate_t, mb / deflate_t);
    std::printf("encoding every record:      %.2f s (%.0f MB/s), %.3f times the floor\n", encode_t, mb / encode_t,
                encode_t / deflate_t);
    std::printf("(medians of %d runs)\n", runs);
    return 0;
}
