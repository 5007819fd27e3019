#!/usr/bin/env python3
"""Update-run benchmarks, against the naive pipeline measured in the same run:

  full install   our launcher installing a corpus published by the maker, from
                 nginx on loopback, against one curl process fetching the same
                 published files plus `xz --format=raw -d` of the packed ones
                 (target: at most 0.7x); the Windows launcher under Wine against
                 the native one (target: at most 1.5x)
  no change      a second run over 20,000 installed files with a valid cache
                 against sha1sum over every file (target: at most 0.25x); the
                 Windows launcher under Wine against its own -noupdate start
                 plus 3 s, about what Wine takes to stat that many files
                 (target: at most 1x)
  overlap        how many entries the check had visited when the first file
                 download arrived at the host (target: under a tenth)

The launchers must be test builds (compiled-in hosts on the loopback ports of
scripts/test-hosts.sh).
Prints one line per measure: "RESULT | name | ours | reference | ratio | target | verdict".
"""

import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
import harness as h  # noqa: E402

LZMA2 = "dict=16MiB,lc=3,lp=0,pb=2,mode=normal,nice=32,mf=bt4,depth=32"


def timed(cmd, **kw):
    started = time.time()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
    return time.time() - started


def result(name, ours, theirs, target, lower_is_better=True, unit="s"):
    ratio = ours / theirs if theirs > 0 else float("inf")
    ok = ratio <= target if lower_is_better else ratio >= target
    print("RESULT | %s | %.3f %s | %.3f %s | %.3f | %s %.2f | %s"
          % (name, ours, unit, theirs, unit, ratio, "<=" if lower_is_better else ">=", target,
             "ok" if ok else "MISSED"), flush=True)


def publish_corpus(args, work, corpus, name):
    maker_dir = os.path.join(work, name + "-maker")
    input_dir = os.path.join(maker_dir, "input")
    if os.path.isdir(maker_dir):
        shutil.rmtree(maker_dir)
    os.makedirs(maker_dir)
    shutil.copytree(corpus, input_dir)
    os.makedirs(os.path.join(input_dir, "client"), exist_ok=True)
    shutil.copyfile(args.client, os.path.join(input_dir, "client", "Client.exe"))
    h.publish(h.Runner("maker"), args.maker, maker_dir, None, ["http://127.0.0.1:%d/tsl/" % h.PRIMARY_PORT])
    return maker_dir, input_dir, os.path.join(maker_dir, "output")


def fresh_game(work, name, launcher):
    game = os.path.join(work, name)
    if os.path.isdir(game):
        shutil.rmtree(game)
    os.makedirs(game)
    exe = os.path.join(game, os.path.basename(launcher))
    shutil.copyfile(launcher, exe)
    os.chmod(exe, 0o755)
    return game, exe


def launch(runner, exe, arguments=()):
    # Test builds write message boxes to this log instead of waiting for a click.
    log = os.path.join(os.path.dirname(os.path.dirname(exe)), "messages.txt")
    # Wine's own processes (the server, its services, the desktop) inherit a
    # program's output; with pipes the run would last until the last of them
    # has gone, seconds after the program.
    output = os.path.join(os.path.dirname(os.path.dirname(exe)), "wine-output.txt") \
        if runner.wine_run else None
    code, _, err, took = runner.run(exe, list(arguments), timeout=3600, env={"TSL_MESSAGE_LOG": log},
                                    output_file=output)
    if code != 0:
        raise h.StepFailed("launcher exit code %d: %s" % (code, err[-400:]))
    return took


class WineServer:
    """One wineserver, with Wine's services, kept for every measured Windows
    run: otherwise each run pays for starting them, or not, depending on
    whether the previous run's server has lingered on."""

    def __init__(self, wine_run):
        self.wine_run = wine_run
        repo = os.path.dirname(os.path.dirname(os.path.abspath(wine_run)))
        self.env = dict(os.environ)
        self.env["WINEPREFIX"] = os.environ.get("WINEPREFIX") or os.environ.get("TSL_WINEPREFIX") or \
            os.path.join(repo, "build", "wineprefix")
        self.keep = os.path.join(repo, "scripts", "keep-wineserver.sh")

    def quiet(self, cmd):
        subprocess.run(cmd, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=600)

    def __enter__(self):
        self.quiet([self.wine_run, "cmd", "/c", "exit"])  # makes the prefix when it is new
        self.quiet(["wineserver", "-w"])
        self.quiet([self.keep])
        self.quiet([self.wine_run, "cmd", "/c", "exit"])  # starts the services, detached from any run
        return self

    def __exit__(self, *exc):
        self.quiet(["wineserver", "-k"])


def naive_pipeline(work, output):
    """curl fetching every published file in one process, then xz -d of the packed ones."""
    import json
    with open(os.path.join(output, "version.json")) as f:
        number = h.read_index(output, json.load(f)["gameupdate"])
    target = os.path.join(work, "naive")
    if os.path.isdir(target):
        shutil.rmtree(target)
    os.makedirs(target)
    config = os.path.join(work, "curl.conf")
    packed = []
    with open(config, "w") as f:
        for i, e in enumerate(number["files"]):
            out = os.path.join(target, "%05d" % i)
            f.write('url = "http://127.0.0.1:%d/tsl/%s"\noutput = "%s"\n' % (h.PRIMARY_PORT, e["r"], out))
            if e.get("r_pack") == "lzma2":
                packed.append(out)
    fetch = timed(["curl", "-s", "--fail", "-K", config])
    started = time.time()
    for p in packed:
        with open(p, "rb") as src, open(p + ".out", "wb") as dst:
            src.seek(13)
            subprocess.run(["xz", "--format=raw", "--lzma2=" + LZMA2, "-d", "-c"], stdin=src, stdout=dst,
                           check=True)
    return fetch + (time.time() - started)


def full_install(args, work, corpus):
    maker_dir, input_dir, output = publish_corpus(args, work, corpus, "install")
    server = h.Nginx(work, h.PRIMARY_PORT, output)
    try:
        naive = min(naive_pipeline(work, output) for _ in range(args.repeat))
        ours = []
        for i in range(args.repeat):
            game, exe = fresh_game(work, "game-native", args.launcher)
            ours.append(launch(h.Runner("native"), exe))
            missing = h.installed_matches(game, input_dir)
            if missing:
                raise h.StepFailed("full install incomplete: %s" % missing[:3])
        native = min(ours)
        result("full install, native launcher", native, naive, 0.7)
        if args.win_launcher:
            wine = h.Runner("wine", args.wine)
            game, exe = fresh_game(work, "game-wine", args.win_launcher)
            # The first program in a fresh Wine prefix sets the prefix up;
            # that belongs to neither side. What Wine itself costs to start a
            # program and the client is shown beside the result.
            launch(wine, exe, ["-noupdate"])
            start_up = min(launch(wine, exe, ["-noupdate"]) for _ in range(args.repeat))
            took = launch(wine, exe)
            missing = h.installed_matches(game, input_dir)
            if missing:
                raise h.StepFailed("full install under Wine incomplete: %s" % missing[:3])
            print("  (Wine start-up of the launcher and the client without an update: %.3f s)" % start_up)
            result("full install, Windows launcher (Wine) against the native one", took, native, 1.5)
    finally:
        server.stop()


def no_change(args, work):
    corpus = os.path.join(work, "corpus-20k")
    if not os.path.isdir(corpus):
        subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), corpus, str(args.small_mib),
                        "--small-files", "20000"], check=True)
    maker_dir, input_dir, output = publish_corpus(args, work, corpus, "nochange")
    server = h.Nginx(work, h.PRIMARY_PORT, output)
    try:
        game, exe = fresh_game(work, "game-20k", args.launcher)
        launch(h.Runner("native"), exe)
        files = sum(len(f) for _, _, f in os.walk(game))
        second = min(launch(h.Runner("native"), exe) for _ in range(args.repeat))
        listing = os.path.join(work, "files.txt")
        with open(listing, "w") as f:
            for base, _, names in os.walk(game):
                for n in names:
                    f.write(os.path.join(base, n) + "\0")
        hashing = min(timed(["sh", "-c", "xargs -0 sha1sum < '%s'" % listing]) for _ in range(args.repeat))
        print("  (%d installed files)" % files)
        result("no change over 20,000 files, native launcher", second, hashing, 0.25)
        if args.win_launcher:
            wine = h.Runner("wine", args.wine)
            game, exe = fresh_game(work, "game-20k-wine", args.win_launcher)
            launch(wine, exe)
            start_up = min(launch(wine, exe, ["-noupdate"]) for _ in range(args.repeat))
            second = min(launch(wine, exe) for _ in range(args.repeat))
            print("  (Wine start-up of the launcher and the client without an update: %.3f s)" % start_up)
            result("no change over 20,000 files, Windows launcher (Wine) against -noupdate + 3 s",
                   second, start_up + 3, 1.0)
    finally:
        server.stop()


def overlap(args, work, corpus):
    """An installed game whose next update changes a few files listed first:
    with a new gameupdate number every file of matching size is hashed, and
    the changed ones must be in flight long before that walk ends."""
    maker_dir, input_dir, output = publish_corpus(args, work, corpus, "overlap")
    server = h.Nginx(work, h.PRIMARY_PORT, output)
    try:
        game, exe = fresh_game(work, "game-overlap", args.launcher)
        launch(h.Runner("native"), exe)
    finally:
        server.stop()
    changed = sorted(os.path.join(b, n) for b, _, names in os.walk(input_dir) for n in names
                     if n.endswith(".dat"))[:3]
    for path in changed:
        with open(path, "ab") as f:
            f.write(b" changed")
    number = h.publish(h.Runner("maker"), args.maker, maker_dir, None,
                       ["http://127.0.0.1:%d/tsl/" % h.PRIMARY_PORT])
    index = h.read_index(output, number)
    first = [e for e in index["files"] if e["u"] == number]
    index["files"] = first + [e for e in index["files"] if e["u"] != number]
    h.write_index(output, number, index)
    entries = len(index["files"])

    server = h.FaultServer(h.PRIMARY_PORT, root=output)
    checked = []
    try:
        p = subprocess.Popen([exe], cwd=game, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL)

        def read():
            for line in p.stderr:
                if b"Checking file" in line or "Проверка файла".encode() in line:
                    checked.append(time.time())
        reader = threading.Thread(target=read)
        reader.start()
        p.wait(3600)
        reader.join()
    finally:
        server.stop()
    downloads = [(t, path) for t, path in zip(server.times, server.log)
                 if not path.endswith(("version.json", "index.json", "index.json.lzma2"))]
    if not downloads:
        raise h.StepFailed("overlap: nothing was downloaded")
    seen = sum(1 for t in checked if t <= downloads[0][0])
    print("RESULT | entries checked before the first download | %d | %d entries | %.3f | < 0.10 | %s"
           % (seen, entries, float(seen) / entries, "ok" if seen < entries / 10 else "MISSED"),
          flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True, help="native TessalyReach (test build, no sanitizers)")
    parser.add_argument("--maker", required=True)
    parser.add_argument("--client", required=True, help="native stub Client.exe")
    parser.add_argument("--win-launcher", help="Windows TessalyReach.exe (test build)")
    parser.add_argument("--wine", help="scripts/wine-run.sh")
    parser.add_argument("--corpus", help="corpus folder (default: generate one)")
    parser.add_argument("--mib", type=float, default=256)
    parser.add_argument("--small-mib", type=float, default=48, help="size of the 20,000-file corpus")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    corpus = args.corpus or os.path.join(args.work, "corpus")
    if not os.path.isdir(corpus):
        subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), corpus, str(args.mib)], check=True)
    try:
        with contextlib.ExitStack() as stack:
            if args.win_launcher:
                stack.enter_context(WineServer(args.wine))
            full_install(args, args.work, corpus)
            no_change(args, args.work)
            overlap(args, args.work, corpus)
    except h.StepFailed as e:
        print("update_bench: FAILED: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
