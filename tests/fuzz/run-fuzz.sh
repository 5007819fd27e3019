#!/usr/bin/env bash
# Runs a fuzz target (fuzz_unpack_file by default) for a bounded time over a
# working copy of its seed corpus.
# Usage: tests/fuzz/run-fuzz.sh <fuzz build dir> [seconds] [target]
# (the build: cmake -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
#  -DTSL_FUZZ=ON -DTSL_BUILD_TESTS=OFF)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run-fuzz.sh <fuzz build dir> [seconds] [target]}
seconds=${2:-60}
target=${3:-fuzz_unpack_file}
case "$target" in
  fuzz_unpack_file) seeds=$here/corpus work=$build/corpus ;;
  fuzz_chunk_map) seeds=$here/corpus-chunk-map work=$build/corpus-chunk-map ;;
  *) echo "run-fuzz.sh: unknown target $target" >&2; exit 2 ;;
esac
mkdir -p "$work"
cp -n "$seeds"/* "$work/" 2>/dev/null || true
exec "$build/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 "$work"
