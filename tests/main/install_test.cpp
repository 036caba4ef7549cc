// Installing the build: `cmake --install` puts the alnkit executable in the
// bin directory under the prefix given on the command line, or under
// DESTDIR and the configured prefix, and the installed program runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/test_util.h"

namespace {

using test_util::run;
using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;

TEST(Install, PutsTheExecutableInBinUnderThePrefix) {
    const run_result built = run_alnkit({});
    ASSERT_EQ(built.status, 1);
    ASSERT_NE(built.err.find("Usage:   alnkit <command> [options]\n"), std::string::npos) << built.err;

    struct install_case {
        const char* what;
        bool use_destdir;     // DESTDIR=<scratch> with the configured prefix, or --prefix <scratch>
        std::string bin_dir;  // below the scratch directory
    };
    const install_case cases[] = {
        {"--prefix", false, "/bin"},
        {"DESTDIR", true, ALNKIT_INSTALL_FULL_BINDIR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir root;
        std::vector<std::string> args = {ALNKIT_CMAKE_COMMAND, "--install", ALNKIT_BUILD_DIR};
        if (!c.use_destdir) args.insert(args.end(), {"--prefix", root.path()});
        const std::string destdir = root.path();
        run_result i = run(args, "", [&] {
            if (c.use_destdir) setenv("DESTDIR", destdir.c_str(), 1);
        });
        ASSERT_EQ(i.status, 0) << i.out << i.err;
        // Run without arguments, the installed program prints the usage and exits 1.
        run_result r = run({root.path() + c.bin_dir + "/alnkit"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, built.err);
    }
}

}  // namespace
