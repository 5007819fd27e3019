#!/usr/bin/env bash
# Downloader throughput against curl, both fetching from one nginx on loopback:
#   (a) one 256 MiB file: net_bench vs `curl -s -o`;
#   (b) 2,000 files of 4 KiB to 64 KiB one after another: one net_bench
#       process (one downloader) vs one curl process with a config file
#       listing every URL and output (curl reuses its connection).
# Prints the best of RUNS timings of each and the ratio ours/curl throughput
# (target >= 0.9x for both).
# Usage: bench/net_bench.sh [build-dir]   (a native build with net_bench)
#   NET_BENCH_CORPUS, a tree from bench/make_corpus.py: the large file is all
#   its files one after another and the small ones are its files of 4 KiB to
#   64 KiB, instead of random data.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
driver=$build/bench/net_bench
runs=${RUNS:-3}
big_mib=${BIG_MIB:-256}
small_count=${SMALL_COUNT:-2000}

if [ ! -x "$driver" ]; then
  echo "net_bench.sh: no $driver (build the net_bench target first)" >&2
  exit 1
fi
for tool in nginx curl python3; do
  command -v "$tool" >/dev/null || { echo "net_bench.sh: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/net-bench.XXXXXX")
nginx_pid=
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# nginx's workers drop to an unprivileged user; let them read the tree.
chmod 755 "$work"
mkdir -p "$work/www/s" "$work/logs" "$work/out-ours" "$work/out-curl"
echo "net_bench.sh: making test data in $work"
corpus=${NET_BENCH_CORPUS:-}
if [ -n "$corpus" ]; then
  (cd "$corpus" && find . -type f -print0 | sort -z | xargs -0 cat) >"$work/www/big.bin"
  big_mib=$(($(stat -c %s "$work/www/big.bin") / 1048576))
else
  head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$work/www/big.bin"
fi
port=$(python3 - "$work" "$small_count" "$corpus" <<'EOF'
import os, random, shutil, socket, sys
work, count, corpus = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rng = random.Random(7)
if corpus:
    picked = sorted(os.path.join(d, f) for d, _, names in os.walk(corpus) for f in names
                    if 4096 <= os.path.getsize(os.path.join(d, f)) <= 65536)[:count]
    for i, source in enumerate(picked):
        shutil.copyfile(source, os.path.join(work, "www", "s", "f%04d.bin" % i))
else:
    for i in range(count):
        with open(os.path.join(work, "www", "s", "f%04d.bin" % i), "wb") as f:
            f.write(rng.randbytes(rng.randint(4096, 65536)))
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()
EOF
)
small_count=$(find "$work/www/s" -type f | wc -l)
chmod -R a+rX "$work/www"

cat >"$work/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/logs/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  keepalive_timeout 60s;
  client_body_temp_path $work/tmp-body;
  proxy_temp_path $work/tmp-proxy;
  fastcgi_temp_path $work/tmp-fastcgi;
  uwsgi_temp_path $work/tmp-uwsgi;
  scgi_temp_path $work/tmp-scgi;
  types { application/octet-stream bin; }
  server {
    listen 127.0.0.1:$port;
    root $work/www;
  }
}
EOF
nginx -p "$work" -c "$work/nginx.conf" -e "$work/logs/error.log" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/s/f0000.bin" && break
  sleep 0.1
done

base=http://127.0.0.1:$port
: >"$work/list-ours.txt"
: >"$work/list-curl.cfg"
for f in "$work"/www/s/*.bin; do
  name=$(basename "$f")
  echo "$base/s/$name $work/out-ours/$name" >>"$work/list-ours.txt"
  printf 'url = "%s/s/%s"\noutput = "%s/out-curl/%s"\n' "$base" "$name" "$work" "$name" \
    >>"$work/list-curl.cfg"
done

now() { date +%s.%N; }
# Runs a command and prints its wall time in seconds.
timed() {
  local t0 t1
  t0=$(now)
  "$@" >/dev/null
  t1=$(now)
  python3 -c "print(f'{$t1 - $t0:.4f}')"
}
best() { printf '%s\n' "$@" | sort -g | head -n1; }

big_ours=() big_curl=() small_ours=() small_curl=()
for run in $(seq "$runs"); do
  # Alternate who goes first, so page-cache warmth favours neither.
  if [ $((run % 2)) -eq 1 ]; then
    big_ours+=("$(timed "$driver" "$base/big.bin" "$work/out-ours/big.bin")")
    big_curl+=("$(timed curl -s -o "$work/out-curl/big.bin" "$base/big.bin")")
    small_ours+=("$(timed "$driver" -list "$work/list-ours.txt")")
    small_curl+=("$(timed curl -s -K "$work/list-curl.cfg")")
  else
    big_curl+=("$(timed curl -s -o "$work/out-curl/big.bin" "$base/big.bin")")
    big_ours+=("$(timed "$driver" "$base/big.bin" "$work/out-ours/big.bin")")
    small_curl+=("$(timed curl -s -K "$work/list-curl.cfg")")
    small_ours+=("$(timed "$driver" -list "$work/list-ours.txt")")
  fi
done

# Both must have fetched the same bytes.
cmp "$work/www/big.bin" "$work/out-ours/big.bin"
cmp "$work/www/big.bin" "$work/out-curl/big.bin"
diff -r "$work/www/s" "$work/out-ours" --exclude=big.bin >/dev/null
diff -r "$work/www/s" "$work/out-curl" --exclude=big.bin >/dev/null

small_bytes=$(du -sb "$work/www/s" | cut -f1)
python3 - "$big_mib" "$small_count" "$small_bytes" "$(best "${big_ours[@]}")" \
  "$(best "${big_curl[@]}")" "$(best "${small_ours[@]}")" "$(best "${small_curl[@]}")" <<'EOF'
import sys
big_mib, count, small_bytes = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
big_ours, big_curl, small_ours, small_curl = map(float, sys.argv[4:8])
mib = 1024 * 1024
print(f"(a) one {big_mib} MiB file:   ours {big_ours:.3f} s ({big_mib / big_ours:.0f} MiB/s), "
      f"curl {big_curl:.3f} s ({big_mib / big_curl:.0f} MiB/s), "
      f"ratio {big_curl / big_ours:.2f}x (target >= 0.9x)")
print(f"(b) {count} small files ({small_bytes / mib:.1f} MiB): ours {small_ours:.3f} s, "
      f"curl {small_curl:.3f} s, ratio {small_curl / small_ours:.2f}x (target >= 0.9x)")
for name, ours, curl in ((f"download speed, one {big_mib} MiB file / curl", big_ours, big_curl),
                         (f"download speed, {count} small files / curl", small_ours, small_curl)):
    ratio = curl / ours
    print(f"RESULT | {name} | {ours:.3f} s | {curl:.3f} s | {ratio:.3f} | >= 0.90 | "
          f"{'ok' if ratio >= 0.9 else 'MISSED'}")
EOF
