// How remote files take unusual server replies, from scripted loopback
// servers: every reply is sent at once and the connection then ends, so each
// case runs in milliseconds.  The cases run with a time-out they never reach
// (a wait that ends at the time-out lasts at least that long), so a loaded
// machine cannot turn a reply into a time-out, and a case that ends before
// the time-out shows that the reply or the close ended the wait.  Covers FTP replies with bare line feeds, cut
// off mid-line, or with a passive address that is no address; HTTP status
// lines of another form, a server that keeps the connection open after the
// announced body; and a connect that cannot complete.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/test_server.h"
#include "io/knetfile.h"

namespace {

using test_util::knet_ptr;
using test_util::scoped_value;


int listen_loopback(int backlog, int* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// The time-out of the cases where the server closes or answers at once.
constexpr int never_reached_ms = 10000;

// Accepts one connection within the time-out; -1 otherwise.
int accept_one(int lfd) {
    pollfd p{lfd, POLLIN, 0};
    return poll(&p, 1, never_reached_ms) > 0 ? accept(lfd, nullptr, nullptr) : -1;
}

// One scripted connection on the control port, and for FTP one on a data
// port: `script` is sent at once ("PASV_ADDR" in it becomes the data
// address); with `keep_open` the connection then stays open until the
// client closes it, otherwise its sending side ends.
class scripted_server {
public:
    scripted_server(std::string script, std::string data, bool keep_open = false) {
        ctrl_ = listen_loopback(4, &port_);
        data_ = listen_loopback(4, &data_port_);
        const std::string addr = "127,0,0,1," + std::to_string(data_port_ >> 8) + "," + std::to_string(data_port_ & 255);
        for (size_t at; (at = script.find("PASV_ADDR")) != std::string::npos;) script.replace(at, 9, addr);
        thread_ = std::thread([this, script, data, keep_open] {
            int c = accept_one(ctrl_);
            if (c < 0) return;
            send(c, script.data(), script.size(), MSG_NOSIGNAL);
            if (!keep_open) shutdown(c, SHUT_WR);
            if (!data.empty()) {
                int d = accept_one(data_);
                if (d >= 0) {
                    send(d, data.data(), data.size(), MSG_NOSIGNAL);
                    close(d);
                }
            }
            char buf[256];
            pollfd p{c, POLLIN, 0};
            while (poll(&p, 1, 3000) > 0 && read(c, buf, sizeof buf) > 0) {}
            close(c);
        });
    }
    ~scripted_server() {
        thread_.join();
        close(ctrl_);
        close(data_);
    }
    scripted_server(const scripted_server&) = delete;
    scripted_server& operator=(const scripted_server&) = delete;
    int port() const { return port_; }

private:
    int ctrl_ = -1, data_ = -1, port_ = 0, data_port_ = 0;
    std::thread thread_;
};

knet_ptr open_ftp(const scripted_server& srv) {
    const std::string port = std::to_string(srv.port());
    scoped_value<const char*> redirect(knet_ftp_port, port.c_str());
    return knet_ptr(knet_open("ftp://127.0.0.1/f.bin", "r"));
}

std::string read_all(knetFile* fp) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = knet_read(fp, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    return out;
}

const std::string login = "220 ready\r\n331 password\r\n230 in\r\n200 binary\r\n";

TEST(KnetFtpReplies, BareLineFeedsKeepTheWholeReply) {
    scoped_value<int> wait(knet_timeout_ms, never_reached_ms);
    const std::string data = "0123456789abcdefghij";
    scripted_server srv(
        "220 ready\n331 password\n230 in\n200 binary\n227 Entering Passive Mode (PASV_ADDR)\n"
        "213 20\n350 rest\n150 here\n226 done\n",
        data);
    knet_ptr fp = open_ftp(srv);
    ASSERT_TRUE(fp);
    EXPECT_EQ(fp->file_size, 20);  // the last digit of "213 20" is not taken for a carriage return
    EXPECT_EQ(read_all(fp.get()), data);
}

TEST(KnetFtpReplies, UnusableRepliesFailOpenWithTheReason) {
    scoped_value<int> wait(knet_timeout_ms, never_reached_ms);
    struct reply_case {
        std::string script, message;
    };
    const reply_case cases[] = {
        // Not an address: never looked up as a host name.
        {login + "227 Entering Passive Mode (300,0,0,1,4,1).\r\n",
         "[kftp_connect_file] 227 Entering Passive Mode (300,0,0,1,4,1).\n"},
        {login + "227 Entering Passive Mode (-1,0,0,1,4,1).\r\n",
         "[kftp_connect_file] 227 Entering Passive Mode (-1,0,0,1,4,1).\n"},
        {login + "500 no passive mode\r\n", "[kftp_connect_file] 500 no passive mode\n"},
        // A size reply cut off inside its number is no size.
        {login + "227 Entering Passive Mode (PASV_ADDR).\r\n213 12",
         "[kftp_connect_file] no reply from the FTP server to SIZE.\n"},
        {login + "227 Entering Passive Mode (PASV_ADDR).\r\n213 20\r\n350 rest\r\n550 gone\r\n",
         "[kftp_connect_file] 550 gone\n"},
        {"421 too many users\r\n", "[kftp_connect] 421 too many users\n"},
        {"22", "[kftp_connect] no greeting from the FTP server.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        scripted_server srv(c.script, "");
        const auto t0 = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        knet_ptr fp = open_ftp(srv);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_FALSE(fp);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(never_reached_ms));
    }
}

TEST(KnetHttpReplies, StatusLinesOfAnotherFormFailOpen) {
    scoped_value<int> wait(knet_timeout_ms, never_reached_ms);
    const char* heads[] = {"XXXXXXXX200 OK\r\n\r\nbody", "HTTP/1.0 2000 OK\r\n\r\nbody", "HTTP/1.0\r\n200 OK\r\n\r\nbody",
                           "ICY 200 OK\r\n\r\nbody"};
    for (const char* head : heads) {
        SCOPED_TRACE(head);
        scripted_server srv(head, "");
        testing::internal::CaptureStderr();
        knet_ptr fp(knet_open(("http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin").c_str(), "r"));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "[khttp_connect_file] malformed HTTP status line.\n");
        EXPECT_FALSE(fp);
    }
}

// With the length announced, the read ends there even though the server
// keeps the connection open; a body shorter than announced is reported.
TEST(KnetHttpReplies, ContentLengthEndsTheBody) {
    scoped_value<int> wait(knet_timeout_ms, never_reached_ms);
    {
        scripted_server srv("HTTP/1.1 206 Partial Content\r\nconTent-LENGTH:  5\r\n\r\nhello", "", true);
        knet_ptr fp(knet_open(("http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin").c_str(), "r"));
        ASSERT_TRUE(fp);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(read_all(fp.get()), "hello");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(never_reached_ms));
        EXPECT_EQ(fp->file_size, 5);
    }
    scripted_server srv("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nhello", "");
    knet_ptr fp(knet_open(("http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin").c_str(), "r"));
    ASSERT_TRUE(fp);
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_all(fp.get()), "hello");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[knet_read] the connection ended at byte 5 of 9.\n");
}

// A listener whose queue is full drops the handshake: the connect gives up
// at the timeout instead of waiting for the system's retries.
TEST(KnetConnect, UnansweredHandshakeTimesOut) {
    int port = 0;
    int lfd = listen_loopback(0, &port);
    ASSERT_GE(lfd, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {  // fill the accept queue; these are never accepted
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(fd);
    }
    usleep(100000);
    // The system's own retries would take minutes: the connect lasts at
    // least the time-out and ends far sooner than that.
    const int wait_ms = 300;
    scoped_value<int> quick(knet_timeout_ms, wait_ms);
    const auto t0 = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    knet_ptr fp(knet_open(("http://127.0.0.1:" + std::to_string(port) + "/f.bin").c_str(), "r"));
    const std::string err = testing::internal::GetCapturedStderr();
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(wait_ms));
    EXPECT_LT(took, std::chrono::seconds(20));
    EXPECT_FALSE(fp);
    EXPECT_EQ(err, std::string("connect: ") + std::strerror(ETIMEDOUT) + "\n");
    for (int fd : fillers) close(fd);
    close(lfd);
}

}  // namespace
