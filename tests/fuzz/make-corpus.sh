#!/usr/bin/env bash
# Writes the seed corpus of fuzz_unpack_file into tests/fuzz/corpus: small
# packed files of each form, made with xz and a few handmade bytes.
set -euo pipefail
out=${1:-$(cd "$(dirname "$0")" && pwd)/corpus}
mkdir -p "$out"
xzraw() { xz --format=raw --lzma2=dict=16MiB,lc=3,lp=0,pb=2,mode=normal,nice=32,mf=bt4,depth=32 -T1 -c; }

# header SIZE PROPERTY: magic 13 EF EC 30, 64-bit little-endian size, property.
header() {
  local size=$1 prop=$2 i
  printf '\x13\xef\xec\x30'
  for i in 0 1 2 3 4 5 6 7; do printf "\\x$(printf %02x $(((size >> (8 * i)) & 255)))"; done
  printf "\\x$(printf %02x "$prop")"
}
sizeless() { printf '\x13\xef\xec\x30\xff\xff\xff\xff\xff\xff\xff\xff\x18'; }

text=$(for i in $(seq 1 60); do printf 'mesh %d texture level%d alpha beta\n' $i $((i % 7)); done)
{ header 0 24; printf '\x00'; } >"$out/empty"
{ header 5 24; printf hello | xzraw; } >"$out/hello"
{ header ${#text} 24; printf '%s' "$text" | xzraw; } >"$out/text"
{ sizeless; printf '%s' "$text" | xzraw; } >"$out/sizeless"
cp "$out/sizeless" "$out/sizeless-cut"
truncate -s 40 "$out/sizeless-cut"
{ header 5 24; printf '\x01\x00\x04hello\x00'; } >"$out/stored"
{ header 10 24; printf '\x01\x00\x04hello\x02\x00\x04world\x00'; } >"$out/stored-two"
{ header 5 39; printf '\x01\x00\x04hello\x00'; } >"$out/big-dictionary"
{ header 5 40; printf '\x01\x00\x04hello\x00'; } >"$out/property-40"
{ header 5 41; printf '\x01\x00\x04hello\x00'; } >"$out/property-41"
header 5 24 >"$out/short-header"
truncate -s 7 "$out/short-header"
# Random bytes compress badly: LZMA chunks mixed with stored ones.
{ header 3000 24; head -c 3000 /dev/urandom | xzraw; } >"$out/random"
ls -l "$out"

# The seed corpus of fuzz_chunk_map: maps of a packed and a copied file and
# of an empty one (format/chunk_map.h).
maps=${2:-$(dirname "$out")/corpus-chunk-map}
mkdir -p "$maps"
python3 - "$maps" <<'PY'
import os, struct, sys
out = sys.argv[1]
def chunk_map(form, lengths, published, sizes=(1024, 4096, 16384)):
    file_size = sum(lengths)
    frame = 14 if form == 1 else 0
    head = struct.pack("<4sHBBIIIQQQ", b"TSLM", 1, form, 1, *sizes, file_size,
                       sum(published) + frame, len(lengths))
    return head + b"".join(struct.pack("<II", n, p) + bytes([k]) * 32
                           for k, (n, p) in enumerate(zip(lengths, published)))
maps = {
    "packed": chunk_map(1, [5000, 4096, 100], [900, 4200, 60]),
    "copied": chunk_map(0, [5000, 4096, 100], [5000, 4096, 100]),
    "empty": chunk_map(0, [], []),
    "one": chunk_map(1, [10], [16]),
}
for name, data in maps.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
PY
