// The command dispatcher as seen from the command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_util.h"

namespace {

using test_util::run_alnkit;

TEST(Dispatcher, NoCommandPrintsUsage) {
    const std::string usage =
        "\n"
        "Program: alnkit (Tools for alignments in the SAM format)\n"
        "Version: " ALNKIT_VERSION
        "\n\n"
        "Usage:   alnkit <command> [options]\n\n"
        "Command: view        SAM<->BAM conversion\n"
        "         sort        sort alignment file\n"
        "         mpileup     multi-way pileup\n"
        "         depth       compute the depth\n"
        "         faidx       index/extract FASTA\n"
        "         tview       text alignment viewer\n"
        "         index       index alignment\n"
        "         idxstats    BAM index stats (r595 or later)\n"
        "         fixmate     fix mate information\n"
        "         flagstat    simple stats\n"
        "         calmd       recalculate MD/NM tags and '=' bases\n"
        "         merge       merge sorted alignments\n"
        "         rmdup       remove PCR duplicates\n"
        "         reheader    replace BAM header\n"
        "         cat         concatenate BAMs\n"
        "         targetcut   cut fosmid regions (for fosmid pool only)\n"
        "         phase       phase heterozygotes\n"
        "         bcfcat      concatenate BCFs with identical headers\n"
        "\n";
    test_util::run_result r = run_alnkit({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage);
}

TEST(Dispatcher, RefusedNames) {
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"pileup"}, "[main] The `pileup' command has been removed. Please use `mpileup' instead.\n"},
        {{"pileup", "-h"}, "[main] The `pileup' command has been removed. Please use `mpileup' instead.\n"},
        {{"View"}, "[main] unrecognized command 'View'\n"},
        {{"catx"}, "[main] unrecognized command 'catx'\n"},
        {{"ca"}, "[main] unrecognized command 'ca'\n"},
        {{""}, "[main] unrecognized command ''\n"},
        {{"-h", "view"}, "[main] unrecognized command '-h'\n"},
    };
    for (const auto& c : cases) {
        test_util::run_result r = run_alnkit(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_EQ(r.err, c.err);
    }
}

// The command receives its own name as argument 0.  mpileup is among the
// last commands to be built; pick another unbuilt one when it lands.
TEST(Dispatcher, EveryTableNameIsRecognized) {
    const char* names[] = {"view",  "import",    "mpileup", "merge",    "sort",   "index",  "idxstats",
                           "faidx", "fixmate",   "rmdup",   "flagstat", "calmd",  "fillmd", "reheader",
                           "cat",   "targetcut", "phase",   "depth",    "bam2fq", "tview"};
    for (const char* name : names) {
        test_util::run_result r = run_alnkit({name});
        EXPECT_EQ(r.err.find("unrecognized command"), std::string::npos) << name << ": " << r.err;
        EXPECT_LT(r.status, 128) << name << " ended by a signal";
    }
}

}  // namespace
