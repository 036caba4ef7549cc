// Checked text output: what reaches a file, the first failure remembered
// whether it shows at once or only when the buffer is flushed, and nothing
// written after it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/test_util.h"
#include "io/text_out.h"

namespace {

TEST(TextOut, WritesEveryFormToTheFile) {
    test_util::scratch_dir dir;
    const std::string fn = dir.file("out.txt");
    text_out_t* out = text_out_open(fn.c_str());
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(text_out_puts(out, "@SQ"), 0);
    EXPECT_EQ(text_out_putc(out, '\t'), 0);
    EXPECT_EQ(text_out_printf(out, "LN:%d\n", 1234), 0);
    EXPECT_EQ(text_out_write(out, "ACGT\n", 5), 0);
    EXPECT_FALSE(text_out_has_failed(out));
    EXPECT_EQ(text_out_close(out), 0);
    EXPECT_EQ(test_util::read_file(fn), "@SQ\tLN:1234\nACGT\n");
    EXPECT_EQ(text_out_open(dir.file("no/such/dir").c_str()), nullptr);
}

// /dev/full refuses every byte with ENOSPC: a small write waits in the
// buffer and fails at the close, a large one fails at once.
TEST(TextOut, FullDeviceFailsNowOrAtTheClose) {
    const std::string big(1 << 20, 'A');
    struct row {
        const char* what;
        int (*write)(text_out_t*, const std::string&);
        bool fails_at_once;
    };
    const row rows[] = {
        {"small write", [](text_out_t* o, const std::string&) { return text_out_write(o, "AC\n", 3); }, false},
        {"small printf", [](text_out_t* o, const std::string&) { return text_out_printf(o, "%d\n", 42); }, false},
        {"large write", [](text_out_t* o, const std::string& s) { return text_out_write(o, s.data(), s.size()); }, true},
        {"large printf", [](text_out_t* o, const std::string& s) { return text_out_printf(o, "%s", s.c_str()); }, true},
    };
    for (const row& c : rows) {
        SCOPED_TRACE(c.what);
        text_out_t* out = text_out_open("/dev/full");
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(c.write(out, big), c.fails_at_once ? -1 : 0);
        EXPECT_EQ(text_out_has_failed(out), c.fails_at_once);
        if (c.fails_at_once) {
            EXPECT_EQ(text_out_puts(out, "more"), -1);
        }
        errno = 0;
        EXPECT_EQ(text_out_close(out), -1);
        EXPECT_EQ(errno, ENOSPC);
    }
}

// A file that hits its size limit and then could grow again (the disk
// freed up): the output must not go on after the hole.
TEST(TextOut, NothingIsWrittenAfterTheFirstFailure) {
    test_util::scratch_dir dir;
    const std::string fn = dir.file("out.txt");
    constexpr rlim_t limit = 65536;
    pid_t pid = fork();
    if (pid == 0) {  // the limit stays in the child
        signal(SIGXFSZ, SIG_IGN);
        rlimit old{}, lower{};
        getrlimit(RLIMIT_FSIZE, &old);
        lower = {limit, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lower);
        text_out_t* out = text_out_open(fn.c_str());
        const std::string piece(100000, 'C');
        const bool failed = out && text_out_write(out, piece.data(), piece.size()) == -1;
        setrlimit(RLIMIT_FSIZE, &old);
        const bool refused = out && text_out_write(out, piece.data(), piece.size()) == -1;
        const bool reported = text_out_close(out) == -1 && errno == EFBIG;
        _exit(failed && refused && reported ? 0 : 1);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    struct stat st {};
    ASSERT_EQ(stat(fn.c_str(), &st), 0);
    EXPECT_LE(st.st_size, static_cast<off_t>(limit));
}

}  // namespace
