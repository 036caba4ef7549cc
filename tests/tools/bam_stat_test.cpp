// The flagstat record walk: records cut into tiny BGZF blocks count as when
// whole, and a stream cut anywhere keeps exactly the records before the cut.
#include "tools/bam_stat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "bam/bam_codec.h"
#include "common/bam_file_util.h"
#include "common/test_util.h"
#include "hardening/corrupt_util.h"

namespace {

// Compresses `data` into blocks of `block` bytes each.
void write_in_blocks(const std::string& path, const std::string& data, size_t block) {
    BGZF* fp = bgzf_open(path.c_str(), "w");
    for (size_t at = 0; at < data.size(); at += block) {
        bgzf_write(fp, data.data() + at, static_cast<int>(std::min(block, data.size() - at)));
        bgzf_flush(fp);
    }
    ASSERT_EQ(bgzf_close(fp), 0);
}

int count_file(const std::string& path, bam_flagstat_t* s) {
    bgzf_ptr fp(bgzf_open(path.c_str(), "r"));
    bam_header_ptr h(bam_header_read(fp.get()));
    *s = bam_flagstat_t{};
    return bam_flagstat_core(fp.get(), s);
}

TEST(FlagstatCore, TinyBlocksAndCutsAtEveryOffset) {
    test_util::scratch_dir dir;
    const std::string whole = test_util::make_bam(dir, "in", 3, 200, {"--read-len", "10", "--refs", "2", "--ref-len", "5000"});
    bam_flagstat_t expected, s;
    ASSERT_EQ(count_file(whole, &expected), -1);
    std::string data;
    corrupt::read_blocks(test_util::read_file(whole), &data);
    const corrupt::bam_layout_t layout = corrupt::parse_bam(data);
    ASSERT_EQ(expected.n_reads[0] + expected.n_reads[1], static_cast<long long>(layout.records.size()));
    // Every record straddles blocks.
    const std::string path = dir.file("t.bam");
    for (size_t block : {1, 7, 20}) {
        write_in_blocks(path, data, block);
        EXPECT_EQ(count_file(path, &s), -1) << block;
        EXPECT_EQ(std::memcmp(&s, &expected, sizeof s), 0) << block;
    }
    // Cuts at every offset through three records: in the length field, the core and the data.
    for (size_t cut = layout.records[100]; cut <= layout.records[103]; ++cut) {
        write_in_blocks(path, data.substr(0, cut), 20);
        const bool at_boundary = std::count(layout.records.begin(), layout.records.end(), cut) == 1;
        const auto n_whole = std::count_if(layout.records.begin(), layout.records.end(),
                                           [&](size_t r) { return corrupt::rec_end(data, r) <= cut; });
        testing::internal::CaptureStderr();
        const int r = count_file(path, &s);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  at_boundary ? "" : "[bam_flagstat_core] Truncated file? Continue anyway.\n");
        EXPECT_EQ(r == -1, at_boundary) << cut;
        EXPECT_EQ(s.n_reads[0] + s.n_reads[1], n_whole) << cut;
    }
    // A length field too small for the core is damage, whatever follows.
    corrupt::store_le32(data, layout.records[5], 31);
    write_in_blocks(path, data, 7);
    testing::internal::CaptureStderr();
    EXPECT_EQ(count_file(path, &s), -4);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.n_reads[0] + s.n_reads[1], 5);
}

}  // namespace
