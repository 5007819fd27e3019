#!/usr/bin/env python3
"""Writes the generated game-like corpus every benchmark runs on: large
text-like packs (they pack to about a third), binary executables (about two
thirds), incompressible media, mid-size scripts and thousands of small items.
Usage: make_corpus.py <dir> [MiB=256] [--small-files N]   (deterministic)"""

import argparse
import os
import random

MiB = 1 << 20


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("mib", nargs="?", type=float, default=256)
    parser.add_argument("--small-files", type=int, help="number of small items (default scales with MiB)")
    args = parser.parse_args()
    scale = args.mib / 256.0
    rng = random.Random(20261208)
    words = [bytes(rng.choices(b"abcdefghijklmnopqrstuvwxyz", k=rng.randint(2, 10))) for _ in range(3000)]
    seps = [b" ", b" ", b" ", b"\n", b", ", b"=", b"; "]

    def write(path, data):
        full = os.path.join(args.dir, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)

    def text_like(size):
        out, have = [], 0
        while have < size:
            n = min(200000, max(1000, size // 4))
            ws = rng.choices(words, k=n)
            ss = rng.choices(seps, k=n)
            chunk = b"".join(w + s for w, s in zip(ws, ss))
            out.append(chunk)
            have += len(chunk)
        return b"".join(out)[:size]

    def binary_like(size):
        alphabet = list(range(0, 256, 5)) + [0] * 20
        return bytes(rng.choices(alphabet, k=size))

    def size(mib):
        return max(1, int(mib * scale * MiB))

    write("Data/World Map.pak", text_like(size(90)))
    write("Data/Textures/Common.pak", text_like(size(16)) + rng.randbytes(size(16)))
    write("Media/Intro Movie.bik", rng.randbytes(size(40)))
    write("Media/Music.ogg", rng.randbytes(size(24)))
    write("client/Game.exe", binary_like(size(12)))
    write("client/Engine.dll", binary_like(size(8)))
    write("client/Render.dll", binary_like(size(4)))
    for i in range(int(200 * scale) or 1):
        write("Data/Scripts/Quest %03d.lua" % i, text_like(rng.randint(16 << 10, 256 << 10)))
    small = args.small_files if args.small_files is not None else (int(3000 * scale) or 1)
    for i in range(small):
        d = "Data/Small/%02d" % (i % 40)
        kind = i % 3
        n = rng.randint(1 << 10, 12 << 10)
        data = text_like(n) if kind == 0 else (binary_like(n) if kind == 1 else rng.randbytes(n))
        write("%s/Item %04d.dat" % (d, i), data)


if __name__ == "__main__":
    main()
