// The -@ option of the commands that read or write BAM: every thread count
// gives the bytes of the single-threaded run, on generated files and on tiny
// ones (no records, one record), at every compression level.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bam_file_util.h"
#include "common/test_util.h"

namespace {

using test_util::read_file;
using test_util::run;
using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;

struct inputs_t {
    std::string name;      // label
    std::string sorted;    // coordinate-sorted BAM
    std::string byname;    // the same records sorted by name
    std::string sam;       // coordinate-sorted SAM text, with header
    std::string ref;       // FASTA of the references
    std::string ref_list;  // reference list for import
};

// One command run: arguments with IN (sorted BAM), NAMES (name-sorted BAM),
// SAM, REF, LIST and OUT (a file in the scratch directory) replaced; what is
// compared is OUT when the arguments name it, else standard output.
struct command_case {
    const char* label;
    std::vector<std::string> args;
};

std::vector<std::string> expand(const std::vector<std::string>& args, const inputs_t& in, const std::string& out) {
    std::vector<std::string> a;
    for (const std::string& s : args) {
        a.push_back(s == "IN"      ? in.sorted
                    : s == "NAMES" ? in.byname
                    : s == "SAM"   ? in.sam
                    : s == "REF"   ? in.ref
                    : s == "LIST"  ? in.ref_list
                    : s == "OUT"   ? out
                                   : s);
    }
    return a;
}

// The result of a run: its status and what it wrote, with the thread option
// inserted right after the command name.
std::string result_of(const command_case& c, const inputs_t& in, const scratch_dir& dir, int threads) {
    const std::string out = dir.file("out" + std::to_string(threads));
    std::vector<std::string> args = expand(c.args, in, out);
    bool names_out = false;
    for (const auto& a : c.args) names_out |= a == "OUT";
    if (threads >= 0) args.insert(args.begin() + 1, {"-@", std::to_string(threads)});
    const run_result r = run_alnkit(args);
    std::string got = "status " + std::to_string(r.status) + "\n";
    if (c.args[0] == std::string("phase")) {
        got += r.out;
        for (const char* suffix : {".0.bam", ".1.bam", ".chimera.bam"}) got += read_file(out + suffix);
    } else if (names_out) {
        got += read_file(c.args[0] == std::string("sort") ? out + ".bam" : out);
    } else {
        got += r.out;
    }
    return got;
}

// Generated inputs of about `records` records; with `diploid`, read pairs of
// one sample with planted variants at depth 10 instead.
inputs_t make_inputs(const scratch_dir& dir, const std::string& name, int records, bool diploid = false) {
    inputs_t in;
    in.name = name;
    in.sam = dir.file(name + ".sam");
    in.ref = dir.file(name + ".fa");
    std::vector<std::string> gen = {ALNSIM_PATH, "--seed",  "4",    "--refs", "3",   "--ref-len",
                                    "40000",     "--fasta", in.ref, "--sam",  in.sam};
    if (diploid) {
        gen.insert(gen.end(), {"--diploid", "--depth", "10"});
    } else {
        gen.insert(gen.end(), {"--records", std::to_string(records), "--sorted"});
    }
    auto g = run(gen);
    EXPECT_EQ(g.status, 0) << g.err;
    in.sorted = dir.file(name + ".bam");
    EXPECT_EQ(run_alnkit({"view", "-bS", "-o", in.sorted, in.sam}).status, 0);
    EXPECT_EQ(run_alnkit({"sort", "-n", in.sorted, dir.file(name + ".byname")}).status, 0);
    in.byname = dir.file(name + ".byname.bam");
    in.ref_list = dir.file(name + ".list");
    std::string list;
    for (const auto& line : test_util::split(read_file(in.sam), '\n')) {
        if (line.rfind("@SQ\t", 0) != 0) continue;
        const auto f = test_util::split(line, '\t');
        list += f.at(1).substr(3) + "\t" + f.at(2).substr(3) + "\n";
    }
    test_util::write_file(in.ref_list, list);
    return in;
}

const command_case k_cases[] = {
    {"view_b", {"view", "-b", "-o", "OUT", "IN"}},
    {"view_u", {"view", "-u", "-o", "OUT", "IN"}},
    {"view_1_of_SAM", {"view", "-1", "-S", "-o", "OUT", "SAM"}},
    {"view_to_SAM", {"view", "-h", "IN"}},
    {"view_a_region", {"view", "-b", "-o", "OUT", "IN", "chr2:1000-30000"}},
    {"import", {"import", "LIST", "SAM", "OUT"}},
    {"sort", {"sort", "IN", "OUT"}},
    {"sort_in_small_blocks", {"sort", "-m", "300000", "IN", "OUT"}},
    {"sort_by_name_in_small_blocks", {"sort", "-n", "-m", "300000", "IN", "OUT"}},
    {"merge", {"merge", "-f", "OUT", "IN", "IN"}},
    {"merge_u_with_read_groups", {"merge", "-f", "-u", "-r", "OUT", "IN", "IN"}},
    {"merge_1_of_a_region", {"merge", "-f", "-1", "-R", "chr1", "OUT", "IN", "IN"}},
    {"index", {"index", "IN", "OUT"}},
    {"calmd_b", {"calmd", "-b", "IN", "REF"}},
    {"calmd_u_with_BAQ", {"calmd", "-u", "-r", "IN", "REF"}},
    {"rmdup", {"rmdup", "IN", "OUT"}},
    {"rmdup_s", {"rmdup", "-s", "IN", "OUT"}},
    {"fixmate", {"fixmate", "NAMES", "OUT"}},
    {"flagstat", {"flagstat", "IN"}},
    {"depth", {"depth", "IN", "IN"}},
    {"depth_of_a_region", {"depth", "-r", "chr3:100-20000", "IN"}},
    {"bam2fq", {"bam2fq", "IN"}},
    {"mpileup", {"mpileup", "-f", "REF", "IN", "IN"}},
    {"mpileup_g", {"mpileup", "-g", "-f", "REF", "IN"}},
    {"mpileup_u_of_a_region", {"mpileup", "-u", "-r", "chr1:2000-30000", "-f", "REF", "IN", "IN"}},
    {"phase_b", {"phase", "-b", "OUT", "IN"}},
};

class ThreadCounts : public ::testing::TestWithParam<command_case> {};

// One test per command, so that they run in parallel.
TEST_P(ThreadCounts, GiveTheBytesOfTheSingleThreadedRun) {
    const command_case& c = GetParam();
    scratch_dir dir;
    // 8,000 records span many blocks, so records straddle block ends.  The
    // pileup runs on reads of one sample (the general data mixes samples
    // and reads without a read group, which it refuses).
    const bool pileup = std::string(c.label).rfind("mpileup", 0) == 0 || c.args[0] == std::string("phase");
    const std::vector<inputs_t> inputs =
        pileup ? std::vector<inputs_t>{make_inputs(dir, "none", 0), make_inputs(dir, "diploid", 0, true)}
               : std::vector<inputs_t>{make_inputs(dir, "none", 0), make_inputs(dir, "one", 1), make_inputs(dir, "many", 8000)};
    for (const inputs_t& in : inputs) {
        ASSERT_EQ(run_alnkit({"index", in.sorted}).status, 0);
        if (in.name == "none" && std::string(c.label).find("region") != std::string::npos) continue;
        const std::string want = result_of(c, in, dir, -1);
        EXPECT_EQ(want.rfind("status 0\n", 0), 0u) << c.label << " on " << in.name << ": " << want.substr(0, 200);
        for (int threads : {0, 1, 3, 7})
            EXPECT_TRUE(result_of(c, in, dir, threads) == want) << c.label << " on " << in.name << " with -@ " << threads;
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, ThreadCounts, ::testing::ValuesIn(k_cases),
                         [](const ::testing::TestParamInfo<command_case>& info) { return std::string(info.param.label); });

TEST(Threads, BadThreadCountsAreRefused) {
    for (const char* command : {"view", "import", "sort", "merge", "index", "flagstat", "depth", "bam2fq", "calmd", "rmdup",
                                "fixmate", "mpileup", "phase"}) {
        for (const char* bad : {"-1", "x", "1025", ""}) {
            const run_result r = run_alnkit({command, "-@", bad, "a.bam", "b.bam", "c.bam"});
            EXPECT_EQ(r.status, 1) << command << " -@ '" << bad << "'";
            EXPECT_NE(r.err.find("-@"), std::string::npos) << command << ": " << r.err;
        }
    }
}

TEST(Threads, AFailedWriteIsAFailureWithThreads) {
    scratch_dir dir;
    const inputs_t in = make_inputs(dir, "many", 20000);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"view", "-@", "3", "-b", "-o", dir.file("v.bam"), in.sorted},
          {"sort", "-@", "3", "-o", in.sorted, dir.file("s")},
          {"merge", "-@", "3", "-f", dir.file("m.bam"), in.sorted, in.sorted},
          {"calmd", "-@", "3", "-b", in.sorted, in.ref}}) {
        std::vector<std::string> argv{ALNKIT_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        const run_result r = test_util::run_file_limited(argv, 100000, dir.file("stdout"));
        EXPECT_EQ(r.status, 1) << args[0] << ": " << r.err;
    }
}

}  // namespace
