// Writing that fails part-way (a file-size limit stands in for a full disk)
// and outputs that cannot be created: every command must say so and exit
// non-zero, and the sort must leave no temporary file behind.  An output
// pipe closed by its reader ends a command quietly.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
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
    std::vector<std::string> argv{ALNKIT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return test_util::run_file_limited(argv, kib * 1024L, stdout_file);
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

// "name<TAB>length" lines of the @SQ header lines of a SAM file.
std::string reference_list(const std::string& sam) {
    std::string list, line;
    std::istringstream text(test_util::read_file(sam));
    while (std::getline(text, line) && line.rfind("@", 0) == 0) {
        if (line.rfind("@SQ\t", 0) != 0) continue;
        size_t sn = line.find("\tSN:"), ln = line.find("\tLN:");
        list += line.substr(sn + 4, line.find('\t', sn + 1) - sn - 4) + "\t" +
                line.substr(ln + 4, line.find('\t', ln + 1) - ln - 4) + "\n";
    }
    return list;
}

// One generated BAM of about 2.7 MB (500K blocks compress to about 200 KB),
// its sorted and indexed form, and a FASTA of 800 kb with its index.
class FullDisk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new scratch_dir;
        test_util::make_bam(*dir_, "in", 5, 20000);
        ASSERT_EQ(run_alnkit({"sort", in(), dir_->file("sorted")}).status, 0);
        ASSERT_EQ(run_alnkit({"index", sorted()}).status, 0);
        ASSERT_EQ(
            run({ALNSIM_PATH, "--seed", "5", "--refs", "2", "--ref-len", "400000", "--records", "0", "--fasta", fasta()}).status,
            0);
        ASSERT_EQ(run_alnkit({"faidx", fasta()}).status, 0);
        test_util::write_file(dir_->file("refs.txt"), reference_list(dir_->file("in.sam")));
    }
    static void TearDownTestSuite() { delete dir_; }
    static std::string in() { return dir_->file("in.bam"); }
    static std::string sorted() { return dir_->file("sorted.bam"); }
    static std::string fasta() { return dir_->file("ref.fa"); }
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

// Every command that writes, to a file or to standard output: status 1 and a
// message naming the output.  Outputs of a few hundred bytes need a limit of
// 0 to fail; their failure then shows only when the output is flushed at the
// end.  A partial index is removed.
TEST_F(FullDisk, WritingCommandsReportTheFailure) {
    scratch_dir out;
    test_util::write_file(out.file("copy.fa"), test_util::read_file(fasta()));
    struct row {
        int kib;
        std::vector<std::string> args;
        std::string stdout_file, message;
        std::string removed = "";  // an output that must not be left behind
    };
    const std::string o = out.file("o"), stdout_failed = "fail to write \"standard output\".\n";
    const row rows[] = {
        {500, {"view", "-b", "-o", o + ".bam", in()}, "", "[main_samview] fail to write \"" + o + ".bam\".\n"},
        {500, {"view", "-o", o + ".sam", in()}, "", "[main_samview] fail to write \"" + o + ".sam\".\n"},
        {500, {"view", "-b", in()}, o + ".stdout.bam", "[main_samview] " + stdout_failed},
        {500, {"view", in()}, o + ".stdout.sam", "[main_samview] " + stdout_failed},
        {0, {"view", "-c", in()}, o + ".count", "[main_samview] " + stdout_failed},
        {500,
         {"import", dir_->file("refs.txt"), dir_->file("in.sam"), o + ".i.bam"},
         "",
         "[main_samview] fail to write \"" + o + ".i.bam\".\n"},
        {500, {"bam2fq", in()}, o + ".fq", "[main_bam2fq] " + stdout_failed},
        {500, {"faidx", fasta(), "chr1", "chr2"}, o + ".fa", "[faidx_main] " + stdout_failed},
        {0,
         {"faidx", out.file("copy.fa")},
         "",
         "[fai_build] fail to write FASTA index " + out.file("copy.fa.fai") + "\n",
         out.file("copy.fa.fai")},
        {0, {"idxstats", sorted()}, o + ".stats", "[bam_idxstats] " + stdout_failed},
        {500, {"sort", "-o", in(), o + ".prefix"}, o + ".sorted.bam", "[sort_blocks] fail to write file standard output.\n"},
        {500, {"merge", "-f", o + ".m.bam", in(), in()}, "", "[bam_merge_core] fail to write the output file"},
        {500, {"merge", "-", in(), in()}, o + ".m.stdout.bam", "[bam_merge_core] fail to write the output file"},
        {1, {"index", sorted(), o + ".bai"}, "", "[bam_index_build2] fail to write the index file.\n", o + ".bai"},
        {500, {"cat", "-o", o + ".c.bam", in(), in()}, "", "[bam_cat] ERROR: fail to write"},
        {500, {"reheader", dir_->file("in.sam"), in()}, o + ".r.bam", "[main_reheader] fail to write"},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        run_result r = run_limited(c.kib, c.args, c.stdout_file);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        if (!c.removed.empty()) {
            EXPECT_NE(access(c.removed.c_str(), F_OK), 0) << "partial output left";
        }
    }
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
    struct sigaction ignore {
    }, old{};
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

// How the command starts with respect to SIGPIPE.
enum class sigpipe_start { inherited_default, ignored, blocked };

// Runs alnkit with its standard output into a pipe whose reader takes up to
// 4 KiB and closes it, as `alnkit ... | head` does.  `bytes_read` gets what
// arrived.
run_result run_into_closed_pipe(const std::vector<std::string>& args, sigpipe_start start, size_t* bytes_read) {
    scratch_dir dir;
    const std::string err_path = dir.file("stderr");
    int p[2];
    if (pipe(p) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], STDOUT_FILENO);
        close(p[0]);
        close(p[1]);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, STDERR_FILENO);
        if (start == sigpipe_start::ignored) signal(SIGPIPE, SIG_IGN);
        if (start == sigpipe_start::blocked) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGPIPE);
            sigprocmask(SIG_BLOCK, &set, nullptr);
        }
        std::vector<char*> argv{const_cast<char*>(ALNKIT_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(p[1]);
    char buf[4096];
    *bytes_read = 0;
    ssize_t n;
    while (*bytes_read < sizeof buf && (n = read(p[0], buf, sizeof buf - *bytes_read)) > 0) *bytes_read += static_cast<size_t>(n);
    close(p[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    run_result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    r.err = test_util::read_file(err_path);
    return r;
}

// Outputs far larger than a pipe holds, so every command is still writing
// when the reader goes away.
class ClosedPipe : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new scratch_dir;
        test_util::make_bam(*dir_, "in", 7, 5000);
        ASSERT_EQ(run({ALNSIM_PATH, "--seed", "7", "--refs", "1", "--ref-len", "300000", "--records", "0", "--fasta",
                       dir_->file("ref.fa")})
                      .status,
                  0);
        ASSERT_EQ(run_alnkit({"faidx", dir_->file("ref.fa")}).status, 0);
    }
    static void TearDownTestSuite() { delete dir_; }
    static scratch_dir* dir_;
};
scratch_dir* ClosedPipe::dir_ = nullptr;

// The command ends on SIGPIPE (or with status 1) without a word on standard
// error and without a core dump, however the parent left SIGPIPE.
TEST_F(ClosedPipe, EndsQuietly) {
    const std::string bam = dir_->file("in.bam");
    const std::vector<std::vector<std::string>> commands = {
        {"view", bam}, {"view", "-h", bam}, {"view", "-b", bam}, {"bam2fq", bam}, {"faidx", dir_->file("ref.fa"), "chr1"},
    };
    const std::pair<sigpipe_start, const char*> starts[] = {
        {sigpipe_start::inherited_default, "default"},
        {sigpipe_start::ignored, "ignored"},
        {sigpipe_start::blocked, "blocked"},
    };
    for (const auto& args : commands)
        for (const auto& [start, name] : starts) {
            SCOPED_TRACE(args[0] + " " + args[1] + ", SIGPIPE " + name);
            size_t got = 0;
            run_result r = run_into_closed_pipe(args, start, &got);
            EXPECT_GT(got, 0u) << "the command wrote nothing";
            EXPECT_TRUE(r.signal == SIGPIPE || (r.signal == 0 && r.status == 1))
                << "status " << r.status << ", signal " << r.signal;
            EXPECT_EQ(r.err, "");
        }
}

}  // namespace
