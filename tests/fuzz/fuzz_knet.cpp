// Fuzzes how remote files take server responses.  The first input byte
// picks the protocol.  HTTP: the rest is the whole response (status line,
// headers, body) to every request.  FTP: the rest up to the first NUL byte
// is everything the control connection sends, the bytes after it what a
// data connection sends.
//
// The responses come from an in-process loopback server: every connection
// gets its bytes and then the end of the stream, so the handle never waits
// for the timeout.  `connect` is replaced in this program: a connection to
// anywhere but the control port (a passive-mode address from a reply) is
// sent to the data listener, so fuzzed replies never reach another host.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "io/knetfile.h"

namespace {

struct listener_t {
    int fd = -1;
    sockaddr_in addr{};
};

listener_t make_listener() {
    listener_t l;
    l.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    l.addr.sin_family = AF_INET;
    l.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof l.addr;
    if (l.fd < 0 || bind(l.fd, reinterpret_cast<sockaddr*>(&l.addr), sizeof l.addr) != 0 || listen(l.fd, 16) != 0 ||
        getsockname(l.fd, reinterpret_cast<sockaddr*>(&l.addr), &len) != 0)
        __builtin_trap();  // the harness itself cannot run
    return l;
}

listener_t& control() {
    static listener_t l = make_listener();
    return l;
}
listener_t& data_listener() {
    static listener_t l = make_listener();
    return l;
}

// Serves `ctrl` on the control listener and `data` on the data listener
// until `stop`; then drops connections that were never accepted.
void serve(const std::string& ctrl, const std::string& data, const std::atomic<bool>& stop) {
    std::vector<int> open_fds;
    auto answer = [&](int lfd, const std::string& bytes) {
        for (;;) {
            int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            size_t off = 0;
            while (off < bytes.size()) {
                ssize_t k = send(c, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
                if (k <= 0) break;
                off += static_cast<size_t>(k);
            }
            shutdown(c, SHUT_WR);  // the end of the response
            open_fds.push_back(c);
        }
    };
    pollfd fds[2] = {{control().fd, POLLIN, 0}, {data_listener().fd, POLLIN, 0}};
    while (!stop.load()) {
        if (poll(fds, 2, 1) <= 0) continue;
        answer(control().fd, ctrl);
        answer(data_listener().fd, data);
    }
    answer(control().fd, ctrl);
    answer(data_listener().fd, data);
    for (int c : open_fds) close(c);
}

void read_some(knetFile* fp, size_t total) {
    static char buf[70000];
    static const size_t chunks[] = {1, 7, 4093, 65536};
    size_t done = 0;
    for (int i = 0; done < total; ++i) {
        ssize_t n = knet_read(fp, buf, chunks[i % 4]);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

// Every outgoing connection of this program goes to one of the listeners.
extern "C" int connect(int fd, const sockaddr* addr, socklen_t len) {
    const listener_t& to = len >= sizeof(sockaddr_in) && addr->sa_family == AF_INET &&
                                   reinterpret_cast<const sockaddr_in*>(addr)->sin_port == control().addr.sin_port
                               ? control()
                               : data_listener();
    return static_cast<int>(syscall(SYS_connect, fd, &to.addr, sizeof to.addr));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1) return 0;
    const bool ftp = bytes[0] & 1;
    std::string rest(reinterpret_cast<const char*>(bytes + 1), size - 1), ctrl = rest, data;
    if (ftp) {
        const size_t nul = rest.find('\0');
        if (nul != std::string::npos) {
            ctrl = rest.substr(0, nul);
            data = rest.substr(nul + 1);
        }
    }
    knet_timeout_ms = 200;  // only reached when a listener is slow to answer
    std::atomic<bool> stop{false};
    std::thread server(serve, std::cref(ctrl), std::cref(data), std::cref(stop));
    const std::string port = std::to_string(ntohs(control().addr.sin_port));
    knetFile* fp;
    if (ftp) {
        knet_ftp_port = port.c_str();
        fp = knet_open("ftp://127.0.0.1/data.bin", "r");
    } else {
        fp = knet_open(("http://127.0.0.1:" + port + "/data.bin").c_str(), "r");
    }
    if (fp) {
        read_some(fp, 1 << 20);
        if (knet_seek(fp, 5, SEEK_SET) == 0) read_some(fp, 100);
        if (knet_seek(fp, -3, SEEK_END) == 0) read_some(fp, 100);
        knet_close(fp);
    }
    knet_ftp_port = "21";  // `port` goes out of scope
    stop = true;
    server.join();
    return 0;
}
