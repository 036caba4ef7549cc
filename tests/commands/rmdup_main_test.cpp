// The rmdup command run as a user would: usage and open failures, the exact
// messages of both modes, damaged, unsorted and unwritable cases, and
// generated files checked against the duplicate rules computed here.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/bam_file_util.h"
#include "common/test_util.h"
#include "tools/rmdup_test_util.h"

namespace {

using rmdup_test::sam_rec;
using test_util::bam_from_sam;
using test_util::read_file;
using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;
using test_util::view_records;
using test_util::write_file;

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t next; (next = s.find(sep, at)) != std::string::npos; at = next + 1) out.push_back(s.substr(at, next - at));
    if (at < s.size()) out.push_back(s.substr(at));
    return out;
}

std::vector<std::string> lines_of(const std::string& text) { return split(text, '\n'); }

TEST(RmdupMain, UsageAndOpenFailures) {
    const std::string usage =
        "\n"
        "Usage:  alnkit rmdup [-sS] <input.srt.bam> <output.bam>\n\n"
        "Option: -s    rmdup for SE reads\n"
        "        -S    treat PE reads as SE in rmdup (force -s)\n\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"rmdup"}, {"rmdup", "in.bam"}, {"rmdup", "-s", "in.bam"}}) {
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, usage);
    }
    scratch_dir dir;
    const std::string good = bam_from_sam(dir, "good", rmdup_test::sam_text({{"s1", 0, "chr1", 100}}));
    const std::string sam = dir.file("good.sam");
    struct open_case {
        const char* what;
        std::string in, out;
    };
    for (const open_case& c : {open_case{"missing input", dir.file("none.bam"), dir.file("o1.bam")},
                               open_case{"SAM text input", sam, dir.file("o2.bam")},
                               open_case{"output directory missing", good, dir.file("no/o3.bam")}}) {
        SCOPED_TRACE(c.what);
        run_result r = run_alnkit({"rmdup", c.in, c.out});
        EXPECT_EQ(r.status, 1);
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(lines_of(r.err).back(), "[bam_rmdup] fail to read/write input files");
        EXPECT_FALSE(std::filesystem::exists(c.out)) << "no output is made";
    }
}

TEST(RmdupMain, MessagesAndOutputOfEachMode) {
    scratch_dir dir;
    const std::string in = bam_from_sam(dir, "in",
                                        rmdup_test::sam_text({{"p1", 99, "chr1", 100, "4M", 104},
                                                              {"p2", 99, "chr1", 100, "4M", 104, '5', "b"},
                                                              {"p3", 99, "chr1", 100, "4M", 104, '5'},
                                                              {"p1", 147, "chr1", 200, "4M", -104},
                                                              {"p2", 147, "chr1", 200, "4M", -104, 'I', "b"},
                                                              {"p4", 99, "chr2", 50, "4M", 60},
                                                              {"p4", 147, "chr2", 106, "4M", -60, '5'},
                                                              {"s1", 16, "chr2", 108, "4M", 0, 'I', ""},
                                                              {"s2", 16, "chr2", 108, "4M", 0, '5', ""},
                                                              {"p3", 137, "chr2", 300, "4M", 0},
                                                              {"t1", 4, "*", 0, "*", 0, 'I', "a", "*"}}));
    struct mode_case {
        std::vector<std::string> options;
        std::string err, kept;
    };
    // Library table order.  "L1" hashes to 2405, "L2" to 2406, the tab to 9.
    // Two names fit a table of 3 buckets: L2 in 0, L1 in 2.  The third grows
    // it to 11 buckets: L1 in 7, L2 in 8, the tab in 9.
    const std::vector<mode_case> cases = {
        {{},
         "[bam_rmdup_core] processing reference chr1...\n"
         "[bam_rmdup_core] 1 unmatched pairs\n"
         "[bam_rmdup_core] processing reference chr2...\n"
         "[bam_rmdup_core] 0 / 1 = 0.0000 in library 'L2'\n"
         "[bam_rmdup_core] 1 / 3 = 0.3333 in library 'L1'\n",
         "p1@100 p2@100 p1@200 p2@200 p4@50 p4@106 s1@108 s2@108 p3@300 t1@0"},
        {{"-s"},
         "[bam_rmdupse_core] 1 / 2 = 0.5000 in library '\t'\n",
         "p1@100 p2@100 p3@100 p1@200 p2@200 p4@50 p4@106 s1@108 p3@300 t1@0"},
        {{"-S"},
         "[bam_rmdupse_core] 1 / 6 = 0.1667 in library 'L1'\n"
         "[bam_rmdupse_core] 0 / 2 = 0.0000 in library 'L2'\n"
         "[bam_rmdupse_core] 1 / 2 = 0.5000 in library '\t'\n",
         "p1@100 p2@100 p1@200 p2@200 p4@50 p4@106 s1@108 p3@300 t1@0"},
    };
    for (const mode_case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "paired" : c.options[0]);
        const std::string out = dir.file("out.bam");
        std::vector<std::string> args = {"rmdup"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {in, out});
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(rmdup_test::kept_of(view_records(out)), c.kept);
        EXPECT_EQ(test_util::view_header(out), test_util::view_header(in));
    }
}

TEST(RmdupMain, StandardInputToStandardOutput) {
    scratch_dir dir;
    const std::string in = test_util::make_bam(dir, "in", 3, 3000, {"--sorted"});
    const std::string out = dir.file("out.bam");
    run_result to_file = run_alnkit({"rmdup", in, out});
    run_result piped = run_alnkit({"rmdup", "-", "-"}, read_file(in));
    EXPECT_EQ(to_file.status, 0);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, to_file.err);
    EXPECT_TRUE(piped.out == read_file(out));
}

// A cut input: what was read before the cut is processed and written as for
// a file that ends there, then one line names the file, and the status is 1.
TEST(RmdupMain, TruncatedInputKeepsWhatWasReadAndFails) {
    scratch_dir dir;
    const std::string whole = test_util::make_bam(dir, "whole", 7, 20000, {"--sorted"});
    const std::string cut = dir.file("cut.bam");
    const std::string bytes = read_file(whole);
    write_file(cut, bytes.substr(0, bytes.size() / 2));
    // The records before the cut, as a file of their own.
    run_result v = run_alnkit({"view", "-h", cut});
    ASSERT_EQ(v.status, 1);
    const std::string prefix = dir.file("prefix.sam"), prefix_bam = dir.file("prefix.bam");
    write_file(prefix, v.out);
    ASSERT_EQ(run_alnkit({"view", "-bS", "-o", prefix_bam, prefix}).status, 0);
    const size_t n_before = lines_of(view_records(prefix_bam)).size();
    ASSERT_GT(n_before, 1000u);
    for (const char* option : {"", "-s"}) {
        SCOPED_TRACE(option);
        std::vector<std::string> pre = {"rmdup"}, cut_args = {"rmdup"};
        if (*option) {
            pre.push_back(option);
            cut_args.push_back(option);
        }
        pre.insert(pre.end(), {prefix_bam, dir.file("want.bam")});
        cut_args.insert(cut_args.end(), {cut, dir.file("got.bam")});
        run_result want = run_alnkit(pre), got = run_alnkit(cut_args);
        EXPECT_EQ(want.status, 0);
        EXPECT_EQ(got.status, 1);
        const std::string tag = *option ? "[bam_rmdupse_core] " : "[bam_rmdup_core] ";
        const std::string last = tag + cut + ": damaged or truncated record after " + std::to_string(n_before) + " records";
        // The header reader's warning, the messages of the shorter file, the
        // line that names the damage.
        const std::string before = "[bam_header_read] EOF marker is absent. The input is probably truncated.\n" + want.err;
        ASSERT_EQ(got.err.substr(0, before.size()), before);
        const std::string rest = got.err.substr(before.size());
        EXPECT_EQ(rest.substr(0, last.size()), last) << rest;
        EXPECT_EQ(rest.find('\n'), rest.size() - 1) << rest;
        EXPECT_TRUE(view_records(dir.file("got.bam")) == view_records(dir.file("want.bam")));
    }
}

TEST(RmdupMain, UnsortedInputStopsWithOneLine) {
    scratch_dir dir;
    const std::string in = test_util::make_bam(dir, "unsorted", 9, 2000);
    for (const char* option : {"", "-s", "-S"}) {
        SCOPED_TRACE(option);
        std::vector<std::string> args = {"rmdup"};
        if (*option) args.push_back(option);
        args.insert(args.end(), {in, dir.file("out.bam")});
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 1);
        const std::string tag = *option ? "[bam_rmdupse_core]" : "[bam_rmdup_core]";
        const std::string want = tag + " the input is not sorted by coordinate: " + in + " (record ";
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(lines_of(r.err).back().substr(0, want.size()), want) << r.err;
        EXPECT_EQ(r.err.find("in library"), std::string::npos);
        EXPECT_EQ(run_alnkit({"view", dir.file("out.bam")}).status, 0) << "the output is whole";
    }
}

// /dev/full refuses every block: early when there is enough to fill one,
// else when the output is closed.
TEST(RmdupMain, FailedWritesEndWithStatusOne) {
    scratch_dir dir;
    const std::string small = bam_from_sam(dir, "small", rmdup_test::sam_text({{"s1", 0, "chr1", 100}}));
    const std::string large = test_util::make_bam(dir, "large", 4, 20000, {"--sorted"});
    struct write_case {
        std::string in;
        const char* option;
        const char* last;
    };
    for (const write_case& c : {write_case{small, "", "[bam_rmdup] fail to write /dev/full"},
                                write_case{small, "-s", "[bam_rmdup] fail to write /dev/full"},
                                write_case{large, "", "[bam_rmdup_core] fail to write /dev/full"},
                                write_case{large, "-S", "[bam_rmdupse_core] fail to write /dev/full"}}) {
        SCOPED_TRACE(c.in + " " + c.option);
        std::vector<std::string> args = {"rmdup"};
        if (*c.option) args.push_back(c.option);
        args.insert(args.end(), {c.in, "/dev/full"});
        run_result r = run_alnkit(args);
        EXPECT_EQ(r.status, 1);
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(lines_of(r.err).back(), c.last);
        EXPECT_EQ(r.err.find("fail to write"), r.err.rfind("fail to write")) << "one line: " << r.err;
    }
}

// ---- Generated files against the rules ----

struct row_t {
    std::string line, name, rname, mrname, cigar, seq, qual, lib;
    int flag = 0;
    long pos = 0, isize = 0;
};

int64_t qual_sum(const row_t& r) {
    if (r.seq == "*") return 0;
    if (r.qual == "*") return 255 * static_cast<int64_t>(r.seq.size());
    int64_t s = 0;
    for (char c : r.qual) s += c - 33;
    return s;
}

long ref_end(const row_t& r) {
    long end = r.pos, n = 0;
    for (char c : r.cigar) {
        if (c >= '0' && c <= '9') {
            n = n * 10 + (c - '0');
            continue;
        }
        if (c == 'M' || c == 'D' || c == 'N' || c == '=' || c == 'X') end += n;
        n = 0;
    }
    return end;
}

std::vector<row_t> read_rows(const std::string& bam) {
    std::map<std::string, std::string> rg_lib;
    for (const std::string& h : lines_of(test_util::view_header(bam))) {
        if (h.compare(0, 3, "@RG") != 0) continue;
        std::string id, lb;
        for (const std::string& f : split(h, '\t')) {
            if (f.compare(0, 3, "ID:") == 0) id = f.substr(3);
            if (f.compare(0, 3, "LB:") == 0) lb = f.substr(3);
        }
        if (!lb.empty()) rg_lib[id] = lb;
    }
    std::vector<row_t> rows;
    for (const std::string& line : lines_of(view_records(bam))) {
        std::vector<std::string> f = split(line, '\t');
        row_t r;
        r.line = line;
        r.name = f[0];
        r.flag = std::stoi(f[1]);
        r.rname = f[2];
        r.pos = std::stol(f[3]);
        r.cigar = f[5];
        r.mrname = f[6] == "=" ? f[2] : f[6];
        r.isize = std::stol(f[8]);
        r.seq = f[9];
        r.qual = f[10];
        r.lib = "\t";
        for (size_t i = 11; i < f.size(); ++i)
            if (f[i].compare(0, 5, "RG:Z:") == 0 && rg_lib.count(f[i].substr(5))) r.lib = rg_lib[f[i].substr(5)];
        rows.push_back(r);
    }
    return rows;
}

// The output keeps records of the input and their order; within one
// position the order may change (kept leftmost reads go last).
void expect_ordered_subset(const std::vector<row_t>& in, const std::vector<row_t>& out) {
    auto keyed = [](const std::vector<row_t>& rows) {
        std::vector<std::tuple<size_t, std::string>> v;
        size_t group = 0;
        for (size_t i = 0; i < rows.size(); ++i) {
            if (i && (rows[i].rname != rows[i - 1].rname || rows[i].pos != rows[i - 1].pos)) ++group;
            v.emplace_back(group, rows[i].line);
        }
        return v;
    };
    auto a = keyed(in), b = keyed(out);
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    size_t j = 0;
    for (size_t i = 0; i < a.size() && j < b.size(); ++i)
        if (std::get<1>(a[i]) == std::get<1>(b[j])) ++j;
    EXPECT_EQ(j, b.size()) << "output record not found in order: " << (j < b.size() ? std::get<1>(b[j]) : "");
}

// Sums of the "n_removed / n_checked" statistics lines.
std::pair<long, long> stat_sums(const std::string& err) {
    long removed = 0, checked = 0;
    for (const std::string& line : lines_of(err)) {
        size_t at = line.find("] ");
        if (line.find("in library") == std::string::npos || at == std::string::npos) continue;
        long a = 0, b = 0;
        if (std::sscanf(line.c_str() + at + 2, "%ld / %ld", &a, &b) == 2) {
            removed += a;
            checked += b;
        }
    }
    return {removed, checked};
}

// Groups of duplicates by a key; each group's survivor is its first read of
// the highest quality sum.
template <typename Key>
struct dup_groups {
    std::map<Key, std::vector<size_t>> groups;
    long checked = 0, removed = 0;
    std::multiset<std::string> winners, losers;

    void add(const Key& k, size_t i) {
        groups[k].push_back(i);
        ++checked;
    }
    void settle(const std::vector<row_t>& rows) {
        for (const auto& [k, members] : groups) {
            size_t best = members[0];
            for (size_t i : members)
                if (qual_sum(rows[i]) > qual_sum(rows[best])) best = i;
            removed += static_cast<long>(members.size()) - 1;
            for (size_t i : members) (i == best ? winners : losers).insert(rows[i].line);
        }
    }
};

TEST(RmdupMain, GeneratedPairsKeepTheBestOfEachDuplicateSet) {
    scratch_dir dir;
    const std::string in = test_util::make_bam(dir, "in", 11, 25000, {"--sorted"});
    const std::string out = dir.file("out.bam");
    run_result r = run_alnkit({"rmdup", in, out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<row_t> rows = read_rows(in), kept = read_rows(out);
    expect_ordered_subset(rows, kept);

    // Leftmost reads by library, reference, position and insert size.
    dup_groups<std::tuple<std::string, std::string, long, long>> g;
    std::map<std::string, std::set<std::string>> loser_names;  // by reference
    for (size_t i = 0; i < rows.size(); ++i) {
        const row_t& x = rows[i];
        bool is_pair_here = (x.flag & 1) && !(x.flag & 12) && x.rname != "*" && (x.mrname == "*" || x.mrname == x.rname);
        if (is_pair_here && x.isize > 0) g.add({x.lib, x.rname, x.pos, x.isize}, i);
    }
    g.settle(rows);
    for (const auto& [k, members] : g.groups)
        for (size_t i : members)
            if (g.losers.count(rows[i].line)) loser_names[std::get<1>(k)].insert(rows[i].name);
    ASSERT_GT(g.removed, 50) << "the data must hold duplicates";
    EXPECT_EQ(stat_sums(r.err), std::make_pair(g.removed, g.checked));

    std::multiset<std::string> out_lines;
    for (const row_t& x : kept) out_lines.insert(x.line);
    for (const std::string& w : g.winners) EXPECT_EQ(out_lines.count(w), g.winners.count(w)) << w;
    for (const std::string& l : g.losers) EXPECT_EQ(out_lines.count(l), 0u) << l;
    // Besides the dropped leftmost reads, only mates of theirs are missing.
    std::multiset<std::string> missing;
    for (const row_t& x : rows) missing.insert(x.line);
    for (const std::string& l : out_lines) missing.erase(missing.find(l));
    size_t n_mates = 0;
    for (const row_t& x : rows) {
        if (!missing.count(x.line) || g.losers.count(x.line)) continue;
        EXPECT_TRUE(x.isize <= 0 && loser_names[x.rname].count(x.name)) << x.line;
        ++n_mates;
    }
    EXPECT_GT(n_mates, 0u);
}

TEST(RmdupMain, GeneratedReadsAsSingleEndKeepTheBestByOuterEnd) {
    scratch_dir dir;
    const std::string in = test_util::make_bam(dir, "in", 12, 25000, {"--sorted"});
    const std::string out = dir.file("out.bam");
    run_result r = run_alnkit({"rmdup", "-S", in, out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<row_t> rows = read_rows(in), kept = read_rows(out);
    expect_ordered_subset(rows, kept);

    // Mapped reads by library, reference, strand and outer end.
    dup_groups<std::tuple<std::string, std::string, bool, long>> g;
    std::multiset<std::string> want;
    for (size_t i = 0; i < rows.size(); ++i) {
        const row_t& x = rows[i];
        bool is_reverse = x.flag & 16;
        if (x.flag & 4) want.insert(x.line);
        else g.add({x.lib, x.rname, is_reverse, is_reverse ? ref_end(x) : x.pos}, i);
    }
    g.settle(rows);
    ASSERT_GT(g.removed, 50) << "the data must hold duplicates";
    EXPECT_EQ(stat_sums(r.err), std::make_pair(g.removed, g.checked));
    want.insert(g.winners.begin(), g.winners.end());
    std::multiset<std::string> got;
    for (const row_t& x : kept) got.insert(x.line);
    EXPECT_TRUE(got == want) << got.size() << " records kept, " << want.size() << " expected";
}

}  // namespace
