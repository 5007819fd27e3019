#!/usr/bin/env bash
# Every benchmark on one generated game-like corpus, then one table of the
# ratios against the reference tools measured in the same run, with the
# machine it ran on.
#   codec   SHA-1 against openssl and sha1sum, LZMA2 against xz (the corpus
#           as one file)
#   net     the downloader against curl, from nginx on loopback (the corpus as
#           one file, and its small files)
#   maker   the patch maker against sha1sum + xz, over the corpus
#   update  the launcher's full install of the published corpus against curl +
#           xz -d, and the Windows launcher under Wine against the native one;
#           a run with nothing changed over 20,000 files against sha1sum, and
#           the Windows launcher's against its own start without an update (a
#           second corpus of the same kinds, since it needs that many files);
#           and how soon the first download starts
#   delta   updates by what changed: a generated pack file (TSL_DELTA_MIB,
#           1024 by default) and four changed versions, the bytes a launcher
#           would fetch through the chunk map against zstd --patch-from and
#           xdelta3 patches, packed size and maker time against packing
#           whole, the chunker against sha1sum; with a chart (fetched.png)
#   link    the launcher's first install of 20,000 files of 16 KiB through a
#           100 ms / 100 Mbit/s link against the link's bound
#           (TSL_BENCH_LINK_FILES to change the count), and the rate it keeps
#           under -maxrate=5120 through the same link
# Usage: bench/run-all.sh [MiB=256] [build-root=./build-bench]
#   As root on a fresh machine it installs what it needs first. Builds
#   without sanitizers; the test hosts are compiled in (loopback ports).
#   TSL_BENCH_NO_WINE=1 leaves the Windows launcher out.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
mib=${1:-256}
root=${2:-$repo/build-bench}
mkdir -p "$root"
root=$(cd "$root" && pwd)
jobs=$(nproc)
work=$root/work
logs=$root/logs
started=$(date +%s)

step() { printf '\n=== %s (%ss)\n' "$*" "$(($(date +%s) - started))"; }
fail() { echo "run-all.sh: FAILED: $*" >&2; exit 1; }

if [ "$(id -u)" -eq 0 ]; then
  step "packages"
  "$repo/scripts/install-packages.sh" || fail "installing packages"
fi

source "$repo/scripts/test-hosts.sh"
test_hosts=("${tsl_test_hosts[@]}" -DTSL_RETRY_DELAY_MS=200 -DTSL_TEST_HOOKS=ON)
build() {
  local dir=$1
  shift
  cmake -G Ninja -S "$repo" -B "$root/$dir" "$@" "${test_hosts[@]}" >"$root/$dir.configure.log" 2>&1 ||
    { tail -30 "$root/$dir.configure.log" >&2; fail "configuring $dir"; }
  ninja -C "$root/$dir" -j"$jobs" >"$root/$dir.build.log" 2>&1 ||
    { grep -E 'error|FAILED' "$root/$dir.build.log" | head -30 >&2; fail "building $dir"; }
}

step "native release build"
build native -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF
native=$root/native

wine=
if [ -z "${TSL_BENCH_NO_WINE:-}" ]; then
  step "Windows build (x86_64, for Wine)"
  "$repo/scripts/build-win-deps.sh" "$root/deps-x86_64" x86_64 >"$root/deps.log" 2>&1 ||
    { tail -30 "$root/deps.log" >&2; fail "cross-building libcurl/liblzma"; }
  build win64 -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-x86_64.cmake" -DTSL_WIN_DEPS="$root/deps-x86_64" \
    -DCMAKE_BUILD_TYPE=Release -DTSL_BUILD_TESTS=OFF
  wine=$root/win64
  export TSL_WINEPREFIX=$root/wineprefix
fi

mkdir -p "$work" "$logs"
corpus=$work/corpus
# Made again when the size or the generator changes.
stamp=$corpus.done-$mib-$(sha1sum "$repo/bench/make_corpus.py" | cut -c1-12)
if [ ! -f "$stamp" ]; then
  step "corpus of $mib MiB"
  rm -rf "$corpus" "$corpus".done-*
  python3 "$repo/bench/make_corpus.py" "$corpus" "$mib"
  touch "$stamp"
fi
corpus_files=$(find "$corpus" -type f | wc -l)
corpus_mib=$(du -sm "$corpus" | cut -f1)

# run NAME CMD...: one benchmark, its output kept in $logs/NAME.log; a failed
# benchmark is reported in the table and the others still run.
status=0
run() {
  local name=$1
  shift
  step "$name benchmark"
  if "$@" 2>&1 | tee "$logs/$name.log"; then
    :
  else
    echo "RESULT | $name benchmark failed (see $logs/$name.log) | - | - | - | - | FAILED" >>"$logs/$name.log"
    status=1
  fi
}

run codec env TSL_BENCH_CORPUS="$corpus" TSL_BENCH_DIR="$work/codec" "$repo/bench/codec_bench.sh" \
  "$native/bench/codec_bench" 0 64
rm -rf "$work/codec"
run net env NET_BENCH_CORPUS="$corpus" "$repo/bench/net_bench.sh" "$native"
run maker "$repo/bench/maker_bench.sh" "$native/TessalyReach" "$work/maker" "$mib" "$corpus"
rm -rf "$work/maker"
update_args=(--launcher "$native/TessalyReach" --maker "$native/TessalyReach"
             --client "$native/stub_client/Client.exe" --corpus "$corpus" --work "$work/update")
if [ -n "$wine" ]; then
  update_args+=(--win-launcher "$wine/TessalyReach.exe"
                --wine "$repo/scripts/wine-run.sh")
fi
display=()
if [ -z "${DISPLAY:-}" ]; then display=(xvfb-run -a -s "-screen 0 1280x1024x24"); fi
run update "${display[@]}" python3 "$repo/bench/update_bench.py" "${update_args[@]}"
if [ -n "$wine" ]; then WINEPREFIX="$TSL_WINEPREFIX" wineserver -k 2>/dev/null || true; fi
run delta python3 "$repo/bench/delta_bench.py" --maker "$native/TessalyReach" \
  --plan "$native/bench/delta_plan" --work "$work/delta" --mib "${TSL_DELTA_MIB:-1024}"
run link python3 "$repo/bench/link_bench.py" --launcher "$native/TessalyReach" --maker "$native/TessalyReach" \
  --client "$native/stub_client/Client.exe" --work "$work/link" --files "${TSL_BENCH_LINK_FILES:-20000}"

step "report"
report=$root/report.txt
{
  echo "Benchmark report, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores," \
    "$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo), $(uname -sr)"
  echo "SHA instructions: $(grep -q -w sha_ni /proc/cpuinfo && echo yes || echo no)"
  echo "reference tools: $(curl --version | head -1 | cut -d' ' -f1-2), $(xz --version | head -1)," \
    "$(openssl version | cut -d' ' -f1-2), sha1sum $(sha1sum --version | head -1 | awk '{ print $NF }')," \
    "$(nginx -v 2>&1 | sed 's/.*: //')"
  if [ -n "$wine" ]; then echo "Wine: $(/usr/lib/wine/wine64 --version 2>/dev/null || echo unknown) (wine64, Xvfb)"; fi
  echo "corpus: $corpus_files files, $corpus_mib MiB (bench/make_corpus.py $mib)"
  echo "ratios: speed ratios are reference time / our time (above 1 is faster), time and size ratios"
  echo "ours / reference (below 1 is less); CPU time where the machine may be shared"
  echo
  python3 - "$logs" <<'EOF'
import os, sys
logs = sys.argv[1]
rows = [("bench", "measure", "ours", "reference", "ratio", "target", "verdict")]
for group in ("codec", "net", "maker", "update", "link", "delta"):
    path = os.path.join(logs, group + ".log")
    if not os.path.exists(path):
        continue
    for line in open(path, errors="replace"):
        if line.startswith("RESULT |"):
            cells = [c.strip() for c in line.strip().split("|")[1:]]
            rows.append((group,) + tuple((cells + ["-"] * 6)[:6]))
widths = [max(len(r[i]) for r in rows) for i in range(7)]
for n, r in enumerate(rows):
    print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    if n == 0:
        print("  ".join("-" * w for w in widths))
missed = sum(1 for r in rows[1:] if r[6] != "ok")
print("\n%d measures, %d missed or failed" % (len(rows) - 1, missed))
EOF
} | tee "$report"
echo "(report in $report, logs in $logs; the delta chart in $work/delta/fetched.png)"
exit $status
