#!/usr/bin/env python3
"""End-to-end tests of the real executables: the maker publishes, nginx (or a
fault-injecting server where nginx cannot misbehave) serves on 127.0.0.1, the
launcher (Windows under Wine and Xvfb, or native) updates a fresh installation
and starts the stub client. Each scenario checks files on disk, the stub
client's record and exit codes; a failure names its scenario and step."""

import argparse
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
from harness import check  # noqa: E402


class World:
    """One scenario's folders: a maker directory, a game directory, hosts."""

    def __init__(self, args, name):
        self.args = args
        self.name = name
        self.work = os.path.join(args.work, name)
        h.unmount_below(self.work)
        if os.path.isdir(self.work):
            shutil.rmtree(self.work)
        os.makedirs(self.work)
        self.maker_dir = os.path.join(self.work, "maker")
        self.output = os.path.join(self.maker_dir, "output")
        self.input = os.path.join(self.work, "input")
        self.game = os.path.join(self.work, "game")
        os.makedirs(self.game)
        self.launcher_name = os.path.basename(args.launcher)
        self.launcher = os.path.join(self.game, self.launcher_name)
        shutil.copyfile(args.launcher, self.launcher)
        os.chmod(self.launcher, 0o755)
        self.maker = h.Runner("maker")
        self.runner = h.Runner("launcher", args.wine)
        self.servers = []
        self.message_log = os.path.join(self.work, "messages.txt")

    def publish(self, edition=1, hosts=None, extra=None):
        h.write_sample_game(self.input, self.args.client, edition)
        for rel, data in (extra or {}).items():
            path = os.path.join(self.input, *rel.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        hosts = hosts or ["http://127.0.0.1:%d/tsl/" % port for port in (h.PRIMARY_PORT, h.FALLBACK_PORT)]
        return h.publish(self.maker, self.args.maker, self.maker_dir, self.input, hosts)

    def nginx(self, port=h.PRIMARY_PORT, root=None):
        server = h.Nginx(self.work, port, root or self.output)
        self.servers.append(server)
        return server

    def link(self, port, target, **kw):
        """A link fixture on port in front of 127.0.0.1:target."""
        link = h.LinkProxy(self.work, port, target, **kw)
        self.servers.append(link)
        return link

    def fault(self, port=h.PRIMARY_PORT, **kw):
        server = h.FaultServer(port, **kw)
        self.servers.append(server)
        return server

    def launch(self, args=(), env=None, timeout=300):
        e = {"TSL_MESSAGE_LOG": self.message_log}
        e.update(env or {})
        return self.runner.run(self.launcher, list(args), timeout=timeout, env=e)

    def messages(self):
        if not os.path.exists(self.message_log):
            return ""
        with open(self.message_log, encoding="utf-8") as f:
            return f.read()

    def close(self):
        for s in self.servers:
            s.stop()


def downloads(server):
    return [p for p, _ in server.requests() if not p.endswith(("version.json", "index.json", ".lzma2"))
            or (p.endswith(".lzma2") and "index.json" not in p)]


# ------------------------------------------------------------------ scenarios

def first_and_incremental(w):
    n1 = w.publish(1)
    server = w.nginx()
    code, out, err, took = w.launch(["-windowed", "quoted arg"])
    check(code == 0, "first install: launcher exit code %d (%s)" % (code, err[-500:]))
    missing = h.installed_matches(w.game, w.input)
    check(not missing, "first install: files not installed: %s" % missing[:5])
    records = h.client_records(w.game)
    check(len(records) == 1, "first install: the client should start once, saw %d" % len(records))
    check(records[0]["tsllauncher"] == "true", "first install: TSLLAUNCHER not set for the client")
    check(records[0]["args"] == ["-windowed", "quoted", "arg"],
          "first install: client arguments %s" % records[0]["args"])
    check(os.path.normcase(records[0]["cwd"]).replace("\\", "/").rstrip("/").endswith("game/client"),
          "first install: client working directory %s" % records[0]["cwd"])
    first_fetches = len(downloads(server))
    check(first_fetches == len(h.tree(w.input)), "first install: fetched %d files" % first_fetches)

    server.clear_log()
    code, _, err, _ = w.launch()
    check(code == 0, "nothing changed: exit code %d" % code)
    check(downloads(server) == [], "nothing changed: files were fetched: %s" % downloads(server)[:5])
    check(len(h.client_records(w.game)) == 2, "nothing changed: client not started")

    n2 = w.publish(2)
    check(n2 == n1 + 1, "second publication should be %d, is %d" % (n1 + 1, n2))
    server.clear_log()
    code, _, err, _ = w.launch()
    check(code == 0, "incremental: exit code %d" % code)
    check(not h.installed_matches(w.game, w.input), "incremental: installation not up to date")
    fetched = sorted(downloads(server))
    check(len(fetched) == 3, "incremental: expected 3 changed files, fetched %s" % fetched)
    check(os.path.exists(os.path.join(w.game, "manual", "Old Notes.txt")),
          "incremental: a file that left the index is not deleted by the launcher")


def self_update(w):
    w.publish(1)
    w.nginx()
    code, _, _, _ = w.launch()
    check(code == 0 and len(h.client_records(w.game)) == 1, "self-update: first install")
    # A new launcher build: the same program with bytes appended, which both
    # executable formats ignore.
    with open(w.args.launcher, "rb") as f:
        new_build = f.read() + b"\0tessaly launcher build 2\0"
    w.publish(1, extra={w.launcher_name: new_build})
    code, _, err, _ = w.launch(["-marker"])
    check(code == 1, "self-update: the first process should exit with 1, got %d (%s)" % (code, err[-300:]))
    # The restarted process updates again (nothing to do), deletes old-... and starts the client.
    h.wait_for(lambda: len(h.client_records(w.game)) == 2, 120, "the restarted launcher to start the client")
    record = h.client_records(w.game)[-1]
    check(record["args"] == ["-marker"], "self-update: restart lost the command line: %s" % record["args"])
    with open(w.launcher, "rb") as f:
        check(f.read() == new_build, "self-update: new launcher not in place")
    h.wait_for(lambda: not os.path.exists(os.path.join(w.game, "old-" + w.launcher_name)), 60,
               "old-%s to be deleted" % w.launcher_name)
    check(not os.path.exists(os.path.join(w.game, "new-" + w.launcher_name)), "self-update: new- copy left")


def fallback_host(w):
    w.publish(1)
    w.nginx(port=h.FALLBACK_PORT)
    code, _, _, _ = w.launch()
    check(code == 0, "fallback: exit code %d" % code)
    check(not h.installed_matches(w.game, w.input), "fallback: installation incomplete")


def hosts_moved_by_configuration(w):
    other_port = h.SPARE_PORT
    w.publish(1, hosts=["http://127.0.0.1:%d/tsl/" % other_port])
    primary = w.nginx()
    other = w.nginx(port=other_port)
    code, _, _, _ = w.launch()
    check(code == 0, "moved hosts: exit code %d" % code)
    check(not h.installed_matches(w.game, w.input), "moved hosts: installation incomplete")
    check(downloads(primary) == [], "moved hosts: files came from the first host")
    check(len(downloads(other)) > 0, "moved hosts: nothing came from the configured host")


def unsafe_entry(w):
    n = w.publish(1)
    index = h.read_index(w.output, n)
    evil = dict(index["files"][0])
    evil["l"] = "..\\escaped.txt"
    index["files"].append(evil)
    h.write_index(w.output, n, index)
    w.nginx()
    code, _, _, _ = w.launch()
    check(code == 0, "unsafe entry: exit code %d" % code)
    check(not os.path.exists(os.path.join(w.work, "escaped.txt")), "unsafe entry: a file was written outside")
    check(not h.installed_matches(w.game, w.input), "unsafe entry: the rest was not installed")


def corrupt_and_undecodable(w):
    n = w.publish(1)
    index = h.read_index(w.output, n)
    plain = next(e for e in index["files"] if "r_pack" not in e and e["l_size"] > 0)
    packed = next(e for e in index["files"] if e.get("r_pack") == "lzma2")
    with open(h.published_file(w.output, plain["r"]), "r+b") as f:
        first = f.read(1)
        f.seek(0)
        f.write(bytes([first[0] ^ 0xFF]))
    # A packed file that is not LZMA2 at all, with its index digest fixed up.
    path = h.published_file(w.output, packed["r"])
    with open(path, "wb") as f:
        f.write(b"\x13\xef\xec\x30" + b"\x00" * 9 + b"garbage")
    packed["r_sha1"] = h.sha1(path)
    h.write_index(w.output, n, index)
    w.nginx()
    code, _, _, _ = w.launch()
    check(code == 0, "corrupt files: exit code %d" % code)
    # The update is not strict: failures are reported in the session, and the game starts.
    check(len(h.client_records(w.game)) == 1, "corrupt files: the client should still start")
    local_plain = os.path.join(w.game, *plain["l"].split("\\"))
    check(not os.path.exists(local_plain), "corrupt files: a file failing its digest was installed")
    check(not os.path.exists(os.path.join(w.game, *packed["l"].split("\\"))),
          "corrupt files: an undecodable file was installed")
    check(not os.path.exists(os.path.join(w.game, h.SESSION, "cache.json")),
          "corrupt files: the cache must not be saved after failures")


def install_client(w):
    os.makedirs(os.path.join(w.game, "client"), exist_ok=True)
    shutil.copyfile(w.args.client, os.path.join(w.game, "client", "Client.exe"))
    os.chmod(os.path.join(w.game, "client", "Client.exe"), 0o755)


def server_error_storm(w):
    w.publish(1)
    install_client(w)
    primary = w.fault(h.PRIMARY_PORT, status=500)
    fallback = w.fault(h.FALLBACK_PORT, status=500)
    code, _, _, took = w.launch()
    check(code == 0, "500 storm: exit code %d" % code)
    attempts = [p for p in primary.log + fallback.log if p.endswith("version.json")]
    check(len(attempts) == 3, "500 storm: expected 3 attempts, saw %s" % attempts)
    check(len(primary.log) == 2 and len(fallback.log) == 1, "500 storm: attempts not rotated")
    # No index: the update failed softly and the game starts.
    check(len(h.client_records(w.game)) == 1, "500 storm: the client should start")


def no_update(w):
    server = w.fault(h.PRIMARY_PORT, status=500)
    install_client(w)
    code, _, _, _ = w.launch(["-NoUpdate"])
    check(code == 0, "-noupdate: exit code %d" % code)
    records = h.client_records(w.game)
    check(len(records) == 1 and records[0]["tsllauncher"] is None,
          "-noupdate: the client should start without TSLLAUNCHER: %s" % records)
    check(server.log == [], "-noupdate: the launcher asked a host")
    check(not os.path.exists(os.path.join(w.game, ".temp")), "-noupdate: a session directory was made")


def missing_client_in_russian(w):
    code, _, _, _ = w.launch(["-noupdate"], env={"LANG": "ru_RU.UTF-8", "LC_ALL": "ru_RU.UTF-8"})
    check(code == 0, "missing client: exit code %d" % code)
    text = w.messages()
    check(text.startswith("Не удалось запустить игру.\nОшибка: 0x0000000"),
          "missing client: Russian message expected, got %r" % text[:120])
    check("Пожалуйста, полностью проверьте ваш игровой клиент." in text, "missing client: text incomplete")


# A download the fault server holds until the test lets it go, so that a
# launcher is still at work however slowly the programs start (a Wine start
# under a CPU emulator takes longer than a whole update at loopback speed).
HELD = "client.exe.lzma2"


def cancel_during_downloads(w):
    w.publish(1)
    server = w.fault(h.PRIMARY_PORT, root=w.output, hold=HELD)
    p = w.runner.start(w.launcher, env={"TSL_MESSAGE_LOG": w.message_log})
    h.wait_for(server.holding.is_set, 120, "downloads to begin")
    if w.args.wine:
        window = None
        deadline = time.time() + 60
        while time.time() < deadline and not window:
            r = subprocess.run(["xdotool", "search", "--name", "^Tessaly Reach$"], stdout=subprocess.PIPE)
            ids = r.stdout.split()
            window = ids[0].decode() if ids else None
            time.sleep(0.3)
        check(window, "cancel: splash window not found")
        geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                                  stdout=subprocess.PIPE).stdout.decode()
        g = dict(line.split("=") for line in geometry.split())
        x, y = int(g["X"]) + 430, int(g["Y"]) + 10
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], check=True)
    else:
        p.send_signal(signal.SIGINT)
    code = p.wait(120)
    check(code == 0, "cancel: exit code %d" % code)
    check(h.client_records(w.game) == [], "cancel: the client must not start")
    check(not os.path.exists(os.path.join(w.game, h.SESSION, "cache.json")), "cancel: cache was saved")
    check(h.installed_matches(w.game, w.input), "cancel: everything was installed anyway")


def second_launcher_at_once(w):
    """A launcher started on an installation that another one is updating
    changes nothing, starts nothing and exits with 0 at once; the first
    finishes as if alone."""
    w.publish(1)
    server = w.fault(h.PRIMARY_PORT, root=w.output, hold=HELD)
    first = w.runner.start(w.launcher, env={"TSL_MESSAGE_LOG": w.message_log})
    h.wait_for(server.holding.is_set, 120, "the first launcher's downloads to begin")
    code, _, err, took = w.launch()
    server.release()
    check(code == 0, "second launcher: exit code %d (%s)" % (code, err[-300:]))
    check(h.client_records(w.game) == [], "second launcher: it started the client")
    check(w.messages() == "", "second launcher: it showed %r" % w.messages()[:200])
    versions = [p for p in server.log if p.endswith("version.json")]
    check(len(versions) == 1, "second launcher: it asked the host too: %s" % versions)
    # The client inherits the launcher's output, so this also waits for it,
    # as launch() does.
    first.communicate(timeout=300)
    code = first.returncode
    check(code == 0, "first launcher: exit code %d" % code)
    check(len(h.client_records(w.game)) == 1, "first launcher: the client should start once")
    check(not h.installed_matches(w.game, w.input), "first launcher: installation incomplete")


def windows_maker_agrees(w):
    """The Windows maker under Wine publishes what the native maker publishes."""
    if not w.args.wine:
        return
    n = w.publish(1)
    native = h.read_index(w.output, n)
    wine_maker_dir = os.path.join(w.work, "wine-maker")
    n_wine = h.publish(w.runner, w.args.launcher, wine_maker_dir, w.input,
                       ["http://127.0.0.1:%d/tsl/" % h.PRIMARY_PORT])
    windows = h.read_index(os.path.join(wine_maker_dir, "output"), n_wine)

    def key(e):
        return {k: e[k] for k in ("l", "l_sha1", "l_size", "r_pack") if k in e}
    check(sorted(map(json.dumps, map(key, native["files"]))) == sorted(map(json.dumps, map(key, windows["files"]))),
          "Windows maker: index entries differ from the native maker's")

def left_out_names(w):
    """Names that would share a published name, or that no launcher can
    install, are left out by the maker (the Windows maker, under Wine); the
    launcher then installs everything else from nginx without a failure."""
    h.write_sample_game(w.input, w.args.client, 1)
    pairs = [("data/Case Notes.txt", "data/case notes.txt"), ("maps/x", "maps/x.lzma2")]
    refused = [b"bad:name.txt", b"why?.txt", b"trailing.", b"con.txt", b"back\\slash.txt",
               b"aux/inside.txt"]
    if not w.args.wine:
        refused.append(b"caf\xe9.txt")  # no Windows name is anything but UTF-16
    for first, second in pairs:
        for rel in (first, second):
            path = os.path.join(w.input, *rel.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(b"one of a pair: " + rel.encode())
    for rel in refused + [b"index.json"]:
        path = os.path.join(os.fsencode(w.input), *rel.split(b"/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"left out: " + rel)
    hosts = ["http://127.0.0.1:%d/tsl/" % h.PRIMARY_PORT]
    if w.args.wine:
        n = h.publish(w.runner, w.args.launcher, w.maker_dir, w.input, hosts)
    else:
        n = h.publish(w.maker, w.args.maker, w.maker_dir, w.input, hosts)
    index = h.read_index(w.output, n)
    names = [e["l"] for e in index["files"]]
    check(len(names) == len(set(n.lower() for n in names)), "left out: names collide: %s" % names)
    for first, second in pairs:
        kept = [r for r in (first, second) if r.replace("/", "\\") in names]
        check(len(kept) == 1, "left out: of %s and %s the index holds %s" % (first, second, kept))
    for rel in refused + [b"index.json"]:
        shown = os.fsdecode(rel).replace("/", "\\")
        check(shown not in names, "left out: %s was published" % shown)
    check(len(names) == len(h.tree(w.input)) - len(refused) - 1 - len(pairs),
          "left out: %d entries for %d files" % (len(names), len(h.tree(w.input))))

    w.nginx()
    code, _, err, _ = w.launch()
    check(code == 0, "left out: launcher exit code %d (%s)" % (code, err[-300:]))
    check(len(h.client_records(w.game)) == 1, "left out: the client should start")
    for e in index["files"]:
        path = os.path.join(w.game, *e["l"].split("\\"))
        check(os.path.isfile(path) and (h.sha1(path) if e["l_size"] else "") == e["l_sha1"],
              "left out: %s not installed as published" % e["l"])
    check(not os.path.exists(os.path.join(w.game, "index.json")), "left out: index.json installed")
    check(os.path.exists(os.path.join(w.game, h.SESSION, "cache.json")),
          "left out: the launcher did not finish without failures")


BIG = 64 << 20


def publish_big(w, size=BIG, write=True):
    """Publishes edition 1 from one host, with data/Big.pak of `size` random
    bytes (put in place after the maker ran, which spares it packing them).
    Returns the published path of Big.pak below /tsl/."""
    w.publish(1, hosts=["http://127.0.0.1:%d/tsl/" % h.PRIMARY_PORT], extra={"data/Big.pak": b"small"})
    n = json.load(open(os.path.join(w.output, "version.json")))["gameupdate"]
    index = h.read_index(w.output, n)
    entry = next(e for e in index["files"] if e["l"] == "data\\Big.pak")
    check("r_pack" not in entry, "big file: the placeholder was packed")
    if write:
        data = random.Random(size).randbytes(size)
        for path in (h.published_file(w.output, entry["r"]), os.path.join(w.input, "data", "Big.pak")):
            with open(path, "wb") as f:
                f.write(data)
        entry["l_sha1"] = entry["r_sha1"] = hashlib.sha1(data).hexdigest()
    entry["l_size"] = entry["r_size"] = size
    h.write_index(w.output, n, index)
    return "/tsl/" + entry["r"]


def support_log(w):
    path = os.path.join(w.game, h.SESSION, "launcher.log")
    if not os.path.exists(path):
        return ""
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def resumed_after_drop(w):
    """A 64 MiB file cut off half-way is continued from where it broke, and
    the support log tells what happened."""
    big = publish_big(w)
    server = w.fault(h.PRIMARY_PORT, root=w.output, drop_once="big.pak")
    code, _, err, _ = w.launch()
    check(code == 0, "resume: exit code %d (%s)" % (code, err[-300:]))
    check(not h.installed_matches(w.game, w.input), "resume: installation incomplete")
    asked = [r for p, r in server.ranges_asked if p == big]
    check(len(asked) == 2 and asked[0] is None and asked[1] == "bytes=%d-" % (BIG // 2),
          "resume: the second request should ask for the rest: %s" % asked)
    sent = server.sent.get(big, 0)
    check(sent <= 1.1 * BIG, "resume: %.2f times the file was sent" % (sent / BIG))
    log = support_log(w)
    for line in ("Download of data\\Big.pak", "Fetched data\\Big.pak", "of them kept from an earlier try",
                 "Installed data\\Big.pak", "gameupdate 1", "End of run"):
        check(line in log, "resume: the support log lacks %r" % line)
    check(os.path.exists(os.path.join(w.game, h.SESSION, "cache.json")), "resume: the run did not end cleanly")


def range_ignored(w):
    """A host that answers a Range request with the whole file gets the file
    asked again from its first byte, and the result is whole."""
    big = publish_big(w)
    server = w.fault(h.PRIMARY_PORT, root=w.output, drop_once="big.pak", ranges=False)
    code, _, err, _ = w.launch()
    check(code == 0, "range ignored: exit code %d (%s)" % (code, err[-300:]))
    check(not h.installed_matches(w.game, w.input), "range ignored: installation incomplete")
    check(len(h.client_records(w.game)) == 1, "range ignored: the client should start")
    sent = server.sent.get(big, 0)
    check(sent <= 1.7 * BIG, "range ignored: %.2f times the file was sent" % (sent / BIG))


def disk_full(w):
    """On a volume that cannot hold the big file, that file fails at once
    with the message and nothing already installed is lost or changed."""
    volume = h.small_volume(w.game, os.path.getsize(w.args.launcher) + (24 << 20))
    with volume:
        if not volume.mounted:
            print("  (disk_full: no tmpfs mount possible here, skipped)")
            return
        shutil.copyfile(w.args.launcher, w.launcher)
        os.chmod(w.launcher, 0o755)
        big = publish_big(w, write=False)
        old = os.path.join(w.game, "data", "Big.pak")
        os.makedirs(os.path.dirname(old))
        with open(old, "wb") as f:
            f.write(b"the copy a player has " * 1000)
        before = h.sha1(old)
        server = w.fault(h.PRIMARY_PORT, root=w.output)
        code, _, err, took = w.launch()
        check(code == 0, "disk full: exit code %d (%s)" % (code, err[-300:]))
        check(big not in server.log, "disk full: the file that cannot fit was asked for")
        check(h.sha1(old) == before, "disk full: the installed copy changed")
        ended = [line for line in support_log(w).splitlines() if "End of run" in line]
        check(ended and "File: data\\Big.pak (Not enough disk space)" in ended[-1],
              "disk full: the summary does not name the file: %s" % ended)
        missing = h.installed_matches(w.game, w.input)
        check(missing == ["data/Big.pak"], "disk full: other files not installed: %s" % missing[:5])
        check(len(h.client_records(w.game)) == 1, "disk full: the client should start")


def verify_repairs(w):
    """-verify hashes what the cache would accept: a same-size, same-stamp
    corruption is found and only that file is fetched again."""
    w.publish(1)
    server = w.nginx()
    code, _, _, _ = w.launch()
    check(code == 0 and not h.installed_matches(w.game, w.input), "verify: first install")
    victim = os.path.join(w.game, "data", "Maps", "Lowlands.map")
    stat = os.stat(victim)
    with open(victim, "r+b") as f:
        first = f.read(1)
        f.seek(0)
        f.write(bytes([first[0] ^ 0x20]))
    os.utime(victim, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    server.clear_log()
    code, _, _, _ = w.launch()
    check(code == 0 and downloads(server) == [], "verify: the cache should accept the file unhashed")
    check(h.installed_matches(w.game, w.input) == ["data/Maps/Lowlands.map"], "verify: not corrupted")
    code, _, _, _ = w.launch(["-verify"])
    check(code == 0, "verify: exit code %d" % code)
    check(not h.installed_matches(w.game, w.input), "verify: the file was not repaired")
    fetched = downloads(server)
    check(len(fetched) == 1 and "lowlands" in fetched[0].lower(), "verify: fetched %s" % fetched)
    records = h.client_records(w.game)
    check(records[-1]["args"] == ["-verify"], "verify: the client got %s" % records[-1]["args"])


def installed_tree(game):
    return {k: v for k, v in h.tree(game).items()
            if not k.startswith(".temp/") and k != "client/client-record.jsonl"}


def signed_updates(w):
    """A launcher built with a key installs a signed publication. A changed
    index byte, a wrong, missing or foreign signature leave the installation
    as it was and the client started as after a failed update; a file swapped
    under an entry whose SHA-1 matches it is not installed."""
    if not w.args.signed_launcher:
        return
    shutil.copyfile(w.args.signed_launcher, w.launcher)
    os.makedirs(w.maker_dir, exist_ok=True)
    for name in ("signing.key", "signing.pub"):
        shutil.copyfile(os.path.join(w.args.signing_keys, name), os.path.join(w.maker_dir, name))
    w.publish(1)
    w.nginx()
    code, _, err, _ = w.launch()
    check(code == 0, "signed: first install exit code %d (%s)" % (code, err[-300:]))
    check(not h.installed_matches(w.game, w.input), "signed: first install incomplete")
    edition1 = installed_tree(w.game)

    notes = "notes/Patch Notes.txt"
    n2 = w.publish(2, extra={notes: b"the real notes\n"})
    pristine = os.path.join(w.work, "pristine")
    shutil.copytree(w.output, pristine)
    index = os.path.join(w.output, str(n2), "index.json")

    def attempt(what, tamper):
        shutil.rmtree(w.output)
        shutil.copytree(pristine, w.output)
        tamper()
        started = len(h.client_records(w.game))
        code, _, err, _ = w.launch()
        check(code == 0, "%s: exit code %d (%s)" % (what, code, err[-300:]))
        check(len(h.client_records(w.game)) == started + 1, "%s: the client was not started" % what)
        check(installed_tree(w.game) == edition1, "%s: the installation changed" % what)

    def changed_byte():
        # The packed index would still be intact: the plain one is served alone.
        os.remove(index + ".lzma2")
        with open(index, "rb") as f:
            data = f.read()
        at = data.index(b'"l_size":') + len(b'"l_size":')
        with open(index, "wb") as f:
            f.write(data[:at] + (b"9" if data[at:at + 1] != b"9" else b"8") + data[at + 1:])

    def flip_signature():
        with open(index + ".sig", "r+b") as f:
            first = f.read(1)
            f.seek(0)
            f.write(bytes([first[0] ^ 1]))

    def foreign_key():
        # The same game published by a maker with a key of its own.
        other = os.path.join(w.work, "other-maker")
        os.makedirs(other)
        exe = os.path.join(other, os.path.basename(w.args.maker))
        shutil.copyfile(w.args.maker, exe)
        os.chmod(exe, 0o755)
        code, out, _, _ = w.maker.run(exe, ["-patchmaker", "-genkey"])
        check(code == 1 and "Public key: " in out, "foreign key: -genkey failed: %s" % out)
        h.publish(w.maker, w.args.maker, other, w.input, ["http://127.0.0.1:%d/tsl/" % h.PRIMARY_PORT])
        shutil.rmtree(w.output)
        shutil.copytree(os.path.join(other, "output"), w.output)

    attempt("changed index byte", changed_byte)
    attempt("wrong signature", flip_signature)
    attempt("missing signature", lambda: os.remove(index + ".sig"))
    attempt("missing version signature", lambda: os.remove(os.path.join(w.output, "version.json.sig")))
    attempt("foreign key", foreign_key)

    # An attacker's file under an entry whose SHA-1 it matches (a collision,
    # simulated through the maker's cache); the entry's SHA-256 is the real
    # file's, and the maker signs that index itself.
    shutil.rmtree(w.output)
    shutil.copytree(pristine, w.output)
    swapped = b"not the real notes\n"
    entry = next(e for e in h.read_index(w.output, n2)["files"] if e["l"] == notes.replace("/", "\\"))
    check("r_pack" not in entry and "l_sha256" in entry, "swapped file: unexpected entry %s" % entry)
    with open(h.published_file(w.output, entry["r"]), "wb") as f:
        f.write(swapped)
    cache_path = os.path.join(w.maker_dir, "cache.json")
    with open(cache_path, encoding="utf-8") as f:
        cache = json.load(f)
    data = cache[notes.replace("/", "\\").lower()]["data"]
    data["l_sha1"] = hashlib.sha1(swapped).hexdigest()
    data["l_size"] = data["r_size"] = len(swapped)
    with open(cache_path, "w", encoding="utf-8") as f:
        json.dump(cache, f, indent=4, sort_keys=True)
    code, out, _, _ = w.maker.run(os.path.join(w.maker_dir, os.path.basename(w.args.maker)), ["-patchmaker"])
    check(code == 1 and "No update detected." in out, "swapped file: maker did not reuse its cache: %s" % out)
    check(h.read_index(w.output, n2)["files"] != h.read_index(pristine, n2)["files"],
          "swapped file: the index still names the real file")
    started = len(h.client_records(w.game))
    code, _, err, _ = w.launch()
    check(code == 0, "swapped file: exit code %d (%s)" % (code, err[-300:]))
    check(len(h.client_records(w.game)) == started + 1, "swapped file: the client was not started")
    check(not os.path.exists(os.path.join(w.game, *notes.split("/"))), "swapped file: it was installed")
    check(not os.path.exists(os.path.join(w.game, h.SESSION, "cache.json")),
          "swapped file: the run did not fail")


PRIMARY_ONLY = ["http://127.0.0.1:%d/tsl/" % h.PRIMARY_PORT]
# The proxy settings of the environment, which libcurl reads by itself.
PROXY_VARIABLES = {k: None for k in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                     "ALL_PROXY", "no_proxy", "NO_PROXY")}


def many_small_files(w):
    """2,000 small files through a 100 ms round trip cost far fewer than
    2,000 round trips: several connections, each kept busy."""
    rtt, count = 0.1, 2000
    rng = random.Random(count)
    files = {"data/Pieces/%02d/piece %04d.bin" % (i // 200, i): rng.randbytes(rng.randint(1024, 6144))
             for i in range(count)}
    w.publish(1, hosts=PRIMARY_ONLY, extra=files)
    server = w.nginx(port=h.free_port())
    link = w.link(h.PRIMARY_PORT, server.port, delay_ms=rtt * 500, rate_mbit=100)
    code, _, err, took = w.launch()
    check(code == 0, "many files: exit code %d (%s)" % (code, err[-300:]))
    missing = h.installed_matches(w.game, w.input)
    check(not missing, "many files: not installed: %s" % missing[:5])
    check(took < 0.25 * count * rtt, "many files: %.1f s, %.0f round trips" % (took, took / rtt))
    used = [r for r in link.stop() if r["bytes_down"] > 0]
    check(len(used) >= 4, "many files: %d connections carried the files" % len(used))
    print("  (many_small_files: %.1f s for %d files, %d connections)" % (took, count, len(used)))


def last_write(game):
    """When the last byte of an installed file was written."""
    return max(os.path.getmtime(os.path.join(base, name))
               for base, _, names in os.walk(game) if h.SESSION not in base
               for name in names if name != "client-record.jsonl")


def rate_cap(w):
    """-maxrate=N on the command line, or maxrate in launcher.ini, holds
    what all transfers receive together to N KiB/s, and the support log
    names the cap."""
    cap = 1024
    publish_big(w, 4 << 20)
    server = w.nginx(port=h.free_port())
    w.link(h.PRIMARY_PORT, server.port, delay_ms=10, rate_mbit=100)
    for how in ("-maxrate", "launcher.ini"):
        for name in os.listdir(w.game):
            if name != w.launcher_name:
                path = os.path.join(w.game, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        server.clear_log()
        args = []
        if how == "launcher.ini":
            with open(os.path.join(w.game, "launcher.ini"), "w") as f:
                f.write("# the household's share\nmaxrate = %d\n" % cap)
        else:
            args = ["-maxrate=%d" % cap]
        code, _, err, _ = w.launch(args)
        check(code == 0, "%s: exit code %d (%s)" % (how, code, err[-300:]))
        check(not h.installed_matches(w.game, w.input), "%s: installation incomplete" % how)
        fetched = set(downloads(server))
        files = [t for t in server.transfers() if t[0] in fetched]
        # From the first file asked to the last byte written: what the
        # launcher received, not what nginx handed its socket.
        seconds = last_write(w.game) - min(t[3] for t in files)
        rate = sum(t[2] for t in files) / 1024.0 / seconds
        check(0.75 * cap <= rate <= 1.05 * cap,
              "%s: %.0f KiB/s over %.1f s under a cap of %d KiB/s" % (how, rate, seconds, cap))
        check("Downloads capped at %d KiB/s" % cap in support_log(w), "%s: the support log lacks the cap" % how)
        print("  (rate_cap: %s=%d, %.0f KiB/s over %.1f s)" % (how, cap, rate, seconds))


def trickling_host(w):
    """A primary host that trickles below 1 KiB/s is left after 20 s for the
    mirror the index names, which continues each file from what arrived."""
    w.publish(1)
    primary = w.nginx(port=h.free_port())
    w.link(h.PRIMARY_PORT, primary.port, trickle=500)
    mirror = w.nginx(port=h.FALLBACK_PORT)
    code, _, err, took = w.launch(timeout=180)
    check(code == 0, "trickle: exit code %d (%s)" % (code, err[-300:]))
    check(not h.installed_matches(w.game, w.input), "trickle: installation incomplete")
    check(downloads(mirror), "trickle: nothing came from the mirror")
    check("of them kept from an earlier try" in support_log(w), "trickle: no transfer was continued")
    # 20 s on the trickling host, then the rest at once; the last host's
    # rule (60 s at 1 byte a second) would take minutes here.
    check(took < 45, "trickle: the run took %.0f s" % took)
    print("  (trickling_host: %.1f s)" % took)


def pe_machine(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    at = int.from_bytes(head[0x3c:0x40], "little")
    return int.from_bytes(head[at + 4:at + 6], "little")


def windows_proxy_settings(w, port, user, password):
    """A Wine prefix of the test's own whose Windows settings name the proxy
    and whose Credential Manager holds its password under "host:port"."""
    prefix = h.WinePrefixCopy(w.args.wine, os.path.join(w.work, "wineprefix"))
    w.servers.append(prefix)
    server = "127.0.0.1:%d" % port
    settings = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
    # WinINet reads these values, WinHTTP the blob (magic 0x46, a counter,
    # flags 3: direct and proxy, then the server's length and name, an empty
    # bypass list and no script); the Windows settings write both.
    blob = (0x46).to_bytes(4, "little") + (1).to_bytes(4, "little") + (3).to_bytes(4, "little") + \
        len(server).to_bytes(4, "little") + server.encode() + bytes(8)
    for args in (["/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1"],
                 ["/v", "ProxyServer", "/t", "REG_SZ", "/d", server]):
        r = prefix.run("reg", "add", settings, *args, "/f")
        check(r.returncode == 0, "proxy: reg add failed: %s" % r.stdout[-300:])
    r = prefix.run("reg", "add", settings + r"\Connections", "/v", "DefaultConnectionSettings",
                   "/t", "REG_BINARY", "/d", blob.hex(), "/f")
    check(r.returncode == 0, "proxy: reg add failed: %s" % r.stdout[-300:])
    compiler = "x86_64-w64-mingw32-gcc" if pe_machine(w.launcher) == 0x8664 else "i686-w64-mingw32-gcc"
    tool = os.path.join(w.work, "store_credential.exe")
    subprocess.run([compiler, "-municode", "-O1", "-o", tool,
                    os.path.join(h.REPO, "tests", "netem", "store_credential.c"), "-ladvapi32"], check=True)
    r = prefix.run(tool, server, user, password)
    check(r.returncode == 0, "proxy: storing the credential failed: %s" % r.stdout[-300:])
    return prefix.path


def system_proxy(w):
    """Behind a forward proxy that asks for Basic authentication every file
    comes through the proxy with the user's credentials: natively from
    http_proxy, on Windows from the system's settings and the Credential
    Manager."""
    w.publish(1, hosts=PRIMARY_ONLY)
    server = w.nginx()
    user, password = "reach", "pass-7"
    proxy = h.AuthProxy(w.work, h.free_port(), user, password)
    w.servers.append(proxy)
    env = dict(PROXY_VARIABLES)
    if w.args.wine:
        env["WINEPREFIX"] = windows_proxy_settings(w, proxy.port, user, password)
    else:
        env["http_proxy"] = "http://%s:%s@127.0.0.1:%d" % (user, password, proxy.port)
    code, _, err, _ = w.launch(env=env)
    asked = proxy.requests()
    served = server.transfers()
    check(code == 0, "proxy: exit code %d (%s)" % (code, err[-300:]))
    check(not h.installed_matches(w.game, w.input), "proxy: installation incomplete")
    check("http://127.0.0.1:%d/tsl/version.json" % h.PRIMARY_PORT in asked,
          "proxy: the proxy's log lacks the version file: %s" % asked[:5])
    direct = [t[0] for t in served if "tinyproxy" not in t[5]]
    check(not direct, "proxy: requests went around the proxy: %s" % direct[:5])
    log = support_log(w)
    check("127.0.0.1:%d" % proxy.port in log, "proxy: the support log does not name the proxy")
    check(password not in log, "proxy: the support log shows the proxy's password")


SCENARIOS = [first_and_incremental, self_update, fallback_host, hosts_moved_by_configuration,
             unsafe_entry, corrupt_and_undecodable, server_error_storm, no_update,
             missing_client_in_russian, cancel_during_downloads, second_launcher_at_once,
             windows_maker_agrees, left_out_names, resumed_after_drop, range_ignored, disk_full,
             verify_repairs, signed_updates, many_small_files, rate_cap, trickling_host, system_proxy]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--maker", required=True, help="a native TessalyReach used to publish")
    parser.add_argument("--client", required=True, help="the stub Client.exe for the launcher's platform")
    parser.add_argument("--wine", help="scripts/wine-run.sh when the launcher is a Windows program")
    parser.add_argument("--work", help="working folder (default: a fresh temporary one)")
    parser.add_argument("--signed-launcher", help="the launcher built with the public key of --signing-keys")
    parser.add_argument("--signing-keys", help="folder with the signing.key and signing.pub of that build")
    parser.add_argument("--only", nargs="*", help="scenario names to run")
    args = parser.parse_args()
    temporary = None
    if not args.work:
        temporary = tempfile.mkdtemp(prefix="tsl-e2e-")
        args.work = temporary
    failures = []
    for scenario in SCENARIOS:
        if args.only and scenario.__name__ not in args.only:
            continue
        started = time.time()
        w = World(args, scenario.__name__)
        try:
            scenario(w)
            print("PASS %-32s %5.1fs" % (scenario.__name__, time.time() - started), flush=True)
        except h.StepFailed as e:
            failures.append(scenario.__name__)
            print("FAIL %-32s %s" % (scenario.__name__, e), flush=True)
        except Exception:
            failures.append(scenario.__name__)
            print("FAIL %-32s\n%s" % (scenario.__name__, traceback.format_exc()), flush=True)
        finally:
            w.close()
    if temporary and not failures:
        shutil.rmtree(temporary, ignore_errors=True)
    if failures:
        print("failed scenarios: %s (work folder %s)" % (", ".join(failures), args.work))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
