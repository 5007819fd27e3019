#!/usr/bin/env python3
"""Runs the native patch maker (`TessalyReach -patchmaker`) in a scratch
directory and checks what it publishes with tools nobody here wrote:
sha1sum for every digest, xz's raw LZMA2 decoder for every packed file, and
Python's json module for the documents and their layout.

Usage: maker_tool_test.py PATH-TO-TessalyReach
"""

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
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

    def run(self, *extra):
        # Started from elsewhere: the working directory must not matter.
        done = subprocess.run([self.exe, "-patchmaker"] + list(extra), cwd="/",
                              capture_output=True, timeout=900, stdin=subprocess.DEVNULL)
        return done.returncode, done.stdout.decode("utf-8", "replace")

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
