// The view, import and bam2fq commands, run as a user would: conversions in
// every output form, each filter against an independent expectation, region
// retrieval, and damaged input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_util.h"

namespace {

using test_util::read_file;
using test_util::run;
using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;
using test_util::split;
using test_util::write_file;

struct sam_text {
    std::string header;
    std::vector<std::string> records;
};

sam_text parse_sam(const std::string& text) {
    sam_text s;
    for (const std::string& line : split(text, '\n')) {
        if (line.empty()) continue;
        if (line[0] == '@') s.header += line + "\n";
        else s.records.push_back(line);
    }
    return s;
}

std::string field(const std::string& line, int i) { return split(line, '\t')[i]; }

std::string tag_value(const std::string& line, const std::string& tag) {
    for (const std::string& f : split(line, '\t'))
        if (f.compare(0, 3, tag + ":") == 0) return f.substr(5);
    return "";
}

class View : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(run({ALNSIM_PATH, "--seed", "17", "--refs", "3", "--ref-len", "60000", "--records", "6000", "--sorted",
                       "--fasta", ref(), "--sam", sam()})
                      .status,
                  0);
        original_ = read_file(sam());
        parsed_ = parse_sam(original_);
        run_result r = run_alnkit({"view", "-bS", "-o", bam(), sam()});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::string sam() const { return dir_.file("in.sam"); }
    std::string bam() const { return dir_.file("in.bam"); }
    std::string ref() const { return dir_.file("ref.fa"); }

    // Records of a SAM text output without its header.
    std::vector<std::string> view_records(const std::vector<std::string>& args) {
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return parse_sam(r.out).records;
    }
    std::vector<std::string> expect_where(const std::function<bool(const std::string&)>& keep) const {
        std::vector<std::string> out;
        for (const auto& rec : parsed_.records)
            if (keep(rec)) out.push_back(rec);
        return out;
    }

    scratch_dir dir_;
    std::string original_;
    sam_text parsed_;
};

TEST_F(View, ConversionsAreLosslessInEveryForm) {
    // BAM back to SAM with the header gives the input text.
    run_result r = run_alnkit({"view", "-h", bam()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == original_);
    // Uncompressed and fast BAM read back the same.
    for (const char* opt : {"-u", "-1", "-b"}) {
        const std::string out = dir_.file("x.bam");
        ASSERT_EQ(run_alnkit({"view", opt, "-o", out, bam()}).status, 0) << opt;
        EXPECT_TRUE(run_alnkit({"view", "-h", out}).out == original_) << opt;
    }
    // A reference list (-t) or the FASTA (-T, index built on the way) for a
    // SAM input without @SQ lines.
    std::string no_header;
    for (const auto& rec : parsed_.records) no_header += rec + "\n";
    write_file(dir_.file("bare.sam"), no_header);
    ASSERT_EQ(run_alnkit({"faidx", ref()}).status, 0);
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-t", ref() + ".fai"}, std::vector<std::string>{"-T", ref()}}) {
        std::vector<std::string> cmd{"view", "-b", "-o", dir_.file("t.bam")};
        cmd.insert(cmd.end(), args.begin(), args.end());
        cmd.push_back(dir_.file("bare.sam"));
        r = run_alnkit(cmd);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(view_records({"view", dir_.file("t.bam")}), parsed_.records) << args[0];
    }
    // Flag forms: hexadecimal and letters, and -x with -b still writes BAM.
    auto hex = view_records({"view", "-x", bam()});
    auto letters = view_records({"view", "-X", bam()});
    ASSERT_EQ(hex.size(), parsed_.records.size());
    for (size_t i = 0; i < hex.size(); i += 97) {
        int flag = std::stoi(field(parsed_.records[i], 1));
        std::ostringstream h;
        h << "0x" << std::hex << flag;
        EXPECT_EQ(field(hex[i], 1), h.str());
        std::string expected;
        const char* names = "pPuUrR12sfd";
        for (int bit = 0; bit < 11; ++bit)
            if (flag & (1 << bit)) expected += names[bit];
        EXPECT_EQ(field(letters[i], 1), expected);
    }
    ASSERT_EQ(run_alnkit({"view", "-xb", "-o", dir_.file("xb.bam"), bam()}).status, 0);
    EXPECT_EQ(view_records({"view", dir_.file("xb.bam")}), parsed_.records);
}

TEST_F(View, FiltersKeepWhatTheirRulesSay) {
    auto flag = [](const std::string& r) { return std::stoi(field(r, 1)); };
    EXPECT_EQ(view_records({"view", "-q", "30", bam()}),
              expect_where([](const std::string& r) { return std::stoi(field(r, 4)) >= 30; }));
    EXPECT_EQ(view_records({"view", "-f", "0x2", "-F", "0x400", bam()}),
              expect_where([&](const std::string& r) { return (flag(r) & 2) && !(flag(r) & 0x400); }));
    EXPECT_EQ(view_records({"view", "-F", "012", bam()}), expect_where([&](const std::string& r) { return !(flag(r) & 10); }));
    // Subsampling keeps whole templates by the name hash.
    auto subsample = [](double s) {
        return [s](const std::string& r) {
            uint32_t h = 0;
            std::string name = field(r, 0);
            h = static_cast<uint32_t>(static_cast<unsigned char>(name[0]));
            for (size_t i = 1; i < name.size(); ++i) h = h * 31 + static_cast<unsigned char>(name[i]);
            int seed = static_cast<int>(s);
            return static_cast<double>((h + static_cast<uint32_t>(seed)) & 1023) / 1024.0 < s - seed;
        };
    };
    auto quarter = view_records({"view", "-s", "0.25", bam()});
    EXPECT_EQ(quarter, expect_where(subsample(0.25)));
    EXPECT_NEAR(static_cast<double>(quarter.size()) / parsed_.records.size(), 0.25, 0.05);
    auto other = view_records({"view", "-s", "1.25", bam()});
    EXPECT_EQ(other, expect_where(subsample(1.25)));
    EXPECT_NE(other, quarter);
    // Read group: kept when it matches, records without RG fall to -l.
    EXPECT_EQ(view_records({"view", "-r", "grpB", bam()}),
              expect_where([](const std::string& r) { return tag_value(r, "RG") == "grpB" || tag_value(r, "RG").empty(); }));
    EXPECT_EQ(view_records({"view", "-r", "grpB", "-l", "libB", bam()}),
              expect_where([](const std::string& r) { return tag_value(r, "RG") == "grpB"; }));
    // Library through the read group's LB.
    EXPECT_EQ(view_records({"view", "-l", "libA", bam()}), expect_where([](const std::string& r) {
                  std::string g = tag_value(r, "RG");
                  return g == "grpA" || g == "grpB";
              }));
    // Counting agrees with the records written.
    run_result c = run_alnkit({"view", "-c", "-q", "30", bam()});
    EXPECT_EQ(c.out, std::to_string(view_records({"view", "-q", "30", bam()}).size()) + "\n");
    c = run_alnkit({"view", "-c", "-H", bam()});
    EXPECT_EQ(c.out, "0\n");
}

TEST_F(View, ReadGroupListFiltersRecordsAndRewritesTheHeader) {
    write_file(dir_.file("groups.txt"), "grpA\n  grpC\n");
    run_result r = run_alnkit({"view", "-h", "-R", dir_.file("groups.txt"), bam()});
    ASSERT_EQ(r.status, 0) << r.err;
    sam_text out = parse_sam(r.out);
    EXPECT_NE(out.header.find("@RG\tID:grpA\t"), std::string::npos);
    EXPECT_NE(out.header.find("@RG\tID:grpC\t"), std::string::npos);
    EXPECT_EQ(out.header.find("@RG\tID:grpB"), std::string::npos);
    EXPECT_EQ(out.header.find("@RG\tID:grpD"), std::string::npos);
    EXPECT_NE(out.header.find("@SQ\tSN:chr1"), std::string::npos);
    EXPECT_EQ(out.records, expect_where([](const std::string& rec) {
                  std::string g = tag_value(rec, "RG");
                  return g.empty() || g == "grpA" || g == "grpC";
              }));
    r = run_alnkit({"view", "-R", dir_.file("missing.txt"), bam()});
    EXPECT_EQ(r.status, 1);
}

TEST_F(View, BedListKeepsOverlappingRecords) {
    write_file(dir_.file("r.bed"), "chr1\t1000\t5000\nchr3\t20000\t20001\n");
    auto kept = view_records({"view", "-L", dir_.file("r.bed"), bam()});
    EXPECT_EQ(kept, expect_where([](const std::string& r) {
                  std::string chr = field(r, 2);
                  if (chr == "*") return true;  // records without a reference pass
                  long beg = std::stol(field(r, 3)) - 1;
                  long end = beg + 1;
                  // Alignment end from the CIGAR: M, D, N, = and X consume the reference.
                  std::string cigar = field(r, 5);
                  if (cigar != "*") {
                      long len = 0, n = 0;
                      for (char c : cigar) {
                          if (isdigit(static_cast<unsigned char>(c))) {
                              n = n * 10 + (c - '0');
                          } else {
                              if (std::string("MDN=X").find(c) != std::string::npos) len += n;
                              n = 0;
                          }
                      }
                      end = beg + len;
                  }
                  if (chr == "chr1") return beg < 5000 && end > 1000;
                  if (chr == "chr3") return beg < 20001 && end > 20000;
                  return false;
              }));
    EXPECT_EQ(run_alnkit({"view", "-L", dir_.file("none.bed"), bam()}).status, 1);
}

TEST_F(View, UsageAndOpenFailures) {
    run_result r = run_alnkit({"view"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        r.err.starts_with("\nUsage:   alnkit view [options] <in.bam>|<in.sam> [region1 [...]]\n\nOptions: -b       output BAM\n"))
        << r.err;
    EXPECT_TRUE(r.err.ends_with("         -?       longer help\n\n")) << r.err;
    EXPECT_EQ(r.err.find("Notes:"), std::string::npos);
    r = run_alnkit({"view", "-?"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Notes:"), std::string::npos);
    // -? with an input converts normally.
    r = run_alnkit({"view", "-?", bam()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(parse_sam(r.out).records.size(), parsed_.records.size());
    r = run_alnkit({"view", dir_.file("missing.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[main_samview] fail to open \"" + dir_.file("missing.bam") + "\" for reading.\n"), std::string::npos);
    r = run_alnkit({"view", sam()});  // SAM read as BAM
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[main_samview] fail to read the header from \"" + sam() + "\".\n"), std::string::npos);
    r = run_alnkit({"view", "-o", dir_.file("no/such/dir/out.sam"), bam()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[main_samview] fail to open \"" + dir_.file("no/such/dir/out.sam") + "\" for writing.\n"),
              std::string::npos);
}

TEST_F(View, TruncatedInputFailsAfterTheIntactRecords) {
    const std::string file = read_file(bam());
    write_file(dir_.file("cut.bam"), file.substr(0, file.size() * 2 / 3));
    run_result r = run_alnkit({"view", dir_.file("cut.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[main_samview] truncated file.\n"), std::string::npos);
    auto got = parse_sam(r.out).records;
    ASSERT_LT(got.size(), parsed_.records.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), parsed_.records.begin()));
    r = run_alnkit({"view", "-c", dir_.file("cut.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

TEST_F(View, RegionsNeedAnIndexAndSkipUnknownNames) {
    run_result r = run_alnkit({"view", bam(), "chr1:1-1000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[main_samview] random alignment retrieval only works for indexed BAM files.\n"), std::string::npos);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(run_alnkit({"index", bam()}).status, 0);
    r = run_alnkit({"view", "-c", bam(), "chrZ:1-100", "chr1", "chr1:1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[main_samview] region \"chrZ:1-100\" specifies an unknown reference name. Continue anyway.\n"),
              std::string::npos);
    // A record in two overlapping regions counts twice.
    size_t on_chr1 = expect_where([](const std::string& rec) { return field(rec, 2) == "chr1"; }).size();
    EXPECT_EQ(r.out, std::to_string(2 * on_chr1) + "\n");
    // A damaged index fails the retrieval or the load, never crashes.
    const std::string bai = read_file(bam() + ".bai");
    write_file(bam() + ".bai", bai.substr(0, bai.size() / 2));
    r = run_alnkit({"view", bam(), "chr2:1-60000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(r.status, 128);
}

TEST(Import, ConvertsWithAReferenceList) {
    scratch_dir dir;
    write_file(dir.file("ref.list"), "chr1\t1000\n");
    write_file(dir.file("in.sam"), "r1\t0\tchr1\t5\t30\t4M\t*\t0\t0\tACGT\tIIII\n");
    run_result r = run_alnkit({"import", dir.file("ref.list"), dir.file("in.sam"), dir.file("out.bam")});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_alnkit({"view", "-h", dir.file("out.bam")});
    EXPECT_EQ(r.out, "@SQ\tSN:chr1\tLN:1000\nr1\t0\tchr1\t5\t30\t4M\t*\t0\t0\tACGT\tIIII\n");
    r = run_alnkit({"import", dir.file("ref.list")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Usage: alnkit import <in.ref_list> <in.sam> <out.bam>\n");
}

TEST(Bam2fq, WritesFastqWithMatesAndReverseStrands) {
    scratch_dir dir;
    write_file(dir.file("in.sam"),
               "@SQ\tSN:chr1\tLN:1000\n"
               "r1\t16\tchr1\t5\t30\t5M\t*\t0\t0\tACCGT\t+5?II\n"
               "r2\t65\tchr1\t5\t30\t4M\t*\t0\t0\tACGN\t*\n"
               "r2\t129\tchr1\t9\t30\t4M\t*\t0\t0\tTTTT\tABCD\n"
               "r3\t193\tchr1\t9\t30\t2M\t*\t0\t0\tGG\tAB\n");
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", dir.file("in.bam"), dir.file("in.sam")}).status, 0);
    run_result r = run_alnkit({"bam2fq", dir.file("in.bam")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "@r1\nACGGT\n+\nII?5+\n@r2/1\nACGN\n+\n    \n@r2/2\nTTTT\n+\nABCD\n@r3\nGG\n+\nAB\n");
    r = run_alnkit({"bam2fq", "-"}, read_file(dir.file("in.bam")));
    EXPECT_EQ(r.out.substr(0, 15), "@r1\nACGGT\n+\nII?");
    r = run_alnkit({"bam2fq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Usage: alnkit bam2fq <in.bam>\n");
    const std::string file = read_file(dir.file("in.bam"));
    write_file(dir.file("cut.bam"), file.substr(0, file.size() - 40));
    EXPECT_EQ(run_alnkit({"bam2fq", dir.file("cut.bam")}).status, 1);
}

}  // namespace
