#!/usr/bin/env python3
"""Many small files through a real-looking link: the launcher's first install
of N files of 16 KiB, served by nginx behind tests/netem/link_proxy.py at a
100 ms round trip and 100 Mbit/s, against what the link allows (the bytes at
the link's rate plus one round trip).

  link fixture   32 connections through the same kind of link first: the
                 fixture must deliver the rate on this machine, or the
                 launcher's figure says nothing (target: at least 0.98)
  first install  the launcher's time against the link's bound, as a share of
                 the link (target: at least 40%, about what 32 connections
                 reach when each has one 16 KiB file per round trip in flight)
  rate cap       with --rate-cap-kib N, the launcher's -maxrate=N: the rate it
                 keeps against N (target: at most 1.05x), or "not supported"
                 when it ignores the switch (the install goes at its uncapped
                 rate)

The launcher must be a test build whose primary host is 127.0.0.1:<host port>
(scripts/test-hosts.sh; --host-port for a build with another one).
Prints one line per measure: "RESULT | name | ours | reference | ratio | target | verdict".
Usage: link_bench.py --launcher L --maker M --client C --work DIR [--files 20000]
"""

import argparse
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import update_bench as ub  # noqa: E402
from update_bench import h  # noqa: E402

PROXY = os.path.join(os.path.dirname(HERE), "tests", "netem", "link_proxy.py")
FILE_SIZE = 16 << 10


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_taken(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


class LinkProxy:
    """link_proxy.py on `port` (0: any) in front of 127.0.0.1:target."""

    def __init__(self, work, port, target, delay_ms, rate_mbit):
        self.stats_file = os.path.join(work, "link-stats-%d.json" % target)
        self.process = subprocess.Popen(
            [sys.executable, PROXY, "--listen", str(port), "--target", "127.0.0.1:%d" % target,
             "--delay-ms", str(delay_ms), "--rate-mbit", str(rate_mbit), "--stats", self.stats_file],
            stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("listening on "):
            self.process.wait()
            raise h.StepFailed("link_proxy.py did not start on port %d" % port)
        self.port = int(line.rsplit(":", 1)[1])

    def stop(self):
        """Ends the proxy and returns its per-connection records."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(30)
        self.process.stdout.close()
        try:
            with open(self.stats_file) as f:
                return json.load(f)["connections"]
        except (OSError, ValueError):
            return []


def make_corpus(work, files):
    """N files of 16 KiB of random bytes (they publish unpacked, so the bytes
    on the link are the files' own), 500 to a folder; made once per N."""
    corpus = os.path.join(work, "link-corpus-%d" % files)
    done = corpus + ".done"
    if not os.path.exists(done):
        if os.path.isdir(corpus):
            shutil.rmtree(corpus)
        rng = random.Random(20261210)
        for i in range(files):
            folder = os.path.join(corpus, "Data", "Pieces", "%03d" % (i // 500))
            if i % 500 == 0:
                os.makedirs(folder)
            with open(os.path.join(folder, "Piece %05d.bin" % i), "wb") as f:
                f.write(rng.randbytes(FILE_SIZE))
        open(done, "w").close()
    return corpus


def publish(args, corpus):
    maker_dir = os.path.join(args.work, "link-maker")
    if os.path.isdir(maker_dir):
        shutil.rmtree(maker_dir)
    input_dir = os.path.join(maker_dir, "input")
    shutil.copytree(corpus, input_dir)
    os.makedirs(os.path.join(input_dir, "client"))
    shutil.copyfile(args.client, os.path.join(input_dir, "client", "Client.exe"))
    # The index names the host behind the link, so the launcher stays on it.
    number = h.publish(h.Runner("maker"), args.maker, maker_dir, None,
                       ["http://127.0.0.1:%d/tsl/" % args.host_port])
    output = os.path.join(maker_dir, "output")
    index = h.read_index(output, number)
    payload = sum(os.path.getsize(h.published_file(output, e["r"])) for e in index["files"])
    return input_dir, output, len(index["files"]), payload


def check_link(args):
    """32 connections through a link like the launcher's: the rate they get
    together, measured after the first second."""
    root = os.path.join(args.work, "link-check")
    os.makedirs(root, exist_ok=True)
    rate = args.rate_mbit * 125000.0
    warm, window = 1.0, args.check_seconds
    size = max(1 << 20, int(rate * (warm + window) * 2 / 32))
    big = os.path.join(root, "big.bin")
    if not os.path.exists(big) or os.path.getsize(big) != size:
        with open(big, "wb") as f:
            f.write(random.Random(1).randbytes(size))
    nginx = h.Nginx(args.work, free_port(), root)
    link = LinkProxy(args.work, 0, nginx.port, args.rtt_ms / 2.0, args.rate_mbit)
    got = [0]
    lock = threading.Lock()
    stop = threading.Event()

    def fetch():
        with socket.create_connection(("127.0.0.1", link.port), timeout=30) as s:
            s.sendall(b"GET /tsl/big.bin HTTP/1.1\r\nHost: link\r\nConnection: close\r\n\r\n")
            while not stop.is_set():
                data = s.recv(1 << 16)
                if not data:
                    break
                with lock:
                    got[0] += len(data)

    threads = [threading.Thread(target=fetch, daemon=True) for _ in range(32)]
    try:
        for t in threads:
            t.start()
        time.sleep(warm)
        with lock:
            before, started = got[0], time.monotonic()
        time.sleep(window)
        with lock:
            after, ended = got[0], time.monotonic()
        stop.set()
    finally:
        link.stop()
        nginx.stop()
        for t in threads:
            t.join(5)
        shutil.rmtree(nginx.dir, ignore_errors=True)
    achieved = (after - before) / (ended - started) * 8 / 1e6
    ratio = achieved / args.rate_mbit
    print("RESULT | link fixture, 32 connections at %g Mbit/s, %g ms round trip | %.2f Mbit/s | %.2f Mbit/s "
          "| %.3f | >= 0.98 | %s" % (args.rate_mbit, args.rtt_ms, achieved, args.rate_mbit, ratio,
                                     "ok" if ratio >= 0.98 else "MISSED"), flush=True)


def install(args, input_dir, output, launcher_args=()):
    """One first install through the link: (seconds, the link's records)."""
    nginx = h.Nginx(args.work, free_port(), output)
    try:
        link = LinkProxy(args.work, args.host_port, nginx.port, args.rtt_ms / 2.0, args.rate_mbit)
        try:
            game, exe = ub.fresh_game(args.work, "game-link", args.launcher)
            took = ub.launch(h.Runner("native"), exe, launcher_args)
        finally:
            records = link.stop()
    finally:
        nginx.stop()
        shutil.rmtree(nginx.dir, ignore_errors=True)
    missing = h.installed_matches(game, input_dir)
    if missing:
        raise h.StepFailed("install through the link incomplete: %s" % missing[:3])
    return took, records


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True, help="native TessalyReach (test build, no sanitizers)")
    parser.add_argument("--maker", required=True)
    parser.add_argument("--client", required=True, help="native stub Client.exe")
    parser.add_argument("--work", required=True)
    parser.add_argument("--files", type=int, default=20000, help="files of 16 KiB")
    parser.add_argument("--rtt-ms", type=float, default=100)
    parser.add_argument("--rate-mbit", type=float, default=100)
    parser.add_argument("--rate-cap-kib", type=int, help="also measure the launcher's -maxrate=N")
    parser.add_argument("--host-port", type=int, default=h.PRIMARY_PORT,
                        help="the launcher's compiled-in primary port")
    parser.add_argument("--check-seconds", type=float, default=4, help="of the link fixture's own measure")
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    try:
        if port_taken(args.host_port):
            raise h.StepFailed("port %d is in use (another test run?)" % args.host_port)
        check_link(args)
        corpus = make_corpus(args.work, args.files)
        input_dir, output, entries, payload = publish(args, corpus)
        took, records = install(args, input_dir, output)
        rtt = args.rtt_ms / 1000.0
        bound = payload * 8 / (args.rate_mbit * 1e6) + rtt
        share = bound / took
        down = sum(r["bytes_down"] for r in records)
        print("  (%d files, %d published bytes, %.1f s, %.0f ms a file; %d connections, %d bytes down the link)"
              % (entries, payload, took, 1000 * took / entries, len(records), down))
        print("RESULT | first install, %d files of 16 KiB, %g ms / %g Mbit/s link | %.2f s | %.2f s "
              "| %.1f%% | >= 40%% | %s" % (args.files, args.rtt_ms, args.rate_mbit, took, bound,
                                          100 * share, "ok" if share >= 0.4 else "MISSED"), flush=True)
        if args.rate_cap_kib:
            cap = args.rate_cap_kib
            free_rate = payload / 1024.0 / took
            name = "first install with -maxrate=%d" % cap
            try:
                capped, _ = install(args, input_dir, output, ["-maxrate=%d" % cap])
            except h.StepFailed as e:
                print("RESULT | %s | - | %d KiB/s | - | <= 1.05 | not supported (%s)" % (name, cap, e), flush=True)
                return 0
            rate = payload / 1024.0 / capped
            if free_rate <= 1.2 * cap:
                print("RESULT | %s | %.0f KiB/s | %d KiB/s | - | <= 1.05 | cannot tell: %.0f KiB/s uncapped"
                      % (name, rate, cap, free_rate), flush=True)
            elif rate > 1.2 * cap and rate > 0.8 * free_rate:
                print("RESULT | %s | %.0f KiB/s | %d KiB/s | %.3f | <= 1.05 | not supported"
                      % (name, rate, cap, rate / cap), flush=True)
            else:
                print("RESULT | %s | %.0f KiB/s | %d KiB/s | %.3f | <= 1.05 | %s"
                      % (name, rate, cap, rate / cap, "ok" if rate <= 1.05 * cap else "MISSED"), flush=True)
    except h.StepFailed as e:
        print("link_bench: FAILED: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
