#!/usr/bin/env python3
"""Runs the native patch maker (`TessalyReach -patchmaker`) in a scratch
directory and checks what it publishes with tools nobody here wrote:
sha1sum for every digest, xz's raw LZMA2 decoder for every packed file, and
Python's json module for the documents and their layout, and hashlib for
the chunk maps beside large files.

Usage: maker_tool_test.py PATH-TO-TessalyReach
"""

import hashlib
import json
import os
import pty
import random
import resource
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

EXECUTABLE = None
XZ_RAW = ["xz", "--decompress", "--stdout", "--format=raw", "--lzma2=dict=16MiB,lc=3,lp=0,pb=2"]


def sha1sum(path):
    """The digest text as the coreutils tool gives it; "" for an empty file."""
    if os.path.getsize(path) == 0:
        return ""
    out = subprocess.run(["sha1sum", "-b", path], check=True, capture_output=True).stdout
    return out.split()[0].decode()


def xz_unpack(path):
    """Strips the 13-byte header with tail and decodes the raw LZMA2 stream."""
    tail = subprocess.Popen(["tail", "-c", "+14", path], stdout=subprocess.PIPE)
    data = subprocess.run(XZ_RAW, stdin=tail.stdout, check=True, capture_output=True).stdout
    tail.stdout.close()
    assert tail.wait() == 0
    return data


def xz_piece(piece):
    """One range of a packed file: raw LZMA2 from a dictionary reset. With
    an end byte after it, xz must take it as a whole stream."""
    return subprocess.run(XZ_RAW, input=piece + b"\x00", check=True, capture_output=True).stdout


def read_chunk_map(path):
    """A chunk map (format/chunk_map.h): the header's fields and, for each
    chunk, its offset, length, range start, range length and SHA-256."""
    with open(path, "rb") as f:
        data = f.read()
    (magic, version, form, chunker, minimum, average, maximum, size, published,
     count) = struct.unpack_from("<4sHBBIIIQQQ", data)
    assert (magic, version, chunker) == (b"TSLM", 1, 1), data[:8]
    assert len(data) == 44 + 40 * count
    chunks, offset, at = [], 0, 13 if form == 1 else 0
    for k in range(count):
        length, range_length = struct.unpack_from("<II", data, 44 + 40 * k)
        digest = data[44 + 40 * k + 8:44 + 40 * k + 40].hex()
        chunks.append((offset, length, at, range_length, digest))
        offset += length
        at += range_length
    assert offset == size and at + (1 if form == 1 else 0) == published
    return {"form": form, "sizes": (minimum, average, maximum), "size": size,
            "published": published, "chunks": chunks}


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def ascii_lower(text):
    """Only A-Z fold, as in the maker's names."""
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


def ordered_pairs(pairs):
    keys = [k for k, _ in pairs]
    if keys != sorted(keys):
        raise AssertionError("keys not ascending: %r" % keys)
    return dict(pairs)


def load_checked(path, pretty):
    """Parses a document, checking ascending keys at every level and the
    exact layout: compact on one line or indented by 4, then one newline."""
    with open(path, "rb") as f:
        text = f.read().decode("utf-8")
    document = json.loads(text, object_pairs_hook=ordered_pairs)
    if pretty:
        expected = json.dumps(document, indent=4, sort_keys=True, ensure_ascii=False) + "\n"
    else:
        expected = json.dumps(document, separators=(",", ":"), sort_keys=True,
                              ensure_ascii=False) + "\n"
    if text != expected:
        raise AssertionError("%s: layout differs\n got: %r\nwant: %r" %
                             (path, text[:300], expected[:300]))
    return document


class maker_dir:
    """A scratch directory holding a copy of the executable, as the maker
    finds its files beside itself."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="tsl-maker-")
        self.exe = os.path.join(self.root, os.path.basename(EXECUTABLE))
        shutil.copy2(EXECUTABLE, self.exe)
        self.input = os.path.join(self.root, "input")
        self.output = os.path.join(self.root, "output")

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def run(self, *extra, preexec=None):
        # Started from elsewhere: the working directory must not matter.
        done = subprocess.run([self.exe, "-patchmaker"] + list(extra), cwd="/",
                              capture_output=True, timeout=900, stdin=subprocess.DEVNULL,
                              preexec_fn=preexec)
        self.check_no_temporaries()
        return done.returncode, done.stdout.decode("utf-8", "replace")

    def check_no_temporaries(self):
        """Whatever a run did, nothing half-written is left to be uploaded."""
        if not os.path.isdir(self.output):
            return
        for base, dirs, files in os.walk(self.output):
            for name in dirs + files:
                if name == ".partial" or name.endswith((".tmp", ".part")):
                    raise AssertionError("temporary left in output: " + os.path.join(base, name))

    def shown(self, relative, top="input"):
        """A path as the maker prints it: '\\' separators inside the program."""
        return "\\".join([self.root.replace("/", "\\"), top, relative.replace("/", "\\")])

    def set_packer(self, key, value):
        with open(self.path("config.json"), encoding="utf-8") as f:
            config = json.load(f)
        config["maker"]["packer"][key] = value
        with open(self.path("config.json"), "w", encoding="utf-8") as f:
            json.dump(config, f, indent=4)

    def write(self, relative, data):
        full = os.path.join(self.input, *relative.split("\\"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)

    def configure(self, gameupdate=0):
        with open(self.path("config.json"), encoding="utf-8") as f:
            config = json.load(f)
        config["maker"]["gameupdate"] = gameupdate
        with open(self.path("config.json"), "w", encoding="utf-8") as f:
            json.dump(config, f, indent=4)

    def config(self):
        return load_checked(self.path("config.json"), pretty=True)

    def index(self, n):
        return load_checked(os.path.join(self.output, str(n), "index.json"), pretty=False)

    def published(self, remote):
        parts = remote.replace("%20", " ").split("/")
        return os.path.join(self.output, *parts)


def game_tree(rng):
    """A small tree with blanks, capitals, an executable and an empty file."""
    return {
        "Client\\Game Client.EXE": rng.randbytes(70000),
        "Client\\Sub Dir\\Big Text.TXT": (b"level data %d\n" * 9000) % tuple(range(9000)),
        "Data\\Half Random.pak": rng.randbytes(20000) + bytes(30000),
        "Data\\Noise.bin": rng.randbytes(40000),
        "Data\\Small One.ini": b"[section]\nkey=value\n",
        "Data\\Edge16383.dat": bytes(16383),
        "Data\\Edge16384.dat": bytes(16384),
        "Empty File.txt": b"",
        "Deep\\A B\\C D\\\u00c9t\u00e9 \u0444\u0430\u0439\u043b.txt": b"non-ascii name",
    }


class MakerTool(unittest.TestCase):
    def setUp(self):
        self.d = maker_dir()

    def tearDown(self):
        self.d.close()

    def test_first_run_creates_the_configuration(self):
        code, out = self.d.run()
        self.assertEqual(code, 0)
        self.assertEqual(out, "Configuration file created. Edit config.json and start tool again.\n")
        config = self.d.config()
        self.assertEqual(list(config.keys()), ["client", "maker"])
        guid = config["client"]["guid"]
        self.assertRegex(guid, r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
        self.assertTrue(os.path.isdir(self.d.input))
        self.assertTrue(os.path.isdir(self.d.output))
        self.assertFalse(os.path.exists(self.d.path("cache.json")))
        # A second configuration gets a GUID of its own.
        other = maker_dir()
        try:
            other.run()
            self.assertNotEqual(other.config()["client"]["guid"], guid)
        finally:
            other.close()

    def test_bad_configuration_writes_nothing(self):
        with open(self.d.path("config.json"), "w") as f:
            f.write('{"maker": {"gameupdate": 3, "packer": {"minsize": 1}}}')
        self.d.write("a.txt", b"a")
        code, out = self.d.run()
        self.assertEqual(code, 0)
        self.assertEqual(out, "Exception: [json.exception.type_error.302] type must be boolean, "
                              "but is null\n")
        self.assertEqual(os.listdir(self.d.output), [])
        self.assertFalse(os.path.exists(self.d.path("cache.json")))

    def test_published_tree_checks_out_with_standard_tools(self):
        self.d.run()
        self.d.configure(gameupdate=6)
        tree = game_tree(random.Random(1))
        for name, data in tree.items():
            self.d.write(name, data)
        code, out = self.d.run()
        self.assertEqual(code, 1, out)
        lines = out.splitlines(keepends=True)
        self.assertEqual(lines[:2], ["Orvane Game Launcher\n", "Checking files...\n"])
        self.assertIn("Processing: Client\\Sub Dir\\Big Text.TXT\n", lines)
        self.assertIn("Finished!\n", lines)
        self.assertEqual(lines[-2:], ["Minimum referenced version: 7\n",
                                      "Current game update version: 7\n"])

        self.assertEqual(load_checked(os.path.join(self.d.output, "version.json"), pretty=False),
                         {"gameupdate": 7})
        index = self.d.index(7)
        self.assertEqual(list(index.keys()), ["config", "files"])
        self.assertEqual(index["config"], self.d.config()["client"])
        self.assertEqual(self.d.config()["maker"]["gameupdate"], 7)
        self.assertEqual(xz_unpack(os.path.join(self.d.output, "7", "index.json.lzma2")),
                         read_bytes(os.path.join(self.d.output, "7", "index.json")))

        files = {e["l"]: e for e in index["files"]}
        self.assertEqual(set(files), set(tree))
        for name, entry in files.items():
            with self.subTest(name=name):
                source = os.path.join(self.d.input, *name.split("\\"))
                self.assertEqual(entry["l_sha1"], sha1sum(source))
                self.assertEqual(entry["l_size"], len(tree[name]))
                self.assertEqual(entry["u"], 7)
                remote = "7/" + ascii_lower(name).replace("\\", "/").replace(" ", "%20")
                copy = self.d.published(entry["r"])
                self.assertEqual(os.path.getsize(copy), entry["r_size"])
                if "r_pack" in entry:
                    self.assertEqual(entry["r_pack"], "lzma2")
                    self.assertEqual(entry["r"], remote + ".lzma2")
                    self.assertEqual(entry["r_sha1"], sha1sum(copy))
                    self.assertEqual(xz_unpack(copy), tree[name])
                    with open(copy, "rb") as f:
                        header = f.read(13)
                    self.assertEqual(header[:4], bytes([0x13, 0xEF, 0xEC, 0x30]))
                    self.assertEqual(int.from_bytes(header[4:12], "little"), len(tree[name]))
                    self.assertEqual(header[12], 24)
                else:
                    self.assertEqual(entry["r"], remote)
                    self.assertNotIn("r_sha1", entry)
                    with open(copy, "rb") as f:
                        self.assertEqual(f.read(), tree[name])
        packed = {n for n, e in files.items() if "r_pack" in e}
        self.assertEqual(packed, {"Client\\Game Client.EXE", "Client\\Sub Dir\\Big Text.TXT",
                                  "Data\\Half Random.pak", "Data\\Edge16384.dat"})
        self.assertEqual(files["Empty File.txt"]["l_sha1"], "")

        cache = load_checked(self.d.path("cache.json"), pretty=True)
        self.assertEqual(set(cache), {ascii_lower(n) for n in tree})
        for name, entry in files.items():
            self.assertEqual(cache[ascii_lower(name)]["data"], entry)

        # Unchanged: everything reused, update 7 rewritten as it was.
        before = read_bytes(os.path.join(self.d.output, "7", "index.json"))
        code, out = self.d.run()
        self.assertEqual(code, 1)
        self.assertEqual(out.count("Using cached: "), len(tree))
        self.assertIn("No update detected.\n", out)
        self.assertNotIn("Saving config file.", out)
        self.assertEqual(read_bytes(os.path.join(self.d.output, "7", "index.json")), before)

    def test_output_is_the_same_for_every_thread_count(self):
        self.d.run()
        rng = random.Random(5)
        for relative, data in game_tree(rng).items():
            self.d.write(relative, data)
        words = [b"north", b"south", b"east", b"west", b"up", b"down"]
        for i in range(12):
            size = rng.randrange(20000, 400000)
            data = b" ".join(rng.choice(words) + b"%d" % rng.randrange(500)
                             for _ in range(size // 8))
            self.d.write("Levels\\Level %02d.dat" % i, data)

        def snapshot():
            tree = {}
            for base, _, files in os.walk(self.d.output):
                for name in files:
                    full = os.path.join(base, name)
                    tree[os.path.relpath(full, self.d.output)] = read_bytes(full)
            tree["cache.json"] = read_bytes(self.d.path("cache.json"))
            return tree

        first = None
        for threads in (1, 2, 3):
            shutil.rmtree(self.d.output)
            if os.path.exists(self.d.path("cache.json")):
                os.remove(self.d.path("cache.json"))
            self.d.configure(gameupdate=0)
            self.d.set_packer("threads", threads)
            code, out = self.d.run()
            self.assertEqual(code, 1, out)
            got = (snapshot(), out)
            if first is None:
                first = got
                continue
            self.assertEqual(sorted(got[0]), sorted(first[0]), threads)
            for name in first[0]:
                self.assertTrue(got[0][name] == first[0][name], "%s differs for %d threads" %
                                (name, threads))
            self.assertEqual(got[1], first[1], threads)
        index = self.d.index(1)
        self.assertEqual(len(index["files"]), len(game_tree(rng)) + 12)
        for entry in index["files"]:
            path = self.d.published(entry["r"])
            self.assertEqual(sha1sum(path), entry.get("r_sha1", entry["l_sha1"]))

    def test_results_waiting_for_their_turn_hold_no_open_files(self):
        self.d.run()
        # The first file of the queue is the smallest and is started last; all
        # the others wait for it with far more files than the process may
        # have open.
        self.d.write("0.txt", b"0")
        for i in range(150):
            self.d.write("Items\\item %03d.txt" % i, b"item %d\n" % i * 4)
        limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        code, out = self.d.run(preexec=limit)
        self.assertEqual(code, 1, out)
        self.assertNotIn("!!! ", out)
        self.assertEqual(len(self.d.index(1)["files"]), 151)

    def test_progress_line_only_on_a_terminal_standard_error(self):
        self.d.run()
        for i in range(4):
            self.d.write("File %d.txt" % i, b"progress %d\n" % i * 20000)
        # Standard error a pipe: no line.
        done = subprocess.run([self.d.exe, "-patchmaker"], cwd="/", capture_output=True,
                              timeout=300, stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr, b"")
        first = done.stdout

        # On a terminal: the line is there, standard output is as before.
        shutil.rmtree(self.d.output)
        os.remove(self.d.path("cache.json"))
        self.d.configure(gameupdate=0)
        primary, secondary = pty.openpty()
        shown = []

        def drain():
            while True:
                try:
                    chunk = os.read(primary, 65536)
                except OSError:  # the other end closed
                    return
                if not chunk:
                    return
                shown.append(chunk)

        reader = threading.Thread(target=drain)
        try:
            proc = subprocess.Popen([self.d.exe, "-patchmaker"], cwd="/", stdout=subprocess.PIPE,
                                    stderr=secondary, stdin=subprocess.DEVNULL)
            os.close(secondary)
            secondary = None
            reader.start()
            stdout = proc.stdout.read()
            proc.stdout.close()
            self.assertEqual(proc.wait(timeout=300), 1)
            reader.join(timeout=60)
        finally:
            if secondary is not None:
                os.close(secondary)
            if not reader.is_alive():
                os.close(primary)
        shown = b"".join(shown)
        self.assertEqual(stdout, first)
        self.assertNotIn(b"\r", stdout)
        self.assertRegex(shown, rb"\r4/4 files, 0\.9/0\.9 MB")
        # Wiped at the end: the last thing on the terminal is blanks.
        self.assertTrue(shown.endswith(b"\r"), shown[-80:])

    def test_interrupted_run_then_a_complete_one(self):
        self.d.run()
        self.d.configure(gameupdate=2)
        rng = random.Random(2)
        count = 24
        for i in range(count):
            # Text-like and large enough that packing takes a moment each.
            words = [b"alpha", b"beta", b"gamma", b"delta", b"omega", b"sigma"]
            data = b" ".join(rng.choice(words) + b"%d" % rng.randrange(1000)
                             for _ in range(200000))
            self.d.write("Pack %02d\\File %02d.bin" % (i, i), data)
        # Several files at once: those begun when the signal comes are finished.
        self.d.set_packer("threads", 3)
        proc = subprocess.Popen([self.d.exe, "-patchmaker"], cwd="/", stdout=subprocess.PIPE,
                                stdin=subprocess.DEVNULL)
        seen = []
        for raw in proc.stdout:
            seen.append(raw.decode())
            if sum(l.startswith("Processing: ") for l in seen) == 3:
                proc.send_signal(signal.SIGINT)
                break
        rest = proc.stdout.read().decode()
        proc.stdout.close()
        code = proc.wait(timeout=600)
        out = "".join(seen) + rest
        self.assertEqual(code, 1, out)
        self.assertIn("Interrupted! Terminating threads...\n", out)
        self.assertIn("Saving config file.\n", out)
        self.assertNotIn("Saving update index.", out)
        self.assertEqual(self.d.config()["maker"]["gameupdate"], 3)
        self.assertFalse(os.path.exists(os.path.join(self.d.output, "3", "index.json")))
        self.assertFalse(os.path.exists(os.path.join(self.d.output, "version.json")))
        partial = load_checked(self.d.path("cache.json"), pretty=True)
        self.assertGreaterEqual(len(partial), 3)
        self.assertLess(len(partial), count)

        code, out = self.d.run()
        self.assertEqual(code, 1, out)
        self.assertEqual(out.count("Using cached: 3/"), len(partial))
        self.assertEqual(out.count("Processing: "), count - len(partial))
        index = self.d.index(4)
        self.assertEqual(len(index["files"]), count)
        self.assertEqual(sorted({e["u"] for e in index["files"]}), [3, 4])
        self.assertIn("Minimum referenced version: 3\n", out)
        self.assertEqual(load_checked(os.path.join(self.d.output, "version.json"), pretty=False),
                         {"gameupdate": 4})

    # ---------------------------------------------------------------- chunk maps

    def check_chunk_map(self, entry, source):
        """The entry's map against the input file and the published file:
        each chunk's SHA-256, each range holding its chunk (decoded alone by
        xz when packed)."""
        map_path = self.d.published(entry["m"])
        self.assertEqual(entry["m"], entry["r"] + ".chunkmap")
        self.assertEqual(os.path.getsize(map_path), entry["m_size"])
        self.assertEqual(sha1sum(map_path), entry["m_sha1"])
        chunk_map = read_chunk_map(map_path)
        self.assertEqual(chunk_map["form"], 1 if "r_pack" in entry else 0)
        self.assertEqual(chunk_map["size"], entry["l_size"])
        self.assertEqual(chunk_map["published"], entry["r_size"])
        with open(source, "rb") as data, open(self.d.published(entry["r"]), "rb") as published:
            for offset, length, at, range_length, digest in chunk_map["chunks"]:
                data.seek(offset)
                chunk = data.read(length)
                self.assertEqual(hashlib.sha256(chunk).hexdigest(), digest, offset)
                published.seek(at)
                piece = published.read(range_length)
                self.assertEqual(xz_piece(piece) if chunk_map["form"] == 1 else piece, chunk)
        return chunk_map

    def test_large_files_are_published_in_chunks_with_a_map(self):
        self.d.run()
        rng = random.Random(9)
        words = [b"stone", b"river", b"tower", b"ember", b"gate"]
        text = b" ".join(rng.choice(words) + b"%d" % rng.randrange(900) for _ in range(300000))
        tree = {"Data\\World.pak": text[:1 << 20] + rng.randbytes(1 << 20) + text[1 << 20:],
                "Media\\Noise.ogg": rng.randbytes(1 << 20)}
        for name, data in tree.items():
            self.d.write(name, data)
        code, out = self.d.run()
        self.assertEqual(code, 1, out)
        files = self.published_files(1)
        world = files["Data\\World.pak"]
        self.assertEqual(world["r"], "1/data/world.pak.lzma2")
        self.assertEqual(xz_unpack(self.d.published(world["r"])), tree["Data\\World.pak"])
        source = os.path.join(self.d.input, "Data", "World.pak")
        before = self.check_chunk_map(world, source)
        self.assertGreater(len(before["chunks"]), 4)
        noise = files["Media\\Noise.ogg"]
        self.assertNotIn("r_pack", noise)
        self.check_chunk_map(noise, os.path.join(self.d.input, "Media", "Noise.ogg"))

        # Something inserted at the start: the chunks after it are the same.
        self.d.write("Data\\World.pak", b"patch notes\n" * 100 + tree["Data\\World.pak"])
        code, out = self.d.run()
        self.assertEqual(code, 1, out)
        after = self.check_chunk_map(self.published_files(2)["Data\\World.pak"], source)
        old = {c[4] for c in before["chunks"]}
        self.assertLessEqual(sum(c[4] not in old for c in after["chunks"]), 2)

    def test_a_file_past_4_gib_is_published_whole(self):
        """Mostly a hole: quick to pack, and no disk space for its zeros."""
        # Reading 4 GiB takes minutes against the sanitized build that the
        # test command uses; the format's own tests hold 64-bit sizes there.
        if not os.environ.get("TSL_SLOW_TESTS"):
            self.skipTest("set TSL_SLOW_TESTS=1 to publish a 4 GiB file")
        self.d.run()
        size = (4 << 30) + (3 << 20) + 5
        path = os.path.join(self.d.input, "Huge.pak")
        head, tail = random.Random(3).randbytes(1 << 20), random.Random(4).randbytes(1 << 20)
        try:
            with open(path, "wb") as f:
                f.write(head)
                f.seek(size - len(tail))
                f.write(tail)
        except OSError as e:
            self.skipTest("cannot make a 4 GiB sparse file here: %s" % e)
        if os.stat(path).st_blocks * 512 > 64 << 20:
            self.skipTest("the file system keeps no holes: a 4 GiB file would fill the disk")
        if shutil.disk_usage(self.d.root).free < 512 << 20:
            self.skipTest("less than 512 MiB free beside the maker")
        code, out = self.d.run()
        self.assertEqual(code, 1, out)
        self.assertNotIn("!!! ", out)
        entry = self.published_files(1)["Huge.pak"]
        self.assertEqual(entry["l_size"], size)
        self.assertEqual(entry["l_sha1"], sha1sum(path))
        published = self.d.published(entry["r"])
        self.assertEqual(os.path.getsize(published), entry["r_size"])
        # xz decodes the whole stream to the file's bytes.
        tail_cmd = subprocess.Popen(["tail", "-c", "+14", published], stdout=subprocess.PIPE)
        xz = subprocess.Popen(XZ_RAW, stdin=tail_cmd.stdout, stdout=subprocess.PIPE)
        tail_cmd.stdout.close()
        digest, got = hashlib.sha1(), 0
        for block in iter(lambda: xz.stdout.read(1 << 20), b""):
            digest.update(block)
            got += len(block)
        self.assertEqual((xz.wait(), tail_cmd.wait()), (0, 0))
        self.assertEqual((got, digest.hexdigest()), (size, entry["l_sha1"]))
        chunk_map = read_chunk_map(self.d.published(entry["m"]))
        self.assertEqual(chunk_map["size"], size)
        # Every chunk's digest; the ranges of the first and last chunks
        # decoded alone.
        with open(path, "rb") as data, open(published, "rb") as packed:
            for k, (offset, length, at, range_length, sha256) in enumerate(chunk_map["chunks"]):
                data.seek(offset)
                chunk = data.read(length)
                self.assertEqual(hashlib.sha256(chunk).hexdigest(), sha256, offset)
                if k in (0, len(chunk_map["chunks"]) - 1):
                    packed.seek(at)
                    self.assertEqual(xz_piece(packed.read(range_length)), chunk)

    # ---------------------------------------------------------------- hardening

    def write_raw(self, relative_bytes, data=b"x"):
        """A file whose name is raw bytes (os.fsencode of the input path)."""
        path = os.path.join(os.fsencode(self.d.input), relative_bytes)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def published_files(self, n):
        return {e["l"]: e for e in self.d.index(n)["files"]}

    def test_colliding_names_leave_out_the_later_one(self):
        self.d.run()
        pairs = [("Data/A.txt", "data/a.txt"), ("Maps/x", "Maps/x.lzma2"),
                 ("\u0414\u0430.txt", "\u0434\u0430.txt")]
        for upper, lower in pairs:
            self.d.write(upper.replace("/", "\\"), b"first of a pair " + upper.encode())
            self.d.write(lower.replace("/", "\\"), b"second of a pair " + lower.encode())
        self.d.write("index.json", b'{"not": "the index"}')
        self.d.write("Sub\\index.json", b"a game file")
        code, out = self.d.run()
        self.assertEqual(code, 1, out)
        files = self.published_files(1)
        for pair in pairs:
            names = [p.replace("/", "\\") for p in pair]
            kept = [n for n in names if n in files]
            self.assertEqual(len(kept), 1, (pair, sorted(files)))
            left = [n for n in names if n not in kept][0]
            self.assertIn("!!! Name collision, left out: %s (same published name as %s)\n"
                          % (self.d.shown(left), self.d.shown(kept[0])), out)
            with open(self.d.published(files[kept[0]]["r"]), "rb") as f:
                self.assertEqual(f.read(), read_bytes(os.path.join(self.d.input,
                                                                   *kept[0].split("\\"))))
        self.assertIn("!!! Name collision, left out: %s (same published name as the update "
                      "index)\n" % self.d.shown("index.json"), out)
        self.assertNotIn("index.json", files)
        self.assertIn("Sub\\index.json", files)
        self.assertEqual(json.loads(read_bytes(os.path.join(self.d.output, "1", "index.json")))
                         ["files"], self.d.index(1)["files"])
        code, out = self.d.run()
        self.assertIn("No update detected.\n", out)
        self.assertEqual(self.d.config()["maker"]["gameupdate"], 1)

    def test_names_no_launcher_can_install_are_left_out(self):
        self.d.run()
        self.d.write("good.txt", b"good")
        bad = {b"caf\xe9.txt": ("caf\\xE9.txt", "name not valid UTF-8"),
               b"back\\slash": ("back\\slash", "backslash in name"),
               b"con.txt": ("con.txt", "reserved device name"),
               b"dot.": ("dot.", "name ends in a dot or a blank"),
               b"blank ": ("blank ", "name ends in a dot or a blank"),
               b"a:b": ("a:b", "character that Windows names cannot hold"),
               b"why?": ("why?", "character that Windows names cannot hold"),
               b"tab\tname": ("tab\\x09name", "control character in name")}
        for raw in bad:
            self.write_raw(raw)
        self.write_raw(b"AUX/inside.txt")
        code, out = self.d.run()
        self.assertEqual(code, 1, out)
        for shown, reason in list(bad.values()) + [("AUX", "reserved device name")]:
            self.assertIn("!!! Name no launcher can install, left out: %s (%s)\n"
                          % (self.d.shown(shown), reason), out)
        self.assertEqual(out.count("!!! "), len(bad) + 1)
        self.assertEqual(list(self.published_files(1)), ["good.txt"])

    def test_a_file_changing_while_it_is_published_is_left_for_the_next_run(self):
        self.d.run()
        words = [b"stone", b"river", b"tower", b"gate"]
        rng = random.Random(5)
        data = b" ".join(rng.choice(words) for _ in range(600000))
        self.d.write("busy.dat", data)
        self.d.write("calm.txt", b"calm")
        path = os.path.join(self.d.input, "busy.dat")
        stop = threading.Event()

        def keep_writing():
            # Same size, in place, as a build that is still writing would.
            flip = 0
            with open(path, "r+b") as f:
                while not stop.is_set():
                    f.seek(len(data) // 2)
                    f.write(bytes([65 + flip]))
                    f.flush()
                    flip ^= 1
                    stop.wait(0.005)

        writer = threading.Thread(target=keep_writing)
        writer.start()
        try:
            code, out = self.d.run()
        finally:
            stop.set()
            writer.join()
        self.assertEqual(code, 1, out)
        self.assertIn("!!! File changed while publishing: %s\n" % self.d.shown("busy.dat"), out)
        self.assertEqual(list(self.published_files(1)), ["calm.txt"])
        self.assertNotIn("busy.dat", load_checked(self.d.path("cache.json"), pretty=True))

        code, out = self.d.run()
        entry = self.published_files(2)["busy.dat"]
        self.assertEqual(entry["l_sha1"], sha1sum(path))
        self.assertEqual(xz_unpack(self.d.published(entry["r"])), read_bytes(path))

    def test_directory_links_are_not_followed(self):
        self.d.run()
        self.d.write("sub\\real.txt", b"real")
        outside = self.d.path("outside.txt")
        with open(outside, "wb") as f:
            f.write(b"linked from inside")
        os.symlink(".", os.path.join(self.d.input, "self"))
        os.symlink(".", os.path.join(self.d.input, "sub", "again"))
        os.symlink("..", os.path.join(self.d.input, "up"))
        os.symlink(outside, os.path.join(self.d.input, "sub", "linked.txt"))
        code, out = self.d.run()
        self.assertEqual(code, 1, out)
        for link in ("self", "sub\\again", "up"):
            self.assertIn("!!! Directory link not followed: %s\n" % self.d.shown(link), out)
        files = self.published_files(1)
        self.assertEqual(sorted(files), ["sub\\linked.txt", "sub\\real.txt"])
        with open(self.d.published(files["sub\\linked.txt"]["r"]), "rb") as f:
            self.assertEqual(f.read(), b"linked from inside")

    def test_files_that_keep_failing_do_not_move_the_version(self):
        self.d.run()
        self.d.write("good.txt", b"good")
        self.d.run()
        os.symlink("/nonexistent/target", os.path.join(self.d.input, "gone.txt"))
        for _ in range(2):
            code, out = self.d.run()
            self.assertEqual(code, 1, out)
            self.assertIn("!!! Error copy: %s\n" % self.d.shown("gone.txt"), out)
            self.assertIn("No update detected.\n", out)
            self.assertNotIn("Saving config file.", out)
            self.assertEqual(self.d.config()["maker"]["gameupdate"], 1)

    def snapshot(self):
        out = {}
        for base, _, files in os.walk(self.d.root):
            for name in files:
                path = os.path.join(base, name)
                if not os.path.islink(path) and path != self.d.exe:
                    out[path] = read_bytes(path)
        return out

    def test_a_configuration_behind_its_output_is_refused(self):
        self.d.run()
        self.d.write("a.txt", b"one")
        self.d.run()
        shutil.copy(self.d.path("config.json"), self.d.path("config-1.json"))
        self.d.write("a.txt", b"two")
        self.d.run()
        shutil.copy(self.d.path("config-1.json"), self.d.path("config.json"))
        before = self.snapshot()
        code, out = self.d.run()
        self.assertEqual(code, 0, out)
        self.assertEqual(out, "Exception: %s announces game update 2, but "
                              "maker.gameupdate in config.json is 1: restore the config.json and "
                              "cache.json of the run that published update 2 (or set "
                              "maker.gameupdate to 2) and start the tool again\n"
                         % self.d.shown("version.json", "output"))
        self.assertEqual(self.snapshot(), before)

    def test_what_is_saved_stays_consistent(self):
        self.d.run()
        self.d.write("a.txt", b"a")
        self.d.run()
        # Linked in from elsewhere and private: written through, mode kept.
        keep = self.d.path("kept")
        os.mkdir(keep)
        for name in ("config.json", "cache.json"):
            os.rename(self.d.path(name), os.path.join(keep, name))
            os.chmod(os.path.join(keep, name), 0o600)
            os.symlink(os.path.join(keep, name), self.d.path(name))
        self.d.write("b.txt", b"b")
        code, out = self.d.run()
        self.assertEqual(code, 1, out)
        for name in ("config.json", "cache.json"):
            self.assertTrue(os.path.islink(self.d.path(name)), name)
            self.assertEqual(stat.S_IMODE(os.stat(self.d.path(name)).st_mode), 0o600, name)
        self.assertEqual(sorted(os.listdir(keep)), ["cache.json", "config.json"])
        self.assertEqual(self.d.config()["maker"]["gameupdate"], 2)
        self.assertEqual(len(load_checked(self.d.path("cache.json"), pretty=True)), 2)

        # A configuration that cannot be saved: the cache stays as it was,
        # though the cache of that run would have fitted.
        config = read_bytes(self.d.path("config.json"))
        cache = read_bytes(self.d.path("cache.json"))
        for name in ("a.txt", "b.txt"):
            os.remove(os.path.join(self.d.input, name))

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (64, resource.RLIM_INFINITY))

        code, out = self.d.run(preexec=small_files)
        self.assertEqual(code, 0, out)
        self.assertIn("!!! Error writing file: %s\\config.json\n" % self.d.root.replace("/", "\\"), out)
        self.assertEqual(read_bytes(self.d.path("config.json")), config)
        self.assertEqual(read_bytes(self.d.path("cache.json")), cache)

    def test_termination_exits_with_2(self):
        self.d.run()
        for i in range(12):
            self.d.write("f%02d.bin" % i, random.Random(i).randbytes(3 << 20))
        proc = subprocess.Popen([self.d.exe, "-patchmaker"], cwd="/", stdout=subprocess.PIPE,
                                stdin=subprocess.DEVNULL)
        for raw in proc.stdout:
            if raw.startswith(b"Processing: "):
                proc.send_signal(signal.SIGTERM)
                break
        out = proc.stdout.read().decode()
        proc.stdout.close()
        self.assertEqual(proc.wait(timeout=600), 2)
        self.assertIn("Closed! Terminating threads...\n", out)


def main():
    global EXECUTABLE
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    EXECUTABLE = os.path.abspath(sys.argv.pop(1))
    for tool in ("sha1sum", "xz", "tail"):
        if not shutil.which(tool):
            print("missing tool: " + tool)
            return 2
    result = unittest.main(exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
