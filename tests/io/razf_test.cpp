// RAZF reader: plain, gzip and RAZF files read byte-exactly in odd chunk
// sizes; seeks (index restarts, the restart from the first block without an
// index, gzip forward-only); damaged headers, trailers, indexes and streams
// end cleanly instead of overreading.
#include "io/razf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "io/razf_writer.h"

namespace {

using razf_test::make_razf;
using test_util::write_file;

// ~6 RAZF blocks of base-like text with stray binary bytes.
std::string sample_data(size_t n = 200000) {
    std::mt19937 rng(11);
    std::string s;
    while (s.size() < n) {
        s += "ACGT"[rng() % 4];
        if (rng() % 61 == 0) s += '\n';
        if (rng() % 997 == 0) s += static_cast<char>(rng());
    }
    s.resize(n);
    return s;
}

std::string read_some(RAZF* rz, int n) {
    std::string s(static_cast<size_t>(n), '\0');
    s.resize(static_cast<size_t>(std::max(razf_read(rz, s.data(), n), 0)));
    return s;
}

std::string read_all(RAZF* rz, int chunk) {
    std::string out, part;
    while (!(part = read_some(rz, chunk)).empty()) out += part;
    return out;
}

class Razf : public ::testing::Test {
protected:
    test_util::scratch_dir dir;
    const std::string data = sample_data();
    const razf_test::razf_file rz_file = make_razf(data);
    const std::string plain = dir.file("data.txt"), gz = dir.file("data.gz"), rzf = dir.file("data.rz");

    void SetUp() override {
        write_file(plain, data);
        test_util::write_gzip_file(gz, data);
        write_file(rzf, rz_file.bytes);
    }
    // Writes `bytes` to a new file and opens it (with or without the index).
    razf_ptr open_bytes(const std::string& bytes, bool with_index = true) {
        const std::string path = dir.file("tmp" + std::to_string(n_tmp++));
        write_file(path, bytes);
        return razf_ptr(with_index ? razf_open(path.c_str(), "r") : razf_open2(path.c_str(), "r"));
    }
    int n_tmp = 0;
};

TEST_F(Razf, EveryFormReadsByteExactInOddChunks) {
    struct {
        const std::string* path;
        bool with_index;
        int type;
    } forms[] = {
        {&plain, true, FILE_TYPE_PLAIN}, {&gz, true, FILE_TYPE_GZ}, {&rzf, true, FILE_TYPE_RZ}, {&rzf, false, FILE_TYPE_RZ}};
    for (const auto& f : forms) {
        for (int chunk : {1, 7, 4095, 4097, 100000}) {
            SCOPED_TRACE(*f.path + " chunk " + std::to_string(chunk) + (f.with_index ? "" : " no index"));
            razf_ptr rz(f.with_index ? razf_open(f.path->c_str(), "r") : razf_open2(f.path->c_str(), "rb"));
            ASSERT_TRUE(rz);
            EXPECT_EQ(rz->file_type, f.type);
            EXPECT_EQ(read_all(rz.get(), chunk), data);
            EXPECT_EQ(rz->out, static_cast<int64_t>(data.size()));
            EXPECT_EQ(rz->z_err, 0);
        }
    }
    razf_ptr rz(razf_open(rzf.c_str(), "r"));
    EXPECT_EQ(rz->seekable, 1);
    EXPECT_EQ(rz->src_end, static_cast<int64_t>(data.size()));
    EXPECT_EQ(rz->end, rz_file.end);
    ASSERT_NE(rz->index, nullptr);
    EXPECT_EQ(rz->index->size, static_cast<int>(rz_file.entries.size()));
    EXPECT_EQ(razf_ptr(razf_open2(rzf.c_str(), "r"))->index, nullptr);
}

TEST_F(Razf, RandomSeeksLandExactly) {
    std::mt19937 rng(5);
    const int64_t size = static_cast<int64_t>(data.size());
    for (int form = 0; form < 3; ++form) {
        razf_ptr rz(form == 0   ? razf_open(plain.c_str(), "r")
                    : form == 1 ? razf_open(rzf.c_str(), "r")
                                : razf_open2(rzf.c_str(), "r"));
        for (int i = 0; i < 200; ++i) {
            // Mostly anywhere; some just around block boundaries and the end.
            int64_t p = rng() % 3 ? static_cast<int64_t>(rng() % size)
                                  : static_cast<int64_t>(rng() % 7) * RZ_BLOCK_SIZE + static_cast<int64_t>(rng() % 3) - 1;
            p = std::clamp<int64_t>(p, 0, size);
            const int whence = i % 3;
            const int64_t arg = whence == SEEK_SET ? p : whence == SEEK_CUR ? p - rz->out : p - size;
            SCOPED_TRACE("form " + std::to_string(form) + " to " + std::to_string(p) + " whence " + std::to_string(whence));
            ASSERT_EQ(razf_seek(rz.get(), arg, whence), p);
            ASSERT_EQ(rz->out, p);
            if (form == 0) {
                ASSERT_EQ(rz->in, p);  // a plain stream's position is the file offset
            }
            const int n = 1 + static_cast<int>(rng() % 5000);
            ASSERT_EQ(read_some(rz.get(), n), data.substr(static_cast<size_t>(p), static_cast<size_t>(n)));
        }
    }
}

// Block 1 is made undecodable: only a seek that restarts at a later block's
// index entry can still deliver data beyond it.
TEST_F(Razf, IndexRestartsAtTheBlockAndSkipsEarlierDamage) {
    std::string bad = rz_file.bytes;
    auto& b = bad[static_cast<size_t>(rz_file.entries[0])];
    b = static_cast<char>((b & ~1) | 6);  // deflate block type 3 is invalid
    razf_ptr rz = open_bytes(bad);
    ASSERT_TRUE(rz && rz->index);
    EXPECT_EQ(razf_seek(rz.get(), 100000, SEEK_SET), 100000);
    EXPECT_GT(rz->in, rz_file.entries[2]);  // inflating resumed at block 3 (byte 98304)
    EXPECT_LE(rz->in, rz_file.entries[3]);
    EXPECT_EQ(read_some(rz.get(), 5000), data.substr(100000, 5000));

    testing::internal::CaptureStderr();
    EXPECT_EQ(razf_seek(rz.get(), 40000, SEEK_SET), 32768);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rz->z_err, 1);
    EXPECT_EQ(read_some(rz.get(), 10), "");
    EXPECT_EQ(err.rfind("[_razf_read] inflate error: -3 invalid block type (at ", 0), 0u) << err;
    EXPECT_EQ(razf_seek(rz.get(), 10, SEEK_SET), 10);  // a restart clears the error
    EXPECT_EQ(read_some(rz.get(), 100), data.substr(10, 100));

    razf_ptr no_index = open_bytes(bad, false);
    testing::internal::CaptureStderr();
    EXPECT_EQ(razf_seek(no_index.get(), 100000, SEEK_SET), 32768);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(no_index->z_err, 1);
}

TEST_F(Razf, GzipSeeksOnlyForward) {
    razf_ptr rz(razf_open(gz.c_str(), "r"));
    ASSERT_EQ(razf_seek(rz.get(), 50000, SEEK_SET), 50000);
    EXPECT_EQ(read_some(rz.get(), 10), data.substr(50000, 10));
    EXPECT_EQ(razf_seek(rz.get(), 1000, SEEK_SET), 50010);  // refused, position unchanged
    EXPECT_EQ(razf_seek(rz.get(), -5, SEEK_CUR), 50010);
    EXPECT_EQ(razf_seek(rz.get(), -5, SEEK_END), 50010);  // length unknown
    EXPECT_EQ(read_some(rz.get(), 10), data.substr(50010, 10));
    EXPECT_EQ(razf_seek(rz.get(), 100, SEEK_CUR), 50120);
    EXPECT_EQ(read_some(rz.get(), 10), data.substr(50120, 10));
    EXPECT_EQ(razf_seek(rz.get(), 1 << 30, SEEK_SET), static_cast<int64_t>(data.size()));
    EXPECT_EQ(read_some(rz.get(), 10), "");
}

TEST_F(Razf, DamagedTrailerOrIndexFallsBackToSequentialReading) {
    auto patch_be = [&](int64_t at, uint64_t v, int n) {
        std::string s = rz_file.bytes;
        for (int i = 0; i < n; ++i) s[static_cast<size_t>(at + i)] = static_cast<char>(v >> (8 * (n - 1 - i)));
        return s;
    };
    const int64_t len = static_cast<int64_t>(rz_file.bytes.size());
    const std::string cases[] = {
        patch_be(rz_file.end, 0x7fffffff, 4),              // index size beyond the file
        patch_be(rz_file.end + 4 + 8 + 4, 0xffffffff, 4),  // second entry past the data
        patch_be(len - 8, static_cast<uint64_t>(len), 8),  // index offset beyond the file
        patch_be(len - 16, 10, 8),                         // length shorter than the data
    };
    for (const auto& bytes : cases) {
        razf_ptr rz = open_bytes(bytes);
        ASSERT_TRUE(rz);
        EXPECT_EQ(rz->file_type, FILE_TYPE_RZ);
        EXPECT_EQ(rz->seekable, 0);
        EXPECT_EQ(rz->index, nullptr);
        EXPECT_EQ(rz->end, INT64_MAX);
        EXPECT_EQ(read_all(rz.get(), 3000), data);
        EXPECT_EQ(razf_seek(rz.get(), 70000, SEEK_SET), 70000);  // restarted from the first block
        EXPECT_EQ(read_some(rz.get(), 100), data.substr(70000, 100));
    }

    std::string other_block = rz_file.bytes;
    other_block[17] = 0x40;
    testing::internal::CaptureStderr();
    razf_ptr rz = open_bytes(other_block);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind(" -- WARNING: RZ_BLOCK_SIZE is not 32768, treat source as gz file.  in ", 0), 0u) << err;
    EXPECT_EQ(rz->file_type, FILE_TYPE_GZ);
    EXPECT_EQ(read_all(rz.get(), 4096), data);
}

TEST_F(Razf, TruncatedOrCorruptStreamsEndCleanly) {
    const std::string gz_bytes = test_util::read_file(gz);
    // Cuts inside the deflate data (a gzip file ends with an 8-byte trailer).
    const size_t gz_data_end = gz_bytes.size() - 8, rz_data_end = static_cast<size_t>(rz_file.end);
    for (const std::string* full : {&gz_bytes, &rz_file.bytes}) {
        const size_t data_end = full == &gz_bytes ? gz_data_end : rz_data_end;
        for (size_t cut : {size_t{20}, size_t{25}, size_t{1000}, data_end / 2, data_end - 9}) {
            SCOPED_TRACE(cut);
            razf_ptr rz = open_bytes(full->substr(0, cut));
            ASSERT_TRUE(rz);
            const std::string got = read_all(rz.get(), 777);
            EXPECT_LT(got.size(), data.size());
            EXPECT_EQ(got, data.substr(0, got.size()));
        }
    }
    // Garbage over block 2's compressed data: blocks 0 and 1 still arrive intact.
    std::string bad = rz_file.bytes;
    for (int64_t i = rz_file.entries[1]; i < rz_file.entries[1] + 200; ++i) bad[static_cast<size_t>(i)] = '\xff';
    testing::internal::CaptureStderr();
    razf_ptr rz = open_bytes(bad);
    const std::string got = read_all(rz.get(), 4096);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[_razf_read] inflate error"), std::string::npos);
    EXPECT_EQ(rz->z_err, 1);
    ASSERT_GE(got.size(), 2u * RZ_BLOCK_SIZE);
    EXPECT_EQ(got.substr(0, 2 * RZ_BLOCK_SIZE), data.substr(0, 2 * RZ_BLOCK_SIZE));
}

TEST_F(Razf, ShortAndMissingFiles) {
    const std::string missing = dir.file("missing");
    testing::internal::CaptureStderr();
    EXPECT_EQ(razf_open(missing.c_str(), "r"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "open: No such file or directory\n[_razf_open] fail to open " + missing + "\n");
    EXPECT_EQ(razf_open(plain.c_str(), "w"), nullptr);

    struct {
        std::string bytes;
        int type;
        std::string content;
    } cases[] = {
        {"", FILE_TYPE_PLAIN, ""},
        {"\x1f\x8b", FILE_TYPE_PLAIN, "\x1f\x8b"},
        {std::string("\x1f\x8b\x08\x08\0\0\0\0\0\x03name", 14), FILE_TYPE_PLAIN,
         std::string("\x1f\x8b\x08\x08\0\0\0\0\0\x03name", 14)},
        {std::string("\x1f\x8b\x08\x00\0\0\0\0\0\x03", 10), FILE_TYPE_GZ, ""},
        {std::string("\x1f\x8b\x08\x04\0\0\0\0\0\x03\x07\0RAZF\x01\x80\x00", 19), FILE_TYPE_RZ, ""},
    };
    for (const auto& c : cases) {
        razf_ptr rz = open_bytes(c.bytes);
        ASSERT_TRUE(rz);
        EXPECT_EQ(rz->file_type, c.type);
        EXPECT_EQ(read_all(rz.get(), 3), c.content);
        EXPECT_EQ(razf_seek(rz.get(), 0, SEEK_SET), 0);
        EXPECT_EQ(read_all(rz.get(), 3), c.content);
    }
}

}  // namespace
