// Local, FTP and HTTP reading behind one handle.
//
// Sockets are blocking (except while connecting) and every wait, the
// connection handshake included, goes through select() bounded by
// knet_timeout_ms, so no network call can hang for longer than that.  Socket
// writes use send(MSG_NOSIGNAL): a server that went away gives an error, not
// SIGPIPE.  A handle whose connection failed keeps fd == -1 and every read or
// wait on it yields no data.
#include "io/knetfile.h"

#include <fcntl.h>
#include <netdb.h>
#include <strings.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int knet_timeout_ms = 5000;
const char* knet_ftp_port = "21";

namespace {

// The HTTP response header must fit here; a longer one fails the transfer.
constexpr size_t http_header_cap = 65536;
// Largest piece read and discarded while skipping to the offset in a 200 reply.
constexpr size_t http_skip_piece = 65536;
static_assert(http_skip_piece <= http_header_cap, "the skip reuses the header buffer");
// An FTP reply line starts in 256 bytes and may grow to 1 MiB; a longer
// line fails the reply rather than growing without end.
constexpr int ftp_response_initial = 256;
constexpr int ftp_response_cap = 1 << 20;
// Piece size of knet_download.
constexpr size_t download_piece = 1 << 20;

knetFile* new_handle(int type) {
    auto* fp = static_cast<knetFile*>(std::calloc(1, sizeof(knetFile)));
    if (!fp) return nullptr;
    fp->type = type;
    fp->fd = -1;
    fp->ctrl_fd = -1;
    return fp;
}

char* dup_range(const char* p, size_t n) {
    auto* s = static_cast<char*>(std::malloc(n + 1));
    if (!s) return nullptr;
    std::memcpy(s, p, n);
    s[n] = '\0';
    return s;
}

char* dup_string(const std::string& s) { return dup_range(s.data(), s.size()); }

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

ssize_t read_local(knetFile* fp, void* buf, size_t len) {
    size_t done = 0;
    auto* p = static_cast<char*>(buf);
    while (done < len) {
        ssize_t n = read(fp->fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// > 0 ready, 0 timed out, < 0 error.  A closed descriptor (or one select
// cannot watch) is an error without a message: it simply yields no data.
int socket_wait(int fd, bool for_read) {
    if (fd < 0 || fd >= FD_SETSIZE) return -1;
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(fd, &fds);
    timeval tv{};
    tv.tv_sec = knet_timeout_ms / 1000;
    tv.tv_usec = (knet_timeout_ms % 1000) * 1000;
    int r = for_read ? select(fd + 1, &fds, nullptr, nullptr, &tv) : select(fd + 1, nullptr, &fds, nullptr, &tv);
    if (r < 0) std::perror("select");
    return r;
}

// Why a network read stopped short.
enum class net_end { none, eof, timeout, error };

// Reads up to `len` bytes, stopping at the end of the stream, an error or a
// timeout; returns the bytes that arrived and, in `why`, what stopped it.
size_t my_netread(int fd, void* buf, size_t len, net_end* why = nullptr) {
    auto* p = static_cast<char*>(buf);
    size_t done = 0;
    net_end end = net_end::none;
    while (done < len) {
        const int r = socket_wait(fd, true);
        if (r <= 0) {
            end = r == 0 ? net_end::timeout : net_end::error;
            break;
        }
        ssize_t n = read(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            end = n == 0 ? net_end::eof : net_end::error;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (why) *why = end;
    return done;
}

bool send_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        if (socket_wait(fd, false) <= 0) return false;
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// Connects without blocking for longer than the timeout (a host that drops
// the handshake, a listener whose queue is full); 0 or the errno value.
int connect_bounded(int fd, const sockaddr* addr, socklen_t len) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
    int err = 0;
    if (connect(fd, addr, len) < 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            errno = 0;
            const int r = socket_wait(fd, false);
            socklen_t n = sizeof err;
            if (r == 0) err = ETIMEDOUT;
            else if (r < 0) err = errno ? errno : EBADF;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &n) < 0) err = errno;
        }
    }
    if (err == 0 && fcntl(fd, F_SETFL, flags) < 0) err = errno;
    return err;
}

// Connects to the first address of host:port; -1 after a message naming the
// failing step.
int socket_connect(const char* host, const char* port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host, port, &hints, &res);
    if (rc != 0) {
        // getaddrinfo reports through its own codes rather than errno.
        std::fprintf(stderr, "getaddrinfo: %s\n", rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
        return -1;
    }
    int fd = socket(res->ai_family, res->ai_socktype, res->ai_protocol);
    if (fd < 0) {
        std::perror("socket");
        freeaddrinfo(res);
        return -1;
    }
    int on = 1;
    linger lng{};  // lingering off: close() returns at once
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lng, sizeof lng) < 0) {
        std::perror("setsockopt");
        close(fd);
        freeaddrinfo(res);
        return -1;
    }
    const int err = connect_bounded(fd, res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    if (err != 0) {
        std::fprintf(stderr, "connect: %s\n", std::strerror(err));
        close(fd);
        return -1;
    }
    return fd;
}

// ---- FTP -------------------------------------------------------------------

knetFile* kftp_parse_url(const char* fn) {
    const char* host = fn + 6;  // after "ftp://"
    const char* slash = std::strchr(host, '/');
    if (!slash) return nullptr;
    knetFile* fp = new_handle(KNF_TYPE_FTP);
    if (!fp) return nullptr;
    std::string path(slash);
    fp->host = dup_range(host, static_cast<size_t>(slash - host));
    fp->port = dup_string(knet_ftp_port);
    fp->retr = dup_string("RETR " + path + "\r\n");
    fp->size_cmd = dup_string("SIZE " + path + "\r\n");
    if (!fp->host || !fp->port || !fp->retr || !fp->size_cmd) {
        knet_close(fp);
        return nullptr;
    }
    return fp;
}

const char* response_text(const knetFile* ftp) { return ftp->response ? ftp->response : ""; }

bool grow_response(knetFile* ftp) {
    if (ftp->max_response >= ftp_response_cap) return false;
    int cap = ftp->max_response ? ftp->max_response * 2 : ftp_response_initial;
    auto* p = static_cast<char*>(std::realloc(ftp->response, static_cast<size_t>(cap)));
    if (!p) return false;
    ftp->response = p;
    ftp->max_response = cap;
    return true;
}

// Reads one reply and returns its code; the final reply line, without its
// line end, is left in `response`.  0 when nothing arrives in time.
int kftp_get_response(knetFile* ftp) {
    if (!ftp->response && !grow_response(ftp)) return -1;
    ftp->response[0] = '\0';
    if (socket_wait(ftp->ctrl_fd, true) <= 0) return 0;
    int n = 0;
    for (;;) {
        // Each byte waits with the timeout too, so a reply cut off mid-line
        // ends like a closed connection instead of blocking.
        if (n > 0 && socket_wait(ftp->ctrl_fd, true) <= 0) break;
        char c;
        ssize_t k = read(ftp->ctrl_fd, &c, 1);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        if (n + 1 >= ftp->max_response && !grow_response(ftp)) {
            ftp->response[0] = '\0';
            return -1;
        }
        ftp->response[n++] = c;
        if (c != '\n') continue;
        const char* r = ftp->response;
        if (n >= 4 && std::isdigit(static_cast<unsigned char>(r[0])) && std::isdigit(static_cast<unsigned char>(r[1])) &&
            std::isdigit(static_cast<unsigned char>(r[2])) && r[3] != '-') {
            n -= ftp->response[n - 2] == '\r' ? 2 : 1;  // drop the line end
            ftp->response[n] = '\0';
            return static_cast<int>(std::strtol(r, nullptr, 10));
        }
        n = 0;  // short line or continuation line
    }
    ftp->response[0] = '\0';  // a reply cut off before its line end is no reply
    return -1;
}

// Sends one command; with `get_reply`, returns the reply code (a failed send
// leaves an empty reply, never the previous one).
int kftp_send_cmd(knetFile* ftp, const char* cmd, bool get_reply) {
    if (get_reply && ftp->response) ftp->response[0] = '\0';
    if (socket_wait(ftp->ctrl_fd, false) <= 0) return -1;
    if (!send_all(ftp->ctrl_fd, cmd, std::strlen(cmd))) return -1;
    return get_reply ? kftp_get_response(ftp) : 0;
}

int kftp_connect(knetFile* ftp) {
    ftp->ctrl_fd = socket_connect(ftp->host, ftp->port);
    if (ftp->ctrl_fd < 0) return -1;
    const int greeting = kftp_get_response(ftp);
    if (greeting < 200 || greeting >= 400) {
        if (*response_text(ftp)) std::fprintf(stderr, "[kftp_connect] %s\n", response_text(ftp));
        else std::fprintf(stderr, "[kftp_connect] no greeting from the FTP server.\n");
        close_fd(ftp->ctrl_fd);
        return -1;
    }
    kftp_send_cmd(ftp, "USER anonymous\r\n", true);
    kftp_send_cmd(ftp, "PASS xyzw@\r\n", true);
    kftp_send_cmd(ftp, "TYPE I\r\n", true);
    return 0;
}

int kftp_reconnect(knetFile* ftp) {
    close_fd(ftp->ctrl_fd);
    close_fd(ftp->fd);
    return kftp_connect(ftp);
}

// Asks for passive mode.  The port is forgotten first, so a reply without a
// usable address never sends the data connection to a stale port.
void kftp_pasv_prep(knetFile* ftp) {
    ftp->pasv_port = 0;
    kftp_send_cmd(ftp, "PASV\r\n", true);
    const char* p = ftp->response ? std::strchr(ftp->response, '(') : nullptr;
    if (!p) return;
    int v[6];
    if (std::sscanf(p + 1, "%d,%d,%d,%d,%d,%d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) return;
    // Only a dotted quad is connected to: anything else would be looked up
    // as a host name.  Port bytes keep their low 8 bits.
    for (int i = 0; i < 4; ++i)
        if (v[i] < 0 || v[i] > 255) return;
    std::memcpy(ftp->pasv_ip, v, sizeof ftp->pasv_ip);
    ftp->pasv_port = (v[4] & 255) * 256 + (v[5] & 255);
}

int kftp_pasv_connect(knetFile* ftp) {
    if (ftp->pasv_port == 0) {
        std::fprintf(stderr, "[kftp_pasv_connect] kftp_pasv_prep() is not called before hand.\n");
        return -1;
    }
    char host[64], port[16];
    std::snprintf(host, sizeof host, "%d.%d.%d.%d", ftp->pasv_ip[0], ftp->pasv_ip[1], ftp->pasv_ip[2], ftp->pasv_ip[3]);
    std::snprintf(port, sizeof port, "%d", ftp->pasv_port);
    ftp->fd = socket_connect(host, port);
    return ftp->fd < 0 ? -1 : 0;
}

// Reports a failed step: the server's reply, or that none came.
int kftp_fail(knetFile* ftp, const char* command) {
    if (*response_text(ftp)) std::fprintf(stderr, "[kftp_connect_file] %s\n", response_text(ftp));
    else std::fprintf(stderr, "[kftp_connect_file] no reply from the FTP server to %s.\n", command);
    close_fd(ftp->fd);
    return -1;
}

// Starts a transfer at `offset` over the logged-in control connection.
int kftp_connect_file(knetFile* ftp) {
    ftp->is_ready = 0;
    if (ftp->fd >= 0) {
        close_fd(ftp->fd);
        // Keeping the control connection means reading the reply that ends
        // the aborted transfer.
        if (ftp->no_reconnect) kftp_get_response(ftp);
    }
    kftp_pasv_prep(ftp);
    if (ftp->pasv_port == 0) return kftp_fail(ftp, "PASV");
    kftp_send_cmd(ftp, ftp->size_cmd, true);
    long long size = 0;
    if (std::sscanf(response_text(ftp), "%*d %lld", &size) != 1) return kftp_fail(ftp, "SIZE");
    ftp->file_size = size;
    char rest[64];
    std::snprintf(rest, sizeof rest, "REST %lld\r\n", static_cast<long long>(ftp->offset));
    kftp_send_cmd(ftp, rest, true);
    kftp_send_cmd(ftp, ftp->retr, false);
    if (kftp_pasv_connect(ftp) < 0) return -1;
    if (kftp_get_response(ftp) != 150) return kftp_fail(ftp, "RETR");
    ftp->is_ready = 1;
    return 0;
}

knetFile* kftp_open(const char* fn) {
    knetFile* fp = kftp_parse_url(fn);
    if (!fp) return nullptr;
    if (kftp_connect(fp) < 0) {
        knet_close(fp);
        return nullptr;
    }
    kftp_connect_file(fp);
    return fp;
}

// ---- HTTP ------------------------------------------------------------------

// Splits "host[:port]" at the colon; the port defaults to 80.
void split_host_port(const std::string& s, std::string& host, std::string& port) {
    size_t colon = s.find(':');
    host = s.substr(0, colon);
    port = colon == std::string::npos || colon + 1 == s.size() ? "80" : s.substr(colon + 1);
}

knetFile* khttp_parse_url(const char* fn) {
    const char* rest = fn + 7;  // after "http://"
    const char* slash = std::strchr(rest, '/');
    std::string authority = slash ? std::string(rest, slash) : std::string(rest);
    std::string http_host, http_port, host, port, target;
    split_host_port(authority, http_host, http_port);
    const char* proxy = std::getenv("http_proxy");
    if (!proxy || !*proxy) {  // an empty value counts as unset
        host = http_host;
        port = http_port;
        target = slash ? slash : "/";
    } else {
        // The proxy value is "[http://]host[:port]"; anything from a '/' on
        // (such as a trailing slash) is ignored.
        std::string p = proxy;
        if (p.compare(0, 7, "http://") == 0) p.erase(0, 7);
        p = p.substr(0, p.find('/'));
        split_host_port(p, host, port);
        target = fn;
    }
    knetFile* fp = new_handle(KNF_TYPE_HTTP);
    if (!fp) return nullptr;
    fp->http_host = dup_string(http_host);
    fp->host = dup_string(host);
    fp->port = dup_string(port);
    fp->path = dup_string(target);
    if (!fp->http_host || !fp->host || !fp->port || !fp->path) {
        knet_close(fp);
        return nullptr;
    }
    return fp;
}

// Reads the response header up to and including the blank line into `buf`
// (NUL-terminated); returns its length, or -1 when it does not fit.
long read_http_header(int fd, char* buf, size_t cap) {
    size_t l = 0;
    while (l + 1 < cap) {
        if (my_netread(fd, buf + l, 1) != 1) break;
        ++l;
        if (l >= 4 && std::memcmp(buf + l - 4, "\r\n\r\n", 4) == 0) {
            buf[l] = '\0';
            return static_cast<long>(l);
        }
    }
    buf[l] = '\0';
    return l + 1 < cap ? static_cast<long>(l) : -1;
}

// Code of a status line "HTTP/x.y NNN ..."; -1 when it has another form.
int http_status_code(const char* line) {
    if (std::strncmp(line, "HTTP/", 5) != 0) return -1;
    const char* sp = std::strchr(line, ' ');
    const char* eol = std::strchr(line, '\n');
    if (!sp || (eol && sp > eol)) return -1;
    int code = 0;
    for (int i = 1; i <= 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(sp[i]))) return -1;
        code = code * 10 + (sp[i] - '0');
    }
    return std::isdigit(static_cast<unsigned char>(sp[4])) ? -1 : code;
}

// Value of the Content-Length header; -1 when absent or malformed.
long long http_content_length(const char* header) {
    static const char name[] = "\ncontent-length:";
    for (const char* p = std::strchr(header, '\n'); p; p = std::strchr(p + 1, '\n')) {
        if (strncasecmp(p, name, sizeof name - 1) != 0) continue;
        const char* v = p + sizeof name - 1;
        while (*v == ' ' || *v == '\t') ++v;
        if (!std::isdigit(static_cast<unsigned char>(*v))) return -1;
        errno = 0;
        char* end;
        const long long n = std::strtoll(v, &end, 10);
        return errno == ERANGE ? -1 : n;
    }
    return -1;
}

int khttp_fail(knetFile* fp) {
    close_fd(fp->fd);
    return -1;
}

// Starts a transfer at `offset`: one GET with a Range header.
int khttp_connect_file(knetFile* fp) {
    fp->is_ready = 0;
    close_fd(fp->fd);
    fp->fd = socket_connect(fp->host, fp->port);
    if (fp->fd < 0) return -1;
    std::string req = "GET ";
    req += fp->path;
    req += " HTTP/1.0\r\nHost: ";
    req += fp->http_host;
    req += "\r\nRange: bytes=" + std::to_string(static_cast<long long>(fp->offset)) + "-\r\n\r\n";
    if (!send_all(fp->fd, req.data(), req.size())) return khttp_fail(fp);

    std::string buf(http_header_cap, '\0');
    long l = read_http_header(fp->fd, buf.data(), buf.size());
    if (l < 0) {
        std::fprintf(stderr, "[khttp_connect_file] the HTTP response header is longer than %zu bytes.\n", http_header_cap);
        return khttp_fail(fp);
    }
    if (l < 4 || std::memcmp(buf.data() + l - 4, "\r\n\r\n", 4) != 0) {
        std::fprintf(stderr, "[khttp_connect_file] the HTTP response header is incomplete (%ld bytes arrived).\n", l);
        return khttp_fail(fp);
    }
    const int code = http_status_code(buf.c_str());
    if (code < 0) {
        std::fprintf(stderr, "[khttp_connect_file] malformed HTTP status line.\n");
        return khttp_fail(fp);
    }
    // The announced body length tells where the file ends, so a connection
    // closed early is recognised.
    const long long body = http_content_length(buf.c_str());
    fp->file_size = body < 0 || body > INT64_MAX - fp->offset ? 0 : code == 206 ? fp->offset + body : body;
    if (code == 200) {
        // The whole file follows: skip up to the offset.  A stream ending
        // before the offset fails the transfer.
        int64_t left = fp->offset;
        while (left > 0) {
            size_t piece = left < static_cast<int64_t>(http_skip_piece) ? static_cast<size_t>(left) : http_skip_piece;
            size_t got = my_netread(fp->fd, buf.data(), piece);
            if (got == 0) {
                std::fprintf(stderr, "[khttp_connect_file] the response ended before byte %lld.\n",
                             static_cast<long long>(fp->offset));
                return khttp_fail(fp);
            }
            left -= static_cast<int64_t>(got);
        }
    } else if (code != 206) {
        std::fprintf(stderr, "[khttp_connect_file] fail to open file (HTTP code: %d).\n", code);
        return khttp_fail(fp);
    }
    fp->is_ready = 1;
    return 0;
}

knetFile* khttp_open(const char* fn) {
    knetFile* fp = khttp_parse_url(fn);
    if (!fp) return nullptr;
    khttp_connect_file(fp);
    return fp;
}

// Remote seeks only move `offset`; the next read starts a transfer there.
int seek_remote(knetFile* fp, int64_t off, int whence) {
    int64_t base = 0;
    if (whence == SEEK_CUR) base = fp->offset;
    else if (whence == SEEK_END) base = fp->file_size;
    else if (whence != SEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    if (off < 0 && base + off < 0) {  // before the start: like lseek
        errno = EINVAL;
        return -1;
    }
    fp->offset = base + off;
    fp->is_ready = 0;
    return 0;
}

}  // namespace

knetFile* knet_open(const char* fn, const char* mode) {
    if (mode[0] != 'r') {
        std::fprintf(stderr, "[kftp_open] only mode \"r\" is supported.\n");
        return nullptr;
    }
    knetFile* fp = nullptr;
    if (std::strncmp(fn, "ftp://", 6) == 0) {
        fp = kftp_open(fn);
    } else if (std::strncmp(fn, "http://", 7) == 0) {
        fp = khttp_open(fn);
    } else {
        int fd = open(fn, O_RDONLY);
        if (fd < 0) {
            std::perror("open");
            return nullptr;
        }
        fp = knet_dopen(fd, mode);
        if (!fp) close(fd);
        return fp;
    }
    if (fp && fp->fd < 0) {  // no data connection
        knet_close(fp);
        return nullptr;
    }
    return fp;
}

knetFile* knet_dopen(int fd, const char*) {
    knetFile* fp = new_handle(KNF_TYPE_LOCAL);
    if (fp) fp->fd = fd;
    return fp;
}

ssize_t knet_read(knetFile* fp, void* buf, size_t len) {
    if (fp->fd < 0) return 0;
    if (fp->type == KNF_TYPE_FTP && !fp->is_ready) {
        if (!fp->no_reconnect && kftp_reconnect(fp) < 0) return 0;
        kftp_connect_file(fp);
    } else if (fp->type == KNF_TYPE_HTTP && !fp->is_ready) {
        khttp_connect_file(fp);
    }
    if (fp->fd < 0) return 0;  // the new transfer failed, with its message
    if (fp->type == KNF_TYPE_LOCAL) {
        const ssize_t n = read_local(fp, buf, len);
        if (n > 0) fp->offset += n;
        return n;
    }
    // Past the announced size nothing is waited for: a server keeping the
    // connection open after the last byte would only run into the timeout.
    if (fp->file_size > 0) {
        if (fp->offset >= fp->file_size) return 0;
        len = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(len), fp->file_size - fp->offset));
    }
    net_end why;
    const auto n = static_cast<ssize_t>(my_netread(fp->fd, buf, len, &why));
    fp->offset += n;
    // A transfer that stalls, fails or ends before the announced size is
    // abandoned with one message; the handle yields no more data.
    const bool short_end = why == net_end::eof && fp->file_size > 0 && fp->offset < fp->file_size;
    if (why == net_end::timeout || why == net_end::error || short_end) {
        const auto at = static_cast<long long>(fp->offset);
        if (why == net_end::timeout)
            std::fprintf(stderr, "[knet_read] no data from the server for %d ms at byte %lld; transfer abandoned.\n",
                         knet_timeout_ms, at);
        else if (why == net_end::error) std::fprintf(stderr, "[knet_read] the connection failed at byte %lld.\n", at);
        else
            std::fprintf(stderr, "[knet_read] the connection ended at byte %lld of %lld.\n", at,
                         static_cast<long long>(fp->file_size));
        close_fd(fp->fd);
    }
    return n;
}

int knet_seek(knetFile* fp, int64_t off, int whence) {
    if (whence == SEEK_SET && off == fp->offset) return 0;
    if (fp->type == KNF_TYPE_LOCAL) {
        off_t r = lseek(fp->fd, off, whence);
        if (r < 0) return -1;
        fp->offset = r;
        return 0;
    }
    if (fp->type == KNF_TYPE_FTP) return seek_remote(fp, off, whence);
    if (fp->type == KNF_TYPE_HTTP) {
        if (whence == SEEK_END) {
            std::fprintf(stderr, "[knet_seek] SEEK_END is not supported for HTTP. Offset is unchanged.\n");
            errno = ESPIPE;
            return -1;
        }
        return seek_remote(fp, off, whence);
    }
    errno = EINVAL;
    std::fprintf(stderr, "[knet_seek] %s\n", std::strerror(errno));
    return -1;
}

int knet_close(knetFile* fp) {
    if (!fp) return 0;
    if (fp->ctrl_fd >= 0) close(fp->ctrl_fd);
    if (fp->fd >= 0) close(fp->fd);
    std::free(fp->response);
    std::free(fp->retr);
    std::free(fp->size_cmd);
    std::free(fp->host);
    std::free(fp->port);
    std::free(fp->path);
    std::free(fp->http_host);
    std::free(fp);
    return 0;
}

knet_download_status knet_download(const char* url, const char* local) {
    knetFile* in = knet_open(url, "r");
    if (!in) return knet_download_open_failed;
    FILE* out = std::fopen(local, "wb");
    if (!out) {
        knet_close(in);
        return knet_download_create_failed;
    }
    std::vector<uint8_t> buf(download_piece);
    knet_download_status status = knet_download_ok;
    for (;;) {
        const ssize_t n = knet_read(in, buf.data(), buf.size());
        if (n == 0 && in->fd >= 0) break;  // the end of the source
        // A transfer that failed leaves the handle without its connection.
        if (n <= 0) {
            status = knet_download_read_failed;
            break;
        }
        if (std::fwrite(buf.data(), 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) {
            status = knet_download_write_failed;
            break;
        }
    }
    knet_close(in);
    if (std::fclose(out) != 0 && status == knet_download_ok) status = knet_download_write_failed;
    if (status != knet_download_ok) unlink(local);
    return status;
}
