#!/usr/bin/env python3
"""The main job on the built-in sample game: the maker publishes it, nginx
serves `output` on 127.0.0.1, the Windows launcher (under Wine) installs the
game into a fresh folder and starts the stub client; then the sample changes,
the maker publishes update N+1 and the launcher brings the installation up to
date, replacing only what changed."""

import argparse
import os
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402


def say(text):
    print("demo: " + text, flush=True)


def screenshot_when_shown(path, stop):
    """Saves the screen once the splash window is up."""
    while not stop.is_set():
        r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Tessaly Reach$"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ids = r.stdout.split()
        if ids:
            time.sleep(0.4)  # let the first status lines paint
            subprocess.run(["import", "-window", ids[0].decode(), path],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if os.path.exists(path):
                return
        time.sleep(0.1)


def run_launcher(runner, launcher, label, shot=None):
    stop = threading.Event()
    t = None
    if shot and os.environ.get("DISPLAY"):
        t = threading.Thread(target=screenshot_when_shown, args=(shot, stop), daemon=True)
        t.start()
    code, out, err, took = runner.run(launcher, ["-windowed"], timeout=600)
    stop.set()
    if t:
        t.join(5)
    say("%s: launcher exit code %d after %.1fs" % (label, code, took))
    if code != 0:
        raise h.StepFailed("%s: the launcher failed (exit %d): %s" % (label, code, err[-800:]))
    return took


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--maker", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--wine")
    parser.add_argument("--work", required=True)
    args = parser.parse_args()

    work = os.path.abspath(args.work)
    if os.path.isdir(work):
        shutil.rmtree(work)
    os.makedirs(work)
    maker_dir = os.path.join(work, "publisher")
    input_dir = os.path.join(maker_dir, "input")
    output_dir = os.path.join(maker_dir, "output")
    game = os.path.join(work, "Tessaly Reach")
    os.makedirs(game)
    launcher = os.path.join(game, os.path.basename(args.launcher))
    shutil.copyfile(args.launcher, launcher)
    os.chmod(launcher, 0o755)
    maker = h.Runner("maker")
    runner = h.Runner("launcher", args.wine)
    shot = os.path.join(work, "splash.png")
    hosts = ["http://127.0.0.1:%d/tsl/" % h.PRIMARY_PORT]
    server = None
    try:
        say("publishing the sample game (edition 1) with the patch maker")
        h.write_sample_game(input_dir, args.client, 1)
        n1 = h.publish(maker, args.maker, maker_dir, None, hosts)
        say("published game update %d: %d files in %s" % (n1, len(h.tree(input_dir)), output_dir))

        server = h.Nginx(work, h.PRIMARY_PORT, output_dir, rate="1m")
        say("nginx serves %s at %s" % (output_dir, hosts[0]))

        took1 = run_launcher(runner, launcher, "first install", shot)
        fetched1 = [(p, s) for p, s in server.requests() if s < 400]
        missing = h.installed_matches(game, input_dir)
        if missing:
            raise h.StepFailed("first install: not installed: %s" % missing)
        records = h.client_records(game)
        if len(records) != 1:
            raise h.StepFailed("first install: the client did not start")
        say("installed %d files; the client started with %s (TSLLAUNCHER=%s)"
            % (len(h.tree(input_dir)), records[0]["args"], records[0]["tsllauncher"]))

        say("the sample changes (edition 2); the maker publishes the next update")
        h.write_sample_game(input_dir, args.client, 2)
        n2 = h.publish(maker, args.maker, maker_dir, None, hosts)
        server.clear_log()
        took2 = run_launcher(runner, launcher, "update %d" % n2)
        fetched2 = [(p, s) for p, s in server.requests() if s < 400]
        missing = h.installed_matches(game, input_dir)
        if missing:
            raise h.StepFailed("update: not up to date: %s" % missing)
        if len(h.client_records(game)) != 2:
            raise h.StepFailed("update: the client did not start")

        def files_of(requests):
            return [p for p, _ in requests if "/index.json" not in p and not p.endswith("version.json")]

        def size_of(paths):
            total = 0
            for p in paths:
                total += os.path.getsize(h.published_file(output_dir, p[len("/tsl/"):]))
            return total

        print()
        print("Summary")
        print("  game update %d, first install: %3d files fetched, %9d bytes, %5.1f s"
              % (n1, len(files_of(fetched1)), size_of(files_of(fetched1)), took1))
        print("  game update %d, update:        %3d files fetched, %9d bytes, %5.1f s"
              % (n2, len(files_of(fetched2)), size_of(files_of(fetched2)), took2))
        for p in files_of(fetched2):
            print("      %s" % p)
        print("  installation: %s" % game)
        print("  client record: %s" % os.path.join(game, "client", "client-record.jsonl"))
        if os.path.exists(shot):
            print("  splash screenshot: %s" % shot)
        else:
            print("  splash screenshot: none (no display)")
        return 0
    except h.StepFailed as e:
        print("demo: FAILED: %s" % e, file=sys.stderr)
        return 1
    finally:
        if server:
            server.stop()


if __name__ == "__main__":
    sys.exit(main())
