// BGZF streams: block layout and reproducible bytes, reading back through
// seeks and the cache, truncated and foreign input.
#include "io/bgzf.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"

namespace {

using test_util::random_bytes;
using test_util::read_file;
using test_util::scratch_dir;
using test_util::text_bytes;
using test_util::write_file;

void write_bgzf(const std::string& path, const std::string& data, const char* mode = "w", size_t chunk = 7000) {
    BGZF* fp = bgzf_open(path.c_str(), mode);
    ASSERT_NE(fp, nullptr);
    for (size_t i = 0; i < data.size(); i += chunk) {
        int n = static_cast<int>(std::min(chunk, data.size() - i));
        ASSERT_EQ(bgzf_write(fp, data.data() + i, n), n);
    }
    ASSERT_EQ(bgzf_close(fp), 0);
}

struct block_info {
    size_t offset, size, isize;
    std::string deflated;
};

// Splits a file into its blocks, checking each header as it goes.
std::vector<block_info> split_blocks(const std::string& file) {
    std::vector<block_info> blocks;
    size_t p = 0;
    while (p < file.size()) {
        EXPECT_GE(file.size() - p, 26u);
        auto u8 = [&](size_t i) { return static_cast<uint8_t>(file[p + i]); };
        EXPECT_EQ(u8(0), 31);
        EXPECT_EQ(u8(1), 139);
        EXPECT_EQ(u8(3), 4);
        EXPECT_EQ(u8(12), 'B');
        EXPECT_EQ(u8(13), 'C');
        size_t size = (u8(16) | u8(17) << 8) + 1;
        size_t isize = u8(size - 4) | u8(size - 3) << 8 | u8(size - 2) << 16 | static_cast<size_t>(u8(size - 1)) << 24;
        blocks.push_back({p, size, isize, file.substr(p + 18, size - 26)});
        p += size;
    }
    return blocks;
}

std::string raw_deflate(const std::string& in, int level) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(65536, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

std::string read_all(BGZF* fp, int chunk = 1000) {
    std::string out;
    std::vector<char> buf(chunk);
    int n;
    while ((n = bgzf_read(fp, buf.data(), chunk)) > 0) out.append(buf.data(), n);
    EXPECT_EQ(n, 0) << (fp->error ? fp->error : "");
    return out;
}

TEST(Bgzf, EmptyStreamIsExactlyTheEndOfFileMarker) {
    scratch_dir dir;
    write_bgzf(dir.file("e.gz"), "");
    const std::string file = read_file(dir.file("e.gz"));
    ASSERT_EQ(file.size(), 28u);
    EXPECT_EQ(std::memcmp(file.data(), bgzf_eof_marker, 28), 0);
    BGZF* fp = bgzf_open(dir.file("e.gz").c_str(), "r");
    EXPECT_EQ(bgzf_check_EOF(fp), 1);
    EXPECT_EQ(read_all(fp), "");
    bgzf_close(fp);
}

TEST(Bgzf, BlocksAreZlibDeflateOfTheirInputAndGzipReadable) {
    scratch_dir dir;
    const std::string data = text_bytes(300000) + random_bytes(150000, 1) + text_bytes(50000);
    for (const char* mode : {"w", "w1", "w9", "w0", "wu5"}) {
        SCOPED_TRACE(mode);
        const std::string path = dir.file("d.gz");
        write_bgzf(path, data, mode);
        const std::string file = read_file(path);
        EXPECT_EQ(file.substr(file.size() - 28), std::string(reinterpret_cast<const char*>(bgzf_eof_marker), 28));
        int level = mode[1] == 'u' ? 0 : mode[1] ? mode[1] - '0' : Z_DEFAULT_COMPRESSION;
        size_t consumed = 0;
        auto blocks = split_blocks(file.substr(0, file.size() - 28));
        for (const auto& b : blocks) {
            ASSERT_LE(b.isize, 65536u);
            EXPECT_EQ(b.deflated, raw_deflate(data.substr(consumed, b.isize), level)) << "block at " << b.offset;
            consumed += b.isize;
        }
        EXPECT_EQ(consumed, data.size());
        // Any gzip reader sees one stream made of many members.
        gzFile gz = gzopen(path.c_str(), "rb");
        std::string back(data.size() + 10, '\0');
        EXPECT_EQ(gzread(gz, back.data(), static_cast<unsigned>(back.size())), static_cast<int>(data.size()));
        gzclose(gz);
        back.resize(data.size());
        EXPECT_TRUE(back == data);
        if (access("/bin/gzip", X_OK) == 0) {  // and so does the gzip program
            test_util::run_result r = test_util::run({"/bin/gzip", "-dc", path});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(r.out == data);
        }
    }
}

TEST(Bgzf, IncompressibleFullBlockIsSplitInStepsOf1024) {
    scratch_dir dir;
    const std::string data = random_bytes(65536, 7);
    write_bgzf(dir.file("r.gz"), data, "w", 65536);
    const std::string file = read_file(dir.file("r.gz"));
    auto blocks = split_blocks(file.substr(0, file.size() - 28));
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_LT(blocks[0].isize, 65536u);
    EXPECT_EQ((65536 - blocks[0].isize) % 1024, 0u);
    EXPECT_EQ(blocks[0].isize + blocks[1].isize, 65536u);
    EXPECT_LE(blocks[0].size, 65536u);
}

TEST(Bgzf, SeeksByVirtualOffsetAndReportsTheNextBlockAtABlockEnd) {
    scratch_dir dir;
    const std::string data = text_bytes(400000);
    write_bgzf(dir.file("s.gz"), data);
    const std::string file = read_file(dir.file("s.gz"));
    auto blocks = split_blocks(file.substr(0, file.size() - 28));
    ASSERT_GE(blocks.size(), 3u);
    for (int cache : {0, 4 << 20}) {
        BGZF* fp = bgzf_open(dir.file("s.gz").c_str(), "r");
        bgzf_set_cache_size(fp, cache);
        // Reading exactly one block's data leaves the offset at the next block.
        std::string first(blocks[0].isize, '\0');
        ASSERT_EQ(bgzf_read(fp, first.data(), static_cast<int>(first.size())), static_cast<int>(first.size()));
        EXPECT_EQ(bgzf_voffset(fp), static_cast<int64_t>(blocks[1].offset) << 16);
        // Seeks in random order, revisiting blocks (served from the cache when on).
        size_t start_of[4] = {0, blocks[0].isize, blocks[0].isize + blocks[1].isize, 0};
        for (int round = 0; round < 2; ++round)
            for (int i : {2, 0, 1, 2}) {
                int64_t v = static_cast<int64_t>(blocks[i].offset) << 16 | 100;
                ASSERT_EQ(bgzf_seek(fp, v, SEEK_SET), 0);
                char buf[50];
                ASSERT_EQ(bgzf_read(fp, buf, 50), 50);
                EXPECT_EQ(std::string(buf, 50), data.substr(start_of[i] + 100, 50));
                EXPECT_EQ(bgzf_voffset(fp), v + 50);
            }
        EXPECT_EQ(bgzf_seek(fp, 0, SEEK_CUR), -1);
        EXPECT_STREQ(fp->error, "unimplemented seek option");
        bgzf_close(fp);
    }
}

TEST(Bgzf, ModeMismatchesAreErrors) {
    scratch_dir dir;
    BGZF* w = bgzf_open(dir.file("m.gz").c_str(), "w");
    char buf[4];
    EXPECT_EQ(bgzf_read(w, buf, 4), -1);
    EXPECT_STREQ(w->error, "file not open for reading");
    EXPECT_EQ(bgzf_seek(w, 0, SEEK_SET), -1);
    EXPECT_STREQ(w->error, "file not open for read");
    bgzf_close(w);
    BGZF* r = bgzf_open(dir.file("m.gz").c_str(), "r");
    EXPECT_EQ(bgzf_write(r, "abcd", 4), -1);
    EXPECT_STREQ(r->error, "file not open for writing");
    bgzf_close(r);
    EXPECT_EQ(bgzf_open(dir.file("m.gz").c_str(), "a"), nullptr);
    EXPECT_EQ(bgzf_open(dir.file("missing.gz").c_str(), "r"), nullptr);
    EXPECT_EQ(bgzf_fdopen(-1, "r"), nullptr);
}

TEST(Bgzf, ForeignAndDamagedInputFailsWithoutCrashing) {
    scratch_dir dir;
    write_file(dir.file("plain.txt"), "this is not a BGZF file at all, just text\n");
    BGZF* fp = bgzf_open(dir.file("plain.txt").c_str(), "r");
    char buf[16];
    EXPECT_EQ(bgzf_read(fp, buf, 16), -1);
    EXPECT_STREQ(fp->error, "invalid block header");
    EXPECT_EQ(bgzf_check_EOF(fp), 0);
    bgzf_close(fp);

    // Corrupt deflate data inside the first block.
    const std::string data = text_bytes(100000);
    write_bgzf(dir.file("c.gz"), data);
    std::string file = read_file(dir.file("c.gz"));
    for (size_t i = 30; i < 60; ++i) file[i] = static_cast<char>(file[i] ^ 0x5a);
    write_file(dir.file("c.gz"), file);
    fp = bgzf_open(dir.file("c.gz").c_str(), "r");
    EXPECT_EQ(bgzf_read(fp, buf, 16), -1);
    EXPECT_STREQ(fp->error, "inflate failed");
    bgzf_close(fp);
}

// A block whose deflate data still inflates but whose footer disagrees must
// not be read as good data: the checksum and the length are both checked.
TEST(Bgzf, BlocksFailTheirChecksumOrLengthCheckWithTheirOffset) {
    scratch_dir dir;
    const std::string data = text_bytes(150000);
    write_bgzf(dir.file("ok.gz"), data);
    const std::string file = read_file(dir.file("ok.gz"));
    const auto blocks = split_blocks(file);
    ASSERT_GE(blocks.size(), 3u);
    const block_info& second = blocks[1];
    struct row {
        size_t at;  // byte of the second block's footer to change
        const char* error;
    };
    for (const row& c : {row{second.size - 8, "CRC32 mismatch"}, row{second.size - 4, "uncompressed size mismatch"}}) {
        SCOPED_TRACE(c.error);
        std::string bad = file;
        bad[second.offset + c.at] = static_cast<char>(bad[second.offset + c.at] ^ 0x01);
        write_file(dir.file("bad.gz"), bad);
        BGZF* fp = bgzf_open(dir.file("bad.gz").c_str(), "r");
        ASSERT_NE(fp, nullptr);
        std::string out(blocks[0].isize, '\0');
        ASSERT_EQ(bgzf_read(fp, out.data(), static_cast<int>(out.size())), static_cast<int>(out.size()));
        char buf[16];
        EXPECT_EQ(bgzf_read(fp, buf, 16), -1);
        EXPECT_STREQ(fp->error, c.error);
        EXPECT_EQ(bgzf_error_text(fp),
                  std::string(c.error) + " in the BGZF block at file offset " + std::to_string(second.offset));
        bgzf_close(fp);
    }

    // Stored (level 0) blocks hold the data as it is: flipping a data bit
    // still inflates, and only the checksum can tell.
    write_bgzf(dir.file("u.gz"), data, "wu");
    std::string stored = read_file(dir.file("u.gz"));
    const auto ublocks = split_blocks(stored);
    stored[ublocks[0].offset + 18 + 5 + 100] ^= 0x04;  // past the stored-block header
    write_file(dir.file("u.gz"), stored);
    BGZF* fp = bgzf_open(dir.file("u.gz").c_str(), "r");
    char buf[16];
    EXPECT_EQ(bgzf_read(fp, buf, 16), -1);
    EXPECT_STREQ(fp->error, "CRC32 mismatch");
    bgzf_close(fp);
    EXPECT_EQ(bgzf_error_text(nullptr), "");
}

TEST(Bgzf, TruncationAtEveryOffsetOfTheLastBlockKeepsTheIntactBlocks) {
    scratch_dir dir;
    const std::string data = text_bytes(200000);
    write_bgzf(dir.file("t.gz"), data);
    const std::string file = read_file(dir.file("t.gz"));
    auto blocks = split_blocks(file.substr(0, file.size() - 28));
    const block_info& last = blocks.back();
    const size_t intact = data.size() - last.isize;
    for (size_t cut = last.offset; cut < last.offset + last.size; ++cut) {
        write_file(dir.file("cut.gz"), file.substr(0, cut));
        BGZF* fp = bgzf_open(dir.file("cut.gz").c_str(), "r");
        EXPECT_EQ(bgzf_check_EOF(fp), 0);
        std::string out(intact, '\0');
        ASSERT_EQ(bgzf_read(fp, out.data(), static_cast<int>(intact)), static_cast<int>(intact));
        EXPECT_TRUE(out == data.substr(0, intact));
        char buf[100];
        int r = bgzf_read(fp, buf, 100);
        if (cut == last.offset) EXPECT_EQ(r, 0);  // cut between blocks: a clean end
        else EXPECT_EQ(r, -1) << "cut at " << cut;
        bgzf_close(fp);
    }
}

TEST(Bgzf, ConcatenatedFilesReadThroughTheInnerMarker) {
    scratch_dir dir;
    write_bgzf(dir.file("a.gz"), "first part|");
    write_bgzf(dir.file("b.gz"), "second part");
    write_file(dir.file("ab.gz"), read_file(dir.file("a.gz")) + read_file(dir.file("b.gz")));
    BGZF* fp = bgzf_open(dir.file("ab.gz").c_str(), "r");
    EXPECT_EQ(read_all(fp, 64), "first part|second part");
    bgzf_close(fp);
}

}  // namespace
