#!/usr/bin/env python3
"""Loopback HTTP and FTP servers for the remote-file tests.

    test_servers.py http DIR [--mode MODE] [--cut N] [--stall N] [--log FILE]
    test_servers.py ftp DIR [--mode MODE] [--cut N] [--stall N] [--pasv-high] [--log FILE]

Files are served from DIR.  The server listens on 127.0.0.1 with an
ephemeral port, prints the port on a line of its own once it listens, and
exits by itself after --lifetime seconds (default 30) whatever happens to
the test that started it.

HTTP modes: "range" answers a Range header with 206 and the rest of the file
(416 past the end), announcing the body length in Content-Length; "full" ignores Range and sends the whole file with 200;
"big-header" sends a response header of about 100 KB; "stall-header" reads
the request and never answers; "cut-status" sends half a status line and
closes; "cut-header" sends the status line and half a header line and
closes; "stall-mid-header" sends the status line and then nothing;
"status-500" answers 500 and "redirect" answers 302 with a Location header
naming the same file.  A missing file gets 404.  --cut N ends every
body after N bytes by closing the connection; --stall N sends N body bytes
and then holds the connection open without sending more.  The log gets one
line per request: target, Host header and Range header, tab-separated.

FTP: anonymous login, TYPE, PASV (127.0.0.1, ephemeral data port), SIZE,
REST, RETR (reply 150 with continuation lines) and QUIT.  The greeting has a
continuation line and a blank line.  --pasv-high adds 256 to the high byte
of the passive port, which a client must mask off.  The log gets every
command line received.  FTP modes: "stall-greeting" accepts and sends
nothing; "close-greeting" closes at once; "stall-pasv" and "stall-retr" never
answer that command; "close-pasv" closes the control connection when PASV
arrives.  --cut and --stall apply to the data connection as for HTTP.
"""

import argparse
import os
import socket
import socketserver
import sys
import threading
import time

log_lock = threading.Lock()


def write_log(path, line):
    if not path:
        return
    with log_lock, open(path, "a", encoding="utf-8") as f:
        f.write(line + "\n")


def resolve(root, target):
    """Path of the served file for a request path, or None."""
    name = target.lstrip("/")
    if not name:
        return None
    path = os.path.realpath(os.path.join(root, name))
    if not path.startswith(os.path.realpath(root) + os.sep) or not os.path.isfile(path):
        return None
    return path


def send_quietly(sock, data):
    """Sends data; a client that went away is not an error here."""
    try:
        sock.sendall(data)
        return True
    except OSError:
        return False


class HttpHandler(socketserver.StreamRequestHandler):
    def handle(self):
        opts = self.server.opts
        self.request.settimeout(10)
        try:
            request_line = self.rfile.readline(65536).decode("latin-1").strip()
            headers = {}
            while True:
                line = self.rfile.readline(65536).decode("latin-1")
                if line in ("\r\n", "\n", ""):
                    break
                key, _, value = line.partition(":")
                headers[key.strip().lower()] = value.strip()
        except OSError:
            return
        parts = request_line.split()
        target = parts[1] if len(parts) >= 2 else ""
        write_log(opts.log, "\t".join([target, headers.get("host", ""), headers.get("range", "")]))

        if opts.mode == "stall-header":
            time.sleep(opts.lifetime)
            return
        if opts.mode == "cut-status":
            send_quietly(self.request, b"HTTP/1.0 20")
            return
        if opts.mode == "cut-header":
            send_quietly(self.request, b"HTTP/1.0 200 OK\r\nContent-Ty")
            return
        if opts.mode == "stall-mid-header":
            send_quietly(self.request, b"HTTP/1.0 200 OK\r\n")
            time.sleep(opts.lifetime)
            return
        if opts.mode == "status-500":
            send_quietly(self.request, b"HTTP/1.0 500 Internal Server Error\r\n\r\n")
            return
        if opts.mode == "redirect":
            send_quietly(self.request, ("HTTP/1.0 302 Found\r\nLocation: %s\r\n\r\n" % target).encode("latin-1"))
            return
        path_part = target
        if target.startswith("http://"):  # proxy request: drop scheme and authority
            slash = target.find("/", 7)
            path_part = target[slash:] if slash >= 0 else "/"
        path = resolve(opts.root, path_part)
        if path is None:
            send_quietly(self.request, b"HTTP/1.0 404 Not Found\r\n\r\n")
            return
        with open(path, "rb") as f:
            data = f.read()

        status = "200 OK"
        body = data
        rng = headers.get("range", "")
        if opts.mode == "range" and rng.startswith("bytes=") and rng.endswith("-"):
            start = int(rng[6:-1])
            if start >= len(data):
                send_quietly(self.request, b"HTTP/1.0 416 Range Not Satisfiable\r\n\r\n")
                return
            status = "206 Partial Content"
            body = data[start:]

        header = "HTTP/1.0 %s\r\nContent-Type: application/octet-stream\r\nContent-Length: %d\r\n" % (status, len(body))
        if opts.mode == "big-header":
            header += ("X-Padding: " + "a" * 1000 + "\r\n") * 100
        header += "\r\n"
        if not send_quietly(self.request, header.encode("latin-1")):
            return
        if opts.cut is not None:
            body = body[: opts.cut]
        if opts.stall is not None:
            send_quietly(self.request, body[: opts.stall])
            time.sleep(opts.lifetime)
            return
        send_quietly(self.request, body)


class FtpHandler(socketserver.StreamRequestHandler):
    def reply(self, text):
        return send_quietly(self.request, text.encode("latin-1"))

    def handle(self):
        opts = self.server.opts
        self.request.settimeout(10)
        rest = 0
        pasv = None
        if opts.mode == "stall-greeting":
            time.sleep(opts.lifetime)
            return
        if opts.mode == "close-greeting":
            return
        self.reply("220-alnkit test server\r\n\r\n220 ready\r\n")
        try:
            while True:
                raw = self.rfile.readline(4096)
                if not raw:
                    break
                line = raw.decode("latin-1").strip()
                write_log(opts.log, line)
                cmd, _, arg = line.partition(" ")
                cmd = cmd.upper()
                if cmd == "USER":
                    self.reply("331 send password\r\n")
                elif cmd == "PASS":
                    self.reply("230 logged in\r\n")
                elif cmd == "TYPE":
                    self.reply("200 type set to %s\r\n" % arg)
                elif cmd == "PASV" and opts.mode == "stall-pasv":
                    time.sleep(opts.lifetime)
                elif cmd == "PASV" and opts.mode == "close-pasv":
                    break
                elif cmd == "RETR" and opts.mode == "stall-retr":
                    time.sleep(opts.lifetime)
                elif cmd == "PASV":
                    if pasv is not None:
                        pasv.close()
                    pasv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                    pasv.bind(("127.0.0.1", 0))
                    pasv.listen(1)
                    pasv.settimeout(10)
                    port = pasv.getsockname()[1]
                    high = (port >> 8) + (256 if opts.pasv_high else 0)
                    self.reply("227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (high, port & 255))
                elif cmd == "SIZE":
                    path = resolve(opts.root, arg)
                    if path is None:
                        self.reply("550 no such file\r\n")
                    else:
                        self.reply("213 %d\r\n" % os.path.getsize(path))
                elif cmd == "REST":
                    rest = int(arg)
                    self.reply("350 restarting at %d\r\n" % rest)
                elif cmd == "RETR":
                    path = resolve(opts.root, arg)
                    if path is None or pasv is None:
                        self.reply("550 cannot send %s\r\n" % arg)
                        continue
                    with open(path, "rb") as f:
                        f.seek(rest)
                        data = f.read()
                    self.reply("150-opening BINARY mode data connection\r\n"
                               " for %s\r\n150 %d bytes follow\r\n" % (arg, len(data)))
                    conn, _ = pasv.accept()
                    if opts.cut is not None:
                        data = data[: opts.cut]
                    if opts.stall is not None:
                        send_quietly(conn, data[: opts.stall])
                        time.sleep(opts.lifetime)
                    sent = send_quietly(conn, data)
                    conn.close()
                    pasv.close()
                    pasv = None
                    rest = 0
                    self.reply("226 transfer complete\r\n" if sent else "426 transfer aborted\r\n")
                elif cmd == "QUIT":
                    self.reply("221 bye\r\n")
                    break
                else:
                    self.reply("502 %s not implemented\r\n" % cmd)
        except OSError:
            pass
        finally:
            if pasv is not None:
                pasv.close()


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("protocol", choices=["http", "ftp"])
    parser.add_argument("root")
    parser.add_argument("--mode", default="range",
                        choices=["range", "full", "big-header", "stall-header", "cut-status", "cut-header",
                                 "stall-mid-header", "status-500", "redirect", "stall-greeting",
                                 "close-greeting", "stall-pasv", "stall-retr", "close-pasv"])
    parser.add_argument("--cut", type=int)
    parser.add_argument("--stall", type=int)
    parser.add_argument("--pasv-high", action="store_true")
    parser.add_argument("--log")
    parser.add_argument("--lifetime", type=float, default=30.0)
    opts = parser.parse_args()

    # Whatever happens to the test, the process ends after its lifetime.
    timer = threading.Timer(opts.lifetime, lambda: os._exit(0))
    timer.daemon = True
    timer.start()

    handler = HttpHandler if opts.protocol == "http" else FtpHandler
    server = Server(("127.0.0.1", 0), handler)
    server.opts = opts
    sys.stdout.write("%d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
