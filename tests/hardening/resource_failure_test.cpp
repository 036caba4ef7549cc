// Writing that fails part-way (a file-size limit stands in for a full disk)
// and outputs that cannot be created: every command must say so and exit
// non-zero, and the sort must leave no temporary file behind.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common/bam_file_util.h"
#include "common/test_util.h"

namespace {

using test_util::run;
using test_util::run_alnkit;
using test_util::run_result;
using test_util::scratch_dir;

// Runs alnkit with its files limited to `kib` KiB, as on a disk that fills up.
run_result run_limited(int kib, const std::vector<std::string>& args, const std::string& stdout_file = "") {
    std::string cmd = "ulimit -f " + std::to_string(kib * 2) + " && exec " + ALNKIT_PATH;  // 512-byte units
    for (const auto& a : args) cmd += " '" + a + "'";
    if (!stdout_file.empty()) cmd += " > '" + stdout_file + "'";
    return run({"/bin/sh", "-c", cmd});
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// One generated BAM of about 2.7 MB; 500K blocks compress to about 200 KB.
class FullDisk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new scratch_dir;
        test_util::make_bam(*dir_, "in", 5, 20000);
    }
    static void TearDownTestSuite() { delete dir_; }
    static std::string in() { return dir_->file("in.bam"); }
    static scratch_dir* dir_;
};
scratch_dir* FullDisk::dir_ = nullptr;

TEST_F(FullDisk, SortFailsWhereverTheDiskFillsAndLeavesNoTemporaries) {
    struct row {
        const char* what;
        int kib;
        std::vector<std::string> opts;
        std::string message;
    };
    const row rows[] = {
        {"one block, the output", 500, {}, "[sort_blocks] fail to write file OUT.bam.\n"},
        {"a temporary block", 50, {"-m", "500K"}, "[sort_blocks] fail to write file OUT.0000.bam.\n"},
        {"the merged output", 500, {"-m", "500K"}, "[bam_merge_core] fail to write the output file"},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.what);
        scratch_dir out;
        std::vector<std::string> args = {"sort"};
        args.insert(args.end(), c.opts.begin(), c.opts.end());
        args.push_back(in());
        args.push_back(out.file("s"));
        run_result r = run_limited(c.kib, args);
        EXPECT_EQ(r.status, 1) << r.err;
        std::string message = c.message;
        if (size_t at = message.find("OUT"); at != std::string::npos) message.replace(at, 3, out.file("s"));
        EXPECT_TRUE(contains(r.err, message)) << r.err;
        std::vector<std::string> left = list_dir(out.path());
        for (const auto& f : left) EXPECT_EQ(f, "s.bam") << "temporary file left behind";
        if (!left.empty()) {  // a partial output must not read as complete
            run_result v = run_alnkit({"view", "-c", out.file("s.bam")});
            EXPECT_NE(v.status, 0);
        }
    }
}

TEST_F(FullDisk, WritingCommandsReportTheFailure) {
    scratch_dir out;
    struct row {
        std::vector<std::string> args;
        std::string stdout_file, message;
    };
    const std::string o = out.file("o");
    const row rows[] = {
        {{"view", "-b", "-o", o + ".bam", in()}, "", "[main_samview] fail to write \"" + o + ".bam\".\n"},
        {{"view", "-o", o + ".sam", in()}, "", "[main_samview] fail to write \"" + o + ".sam\".\n"},
        {{"view", "-b", in()}, o + ".stdout.bam", "[main_samview] fail to write \"standard output\".\n"},
        {{"merge", "-f", o + ".m.bam", in(), in()}, "", "[bam_merge_core] fail to write the output file"},
        {{"cat", "-o", o + ".c.bam", in(), in()}, "", "[bam_cat] ERROR: fail to write"},
        {{"reheader", dir_->file("in.sam"), in()}, o + ".r.bam", "[main_reheader] fail to write"},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        run_result r = run_limited(500, c.args, c.stdout_file);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    }
    // The index is small: a limit of 1 KiB is needed to make it fail.
    scratch_dir sorted;
    ASSERT_EQ(run_alnkit({"sort", in(), sorted.file("s")}).status, 0);
    run_result r = run_limited(1, {"index", sorted.file("s.bam"), sorted.file("s.bai")});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(r.err, "[bam_index_build2] fail to write the index file.\n")) << r.err;
}

TEST_F(FullDisk, OutputsThatCannotBeCreated) {
    scratch_dir out;
    test_util::write_file(out.file("file"), "not a directory");
    const std::string bad = out.file("file/sub");  // below a regular file: never creatable
    struct row {
        std::vector<std::string> args;
        std::string message;
    };
    const row rows[] = {
        {{"view", "-b", "-o", bad + ".bam", in()}, "[main_samview] fail to open \"" + bad + ".bam\" for writing.\n"},
        {{"sort", in(), bad}, "[sort_blocks] fail to create file " + bad + ".bam.\n"},
        {{"sort", "-m", "500K", in(), bad}, "[sort_blocks] fail to create file " + bad + ".0000.bam.\n"},
        {{"merge", bad + ".bam", in(), in()}, "[bam_merge_core] fail to create the output file.\n"},
        {{"cat", "-o", bad + ".bam", in(), in()}, "[bam_cat] ERROR: fail to open output file '" + bad + ".bam'.\n"},
        {{"index", in(), bad + ".bai"}, ""},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        run_result r = run_alnkit(c.args);
        EXPECT_NE(r.status, 0) << r.err;
        EXPECT_FALSE(r.err.empty());
        if (!c.message.empty()) {
            EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        }
    }
    EXPECT_EQ(list_dir(out.path()), std::vector<std::string>{"file"});
}

// A temporary block deleted while the sort runs (as by a cleaner of /tmp):
// the input comes through a FIFO, so the sort can be held after its second
// block is started, when the first is complete, and the first removed.
TEST_F(FullDisk, SortReportsATemporaryBlockRemovedBeforeTheMerge) {
    scratch_dir out;
    const std::string fifo = out.file("in.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    run_result r;
    std::thread sorter([&] { r = run_alnkit({"sort", "-m", "500K", fifo, out.file("s")}); });
    const std::string data = test_util::read_file(in());
    struct sigaction ignore{}, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);  // a sort that ends early must fail the test, not kill it
    int fd = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::string first = out.file("s.0000.bam"), second = out.file("s.0001.bam");
    bool removed = false;
    for (size_t at = 0; at < data.size();) {
        ssize_t w = write(fd, data.data() + at, std::min<size_t>(16384, data.size() - at));
        if (w <= 0) break;
        at += static_cast<size_t>(w);
        if (!removed && access(second.c_str(), F_OK) == 0) removed = unlink(first.c_str()) == 0;
    }
    close(fd);
    sorter.join();
    sigaction(SIGPIPE, &old, nullptr);
    ASSERT_TRUE(removed) << "the sort never started a second block";
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(r.err, "[bam_merge_core] fail to open file " + first + "\n")) << r.err;
    EXPECT_EQ(list_dir(out.path()), std::vector<std::string>{"in.fifo"}) << "temporaries or an output left";
}

}  // namespace
