// Record model: bins, alignment ends, copies, the reference-name map, the
// nucleotide tables and the SAM text form of hand-built records.
#include "bam/bam.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bam/bam_aux.h"
#include "bam/sam_format.h"
#include "common/record_util.h"

namespace {

using test_util::append_aux;
using test_util::append_aux_array;
using test_util::append_aux_string;
using test_util::make_header;

// "10M5I" -> CIGAR words.
std::vector<uint32_t> cigar_words(const std::string& text) {
    std::vector<uint32_t> words;
    uint32_t len = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            len = len * 10 + static_cast<uint32_t>(c - '0');
            continue;
        }
        const char* op = std::strchr(bam_cigar_chars, c);
        words.push_back(len << BAM_CIGAR_SHIFT | static_cast<uint32_t>(op - bam_cigar_chars));
        len = 0;
    }
    return words;
}

struct record_fields {
    std::string qname = "r1";
    uint16_t flag = 0;
    int32_t tid = 0, pos = 0;
    uint8_t mapq = 30;
    std::string cigar;  // empty for none
    int32_t mtid = -1, mpos = -1, isize = 0;
    std::string seq, qual;  // empty seq: no sequence; empty qual: absent
};

// Lays out a data block by hand, independently of the SAM reader.
bam1_ptr build_record(const record_fields& f) {
    bam1_ptr b = bam1_make();
    bam1_core_t& c = b->core;
    std::vector<uint32_t> cigar = cigar_words(f.cigar);
    c.tid = f.tid;
    c.pos = f.pos;
    c.qual = f.mapq;
    c.flag = f.flag;
    c.l_qname = static_cast<uint8_t>(f.qname.size() + 1);
    c.n_cigar = static_cast<uint16_t>(cigar.size());
    c.l_qseq = static_cast<int32_t>(f.seq.size());
    c.mtid = f.mtid;
    c.mpos = f.mpos;
    c.isize = f.isize;
    b->l_aux = 0;
    b->data_len = rec_data_len(&c, 0);
    EXPECT_EQ(bam_grow_data(b.get(), b->data_len), 0);
    std::memcpy(b->data, f.qname.c_str(), c.l_qname);
    for (size_t i = 0; i < cigar.size(); ++i) cigar_set(rec_cigar(b.get()), static_cast<int>(i), cigar[i]);
    uint8_t* seq = rec_seq(b.get());
    std::memset(seq, 0, (c.l_qseq + 1) / 2);
    for (int i = 0; i < c.l_qseq; ++i)
        seq[i / 2] |= static_cast<uint8_t>(bam_nt16_table[static_cast<unsigned char>(f.seq[i])] << (i % 2 ? 0 : 4));
    uint8_t* qual = rec_qual(b.get());
    for (int i = 0; i < c.l_qseq; ++i) qual[i] = f.qual.empty() ? 0xff : static_cast<uint8_t>(f.qual[i] - 33);
    c.bin = bam_rec_bin(&c, rec_cigar(b.get()));
    return b;
}

std::string format(const bam_header_t* h, const bam1_t* b, int of = 0) {
    char* line = bam_format1_core(h, b, of);
    std::string s = line ? line : "<null>";
    std::free(line);
    return s;
}

TEST(BamReg2Bin, EveryLevelAndBoundary) {
    struct {
        uint32_t beg, end, bin;
    } cases[] = {
        {0, 1, 4681},
        {16383, 16384, 4681},
        {16384, 16385, 4682},
        {16383, 16385, 585},  // straddles two 16 kb windows
        {16000, 17000, 585},
        {0, 1U << 17, 585},
        {1U << 17, (1U << 17) + 1, 4681 + 8},
        {0, (1U << 17) + 1, 73},
        {1U << 20, (1U << 20) + (1U << 17), 585 + 8},
        {0, (1U << 20) + 1, 9},
        {1U << 23, (1U << 23) + (1U << 20) + 1, 9 + 1},
        {0, (1U << 23) + 1, 1},
        {1U << 26, (1U << 26) + (1U << 23) + 1, 1 + 1},
        {0, (1U << 26) + 1, 0},
        {0, 1U << 29, 0},
        {(1U << 29) - 1, 1U << 29, 4681 + 32767},
    };
    for (const auto& c : cases) EXPECT_EQ(bam_reg2bin(c.beg, c.end), c.bin) << c.beg << ".." << c.end;
}

TEST(BamReg2Bin, RecordBins) {
    struct {
        int32_t pos;
        const char* cigar;
        uint16_t bin;
    } cases[] = {
        {16383, "", 4681},
        {16384, "", 4682},
        {-1, "", 4680},  // 4681 + 262143, kept in 16 bits
        {16000, "1000M", 585},
        {16000, "200M600N200M", 585},
        {16000, "383M5000I", 4681},  // insertions reach no further on the reference
    };
    for (const auto& c : cases) {
        record_fields f;
        f.pos = c.pos;
        f.cigar = c.cigar;
        EXPECT_EQ(build_record(f)->core.bin, c.bin) << c.pos << " " << c.cigar;
    }
}

TEST(BamCigar, EndAndQueryLength) {
    struct {
        int32_t pos;
        const char* cigar;
        uint32_t end;
        int32_t qlen;
    } cases[] = {
        {100, "10M5I10M2D5N3S", 127, 28},
        {0, "5=2X3=", 10, 10},
        {50, "", 50, 0},
        {0, "3H2P4M", 4, 4},
        {7, "1M1I1D1N1S1H1P1=1X", 12, 5},
        {0, "268435455M", 268435455, 268435455},
    };
    for (const auto& c : cases) {
        record_fields f;
        f.pos = c.pos;
        f.cigar = c.cigar;
        bam1_ptr b = build_record(f);
        EXPECT_EQ(bam_calend(&b->core, rec_cigar(b.get())), c.end) << c.cigar;
        EXPECT_EQ(bam_cigar2qlen(&b->core, rec_cigar(b.get())), c.qlen) << c.cigar;
    }
}

TEST(BamCopy, CopyKeepsLargerDestinationBlock) {
    record_fields f;
    f.cigar = "4M";
    f.seq = "ACGT";
    f.qual = "IIII";
    bam1_ptr src = build_record(f);
    append_aux_string(src.get(), "XZ", 'Z', "value");

    bam1_ptr dst = bam1_make();
    ASSERT_EQ(bam_grow_data(dst.get(), 1000), 0);
    uint8_t* block = dst->data;
    ASSERT_EQ(bam_copy1(dst.get(), src.get()), dst.get());
    EXPECT_EQ(dst->data, block);
    EXPECT_EQ(dst->m_data, 1024);
    EXPECT_EQ(dst->data_len, src->data_len);
    EXPECT_EQ(dst->l_aux, src->l_aux);
    EXPECT_EQ(std::memcmp(&dst->core, &src->core, sizeof(bam1_core_t)), 0);
    EXPECT_EQ(std::memcmp(dst->data, src->data, src->data_len), 0);
    EXPECT_EQ(format(nullptr, dst.get()), format(nullptr, src.get()));
}

TEST(BamCopy, CopyGrowsToPowerOfTwo) {
    // Name "r" (2 bytes) plus one Z field of 3 + len bytes.
    struct {
        int z_len, data_len, m_data;
    } cases[] = {{31, 37, 64}, {58, 64, 64}, {59, 65, 128}};
    for (const auto& c : cases) {
        record_fields f;
        f.qname = "r";
        bam1_ptr src = build_record(f);
        append_aux_string(src.get(), "XZ", 'Z', std::string(c.z_len, 'z'));
        ASSERT_EQ(src->data_len, c.data_len);
        bam1_ptr dst = bam1_make();
        ASSERT_NE(bam_copy1(dst.get(), src.get()), nullptr);
        EXPECT_EQ(dst->m_data, c.m_data) << c.data_len;
        EXPECT_EQ(std::memcmp(dst->data, src->data, src->data_len), 0);
    }
}

TEST(BamCopy, DupHasExactBlock) {
    record_fields f;
    f.cigar = "3M";
    f.seq = "ACG";
    bam1_ptr src = build_record(f);
    append_aux<int32_t>(src.get(), "XI", 'i', -7);
    ASSERT_GT(src->m_data, src->data_len);
    bam1_ptr dup(bam_dup1(src.get()));
    ASSERT_NE(dup, nullptr);
    EXPECT_NE(dup->data, src->data);
    EXPECT_EQ(dup->m_data, src->data_len);
    EXPECT_EQ(dup->data_len, src->data_len);
    EXPECT_EQ(dup->l_aux, src->l_aux);
    EXPECT_EQ(std::memcmp(&dup->core, &src->core, sizeof(bam1_core_t)), 0);
    EXPECT_EQ(format(nullptr, dup.get()), format(nullptr, src.get()));
    dup->data[0] = 'X';  // the copy owns its block
    EXPECT_EQ(src->data[0], 'r');
}

TEST(BamHeader, NameMap) {
    bam_header_ptr h = make_header({"chr1", "chr2", "chrM", "chr1"});
    EXPECT_EQ(bam_get_tid(h.get(), "chr1"), 3);  // the last of a repeated name
    EXPECT_EQ(bam_get_tid(h.get(), "chr2"), 1);
    EXPECT_EQ(bam_get_tid(h.get(), "chrM"), 2);
    EXPECT_EQ(bam_get_tid(h.get(), "chr"), -1);
    EXPECT_EQ(bam_get_tid(h.get(), "chr1 "), -1);
    EXPECT_EQ(bam_get_tid(h.get(), "CHR1"), -1);

    bam_header_ptr empty = make_header({});
    EXPECT_NE(empty->hash, nullptr);
    EXPECT_EQ(bam_get_tid(empty.get(), "chr1"), -1);
}

TEST(BamTables, Nucleotides) {
    const std::string codes = "=ACMGRSVTWYHKDBN";
    for (int c = 0; c < 256; ++c) {
        int expected = 15;
        size_t at = codes.find(static_cast<char>(std::toupper(c)));
        if (c == '=') expected = 0;
        else if (c != 0 && std::isalpha(c) && at != std::string::npos) expected = static_cast<int>(at);
        else if (c >= '0' && c <= '3') expected = 1 << (c - '0');  // colour-space digits
        EXPECT_EQ(bam_nt16_table[c], expected) << "character " << c;
    }
    EXPECT_EQ(bam_nt16_table['U'], 15);
    EXPECT_EQ(bam_nt16_table['.'], 15);
    for (int code = 0; code < 16; ++code) {
        size_t acgt = std::string("ACGT").find(bam_nt16_rev_table[code]);
        EXPECT_EQ(bam_nt16_nt4_table[code], acgt == std::string::npos ? 4 : static_cast<int>(acgt)) << code;
    }
}

TEST(BamTables, FlagLetters) {
    const std::string letters = "pPuUrR12sfd";
    for (int i = 0; i < 16; ++i) {
        char letter = i < 11 ? letters[i] : 0;
        EXPECT_EQ(bam_flag2char_table[i], letter) << i;
        if (letter) {
            EXPECT_EQ(bam_char2flag_table[static_cast<unsigned char>(letter)], 1U << i);
        }
    }
    int with_bit = 0;
    for (int c = 0; c < 256; ++c) with_bit += bam_char2flag_table[c] != 0;
    EXPECT_EQ(with_bit, 11);
}

TEST(BamFormat, MandatoryFields) {
    bam_header_ptr h = make_header({"chr1", "chr2"});
    struct {
        record_fields f;
        int of;
        const char* line;
    } cases[] = {
        {{"r1", 0, 0, 9, 30, "4M", -1, -1, 0, "ACGT", "IIII"}, 2, "r1\t\tchr1\t10\t30\t4M\t*\t0\t0\tACGT\tIIII"},
        {{"r1", 0x63, 0, 9, 30, "4M", 0, 99, 94, "ACGT", "IIII"}, 2, "r1\tpPR1\tchr1\t10\t30\t4M\t=\t100\t94\tACGT\tIIII"},
        {{"r1", 0x63, 0, 9, 30, "4M", 0, 99, 94, "ACGT", "IIII"}, 1, "r1\t0x63\tchr1\t10\t30\t4M\t=\t100\t94\tACGT\tIIII"},
        {{"r1", 0x63, 0, 9, 30, "4M", 0, 99, 94, "ACGT", "IIII"}, 0, "r1\t99\tchr1\t10\t30\t4M\t=\t100\t94\tACGT\tIIII"},
        {{"r1", 0xffff, 0, 9, 30, "4M", 0, 99, 94, "ACGT", "IIII"},
         7,
         "r1\tpPuUrR12sfd\tchr1\t10\t30\t4M\t=\t100\t94\tACGT\tIIII"},
        {{"r1", 0xffff, 0, 9, 30, "4M", 0, 99, 94, "ACGT", "IIII"}, 1, "r1\t0xffff\tchr1\t10\t30\t4M\t=\t100\t94\tACGT\tIIII"},
        // Mate on another reference; negative insert size.
        {{"m", 0x91, 1, 499, 60, "2S3M", 0, 9, -500, "NNACG", "#####"},
         0,
         "m\t145\tchr2\t500\t60\t2S3M\tchr1\t10\t-500\tNNACG\t#####"},
        // Unplaced and without anything.
        {{"u", 4, -1, -1, 0, "", -1, -1, 0, "", ""}, 0, "u\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*"},
        // No sequence although there is a CIGAR.
        {{"s", 0, 1, 0, 255, "10M", -1, -1, 0, "", ""}, 0, "s\t0\tchr2\t1\t255\t10M\t*\t0\t0\t*\t*"},
        // Qualities absent; every nucleotide code; odd length.
        {{"q", 4, -1, -1, 0, "", -1, -1, 0, "=ACMGRSVTWYHKDBNacgtn", ""},
         0,
         "q\t4\t*\t0\t0\t*\t*\t0\t0\t=ACMGRSVTWYHKDBNACGTN\t*"},
        {{"p", 0, 0, 0, 0, "1M1I1D1N1S1H1P1=1X", -1, -1, 0, "ACGTG", "!+5?~"},
         0,
         "p\t0\tchr1\t1\t0\t1M1I1D1N1S1H1P1=1X\t*\t0\t0\tACGTG\t!+5?~"},
    };
    for (const auto& c : cases) {
        bam1_ptr b = build_record(c.f);
        EXPECT_EQ(format(h.get(), b.get(), c.of), c.line);
    }
}

TEST(BamFormat, WithoutHeaderPrintsIndices) {
    record_fields f{"r", 1, 1, 4, 0, "1M", 1, 8, 0, "A", "I"};
    EXPECT_EQ(format(nullptr, build_record(f).get()), "r\t1\t1\t5\t0\t1M\t=\t9\t0\tA\tI");
    f.mtid = 0;
    EXPECT_EQ(format(nullptr, build_record(f).get()), "r\t1\t1\t5\t0\t1M\t0\t9\t0\tA\tI");
}

TEST(BamFormat, OptionalFieldsOfEveryType) {
    record_fields f{"r", 4, -1, -1, 0, "", -1, -1, 0, "", ""};
    bam1_ptr b = build_record(f);
    append_aux<char>(b.get(), "XA", 'A', 'q');
    append_aux<int8_t>(b.get(), "Xc", 'c', -1);
    append_aux<uint8_t>(b.get(), "XC", 'C', 255);
    append_aux<int16_t>(b.get(), "Xs", 's', -300);
    append_aux<uint16_t>(b.get(), "XS", 'S', 65535);
    append_aux<int32_t>(b.get(), "Xi", 'i', INT32_MIN);
    append_aux<uint32_t>(b.get(), "XI", 'I', 4294967295U);
    append_aux<float>(b.get(), "Xf", 'f', 0.5f);
    append_aux<float>(b.get(), "Xg", 'f', -1.25e-5f);
    append_aux<double>(b.get(), "Xd", 'd', 2.25);
    append_aux_string(b.get(), "XZ", 'Z', "hello world");
    append_aux_string(b.get(), "XH", 'H', "1AE3");
    append_aux_array<int8_t>(b.get(), "Bc", 'c', {-128, 0, 127});
    append_aux_array<uint8_t>(b.get(), "BC", 'C', {255});
    append_aux_array<int16_t>(b.get(), "Bs", 's', {-32768, 7});
    append_aux_array<uint16_t>(b.get(), "BS", 'S', {65535});
    append_aux_array<int32_t>(b.get(), "Bi", 'i', {INT32_MIN, -5});
    append_aux_array<uint32_t>(b.get(), "BI", 'I', {4294967295U});
    append_aux_array<float>(b.get(), "Bf", 'f', {1.5f, -0.25f});
    append_aux_array<int32_t>(b.get(), "Be", 'i', {});
    EXPECT_EQ(format(nullptr, b.get()),
              "r\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*"
              "\tXA:A:q\tXc:i:-1\tXC:i:255\tXs:i:-300\tXS:i:65535\tXi:i:-2147483648\tXI:i:4294967295"
              "\tXf:f:0.5\tXg:f:-1.25e-05\tXd:d:2.25\tXZ:Z:hello world\tXH:H:1AE3"
              "\tBc:B:c,-128,0,127\tBC:B:C,255\tBs:B:s,-32768,7\tBS:B:S,65535"
              "\tBi:B:i,-2147483648,-5\tBI:B:I,4294967295\tBf:B:f,1.5,-0.25\tBe:B:i");
}

TEST(BamFormat, AppendAddsToExistingText) {
    record_fields f{"r", 4, -1, -1, 0, "", -1, -1, 0, "", ""};
    bam1_ptr b = build_record(f);
    kstring_owner s;
    kputs("prefix|", s.get());
    int n = bam_format1_append(s.get(), nullptr, b.get(), 0);
    const std::string expected = "prefix|r\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*";
    EXPECT_EQ(std::string(ks_view(s.get())), expected);
    EXPECT_EQ(n, static_cast<int>(expected.size()));
    EXPECT_EQ(s->s[s->l], '\0');
}

}  // namespace
