// BCF writer: file bytes against layouts built here, block boundaries, FORMAT
// widths, malformed string blocks, failed writes, standard output and the
// string-to-id map.
#include "call/bcf.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/bcf_decode.h"
#include "common/test_util.h"

namespace {

using test_util::block_isizes;
using test_util::inflate_file;

std::string le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

// The six NUL-terminated fields of a record.
std::string fields(const std::string& alt, const std::string& info, const std::string& fmt) {
    return std::string("\0G\0", 3) + alt + '\0' + '\0' + info + '\0' + fmt + '\0';
}

// A record whose string block is exactly `str`, with no spare byte to hide an over-read.
bcf1_t* make_record(int32_t pos, const std::string& str, int n_smpl) {
    auto* b = static_cast<bcf1_t*>(std::calloc(1, sizeof(bcf1_t)));
    b->pos = pos;
    b->n_smpl = n_smpl;
    b->l_str = b->m_str = static_cast<int32_t>(str.size());
    b->str = static_cast<char*>(std::malloc(str.size() + !str.size()));
    std::memcpy(b->str, str.data(), str.size());
    return b;
}

std::string header_bytes(const std::string& names, const std::string& snames) {
    const std::string txt = std::string("##alnkitVersion=") + ALNKIT_VERSION + "\n" + '\0';
    return "BCF\4" + le32(names.size()) + names + le32(snames.size()) + snames + le32(txt.size()) + txt;
}

TEST(BcfWrite, HeaderAndRecordsMatchTheLayoutInBothModes) {
    test_util::scratch_dir dir;
    const char* refs[] = {"chr1", "chrM"};
    const char* smpl[] = {"NA1", "NA2"};
    bcf_hdr_t* h = bcf_hdr_make(2, refs, 2, smpl);
    ASSERT_TRUE(h && h->n_ref == 2 && h->n_smpl == 2);
    EXPECT_STREQ(h->sns[1], "NA2");
    bcf1_t* b = make_record(12345, fields("A", "DP=7", "PL:DP:SP"), 2);
    ASSERT_EQ(bcf_sync(b), 0);
    const std::string data(
        "\0\3\36\377\1\0"
        "\7\0\x34\x12"
        "\1\0\0\0\377\0\0\0",
        18);  // PL 0,3,30|255,1,0 DP 7|0x1234 SP 1|255
    for (int i = 0, at = 0; i < 3; at += 2 * b->gi[i++].len) std::memcpy(b->gi[i].data, data.data() + at, 2 * b->gi[i].len);
    const std::string record = le32(0) + le32(12345) + le32(0x3fc00000) + le32(b->l_str) + std::string(b->str, b->l_str) + data;
    b->qual = 1.5f;
    const std::string header = header_bytes(std::string("chr1\0chrM\0", 10), std::string("NA1\0NA2\0", 8));
    for (const char* mode : {"w", "wu"}) {
        SCOPED_TRACE(mode);
        const std::string path = dir.file(std::string(mode) + ".bcf");
        bcf_t* bp = bcf_open(path.c_str(), mode);
        ASSERT_NE(bp, nullptr);
        EXPECT_EQ(bcf_hdr_write(bp, h), 0);
        EXPECT_EQ(bcf_write(bp, h, b), static_cast<int>(record.size()));
        EXPECT_EQ(bcf_write(bp, h, b), static_cast<int>(record.size()));
        ASSERT_EQ(bcf_close(bp), 0);
        EXPECT_EQ(inflate_file(path), header + record + record);
        const std::string raw = test_util::read_file(path);
        EXPECT_EQ(block_isizes(raw), (std::vector<uint32_t>{uint32_t(header.size()), uint32_t(2 * record.size()), 0}));
        EXPECT_EQ(raw.substr(raw.size() - 28), std::string(reinterpret_cast<const char*>(bgzf_eof_marker), 28));
        test_util::run_result z = test_util::run({"/bin/gzip", "-dc", path});
        EXPECT_EQ(z.status, 0) << z.err;
        EXPECT_EQ(z.out, header + record + record);
    }
    // A header without samples takes no FORMAT data; one with more samples than the record refuses it whole.
    const char* three[] = {"a", "b", "c"};
    bcf_hdr_t *h0 = bcf_hdr_make(0, nullptr, 0, nullptr), *h3 = bcf_hdr_make(0, nullptr, 3, three);
    ASSERT_TRUE(h0 && h0->l_smpl == 0 && h0->n_smpl == 0 && h0->sns == nullptr);
    const std::string path = dir.file("other.bcf"), bare = record.substr(0, record.size() - data.size());
    bcf_t* bp = bcf_open(path.c_str(), "w");
    EXPECT_EQ(bcf_hdr_write(bp, h0), 0);
    EXPECT_EQ(bcf_write(bp, h0, b), static_cast<int>(bare.size()));
    EXPECT_EQ(bcf_write(bp, h3, b), -1);
    EXPECT_TRUE(bcf_write(bp, h3, nullptr) == -1 && bcf_write(nullptr, h3, b) == -1 && bcf_hdr_write(bp, nullptr) == -1);
    EXPECT_EQ(bcf_close(bp), 0);
    EXPECT_EQ(inflate_file(path), header_bytes("", "") + bare);
    bcf_hdr_destroy(h0);
    bcf_hdr_destroy(h3);
    bcf_hdr_destroy(h);
    bcf_destroy(b);
}

TEST(BcfSync, AllelesAndFormatWidths) {
    struct width_case {
        std::string alt, fmt;
        int n_smpl, n_alleles;
        std::vector<int> lens;
    };
    const std::vector<width_case> cases = {
        {"", "PL", 2, 1, {1}},
        {"T,X", "PL", 1, 3, {6}},
        {"A", "PL:DP:SP", 2, 2, {3, 2, 4}},
        {"A,C,G", "PL:GL:GQ:GT:HQ:DP:SP", 3, 4, {10, 40, 1, 1, 2, 2, 4}},  // gi grows to 8
        {",", "GL", 1, 3, {24}},
        {"X", "XY:PLX:P:PLDP::", 2, 2, {0, 0, 0, 0, 0, 0}},
        {"X", "PL", 0, 2, {3}},
    };
    bcf1_t* b = nullptr;  // one record re-synchronised for every case
    for (const width_case& c : cases) {
        SCOPED_TRACE("ALT [" + c.alt + "] FORMAT [" + c.fmt + "]");
        bcf1_t* next = make_record(5, fields(c.alt, "DP=3", c.fmt), c.n_smpl);
        if (b) std::swap(b->str, next->str), std::swap(b->l_str, next->l_str), b->n_smpl = c.n_smpl, bcf_destroy(next);
        else b = next;
        ASSERT_EQ(bcf_sync(b), 0);
        EXPECT_TRUE(std::string(b->ref) == "G" && b->alt == c.alt && std::string(b->info) == "DP=3" && b->fmt == c.fmt);
        EXPECT_EQ(b->n_alleles, c.n_alleles);
        ASSERT_EQ(b->n_gi, static_cast<int>(c.lens.size()));
        for (int i = 0; i < b->n_gi; ++i) {
            EXPECT_EQ(b->gi[i].len, c.lens[i]) << "key " << i;
            if (c.n_smpl > 0 && c.lens[i] > 0) std::memset(b->gi[i].data, 0xab, c.n_smpl * c.lens[i]);  // sized for every sample
        }
    }
    EXPECT_EQ(b->m_gi, 8);
    EXPECT_EQ(b->gi[0].fmt, ('P' << 8 | 'L') + 0u);
    bcf_destroy(b);
}

TEST(BcfSync, MalformedBlocksAreRejectedWithOneLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {fields("C", "", "PL") + std::string("extra\0", 6), "incorrect number of fields (6 != 5)"},
        {std::string("\0A\0C\0\0PL\0", 9), "incorrect number of fields (4 != 5)"},
        {"", "incorrect number of fields (0 != 5)"},
        {std::string("\0A\0C\0\0\0PL", 9), "unterminated string block"},
    };
    for (const auto& [str, message] : cases) {
        bcf1_t* b = make_record(99, str, 1);
        b->tid = 3;
        testing::internal::CaptureStderr();
        EXPECT_EQ(bcf_sync(b), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "[bcf_sync] " + message + " at 3:99\n");
        EXPECT_TRUE(b->ref == nullptr && b->fmt == nullptr);
        bcf_destroy(b);
    }
    EXPECT_EQ(bcf_sync(nullptr), -1);
}

TEST(BcfWrite, FullDeviceFailsAtWriteOrClose) {
    bcf_hdr_t* h = bcf_hdr_make(0, nullptr, 0, nullptr);
    bcf_t* bp = bcf_open("/dev/full", "w");  // a header alone waits in the stdio buffer
    ASSERT_NE(bp, nullptr);
    bcf_hdr_write(bp, h);
    EXPECT_EQ(bcf_close(bp), -1);
    bp = bcf_open("/dev/full", "wu");  // a full 64 KiB block fails inside a record write
    bcf1_t* b = make_record(0, fields("C", std::string(1000, 'i'), "PL"), 0);
    ASSERT_EQ(bcf_sync(b), 0);
    int failed_at = -1;
    for (int i = 0; i < 200 && failed_at < 0; ++i)
        if (bcf_write(bp, h, b) == -1) failed_at = i;
    EXPECT_TRUE(failed_at >= 60 && failed_at < 70) << failed_at;
    EXPECT_EQ(bcf_write(bp, h, b), -1) << "the stream stays failed";
    EXPECT_EQ(bcf_close(bp), -1);
    bcf_destroy(b);
    bcf_hdr_destroy(h);
}

TEST(BcfOpen, StandardOutputIsNeitherClosedNorLeaked) {
    test_util::scratch_dir dir;
    bcf_hdr_t* h = bcf_hdr_make(0, nullptr, 0, nullptr);
    for (const std::string& target : {dir.file("out.bcf"), std::string("/dev/full")}) {
        std::fflush(stdout);
        int saved = dup(1), fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_TRUE(saved >= 0 && fd >= 0 && dup2(fd, 1) == 1);
        close(fd);
        bcf_t* bp = bcf_open("-", "wu");
        int probe = dup(0);  // the lowest free descriptor: the same before and after
        close(probe);
        bcf_hdr_write(bp, h);
        int closed = bcf_close(bp), after = dup(0), still_open = fcntl(1, F_GETFD);
        close(after);
        dup2(saved, 1);
        close(saved);
        EXPECT_EQ(closed, target == "/dev/full" ? -1 : 0);
        EXPECT_NE(still_open, -1) << "standard output was closed";
        EXPECT_LT(after, probe) << "the stream's descriptor leaked";
        if (target != "/dev/full") {
            EXPECT_EQ(inflate_file(target), header_bytes("", ""));
        }
    }
    EXPECT_EQ(bcf_open(dir.file("missing/x.bcf").c_str(), "w"), nullptr);
    EXPECT_EQ(bcf_open(dir.file("missing.bcf").c_str(), "r"), nullptr);
    bcf_hdr_destroy(h);
}

TEST(BcfStr2id, InsertionRanksAndBorrowedKeys) {
    kh_str2id_t* hash = bcf_str2id_init();
    std::vector<char*> keys;
    for (int i = 0; i < 500; ++i) {
        keys.push_back(strdup(("rg" + std::to_string(i * 7919 % 1000)).c_str()));
        ASSERT_EQ(bcf_str2id_add(hash, keys.back()), i);
    }
    for (int i = 0; i < 500; ++i) EXPECT_TRUE(bcf_str2id(hash, keys[i]) == i && hash->key(hash->get(keys[i])) == keys[i]);
    char* again = strdup(keys[42]);
    EXPECT_EQ(bcf_str2id_add(hash, again), 42);
    EXPECT_EQ(hash->key(hash->get(again)), keys[42]) << "a present string is not stored again";
    EXPECT_EQ(hash->size, 500u);
    std::free(again);
    EXPECT_TRUE(bcf_str2id(hash, "rg1000") == -1 && bcf_str2id(nullptr, "rg0") == -1 && bcf_str2id_add(nullptr, "x") == -1);
    bcf_str2id_thorough_destroy(hash);  // frees the keys: the leak checker sees any left behind
}

}  // namespace
