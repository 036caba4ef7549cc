// The rmdup command run as a user would: crafted duplicate sets in each mode
// with the exact messages, usage and open failures, cut, unsorted and
// unwritable cases, and a generated file checked against the pair rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/bam_file_util.h"
#include "common/test_util.h"

namespace {

using test_util::read_file;
using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;
using test_util::split;
using test_util::view_records;

// Read groups a and b in libraries L1 and L2; c has no library.
const std::string header =
    "@SQ\tSN:chr1\tLN:100000\n@SQ\tSN:chr2\tLN:100000\n@RG\tID:a\tLB:L1\n@RG\tID:b\tLB:L2\n@RG\tID:c\tSM:s\n";

// "name flag ref pos cigar isize qual rg [mate-ref]": 4 bases per CIGAR
// unless its query length says otherwise; rg "-" for no tag; ref "*" for
// none; qual "*" for missing qualities.
std::string sam_line(const std::string& spec) {
    std::vector<std::string> f = split(spec, ' ');
    int len = f[4] == "*" ? 4 : 0, n = 0;
    for (char c : f[4]) {
        if (c >= '0' && c <= '9') {
            n = n * 10 + (c - '0');
            continue;
        }
        if (std::string("MIS=X").find(c) != std::string::npos) len += n;
        n = 0;
    }
    std::string seq(static_cast<size_t>(len), 'A'), qual = f[6] == "*" ? "*" : std::string(seq.size(), f[6][0]);
    std::string line = f[0] + "\t" + f[1] + "\t" + f[2] + "\t" + f[3] + "\t30\t" + f[4] + "\t" +
                       (f.size() > 8  ? f[8]
                        : f[2] == "*" ? "*"
                                      : "=") +
                       "\t0\t" + f[5] + "\t" + seq + "\t" + qual;
    return line + (f[7] == "-" ? "" : "\tRG:Z:" + f[7]) + "\n";
}

// "name@pos" of every record, in order.
std::string kept_of(const std::string& sam) {
    std::string out;
    for (const std::string& line : split(sam, '\n')) {
        std::vector<std::string> f = split(line, '\t');
        out += (out.empty() ? "" : " ") + f[0] + "@" + f[3];
    }
    return out;
}

std::vector<std::string> rmdup_args(const std::string& option, const std::string& in, const std::string& out) {
    if (option.empty()) return {"rmdup", in, out};
    return {"rmdup", option, in, out};
}

struct rmdup_case {
    const char* what;
    const char* option;  // "", "-s" or "-S"
    std::vector<std::string> recs;
    const char* kept;
    std::string err;  // all of standard error; the input's path reads IN
    int status = 0;
};

const std::string P = "[bam_rmdup_core] ", S = "[bam_rmdupse_core] ", chr1 = P + "processing reference chr1...\n";

// Library table order: "L1" hashes to 2405, "L2" to 2406, the tab to 9.  Two
// names share a table of 3 buckets (L2 in 0 and L1 in 2, the tab in 0 and L1
// in 2); a third grows it to 11 buckets: L1 in 7, L2 in 8, the tab in 9.
const std::vector<rmdup_case> cases = {
    {"different libraries at one key are both kept",
     "",
     {"p1 99 chr1 100 4M 104 I a", "p2 99 chr1 100 4M 104 I b", "p1 147 chr1 200 4M -104 I a", "p2 147 chr1 200 4M -104 I b"},
     "p1@100 p2@100 p1@200 p2@200",
     chr1 + P + "0 / 1 = 0.0000 in library 'L2'\n" + P + "0 / 1 = 0.0000 in library 'L1'\n"},
    {"equal sums keep the first pair, on either strand; the other mate goes by name, insert size 0 too",
     "",
     {"p1 99 chr1 100 4M 104 I a", "p2 113 chr1 100 4M 104 I a", "p1 147 chr1 200 4M -104 I a", "p2 177 chr1 200 4M 0 I a"},
     "p1@100 p1@200",
     chr1 + P + "1 / 2 = 0.5000 in library 'L1'\n"},
    {"a better later pair takes the kept one's place on the stack",
     "",
     {"p1 99 chr1 100 4M 104 5 a", "p2 99 chr1 100 4M 120 5 a", "p3 99 chr1 100 4M 104 I a", "p1 147 chr1 200 4M -104 I a",
      "p3 147 chr1 200 4M -104 I a", "p2 147 chr1 216 4M -120 I a"},
     "p3@100 p2@100 p3@200 p2@216",
     chr1 + P + "1 / 3 = 0.3333 in library 'L1'\n"},
    {"mates elsewhere, unmapped mates, unmapped and single reads pass uncounted",
     "",
     {"x1 97 chr1 100 4M 104 I a chr2", "x2 97 chr1 100 4M 104 5 a chr2", "u1 73 chr1 100 4M 104 I a",
      "u2 73 chr1 100 4M 104 I a", "m1 69 chr1 100 4M 104 I a", "m2 69 chr1 100 4M 104 I a", "s1 0 chr1 100 4M 104 I a",
      "s2 0 chr1 100 4M 104 I a"},
     "x1@100 x2@100 u1@100 u2@100 m1@100 m2@100 s1@100 s2@100",
     chr1},
    {"a mate that names no reference still makes a pair",
     "",
     {"n1 99 chr1 100 4M 104 I a *", "n2 99 chr1 100 4M 104 I a *"},
     "n1@100",
     chr1 + P + "1 / 2 = 0.5000 in library 'L1'\n"},
    {"no RG tag, or a read group without LB, counts under a tab",
     "",
     {"p1 99 chr1 100 4M 104 I -", "p2 99 chr1 100 4M 104 I c", "p1 147 chr1 200 4M -104 I -", "p2 147 chr1 200 4M -104 I c"},
     "p1@100 p1@200",
     chr1 + P + "1 / 2 = 0.5000 in library '\t'\n"},
    {"kept leftmost reads follow the other records of their position",
     "",
     {"p1 99 chr1 100 4M 104 I a", "s1 0 chr1 100 4M 0 I a", "s2 16 chr1 100 4M 0 I a", "p1 147 chr1 200 4M -104 I a"},
     "s1@100 s2@100 p1@100 p1@200",
     chr1 + P + "0 / 1 = 0.0000 in library 'L1'\n"},
    {"a new reference forgets the mates to drop and empties the tables",
     "",
     {"p1 99 chr1 100 4M 104 I a", "p2 99 chr1 100 4M 104 I a", "p3 99 chr2 100 4M 104 I a", "p2 147 chr2 200 4M -104 I a"},
     "p1@100 p3@100 p2@200",
     chr1 + P + "1 unmatched pairs\n" + P + "processing reference chr2...\n" + P + "1 / 3 = 0.3333 in library 'L1'\n"},
    {"a name dropped twice on one reference is reported and kept once",
     "",
     {"k1 99 chr1 100 4M 104 I a", "d 99 chr1 100 4M 104 5 a", "k1 147 chr1 200 4M -104 I a", "k2 99 chr1 300 4M 104 I a",
      "d 99 chr1 300 4M 104 5 a", "d 147 chr1 400 4M -104 I a", "k2 147 chr1 400 4M -104 I a", "d 147 chr1 404 4M -104 I a"},
     "k1@100 k1@200 k2@300 k2@400 d@404",
     chr1 + P + "inconsistent BAM file for pair 'd'. Continue anyway.\n" + P + "2 / 4 = 0.5000 in library 'L1'\n"},
    {"the unmapped tail is copied in order after the unmatched pairs line",
     "",
     {"p1 99 chr1 100 4M 104 I a", "p2 99 chr1 100 4M 104 I a", "t2 4 * 0 * 0 I a", "p2 141 * 0 * 0 I a", "t1 4 * 0 * 0 I a"},
     "p1@100 t2@0 p2@0 t1@0",
     chr1 + P + "1 unmatched pairs\n" + P + "1 / 2 = 0.5000 in library 'L1'\n"},
    {"a file of unmapped records is copied without a word", "", {"t2 4 * 0 * 0 I a", "t1 77 * 0 * 0 I a"}, "t2@0 t1@0", ""},
    {"a position going back stops the run",
     "",
     {"p1 99 chr1 100 4M 104 I a", "s1 0 chr1 300 4M 0 I a", "p2 99 chr1 100 4M 104 I a"},
     "p1@100 s1@300",
     chr1 + P + "the input is not sorted by coordinate: IN (record 3, 'p2')\n",
     1},
    {"a mapped record after the unmapped tail stops the run",
     "",
     {"s1 0 chr1 100 4M 0 I a", "t1 4 * 0 * 0 I a", "s2 0 chr1 200 4M 0 I a"},
     "s1@100 t1@0",
     chr1 + P + "the input is not sorted by coordinate: IN (record 3, 's2')\n",
     1},
    {"a reference going back stops the single-end run",
     "-s",
     {"s1 0 chr2 100 4M 0 I a", "s2 0 chr1 100 4M 0 I a"},
     "s1@100",
     S + "the input is not sorted by coordinate: IN (record 2, 's2')\n",
     1},
    {"forward reads by start: the better later one takes the earlier place",
     "-s",
     {"f1 0 chr1 100 4M 0 5 a", "y 16 chr1 100 4M 0 I a", "f2 0 chr1 100 6M 0 I a"},
     "f2@100 y@100",
     S + "1 / 3 = 0.3333 in library 'L1'\n"},
    {"reverse reads by end: a better later one is written at its own place, a worse one dropped",
     "-s",
     {"r1 16 chr1 100 10M 0 5 a", "y 0 chr1 102 4M 0 I a", "r2 16 chr1 104 6M 0 I a", "r3 16 chr1 106 4M 0 5 a"},
     "y@102 r2@104",
     S + "2 / 4 = 0.5000 in library 'L1'\n"},
    {"equal sums keep the earlier read on either strand; mixed strands are no duplicates",
     "-s",
     {"r1 16 chr1 100 10M 0 I a", "f1 0 chr1 102 4M 0 I a", "f2 0 chr1 102 2S2M 0 I a", "r2 16 chr1 104 2S6M2S 0 I a",
      "r3 16 chr1 104 4M 0 I a", "f3 0 chr1 104 4M 0 I a"},
     "r1@100 f1@102 r3@104 f3@104",
     S + "2 / 6 = 0.3333 in library 'L1'\n"},
    {"a missing quality counts 255 per base",
     "-s",
     {"f1 0 chr1 100 4M 0 I -", "f2 0 chr1 100 4M 0 * -"},
     "f2@100",
     S + "1 / 2 = 0.5000 in library '\t'\n"},
    {"libraries never remove each other's reads; a new reference empties the maps",
     "-s",
     {"f1 0 chr1 100 4M 0 I a", "f2 0 chr1 100 4M 0 I b", "f3 0 chr2 100 4M 0 I a"},
     "f1@100 f2@100 f3@100",
     S + "0 / 1 = 0.0000 in library 'L2'\n" + S + "0 / 2 = 0.0000 in library 'L1'\n"},
    {"-s: paired and unmapped reads pass untouched, no library is made",
     "-s",
     {"p1 99 chr1 100 4M 104 I a", "p2 99 chr1 100 4M 104 I a", "u1 4 chr1 100 4M 0 I a", "p2 147 chr1 200 4M -104 I a",
      "p1 147 chr1 200 4M -104 I a", "t1 4 * 0 * 0 I a"},
     "p1@100 p2@100 u1@100 p2@200 p1@200 t1@0",
     ""},
    {"-S: paired reads by their own strand and end; a dropped read's mate stays",
     "-S",
     {"p1 99 chr1 100 4M 104 I a", "p2 99 chr1 100 4M 104 5 a", "u1 4 chr1 100 4M 0 I a", "p1 147 chr1 200 4M -104 5 a",
      "p2 147 chr1 200 4M -104 I a", "t1 4 * 0 * 0 I a"},
     "p1@100 u1@100 p2@200 t1@0",
     S + "2 / 4 = 0.5000 in library 'L1'\n"},
};

TEST(RmdupMain, CraftedDuplicateSets) {
    scratch_dir dir;
    for (const rmdup_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string sam = header;
        for (const std::string& spec : c.recs) sam += sam_line(spec);
        const std::string in = test_util::bam_from_sam(dir, "in", sam), out = dir.file("out.bam");
        run_result r = run_alnkit(rmdup_args(c.option, in, out));
        for (size_t at; (at = r.err.find(in)) != std::string::npos;) r.err.replace(at, in.size(), "IN");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(kept_of(view_records(out)), c.kept);
        EXPECT_EQ(test_util::view_header(out), header);
    }
}

TEST(RmdupMain, UsageAndOpenFailures) {
    const std::string usage =
        "\nUsage:  alnkit rmdup [-sS] <input.srt.bam> <output.bam>\n\n"
        "Option: -s    rmdup for SE reads\n"
        "        -S    treat PE reads as SE in rmdup (force -s)\n\n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"rmdup"}, {"rmdup", "-s", "in.bam"}}) {
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, usage);
    }
    scratch_dir dir;
    const std::string good = test_util::bam_from_sam(dir, "good", header + sam_line("s1 0 chr1 100 4M 0 I a"));
    for (const auto& [in, out] : {std::pair{dir.file("none.bam"), dir.file("o1.bam")},
                                  std::pair{dir.file("good.sam"), dir.file("o2.bam")}, std::pair{good, dir.file("no/o3.bam")}}) {
        run_result r = run_alnkit({"rmdup", in, out});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(split(r.err, '\n').back(), "[bam_rmdup] fail to read/write input files") << r.err;
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

// A cut input: the records before the cut are processed and written as for a
// file that ends there, then one line names the file; the status is 1.
TEST(RmdupMain, TruncatedInputKeepsWhatWasReadAndFails) {
    scratch_dir dir;
    const std::string bytes = read_file(test_util::make_bam(dir, "whole", 7, 20000, {"--sorted"}));
    const std::string cut = dir.file("cut.bam"), prefix = dir.file("prefix.bam");
    test_util::write_file(cut, bytes.substr(0, bytes.size() / 2));
    run_result v = run_alnkit({"view", "-b", "-o", prefix, cut});  // keeps the records before the cut
    ASSERT_EQ(v.status, 1);
    const size_t n_before = split(view_records(prefix), '\n').size();
    for (const std::string option : {"", "-s"}) {
        run_result want = run_alnkit(rmdup_args(option, prefix, dir.file("want.bam")));
        run_result got = run_alnkit(rmdup_args(option, cut, dir.file("got.bam")));
        EXPECT_EQ(want.status, 0);
        EXPECT_EQ(got.status, 1);
        const std::string damage =
            (option.empty() ? P : S) + cut + ": damaged or truncated record after " + std::to_string(n_before) + " records";
        const std::string head = "[bam_header_read] EOF marker is absent. The input is probably truncated.\n" + want.err;
        ASSERT_EQ(got.err.substr(0, head.size()), head);
        EXPECT_EQ(got.err.substr(head.size(), damage.size()), damage);
        EXPECT_EQ(got.err.find('\n', head.size()), got.err.size() - 1);
        EXPECT_TRUE(view_records(dir.file("got.bam")) == view_records(dir.file("want.bam")));
    }
}

// /dev/full refuses every block: at once when there is enough to fill one,
// else when the output is closed.
TEST(RmdupMain, FailedWritesEndWithStatusOne) {
    scratch_dir dir;
    const std::string small = test_util::bam_from_sam(dir, "small", header + sam_line("s1 0 chr1 100 4M 0 I a"));
    const std::string large = test_util::make_bam(dir, "large", 4, 20000, {"--sorted"});
    for (const auto& [in, option, last] : {std::tuple{small, "-s", "[bam_rmdup] fail to write /dev/full"},
                                           std::tuple{large, "", "[bam_rmdup_core] fail to write /dev/full"},
                                           std::tuple{large, "-S", "[bam_rmdupse_core] fail to write /dev/full"}}) {
        run_result r = run_alnkit(rmdup_args(option, in, "/dev/full"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(split(r.err, '\n').back(), last);
        EXPECT_EQ(r.err.find("fail to write"), r.err.rfind("fail to write")) << r.err;
    }
}

// A generated file: the output keeps input records in their order (within a
// position the kept leftmost reads go last); of each set of leftmost reads
// with one library, reference, position and insert size exactly one is kept,
// the first with the highest quality sum; the statistics count these sets.
TEST(RmdupMain, GeneratedPairsKeepTheBestOfEachDuplicateSet) {
    scratch_dir dir;
    const std::string in = test_util::make_bam(dir, "in", 11, 25000, {"--sorted"}), out = dir.file("out.bam");
    run_result r = run_alnkit({"rmdup", in, out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> lib_of;  // read group -> library
    for (const std::string& h : split(test_util::view_header(in), '\n'))
        if (h.compare(0, 3, "@RG") == 0 && h.find("\tLB:") != std::string::npos)
            lib_of[split(h.substr(h.find("ID:") + 3), '\t')[0]] = split(h.substr(h.find("LB:") + 3), '\t')[0];
    using key_t = std::tuple<std::string, std::string, std::string, std::string>;  // library, ref, pos, isize
    auto leftmost_key = [&](const std::vector<std::string>& f, key_t* key) {
        int flag = std::stoi(f[1]);
        if (!(flag & 1) || (flag & 12) || (f[6] != "=" && f[6] != "*") || std::stol(f[8]) <= 0) return false;
        std::string lib = "\t";
        for (size_t i = 11; i < f.size(); ++i)
            if (f[i].compare(0, 5, "RG:Z:") == 0 && lib_of.count(f[i].substr(5))) lib = lib_of[f[i].substr(5)];
        *key = {lib, f[2], f[3], f[8]};
        return true;
    };
    std::map<key_t, std::pair<long, std::string>> best;        // quality sum and line of the first best read
    std::map<std::string, std::multiset<std::string>> at_pos;  // "ref:pos" -> input records there
    std::map<std::string, size_t> pos_rank;
    long n_checked = 0, n_removed = 0;
    for (const std::string& line : split(view_records(in), '\n')) {
        std::vector<std::string> f = split(line, '\t');
        at_pos[f[2] + ":" + f[3]].insert(line);
        pos_rank.try_emplace(f[2] + ":" + f[3], pos_rank.size());
        key_t key;
        if (!leftmost_key(f, &key)) continue;
        long sum = f[10] == "*" ? 255 * static_cast<long>(f[9].size()) : 0;
        for (char c : f[10] == "*" ? "" : f[10]) sum += c - 33;
        auto [it, is_new] = best.try_emplace(key, sum, line);
        ++n_checked;
        n_removed += !is_new;
        if (sum > it->second.first) it->second = {sum, line};
    }
    ASSERT_GT(n_removed, 50) << "the data must hold duplicates";
    std::map<key_t, std::vector<std::string>> kept;
    size_t rank = 0;
    for (const std::string& line : split(view_records(out), '\n')) {
        std::vector<std::string> f = split(line, '\t');
        const std::string at = f[2] + ":" + f[3];
        auto seen = at_pos[at].find(line);
        ASSERT_NE(seen, at_pos[at].end()) << "not in the input at its position, or twice: " << line;
        at_pos[at].erase(seen);
        EXPECT_GE(pos_rank[at], rank) << line;
        rank = pos_rank[at];
        key_t key;
        if (leftmost_key(f, &key)) kept[key].push_back(line);
    }
    EXPECT_EQ(kept.size(), best.size());
    for (const auto& [key, lines] : kept) EXPECT_EQ(lines, std::vector<std::string>{best[key].second});
    long removed = 0, checked = 0, a, b;
    for (const std::string& line : split(r.err, '\n'))
        if (std::sscanf(line.c_str(), "[bam_rmdup_core] %ld / %ld", &a, &b) == 2) removed += a, checked += b;
    EXPECT_EQ(removed, n_removed);
    EXPECT_EQ(checked, n_checked);
}

}  // namespace
