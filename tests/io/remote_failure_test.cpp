// Remote sources that misbehave: servers that close in the middle of the
// status line, the headers or the body, answer with error or redirect
// statuses, or stall before or during a reply.  Opening, reading a BAM file
// and loading a FASTA index over each must fail with a message naming the
// cause, in bounded time, and leave nothing behind.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bam/sam.h"
#include "common/test_server.h"
#include "common/test_util.h"
#include "io/faidx.h"
#include "io/knetfile.h"

namespace {

using test_util::env_guard;
using test_util::run;
using test_util::scoped_value;
using test_util::scratch_dir;
using test_util::test_server;

constexpr int quick_ms = 300;
// Each case waits for at most a few timeouts: connect, a reply or two.
constexpr auto bound = std::chrono::seconds(5);

struct failure_case {
    const char* protocol;
    std::vector<std::string> args;
    const char* message;  // the one line naming the cause
};

// What each kind of misbehaviour must be reported as.
const failure_case open_failures[] = {
    {"http", {"--mode", "cut-status"}, "[khttp_connect_file] the HTTP response header is incomplete (11 bytes arrived).\n"},
    {"http", {"--mode", "cut-header"}, "[khttp_connect_file] the HTTP response header is incomplete (27 bytes arrived).\n"},
    {"http", {"--mode", "stall-header"}, "[khttp_connect_file] the HTTP response header is incomplete (0 bytes arrived).\n"},
    {"http", {"--mode", "stall-mid-header"},
     "[khttp_connect_file] the HTTP response header is incomplete (17 bytes arrived).\n"},
    {"http", {"--mode", "status-500"}, "[khttp_connect_file] fail to open file (HTTP code: 500).\n"},
    {"http", {"--mode", "redirect"}, "[khttp_connect_file] fail to open file (HTTP code: 302).\n"},
    {"ftp", {"--mode", "stall-greeting"}, "[kftp_connect] no greeting from the FTP server.\n"},
    {"ftp", {"--mode", "close-greeting"}, "[kftp_connect] no greeting from the FTP server.\n"},
    {"ftp", {"--mode", "stall-pasv"}, "[kftp_connect_file] no reply from the FTP server to PASV.\n"},
    {"ftp", {"--mode", "close-pasv"}, "[kftp_connect_file] no reply from the FTP server to PASV.\n"},
    {"ftp", {"--mode", "stall-retr"}, "[kftp_connect_file] no reply from the FTP server to RETR.\n"},
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Serves a BAM file and a FASTA file with its index; HTTP goes without a
// proxy and every wait is short.
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
        ASSERT_EQ(run({ALNSIM_PATH, "--seed", "5", "--refs", "2", "--ref-len", "20000", "--records", "0", "--fasta", fa})
                      .status,
                  0);
        ASSERT_EQ(fai_build(fa.c_str()), 0);
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
    scoped_value<int> quick_{knet_timeout_ms, quick_ms};
    env_guard no_proxy_{"http_proxy", std::nullopt};
};
scratch_dir* RemoteFailure::dir_ = nullptr;

TEST_F(RemoteFailure, OpeningBamFailsWithOneLineInBoundedTime) {
    for (const auto& c : open_failures) {
        SCOPED_TRACE(std::string(c.protocol) + " " + c.args.back());
        auto srv = start(c.protocol, c.args);
        ASSERT_GT(srv->port(), 0);
        const std::string u = url(*srv, c.protocol, "reads.bam");
        const auto t0 = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        samfile_ptr in(samopen(u.c_str(), "rb", nullptr));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, bound);
        EXPECT_FALSE(in);
        EXPECT_EQ(err, c.message);
    }
}

TEST_F(RemoteFailure, LoadingFastaIndexFailsAndLeavesNoCopy) {
    std::filesystem::current_path(work_.path());
    for (const auto& c : open_failures) {
        SCOPED_TRACE(std::string(c.protocol) + " " + c.args.back());
        auto srv = start(c.protocol, c.args);
        ASSERT_GT(srv->port(), 0);
        const std::string u = url(*srv, c.protocol, "ref.fa");
        const auto t0 = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        faidx_t* fai = fai_load(u.c_str());
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, bound);
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
        const char* message;
    };
    const body_case cases[] = {
        {"http", {"--cut", "40000"}, "[knet_read] the connection ended at byte 40000 of "},
        {"ftp", {"--cut", "40000"}, "[knet_read] the connection ended at byte 40000 of "},
        {"http", {"--stall", "40000"}, "[knet_read] no data from the server for 300 ms at byte 40000; transfer abandoned."},
        {"ftp", {"--stall", "40000"}, "[knet_read] no data from the server for 300 ms at byte 40000; transfer abandoned."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + " " + c.args[0]);
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
        EXPECT_LT(std::chrono::steady_clock::now() - t0, bound);
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
    EXPECT_LT(std::chrono::steady_clock::now() - t0, bound);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(len, -1);
    EXPECT_NE(err.find("[knet_read] no data from the server for 300 ms"), std::string::npos) << err;
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

}  // namespace
