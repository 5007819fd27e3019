#!/usr/bin/env bash
# Patch maker benchmark: publishes a generated game-like tree of about
# 256 MiB and compares, in the same run over the same files,
#   first publication  (default threads) against sha1sum over every file plus
#                      xz --format=raw (same LZMA2 settings, -T1) over the
#                      files of 16 KiB and more: wall time at most 0.55x on
#                      this 2-core machine
#   threads            the first publication with 1, 2, 4, 8 threads (as many
#                      as the machine has): speed-up against 1, outputs equal
#   second run         (nothing changed) against the first: at most 1 %
#   one 256 MiB file   against xz -T1 over it: wall at most 0.6x, packed size
#                      (blocks of 64 MiB) within 1 % of xz's single stream
#   peak memory        (GNU time): at most about one coder (220 MiB) more per
#                      thread than with one thread
# Usage: bench/maker_bench.sh PATH-TO-native-TessalyReach [work-dir] [MiB] [corpus]
#   MAKER_BENCH_ONE_MIB: size of the single file (default 256).
#   corpus: a tree from bench/make_corpus.py (default: one made here of MiB).
# Build the executable without sanitizers (RelWithDebInfo or Release).
set -euo pipefail

exe=${1:?usage: maker_bench.sh PATH-TO-TessalyReach [work-dir] [MiB]}
work=${2:-$(mktemp -d /tmp/tsl-maker-bench.XXXXXX)}
total_mib=${3:-256}
corpus=${4:+$(cd "$4" && pwd)}
one_mib=${MAKER_BENCH_ONE_MIB:-256}  # the single large file (smaller only to try the script)
here=$(cd "$(dirname "$0")" && pwd)
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
for tool in sha1sum xz python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "maker_bench: missing $tool" >&2; exit 2; }
done

mkdir -p "$work"
cd "$work"
rm -rf input output config.json cache.json
cp "$exe" ./TessalyReach

if [ -n "$corpus" ]; then
  cp -a "$corpus" input
else
  python3 "$here/make_corpus.py" input "$total_mib"
fi
files=$(find input -type f | wc -l)
bytes=$(find input -type f -printf '%s\n' | awk '{s += $1} END {print s}')
large=$(find input -type f -size +16383c | wc -l)
echo "$files files, $((bytes / 1048576)) MiB, $large of them 16 KiB or larger"

calc() { awk "BEGIN { print $* }"; }
verdict() { awk "BEGIN { print ($*) ? \"ok\" : \"MISSED\" }"; }
# Runs a command under GNU time; sets wall, cpu (user + system, children
# included) and peak (KiB) from its report. The maker exits with 1 when it
# published, which GNU time reports on a line of its own before the figures.
measure() {
  local report=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$report" "$@" || true
  read -r wall user sys peak < <(tail -n 1 "$report")
  cpu=$(calc "$user + $sys")
}
# Warm the page cache so that both sides read from memory.
find input -type f -print0 | xargs -0 cat >/dev/null

echo "reference: sha1sum over all files + xz -T1 --format=raw over the large ones"
measure reference.time bash -c '
  find input -type f -print0 | xargs -0 sha1sum >/dev/null
  find input -type f -size +16383c -print0 |
    xargs -0 -n 64 xz -T1 --format=raw \
      --lzma2=preset=5,dict=16MiB,lc=3,lp=0,pb=2,mode=normal,nice=32,mf=bt4,depth=32 -c >/dev/null'
ref_wall=$wall ref_cpu=$cpu

./TessalyReach -patchmaker >/dev/null || true  # writes the default configuration
cp config.json config.default
set_threads() {
  python3 - "$1" <<'PY'
import json, sys
with open("config.default") as f:
    config = json.load(f)
config["maker"]["packer"]["threads"] = int(sys.argv[1])
with open("config.json", "w") as f:
    json.dump(config, f, indent=4)
PY
}
fresh() { rm -rf output cache.json; set_threads "$1"; }

cores=$(nproc)
declare -A wall_of peak_of
counts=()
for n in 1 2 4 8; do
  [ "$n" -le "$cores" ] || break
  counts+=("$n")
  fresh "$n"
  echo "maker: first publication, $n thread(s)"
  measure "first-$n.time" sh -c './TessalyReach -patchmaker >first.log'
  grep -q "Current game update version: 1" first.log || { tail -20 first.log; echo "first run failed" >&2; exit 1; }
  wall_of[$n]=$wall peak_of[$n]=$peak
  if [ "$n" = 1 ]; then
    mv output output-1
  else
    # The published bytes never depend on the thread count.
    diff -r -q output-1 output >/dev/null || { echo "output of $n threads differs from 1" >&2; exit 1; }
  fi
done
rm -rf output-1

fresh 0
echo "maker: first publication, default threads"
measure first.time sh -c './TessalyReach -patchmaker >first.log'
first_wall=$wall first_cpu=$cpu peak_kib=$peak
grep -q "Current game update version: 1" first.log || { tail -20 first.log; echo "first run failed" >&2; exit 1; }

echo "maker: second run, nothing changed"
measure second.time sh -c './TessalyReach -patchmaker >second.log'
second_wall=$wall second_cpu=$cpu
grep -q "No update detected." second.log || { tail -20 second.log; echo "second run changed something" >&2; exit 1; }
published=$(grep -c '^Processing: ' first.log || true)
reused=$(grep -c '^Using cached: ' second.log || true)
out_mib=$(du -sm output | cut -f1)

echo "one file of $one_mib MiB, made of the corpus's large files"
mkdir -p one/input
python3 - "$one_mib" <<'PY'
import os, sys
names = sorted(os.path.join(b, n) for b, _, fs in os.walk("input") for n in fs
               if os.path.getsize(os.path.join(b, n)) >= 16384)
left = int(sys.argv[1]) << 20
with open("one/big.bin", "wb") as out:
    while left:  # the files over again until there are enough
        for name in names:
            with open(name, "rb") as f:
                data = f.read(left)
            out.write(data)
            left -= len(data)
            if not left:
                break
PY
cat one/big.bin >/dev/null
measure one-xz.time sh -c 'xz -T1 --format=raw \
  --lzma2=preset=5,dict=16MiB,lc=3,lp=0,pb=2,mode=normal,nice=32,mf=bt4,depth=32 -c one/big.bin >one/big.xz'
one_ref_wall=$wall
mv one/big.bin one/input/big.bin
cp TessalyReach config.default one/
cp one/config.default one/config.json
measure one-maker.time sh -c 'cd one && ./TessalyReach -patchmaker >one.log'
one_wall=$wall
grep -q "Current game update version: 1" one/one.log || { tail -20 one/one.log; echo "single file run failed" >&2; exit 1; }
[ -f one/output/1/big.bin.lzma2 ] || { echo "the single file was not kept packed" >&2; exit 1; }
ours=$(( $(stat -c %s one/output/1/big.bin.lzma2) - 14 ))
theirs=$(stat -c %s one/big.xz)
rm -rf one

printf '\n%-46s %10s %10s\n' "measure" "wall" "cpu"
printf '%-46s %9.2fs %9.2fs\n' "reference (sha1sum + xz -T1)" "$ref_wall" "$ref_cpu"
printf '%-46s %9.2fs %9.2fs\n' "first publication ($published files, ${out_mib} MiB out)" \
  "$first_wall" "$first_cpu"
printf '%-46s %9.2fs %9.2fs\n' "second run ($reused reused)" "$second_wall" "$second_cpu"
for n in "${counts[@]}"; do
  printf '%-46s %9.2fs  speed-up %.2fx  peak %.0f MiB\n' "first publication, $n thread(s)" \
    "${wall_of[$n]}" "$(calc "${wall_of[1]} / ${wall_of[$n]}")" "$(calc "${peak_of[$n]} / 1024")"
done
printf '%-46s %9.2fs vs xz -T1 %.2fs, %d vs %d bytes\n' "one $one_mib MiB file" "$one_wall" \
  "$one_ref_wall" "$ours" "$theirs"

r1=$(calc "$first_wall / $ref_wall")
r2=$(calc "100 * $second_wall / $first_wall")
r3=$(calc "$one_wall / $one_ref_wall")
r4=$(calc "$ours / $theirs")
most=${counts[-1]}
growth=$(calc "($peak_kib - ${peak_of[1]}) / 1024 / ($most > 1 ? $most - 1 : 1)")
peak_mib=$(calc "$peak_kib / 1024")
echo "RESULT | maker first publication / sha1sum + xz -T1 (wall) | $first_wall s | $ref_wall s | $(printf %.3f "$r1") | <= 0.55 | $(verdict "$r1 <= 0.55")"
echo "RESULT | maker second run / first publication (wall) | $second_wall s | $first_wall s | $(printf %.4f "$(calc "$r2 / 100")") | <= 0.01 | $(verdict "$r2 <= 1")"
echo "RESULT | maker one $one_mib MiB file / xz -T1 (wall) | $one_wall s | $one_ref_wall s | $(printf %.3f "$r3") | <= 0.6 | $(verdict "$r3 <= 0.6")"
echo "RESULT | maker packed size of 64 MiB blocks / xz single stream | $ours | $theirs | $(printf %.4f "$r4") | <= 1.01 | $(verdict "$r4 <= 1.01")"
for n in "${counts[@]}"; do
  [ "$n" = 1 ] && continue
  echo "RESULT | maker speed-up of $n threads over 1 (wall) | ${wall_of[1]} s | ${wall_of[$n]} s | $(printf %.2f "$(calc "${wall_of[1]} / ${wall_of[$n]}")") | - | -"
done
echo "RESULT | maker peak memory growth per thread (MiB) | $(printf %.0f "$growth") | $(printf %.0f "$(calc "${peak_of[1]} / 1024")") | - | <= 220 | $(verdict "$growth <= 220")"
echo "RESULT | maker peak memory, default threads (MiB) | $(printf %.0f "$peak_mib") | - | - | - | -"
echo "(work directory: $work)"
