#!/usr/bin/env python3
"""Updates by what changed, measured on one generated game pack file of
compressible text, mesh-like binary and incompressible media sections
(1 GiB by default) and four changed versions of it:
  one place      1 % of the file rewritten in one place
  100 places     1 % rewritten over 100 places
  insert 1 MiB   1 MiB inserted at the start
  5 behind       a player five updates behind (each update rewrites 0.4 %
                 over 10 places and inserts 64 KiB somewhere)
For each: the bytes a launcher would fetch (the ranges of the new chunk map
that the old file's chunks lack, touching ranges joined, plus the map and
what the map members add to the index) as a fraction of the file, beside
the patch that `zstd --patch-from` and `xdelta3` make of the same pair.
The fetch is what bench/delta_plan computes (the launcher's rebuild asks for
the same ranges) with the product's chunker and map reader. Also: the packed size
and the maker's time against packing the file whole (maker.packer.chunk_size
0, the packing before chunk maps), and the chunker's speed against sha1sum.
Writes report.txt and fetched.png (python3-matplotlib) into the work dir.

Usage: delta_bench.py --maker TessalyReach --plan delta_plan --work DIR
         [--mib 1024] [--averages 262144[,...]] [--scaled-places]
  --averages: chunk sizes to compare (maker.packer.chunk_size); the table
    shows each, the chart the first.
  --scaled-places: for a file below 1 GiB, the 100-place change keeps the
    size of one place of a 1 GiB file (and has fewer places), so that the
    fraction fetched stands for the 1 GiB case.
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import time

MiB = 1 << 20
GiB = 1 << 30


class generator:
    """Deterministic content of three kinds; a file is a list of sections."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        words_rng = random.Random(20261208)
        self.words = [bytes(words_rng.choices(b"abcdefghijklmnopqrstuvwxyz",
                                              k=words_rng.randint(2, 10))) for _ in range(3000)]
        self.seps = [b" ", b" ", b" ", b"\n", b", ", b"=", b"; "]
        self.alphabet = bytes(list(range(0, 256, 5)) + [0] * 20)

    def text(self, size):
        out, have = [], 0
        while have < size:
            ws = self.rng.choices(self.words, k=20000)
            ss = self.rng.choices(self.seps, k=20000)
            piece = b"".join(w + s for w, s in zip(ws, ss))
            out.append(piece)
            have += len(piece)
        return b"".join(out)[:size]

    def binary(self, size):
        return bytes(self.rng.choices(self.alphabet, k=size))

    def media(self, size):
        return self.rng.randbytes(size)

    def kind(self, kind, size):
        return {"text": self.text, "binary": self.binary, "media": self.media}[kind](size)


def base_sections(size, rng):
    """Sections of 1 to 8 MiB: 30 % text, 30 % binary, 40 % media."""
    sections, at = [], 0
    while at < size:
        n = min(size - at, rng.randint(1, 8) * MiB)
        sections.append((rng.choices(["text", "binary", "media"], [3, 3, 4])[0], n))
        at += n
    return sections


def write_base(path, size, gen):
    sections = base_sections(size, random.Random(7))
    with open(path, "wb") as f:
        for kind, n in sections:
            f.write(gen.kind(kind, n))
    return sections


def kind_at(sections, offset):
    at = 0
    for kind, n in sections:
        if offset < at + n:
            return kind
        at += n
    return sections[-1][0]


def rewrite(data, sections, places, gen):
    """`places`: (offset, length) ranges rewritten with new content of the
    kind of section they start in."""
    for offset, length in places:
        data[offset:offset + length] = gen.kind(kind_at(sections, offset), length)


def spread(size, count, length, rng):
    step = size // count
    return [(k * step + rng.randrange(max(1, step - length)), length) for k in range(count)]


def make_versions(work, size, sections, gen, scaled_places):
    base = os.path.join(work, "v0.pak")
    with open(base, "rb") as f:
        original = f.read()
    rng = random.Random(11)
    versions = {}

    data = bytearray(original)
    rewrite(data, sections, [(rng.randrange(size - size // 100), size // 100)], gen)
    versions["one place"] = bytes(data)

    data = bytearray(original)
    if scaled_places:
        length = GiB // 10000
        count = max(1, round(100 * size / GiB))
    else:
        length, count = size // 10000, 100
    rewrite(data, sections, spread(size, count, length, rng), gen)
    versions["100 places"] = bytes(data)

    versions["insert 1 MiB"] = gen.text(MiB) + original

    data = bytearray(original)
    for _ in range(5):
        rewrite(data, sections, spread(len(data), 10, len(data) // 2500, rng), gen)
        at = rng.randrange(len(data))
        data[at:at] = gen.text(64 << 10)
    versions["5 behind"] = bytes(data)

    paths = {}
    for k, (name, content) in enumerate(versions.items()):
        paths[name] = os.path.join(work, "v%d.pak" % (k + 1))
        with open(paths[name], "wb") as f:
            f.write(content)
    return base, paths


def publish(maker, work, name, source, average, threads):
    """One maker run over a tree holding `source` as Data/World.pak; returns
    the index entry, the published directory and the wall time."""
    root = os.path.join(work, name)
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "input", "Data"))
    exe = os.path.join(root, "TessalyReach")
    shutil.copy2(maker, exe)
    subprocess.run([exe, "-patchmaker"], cwd=root, capture_output=True, check=False)
    with open(os.path.join(root, "config.json")) as f:
        config = json.load(f)
    config["maker"]["packer"]["chunk_size"] = average
    config["maker"]["packer"]["threads"] = threads
    with open(os.path.join(root, "config.json"), "w") as f:
        json.dump(config, f, indent=4)
    os.link(source, os.path.join(root, "input", "Data", "World.pak"))
    start = time.monotonic()
    done = subprocess.run([exe, "-patchmaker"], cwd=root, capture_output=True)
    seconds = time.monotonic() - start
    if b"!!! " in done.stdout:
        raise SystemExit("maker failed: " + done.stdout.decode(errors="replace"))
    with open(os.path.join(root, "output", "1", "index.json")) as f:
        entry = json.load(f)["files"][0]
    return entry, os.path.join(root, "output"), seconds


def index_growth(entry):
    """Bytes the map members add to the entry in the compact index."""
    plain = {k: v for k, v in entry.items() if not k.startswith("m")}
    dump = lambda e: len(json.dumps(e, separators=(",", ":"), sort_keys=True))
    return dump(entry) - dump(plain)


def timed(command):
    start = time.monotonic()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def reference_patches(old, new, work):
    sizes = {}
    patch = os.path.join(work, "patch")
    window = 1 << max(20, (os.path.getsize(old) - 1).bit_length())
    subprocess.run(["zstd", "-q", "-f", "-19", "--long=31", "--patch-from=" + old, new, "-o",
                    patch], check=True, stdout=subprocess.DEVNULL)
    sizes["zstd"] = os.path.getsize(patch)
    subprocess.run(["xdelta3", "-f", "-e", "-9", "-B", str(min(window, 1 << 31)), "-s", old, new,
                    patch], check=True)
    sizes["xdelta3"] = os.path.getsize(patch)
    os.remove(patch)
    return sizes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--maker", required=True)
    parser.add_argument("--plan", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--mib", type=int, default=1024)
    parser.add_argument("--averages", default="262144")
    parser.add_argument("--threads", type=int, default=0)
    parser.add_argument("--scaled-places", action="store_true")
    args = parser.parse_args()
    for tool in ("zstd", "xdelta3", "sha1sum"):
        if not shutil.which(tool):
            raise SystemExit("delta_bench: missing " + tool)
    averages = [int(a) for a in args.averages.split(",")]
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    size = args.mib * MiB
    gen = generator(5)
    print("generating a %d MiB pack file and its changed versions" % args.mib, flush=True)
    sections = write_base(os.path.join(work, "v0.pak"), size, gen)
    base, versions = make_versions(work, size, sections, gen, args.scaled_places)
    lines = []
    say = lambda text="": (print(text, flush=True), lines.append(text))

    # The chunker against sha1sum over the same file, page cache warm.
    subprocess.run(["cat", base], stdout=subprocess.DEVNULL, check=True)
    sha1 = min(timed(["sha1sum", base]) for _ in range(2))
    cut = min(float(subprocess.run([args.plan, "cut", base, str(averages[0])], check=True,
                                   capture_output=True).stdout.split()[0]) for _ in range(2))
    cut_digest = float(subprocess.run([args.plan, "cut", base, str(averages[0]), "digest"],
                                      check=True, capture_output=True).stdout.split()[0])
    say("chunker: %.0f MB/s, with SHA-256 of each chunk %.0f MB/s; sha1sum %.0f MB/s "
        "(chunker / sha1sum %.2f)" % (size / cut / 1e6, size / cut_digest / 1e6,
                                      size / sha1 / 1e6, sha1 / cut))
    # The rows of bench/run-all.sh's table: measure, ours, reference, ratio, target, verdict.
    rows = [("chunker speed vs sha1sum", "%.0f MB/s" % (size / cut / 1e6),
             "%.0f MB/s" % (size / sha1 / 1e6), "%.2f" % (sha1 / cut), "-", "ok")]
    targets = {"one place": 0.015, "100 places": 0.03, "insert 1 MiB": 0.015}

    whole, whole_out, whole_time = publish(args.maker, work, "whole", base, 0, args.threads)
    say("packed whole (chunk_size 0): %d bytes (%.3f of the file), maker %.1f s" %
        (whole["r_size"], whole["r_size"] / size, whole_time))
    shutil.rmtree(os.path.join(work, "whole"), ignore_errors=True)

    references = {name: reference_patches(base, path, work) for name, path in versions.items()}
    results = {}
    for average in averages:
        entry, _, seconds = publish(args.maker, work, "base", base, average, args.threads)
        say()
        say("chunk size %d KiB: packed %d bytes = %.4f x whole, maker time %.2f x whole" %
            (average >> 10, entry["r_size"], entry["r_size"] / whole["r_size"],
             seconds / whole_time))
        if average == averages[0]:
            ratio, time_ratio = entry["r_size"] / whole["r_size"], seconds / whole_time
            rows.append(("packed size vs whole file", "%d" % entry["r_size"], "%d" % whole["r_size"],
                         "%.4f" % ratio, "<= 1.02", "ok" if ratio <= 1.02 else "MISSED"))
            rows.append(("maker time vs whole file", "%.1f s" % seconds, "%.1f s" % whole_time,
                         "%.2f" % time_ratio, "<= 1.1", "ok" if time_ratio <= 1.1 else "MISSED"))
        say("  %-13s %8s %8s %7s %8s %8s" % ("pattern", "fetched", "chunks", "ranges", "zstd",
                                             "xdelta3"))
        for name, path in versions.items():
            new_entry, output, _ = publish(args.maker, work, "new", path, average, args.threads)
            map_path = os.path.join(output, *new_entry["m"].split("/"))
            plan = json.loads(subprocess.run([args.plan, "plan", base, map_path], check=True,
                                             capture_output=True).stdout)
            fetched = plan["bytes"] + plan["map_bytes"] + index_growth(new_entry)
            new_size = os.path.getsize(path)
            results.setdefault(average, {})[name] = fetched / new_size
            say("  %-13s %7.2f%% %8d %7d %7.2f%% %7.2f%%" % (
                name, 100 * fetched / new_size, plan["missing"], plan["ranges"],
                100 * references[name]["zstd"] / new_size,
                100 * references[name]["xdelta3"] / new_size))
            if average == averages[0]:
                target = targets.get(name)
                rows.append(("fetched, %s (vs zstd patch)" % name,
                             "%.2f%%" % (100 * fetched / new_size),
                             "%.2f%%" % (100 * references[name]["zstd"] / new_size),
                             "%.4f" % (fetched / new_size),
                             "<= %.3f" % target if target else "-",
                             "ok" if not target or fetched / new_size <= target else "MISSED"))
        shutil.rmtree(os.path.join(work, "new"), ignore_errors=True)
        shutil.rmtree(os.path.join(work, "base"), ignore_errors=True)
    say()
    say("fetched: the chunk ranges of the new map that the old file lacks, plus the map and the "
        "map members of the index entry, over the new file's size; computed by bench/delta_plan "
        "(the ranges the launcher's rebuild asks for). zstd: -19 --long=31 --patch-from; "
        "xdelta3: -9 with the whole file as source window.")
    with open(os.path.join(work, "report.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    for row in rows:
        print("RESULT | " + " | ".join(row))

    # The chart, with Debian's matplotlib (the system python3).
    chart = {"patterns": list(versions), "ours": [results[averages[0]][n] for n in versions],
             "zstd": [references[n]["zstd"] / os.path.getsize(versions[n]) for n in versions],
             "xdelta3": [references[n]["xdelta3"] / os.path.getsize(versions[n])
                         for n in versions], "average": averages[0], "mib": args.mib,
             "out": os.path.join(work, "fetched.png")}
    drawn = subprocess.run(["/usr/bin/python3", "-c", CHART, json.dumps(chart)])
    print("chart: " + chart["out"] if drawn.returncode == 0 else "no chart (python3-matplotlib?)")
    for name in ["v0.pak"] + [os.path.basename(p) for p in versions.values()]:
        os.remove(os.path.join(work, name))


CHART = r'''
import json, sys
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
c = json.loads(sys.argv[1])
x = range(len(c["patterns"]))
fig, ax = plt.subplots(figsize=(8, 4.5))
w = 0.27
for k, (key, label) in enumerate([("ours", "chunk map (%d KiB chunks)" % (c["average"] >> 10)),
                                  ("zstd", "zstd --patch-from -19"), ("xdelta3", "xdelta3 -9")]):
    bars = ax.bar([i + (k - 1) * w for i in x], [100 * v for v in c[key]], w, label=label)
    ax.bar_label(bars, fmt="%.2f", fontsize=7)
ax.set_xticks(list(x), c["patterns"])
ax.set_ylabel("bytes fetched, % of the file")
ax.set_title("Update of a %d MiB pack file: bytes to fetch" % c["mib"])
ax.legend()
fig.tight_layout()
fig.savefig(c["out"], dpi=110)
'''

if __name__ == "__main__":
    sys.exit(main())
