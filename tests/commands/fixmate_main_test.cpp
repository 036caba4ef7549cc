// The fixmate command: generated name-sorted data with scrambled mate fields
// must come out mate-consistent by a check written here; hand-worked pairs;
// standard streams, cut input and failed writes.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/bam_file_util.h"
#include "common/test_util.h"
#include "hardening/corrupt_util.h"

namespace {

using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;
using fields = std::vector<std::string>;

std::vector<fields> parse_records(const std::string& sam) {
    std::vector<fields> out;
    for (const std::string& line : corrupt::split_lines(sam)) {
        if (line.empty() || line[0] == '@') continue;
        fields f;
        std::stringstream ss(line);
        for (std::string x; std::getline(ss, x, '\t');) f.push_back(x);
        out.push_back(f);
    }
    return out;
}

int flag(const fields& r) { return std::stoi(r[1]); }
long pos0(const fields& r) { return std::stol(r[3]) - 1; }
// The 5' end of a mapped record, 0-based: the start when forward, one past the last reference base when reverse.
long five_prime(const fields& r) {
    if (!(flag(r) & 0x10)) return pos0(r);
    long end = pos0(r), n = 0;
    for (char c : r[5])
        if (std::isdigit(static_cast<unsigned char>(c))) n = n * 10 + (c - '0');
        else end += std::string("MDN=X").find(c) != std::string::npos ? n : 0, n = 0;
    return end;
}

// Checks `out` against the fixmate rules applied to `in`; returns the number of pairs seen.
int check_mates(const std::vector<fields>& in, const std::vector<fields>& out) {
    EXPECT_EQ(in.size(), out.size());
    int pairs = 0;
    for (size_t i = 0; i < std::min(in.size(), out.size()); ++i) {
        const std::string at = "record " + std::to_string(i) + ": " + out[i][0];
        fields a = in[i], b = out[i];
        EXPECT_EQ((flag(a) ^ flag(b)) & ~0x2a, 0) << at;
        for (int k : {1, 6, 7, 8}) a[k] = b[k] = "";
        EXPECT_EQ(a, b) << at << ": a field other than the mate fields changed";
    }
    for (size_t i = 0; i < out.size(); ++i) {
        const fields& a = out[i];
        if (i + 1 < out.size() && out[i + 1][0] == a[0]) {  // a pair: check both directions
            ++pairs;
            const bool sized = a[2] == out[i + 1][2] && !((flag(in[i]) | flag(in[i + 1])) & 0xc);
            for (size_t x : {i, i + 1}) {
                const size_t y = x == i ? i + 1 : i;
                const fields &r = out[x], &m = out[y];
                EXPECT_EQ(r[6] == "=" ? r[2] : r[6], m[2]) << x;
                EXPECT_EQ(r[7], m[3]) << x;
                EXPECT_EQ(std::stol(r[8]), sized ? five_prime(m) - five_prime(r) : 0) << x;
                EXPECT_EQ((flag(r) & 0x20) != 0, (flag(m) & 0x10) != 0) << x;
                const int kept = (flag(m) & 0x4) ? 0x8 : flag(in[x]) & 0xa;
                EXPECT_EQ(flag(r) & 0xa, kept) << x;
            }
            ++i;
        } else {  // no mate next to it
            EXPECT_EQ(fields(a.begin() + 6, a.begin() + 9), (fields{"*", "0", "0"})) << i;
            EXPECT_EQ(flag(a), (flag(in[i]) & 1) ? (flag(in[i]) & ~0x22) | 0x8 : flag(in[i])) << i;
        }
    }
    return pairs;
}

TEST(Fixmate, GeneratedNameSortedDataComesOutMateConsistent) {
    scratch_dir dir;
    run_result g = test_util::run({ALNSIM_PATH, "--seed", "9", "--records", "20000", "--refs", "3", "--ref-len", "200000"});
    ASSERT_EQ(g.status, 0);
    // Scramble the mate fields, so that only fixmate can have set them right.
    std::string sam;
    for (const std::string& line : corrupt::split_lines(g.out)) {
        if (line.empty() || line[0] == '@') {
            sam += line.empty() ? "" : line + "\n";
            continue;
        }
        fields f = parse_records(line)[0];
        const size_t k = sam.size();  // a pseudo-random choice per record
        int fl = flag(f) ^ (k % 3 ? 0x20 : 0);
        if (k % 2) fl &= ~0x8;
        if ((fl & 1) && k % 5 == 0) fl |= 0x2;
        f[1] = std::to_string(fl);
        f[6] = "*", f[7] = "0", f[8] = std::to_string(sam.size() % 1000);
        for (const std::string& x : f) sam += x + (&x == &f.back() ? "\n" : "\t");
    }
    std::string bam = test_util::bam_from_sam(dir, "in", sam);
    ASSERT_EQ(run_alnkit({"sort", "-n", bam, dir.file("byname")}).status, 0);
    run_result r = run_alnkit({"fixmate", dir.file("byname.bam"), dir.file("fixed.bam")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<fields> in = parse_records(test_util::view_records(dir.file("byname.bam")));
    EXPECT_GT(check_mates(in, parse_records(test_util::view_records(dir.file("fixed.bam")))), 5000);
}

const std::string edge_header = "@SQ\tSN:chr1\tLN:1000\n@SQ\tSN:chr2\tLN:1000\n";
// In: forward at 100 with a reverse mate ending at 350, a pair on two references,
// an unmapped mate, three records of one name, an unpaired record last.
const std::string edge_in =
    "a\t65\tchr1\t101\t30\t50M\t*\t0\t0\t*\t*\na\t177\tchr1\t301\t30\t50M\t*\t0\t0\t*\t*\n"
    "b\t67\tchr1\t10\t30\t4M\t*\t0\t99\t*\t*\nb\t131\tchr2\t20\t30\t4M\t*\t0\t0\t*\t*\n"
    "c\t67\tchr1\t30\t30\t4M\t*\t0\t0\t*\t*\nc\t133\t*\t0\t0\t*\t*\t0\t0\t*\t*\n"
    "d\t65\tchr1\t40\t30\t4M\t*\t0\t0\t*\t*\nd\t129\tchr1\t50\t30\t4M\t*\t0\t0\t*\t*\n"
    "d\t65\tchr1\t60\t30\t4M\t*\t0\t0\t*\t*\ne\t0\tchr1\t70\t30\t4M\tchr2\t5\t7\t*\t*\n";
const std::string edge_out =
    "a\t97\tchr1\t101\t30\t50M\t=\t301\t250\t*\t*\na\t145\tchr1\t301\t30\t50M\t=\t101\t-250\t*\t*\n"
    "b\t67\tchr1\t10\t30\t4M\tchr2\t20\t0\t*\t*\nb\t131\tchr2\t20\t30\t4M\tchr1\t10\t0\t*\t*\n"
    "c\t73\tchr1\t30\t30\t4M\t*\t0\t0\t*\t*\nc\t133\t*\t0\t0\t*\tchr1\t30\t0\t*\t*\n"
    "d\t65\tchr1\t40\t30\t4M\t=\t50\t10\t*\t*\nd\t129\tchr1\t50\t30\t4M\t=\t40\t-10\t*\t*\n"
    "d\t73\tchr1\t60\t30\t4M\t*\t0\t0\t*\t*\ne\t0\tchr1\t70\t30\t4M\t*\t0\t0\t*\t*\n";

TEST(Fixmate, HandWorkedPairsThroughFilesAndStandardStreams) {
    scratch_dir dir;
    std::string bam = test_util::bam_from_sam(dir, "edge", edge_header + edge_in);
    run_result r = run_alnkit({"fixmate", bam, dir.file("out.bam")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test_util::view_records(dir.file("out.bam")), edge_out);
    run_result piped = run_alnkit({"fixmate", "-", "-"}, test_util::read_file(bam));
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(piped.out == test_util::read_file(dir.file("out.bam")));
}

TEST(Fixmate, CutInputAndFailuresEndWithStatusOne) {
    scratch_dir dir;
    std::string bam = test_util::bam_from_sam(dir, "edge", edge_header + edge_in), data, cut = dir.file("cut.bam");
    corrupt::read_blocks(test_util::read_file(bam), &data);
    corrupt::write_bgzf(cut, data.substr(0, corrupt::parse_bam(data).records[7] + 10));  // inside the second d
    run_result r = run_alnkit({"fixmate", cut, dir.file("out.bam")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[bam_mating] " + cut + ": damaged or truncated record after 7 records\n");
    // The first d waited for its mate and is written as a record without one.
    EXPECT_EQ(test_util::view_records(dir.file("out.bam")),
              edge_out.substr(0, edge_out.find("d\t")) + "d\t73\tchr1\t40\t30\t4M\t*\t0\t0\t*\t*\n");
    const std::string none = dir.file("none.bam"), no_dir = dir.file("no/out.bam");
    for (const auto& [args, message] : std::vector<std::pair<fields, std::string>>{
             {{"fixmate", bam, "/dev/full"}, "[bam_mating] fail to write file /dev/full.\n"},
             {{"fixmate", bam, no_dir}, "[bam_mating] fail to create file " + no_dir + ".\n"},
             {{"fixmate", none, dir.file("out.bam")}, "[bam_mating] fail to open file " + none + ".\n"},
             {{"fixmate", bam}, "alnkit fixmate <in.nameSrt.bam> <out.nameSrt.bam>\n"}}) {
        run_result f = run_alnkit(args);
        EXPECT_EQ(f.status, 1) << args.back();
        EXPECT_NE(f.err.find(message), std::string::npos) << f.err;
    }
}

}  // namespace
