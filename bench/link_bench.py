#!/usr/bin/env python3
"""Many small files through a real-looking link: the launcher's first install
of N files of 16 KiB, served by nginx behind tests/netem/link_proxy.py at a
100 ms round trip and 100 Mbit/s, against what the link allows (the bytes at
the link's rate plus one round trip).

  link fixture   32 connections through the same kind of link first: the
                 fixture must deliver the rate on this machine, or the
                 launcher's figures say nothing (target: at least 0.98)
  first install  the launcher's time against the link's bound, as a share of
                 the link (target: at least 80%)
  rate cap       the launcher's -maxrate=N (5120 KiB/s by default) over a
                 first install of larger files through the same link, which
                 alone would go faster than the cap: the rate it keeps from
                 its first file request to its last byte written, against N
                 (target: within 5%)

The launcher must be a test build whose primary host is 127.0.0.1:<host port>
(scripts/test-hosts.sh; --host-port for a build with another one).
Prints one line per measure: "RESULT | name | ours | reference | ratio | target | verdict".
Usage: link_bench.py --launcher L --maker M --client C --work DIR [--files 20000] [--transfers N]
"""

import argparse
import json
import os
import random
import shutil
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import update_bench as ub  # noqa: E402
from update_bench import h  # noqa: E402

FILE_SIZE = 16 << 10
CAP_FILE_SIZE = 1 << 20


def port_taken(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def make_corpus(work, files, size):
    """N files of `size` random bytes, 500 to a folder; made once per N and size."""
    corpus = os.path.join(work, "link-corpus-%d-%d" % (files, size))
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
                f.write(rng.randbytes(size))
        open(done, "w").close()
    return corpus


def publish(args, corpus, name, size):
    maker_dir = os.path.join(args.work, name)
    if os.path.isdir(maker_dir):
        shutil.rmtree(maker_dir)
    os.makedirs(maker_dir)
    exe = os.path.join(maker_dir, os.path.basename(args.maker))
    shutil.copyfile(args.maker, exe)
    os.chmod(exe, 0o755)
    subprocess.run([exe, "-patchmaker"], cwd=maker_dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Random bytes never pack: copied as they are, the maker spares the
    # attempt, and the bytes on the link are the files' own either way.
    config = os.path.join(maker_dir, "config.json")
    with open(config) as f:
        doc = json.load(f)
    doc["maker"]["packer"]["minsize"] = size + 1
    with open(config, "w") as f:
        json.dump(doc, f, indent=4)
    input_dir = os.path.join(maker_dir, "input")
    shutil.rmtree(input_dir)
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
    nginx = h.Nginx(args.work, h.free_port(), root)
    link = h.LinkProxy(args.work, 0, nginx.port, args.rtt_ms / 2.0, args.rate_mbit)
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
    """One first install through the link: (seconds, the link's records, the
    game folder, nginx's requests)."""
    nginx = h.Nginx(args.work, h.free_port(), output)
    try:
        link = h.LinkProxy(args.work, args.host_port, nginx.port, args.rtt_ms / 2.0, args.rate_mbit)
        try:
            game, exe = ub.fresh_game(args.work, "game-link", args.launcher)
            if args.transfers:
                with open(os.path.join(game, "launcher.ini"), "w") as f:
                    f.write("transfers = %d\n" % args.transfers)
            took = ub.launch(h.Runner("native"), exe, launcher_args)
        finally:
            records = link.stop()
        served = nginx.transfers()
    finally:
        nginx.stop()
        shutil.rmtree(nginx.dir, ignore_errors=True)
    missing = h.installed_matches(game, input_dir)
    if missing:
        raise h.StepFailed("install through the link incomplete: %s" % missing[:3])
    return took, records, game, served


def last_write(game):
    return max(os.path.getmtime(os.path.join(base, name)) for base, _, names in os.walk(game)
               if ".temp" not in base for name in names if name != "client-record.jsonl")


def first_install(args):
    corpus = make_corpus(args.work, args.files, FILE_SIZE)
    input_dir, output, entries, payload = publish(args, corpus, "link-maker", FILE_SIZE)
    took, records, _, _ = install(args, input_dir, output)
    rtt = args.rtt_ms / 1000.0
    bound = payload * 8 / (args.rate_mbit * 1e6) + rtt
    share = bound / took
    down = sum(r["bytes_down"] for r in records)
    # One file per connection per round trip, without pipelining.
    in_flight = args.transfers or 16
    flight = in_flight * FILE_SIZE * 8 / rtt / 1e6
    print("  (%d files, %d published bytes, %.1f s, %.1f ms a file; %d connections, %d bytes down the link;"
          " %d files of 16 KiB in flight carry at most %.0f Mbit/s at this round trip)"
          % (entries, payload, took, 1000 * took / entries, len(records), down, in_flight, flight))
    print("RESULT | first install, %d files of 16 KiB, %g ms / %g Mbit/s link%s | %.2f s | %.2f s "
          "| %.1f%% | >= 80%% | %s" % (args.files, args.rtt_ms, args.rate_mbit,
                                      ", transfers = %d" % args.transfers if args.transfers else "", took, bound,
                                      100 * share, "ok" if share >= 0.8 else "MISSED"), flush=True)


def rate_cap(args):
    """Files large enough that the link alone would carry them faster than
    the cap: the rate from the first file asked to the last byte written."""
    cap = args.rate_cap_kib
    files = max(4, int(args.cap_mib * (1 << 20) // CAP_FILE_SIZE))
    corpus = make_corpus(args.work, files, CAP_FILE_SIZE)
    input_dir, output, _, _ = publish(args, corpus, "link-cap-maker", CAP_FILE_SIZE)
    name = "first install of %d MiB with -maxrate=%d" % (files * CAP_FILE_SIZE >> 20, cap)
    _, _, game, served = install(args, input_dir, output, ["-maxrate=%d" % cap])
    fetched = [t for t in served if not t[0].endswith(("version.json", "index.json", "index.json.lzma2"))]
    seconds = last_write(game) - min(t[3] for t in fetched)
    rate = sum(t[2] for t in fetched) / 1024.0 / seconds
    ratio = rate / cap
    print("RESULT | %s | %.0f KiB/s | %d KiB/s | %.3f | 0.95 to 1.05 | %s"
          % (name, rate, cap, ratio, "ok" if 0.95 <= ratio <= 1.05 else "MISSED"), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True, help="native TessalyReach (test build, no sanitizers)")
    parser.add_argument("--maker", required=True)
    parser.add_argument("--client", required=True, help="native stub Client.exe")
    parser.add_argument("--work", required=True)
    parser.add_argument("--files", type=int, default=20000, help="files of 16 KiB")
    parser.add_argument("--rtt-ms", type=float, default=100)
    parser.add_argument("--rate-mbit", type=float, default=100)
    parser.add_argument("--rate-cap-kib", type=int, default=5120, help="the cap to measure (0: none)")
    parser.add_argument("--cap-mib", type=float, default=64, help="installed under the cap, in files of 1 MiB")
    parser.add_argument("--transfers", type=int,
                        help="files in flight, set in launcher.ini (default: the launcher's own, 16)")
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
        first_install(args)
        if args.rate_cap_kib:
            rate_cap(args)
    except h.StepFailed as e:
        print("link_bench: FAILED: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
