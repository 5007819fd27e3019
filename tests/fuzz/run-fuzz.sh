#!/usr/bin/env bash
# Runs fuzz_unpack_file for a bounded time over a working copy of the seed
# corpus. Usage: tests/fuzz/run-fuzz.sh <fuzz build dir> [seconds]
# (the build: cmake -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
#  -DTSL_FUZZ=ON -DTSL_BUILD_TESTS=OFF)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run-fuzz.sh <fuzz build dir> [seconds]}
seconds=${2:-60}
mkdir -p "$build/corpus"
cp -n "$here"/corpus/* "$build/corpus/"
exec "$build/fuzz_unpack_file" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 \
  "$build/corpus"
