#!/usr/bin/env python3
"""The authenticating forward proxy of tests/netem/auth_proxy.sh: it turns a
request without credentials away with 407, passes one with them through to a
local http.server, and stop ends that instance.
Run: python3 tests/netem/auth_proxy_test.py   (needs tinyproxy and curl)"""

import http.server
import os
import socket
import subprocess
import tempfile
import threading
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "auth_proxy.sh")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Hello(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", "5")
        self.end_headers()
        self.wfile.write(b"hello")

    def log_message(self, *args):
        pass


class AuthProxyTest(unittest.TestCase):
    def test_credentials_are_required_and_stop_ends_it(self):
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hello)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        port = free_port()
        args = [work.name, str(port), "reach", "word-1"]
        subprocess.run([SCRIPT, "start"] + args, check=True, timeout=30)
        self.addCleanup(subprocess.run, [SCRIPT, "stop"] + args, timeout=30)
        with open(os.path.join(work.name, "tinyproxy.pid")) as f:
            pid = int(f.read())

        def fetch(*options):
            return subprocess.run(
                ["curl", "-s", "-o", "-", "-w", " %{http_code}", "-x", "http://127.0.0.1:%d" % port]
                + list(options) + ["http://127.0.0.1:%d/x" % server.server_address[1]],
                capture_output=True, text=True, timeout=30).stdout

        self.assertTrue(fetch().endswith(" 407"))
        self.assertEqual(fetch("-U", "reach:word-1"), "hello 200")
        subprocess.run([SCRIPT, "stop"] + args, check=True, timeout=30)
        self.assertFalse(os.path.exists("/proc/%d" % pid))
        with socket.socket() as s:
            self.assertNotEqual(s.connect_ex(("127.0.0.1", port)), 0)


if __name__ == "__main__":
    unittest.main()
