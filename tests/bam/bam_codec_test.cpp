// BAM encoding of headers and records, and the SAM-or-BAM file handle:
// lossless round trips of generated data, block placement of records,
// truncated and damaged input, and the open modes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "bam/bam.h"
#include "bam/bam_codec.h"
#include "bam/sam.h"
#include "common/record_util.h"
#include "common/test_util.h"

namespace {

using test_util::read_file;
using test_util::run;
using test_util::scratch_dir;
using test_util::write_file;

std::string generate_sam(const scratch_dir& dir, int seed, int records) {
    const std::string sam = dir.file("in.sam");
    EXPECT_EQ(run({ALNSIM_PATH, "--seed", std::to_string(seed), "--refs", "3", "--ref-len", "40000", "--records",
                   std::to_string(records), "--sam", sam})
                  .status,
              0);
    return sam;
}

// Copies every record from one handle to another; returns the last read code.
int copy_records(samfile_t* in, samfile_t* out, size_t* n = nullptr) {
    bam1_ptr b = bam1_make();
    int r;
    size_t count = 0;
    while ((r = samread(in, b.get())) >= 0) {
        EXPECT_GT(samwrite(out, b.get()), 0);
        ++count;
    }
    if (n) *n = count;
    return r;
}

// SAM -> BAM -> SAM with the header, for a given BAM write mode.
std::string round_trip(const scratch_dir& dir, const std::string& sam, const char* bam_mode) {
    const std::string bam = dir.file("mid.bam"), out = dir.file("out.sam");
    samfile_ptr in(samopen(sam.c_str(), "r", nullptr));
    samfile_ptr wb(samopen(bam.c_str(), bam_mode, in->header));
    EXPECT_EQ(copy_records(in.get(), wb.get()), -1);
    wb.reset();
    samfile_ptr rb(samopen(bam.c_str(), "rb", nullptr));
    EXPECT_NE(rb->header, nullptr);
    samfile_ptr ws(samopen(out.c_str(), "wh", rb->header));
    EXPECT_EQ(copy_records(rb.get(), ws.get()), -1);
    ws.reset();
    return read_file(out);
}

TEST(BamCodec, SamToBamToSamIsLosslessAtEveryLevel) {
    scratch_dir dir;
    const std::string sam = generate_sam(dir, 5, 30000);
    const std::string original = read_file(sam);
    for (const char* mode : {"wb", "wbu", "wb1", "wb9"}) {
        SCOPED_TRACE(mode);
        EXPECT_TRUE(round_trip(dir, sam, mode) == original);
    }
}

TEST(BamCodec, RecordsThatFitInABlockNeverStraddleTwo) {
    scratch_dir dir;
    const std::string sam = generate_sam(dir, 6, 20000);
    const std::string bam = dir.file("x.bam");
    {
        samfile_ptr in(samopen(sam.c_str(), "r", nullptr));
        samfile_ptr out(samopen(bam.c_str(), "wb", in->header));
        copy_records(in.get(), out.get());
    }
    BGZF* fp = bgzf_open(bam.c_str(), "r");
    bam_header_t* h = bam_header_read(fp);
    ASSERT_NE(h, nullptr);
    // The header is flushed on its own, so the first record starts a block.
    EXPECT_EQ(voffset_within(bgzf_voffset(fp)), 0);
    bam1_ptr b = bam1_make();
    int blocks_seen = 0;
    for (;;) {
        int64_t before = bgzf_voffset(fp);
        int r = bam_read1(fp, b.get());
        if (r < 0) {
            EXPECT_EQ(r, -1);
            break;
        }
        int64_t after = bgzf_voffset(fp);
        // Either inside one block, or ending exactly at a block's end.
        bool same_block = voffset_block(before) == voffset_block(after);
        bool ends_block = voffset_within(after) == 0;
        EXPECT_TRUE(same_block || ends_block) << "record at " << before;
        if (ends_block) ++blocks_seen;
    }
    EXPECT_GT(blocks_seen, 10);
    bam_header_destroy(h);
    bgzf_close(fp);
}

TEST(BamCodec, HeaderRoundTripAndSizes) {
    scratch_dir dir;
    bam_header_ptr h = test_util::make_header({"chr1", "chrUn_gl000220"});
    const std::string path = dir.file("h.bam");
    for (bool with_text : {false, true}) {
        if (with_text) {
            h->text = strdup("@HD\tVN:1.0\n");
            h->l_text = h->n_text = 11;
        }
        BGZF* w = bgzf_open(path.c_str(), "w");
        bam_header_write(w, h.get());
        // A record whose data block has 100 bytes takes 136 bytes.
        bam1_ptr b = bam1_make();
        b->core.tid = 1;
        b->core.pos = 5;
        b->core.mtid = b->core.mpos = -1;
        b->core.l_qname = 100;
        ASSERT_EQ(bam_grow_data(b.get(), 100), 0);
        std::memset(b->data, 'q', 99);
        b->data[99] = 0;
        b->data_len = 100;
        EXPECT_EQ(bam_write1(w, b.get()), 136);
        bgzf_close(w);

        BGZF* r = bgzf_open(path.c_str(), "r");
        testing::internal::CaptureStderr();
        bam_header_t* back = bam_header_read(r);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->n_targets, 2);
        EXPECT_STREQ(back->target_name[1], "chrUn_gl000220");
        EXPECT_EQ(back->target_len[0], 1000u);
        EXPECT_EQ(back->l_text, with_text ? 11u : 0u);
        ASSERT_NE(back->text, nullptr);
        EXPECT_EQ(back->text[back->l_text], '\0');
        bam1_ptr got = bam1_make();
        EXPECT_EQ(bam_read1(r, got.get()), 136);
        EXPECT_EQ(got->l_aux, 0);
        EXPECT_EQ(std::string(rec_qname(got.get())), std::string(99, 'q'));
        EXPECT_EQ(bam_read1(r, got.get()), -1);
        bam_header_destroy(back);
        bgzf_close(r);
    }
}

TEST(BamCodec, TruncatedRecordsGiveTheirCodes) {
    scratch_dir dir;
    bam_header_ptr h = test_util::make_header({"chr1"});
    const std::string full = dir.file("full.bam");
    // Write uncompressed so that cutting the decompressed stream is easy:
    // build the stream bytes, then re-wrap prefixes of it.
    std::string stream;
    {
        BGZF* w = bgzf_open(full.c_str(), "wu");
        bam_header_write(w, h.get());
        bam1_ptr b = bam1_make();
        b->core.tid = 0;
        b->core.pos = 1;
        b->core.mtid = b->core.mpos = -1;
        b->core.l_qname = 3;
        bam_grow_data(b.get(), 3);
        std::memcpy(b->data, "r1", 3);
        b->data_len = 3;
        bam_write1(w, b.get());
        bgzf_close(w);
        BGZF* r = bgzf_open(full.c_str(), "r");
        char buf[4096];
        int n;
        while ((n = bgzf_read(r, buf, sizeof buf)) > 0) stream.append(buf, n);
        bgzf_close(r);
    }
    const size_t record_start = stream.size() - (4 + 32 + 3);
    struct cut_case {
        size_t keep;
        int code;
    };
    for (cut_case c : {cut_case{0, -1}, {2, -2}, {4, -3}, {20, -3}, {36, -4}, {38, -4}}) {
        const std::string path = dir.file("cut.bam");
        BGZF* w = bgzf_open(path.c_str(), "w");
        bgzf_write(w, stream.data(), static_cast<int>(record_start + c.keep));
        bgzf_close(w);
        BGZF* r = bgzf_open(path.c_str(), "r");
        bam_header_t* back = bam_header_read(r);
        ASSERT_NE(back, nullptr);
        bam1_ptr b = bam1_make();
        EXPECT_EQ(bam_read1(r, b.get()), c.code) << "keeping " << c.keep << " bytes of the record";
        bam_header_destroy(back);
        bgzf_close(r);
    }
}

// Records whose sizes are intact but whose values no writer can have meant:
// the decoder calls them damaged (-4); a reference index the header lacks
// only where the header's count is known.
TEST(BamCodec, ImpossibleValuesAreDamage) {
    scratch_dir dir;
    bam_header_ptr h = test_util::make_header({"chr1", "chr2"});
    struct value_case {
        int32_t tid, mtid;
        uint32_t op;         // of the second of two CIGAR operations
        int plain, bounded;  // bam_read1, bam_read1_bounded with 2 references
    };
    const value_case cases[] = {
        {0, -1, BAM_CMATCH, 48, 48},  {1, 1, BAM_CDIFF, 48, 48},   {-1, -1, BAM_CEQUAL, 48, 48},
        {-2, -1, BAM_CMATCH, -4, -4}, {0, -2, BAM_CMATCH, -4, -4}, {INT32_MIN, 0, BAM_CMATCH, -4, -4},
        {2, -1, BAM_CMATCH, 48, -4},  {0, 2, BAM_CMATCH, 48, -4},  {INT32_MAX, 0, BAM_CMATCH, -4, -4},
        {0, -1, 9, -4, -4},           {0, -1, 15, -4, -4},
    };
    const std::string path = dir.file("v.bam");
    for (const value_case& c : cases) {
        SCOPED_TRACE(std::to_string(c.tid) + " " + std::to_string(c.mtid) + " op " + std::to_string(c.op));
        bam1_ptr b = bam1_make();
        b->core.tid = c.tid;
        b->core.mtid = c.mtid;
        b->core.pos = b->core.mpos = 5;
        b->core.l_qname = 4;
        b->core.n_cigar = 2;
        ASSERT_EQ(bam_grow_data(b.get(), 12), 0);
        std::memcpy(b->data, "r1\0\0", 4);
        b->data[2] = 'x';
        cigar_set(rec_cigar(b.get()), 0, 3U << BAM_CIGAR_SHIFT | BAM_CSOFT_CLIP);
        cigar_set(rec_cigar(b.get()), 1, 7U << BAM_CIGAR_SHIFT | c.op);
        b->data_len = 12;
        BGZF* w = bgzf_open(path.c_str(), "w");
        bam_header_write(w, h.get());
        bam_write1(w, b.get());
        bam_write1(w, b.get());
        bgzf_close(w);
        for (bool bounded : {false, true}) {
            BGZF* r = bgzf_open(path.c_str(), "r");
            bam_header_ptr back(bam_header_read(r));
            ASSERT_TRUE(back);
            bam1_ptr got = bam1_make();
            const int want = bounded ? c.bounded : c.plain;
            EXPECT_EQ(bounded ? bam_read1_bounded(r, got.get(), back->n_targets) : bam_read1(r, got.get()), want)
                << (bounded ? "bounded" : "plain");
            if (want > 0) {
                EXPECT_EQ(got->core.tid, c.tid);
                EXPECT_EQ(cigar_get(rec_cigar(got.get()), 1), 7U << BAM_CIGAR_SHIFT | c.op);
            }
            bgzf_close(r);
        }
    }
}

TEST(BamCodec, MissingMarkerWarnsOnceAndForeignDataIsRefused) {
    scratch_dir dir;
    const std::string sam = generate_sam(dir, 8, 200);
    const std::string bam = dir.file("a.bam");
    {
        samfile_ptr in(samopen(sam.c_str(), "r", nullptr));
        samfile_ptr out(samopen(bam.c_str(), "wb", in->header));
        copy_records(in.get(), out.get());
    }
    const std::string file = read_file(bam);
    write_file(dir.file("nomarker.bam"), file.substr(0, file.size() - 28));
    testing::internal::CaptureStderr();
    samfile_ptr in(samopen(dir.file("nomarker.bam").c_str(), "rb", nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[bam_header_read] EOF marker is absent. The input is probably truncated.\n");
    ASSERT_NE(in->header, nullptr);
    size_t n = 0;
    samfile_ptr out(samopen(dir.file("x.sam").c_str(), "w", in->header));
    EXPECT_EQ(copy_records(in.get(), out.get(), &n), -1);
    EXPECT_GT(n, 190u);

    testing::internal::CaptureStderr();
    samfile_ptr foreign(samopen(sam.c_str(), "rb", nullptr));
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(foreign, nullptr);
    EXPECT_EQ(foreign->header, nullptr);
    EXPECT_NE(err.find("[bam_header_read] invalid BAM binary header (this is not a BAM file).\n"), std::string::npos);
}

TEST(BamCodec, StandardInputGivesNoMarkerWarning) {
    scratch_dir dir;
    const std::string sam = generate_sam(dir, 9, 30);
    const std::string bam = dir.file("s.bam");
    {
        samfile_ptr in(samopen(sam.c_str(), "r", nullptr));
        samfile_ptr out(samopen(bam.c_str(), "wb", in->header));
        copy_records(in.get(), out.get());
    }
    const std::string file = read_file(bam);
    ASSERT_LT(file.size(), 60000u);  // fits in a pipe buffer
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
    close(fds[1]);
    BGZF* fp = bgzf_fdopen(fds[0], "r");
    testing::internal::CaptureStderr();
    bam_header_t* h = bam_header_read(fp);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(h, nullptr);
    bam1_ptr b = bam1_make();
    int n = 0;
    while (bam_read1(fp, b.get()) >= 0) ++n;
    EXPECT_GE(n, 30);
    bam_header_destroy(h);
    bgzf_close(fp);
    close(fds[0]);
}

TEST(BamCodec, ValidateRejectsImplausibleRecords) {
    bam_header_ptr h = test_util::make_header({"chr1", "chr2"});
    bam1_ptr b = bam1_make();
    b->core.l_qname = 5;
    bam_grow_data(b.get(), 5);
    std::memcpy(b->data, "ab\0\0\0", 5);
    b->data_len = 5;
    b->core.tid = b->core.mtid = 1;
    EXPECT_EQ(bam_validate1(h.get(), b.get()), 0);  // NUL before the last name byte
    std::memcpy(b->data, "abcd\0", 5);
    EXPECT_EQ(bam_validate1(h.get(), b.get()), 1);
    b->core.tid = 2;
    EXPECT_EQ(bam_validate1(h.get(), b.get()), 0);
    EXPECT_EQ(bam_validate1(nullptr, b.get()), 1);
    b->core.mtid = -2;
    EXPECT_EQ(bam_validate1(nullptr, b.get()), 0);
}

TEST(SamFile, TextModesHeaderSynthesisAndFlagForms) {
    scratch_dir dir;
    write_file(dir.file("in.sam"), "@CO\tno references here\nr1\t99\tchr2\t5\t30\t4M\t=\t10\t9\tACGT\tIIII\n");
    write_file(dir.file("ref.list"), "chr1\t100\nchr2\t200\n");
    testing::internal::CaptureStderr();
    samfile_ptr in(samopen(dir.file("in.sam").c_str(), "r", dir.file("ref.list").c_str()));
    testing::internal::GetCapturedStderr();
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->header->n_targets, 2);
    bam1_ptr b = bam1_make();
    ASSERT_GT(samread(in.get(), b.get()), 0);
    EXPECT_EQ(b->core.tid, 1);
    struct mode_case {
        const char* mode;
        const char* expect;
    };
    for (mode_case m : {mode_case{"wh", "@CO\tno references here\n@SQ\tSN:chr1\tLN:100\n@SQ\tSN:chr2\tLN:200\nr1\t99\t"},
                        {"w", "r1\t99\t"},
                        {"wx", "r1\t0x63\t"},
                        {"wX", "r1\tpPR1\t"},
                        {"wxX", "r1\tpPR1\t"}}) {
        int written;
        {
            samfile_ptr out(samopen(dir.file("o.sam").c_str(), m.mode, in->header));
            written = samwrite(out.get(), b.get());
        }
        const std::string text = read_file(dir.file("o.sam"));
        EXPECT_EQ(text.substr(0, std::strlen(m.expect)), m.expect) << m.mode;
        // The result counts the record's line with its newline.
        const size_t last_line = text.rfind('\n', text.size() - 2);
        EXPECT_EQ(static_cast<size_t>(written), text.size() - (last_line == std::string::npos ? 0 : last_line + 1));
    }
    // Reading from a write handle and writing to a read handle are refused.
    EXPECT_EQ(samwrite(in.get(), b.get()), -1);
    EXPECT_EQ(samread(nullptr, b.get()), -1);
    EXPECT_EQ(samopen(dir.file("missing.sam").c_str(), "r", nullptr), nullptr);
    EXPECT_EQ(samopen(dir.file("in.sam").c_str(), "r", dir.file("missing.list").c_str()), nullptr);
}

TEST(SamFile, BamWriteModesPickTheLevel) {
    scratch_dir dir;
    bam_header_ptr h = test_util::make_header({"chr1"});
    auto first_block_type = [&](const char* mode) {
        const std::string path = dir.file("l.bam");
        { samfile_ptr out(samopen(path.c_str(), mode, h.get())); }
        const std::string file = read_file(path);
        return (static_cast<uint8_t>(file[18]) >> 1) & 3;  // BTYPE of the first deflate block
    };
    EXPECT_EQ(first_block_type("wbu"), 0);   // stored
    EXPECT_EQ(first_block_type("wbu9"), 0);  // 'u' wins over a digit
    EXPECT_EQ(first_block_type("wb0"), 0);
    EXPECT_NE(first_block_type("wb"), 0);
    EXPECT_NE(first_block_type("wb1"), 0);
}

}  // namespace

namespace {

TEST(BamCodec, CutsInsideTheLastBlockKeepTheRecordsOfEarlierBlocks) {
    scratch_dir dir;
    const std::string sam = generate_sam(dir, 12, 3000);
    const std::string bam = dir.file("t.bam");
    size_t total = 0;
    {
        samfile_ptr in(samopen(sam.c_str(), "r", nullptr));
        samfile_ptr out(samopen(bam.c_str(), "wb", in->header));
        copy_records(in.get(), out.get(), &total);
    }
    const std::string file = read_file(bam);
    // Find the last data block and the number of records before it.
    BGZF* fp = bgzf_open(bam.c_str(), "r");
    bam_header_t* h = bam_header_read(fp);
    bam1_ptr b = bam1_make();
    int64_t last_block = 0;
    size_t before_last = 0, n = 0;
    for (int64_t v = bgzf_voffset(fp); bam_read1(fp, b.get()) >= 0; v = bgzf_voffset(fp)) {
        if (voffset_block(v) != last_block) {
            last_block = voffset_block(v);
            before_last = n;
        }
        ++n;
    }
    bam_header_destroy(h);
    bgzf_close(fp);
    ASSERT_EQ(n, total);
    const size_t end_of_data = file.size() - 28;
    // Every offset of the block header and the block's end, and a sample of
    // the deflate data in between.
    std::vector<size_t> cuts;
    for (size_t cut = static_cast<size_t>(last_block); cut < end_of_data; ++cut)
        if (cut < static_cast<size_t>(last_block) + 40 || cut + 40 > end_of_data || cut % 97 == 0) cuts.push_back(cut);
    for (size_t cut : cuts) {
        write_file(dir.file("cut.bam"), file.substr(0, cut));
        testing::internal::CaptureStderr();
        samfile_ptr in(samopen(dir.file("cut.bam").c_str(), "rb", nullptr));
        testing::internal::GetCapturedStderr();
        ASSERT_NE(in->header, nullptr);
        size_t got = 0;
        int r;
        while ((r = samread(in.get(), b.get())) >= 0) ++got;
        EXPECT_EQ(got, before_last) << "cut at " << cut;
        EXPECT_EQ(r, cut == static_cast<size_t>(last_block) ? -1 : -2) << "cut at " << cut;
    }
}

TEST(SamFile, FaiPathUsesOrBuildsTheIndex) {
    scratch_dir dir;
    const std::string fa = dir.file("ref.fa");
    write_file(fa, ">chr1 first\nACGTACGTAC\nACG\n>chr2\nTTTT\n");
    char* path = samfaipath(fa.c_str());
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), fa + ".fai");
    EXPECT_EQ(read_file(fa + ".fai"), "chr1\t13\t12\t10\t11\nchr2\t4\t33\t4\t5\n");
    std::free(path);
    // An existing index is used as it is, not rebuilt.
    write_file(fa + ".fai", "chr1\t13\t12\t10\t11\n");
    path = samfaipath(fa.c_str());
    EXPECT_EQ(read_file(fa + ".fai"), "chr1\t13\t12\t10\t11\n");
    std::free(path);
    testing::internal::CaptureStderr();
    path = samfaipath(dir.file("missing.fa").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[samfaipath] fail to read file " + dir.file("missing.fa") + ".\n");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), dir.file("missing.fa") + ".fai");
    std::free(path);
    EXPECT_EQ(samfaipath(nullptr), nullptr);
}

}  // namespace
