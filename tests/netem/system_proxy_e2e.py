#!/usr/bin/env python3
"""The system proxy against a real one: tinyproxy asking for Basic
authentication (auth_proxy.sh) on a free loopback port, and the test
program's FetchesThroughTheUsersProxy test run against it (it sets the proxy
up as the platform's users do, and fetches with and without credentials).
Passes when that test ran and passed and the proxy's log shows the request it
carried. Skips with one line when tinyproxy is not installed.
Usage: system_proxy_e2e.py [--runner scripts/wine-run.sh] <tsl_tests program>"""

import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
AUTH_PROXY = os.path.join(HERE, "auth_proxy.sh")
USER, PASSWORD = "reach", "word-1"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runner", default="", help="runs the Windows test program (Wine)")
    parser.add_argument("program")
    args = parser.parse_args()
    if not shutil.which("tinyproxy"):
        print("system_proxy_e2e: skipped, tinyproxy is not installed (scripts/install-packages.sh)")
        return 0
    with tempfile.TemporaryDirectory() as work:
        port = free_port()
        subprocess.run([AUTH_PROXY, "start", work, str(port), USER, PASSWORD], check=True, timeout=30)
        try:
            env = dict(os.environ, TSL_TEST_PROXY="127.0.0.1:%d" % port, TSL_TEST_PROXY_USER=USER,
                       TSL_TEST_PROXY_PASSWORD=PASSWORD)
            command = ([args.runner] if args.runner else []) + [
                args.program, "--gtest_filter=*FetchesThroughTheUsersProxy", "--gtest_color=no"]
            # A new Wine prefix takes a while to start.
            result = subprocess.run(command, env=env, capture_output=True, text=True, timeout=240)
            print(result.stdout[-6000:], end="")
            print(result.stderr[-3000:], end="", file=sys.stderr)
            if result.returncode != 0:
                print("system_proxy_e2e: FAILED: the test program exited with %d" % result.returncode)
                return 1
            if "[  PASSED  ] 1 test." not in result.stdout or "[  SKIPPED ]" in result.stdout:
                print("system_proxy_e2e: FAILED: the test through the proxy did not run")
                return 1
            with open(os.path.join(work, "tinyproxy.log"), errors="replace") as f:
                log = f.read()
            # The request, and a connection the proxy made for it (only once the
            # credentials were right).
            if not (re.search(r"GET http://127\.0\.0\.1:\d+/through-proxy\.txt", log)
                    and "Established connection to host" in log):
                print("system_proxy_e2e: FAILED: the proxy's log shows no request:\n" + log[-3000:])
                return 1
        finally:
            subprocess.run([AUTH_PROXY, "stop", work], timeout=30)
    print("system_proxy_e2e: fetched through tinyproxy on port %d" % port)
    return 0


if __name__ == "__main__":
    sys.exit(main())
