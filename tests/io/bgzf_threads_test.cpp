// BGZF with worker threads: written files equal the single-threaded bytes for
// every thread count, and reading ahead delivers the same data, virtual
// offsets and errors as reading alone, through seeks and damage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "io/bgzf.h"
#include "io/thread_pool.h"

namespace {

using test_util::random_bytes;
using test_util::read_file;
using test_util::scratch_dir;
using test_util::text_bytes;
using test_util::write_file;

// Writes `data` in pieces of `chunk` bytes; every `cut_every` pieces it asks
// for a cut as the record writers do (bgzf_flush_try with the next size).
int write_stream(const std::string& path, const std::string& data, const char* mode, int threads, size_t chunk, int cut_every) {
    BGZF* fp = bgzf_open(path.c_str(), mode);
    if (!fp) return -2;
    std::unique_ptr<thread_pool> pool;
    if (threads > 0) {
        pool = std::make_unique<thread_pool>(threads);
        if (bgzf_set_pool(fp, pool.get()) != 0) return -3;
    }
    int status = 0;
    for (size_t i = 0, k = 0; i < data.size(); i += chunk, ++k) {
        const int n = static_cast<int>(std::min(chunk, data.size() - i));
        if (cut_every && k % cut_every == 0) bgzf_flush_try(fp, n);
        if (bgzf_write(fp, data.data() + i, n) != n) status = -1;
    }
    if (bgzf_close(fp) != 0) status = -1;
    return status;
}

struct write_case {
    const char* name;
    std::string data;
    const char* mode;
    size_t chunk;
    int cut_every;
};

TEST(BgzfThreads, WrittenBytesEqualTheSingleThreadedFileForEveryThreadCount) {
    scratch_dir dir;
    const std::vector<write_case> cases = {
        {"empty", "", "w", 100, 0},
        {"one byte", "x", "w", 1, 0},
        {"exactly one block", text_bytes(65536), "w", 65536, 0},
        {"text, record-sized pieces with cuts", text_bytes(3 << 20), "w", 333, 7},
        {"text, uncompressed level", text_bytes(1 << 20), "wu", 5000, 3},
        {"text, level 1", text_bytes(1 << 20), "w1", 70000, 0},
        {"text, level 9", text_bytes(1 << 20), "w9", 4096, 2},
        {"random bytes: blocks that must shrink", random_bytes(1 << 20, 7), "w", 65536, 0},
        {"random bytes at level 0", random_bytes(300000, 8), "w0", 1000, 5},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(write_stream(dir.file("one.gz"), c.data, c.mode, 0, c.chunk, c.cut_every), 0) << c.name;
        const std::string want = read_file(dir.file("one.gz"));
        for (int threads : {1, 3, 7}) {
            ASSERT_EQ(write_stream(dir.file("mt.gz"), c.data, c.mode, threads, c.chunk, c.cut_every), 0) << c.name;
            EXPECT_TRUE(read_file(dir.file("mt.gz")) == want) << c.name << " with " << threads << " threads";
        }
    }
}

TEST(BgzfThreads, AFailedWriteFailsTheClose) {
    for (int threads : {0, 2}) {
        EXPECT_EQ(write_stream("/dev/full", text_bytes(1 << 20), "w", threads, 1000, 0), -1) << threads;
    }
}

// Reads a whole stream in pieces, recording each piece's virtual offset.
struct read_trace {
    std::string data;
    std::vector<int64_t> offsets;
    std::string error;
    int status = 0;
};

read_trace read_stream(const std::string& path, thread_pool* pool, int piece) {
    read_trace t;
    BGZF* fp = bgzf_open(path.c_str(), "r");
    if (!fp) return t.status = -2, t;
    if (pool && bgzf_set_pool(fp, pool) != 0) ADD_FAILURE() << "no workers";
    std::vector<char> buf(static_cast<size_t>(piece));
    for (;;) {
        t.offsets.push_back(bgzf_tell(fp));
        int n = bgzf_read(fp, buf.data(), piece);
        if (n < 0) {
            t.status = -1;
            t.error = bgzf_error_text(fp);
            break;
        }
        if (n == 0) break;
        t.data.append(buf.data(), static_cast<size_t>(n));
    }
    bgzf_close(fp);
    return t;
}

TEST(BgzfThreads, ReadingAheadGivesTheSameBytesOffsetsAndErrors) {
    scratch_dir dir;
    const std::string data = text_bytes(3 << 20) + random_bytes(200000, 3) + text_bytes(100000);
    ASSERT_EQ(write_stream(dir.file("a.gz"), data, "w", 0, 1000, 0), 0);
    const std::string file = read_file(dir.file("a.gz"));
    // A damaged copy (a flipped byte in the middle of the data of a block)
    // and a cut one.
    std::string flipped = file;
    flipped[file.size() / 2] ^= 0x20;
    write_file(dir.file("flipped.gz"), flipped);
    write_file(dir.file("cut.gz"), file.substr(0, file.size() * 2 / 3));
    for (const char* name : {"a.gz", "flipped.gz", "cut.gz"}) {
        for (int piece : {1 << 16, 12345, 3}) {
            if (piece == 3 && std::strcmp(name, "a.gz") != 0) continue;
            const read_trace want = read_stream(dir.file(name), nullptr, piece);
            for (int threads : {1, 3}) {
                thread_pool pool(threads);
                const read_trace got = read_stream(dir.file(name), &pool, piece);
                EXPECT_EQ(got.status, want.status) << name << " " << threads;
                EXPECT_EQ(got.error, want.error) << name << " " << threads;
                EXPECT_TRUE(got.data == want.data) << name << " " << threads;
                EXPECT_TRUE(got.offsets == want.offsets) << name << " " << threads;
            }
        }
    }
    EXPECT_EQ(read_stream(dir.file("a.gz"), nullptr, 1 << 16).data, data);
    EXPECT_NE(read_stream(dir.file("flipped.gz"), nullptr, 1 << 16).error, "");
}

TEST(BgzfThreads, SeeksDropTheReadAhead) {
    scratch_dir dir;
    const std::string data = text_bytes(2 << 20);
    ASSERT_EQ(write_stream(dir.file("a.gz"), data, "w", 0, 500, 0), 0);
    // Virtual offsets of every 1000th byte, from a plain reading.
    std::vector<std::pair<int64_t, size_t>> marks;
    {
        BGZF* fp = bgzf_open(dir.file("a.gz").c_str(), "r");
        char buf[1000];
        for (size_t at = 0; at < data.size(); at += sizeof buf) {
            marks.push_back({bgzf_tell(fp), at});
            ASSERT_GT(bgzf_read(fp, buf, sizeof buf), 0);
        }
        bgzf_close(fp);
    }
    thread_pool pool(3);
    BGZF* fp = bgzf_open(dir.file("a.gz").c_str(), "r");
    ASSERT_EQ(bgzf_set_pool(fp, &pool), 0);
    uint64_t x = 12345;
    for (int k = 0; k < 300; ++k) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        const auto& [voffset, at] = marks[(x >> 33) % marks.size()];
        ASSERT_EQ(bgzf_seek(fp, voffset, SEEK_SET), 0);
        const size_t len = std::min<size_t>(1 + (x >> 20) % 200000, data.size() - at);
        std::string got(len, '\0');
        ASSERT_EQ(bgzf_read(fp, got.data(), static_cast<int>(len)), static_cast<int>(len)) << k;
        ASSERT_TRUE(got == data.substr(at, len)) << "seek " << k << " to " << at;
    }
    bgzf_close(fp);
}

TEST(BgzfThreads, LibdeflateDeflationIsOptInAndReadsBack) {
    scratch_dir dir;
    const std::string data = text_bytes(2 << 20) + random_bytes(150000, 5);
    ASSERT_EQ(write_stream(dir.file("zlib.gz"), data, "w", 0, 3000, 0), 0);
    setenv(bgzf_deflate_env, "libdeflate", 1);
    const int single = write_stream(dir.file("fast.gz"), data, "w", 0, 3000, 0);
    const int threaded = write_stream(dir.file("fast-mt.gz"), data, "w", 3, 3000, 0);
    unsetenv(bgzf_deflate_env);
    ASSERT_EQ(single, 0);
    ASSERT_EQ(threaded, 0);
    EXPECT_NE(read_file(dir.file("fast.gz")), read_file(dir.file("zlib.gz")));
    EXPECT_TRUE(read_file(dir.file("fast.gz")) == read_file(dir.file("fast-mt.gz")));
    EXPECT_TRUE(read_stream(dir.file("fast.gz"), nullptr, 1 << 16).data == data);
    const test_util::run_result gz = test_util::run({"/bin/gzip", "-dc", dir.file("fast.gz")});
    EXPECT_EQ(gz.status, 0) << gz.err;
    EXPECT_TRUE(gz.out == data) << "gzip -d must read the libdeflate blocks too";
    const std::string file = read_file(dir.file("fast.gz"));
    ASSERT_GE(file.size(), 28u);
    EXPECT_EQ(std::memcmp(file.data() + file.size() - 28, bgzf_eof_marker, 28), 0);
}

}  // namespace
