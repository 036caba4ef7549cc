// Remote sources that misbehave: servers that close in the middle of the
// status line, the headers or the body, answer with error or redirect
// statuses, or stall before or during a reply.  Opening, reading a BAM file
// and loading a FASTA index over each must fail with a message naming the
// cause, in bounded time, and leave nothing behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bam/sam.h"
#include "common/test_server.h"
#include "common/test_util.h"
#include "index/bam_index.h"
#include "io/faidx.h"
#include "io/knetfile.h"

namespace {

using test_util::env_guard;
using test_util::run;
using test_util::scoped_value;
using test_util::scratch_dir;
using test_util::test_server;

// More than two download pieces of 1 MiB.
constexpr size_t blob_size = 2500000;
// Time-outs, chosen so that a loaded machine cannot change a case's outcome.
// A wait that ends at the time-out lasts at least the time-out, so the time a
// case takes shows what ended it: where the server closes, the case runs with
// a time-out it never reaches and must end before it; where the server
// stalls, the case must last at least its time-out (it waited) and end long
// before the servers' 30-second lifetime (the wait has an end).
constexpr int closes_ms = 10000;        // the server closes: never reached
constexpr int nothing_ms = 300;         // the server sends nothing at all
constexpr int replies_first_ms = 2000;  // some replies or bytes come before the stall
constexpr auto no_end = std::chrono::seconds(20);

void expect_ended_by_the_right_cause(std::chrono::steady_clock::duration took, int wait_ms) {
    const auto wait = std::chrono::milliseconds(wait_ms);
    if (wait_ms == closes_ms) {
        EXPECT_LT(took, wait) << "the server closed, yet the wait ran into the time-out";
    } else {
        EXPECT_GE(took, wait) << "the wait ended before the time-out with the server stalled";
        EXPECT_LT(took, no_end) << "the wait did not end at the time-out";
    }
}

struct failure_case {
    const char* protocol;
    std::vector<std::string> args;
    int wait_ms;          // the time-out for the case
    const char* message;  // the one line naming the cause
};

// What each kind of misbehaviour must be reported as.
const failure_case open_failures[] = {
    {"http",
     {"--mode", "cut-status"},
     closes_ms,
     "[khttp_connect_file] the HTTP response header is incomplete (11 bytes arrived).\n"},
    {"http",
     {"--mode", "cut-header"},
     closes_ms,
     "[khttp_connect_file] the HTTP response header is incomplete (27 bytes arrived).\n"},
    {"http",
     {"--mode", "stall-header"},
     nothing_ms,
     "[khttp_connect_file] the HTTP response header is incomplete (0 bytes arrived).\n"},
    {"http",
     {"--mode", "stall-mid-header"},
     replies_first_ms,
     "[khttp_connect_file] the HTTP response header is incomplete (17 bytes arrived).\n"},
    {"http", {"--mode", "status-500"}, closes_ms, "[khttp_connect_file] fail to open file (HTTP code: 500).\n"},
    {"http", {"--mode", "redirect"}, closes_ms, "[khttp_connect_file] fail to open file (HTTP code: 302).\n"},
    {"ftp", {"--mode", "stall-greeting"}, nothing_ms, "[kftp_connect] no greeting from the FTP server.\n"},
    {"ftp", {"--mode", "close-greeting"}, closes_ms, "[kftp_connect] no greeting from the FTP server.\n"},
    {"ftp", {"--mode", "stall-pasv"}, replies_first_ms, "[kftp_connect_file] no reply from the FTP server to PASV.\n"},
    {"ftp", {"--mode", "close-pasv"}, closes_ms, "[kftp_connect_file] no reply from the FTP server to PASV.\n"},
    {"ftp", {"--mode", "stall-retr"}, replies_first_ms, "[kftp_connect_file] no reply from the FTP server to RETR.\n"},
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Serves a BAM file and a FASTA file with its index; HTTP goes without a
// proxy.  Cases run with the time-out for servers that close unless they set
// another.
class RemoteFailure : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new scratch_dir;
        const std::string sam = dir_->file("in.sam");
        ASSERT_EQ(run({ALNSIM_PATH, "--seed", "5", "--records", "4000", "--sam", sam}).status, 0);
        {
            samfile_ptr in(samopen(sam.c_str(), "r", nullptr));
            samfile_ptr out(samopen(dir_->file("reads.bam").c_str(), "wb", in->header));
            bam1_ptr b = bam1_make();
            while (samread(in.get(), b.get()) >= 0) samwrite(out.get(), b.get());
        }
        const std::string fa = dir_->file("ref.fa");
        ASSERT_EQ(run({ALNSIM_PATH, "--seed", "5", "--refs", "2", "--ref-len", "20000", "--records", "0", "--fasta", fa}).status,
                  0);
        ASSERT_EQ(fai_build(fa.c_str()), 0);
        // Served as the index of reads.bam: only its transfer matters here.
        test_util::write_file(dir_->file("reads.bam.bai"), test_util::random_bytes(20000, 5));
        test_util::write_file(dir_->file("blob.bin"), test_util::random_bytes(blob_size, 6));
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    std::unique_ptr<test_server> start(const std::string& protocol, const std::vector<std::string>& extra) {
        std::vector<std::string> args{protocol, dir_->path()};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<test_server>(args, work_.file("server.err"));
    }
    // The URL of `name`; FTP control connections are pointed at the server.
    std::string url(const test_server& srv, const std::string& protocol, const std::string& name) {
        if (protocol == "http") return srv.url("http", "/" + name);
        ftp_port_ = std::to_string(srv.port());
        knet_ftp_port = ftp_port_.c_str();
        return "ftp://127.0.0.1/" + name;
    }

    void SetUp() override { old_cwd_ = std::filesystem::current_path(); }
    void TearDown() override {
        std::filesystem::current_path(old_cwd_);
        knet_ftp_port = "21";
    }

    static scratch_dir* dir_;
    scratch_dir work_;
    std::string ftp_port_;
    std::filesystem::path old_cwd_;
    scoped_value<int> wait_{knet_timeout_ms, closes_ms};
    env_guard no_proxy_{"http_proxy", std::nullopt};
};
scratch_dir* RemoteFailure::dir_ = nullptr;

TEST_F(RemoteFailure, OpeningBamFailsWithOneLineInBoundedTime) {
    for (const auto& c : open_failures) {
        SCOPED_TRACE(std::string(c.protocol) + " " + c.args.back());
        scoped_value<int> wait(knet_timeout_ms, c.wait_ms);
        auto srv = start(c.protocol, c.args);
        ASSERT_GT(srv->port(), 0);
        const std::string u = url(*srv, c.protocol, "reads.bam");
        const auto t0 = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        samfile_ptr in(samopen(u.c_str(), "rb", nullptr));
        const std::string err = testing::internal::GetCapturedStderr();
        expect_ended_by_the_right_cause(std::chrono::steady_clock::now() - t0, c.wait_ms);
        EXPECT_FALSE(in);
        EXPECT_EQ(err, c.message);
    }
}

TEST_F(RemoteFailure, LoadingFastaIndexFailsAndLeavesNoCopy) {
    std::filesystem::current_path(work_.path());
    for (const auto& c : open_failures) {
        SCOPED_TRACE(std::string(c.protocol) + " " + c.args.back());
        scoped_value<int> wait(knet_timeout_ms, c.wait_ms);
        auto srv = start(c.protocol, c.args);
        ASSERT_GT(srv->port(), 0);
        const std::string u = url(*srv, c.protocol, "ref.fa");
        const auto t0 = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        faidx_t* fai = fai_load(u.c_str());
        const std::string err = testing::internal::GetCapturedStderr();
        expect_ended_by_the_right_cause(std::chrono::steady_clock::now() - t0, c.wait_ms);
        EXPECT_EQ(fai, nullptr);
        fai_destroy(fai);
        const auto lines = lines_of(err);
        ASSERT_EQ(lines.size(), 3u) << err;
        EXPECT_EQ(lines[0] + "\n", c.message);
        EXPECT_EQ(lines[2], "[fai_load] failed to open remote FASTA index " + u + ".fai");
        EXPECT_FALSE(std::filesystem::exists("ref.fa.fai"));
    }
}

// Bodies that stop early: closed after some bytes, or stalled.  Where the
// server announced the size, the early close is reported as such.
TEST_F(RemoteFailure, BodyCutOrStalledEndsTheBamRead) {
    struct body_case {
        const char* protocol;
        std::vector<std::string> args;
        int wait_ms;
        std::string message;
    };
    const std::string stalled =
        "[knet_read] no data from the server for " + std::to_string(replies_first_ms) + " ms at byte 40000; transfer abandoned.";
    const body_case cases[] = {
        {"http", {"--cut", "40000"}, closes_ms, "[knet_read] the connection ended at byte 40000 of "},
        {"ftp", {"--cut", "40000"}, closes_ms, "[knet_read] the connection ended at byte 40000 of "},
        {"http", {"--stall", "40000"}, replies_first_ms, stalled},
        {"ftp", {"--stall", "40000"}, replies_first_ms, stalled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + " " + c.args[0]);
        scoped_value<int> wait(knet_timeout_ms, c.wait_ms);
        auto srv = start(c.protocol, c.args);
        ASSERT_GT(srv->port(), 0);
        const std::string u = url(*srv, c.protocol, "reads.bam");
        const auto t0 = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        int r = 0, n = 0;
        {
            samfile_ptr in(samopen(u.c_str(), "rb", nullptr));
            ASSERT_TRUE(in && in->header);
            bam1_ptr b = bam1_make();
            while ((r = samread(in.get(), b.get())) >= 0) ++n;
        }
        const std::string err = testing::internal::GetCapturedStderr();
        expect_ended_by_the_right_cause(std::chrono::steady_clock::now() - t0, c.wait_ms);
        EXPECT_LT(r, -1) << "the truncation is an error, not the end of the file";
        EXPECT_GT(n, 0);
        EXPECT_LT(n, 4000);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}

// The same over the command line (HTTP only: FTP URLs cannot name a test
// port): the message of the transfer, the command's verdict, and status 1.
TEST_F(RemoteFailure, ViewCommandReportsACutTransfer) {
    auto srv = start("http", {"--cut", "40000"});
    ASSERT_GT(srv->port(), 0);
    auto res = test_util::run_alnkit({"view", url(*srv, "http", "reads.bam")});
    EXPECT_EQ(res.status, 1);
    const auto lines = lines_of(res.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("[main_samview] ", 0), 0u) << res.err;  // the command's verdict comes last
    EXPECT_NE(res.err.find("[knet_read] the connection ended at byte 40000 of "), std::string::npos) << res.err;
}

// A FASTA whose data stalls after its index arrived: the fetch stops at the
// timeout with the message and fails (-1), as the bases that came are fewer
// than the index promises.
TEST_F(RemoteFailure, FastaFetchOverAStalledBodyStopsAtTheTimeout) {
    std::filesystem::current_path(work_.path());
    scoped_value<int> wait(knet_timeout_ms, replies_first_ms);
    auto srv = start("http", {"--stall", "8000"});
    ASSERT_GT(srv->port(), 0);
    const std::string u = url(*srv, "http", "ref.fa");
    testing::internal::CaptureStderr();
    faidx_t* fai = fai_load(u.c_str());
    ASSERT_NE(fai, nullptr) << testing::internal::GetCapturedStderr();
    const auto t0 = std::chrono::steady_clock::now();
    int len = 0;
    char* s = fai_fetch(fai, "chr1:1-15000", &len);
    const std::string err = testing::internal::GetCapturedStderr();
    expect_ended_by_the_right_cause(std::chrono::steady_clock::now() - t0, replies_first_ms);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(len, -1);
    EXPECT_NE(err.find("[knet_read] no data from the server for " + std::to_string(replies_first_ms) + " ms"), std::string::npos)
        << err;
    std::free(s);
    fai_destroy(fai);
}

// An index download cut short is not kept: the next load must not find a
// partial copy and trust it.
TEST_F(RemoteFailure, CutIndexDownloadLeavesNoCopy) {
    std::filesystem::current_path(work_.path());
    for (const char* protocol : {"http", "ftp"}) {
        SCOPED_TRACE(protocol);
        auto srv = start(protocol, {"--cut", "10"});
        ASSERT_GT(srv->port(), 0);
        const std::string u = url(*srv, protocol, "ref.fa");
        testing::internal::CaptureStderr();
        faidx_t* fai = fai_load(u.c_str());
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(fai, nullptr);
        fai_destroy(fai);
        EXPECT_NE(err.find("[knet_read] the connection ended at byte 10 of "), std::string::npos) << err;
        EXPECT_FALSE(std::filesystem::exists("ref.fa.fai"));
    }
}

// The download helper keeps a copy only when every byte arrived and was
// written; whatever failed, no file is left under the local name.
TEST_F(RemoteFailure, DownloadKeepsOnlyWholeCopies) {
    struct download_case {
        const char* protocol;
        std::vector<std::string> args;
        const char* name;
        knet_download_status status;
    };
    const download_case cases[] = {
        {"http", {}, "blob.bin", knet_download_ok},
        {"ftp", {}, "blob.bin", knet_download_ok},
        {"http", {"--cut", "1500000"}, "blob.bin", knet_download_read_failed},
        {"ftp", {"--cut", "1500000"}, "blob.bin", knet_download_read_failed},
        {"http", {"--stall", "100000"}, "blob.bin", knet_download_read_failed},
        {"http", {"--mode", "status-500"}, "blob.bin", knet_download_open_failed},
        {"ftp", {"--mode", "close-pasv"}, "blob.bin", knet_download_open_failed},
        {"http", {}, "absent.bin", knet_download_open_failed},
    };
    const std::string local = work_.file("copy.bin");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + " " + (c.args.empty() ? "whole" : c.args.back()) + " " + c.name);
        // A stalled transfer ends at the time-out; the others never reach it.
        const bool stalls = !c.args.empty() && c.args[0] == "--stall";
        scoped_value<int> wait(knet_timeout_ms, stalls ? replies_first_ms : closes_ms);
        auto srv = start(c.protocol, c.args);
        ASSERT_GT(srv->port(), 0);
        testing::internal::CaptureStderr();
        const knet_download_status st = knet_download(url(*srv, c.protocol, c.name).c_str(), local.c_str());
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(st, c.status);
        if (c.status == knet_download_ok) {
            EXPECT_TRUE(test_util::read_file(local) == test_util::read_file(dir_->file("blob.bin")));
            std::filesystem::remove(local);
        } else {
            EXPECT_FALSE(std::filesystem::exists(local));
        }
    }
    // A local file that cannot be created, or not written whole.
    auto srv = start("http", {});
    ASSERT_GT(srv->port(), 0);
    const std::string u = url(*srv, "http", "blob.bin");
    EXPECT_EQ(knet_download(u.c_str(), work_.file("no/such/dir").c_str()), knet_download_create_failed);
    pid_t pid = fork();
    if (pid == 0) {  // limited to 64 KiB files, away from the test process
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{65536, 65536};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(static_cast<int>(knet_download(u.c_str(), local.c_str())));
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ASSERT_TRUE(WIFEXITED(wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), knet_download_write_failed);
    EXPECT_FALSE(std::filesystem::exists(local));
}

// Both index loaders use it: a cut transfer leaves no index behind, and a
// copy that cannot be written fails the command with a message naming it.
TEST_F(RemoteFailure, IndexDownloadsThatFailLeaveNoCopy) {
    std::filesystem::current_path(work_.path());
    auto cut = start("http", {"--cut", "10"});
    ASSERT_GT(cut->port(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(bam_index_load(url(*cut, "http", "reads.bam").c_str()), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[knet_read] the connection ended at byte 10 of 20000.\n"), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with("[bam_index_load] fail to load BAM index.\n")) << err;
    EXPECT_FALSE(std::filesystem::exists("reads.bam.bai"));

    auto srv = start("http", {});
    ASSERT_GT(srv->port(), 0);
    struct command_case {
        std::vector<std::string> args;
        std::vector<std::string> messages;
        const char* local;
    };
    const std::string bam = url(*srv, "http", "reads.bam"), fa = url(*srv, "http", "ref.fa");
    const command_case cases[] = {
        {{"idxstats", bam},
         {"[download_from_remote] fail to write reads.bam.bai\n", "[bam_idxstats] fail to load the index.\n"},
         "reads.bam.bai"},
        {{"faidx", fa, "chr1:1-10"},
         {"[download_from_remote] fail to write ref.fa.fai\n", "[fai_load] failed to open remote FASTA index " + fa + ".fai\n"},
         "ref.fa.fai"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> argv{ALNKIT_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = test_util::run_file_limited(argv, 0, "", work_.path());
        EXPECT_EQ(r.status, 1);
        for (const auto& m : c.messages) EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(work_.file(c.local)));
    }
}

}  // namespace
