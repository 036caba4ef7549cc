// One read-only file handle over a local file or descriptor, a file on an
// FTP server (anonymous, passive mode) or a file on an HTTP server (HTTP/1.0,
// optionally through the proxy in http_proxy).
//
// Remote files are streamed: a sequential reader keeps one transfer open and
// a seek only marks the handle, so the next read starts a new transfer at
// the new offset (FTP REST, HTTP Range).  Every network wait, connecting
// included, is bounded by a 5-second timeout (knet_timeout_ms).  A transfer
// that times out, fails, or ends before the size the server announced (FTP
// SIZE, HTTP Content-Length) ends the current read with what has arrived,
// prints one message, and leaves the handle without data from then on.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Bound of every network wait in milliseconds; 5000 unless a test shortens it.
extern int knet_timeout_ms;
// Port of every FTP control connection: "21", which an FTP URL cannot change.
// Only tests point it elsewhere, at a server on an unprivileged port.
extern const char* knet_ftp_port;

enum { KNF_TYPE_LOCAL = 1, KNF_TYPE_FTP = 2, KNF_TYPE_HTTP = 3 };

struct knetFile {
    int type, fd;
    int64_t offset;
    char *host, *port;

    // FTP
    int ctrl_fd, pasv_ip[4], pasv_port, max_response, no_reconnect, is_ready;
    char *response, *retr, *size_cmd;
    int64_t seek_offset;  // always 0: positioning uses `offset`
    int64_t file_size;    // from FTP SIZE or HTTP Content-Length; 0 when unknown

    // HTTP
    char *path, *http_host;
};

knetFile* knet_open(const char* fn, const char* mode);
knetFile* knet_dopen(int fd, const char* mode);
// Bytes read; 0 at the end or without an open connection; -1 on a local
// read error.
ssize_t knet_read(knetFile* fp, void* buf, size_t len);
// 0 on success, -1 on failure (errno ESPIPE for an end-relative seek over
// HTTP, which callers use to recognise an unseekable stream).
int knet_seek(knetFile* fp, int64_t off, int whence);
int knet_close(knetFile* fp);
inline int64_t knet_tell(const knetFile* fp) { return fp->offset; }
inline bool knet_is_remote(const char* fn) {
    return fn && (__builtin_strncmp(fn, "ftp://", 6) == 0 || __builtin_strncmp(fn, "http://", 7) == 0);
}

// Outcome of knet_download.
enum knet_download_status {
    knet_download_ok = 0,
    knet_download_open_failed,    // the URL did not open (knet_open has said why)
    knet_download_create_failed,  // the local file could not be created
    knet_download_read_failed,    // the transfer broke off (knet_read has said why)
    knet_download_write_failed,   // writing or closing the local file failed
};

// Copies `url` (or a local path) to the file `local` in pieces of 1 MiB.
// The local file is created only once the source is open, every write and
// the close are checked, and after any failure the partial copy is removed,
// since a later run would take it for the whole file.  Prints nothing of its
// own; the caller reports the outcome.
knet_download_status knet_download(const char* url, const char* local);
