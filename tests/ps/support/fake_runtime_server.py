#!/usr/bin/env python3
"""HTTP server on 127.0.0.1 that plays the runtime download hosts in tests.

The first path segment picks the behaviour; whatever follows it (the
download path that the runtime script appends to its host) is ignored:

  /archive/...          200, the archive given with --archive
  /file/<key>/...       200, the file registered with --file key=path; 404 while
                        that file does not exist, so a test can take a host down
  /missing/...          404 with a short HTML body
  /error-page/...       200 with a small HTML error page
  /bytes/<n>/...        200 with exactly n bytes (a repeating pattern)
  /truncated/...        announces the archive's length, sends half, closes
  /unsized/...          200, the archive without a Content-Length (ends at close)
  /redirect/<rest>      302 to /<rest> (the mirror host redirects too)

A file named stall-next in the folder of --port-file makes the next request
for a file (archive, file) stall instead: it announces the whole length,
sends half and then holds the connection open, sending nothing, until the
client goes away; the marker is used up by that request. So a test can cut a
run off in the middle of its download.

Every request line ("GET /path") is appended to --log, so a test can tell
whether a download was attempted. The chosen port is written to --port-file
(atomically, through a rename) once the server listens. The server ends by
itself when the process --parent-pid is gone, removing its log, port file and
their folder (when empty).
"""

import argparse
import os
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 1024 * 1024


def pattern_block():
    return bytes((i * 7 + 3) % 251 for i in range(CHUNK))


class Handler(BaseHTTPRequestHandler):
    server_version = "FakeRuntimeHost/1.0"
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def record(self):
        with self.server.log_lock:
            with open(self.server.log_path, "a", encoding="utf-8") as log:
                log.write(f"{self.command} {self.path}\n")

    def send_body(self, status, body, content_type="text/html"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def take_stall(self):
        marker = os.path.join(os.path.dirname(self.server.port_file), "stall-next")
        try:
            os.remove(marker)
            return True
        except FileNotFoundError:
            return False

    def hold_open(self):
        # Until the client closes its end (or dies), or ten minutes at the most.
        self.connection.settimeout(1)
        deadline = time.monotonic() + 600
        while time.monotonic() < deadline:
            try:
                if not self.connection.recv(4096):
                    return
            except socket.timeout:
                continue
            except OSError:
                return

    def send_file(self, path, limit=None):
        size = os.path.getsize(path)
        stall = limit is None and self.command != "HEAD" and self.take_stall()
        if stall:
            limit = size // 2
        self.send_response(200)
        self.send_header("Content-Type", "application/zip")
        self.send_header("Content-Length", str(size))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command == "HEAD":
            return
        self.wfile.flush()
        with open(path, "rb") as source:
            if limit is None:
                self.connection.sendfile(source)
            else:
                self.connection.sendfile(source, 0, limit)
        if stall:
            self.hold_open()

    def send_unsized(self, path):
        # No Content-Length: the body ends when the connection closes.
        self.send_response(200)
        self.send_header("Content-Type", "application/zip")
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()
        with open(path, "rb") as source:
            self.connection.sendfile(source)

    def send_pattern(self, count):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(count))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command == "HEAD":
            return
        block = self.server.pattern
        left = count
        while left > 0:
            piece = block[: min(left, len(block))]
            self.wfile.write(piece)
            left -= len(piece)

    def handle_route(self):
        self.record()
        self.close_connection = True
        parts = self.path.split("?", 1)[0].lstrip("/").split("/")
        route = parts[0]
        if route == "archive":
            self.send_file(self.server.files["archive"])
        elif (route == "file" and len(parts) > 1 and parts[1] in self.server.files
              and os.path.isfile(self.server.files[parts[1]])):
            self.send_file(self.server.files[parts[1]])
        elif route == "error-page":
            self.send_body(200, b"<html><body><h1>Service unavailable</h1>"
                           b"<p>Please try again later.</p></body></html>\n")
        elif route == "bytes" and len(parts) > 1 and parts[1].isdigit():
            self.send_pattern(int(parts[1]))
        elif route == "unsized":
            self.send_unsized(self.server.files["archive"])
        elif route == "truncated":
            path = self.server.files["archive"]
            self.send_file(path, os.path.getsize(path) // 2)
        elif route == "redirect" and len(parts) > 1:
            target = "/" + "/".join(parts[1:])
            self.send_response(302)
            self.send_header("Location", target)
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
        else:
            self.send_body(404, b"<html><body>Not Found</body></html>\n")

    def do_GET(self):
        try:
            self.handle_route()
        except (BrokenPipeError, ConnectionResetError):
            pass

    do_HEAD = do_GET


def remove_state(server):
    # The test process that owned the state folder is gone and cannot clean it up.
    for path in (server.log_path, server.port_file):
        try:
            os.remove(path)
        except OSError:
            pass
    try:
        os.rmdir(os.path.dirname(server.port_file))
    except OSError:
        pass


def watch_parent(pid, server):
    while True:
        time.sleep(1)
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            server.shutdown()
            remove_state(server)
            return
        except PermissionError:
            pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--archive", required=True)
    parser.add_argument("--file", action="append", default=[])
    parser.add_argument("--log", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--parent-pid", type=int, default=0)
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.files = {"archive": os.path.abspath(args.archive)}
    for item in args.file:
        key, _, path = item.partition("=")
        server.files[key] = os.path.abspath(path)
    server.log_path = args.log
    server.port_file = args.port_file
    server.log_lock = threading.Lock()
    server.pattern = pattern_block()
    open(args.log, "a", encoding="utf-8").close()

    temporary = args.port_file + ".tmp"
    with open(temporary, "w", encoding="ascii") as handle:
        handle.write(str(server.server_address[1]))
    os.replace(temporary, args.port_file)

    if args.parent_pid:
        threading.Thread(target=watch_parent, args=(args.parent_pid, server),
                         daemon=True).start()
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
