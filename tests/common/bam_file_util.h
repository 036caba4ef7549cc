// Making BAM files from SAM text or generated data, and reading them back
// through the command line, for tests of commands that rewrite BAM files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_util.h"

namespace test_util {

// Converts SAM text to dir/<name>.bam (keeping dir/<name>.sam); returns the path.
inline std::string bam_from_sam(const scratch_dir& dir, const std::string& name, const std::string& sam_text) {
    std::string sam = dir.file(name + ".sam"), bam = dir.file(name + ".bam");
    write_file(sam, sam_text);
    run_result v = run_alnkit({"view", "-bS", "-o", bam, sam});
    EXPECT_EQ(v.status, 0) << v.err;
    return bam;
}

// A BAM file of about `records` generated records; returns its path.
inline std::string make_bam(const scratch_dir& dir, const std::string& name, int seed, int records,
                            const std::vector<std::string>& generator_options = {}) {
    std::string sam = dir.file(name + ".sam"), bam = dir.file(name + ".bam");
    std::vector<std::string> args = {ALNSIM_PATH, "--seed", std::to_string(seed), "--records", std::to_string(records),
                                     "--sam",     sam};
    args.insert(args.end(), generator_options.begin(), generator_options.end());
    run_result g = run(args);
    EXPECT_EQ(g.status, 0) << g.err;
    run_result v = run_alnkit({"view", "-bS", "-o", bam, sam});
    EXPECT_EQ(v.status, 0) << v.err;
    return bam;
}

// The records of a BAM file as SAM text.
inline std::string view_records(const std::string& bam) {
    run_result r = run_alnkit({"view", bam});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

inline std::string view_header(const std::string& bam) {
    run_result r = run_alnkit({"view", "-H", bam});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

}  // namespace test_util
