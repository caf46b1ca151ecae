#!/usr/bin/env python3
"""Local HTTP/1.1 server for integration tests.

Usage: http_test_server.py CONFIG_FILE REQUEST_LOG CONTROL_PORT

Binds 127.0.0.1 on a free port, connects to the test's CONTROL_PORT on 127.0.0.1 and sends
"PORT <n>" there, n in five digits. Ends when the test closes that connection, which the system
does for it when it dies, so that the server never outlives the test that started it: unlike its
standard streams, a connection works as well for a Windows test that runs under Wine. Every request
re-reads CONFIG_FILE (JSON), so a test changes the server's behaviour by replacing that file:

    {"routes": {"/path": {"body_file": "...", "status": 200, "location": "...", "ignore_range": false,
                          "cut_after": N, "reset_after": N, "stall_after": N,
                          "chunk_bytes": N, "interval_ms": N}}}

Routes match on the path of the request target, which may be in absolute form
("GET http://host/path?query HTTP/1.1", as a client talking to a proxy sends it). A path without
a route is answered with 404. Every request is appended to REQUEST_LOG as one line of
tab-separated fields, method, target, path, query and Range header, before it is answered.
"""

import json
import os
import re
import select
import socket
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

COPY_BLOCK = 64 * 1024


class TestServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, config_path, log_path):
        super().__init__(("127.0.0.1", 0), Handler)
        self.config_path = config_path
        self.log_path = log_path
        self.log_lock = threading.Lock()

    def handle_error(self, request, client_address):
        # Clients that give up mid-body (cancelled, timed out, failed writes) are part of the
        # tests; anything else is a fault of the server and is shown.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)

    def route(self, path):
        try:
            with open(self.config_path, "rb") as config:
                routes = json.load(config).get("routes", {})
        except (OSError, ValueError):
            routes = {}
        return routes.get(path)

    def record(self, fields):
        line = "\t".join(f.replace("\t", " ").replace("\r", " ").replace("\n", " ")
                         for f in fields) + "\n"
        with self.log_lock:
            with open(self.log_path, "a", encoding="utf-8", errors="replace") as log:
                log.write(line)


def range_start(header, size):
    """The start of the open byte range "bytes=N-" that resuming clients ask for; "unsatisfiable"
    when it lies at or past the end; None for no range or any other form (the whole body is
    served then)."""
    match = re.fullmatch(r"bytes=(\d+)-", header)
    if not match:
        return None
    start = int(match.group(1))
    return "unsatisfiable" if start >= size else start


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        target = urllib.parse.urlsplit(self.path)
        range_header = self.headers.get("Range", "")
        self.server.record([self.command, self.path, target.path, target.query, range_header])
        route = self.server.route(target.path)
        if route is None:
            self.send_status_page(404)
            return
        status = route.get("status", 200)
        if route.get("location") and status == 200:
            status = 302
        if status != 200:
            self.send_status_page(status, route.get("location"))
            return
        self.send_file(route, range_header)

    def send_status_page(self, status, location=None):
        body = ("%d %s\n" % (status, self.responses.get(status, ("",))[0])).encode()
        self.send_response(status)
        if location:
            self.send_header("Location", location)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def send_file(self, route, range_header):
        path = route["body_file"]
        size = os.path.getsize(path)
        start = None if route.get("ignore_range") else range_start(range_header, size)
        if start == "unsatisfiable":
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if start is None:
            start = 0
            self.send_response(200)
        else:
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
        length = size - start
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Accept-Ranges", "none" if route.get("ignore_range") else "bytes")
        self.send_header("Content-Length", str(length))
        self.end_headers()
        with open(path, "rb") as body:
            self.send_body(body, start, length, route)

    def send_body(self, body, start, length, route):
        cut_after = route.get("cut_after")
        reset_after = route.get("reset_after")
        stall_after = route.get("stall_after")
        limit = length
        for fault in (cut_after, reset_after):
            if fault is not None:
                limit = min(limit, fault)
        if stall_after is not None:
            limit = min(limit, stall_after)
        interval = route.get("interval_ms", 0) / 1000.0
        if interval:
            sent = self.send_slowly(body, start, limit, route.get("chunk_bytes") or COPY_BLOCK,
                                    interval)
        elif limit > 0:
            self.wfile.flush()
            sent = self.connection.sendfile(body, offset=start, count=limit)
        else:
            sent = 0
        if reset_after is not None and reset_after < length:
            # With a zero linger time the close sends RST instead of FIN; it takes place once the
            # request's files are closed, before the server's own shutdown could send a FIN.
            self.wfile.flush()
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.connection.close()
            raise ConnectionResetError("connection reset by the test server")
        if stall_after is not None and stall_after < length:
            self.wait_for_client_close()
        if sent < length:
            self.close_connection = True

    def send_slowly(self, body, start, limit, chunk, interval):
        body.seek(start)
        sent = 0
        while sent < limit:
            data = body.read(min(chunk, limit - sent))
            if not data:
                break
            self.wfile.write(data)
            sent += len(data)
            if sent < limit:
                time.sleep(interval)
        return sent

    def wait_for_client_close(self):
        """Keeps the connection open, sending nothing, until the client goes away."""
        while True:
            readable, _, _ = select.select([self.connection], [], [], 1.0)
            if not readable:
                continue
            try:
                if not self.connection.recv(4096):
                    return
            except OSError:
                return


def exit_when_test_goes(control):
    """The test holds the other end of the control connection; end with it, however it ended."""
    try:
        while control.recv(4096):
            pass
    except OSError:
        pass
    os._exit(0)


def main():
    if len(sys.argv) != 4:
        sys.stderr.write("usage: http_test_server.py CONFIG_FILE REQUEST_LOG CONTROL_PORT\n")
        return 2
    server = TestServer(sys.argv[1], sys.argv[2])
    control = socket.create_connection(("127.0.0.1", int(sys.argv[3])))
    control.sendall(b"PORT %05d\n" % server.server_address[1])
    threading.Thread(target=exit_when_test_goes, args=(control,), daemon=True).start()
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
