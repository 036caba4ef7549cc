// Remote-file tests.  Local reads and seeks are checked against the file;
// HTTP and FTP transfers come from the loopback servers of test_servers.py
// (one process per test, killed when the test ends) and are compared byte
// for byte with the file served, while the server's request log shows what
// the handle asked for.
#include "io/knetfile.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_server.h"
#include "common/test_util.h"

namespace {

using test_util::env_guard;
using test_util::knet_ptr;
using test_util::random_bytes;
using test_util::read_file;
using test_util::scoped_value;
using test_util::scratch_dir;
using test_util::test_server;
using test_util::write_file;

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Reads until the end, cycling through the given chunk sizes.
std::string read_to_end(knetFile* fp, const std::vector<size_t>& chunks) {
    std::string out;
    std::vector<char> buf(*std::max_element(chunks.begin(), chunks.end()));
    for (size_t i = 0;; ++i) {
        ssize_t n = knet_read(fp, buf.data(), chunks[i % chunks.size()]);
        if (n <= 0) break;
        out.append(buf.data(), static_cast<size_t>(n));
    }
    return out;
}

std::string read_some(knetFile* fp, size_t len) {
    std::string out(len, '\0');
    ssize_t n = knet_read(fp, out.data(), len);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

const std::vector<size_t> odd_chunks{1, 7, 20, 4093, 65537, 333};


std::string http_request(int64_t off) { return "/data.bin\t127.0.0.1\tbytes=" + std::to_string(off) + "-"; }

// A loopback port with nothing listening on it.
int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

TEST(KnetLocal, ReadsAndSeeksMatchTheFile) {
    scratch_dir dir;
    std::string data = random_bytes(100000, 7);
    write_file(dir.file("data.bin"), data);

    knet_ptr fp(knet_open(dir.file("data.bin").c_str(), "r"));
    ASSERT_TRUE(fp);
    EXPECT_FALSE(knet_is_remote(dir.file("data.bin").c_str()));
    EXPECT_EQ(read_to_end(fp.get(), odd_chunks), data);
    EXPECT_EQ(knet_tell(fp.get()), 100000);

    struct step {
        int64_t off;
        int whence;
        int64_t expect_pos;
        size_t len;
    };
    const step steps[] = {
        {5000, SEEK_SET, 5000, 100}, {-50, SEEK_CUR, 5050, 30}, {-10, SEEK_END, 99990, 100},   {0, SEEK_SET, 0, 1},
        {99999, SEEK_SET, 99999, 5}, {-99999, SEEK_CUR, 1, 64}, {200000, SEEK_SET, 200000, 8},  // past the end: reads nothing
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.expect_pos);
        ASSERT_EQ(knet_seek(fp.get(), s.off, s.whence), 0);
        EXPECT_EQ(knet_tell(fp.get()), s.expect_pos);
        std::string expect = s.expect_pos < 100000 ? data.substr(s.expect_pos, s.len) : "";
        EXPECT_EQ(read_some(fp.get(), s.len), expect);
        EXPECT_EQ(knet_tell(fp.get()), s.expect_pos + static_cast<int64_t>(expect.size()));
    }
    EXPECT_EQ(knet_seek(fp.get(), -1, SEEK_SET), -1);

    int fd = open(dir.file("data.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    knet_ptr dfp(knet_dopen(fd, "r"));
    ASSERT_TRUE(dfp);
    EXPECT_EQ(read_to_end(dfp.get(), {4096}), data);
}

TEST(KnetLocal, OpenFailuresReportAndReturnNull) {
    scratch_dir dir;
    write_file(dir.file("a"), "x");
    testing::internal::CaptureStderr();
    EXPECT_EQ(knet_open(dir.file("a").c_str(), "w"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[kftp_open] only mode \"r\" is supported.\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(knet_open(dir.file("missing").c_str(), "r"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("open: ") + std::strerror(ENOENT) + "\n");
    EXPECT_EQ(knet_close(nullptr), 0);
}

// Serves a 1 MB random file; HTTP tests run without any proxy from the
// environment unless they set one.
class KnetRemote : public testing::Test {
protected:
    void SetUp() override { write_file(dir_.file("data.bin"), data_); }

    std::unique_ptr<test_server> start(const std::string& protocol, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{protocol, dir_.path(), "--log", log_path()};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<test_server>(args, dir_.file("server.err"));
    }
    // FTP URLs carry no port: the control connection is pointed at `port`.
    static knet_ptr open_ftp(int port, const std::string& path) {
        std::string port_text = std::to_string(port);
        scoped_value<const char*> redirect(knet_ftp_port, port_text.c_str());
        return knet_ptr(knet_open(("ftp://127.0.0.1" + path).c_str(), "r"));
    }
    std::string log_path() const { return dir_.file("requests.log"); }
    std::vector<std::string> log_lines() const {
        std::ifstream probe(log_path());
        return probe ? split_lines(read_file(log_path())) : std::vector<std::string>{};
    }
    size_t count_log(const std::string& line) const {
        auto lines = log_lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }

    // Seeks to random offsets (from the start and from the current position)
    // and compares each read with the file; `request` is the log line that
    // starts a transfer at an offset.
    void check_random_seeks(knetFile* fp, const std::function<std::string(int64_t)>& request) {
        std::mt19937 rng(99);
        for (int i = 0; i < 8; ++i) {
            int64_t target = static_cast<int64_t>(rng() % data_.size());
            size_t len = 1 + rng() % 70000;
            if (i % 2 == 0) ASSERT_EQ(knet_seek(fp, target, SEEK_SET), 0);
            else ASSERT_EQ(knet_seek(fp, target - knet_tell(fp), SEEK_CUR), 0);
            ASSERT_EQ(knet_tell(fp), target);
            std::string got;
            while (got.size() < len) {  // a read may stop at the end of the file
                std::string part = read_some(fp, len - got.size());
                if (part.empty()) break;
                got += part;
            }
            EXPECT_EQ(got, data_.substr(static_cast<size_t>(target), len)) << "offset " << target;
            EXPECT_EQ(count_log(request(target)), 1u) << "offset " << target;
        }
    }

    scratch_dir dir_;
    std::string data_ = random_bytes((1 << 20) + 12345, 42);
    env_guard no_proxy_{"http_proxy", std::nullopt};
};

TEST_F(KnetRemote, HttpSequentialReadMatchesFile) {
    auto srv = start("http");
    ASSERT_GT(srv->port(), 0);
    knet_ptr fp(knet_open(srv->url("http", "/data.bin").c_str(), "r"));
    ASSERT_TRUE(fp);
    EXPECT_EQ(fp->type, KNF_TYPE_HTTP);
    EXPECT_EQ(read_to_end(fp.get(), odd_chunks), data_);
    EXPECT_EQ(knet_tell(fp.get()), static_cast<int64_t>(data_.size()));
    // One request for the whole sequential read.
    EXPECT_EQ(log_lines(), std::vector<std::string>{"/data.bin\t127.0.0.1\tbytes=0-"});
}

// A server honouring Range, then one sending the whole file each time.
TEST_F(KnetRemote, HttpSeeksStartNewTransfersAtTheOffset) {
    for (const char* mode : {"range", "full"}) {
        SCOPED_TRACE(mode);
        std::remove(log_path().c_str());
        auto srv = start("http", {"--mode", mode});
        ASSERT_GT(srv->port(), 0);
        knet_ptr fp(knet_open(srv->url("http", "/data.bin").c_str(), "r"));
        ASSERT_TRUE(fp);
        check_random_seeks(fp.get(), http_request);

        // A seek to the current offset keeps the running transfer.
        size_t before = log_lines().size();
        int64_t pos = knet_tell(fp.get());
        ASSERT_EQ(knet_seek(fp.get(), pos, SEEK_SET), 0);
        EXPECT_EQ(read_some(fp.get(), 10), data_.substr(static_cast<size_t>(pos), 10));
        EXPECT_EQ(log_lines().size(), before);
    }
}

TEST_F(KnetRemote, HttpProxyGetsTheFullUrlAndTheOriginHost) {
    auto srv = start("http");
    ASSERT_GT(srv->port(), 0);
    const std::string proxies[] = {"http://127.0.0.1:" + std::to_string(srv->port()) + "/",
                                   "127.0.0.1:" + std::to_string(srv->port())};
    for (const auto& proxy : proxies) {
        SCOPED_TRACE(proxy);
        env_guard env("http_proxy", proxy);
        // The origin does not resolve: only the proxy is ever contacted.
        knet_ptr fp(knet_open("http://origin.invalid:8123/data.bin", "r"));
        ASSERT_TRUE(fp);
        EXPECT_EQ(read_some(fp.get(), 5000), data_.substr(0, 5000));
    }
    std::string expect = "http://origin.invalid:8123/data.bin\torigin.invalid\tbytes=0-";
    EXPECT_EQ(log_lines(), (std::vector<std::string>{expect, expect}));
}

TEST_F(KnetRemote, HttpSeekFromTheEndFailsAndKeepsTheTransfer) {
    auto srv = start("http");
    ASSERT_GT(srv->port(), 0);
    knet_ptr fp(knet_open(srv->url("http", "/data.bin").c_str(), "r"));
    ASSERT_TRUE(fp);
    EXPECT_EQ(read_some(fp.get(), 100), data_.substr(0, 100));
    errno = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(knet_seek(fp.get(), -10, SEEK_END), -1);
    int err = errno;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[knet_seek] SEEK_END is not supported for HTTP. Offset is unchanged.\n");
    EXPECT_EQ(err, ESPIPE);
    EXPECT_EQ(knet_tell(fp.get()), 100);
    EXPECT_EQ(read_some(fp.get(), 100), data_.substr(100, 100));
    EXPECT_EQ(log_lines().size(), 1u);
}

TEST_F(KnetRemote, HttpErrorStatusesFailWithTheCode) {
    auto srv = start("http");
    ASSERT_GT(srv->port(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(knet_open(srv->url("http", "/missing.bin").c_str(), "r"), nullptr);
    // Without a path the request target is "/" (which this server lacks).
    EXPECT_EQ(knet_open(srv->url("http", "").c_str(), "r"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[khttp_connect_file] fail to open file (HTTP code: 404).\n"
              "[khttp_connect_file] fail to open file (HTTP code: 404).\n");
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "/\t127.0.0.1\tbytes=0-");

    // Past the end the server refuses the range; the read yields nothing,
    // also afterwards.
    knet_ptr fp(knet_open(srv->url("http", "/data.bin").c_str(), "r"));
    ASSERT_TRUE(fp);
    ASSERT_EQ(knet_seek(fp.get(), static_cast<int64_t>(data_.size()) + 10, SEEK_SET), 0);
    char buf[16];
    testing::internal::CaptureStderr();
    EXPECT_EQ(knet_read(fp.get(), buf, sizeof buf), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[khttp_connect_file] fail to open file (HTTP code: 416).\n");
    ASSERT_EQ(knet_seek(fp.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(knet_read(fp.get(), buf, sizeof buf), 0);
}

TEST_F(KnetRemote, HttpConnectionRefusedFailsOpen) {
    int port = closed_port();
    ASSERT_GT(port, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(knet_open(("http://127.0.0.1:" + std::to_string(port) + "/data.bin").c_str(), "r"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("connect: ") + std::strerror(ECONNREFUSED) + "\n");
}

TEST_F(KnetRemote, HttpBadHeadersFailOpenInBoundedTime) {
    {
        auto srv = start("http", {"--mode", "big-header"});
        ASSERT_GT(srv->port(), 0);
        EXPECT_EQ(knet_open(srv->url("http", "/data.bin").c_str(), "r"), nullptr);
    }
    // No reply at all: the open waits for the time-out (at least that long,
    // however loaded the machine) and then gives up, long before the
    // server's 30-second lifetime would end the wait.
    const int wait_ms = 300;
    scoped_value<int> quick(knet_timeout_ms, wait_ms);
    auto srv = start("http", {"--mode", "stall-header"});
    ASSERT_GT(srv->port(), 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(knet_open(srv->url("http", "/data.bin").c_str(), "r"), nullptr);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(wait_ms));
    EXPECT_LT(took, std::chrono::seconds(20));
}

TEST_F(KnetRemote, HttpEarlyCloseEndsTheData) {
    const size_t cut = 300000;
    {
        auto srv = start("http", {"--cut", std::to_string(cut)});
        ASSERT_GT(srv->port(), 0);
        knet_ptr fp(knet_open(srv->url("http", "/data.bin").c_str(), "r"));
        ASSERT_TRUE(fp);
        EXPECT_EQ(read_to_end(fp.get(), {65536}), data_.substr(0, cut));
    }
    // A 200 reply ending before the offset: the skip stops, no data.
    auto srv = start("http", {"--mode", "full", "--cut", std::to_string(cut)});
    ASSERT_GT(srv->port(), 0);
    knet_ptr fp(knet_open(srv->url("http", "/data.bin").c_str(), "r"));
    ASSERT_TRUE(fp);
    ASSERT_EQ(knet_seek(fp.get(), cut / 2, SEEK_SET), 0);
    EXPECT_EQ(read_to_end(fp.get(), {65536}), data_.substr(cut / 2, cut - cut / 2));
    ASSERT_EQ(knet_seek(fp.get(), cut + 1000, SEEK_SET), 0);
    char buf[64];
    EXPECT_EQ(knet_read(fp.get(), buf, sizeof buf), 0);
    EXPECT_EQ(knet_read(fp.get(), buf, sizeof buf), 0);
}

// The time-out leaves the server time to send the bytes before the stall
// even on a loaded machine; the read lasts at least the time-out and ends
// long before the server's lifetime.
TEST_F(KnetRemote, StalledHttpServerEndsTheReadAtTheTimeout) {
    const int wait_ms = 2000;
    scoped_value<int> wait(knet_timeout_ms, wait_ms);
    const size_t stall = 70000;
    auto srv = start("http", {"--stall", std::to_string(stall)});
    ASSERT_GT(srv->port(), 0);
    knet_ptr fp(knet_open(srv->url("http", "/data.bin").c_str(), "r"));
    ASSERT_TRUE(fp);
    std::string buf(data_.size(), '\0');
    auto t0 = std::chrono::steady_clock::now();
    ssize_t n = knet_read(fp.get(), buf.data(), buf.size());
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(wait_ms));
    EXPECT_LT(took, std::chrono::seconds(20));
    ASSERT_EQ(n, static_cast<ssize_t>(stall));
    EXPECT_EQ(buf.substr(0, stall), data_.substr(0, stall));
    EXPECT_EQ(knet_tell(fp.get()), static_cast<int64_t>(stall));
}

TEST_F(KnetRemote, FtpSequentialReadMatchesFile) {
    auto srv = start("ftp");
    ASSERT_GT(srv->port(), 0);
    knet_ptr fp = open_ftp(srv->port(), "/data.bin");
    ASSERT_TRUE(fp);
    EXPECT_EQ(fp->type, KNF_TYPE_FTP);
    EXPECT_EQ(fp->file_size, static_cast<int64_t>(data_.size()));
    EXPECT_EQ(read_to_end(fp.get(), odd_chunks), data_);
    EXPECT_EQ(knet_tell(fp.get()), static_cast<int64_t>(data_.size()));
    // The greeting and the RETR reply span several lines; reading them as
    // one reply each keeps every later reply in step (SIZE above).
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"USER anonymous", "PASS xyzw@", "TYPE I", "PASV", "SIZE /data.bin", "REST 0",
                                                     "RETR /data.bin"}));
}

TEST_F(KnetRemote, FtpSeeksStartNewTransfersAtTheOffset) {
    auto srv = start("ftp");
    ASSERT_GT(srv->port(), 0);
    knet_ptr fp = open_ftp(srv->port(), "/data.bin");
    ASSERT_TRUE(fp);
    check_random_seeks(fp.get(), [](int64_t off) { return "REST " + std::to_string(off); });
    EXPECT_EQ(count_log("USER anonymous"), 9u);  // a fresh login per transfer
}

TEST_F(KnetRemote, FtpSeekFromTheEndUsesTheSize) {
    auto srv = start("ftp");
    ASSERT_GT(srv->port(), 0);
    knet_ptr fp = open_ftp(srv->port(), "/data.bin");
    ASSERT_TRUE(fp);
    ASSERT_EQ(knet_seek(fp.get(), -100, SEEK_END), 0);
    EXPECT_EQ(knet_tell(fp.get()), static_cast<int64_t>(data_.size()) - 100);
    EXPECT_EQ(read_some(fp.get(), 1000), data_.substr(data_.size() - 100));
    EXPECT_EQ(knet_seek(fp.get(), -1, SEEK_SET), -1);
    EXPECT_EQ(knet_tell(fp.get()), static_cast<int64_t>(data_.size()));
}

TEST_F(KnetRemote, FtpPassivePortHighByteIsMasked) {
    auto srv = start("ftp", {"--pasv-high"});
    ASSERT_GT(srv->port(), 0);
    knet_ptr fp = open_ftp(srv->port(), "/data.bin");
    ASSERT_TRUE(fp);
    EXPECT_EQ(read_some(fp.get(), 1000), data_.substr(0, 1000));
    EXPECT_EQ(std::vector<int>(fp->pasv_ip, fp->pasv_ip + 4), (std::vector<int>{127, 0, 0, 1}));
    EXPECT_GT(fp->pasv_port, 0);
    EXPECT_LT(fp->pasv_port, 65536);
}

TEST_F(KnetRemote, FtpOpenFailures) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(knet_open("ftp://127.0.0.1", "r"), nullptr);  // no path: not even a connection
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    auto srv = start("ftp");
    ASSERT_GT(srv->port(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_ftp(srv->port(), "/missing.bin"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[kftp_connect_file] 550 no such file\n");

    int closed = closed_port();
    ASSERT_GT(closed, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_ftp(closed, "/data.bin"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("connect: ") + std::strerror(ECONNREFUSED) + "\n");
}

}  // namespace
