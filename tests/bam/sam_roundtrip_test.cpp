// Generated SAM text parses and formats back to the identical text, for
// several seeds, in natural and coordinate order, plain and gzip input.
#include <gtest/gtest.h>

#include <string>

#include "bam/bam.h"
#include "bam/bam_import.h"
#include "bam/sam_format.h"
#include "common/test_util.h"

namespace {

using test_util::read_file;
using test_util::run;
using test_util::scratch_dir;

// Reads `path` with the SAM reader and formats the header and every record
// back into text, as SAM output with its header would.
std::string reformat(const std::string& path, size_t* n_records) {
    tamFile fp = sam_open(path.c_str());
    EXPECT_NE(fp, nullptr);
    if (!fp) return {};
    bam_header_t* h = sam_header_read(fp);
    std::string text(h->text ? h->text : "", h->l_text);
    bam1_t* b = bam_init1();
    kstring_t s{0, 0, nullptr};
    int r;
    *n_records = 0;
    while ((r = sam_read1_checked(fp, h, b)) >= 0) {
        s.l = 0;
        bam_format1_append(&s, h, b, 0);
        text.append(s.s, s.l);
        text += '\n';
        ++*n_records;
    }
    EXPECT_EQ(r, -1) << (fp->err ? fp->err : "");
    ks_free(&s);
    bam_destroy1(b);
    bam_header_destroy(h);
    sam_close(fp);
    return text;
}

struct sim_case {
    int seed;
    bool sorted;
};

class SamRoundTrip : public testing::TestWithParam<sim_case> {};

TEST_P(SamRoundTrip, GeneratedTextFormatsBackIdentically) {
    scratch_dir dir;
    const std::string sam = dir.file("reads.sam");
    std::vector<std::string> argv{
        ALNSIM_PATH, "--seed", std::to_string(GetParam().seed), "--refs", "4", "--ref-len", "50000", "--records", "20000",
        "--sam",     sam};
    if (GetParam().sorted) argv.push_back("--sorted");
    ASSERT_EQ(run(argv).status, 0);
    const std::string original = read_file(sam);

    size_t n = 0;
    const std::string text = reformat(sam, &n);
    EXPECT_GT(n, 15000u);
    ASSERT_EQ(text.size(), original.size());
    EXPECT_TRUE(text == original);

    // The same text compressed with gzip reads to the same records.
    const std::string gz = dir.file("reads.sam.gz");
    test_util::write_gzip_file(gz, original);
    size_t n_gz = 0;
    EXPECT_TRUE(reformat(gz, &n_gz) == original);
    EXPECT_EQ(n_gz, n);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SamRoundTrip,
                         testing::Values(sim_case{1, false}, sim_case{2, true}, sim_case{12345, false}, sim_case{99, true}));

}  // namespace
