#!/usr/bin/env bash
# The codecs against the reference tools, on the same files in the same run:
# file_digest against `openssl dgst -sha1` and `sha1sum`, pack_file and
# unpack_file against `xz --format=raw` with the same LZMA2 settings (-T1).
# Prints speed ratios (ours / theirs, above 1 is faster), the packed sizes and
# the peak memory, beside the targets.
#
# Usage: bench/codec_bench.sh <codec_bench binary> [digest MiB] [pack MiB]
#   defaults 512 and 64 (LZMA2 normal mode packs at a few MiB/s);
#   TSL_BENCH_REPEAT (3) runs per command, best kept, TSL_BENCH_PACK_REPEAT (1)
#   for packing;
#   TSL_BENCH_DIR for the scratch files (default a fresh directory in /tmp);
#   TSL_BENCH_CORPUS, a tree from bench/make_corpus.py: then the digest file
#   is all its files one after another and the pack file the first [pack MiB]
#   of that, instead of generated data.
set -euo pipefail

bin=${1:?usage: codec_bench.sh <codec_bench binary> [digest MiB] [pack MiB]}
digest_mib=${2:-512}
pack_mib=${3:-64}
repeat=${TSL_BENCH_REPEAT:-3}
pack_repeat=${TSL_BENCH_PACK_REPEAT:-1}
for tool in openssl sha1sum xz /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "codec_bench.sh: $tool is missing" >&2; exit 1; }
done

if [ -n "${TSL_BENCH_DIR:-}" ]; then
  work=$TSL_BENCH_DIR
  mkdir -p "$work"
else
  work=$(mktemp -d /tmp/tsl-codec-bench.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
lzma2=dict=16MiB,lc=3,lp=0,pb=2,mode=normal,nice=32,mf=bt4,depth=32
xzraw=(xz --format=raw "--lzma2=$lzma2" -T1 -c)

# run NAME OUT CMD...: runs CMD once (stdout to OUT) under GNU time and keeps,
# per NAME, the least CPU time (user + system: steadier than wall time on a
# shared machine; every tool here is single-threaded), the least wall time
# and the largest peak resident size in KiB. Callers alternate the tools
# they compare, so that load from elsewhere falls on both alike.
declare -A cpu wall rss
run() {
  local name=$1 out=$2 t0 t1 w c r
  shift 2
  t0=$EPOCHREALTIME
  /usr/bin/time -v -o "$work/time.log" "$@" >"$out"
  t1=$EPOCHREALTIME
  w=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
  c=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 }
                  END { t = u + s; if (t < 0.01) t = 0.01; printf "%.2f", t }' "$work/time.log")
  r=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.log")
  if [ -z "${cpu[$name]:-}" ] || awk -v a="$c" -v b="${cpu[$name]}" 'BEGIN { exit !(a < b) }'; then
    cpu[$name]=$c
  fi
  if [ -z "${wall[$name]:-}" ] || awk -v a="$w" -v b="${wall[$name]}" 'BEGIN { exit !(a < b) }'; then
    wall[$name]=$w
  fi
  if [ "$r" -gt "${rss[$name]:-0}" ]; then rss[$name]=$r; fi
  return 0
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mibps() { awk -v m="$1" -v t="$2" 'BEGIN { printf "%.1f", m / t }'; }
mark() { awk -v r="$1" -v t="$2" 'BEGIN { print (r >= t ? "ok" : "MISSED") }'; }
row() { printf '  %-30s %12s  %s\n' "$@"; }
# result MEASURE OURS REFERENCE RATIO TARGET VERDICT: the line bench/run-all.sh collects.
result() { printf 'RESULT | %s | %s | %s | %s | %s | %s\n' "$@"; }
speed() { row "$1" "$(mibps "$2" "${cpu[$3]}") MiB/s" "cpu ${cpu[$3]} s, wall $(printf %.3f "${wall[$3]}") s, peak $((rss[$3] / 1024)) MiB"; }

echo "codec_bench: digest file ${digest_mib} MiB, pack file ${pack_mib} MiB;" \
  "best of $repeat runs ($pack_repeat for packing)"
echo "  speeds from CPU time (user + system), the tools alternating; scratch files in $work"
if [ -n "${TSL_BENCH_CORPUS:-}" ]; then
  (cd "$TSL_BENCH_CORPUS" && find . -type f -print0 | sort -z | xargs -0 cat) >"$work/digest.bin"
  head -c $((pack_mib * 1048576)) "$work/digest.bin" >"$work/pack.bin"
  digest_mib=$(awk -v b="$(stat -c %s "$work/digest.bin")" 'BEGIN { printf "%.1f", b / 1048576 }')
  pack_mib=$(awk -v b="$(stat -c %s "$work/pack.bin")" 'BEGIN { printf "%.1f", b / 1048576 }')
  echo "  files from the corpus $TSL_BENCH_CORPUS"
else
  "$bin" generate "$work/digest.bin" "$digest_mib" 1
  "$bin" generate "$work/pack.bin" "$pack_mib" 2
fi
cat "$work/digest.bin" "$work/pack.bin" >/dev/null # into the page cache

echo
echo "SHA-1 of ${digest_mib} MiB"
for ((i = 0; i < repeat; i++)); do
  run ours "$work/ours.txt" "$bin" digest "$work/digest.bin"
  run openssl "$work/openssl.txt" openssl dgst -sha1 "$work/digest.bin"
  run portable "$work/portable.txt" "$bin" digest "$work/digest.bin" portable
  run sha1sum "$work/sha1sum.txt" sha1sum "$work/digest.bin"
done
path=$(awk '{ print $3 }' "$work/ours.txt")
d_ours=$(awk '{ print $2 }' "$work/ours.txt")
d_portable=$(awk '{ print $2 }' "$work/portable.txt")
d_openssl=$(awk '{ print $NF }' "$work/openssl.txt")
d_sha1sum=$(awk '{ print $1 }' "$work/sha1sum.txt")
if [ "$d_ours" != "$d_openssl" ] || [ "$d_portable" != "$d_sha1sum" ] || [ "$d_ours" != "$d_sha1sum" ]; then
  echo "digests differ: ours $d_ours, portable $d_portable, openssl $d_openssl, sha1sum $d_sha1sum" >&2
  exit 1
fi
speed "ours ($path)" "$digest_mib" ours
speed "ours (portable)" "$digest_mib" portable
speed "openssl dgst -sha1" "$digest_mib" openssl
speed "sha1sum" "$digest_mib" sha1sum
r=$(ratio "${cpu[openssl]}" "${cpu[ours]}")
if [ "$path" = sha-instructions ]; then
  row "ours / openssl" "${r}x" "target >= 1.00x with SHA instructions: $(mark "$r" 1.0)"
  result "SHA-1 speed / openssl dgst (cpu)" "${cpu[ours]} s" "${cpu[openssl]} s" "$r" ">= 1.00" "$(mark "$r" 1.0)"
else
  row "ours / openssl" "${r}x" "(this CPU has no SHA instructions)"
fi
row "ours / sha1sum" "$(ratio "${cpu[sha1sum]}" "${cpu[ours]}")x"
r=$(ratio "${cpu[sha1sum]}" "${cpu[portable]}")
row "ours (portable) / sha1sum" "${r}x" "target >= 0.90x without SHA instructions: $(mark "$r" 0.9)"
result "SHA-1 portable speed / sha1sum (cpu)" "${cpu[portable]} s" "${cpu[sha1sum]} s" "$r" ">= 0.90" "$(mark "$r" 0.9)"
row "peak memory of the digest" "$((rss[ours] / 1024)) MiB" \
  "target bounded (one read piece whatever the file size; sha1sum $((rss[sha1sum] / 1024)) MiB)"
result "SHA-1 peak memory (MiB)" "$((rss[ours] / 1024))" "$((rss[sha1sum] / 1024)) (sha1sum)" "-" "< 16" \
  "$(awk -v r="${rss[ours]}" 'BEGIN { print (r < 16384 ? "ok" : "MISSED") }')"

echo
echo "LZMA2 pack of ${pack_mib} MiB (xz -T1, the same settings)"
for ((i = 0; i < pack_repeat; i++)); do
  run pack "$work/pack-ours.txt" "$bin" pack "$work/pack.bin" "$work/ours.lzma2"
  run xz "$work/xz.raw" "${xzraw[@]}" "$work/pack.bin"
done
s_ours=$(($(stat -c %s "$work/ours.lzma2") - 13))
s_xz=$(stat -c %s "$work/xz.raw")
speed "ours" "$pack_mib" pack
speed "xz" "$pack_mib" xz
r=$(ratio "${cpu[xz]}" "${cpu[pack]}")
row "ours / xz speed" "${r}x" "target >= 0.95x: $(mark "$r" 0.95)"
result "LZMA2 pack speed / xz (cpu)" "${cpu[pack]} s" "${cpu[xz]} s" "$r" ">= 0.95" "$(mark "$r" 0.95)"
size_ratio=$(awk -v a="$s_ours" -v b="$s_xz" 'BEGIN { printf "%.4f", a / b }')
size_ok=$(awk -v r="$size_ratio" 'BEGIN { d = r - 1; if (d < 0) d = -d; print (d <= 0.005 ? "ok" : "MISSED") }')
row "stream size ours / xz" "$size_ratio" "$s_ours vs $s_xz bytes (+13 header); target within 0.5%: $size_ok"
result "LZMA2 stream size / xz" "$s_ours B" "$s_xz B" "$size_ratio" "within 0.5 %" "$size_ok"

echo
echo "LZMA2 unpack of ${pack_mib} MiB"
for ((i = 0; i < repeat; i++)); do
  run unpack "$work/unpack-ours.txt" "$bin" unpack "$work/ours.lzma2" "$work/ours.out"
  run xzd "$work/xz.out" "${xzraw[@]}" -d "$work/xz.raw"
done
cmp -s "$work/ours.out" "$work/pack.bin" || { echo "unpacked file differs" >&2; exit 1; }
cmp -s "$work/xz.out" "$work/pack.bin" || { echo "xz output differs" >&2; exit 1; }
speed "ours" "$pack_mib" unpack
speed "xz -d" "$pack_mib" xzd
r=$(ratio "${cpu[xzd]}" "${cpu[unpack]}")
row "ours / xz -d speed" "${r}x" "target >= 0.90x: $(mark "$r" 0.9)"
result "LZMA2 unpack speed / xz -d (cpu)" "${cpu[unpack]} s" "${cpu[xzd]} s" "$r" ">= 0.90" "$(mark "$r" 0.9)"
row "peak memory of the unpack" "$((rss[unpack] / 1024)) MiB" \
  "target bounded (dictionary + 2 x 64 KiB; xz -d $((rss[xzd] / 1024)) MiB)"
result "LZMA2 unpack peak memory (MiB)" "$((rss[unpack] / 1024))" "$((rss[xzd] / 1024)) (xz -d)" "-" \
  "<= xz -d + 8" "$(awk -v a="${rss[unpack]}" -v b="${rss[xzd]}" 'BEGIN { print (a <= b + 8192 ? "ok" : "MISSED") }')"
