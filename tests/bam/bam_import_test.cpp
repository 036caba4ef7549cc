// SAM text reader: headers, every record field, optional-field typing, the
// truncation codes and parse errors, reference lists, and parse-then-format
// round trips over plain and gzip input.
#include "bam/bam_import.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bam/bam_aux.h"
#include "bam/sam_format.h"
#include "common/test_util.h"

namespace {

using test_util::scratch_dir;

struct tam_closer {
    void operator()(tamFile fp) const { sam_close(fp); }
};
using tam_ptr = std::unique_ptr<tamFile_t, tam_closer>;

const std::string two_refs = "@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:2000\n";

std::string repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

class SamReader : public testing::Test {
protected:
    // Writes `text` to a fresh file and reads its header.
    void open(const std::string& text, bool gz = false) {
        std::string path = dir_.file("in" + std::to_string(n_files_++) + (gz ? ".sam.gz" : ".sam"));
        if (gz) test_util::write_gzip_file(path, text);
        else test_util::write_file(path, text);
        open_path(path);
    }
    void open_path(const std::string& path) {
        fp_.reset(sam_open(path.c_str()));
        ASSERT_NE(fp_, nullptr) << path;
        h_.reset(sam_header_read(fp_.get()));
        ASSERT_NE(h_, nullptr);
    }
    int read() { return sam_read1_checked(fp_.get(), h_.get(), b_.get()); }
    std::string line(int of = 0) {
        char* s = bam_format1_core(h_.get(), b_.get(), of);
        std::string r = s ? s : "<null>";
        std::free(s);
        return r;
    }
    std::string header_text() const { return h_->text ? std::string(h_->text, h_->l_text) : std::string(); }
    std::string err() const { return fp_->err ? fp_->err : ""; }
    // Reads one record of `record_line` after the two-reference header and
    // returns what was printed meanwhile.
    std::string read_one(const std::string& record_line, int* ret) {
        open(two_refs + record_line + "\n");
        testing::internal::CaptureStderr();
        *ret = read();
        return testing::internal::GetCapturedStderr();
    }

    scratch_dir dir_;
    int n_files_ = 0;
    tam_ptr fp_;
    bam_header_ptr h_;
    bam1_ptr b_ = bam1_make();
};

TEST_F(SamReader, HeaderOnlyInputEndsAtFirstRead) {
    const char* inputs[] = {"", "\n", "@HD\tVN:1.0\n", "@SQ\tSN:chr1\tLN:1000\n", "@SQ\tSN:chr1\tLN:1000\n\n\n"};
    for (const char* text : inputs) {
        for (bool gz : {false, true}) {
            SCOPED_TRACE(testing::Message() << "input [" << text << "] gzip " << gz);
            open(text, gz);
            EXPECT_EQ(read(), -1);
            EXPECT_EQ(read(), -1);
        }
    }
}

TEST_F(SamReader, HeaderTextKeptByteExact) {
    struct {
        std::string input, text;
        int n_targets;
    } cases[] = {
        {"@HD\tVN:1.0\tSO:coordinate\n@SQ\tSN:chr1\tLN:1000\n", "@HD\tVN:1.0\tSO:coordinate\n@SQ\tSN:chr1\tLN:1000\n", 1},
        {"@HD\tVN:1.0\r\n@SQ\tSN:chr1\tLN:1000\r\n", "@HD\tVN:1.0\r\n@SQ\tSN:chr1\tLN:1000\r\n", 1},
        {"@CO\tfree  text\t\twith tabs\n", "@CO\tfree  text\t\twith tabs\n", 0},
        {"@CO\n@CO\r\n", "@CO\n@CO\r\n", 0},
        {"@CO\tno newline at the end", "@CO\tno newline at the end\n", 0},
        {"@CO\t" + std::string(40000, 'x') + "\n@SQ\tSN:c\tLN:1\n", "@CO\t" + std::string(40000, 'x') + "\n@SQ\tSN:c\tLN:1\n", 1},
        {two_refs + "r1\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\n@CO\tlate\n", two_refs, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        open(c.input);
        EXPECT_EQ(header_text(), c.text);
        EXPECT_EQ(h_->text[h_->l_text], '\0');
        EXPECT_EQ(h_->n_targets, c.n_targets);
    }
}

TEST_F(SamReader, BlankLinesAreSkipped) {
    open(two_refs + "\n\nr1\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\n\n\nr2\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\n\n");
    ASSERT_GE(read(), 0);
    EXPECT_STREQ(rec_qname(b_.get()), "r1");
    ASSERT_GE(read(), 0);
    EXPECT_STREQ(rec_qname(b_.get()), "r2");
    EXPECT_EQ(read(), -1);
}

TEST_F(SamReader, FlagForms) {
    struct {
        const char* text;
        uint16_t flag;
    } cases[] = {
        {"16", 16}, {"0x10", 16},      {"0X10", 16},           {"020", 16},   {"pPr", 0x13}, {"16x", 0x40}, {"", 0},
        {"0", 0},   {"65535", 0xffff}, {"pPuUrR12sfd", 0x7ff}, {"dd", 0x400}, {"-", 0},
    };
    for (const auto& c : cases) {
        int ret;
        std::string err = read_one(std::string("r\t") + c.text + "\tchr1\t1\t0\t1M\t*\t0\t0\tA\tI", &ret);
        ASSERT_GE(ret, 0) << c.text;
        EXPECT_EQ(b_->core.flag, c.flag) << c.text;
        EXPECT_EQ(err, "");
    }
}

TEST_F(SamReader, CigarForms) {
    struct {
        std::string text, formatted;
        int n_cigar;
    } cases[] = {
        {"10m5s", "10M5S", 2},           {"5=2x3=", "5=2X3=", 3}, {"1m1i1d1n1s1h1p1=1x", "1M1I1D1N1S1H1P1=1X", 9},
        {"268435455M", "268435455M", 1}, {"M", "0M", 1},          {repeat("1M", 65535), repeat("1M", 65535), 65535},
    };
    for (const auto& c : cases) {
        int ret;
        read_one("r\t0\tchr1\t1\t0\t" + c.text + "\t*\t0\t0\t*\t*", &ret);
        ASSERT_GE(ret, 0) << err();
        EXPECT_EQ(b_->core.n_cigar, c.n_cigar);
        EXPECT_EQ(line(), "r\t0\tchr1\t1\t0\t" + c.formatted + "\t*\t0\t0\t*\t*");
        EXPECT_EQ(b_->core.bin, bam_rec_bin(&b_->core, rec_cigar(b_.get())));
    }
}

TEST_F(SamReader, ParseErrors) {
    const std::string good = "ok\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\n";
    const std::string mapped = "r\t0\tchr1\t1\t0\t4M\t*\t0\t0\tACGT\tIIII\t";
    struct {
        std::string line, message, printed;
    } cases[] = {
        {"r\t0\tchr1\t1\t0\t10M5\t*\t0\t0\t*\t*", "unmatched CIGAR operation", ""},
        {"r\t0\tchr1\t1\t0\t10M-5S\t*\t0\t0\t*\t*", "invalid CIGAR character", ""},
        {"r\t0\tchr1\t1\t0\t10M5I*\t*\t0\t0\t*\t*", "invalid CIGAR character", ""},
        {"r\t0\tchr1\t1\t0\t10Q\t*\t0\t0\t*\t*", "invalid CIGAR operation", ""},
        {"r\t0\tchr1\t1\t0\t268435456M\t*\t0\t0\t*\t*", "CIGAR operation too long", ""},
        {"r\t0\tchr1\t1\t0\t" + repeat("1M", 65536) + "\t*\t0\t0\t*\t*", "too many CIGAR operations", ""},
        {"r\t0\tchr1\t1\t0\t4M\t*\t0\t0\tACG\tIII", "CIGAR and sequence length are inconsistent",
         "Line 4, sequence length 3 vs 4 from CIGAR\n"},
        {"r\t0\tchr1\t1\t0\t4M\t*\t0\t0\tACGT\tIII", "sequence and quality are inconsistent", ""},
        {"r\t4\t*\t0\t0\t*\t*\t0\t0\t*\tIII", "sequence and quality are inconsistent", ""},
        {std::string(255, 'q') + "\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*", "query name too long", ""},
        {mapped + "XY:i1", "missing colon in auxiliary data", ""},
        {mapped + "XYi:1", "missing colon in auxiliary data", ""},
        {mapped + "X:i:1", "missing colon in auxiliary data", ""},
        {mapped + "XY:Z:", "missing colon in auxiliary data", ""},
        {mapped + "XY:i:1\t", "missing colon in auxiliary data", ""},
        {mapped + "XY:Q:1", "unrecognized type", ""},
        {mapped + "XH:H:1AE", "length of the hex string not even", ""},
        {mapped + "XH:H:1AG3", "invalid hex character", ""},
        {mapped + "XB:B:c", "too few values in aux type B", ""},
        {mapped + "XB:B:c,", "too few values in aux type B", ""},
        {mapped + "XB:B:q,1", "unrecognized array type", ""},
        {mapped + "XB:B:d,1.5", "unrecognized array type", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        open(two_refs + good + c.line + "\n");
        ASSERT_GE(read(), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(read(), SAM_PARSE_ERROR);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed);
        EXPECT_EQ(err(), c.message);
        EXPECT_EQ(fp_->n_lines, 4U);
    }
}

TEST_F(SamReader, LongestQueryName) {
    int ret;
    read_one(std::string(254, 'q') + "\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*", &ret);
    ASSERT_GE(ret, 0);
    EXPECT_EQ(b_->core.l_qname, 255);
    EXPECT_EQ(std::string(rec_qname(b_.get())), std::string(254, 'q'));
}

TEST_F(SamReader, OptionalFieldTypes) {
    struct {
        std::string field;
        char type;
        std::string formatted, printed;
    } cases[] = {
        {"XI:i:-128", 's', "XI:i:-128", ""},
        {"XI:i:-127", 'c', "XI:i:-127", ""},
        {"XI:i:-32767", 's', "XI:i:-32767", ""},
        {"XI:i:-32768", 'i', "XI:i:-32768", ""},
        {"XI:i:0", 'C', "XI:i:0", ""},
        {"XI:I:255", 'C', "XI:i:255", ""},
        {"XI:i:256", 'S', "XI:i:256", ""},
        {"XI:i:300", 'S', "XI:i:300", ""},
        {"XI:i:65535", 'S', "XI:i:65535", ""},
        {"XI:i:65536", 'I', "XI:i:65536", ""},
        {"XI:i:70000", 'I', "XI:i:70000", ""},
        {"XI:i:-2147483648", 'i', "XI:i:-2147483648", ""},
        {"XI:i:4294967295", 'I', "XI:i:4294967295", ""},
        {"XI:i:4294967296", 'I', "XI:i:0", "Parse warning at line 3: integer 4294967296 is out of range."},
        {"XI:i:-2147483649", 'i', "XI:i:2147483647", "Parse warning at line 3: integer -2147483649 is out of range."},
        {"XA:A:q", 'A', "XA:A:q", ""},
        {"XA:a:q", 'A', "XA:A:q", ""},
        {"XA:c:q", 'A', "XA:A:q", ""},
        {"XA:C:!", 'A', "XA:A:!", ""},
        {"XF:f:3.5", 'f', "XF:f:3.5", ""},
        {"XF:f:1e-7", 'f', "XF:f:1e-07", ""},
        {"XD:d:0.1", 'd', "XD:d:0.1", ""},
        {"XD:d:-1e300", 'd', "XD:d:-1e+300", ""},
        {"XZ:Z:a b:c", 'Z', "XZ:Z:a b:c", ""},
        {"XH:H:1ae3F0", 'H', "XH:H:1ae3F0", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        int ret;
        std::string printed = read_one("r\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\t" + c.field, &ret);
        ASSERT_GE(ret, 0) << err();
        EXPECT_EQ(printed, c.printed);
        const uint8_t* v = bam_aux_get(b_.get(), c.field.substr(0, 2).c_str());
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(static_cast<char>(*v), c.type);
        EXPECT_EQ(line(), "r\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\t" + c.formatted);
    }
}

TEST_F(SamReader, ArrayFields) {
    struct {
        std::string field;
        char sub;
        int32_t count;
        int width;
        std::string formatted;
    } cases[] = {
        {"XB:B:s,1,-2", 's', 2, 2, "XB:B:s,1,-2"},
        {"XB:B:C,1,2,255", 'C', 3, 1, "XB:B:C,1,2,255"},
        {"XB:B:c,-128,127", 'c', 2, 1, "XB:B:c,-128,127"},
        {"XB:B:S,0,65535", 'S', 2, 2, "XB:B:S,0,65535"},
        {"XB:B:i,0x10,-0x10,010", 'i', 3, 4, "XB:B:i,16,-16,8"},
        {"XB:B:I,4294967295", 'I', 1, 4, "XB:B:I,4294967295"},
        {"XB:B:f,1.5,-2", 'f', 2, 4, "XB:B:f,1.5,-2"},
        {"XB:B:c,1,", 'c', 2, 1, "XB:B:c,1,0"},  // a trailing comma adds an element
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        int ret;
        read_one("r\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\t" + c.field, &ret);
        ASSERT_GE(ret, 0) << err();
        const uint8_t* v = bam_aux_get(b_.get(), "XB");
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v[0], 'B');
        EXPECT_EQ(v[1], c.sub);
        int32_t count;
        std::memcpy(&count, v + 2, 4);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(b_->l_aux, 3 + 5 + c.count * c.width);
        EXPECT_EQ(line(), "r\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\t" + c.formatted);
    }
}

TEST_F(SamReader, TruncatedRecords) {
    struct {
        const char* text;
        int code;
    } cases[] = {
        {"r1\t0\tchr1\t5", -2},
        {"r1\t0\tchr1\t5\t30", -3},
        {"r1\t0\tchr1\t5\t30\t4M\t*\t0", -4},
        {"r1\t0\tchr1\t5\t30\t4M\t*\t0\t0", -5},
        {"r1\t0\tchr1\t5\t30\t4M\t*\t0\t0\tACGT", -6},
    };
    for (const auto& c : cases) {
        for (const char* ending : {"", "\n"}) {
            SCOPED_TRACE(testing::Message() << c.text << " ending [" << ending << "]");
            open(two_refs + c.text + ending);
            EXPECT_EQ(read(), c.code);
        }
    }
}

TEST_F(SamReader, InputEndingAfterTheNameIsTruncated) {
    // The missing fields read as empty, not as the name again.
    int ret;
    std::string printed = read_one("r1", &ret);
    EXPECT_EQ(ret, -2);
    EXPECT_EQ(printed.find("'r1'"), std::string::npos) << printed;
    EXPECT_EQ(b_->core.flag, 0);
}

TEST_F(SamReader, CrlfLinesReadLikeLf) {
    const std::vector<std::string> lines = {
        "r1\t0\tchr1\t5\t30\t4M\t*\t0\t0\tACGT\tIIII",
        "r2\t16\tchr2\t9\t0\t2M\t=\t3\t-8\tGT\t##\tNM:i:1\tXZ:Z:end",
        "r3\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*",
    };
    std::string lf = two_refs, crlf = "@SQ\tSN:chr1\tLN:1000\r\n@SQ\tSN:chr2\tLN:2000\r\n";
    for (const auto& l : lines) {
        lf += l + "\n";
        crlf += l + "\r\n";
    }
    for (const std::string* text : {&lf, &crlf}) {
        open(*text);
        EXPECT_EQ(h_->n_targets, 2);
        for (const auto& l : lines) {
            ASSERT_GE(read(), 0) << err();
            EXPECT_EQ(line(), l);
        }
        EXPECT_EQ(read(), -1);
    }
}

TEST_F(SamReader, ShortLineTakesFieldsFromTheNext) {
    open(two_refs + "r1\t0\tchr1\t5\t30\n4M\t*\t0\t0\nACGT\tIIII\nr2\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\n");
    ASSERT_GE(read(), 0);
    EXPECT_EQ(line(), "r1\t0\tchr1\t5\t30\t4M\t*\t0\t0\tACGT\tIIII");
    ASSERT_GE(read(), 0);
    EXPECT_STREQ(rec_qname(b_.get()), "r2");
    EXPECT_EQ(read(), -1);
}

TEST_F(SamReader, UnknownReference) {
    int ret;
    std::string printed = read_one("r\t1\tchr9\t5\t0\t1M\tchr9\t7\t0\tA\tI", &ret);
    ASSERT_GE(ret, 0);
    EXPECT_EQ(printed, "[sam_read1] reference 'chr9' is recognized as '*'.\n");
    EXPECT_EQ(b_->core.tid, -1);
    EXPECT_EQ(b_->core.mtid, -1);
    EXPECT_EQ(b_->core.pos, 4);

    open("r\t1\tchr9\t5\t0\t1M\t*\t0\t0\tA\tI\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(read(), SAM_MISSING_HEADER);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    open("r\t4\t*\t0\t0\t*\tchr9\t0\t0\t*\t*\n");
    ASSERT_GE(read(), 0);
    EXPECT_EQ(b_->core.tid, -1);
    EXPECT_EQ(b_->core.mtid, -1);
}

TEST_F(SamReader, ReturnsLineLength) {
    const std::string lines[] = {
        "r1\t0\tchr1\t5\t30\t4M\t*\t0\t0\tACGT\tIIII",
        "read_two\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*",
        "r3\t0\tchr2\t5\t30\t2M\t=\t100\t97\tAC\tII\tNM:i:0\tXB:B:s,1,2\tXZ:Z:some text",
    };
    std::string text = two_refs;
    for (const auto& l : lines) text += l + "\n";
    open(text);
    for (const auto& l : lines) EXPECT_EQ(read(), static_cast<int>(l.size() + 1)) << l;
}

TEST_F(SamReader, CoreFieldsAndQualities) {
    int ret;
    read_one("r\t3\tchr2\t1500\t300\t2M\t=\t1\t-1499\tAC\t!I", &ret);
    ASSERT_GE(ret, 0);
    const bam1_core_t& c = b_->core;
    EXPECT_EQ(c.tid, 1);
    EXPECT_EQ(c.pos, 1499);
    EXPECT_EQ(c.qual, 300 % 256);  // kept in 8 bits
    EXPECT_EQ(c.mtid, 1);
    EXPECT_EQ(c.mpos, 0);
    EXPECT_EQ(c.isize, -1499);
    EXPECT_EQ(c.bin, bam_reg2bin(1499, 1501));
    EXPECT_EQ(rec_qual(b_.get())[0], 0);
    EXPECT_EQ(rec_qual(b_.get())[1], 40);
    EXPECT_EQ(b_->data_len, rec_data_len(&c, 0));

    read_one("r\t4\t*\tx\tq\t*\t*\t-5\tz\tACGTA\t*", &ret);
    ASSERT_GE(ret, 0);
    EXPECT_EQ(b_->core.pos, -1);
    EXPECT_EQ(b_->core.qual, 0);
    EXPECT_EQ(b_->core.mpos, -1);
    EXPECT_EQ(b_->core.isize, 0);
    EXPECT_EQ(b_->core.l_qseq, 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(rec_qual(b_.get())[i], 0xff) << i;
    EXPECT_EQ(line(), "r\t4\t*\t0\t0\t*\t*\t0\t0\tACGTA\t*");
}

TEST_F(SamReader, MappedWithoutCigarBecomesUnmapped) {
    int ret;
    std::string printed = read_one("r\t0\tchr1\t100\t0\t*\t*\t0\t0\tAC\tII", &ret);
    ASSERT_GE(ret, 0);
    EXPECT_EQ(printed, "Parse warning at line 3: mapped sequence without CIGAR\n");
    EXPECT_EQ(b_->core.flag, BAM_FUNMAP);
    EXPECT_EQ(b_->core.bin, bam_reg2bin(99, 100));
}

// A deterministic mix of records, about 300 kB of text.
std::vector<std::string> generated_lines() {
    std::vector<std::string> lines;
    uint32_t state = 12345;
    auto next = [&state] { return (state = state * 1103515245U + 12345U) >> 8; };
    for (int i = 0; i < 3000; ++i) {
        int len = 1 + static_cast<int>(next() % 150);
        std::string seq, qual;
        for (int k = 0; k < len; ++k) {
            seq += "ACGTN"[next() % 5];
            qual += static_cast<char>(33 + next() % 42);
        }
        std::string name = "read" + std::to_string(i);
        if (i % 7 == 0) {
            lines.push_back(name + "\t4\t*\t0\t0\t*\t*\t0\t0\t" + seq + "\t" + qual);
            continue;
        }
        int flag = i % 2 ? 99 : 16;
        std::string ref = i % 3 ? "chr1" : "chr2";
        lines.push_back(name + "\t" + std::to_string(flag) + "\t" + ref + "\t" + std::to_string(1 + next() % 900) + "\t" +
                        std::to_string(next() % 61) + "\t" + std::to_string(len) + "M\t=\t1\t0\t" + seq + "\t" + qual +
                        "\tNM:i:" + std::to_string(i % 5) + "\tXS:Z:tag" + std::to_string(i));
    }
    // A record longer than the reader's buffer.
    lines.push_back("long\t0\tchr1\t1\t0\t40000M\t*\t0\t0\t" + std::string(40000, 'G') + "\t" + std::string(40000, 'I'));
    return lines;
}

TEST_F(SamReader, PlainAndGzipGiveTheSameRecords) {
    std::vector<std::string> lines = generated_lines();
    std::string text = two_refs;
    for (const auto& l : lines) text += l + "\n";
    for (bool gz : {false, true}) {
        SCOPED_TRACE(gz ? "gzip" : "plain");
        open(text, gz);
        for (const auto& l : lines) {
            ASSERT_EQ(read(), static_cast<int>(l.size() + 1)) << err();
            ASSERT_EQ(line(), l);
        }
        EXPECT_EQ(read(), -1);
    }
}

TEST_F(SamReader, DamagedGzipEndsTheInput) {
    std::vector<std::string> lines = generated_lines();
    std::string text = two_refs;
    for (const auto& l : lines) text += l + "\n";
    std::string path = dir_.file("good.sam.gz");
    test_util::write_gzip_file(path, text);
    const std::string gz = test_util::read_file(path);

    // A wrong checksum is noticed at the end of the stream.  zlib drops the
    // text inflated by the failing call, so the last records are lost; the
    // records before them are intact and the read error is recorded.
    std::string bad_crc = gz;
    bad_crc[bad_crc.size() - 8] ^= 0x5a;
    test_util::write_file(dir_.file("crc.sam.gz"), bad_crc);
    open_path(dir_.file("crc.sam.gz"));
    testing::internal::CaptureStderr();
    size_t n = 0;
    int r;
    for (; n < lines.size() && (r = read()) >= 0; ++n) ASSERT_EQ(line(), lines[n]);
    testing::internal::GetCapturedStderr();
    EXPECT_LT(r, 0);
    EXPECT_GT(n, lines.size() / 2);
    EXPECT_EQ(fp_->ks->is_err, 1);

    // Cut or damaged streams stop early, with a negative code.
    for (size_t at : {gz.size() / 3, gz.size() / 2, gz.size() * 4 / 5}) {
        SCOPED_TRACE(at);
        std::string cut = gz.substr(0, at), flipped = gz;
        for (size_t k = at; k < at + 16; ++k) flipped[k] ^= 0x55;
        for (const std::string* damaged : {&cut, &flipped}) {
            test_util::write_file(dir_.file("damaged.sam.gz"), *damaged);
            open_path(dir_.file("damaged.sam.gz"));
            testing::internal::CaptureStderr();
            n = 0;
            while ((r = read()) >= 0 && n <= lines.size()) ++n;
            testing::internal::GetCapturedStderr();
            EXPECT_LT(r, 0);
            EXPECT_LT(n, lines.size());
        }
    }
}

TEST_F(SamReader, SqLinesWithoutNameOrLengthAreSkipped) {
    testing::internal::CaptureStderr();
    open("@SQ\tSN:chr1\tLN:100\n@SQ\tSN:chr2\n@SQ\tLN:50\n@SQ\tSN:chr3\tLN:300\n");
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed, repeat("[sam_header_parse] an @SQ line without SN or LN is ignored.\n", 2));
    ASSERT_EQ(h_->n_targets, 2);
    EXPECT_STREQ(h_->target_name[0], "chr1");
    EXPECT_EQ(h_->target_len[0], 100U);
    EXPECT_STREQ(h_->target_name[1], "chr3");
    EXPECT_EQ(h_->target_len[1], 300U);
    EXPECT_EQ(bam_get_tid(h_.get(), "chr3"), 1);
    EXPECT_EQ(bam_get_tid(h_.get(), "chr2"), -1);

    // Parsing again rebuilds the same list.
    testing::internal::CaptureStderr();
    EXPECT_EQ(sam_header_parse(h_.get()), 2);
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(h_->target_name[1], "chr3");

    bam_header_ptr tiny(bam_header_init());
    EXPECT_EQ(sam_header_parse(tiny.get()), 0);
}

TEST(SamHeaderRead2, ReferenceLists) {
    struct {
        std::string text;
        bool gz;
        std::vector<std::string> names;  // empty: null expected
        std::vector<uint32_t> lens;
        std::string printed;
    } cases[] = {
        {"chr1\t100\nchr2 200 extra columns\nchr3\t300\t7\t60\t61\n",
         false,
         {"chr1", "chr2", "chr3"},
         {100, 200, 300},
         "[sam_header_read2] 3 sequences loaded.\n"},
        {"chr1\t100\nchr2 200 extra columns\nchr3\t300\t7\t60\t61\n",
         true,
         {"chr1", "chr2", "chr3"},
         {100, 200, 300},
         "[sam_header_read2] 3 sequences loaded.\n"},
        {"chrM\t16571\n\nchr1\t100\n", false, {"chrM"}, {16571}, "[sam_header_read2] 1 sequences loaded.\n"},
        {"chr1\t100\nchr2\t5\nchr1\t100\n",
         false,
         {},
         {},
         "[sam_header_read2] duplicated sequence name: chr1\n[sam_header_read2] 2 sequences loaded.\n"},
    };
    scratch_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string path = dir.file(c.gz ? "list.gz" : "list.txt");
        if (c.gz) test_util::write_gzip_file(path, c.text);
        else test_util::write_file(path, c.text);
        testing::internal::CaptureStderr();
        bam_header_ptr h(sam_header_read2(path.c_str()));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed);
        if (c.names.empty()) {
            EXPECT_EQ(h, nullptr);
            continue;
        }
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(h->n_targets, static_cast<int32_t>(c.names.size()));
        EXPECT_EQ(h->l_text, 0U);
        for (size_t i = 0; i < c.names.size(); ++i) {
            EXPECT_EQ(h->target_name[i], c.names[i]);
            EXPECT_EQ(h->target_len[i], c.lens[i]);
            EXPECT_EQ(bam_get_tid(h.get(), c.names[i].c_str()), static_cast<int32_t>(i));
        }
    }
    EXPECT_EQ(sam_header_read2(nullptr), nullptr);
    EXPECT_EQ(sam_header_read2(dir.file("missing").c_str()), nullptr);
}

// Canonical lines come back unchanged after parsing and formatting.
TEST_F(SamReader, ParseThenFormatGivesTheLineBack) {
    const struct {
        std::string line;
        int of;
    } cases[] = {
        {"r001\t99\tchr1\t7\t30\t8M2I4M1D3M\t=\t37\t39\tTTAGATAAAGGATACTG\t*", 0},
        {"r002\t0\tchr1\t9\t30\t3S6M1P1I4M\t*\t0\t0\tAAAAGATAAGGATA\t*", 0},
        {"r003\t0\tchr1\t9\t30\t5S6M\t*\t0\t0\tGCCTAAGCTAA\t*\tSA:Z:ref,29,-,6H5M,17,0;", 0},
        {"r004\t0\tchr1\t16\t30\t6M14N5M\t*\t0\t0\tATAGCTTCAGC\t*", 0},
        {"r003\t2064\tchr1\t29\t17\t6H5M\t*\t0\t0\tTAGGC\t*\tSA:Z:ref,9,+,5S6M,30,1;", 0},
        {"r001\t147\tchr1\t37\t30\t9M\t=\t7\t-39\tCAGCGGCAT\t*\tNM:i:1", 0},
        {"u1\t4\t*\t0\t0\t*\t*\t0\t0\tACGTN\t#####", 0},
        {"iupac\t4\t*\t0\t0\t*\t*\t0\t0\t=ACMGRSVTWYHKDBN\t!!!!!!!!!!!!!!!~", 0},
        {"m1\t65\tchr1\t100\t60\t4M\tchr2\t200\t0\tACGT\tIIII", 0},
        {"e1\t0\tchr2\t1\t255\t5=2X3=\t*\t0\t0\tACGTACGTAC\t0123456789", 0},
        {"h1\t0\tchr2\t2000\t10\t3H2P4M3H\t*\t0\t0\tACGT\t~~~~", 0},
        {"o1\t0\tchr1\t1\t0\t3M\t*\t0\t0\tACG\tIII", 0},
        {"s1\t0\tchr1\t1\t0\t10M\t*\t0\t0\t*\t*", 0},
        {"a1\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\tXA:A:q\tXB:A:~", 0},
        {"i1\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\tX1:i:-1\tX2:i:255\tX3:i:-300\tX4:i:65535\tX5:i:-2147483648\tX6:i:4294967295\tX7:i:0",
         0},
        {"f1\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\tXF:f:0.5\tXG:f:-1.25e-05\tXD:d:3.14159\tXE:d:1e+100", 0},
        {"z1\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\tXZ:Z:hello world\tXH:H:1AE301\tXY:Z:x", 0},
        {"b1\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\tB1:B:c,-128,127\tB2:B:C,0,255\tB3:B:s,-32768,32767\tB4:B:S,0,65535"
         "\tB5:B:i,-2147483648,2147483647\tB6:B:I,0,4294967295\tB7:B:f,1.5,-0.25",
         0},
        {"x1\t0x63\tchr1\t5\t7\t2M\t=\t50\t47\tAC\tII", 1},
        {"l1\tpPR1\tchr1\t5\t7\t2M\t=\t50\t47\tAC\tII", 2},
        {"l2\t\tchr2\t5\t7\t2M\t*\t0\t0\tAC\tII", 2},
    };
    std::string text = two_refs;
    for (const auto& c : cases) text += c.line + "\n";
    testing::internal::CaptureStderr();
    open(text);
    for (const auto& c : cases) {
        ASSERT_EQ(read(), static_cast<int>(c.line.size() + 1)) << c.line << ": " << err();
        EXPECT_EQ(line(c.of), c.line);
    }
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(SamReader, ProcessEndingReaderPassesCodesThrough) {
    const std::string first = "r1\t0\tchr1\t5\t30\t4M\t*\t0\t0\tACGT\tIIII";
    open(two_refs + first + "\nr2\t0\tchr1\t5\t30\t4M");
    EXPECT_EQ(sam_read1(fp_.get(), h_.get(), b_.get()), static_cast<int>(first.size() + 1));
    EXPECT_EQ(line(), first);
    EXPECT_EQ(sam_read1(fp_.get(), h_.get(), b_.get()), -4);
}

// sam_read1 itself ends the process on malformed text.
class SamReadDeathTest : public testing::Test {
protected:
    // Reads every record of `text` with sam_read1.
    static void read_all(const std::string& path) {
        tam_ptr fp(sam_open(path.c_str()));
        bam_header_ptr h(sam_header_read(fp.get()));
        bam1_ptr b = bam1_make();
        while (sam_read1(fp.get(), h.get(), b.get()) >= 0) {}
    }
    scratch_dir dir_;
};

TEST_F(SamReadDeathTest, ParseErrorsEndTheProcess) {
    const std::string good = "ok\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\n";
    struct {
        std::string text, pattern;
    } cases[] = {
        {two_refs + good + "r\t0\tchr1\t1\t0\t10Q\t*\t0\t0\t*\t*\n", "^Parse error at line 4: invalid CIGAR operation\n$"},
        {two_refs + good + good + "r\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*\tXB:B:c\n",
         "^Parse error at line 5: too few values in aux type B\n$"},
        {"r\t0\tchr1\t1\t0\t1M\t*\t0\t0\tA\tI\n", "^\\[sam_read1\\] missing header\\? Abort!\n$"},
    };
    for (const auto& c : cases) {
        std::string path = dir_.file("bad.sam");
        test_util::write_file(path, c.text);
        EXPECT_EXIT(read_all(path), testing::ExitedWithCode(1), c.pattern);
    }
}

}  // namespace
