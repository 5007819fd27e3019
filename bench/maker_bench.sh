#!/usr/bin/env bash
# Patch maker benchmark: publishes a generated game-like tree of about
# 256 MiB and compares, in the same run over the same files,
#   first publication  against sha1sum over every file plus xz --format=raw
#                      (same LZMA2 settings, -T1) over the files of 16 KiB
#                      and more: target at most 1.15x
#   second run         (nothing changed) against the first: target at most 5 %
#   peak memory        of the first publication (GNU time): target below 400 MiB
# Usage: bench/maker_bench.sh PATH-TO-native-TessalyReach [work-dir] [MiB] [corpus]
#   corpus: a tree from bench/make_corpus.py (default: one made here of MiB).
# Build the executable without sanitizers (RelWithDebInfo or Release).
set -euo pipefail

exe=${1:?usage: maker_bench.sh PATH-TO-TessalyReach [work-dir] [MiB]}
work=${2:-$(mktemp -d /tmp/tsl-maker-bench.XXXXXX)}
total_mib=${3:-256}
corpus=${4:+$(cd "$4" && pwd)}
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
echo "maker: first publication"
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
printf '\n%-46s %10s %10s\n' "measure" "wall" "cpu"
printf '%-46s %9.2fs %9.2fs\n' "reference (sha1sum + xz -T1)" "$ref_wall" "$ref_cpu"
printf '%-46s %9.2fs %9.2fs\n' "first publication ($published files, ${out_mib} MiB out)" \
  "$first_wall" "$first_cpu"
printf '%-46s %9.2fs %9.2fs\n' "second run ($reused reused)" "$second_wall" "$second_cpu"
# The machine may be shared: CPU time is the steadier figure, wall time is
# shown beside it.
r1=$(calc "$first_cpu / $ref_cpu")
r1w=$(calc "$first_wall / $ref_wall")
r2=$(calc "100 * $second_cpu / $first_cpu")
r2w=$(calc "100 * $second_wall / $first_wall")
peak_mib=$(calc "$peak_kib / 1024")
printf '\n%-40s cpu %7.3fx  wall %7.3fx  (target <= 1.15x)  %s\n' \
  "first publication / reference" "$r1" "$r1w" "$(verdict "$r1 <= 1.15")"
printf '%-40s cpu %7.2f%%  wall %7.2f%%  (target <= 5%%)     %s\n' \
  "second run / first publication" "$r2" "$r2w" "$(verdict "$r2 <= 5")"
printf '%-40s %8.1f MiB            (target < 400 MiB)  %s\n' \
  "peak memory of the first publication" "$peak_mib" "$(verdict "$peak_kib < 409600")"
echo "RESULT | maker first publication / sha1sum + xz (cpu) | $first_cpu s | $ref_cpu s | $(printf %.3f "$r1") | <= 1.15 | $(verdict "$r1 <= 1.15")"
echo "RESULT | maker second run / first publication (cpu) | $second_cpu s | $first_cpu s | $(printf %.4f "$(calc "$r2 / 100")") | <= 0.05 | $(verdict "$r2 <= 5")"
echo "RESULT | maker peak memory (MiB) | $(printf %.0f "$peak_mib") | - | - | < 400 | $(verdict "$peak_kib < 409600")"
echo "(work directory: $work)"
