// The merge command run as a user would: tie order between files and
// strands, read-group tags, reference-list checks, header files, regions,
// compression modes, the overwrite guard, damaged inputs, and merged sorted
// pieces of generated data against the sort of the whole.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bam/bam.h"
#include "bam/bam_codec.h"
#include "common/bam_file_util.h"
#include "common/test_util.h"
#include "io/bgzf.h"

namespace {

using test_util::bam_from_sam;
using test_util::read_file;
using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;
using test_util::view_header;
using test_util::view_records;
using test_util::write_file;

const std::string two_refs = "@SQ\tSN:chr1\tLN:10000\n@SQ\tSN:chr2\tLN:10000\n";

std::string rec(const std::string& name, int flag, const std::string& ref, int pos, const std::string& tags = "") {
    std::string line =
        name + "\t" + std::to_string(flag) + "\t" + ref + "\t" + std::to_string(pos) + "\t30\t4M\t*\t0\t0\tACGT\tIIII";
    return line + (tags.empty() ? "" : "\t" + tags) + "\n";
}

// First column of every record line.
std::string names_of(const std::string& sam) {
    std::string out;
    for (size_t at = 0; at < sam.size();) {
        size_t eol = sam.find('\n', at);
        out += sam.substr(at, sam.find('\t', at) - at) + " ";
        at = eol == std::string::npos ? sam.size() : eol + 1;
    }
    return out;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The header of a BAM file as stored: its text and its reference names.
struct stored_header {
    std::string text;
    std::vector<std::string> names;
};

stored_header read_header(const std::string& bam) {
    stored_header out;
    BGZF* fp = bgzf_open(bam.c_str(), "r");
    EXPECT_NE(fp, nullptr);
    if (!fp) return out;
    bam_header_ptr h(bam_header_read(fp));
    EXPECT_TRUE(h);
    if (h) {
        out.text.assign(h->text, h->l_text);
        for (int i = 0; i < h->n_targets; ++i) out.names.emplace_back(h->target_name[i]);
    }
    bgzf_close(fp);
    return out;
}

std::vector<std::string> reference_names(const std::string& bam) { return read_header(bam).names; }

// Bytes of the decompressed BAM stream.
size_t inflated_size(const std::string& bam) {
    BGZF* fp = bgzf_open(bam.c_str(), "r");
    EXPECT_NE(fp, nullptr);
    if (!fp) return 0;
    size_t n = 0;
    char buf[65536];
    for (int r; (r = bgzf_read(fp, buf, sizeof buf)) > 0;) n += static_cast<size_t>(r);
    bgzf_close(fp);
    return n;
}

TEST(MergeCommand, ForwardBeforeReverseAtOnePositionThenInputOrder) {
    scratch_dir dir;
    std::string a =
        bam_from_sam(dir, "a", two_refs + rec("rev", 16, "chr1", 100) + rec("a2", 0, "chr1", 200) + rec("a3", 0, "chr2", 5));
    std::string b =
        bam_from_sam(dir, "b", two_refs + rec("fwd", 0, "chr1", 100) + rec("b2", 0, "chr1", 200) + rec("bu", 4, "*", 0));
    run_result r = run_alnkit({"merge", dir.file("ab.bam"), a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(names_of(view_records(dir.file("ab.bam"))), "fwd rev a2 b2 a3 bu ");
    ASSERT_EQ(run_alnkit({"merge", dir.file("ba.bam"), b, a}).status, 0);
    EXPECT_EQ(names_of(view_records(dir.file("ba.bam"))), "fwd rev b2 a2 a3 bu ");
    EXPECT_EQ(view_header(dir.file("ab.bam")), two_refs);
}

TEST(MergeCommand, ReadGroupsComeFromFileNames) {
    scratch_dir dir;
    for (const char* sub : {"x", "y", "z"}) ASSERT_EQ(mkdir(dir.file(sub).c_str(), 0755), 0);
    std::string a = bam_from_sam(dir, "x/a", two_refs + rec("r1", 0, "chr1", 10, "RG:Z:old\tNM:i:0"));
    std::string c = bam_from_sam(dir, "y/c", two_refs + rec("r2", 0, "chr1", 20));
    ASSERT_EQ(std::rename(c.c_str(), dir.file("y/c.BAM").c_str()), 0);
    std::string d = bam_from_sam(dir, "z/d", two_refs + rec("r3", 0, "chr1", 30, "XS:i:4"));
    ASSERT_EQ(std::rename(d.c_str(), dir.file("z/.bam").c_str()), 0);
    // A file named just ".bam" keeps its whole name; run from its directory.
    run_result r = test_util::run({"/bin/sh", "-c",
                                   "cd " + dir.file("z") + " && exec " + ALNKIT_PATH + " merge -r " + dir.file("o.bam") + " " +
                                       a + " " + dir.file("y/c.BAM") + " .bam"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string tail = "\t30\t4M\t*\t0\t0\tACGT\tIIII";
    EXPECT_EQ(view_records(dir.file("o.bam")), "r1\t0\tchr1\t10" + tail + "\tNM:i:0\tRG:Z:a\n" + "r2\t0\tchr1\t20" + tail +
                                                   "\tRG:Z:c.BAM\n" + "r3\t0\tchr1\t30" + tail + "\tXS:i:4\tRG:Z:.bam\n");
    // Without -r the records stay as they were.
    ASSERT_EQ(run_alnkit({"merge", "-f", dir.file("o.bam"), a, dir.file("z/.bam")}).status, 0);  // z/.bam is not just ".bam"
    EXPECT_EQ(view_records(dir.file("o.bam")),
              "r1\t0\tchr1\t10" + tail + "\tRG:Z:old\tNM:i:0\n" + "r3\t0\tchr1\t30" + tail + "\tXS:i:4\n");
}

TEST(MergeCommand, ReferenceListsMustAgreeWhereTheyOverlap) {
    scratch_dir dir;
    std::string one = bam_from_sam(dir, "one", "@CO\tfirst\n" + two_refs + rec("p", 0, "chr2", 50));
    std::string three =
        bam_from_sam(dir, "three", two_refs + "@SQ\tSN:chr3\tLN:500\n" + rec("s", 0, "chr1", 9) + rec("q", 0, "chr3", 7));
    run_result r = run_alnkit({"merge", dir.file("o.bam"), one, three});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_header(dir.file("o.bam")).text, "@CO\tfirst\n" + two_refs);
    EXPECT_EQ(reference_names(dir.file("o.bam")), (std::vector<std::string>{"chr1", "chr2", "chr3"}));
    EXPECT_EQ(names_of(view_records(dir.file("o.bam"))), "s p q ");

    std::string other = bam_from_sam(dir, "other", "@SQ\tSN:chr1\tLN:10000\n@SQ\tSN:chrX\tLN:10000\n");
    r = run_alnkit({"merge", dir.file("bad.bam"), one, other});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_merge_core] different target sequence name: 'chr2' != 'chrX' in file '" + other + "'\n");
    EXPECT_FALSE(exists(dir.file("bad.bam")));
}

TEST(MergeCommand, EmptyInputsTakePartInBothOrders) {
    scratch_dir dir;
    std::string empty = bam_from_sam(dir, "empty", two_refs);
    std::string a = bam_from_sam(dir, "a", two_refs + rec("r10", 0, "chr1", 5) + rec("r2", 0, "chr1", 9));
    std::string n1 = bam_from_sam(dir, "n1", two_refs + rec("r2", 0, "chr2", 1) + rec("r10", 0, "chr1", 5));
    std::string n2 =
        bam_from_sam(dir, "n2", two_refs + rec("r1", 0, "chr2", 3) + rec("r2", 0, "chr1", 8) + rec("r07", 0, "chr1", 1));
    ASSERT_EQ(run_alnkit({"merge", dir.file("c.bam"), empty, a, empty}).status, 0);
    EXPECT_EQ(names_of(view_records(dir.file("c.bam"))), "r10 r2 ");
    run_result r = run_alnkit({"merge", "-n", dir.file("n.bam"), empty, n1, n2});
    ASSERT_EQ(r.status, 0) << r.err;
    // Equal names follow the coordinates: r2 on chr1 (from n2) before r2 on chr2.
    std::string got = view_records(dir.file("n.bam"));
    EXPECT_EQ(names_of(got), "r1 r2 r2 r07 r10 ");
    EXPECT_NE(got.find("r2\t0\tchr1\t8"), std::string::npos);
    EXPECT_LT(got.find("r2\t0\tchr1\t8"), got.find("r2\t0\tchr2\t1"));
}

TEST(MergeCommand, HeaderFileReplacesTheTextAndIsCheckedAgainstTheReferences) {
    scratch_dir dir;
    std::string a = bam_from_sam(dir, "a", two_refs + rec("r1", 0, "chr1", 10));
    std::string b = bam_from_sam(dir, "b", two_refs + rec("r2", 0, "chr2", 10));
    write_file(dir.file("plain.sam"), "@RG\tID:g1\tSM:s\n@CO\tmerged\n");
    run_result r = run_alnkit({"merge", "-h", dir.file("plain.sam"), dir.file("o.bam"), a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_header(dir.file("o.bam")).text, "@RG\tID:g1\tSM:s\n@CO\tmerged\n");
    EXPECT_EQ(reference_names(dir.file("o.bam")), (std::vector<std::string>{"chr1", "chr2"}));
    EXPECT_EQ(names_of(view_records(dir.file("o.bam"))), "r1 r2 ");

    write_file(dir.file("short.sam"), "@SQ\tSN:chr1\tLN:10000\n@CO\tone\n");
    r = run_alnkit({"merge", "-h", dir.file("short.sam"), dir.file("s.bam"), a, b});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_merge_core] number of @SQ headers in '" + dir.file("short.sam") +
                         "' differs from number of target sequences\n");
    EXPECT_FALSE(exists(dir.file("s.bam")));

    write_file(dir.file("renamed.sam"), "@SQ\tSN:chr1\tLN:10000\n@SQ\tSN:chrZ\tLN:10000\n");
    r = run_alnkit({"merge", "-h", dir.file("renamed.sam"), dir.file("s.bam"), a, b});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_merge_core] @SQ header 'chrZ' in '" + dir.file("renamed.sam") + "' differs from target sequence\n");

    // With a region the differences are only reported.
    ASSERT_EQ(run_alnkit({"index", a}).status, 0);
    ASSERT_EQ(run_alnkit({"index", b}).status, 0);
    r = run_alnkit({"merge", "-R", "chr2", "-h", dir.file("renamed.sam"), dir.file("s.bam"), a, b});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "[bam_merge_core] @SQ header 'chrZ' in '" + dir.file("renamed.sam") + "' differs from target sequence\n");
    EXPECT_EQ(names_of(view_records(dir.file("s.bam"))), "r2 ");
    EXPECT_EQ(read_header(dir.file("s.bam")).text, "@SQ\tSN:chr1\tLN:10000\n@SQ\tSN:chrZ\tLN:10000\n");
    EXPECT_EQ(reference_names(dir.file("s.bam")), (std::vector<std::string>{"chr1", "chr2"}));

    r = run_alnkit({"merge", "-h", dir.file("missing.sam"), dir.file("m.bam"), a, b});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_merge_core] cannot open '" + dir.file("missing.sam") + "': No such file or directory\n");
}

// Two generated inputs, sorted and indexed, shared by the region tests.
class MergeRegions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new scratch_dir;
        for (int i = 0; i < 2; ++i) {
            std::string name = "in" + std::to_string(i);
            test_util::make_bam(*dir_, name, 30 + i, 4000, {"--refs", "3", "--ref-len", "100000", "--sorted"});
            ASSERT_EQ(run_alnkit({"index", dir_->file(name + ".bam")}).status, 0);
        }
        ASSERT_EQ(run_alnkit({"merge", dir_->file("all.bam"), file(0), file(1)}).status, 0);
        ASSERT_EQ(run_alnkit({"index", dir_->file("all.bam")}).status, 0);
    }
    static void TearDownTestSuite() { delete dir_; }
    static std::string file(int i) { return dir_->file("in" + std::to_string(i) + ".bam"); }
    static scratch_dir* dir_;
};
scratch_dir* MergeRegions::dir_ = nullptr;

TEST_F(MergeRegions, RegionMergeEqualsTheRegionOfTheFullMerge) {
    int non_empty = 0;
    for (const char* reg : {"chr1:20000-30000", "chr2", "chr3:80000-86500", "chr1:1-1"}) {
        SCOPED_TRACE(reg);
        scratch_dir out;
        run_result r = run_alnkit({"merge", "-R", reg, out.file("o.bam"), file(0), file(1)});
        ASSERT_EQ(r.status, 0) << r.err;
        run_result want = run_alnkit({"view", dir_->file("all.bam"), reg});
        ASSERT_EQ(want.status, 0);
        EXPECT_EQ(view_records(out.file("o.bam")), want.out);
        non_empty += !want.out.empty();
    }
    EXPECT_GE(non_empty, 3);
}

TEST_F(MergeRegions, RegionFailures) {
    scratch_dir out;
    // Past every record: only the header.
    std::string chr3 = reference_names(file(0)).at(2);
    ASSERT_EQ(run_alnkit({"merge", "-R", chr3 + ":100000000-100000100", out.file("e.bam"), file(0), file(1)}).status, 0);
    EXPECT_EQ(view_records(out.file("e.bam")), "");
    EXPECT_EQ(view_header(out.file("e.bam")), view_header(file(0)));

    run_result r = run_alnkit({"merge", "-R", "nosuch:1-5", out.file("b.bam"), file(0), file(1)});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[bam_merge_core] Malformated region string or undefined reference name\n"), std::string::npos);
    EXPECT_FALSE(exists(out.file("b.bam")));

    // An input without an index.
    std::string copy = out.file("noindex.bam");
    write_file(copy, read_file(file(1)));
    r = run_alnkit({"merge", "-R", "chr1", out.file("n.bam"), file(0), copy});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[bam_merge_core] fail to load the index of file " + copy + "\n"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(out.file("n.bam")));
}

TEST_F(MergeRegions, CompressionModes) {
    scratch_dir out;
    auto first_deflate_byte = [](const std::string& path) {
        std::string bytes = read_file(path);
        return bytes.size() > BGZF_BLOCK_HEADER_LENGTH ? static_cast<uint8_t>(bytes[BGZF_BLOCK_HEADER_LENGTH]) : 0xff;
    };
    ASSERT_EQ(run_alnkit({"merge", "-u", out.file("u.bam"), file(0), file(1)}).status, 0);
    ASSERT_EQ(run_alnkit({"merge", "-u", "-1", out.file("u1.bam"), file(0), file(1)}).status, 0);
    ASSERT_EQ(run_alnkit({"merge", "-1", out.file("l1.bam"), file(0), file(1)}).status, 0);
    const std::string all = read_file(dir_->file("all.bam"));
    EXPECT_EQ(first_deflate_byte(out.file("u.bam")) & 0x06, 0);  // a stored (uncompressed) deflate block
    EXPECT_EQ(read_file(out.file("u1.bam")), read_file(out.file("u.bam")));
    EXPECT_GT(read_file(out.file("u.bam")).size(), inflated_size(out.file("u.bam")));
    EXPECT_NE(first_deflate_byte(out.file("l1.bam")) & 0x06, 0);
    EXPECT_NE(read_file(out.file("l1.bam")), all);
    const std::string records = view_records(dir_->file("all.bam"));
    for (const char* f : {"u.bam", "l1.bam"}) EXPECT_EQ(view_records(out.file(f)), records) << f;
}

TEST_F(MergeRegions, StandardOutput) {
    run_result r = run_alnkit({"merge", "-", file(0), file(1)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, read_file(dir_->file("all.bam")));
}

TEST(MergeCommand, ExistingOutputNeedsForceAndUsage) {
    scratch_dir dir;
    write_file(dir.file("o.bam"), "keep");
    // Checked before any input is opened: these do not exist.
    run_result r = run_alnkit({"merge", dir.file("o.bam"), dir.file("x.bam"), dir.file("y.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_merge] File '" + dir.file("o.bam") + "' exists. Please apply '-f' to overwrite. Abort.\n");
    EXPECT_EQ(read_file(dir.file("o.bam")), "keep");

    r = run_alnkit({"merge", "-f", dir.file("o.bam"), dir.file("x.bam"), dir.file("y.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[bam_merge_core] fail to open file " + dir.file("x.bam") + "\n"), std::string::npos);
    EXPECT_EQ(read_file(dir.file("o.bam")), "keep");  // nothing is written before the inputs are open

    std::string a = bam_from_sam(dir, "a", two_refs + rec("r1", 0, "chr1", 10));
    ASSERT_EQ(run_alnkit({"merge", "-f", dir.file("o.bam"), a, a}).status, 0);
    EXPECT_EQ(names_of(view_records(dir.file("o.bam"))), "r1 r1 ");

    r = run_alnkit({"merge", dir.file("p.bam"), a});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "\nUsage:   alnkit merge [-nr] [-h inh.sam] <out.bam> <in1.bam> <in2.bam> [...]\n\n"
              "Options: -n       sort by read names\n"
              "         -r       attach RG tag (inferred from file names)\n"
              "         -u       uncompressed BAM output\n"
              "         -f       overwrite the output BAM if exist\n"
              "         -1       compress level 1\n"
              "         -R STR   merge file in the specified region STR [all]\n"
              "         -h FILE  copy the header in FILE to <out.bam> [in1.bam]\n\n"
              "Note: Alnkit' merge does not reconstruct the @RG dictionary in the header. Users\n"
              "      must provide the correct header with -h, or uses Picard which properly maintains\n"
              "      the header dictionary in merging.\n\n");
    EXPECT_FALSE(exists(dir.file("p.bam")));
}

TEST(MergeCommand, TruncatedInputIsReportedAndTheOthersStillMerge) {
    scratch_dir dir;
    std::string a = test_util::make_bam(dir, "a", 41, 3000, {"--sorted"});
    std::string b = test_util::make_bam(dir, "b", 42, 3000, {"--sorted"});
    std::string bytes = read_file(b);
    std::string cut = dir.file("cut.bam");
    write_file(cut, bytes.substr(0, bytes.size() / 2));
    run_result r = run_alnkit({"merge", dir.file("o.bam"), a, cut});
    EXPECT_EQ(r.status, 1);  // the output is complete for what could be read, but not a full merge
    EXPECT_NE(r.err.find("[bam_merge_core] '" + cut + "' is truncated. Continue anyway.\n"), std::string::npos) << r.err;
    run_result v = run_alnkit({"view", dir.file("o.bam")});
    EXPECT_EQ(v.status, 0) << v.err;
    // Every record of the intact input is there, and some of the cut one.
    const std::string all_a = view_records(a);
    const size_t n_a = static_cast<size_t>(std::count(all_a.begin(), all_a.end(), '\n'));
    size_t from_a = 0, total = 0;
    for (size_t at = 0; at < v.out.size(); at = v.out.find('\n', at) + 1) {
        ++total;
        from_a += all_a.find(v.out.substr(at, v.out.find('\n', at) - at + 1)) != std::string::npos;
    }
    EXPECT_EQ(from_a, n_a);
    EXPECT_GT(total, n_a + 100);
}

// Sorted pieces of one input, merged, give the sort of the whole input, in
// both orders: the merge and the sort break ties the same way.
TEST(MergeCommand, MergedSortedPiecesEqualTheSortOfTheWhole) {
    scratch_dir dir;
    // Short references: many records share a position across the pieces.
    std::string whole = test_util::make_bam(dir, "whole", 43, 8000, {"--refs", "3", "--ref-len", "20000"});
    std::string sam = read_file(dir.file("whole.sam"));
    size_t body = 0;
    while (body < sam.size() && sam[body] == '@') body = sam.find('\n', body) + 1;
    const std::string header = sam.substr(0, body);
    std::vector<std::string> lines;
    for (size_t at = body; at < sam.size(); at = sam.find('\n', at) + 1)
        lines.push_back(sam.substr(at, sam.find('\n', at) - at + 1));
    for (const char* order : {"", "-n"}) {
        SCOPED_TRACE(order);
        std::vector<std::string> args = {"merge", "-f"};
        if (*order) args.push_back(order);
        args.push_back(dir.file("merged.bam"));
        const size_t pieces = 4;
        for (size_t p = 0; p < pieces; ++p) {
            std::string text = header;
            for (size_t i = p * lines.size() / pieces; i < (p + 1) * lines.size() / pieces; ++i) text += lines[i];
            std::string name = "piece" + std::to_string(p);
            bam_from_sam(dir, name, text);
            std::vector<std::string> sort = {"sort"};
            if (*order) sort.push_back(order);
            sort.push_back(dir.file(name + ".bam"));
            sort.push_back(dir.file(name + ".sorted"));
            ASSERT_EQ(run_alnkit(sort).status, 0);
            args.push_back(dir.file(name + ".sorted.bam"));
        }
        run_result r = run_alnkit(args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> sort = {"sort"};
        if (*order) sort.push_back(order);
        sort.push_back(whole);
        sort.push_back(dir.file("whole.sorted"));
        ASSERT_EQ(run_alnkit(sort).status, 0);
        EXPECT_EQ(view_records(dir.file("merged.bam")), view_records(dir.file("whole.sorted.bam")));
    }
}

}  // namespace
