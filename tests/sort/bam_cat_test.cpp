// cat and reheader run as a user would, on BAM files made from generated SAM:
// decoded records against the inputs' records, the end-of-file blocks in the
// output, exact messages and statuses, and damaged inputs.  The block walker
// that guards the raw copy is fed directly through tiny pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bam/bam.h"
#include "bam/bam_codec.h"
#include "common/bam_file_util.h"
#include "common/test_util.h"
#include "io/bgzf.h"
#include "sort/bam_cat.h"

namespace {

using test_util::make_bam;
using test_util::read_file;
using test_util::run;
using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;
using test_util::view_header;
using test_util::view_records;
using test_util::write_file;

const std::string eof_block(reinterpret_cast<const char*>(bgzf_eof_marker), sizeof bgzf_eof_marker);

size_t count_of(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The whole decompressed BAM stream of a file.
std::string inflate_all(const std::string& path) {
    BGZF* fp = bgzf_open(path.c_str(), "r");
    EXPECT_NE(fp, nullptr);
    if (!fp) return "";
    std::string data;
    char buf[4096];
    int n;
    while ((n = bgzf_read(fp, buf, sizeof buf)) > 0) data.append(buf, n);
    EXPECT_EQ(n, 0);
    bgzf_close(fp);
    return data;
}

// Rewrites a BAM file so that the header and the first records share blocks
// (bam_header_write flushes, so files made by view never do).
void write_unflushed(const std::string& path, const std::string& data) {
    BGZF* fp = bgzf_open(path.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(bgzf_write(fp, data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    ASSERT_EQ(bgzf_close(fp), 0);
}

// File offset of the first block after the header's blocks, for a file whose
// header ends at a block boundary.
int64_t header_blocks_end(const std::string& path) {
    BGZF* fp = bgzf_open(path.c_str(), "r");
    EXPECT_NE(fp, nullptr);
    if (!fp) return -1;
    bam_header_ptr h(bam_header_read(fp));
    EXPECT_TRUE(h);
    EXPECT_EQ(fp->block_length, 0) << "header does not end at a block boundary";
    int64_t end = knet_tell(fp->x.fpr);
    bgzf_close(fp);
    return end;
}

const std::string cat_usage = "Usage: alnkit cat [-h header.sam] [-o out.bam] <in1.bam> <in2.bam> [...]\n";
const std::string reheader_usage = "Usage: alnkit reheader <in.header.sam> <in.bam>\n";

TEST(CatCommand, ConcatenatesRecordsInInputOrderWithOneEndOfFileBlock) {
    scratch_dir dir;
    std::string a = make_bam(dir, "a", 1, 3000), b = make_bam(dir, "b", 2, 2000), c = make_bam(dir, "c", 3, 500);
    std::string out = dir.file("out.bam");
    run_result r = run_alnkit({"cat", "-o", out, a, b, c});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(view_records(out), view_records(a) + view_records(b) + view_records(c));
    EXPECT_EQ(view_header(out), view_header(a));
    std::string bytes = read_file(out);
    EXPECT_EQ(count_of(bytes, eof_block), 1u);
    EXPECT_TRUE(ends_with(bytes, eof_block));
    // Block-level copy: the second input's record blocks appear unchanged.
    std::string b_bytes = read_file(b);
    int64_t b_records = header_blocks_end(b);
    std::string b_body = b_bytes.substr(b_records, b_bytes.size() - b_records - eof_block.size());
    EXPECT_NE(bytes.find(b_body), std::string::npos);
}

TEST(CatCommand, WritesToStandardOutputAndReadsStandardInput) {
    scratch_dir dir;
    std::string a = make_bam(dir, "a", 4, 800), b = make_bam(dir, "b", 5, 600);
    run_result r = run_alnkit({"cat", "-", b}, read_file(a));
    ASSERT_EQ(r.status, 0) << r.err;
    std::string out = dir.file("out.bam");
    write_file(out, r.out);
    EXPECT_EQ(view_records(out), view_records(a) + view_records(b));
    EXPECT_EQ(count_of(r.out, eof_block), 1u);
}

TEST(CatCommand, HeaderOptionReplacesEveryInputHeader) {
    scratch_dir dir;
    std::string a = make_bam(dir, "a", 6, 700), b = make_bam(dir, "b", 7, 900);
    std::string header =
        "@HD\tVN:1.0\tSO:unsorted\n@SQ\tSN:chr1\tLN:200000\n@SQ\tSN:chr2\tLN:200000\n"
        "@SQ\tSN:chr3\tLN:200000\n@CO\tnew header\n";
    std::string header_sam = dir.file("h.sam");
    write_file(header_sam, header);
    std::string out = dir.file("out.bam");
    run_result r = run_alnkit({"cat", "-h", header_sam, "-o", out, a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(view_header(out), header);
    EXPECT_EQ(view_records(out), view_records(a) + view_records(b));
    EXPECT_EQ(count_of(read_file(out), eof_block), 1u);
}

TEST(CatCommand, RecompressesRecordsSharingTheHeaderBlock) {
    scratch_dir dir;
    std::string a = make_bam(dir, "a", 8, 1500), b = make_bam(dir, "b", 9, 1500);
    std::string a_shared = dir.file("a_shared.bam"), b_shared = dir.file("b_shared.bam");
    write_unflushed(a_shared, inflate_all(a));
    write_unflushed(b_shared, inflate_all(b));
    std::string out = dir.file("out.bam");
    run_result r = run_alnkit({"cat", "-o", out, a_shared, b_shared});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(view_records(out), view_records(a) + view_records(b));
    EXPECT_EQ(count_of(read_file(out), eof_block), 1u);
}

TEST(CatCommand, HeaderOnlyInputsGiveHeaderOnlyOutput) {
    scratch_dir dir;
    std::string sam = dir.file("empty.sam"), bam = dir.file("empty.bam"), out = dir.file("out.bam");
    write_file(sam, "@SQ\tSN:chr1\tLN:1000\n");
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", bam, sam}).status, 0);
    run_result r = run_alnkit({"cat", "-o", out, bam, bam});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(view_header(out), "@SQ\tSN:chr1\tLN:1000\n");
    EXPECT_EQ(view_records(out), "");
    EXPECT_EQ(count_of(read_file(out), eof_block), 1u);
}

TEST(CatCommand, UsageAndOpenFailures) {
    scratch_dir dir;
    std::string a = make_bam(dir, "a", 10, 100);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"cat"}, {"cat", a}, {"cat", "-o", dir.file("x.bam"), a}}) {
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, cat_usage);
        EXPECT_EQ(r.out, "");
    }

    std::string bad_out = dir.file("no/such/dir/out.bam");
    run_result r = run_alnkit({"cat", "-o", bad_out, a, a});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_cat] ERROR: fail to open output file '" + bad_out + "'.\n");

    // An output that is one of the inputs, however it is spelled, would be
    // emptied before it is read.
    const std::string a_bytes = read_file(a);
    for (const std::string& out : {a, dir.path() + "/./" + a.substr(a.rfind('/') + 1)}) {
        r = run_alnkit({"cat", "-o", out, a, a});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "[bam_cat] ERROR: the output file '" + out + "' is also an input.\n");
        EXPECT_EQ(read_file(a), a_bytes);
    }

    std::string missing = dir.file("missing.bam");
    r = run_alnkit({"cat", "-o", dir.file("out.bam"), a, missing});
    EXPECT_EQ(r.status, 255);
    // The file layer reports the system error first.
    EXPECT_TRUE(ends_with(r.err, "\n[bam_cat] ERROR: fail to open file '" + missing + "'.\n")) << r.err;

    std::string missing_sam = dir.file("missing.sam");
    r = run_alnkit({"cat", "-h", missing_sam, a, a});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[main_cat] ERROR: fail to read the header from '" + missing_sam + "'.\n");
    EXPECT_EQ(r.out, "");
}

TEST(CatCommand, InputWithoutEndOfFileBlockWarnsAndKeepsItsBytes) {
    scratch_dir dir;
    std::string a = make_bam(dir, "a", 11, 1000), b = make_bam(dir, "b", 12, 1000);
    std::string bytes = read_file(a);
    std::string cut = dir.file("cut.bam");
    write_file(cut, bytes.substr(0, bytes.size() - eof_block.size()));
    std::string out = dir.file("out.bam");
    run_result r = run_alnkit({"cat", "-o", out, cut, b});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("[bam_cat] WARNING: Unexpected block structure in file '" + cut + "'. Possible output corruption.\n"),
              std::string::npos)
        << r.err;
    // The last data block of the cut input is still there, whole.
    EXPECT_EQ(view_records(out), view_records(a) + view_records(b));
    EXPECT_EQ(count_of(read_file(out), eof_block), 1u);
}

TEST(CatCommand, DamagedInputsFailWithoutCompletingTheOutput) {
    scratch_dir dir;
    std::string a = make_bam(dir, "a", 13, 2000);
    std::string bytes = read_file(a);
    int64_t body = header_blocks_end(a);
    ASSERT_GT(static_cast<int64_t>(bytes.size()), body + 100);
    const std::string truncated_message = "ERROR: truncated file?: '";
    struct damage {
        std::string what, content, message;
    };
    std::vector<damage> cases = {
        {"inside the last record block", bytes.substr(0, bytes.size() - eof_block.size() - 1), truncated_message},
        {"inside the end-of-file block", bytes.substr(0, bytes.size() - 1), truncated_message},
        {"inside the first record block", bytes.substr(0, body + 100), truncated_message},
        {"fewer than 28 bytes after the header", bytes.substr(0, body + 20), truncated_message},
        {"text after the last block", bytes + "this is not a BGZF block at all\n", "ERROR: invalid BGZF block in file '"},
        {"inside the header", bytes.substr(0, 30), "ERROR: fail to read the header from '"},
        {"not a BAM file", "@SQ\tSN:chr1\tLN:100\nr1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\n",
         "ERROR: fail to read the header from '"},
    };
    for (const damage& d : cases) {
        SCOPED_TRACE(d.what);
        std::string bad = dir.file("bad.bam"), out = dir.file("out.bam");
        write_file(bad, d.content);
        run_result r = run_alnkit({"cat", "-o", out, a, bad});
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.err.find("[bam_cat] " + d.message + bad + "'.\n"), std::string::npos) << r.err;
        // The output stays incomplete: no end-of-file block anywhere.
        EXPECT_EQ(count_of(read_file(out), eof_block), 0u);
    }
}

TEST(ReheaderCommand, ReplacesHeaderAndCopiesRecordBlocksUnchanged) {
    scratch_dir dir;
    std::string a = make_bam(dir, "a", 14, 2500);
    std::string header =
        "@HD\tVN:1.0\tSO:unsorted\n@SQ\tSN:chr1\tLN:1\n@SQ\tSN:chr2\tLN:2\n@SQ\tSN:chr3\tLN:3\n"
        "@CO\treplaced\n";
    std::string header_sam = dir.file("h.sam");
    write_file(header_sam, header);
    run_result r = run_alnkit({"reheader", header_sam, a});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string out = dir.file("out.bam");
    write_file(out, r.out);
    EXPECT_EQ(view_header(out), header);
    EXPECT_EQ(view_records(out), view_records(a));
    // Everything after the header blocks, the input's end-of-file block
    // included, is copied byte for byte; the writer adds a second one.
    std::string in_bytes = read_file(a);
    int64_t body = header_blocks_end(a);
    EXPECT_TRUE(ends_with(r.out, in_bytes.substr(body) + eof_block));
    EXPECT_EQ(header_blocks_end(out) + static_cast<int64_t>(in_bytes.size() - body + eof_block.size()),
              static_cast<int64_t>(r.out.size()));
}

TEST(ReheaderCommand, RecompressesRecordsSharingTheHeaderBlock) {
    scratch_dir dir;
    std::string a = make_bam(dir, "a", 15, 1500);
    std::string shared = dir.file("shared.bam");
    write_unflushed(shared, inflate_all(a));
    std::string header_sam = dir.file("h.sam");
    write_file(header_sam, "@SQ\tSN:chr1\tLN:9\n@SQ\tSN:chr2\tLN:9\n@SQ\tSN:chr3\tLN:9\n");
    run_result r = run_alnkit({"reheader", header_sam, shared});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string out = dir.file("out.bam");
    write_file(out, r.out);
    EXPECT_EQ(view_header(out), "@SQ\tSN:chr1\tLN:9\n@SQ\tSN:chr2\tLN:9\n@SQ\tSN:chr3\tLN:9\n");
    EXPECT_EQ(view_records(out), view_records(a));
    EXPECT_TRUE(ends_with(r.out, eof_block + eof_block));
}

TEST(ReheaderCommand, UsageFailuresAndDamagedInput) {
    scratch_dir dir;
    std::string a = make_bam(dir, "a", 16, 1000);
    std::string header_sam = dir.file("h.sam");
    write_file(header_sam, "@SQ\tSN:chr1\tLN:9\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"reheader"}, {"reheader", header_sam}, {"reheader", header_sam, a, a}}) {
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, reheader_usage);
        EXPECT_EQ(r.out, "");
    }

    std::string missing = dir.file("missing");
    run_result r = run_alnkit({"reheader", missing, a});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[main_reheader] fail to read the header from " + missing + ".\n");
    r = run_alnkit({"reheader", header_sam, missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.err, "\n[main_reheader] fail to open file " + missing + ".\n")) << r.err;

    std::string bytes = read_file(a);
    for (const std::string& content :
         {bytes.substr(0, bytes.size() - 40), bytes.substr(0, 40), bytes + "garbage after the end"}) {
        std::string bad = dir.file("bad.bam");
        write_file(bad, content);
        r = run_alnkit({"reheader", header_sam, bad});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("[main_reheader] truncated or damaged BAM file " + bad + ".\n"), std::string::npos) << r.err;
        EXPECT_EQ(count_of(r.out, eof_block), 0u);
    }
}

TEST(CatBlockWalk, FollowsBlocksFedInTinyPieces) {
    scratch_dir dir;
    std::string bytes = read_file(make_bam(dir, "a", 17, 800));
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t piece : {size_t{1}, size_t{7}, size_t{20}, size_t{65536}}) {
        SCOPED_TRACE(piece);
        bgzf_block_walk_t whole, short_by_one;
        for (size_t at = 0; at < bytes.size(); at += piece) {
            size_t n = std::min(piece, bytes.size() - at);
            ASSERT_TRUE(bgzf_block_walk_feed(&whole, p + at, n));
            ASSERT_TRUE(bgzf_block_walk_feed(&short_by_one, p + at, std::min(n, bytes.size() - 1 - at)));
        }
        EXPECT_TRUE(bgzf_block_walk_is_complete(&whole));
        EXPECT_FALSE(bgzf_block_walk_is_complete(&short_by_one));
    }
}

TEST(CatBlockWalk, RejectsHeadersThatAreNotBgzf) {
    std::string eof = eof_block;
    const auto* p = reinterpret_cast<const uint8_t*>(eof.data());
    bgzf_block_walk_t ok;
    EXPECT_TRUE(bgzf_block_walk_feed(&ok, p, eof.size()));
    EXPECT_TRUE(bgzf_block_walk_is_complete(&ok));
    // Each byte that identifies a BGZF block, changed in turn; and a block
    // size too small to hold a header and footer.
    for (size_t at : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{10}, size_t{12}, size_t{13}, size_t{14}, size_t{16}}) {
        SCOPED_TRACE(at);
        std::string bad = eof;
        bad[at] = static_cast<char>(at == 16 ? 0x10 : bad[at] ^ (at == 3 ? 0x04 : 0x01));
        bgzf_block_walk_t w;
        EXPECT_FALSE(bgzf_block_walk_feed(&w, reinterpret_cast<const uint8_t*>(bad.data()), bad.size()));
        EXPECT_FALSE(bgzf_block_walk_is_complete(&w));
    }
}

}  // namespace
