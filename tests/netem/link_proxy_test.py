#!/usr/bin/env python3
"""The link fixture against a local http.server: round trips, rate, one link
shared by its connections, a trickling host, and the stats it writes.
Run: python3 tests/netem/link_proxy_test.py   (about 15 s)"""

import http.server
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

PROXY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "link_proxy.py")


class Bodies(http.server.BaseHTTPRequestHandler):
    """GET /N answers N bytes, on a kept-alive connection."""
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        n = int(self.path.strip("/"))
        self.send_response(200)
        self.send_header("Content-Length", str(n))
        self.end_headers()
        block = b"x" * 65536
        while n > 0:
            self.wfile.write(block[:n])
            n -= len(block)

    def log_message(self, *args):
        pass


def get(sock, size):
    """One GET on an open socket: (monotonic times of the request, its first
    byte and its last, body bytes that came with the first read)."""
    started = time.monotonic()
    sock.sendall(b"GET /%d HTTP/1.1\r\nHost: t\r\n\r\n" % size)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise AssertionError("connection closed in the headers")
        data += chunk
    first = time.monotonic()
    have = first_body = len(data.split(b"\r\n\r\n", 1)[1])
    while have < size:
        chunk = sock.recv(65536)
        if not chunk:
            raise AssertionError("connection closed after %d of %d bytes" % (have, size))
        have += len(chunk)
    return started, first, time.monotonic(), first_body


class LinkProxyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Bodies)
        cls.server.daemon_threads = True
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.server.server_close()

    def start(self, *options):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.stats_file = os.path.join(self.dir.name, "stats.json")
        self.proxy = subprocess.Popen(
            [sys.executable, PROXY, "--target", "127.0.0.1:%d" % self.server.server_address[1],
             "--stats", self.stats_file] + list(options), stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.stop)
        line = self.proxy.stdout.readline()
        self.assertRegex(line, r"^listening on 127\.0\.0\.1:\d+$")
        self.port = int(line.rsplit(":", 1)[1])

    def stop(self):
        if self.proxy.poll() is None:
            self.proxy.send_signal(signal.SIGTERM)
            self.assertEqual(self.proxy.wait(10), 0)
        self.proxy.stdout.close()
        with open(self.stats_file) as f:
            return json.load(f)["connections"]

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.addCleanup(s.close)
        return s

    def test_a_request_costs_its_round_trips(self):
        self.start("--delay-ms", "100")
        s = self.connect()
        # A new connection: the handshake's round trip, then the request's.
        started, _, done, _ = get(s, 1000)
        self.assertGreaterEqual(done - started, 0.4)
        self.assertLess(done - started, 0.55)
        # A kept-alive one: the request's round trip only.
        started, _, done, _ = get(s, 1000)
        self.assertGreaterEqual(done - started, 0.2)
        self.assertLess(done - started, 0.35)

    def test_a_connection_gets_the_rate_through_the_delay(self):
        # 100 KB in flight each way: a sender paused on bytes past the
        # bottleneck rather than bytes waiting for it would fall short.
        self.start("--delay-ms", "100", "--rate-mbit", "8")
        size = 2500000
        _, first, last, early = get(self.connect(), size)
        rate = (size - early) / (last - first)
        self.assertAlmostEqual(rate / 1e6, 1.0, delta=0.05)

    def test_connections_share_one_link(self):
        self.start("--delay-ms", "20", "--rate-mbit", "8")
        size = 1200000
        results = []
        socks = [self.connect(), self.connect()]
        threads = [threading.Thread(target=lambda s=s: results.append(get(s, size))) for s in socks]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(len(results), 2)
        first = min(r[1] for r in results)
        last = max(r[2] for r in results)
        # Twice the bytes at the one rate, both finishing near the end: shared
        # evenly, not one after the other.
        rate = (2 * size - sum(r[3] for r in results)) / (last - first)
        self.assertAlmostEqual(rate / 1e6, 1.0, delta=0.05)
        for r in results:
            self.assertGreater(r[2] - first, 0.9 * (last - first))
        for s in socks:
            s.close()
        records = self.stop()
        self.assertEqual(len(records), 2)
        for r in records:
            self.assertGreater(r["bytes_down"], size)
            self.assertGreater(r["bytes_up"], 0)

    def test_a_trickling_host_paces_each_connection(self):
        self.start("--trickle", "20000")
        results = []
        threads = [threading.Thread(target=lambda s=s: results.append(get(s, 30000)))
                   for s in (self.connect(), self.connect())]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        # Each connection at its own 20,000 bytes/s, headers included.
        for started, _, done, _ in results:
            self.assertGreater(done - started, 1.4)
            self.assertLess(done - started, 1.7)


if __name__ == "__main__":
    unittest.main()
