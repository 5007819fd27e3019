#!/bin/bash
# Runs inside the PE32 test guest as /xfer/guest-run.sh (scripts/pe32-stage.sh
# puts it there): the PE32 programs and harnesses of /xfer/in, results and
# logs into /xfer/out. The steps named in /xfer/in/steps run in two lanes
# side by side, each with a network namespace (its own loopback: the tests
# use fixed ports), an X display and a Wine prefix of its own:
#   lane 1 (display :99, the 64-bit prefix, PE32 through WoW64)
#     splash   the splash window seen from outside
#     e2e      the end-to-end scenarios against the PE32 launcher
#   lane 2 (display :98, the 32-bit prefix)
#     unit     the PE32 unit-test program
# Each step says on the console when it begins, with its bound, and when it
# ends (scripts/pe32-guest/boot.py turns that into the stage's lines). A step
# that outlives its bound is ended after showing what it was waiting for.
#   guest-run.sh [lane1|lane2]   (no argument: both, and the inputs first)
set -uo pipefail
# Job control: each step runs in a process group of its own, which is what
# a step that ran out of time is shown and ended by.
set -m
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
in=/xfer/in
out=/xfer/out
steps=" $(cat "$in/steps") "
repo=/root/repo
wine_run=$repo/scripts/wine-run.sh
status=0

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
say() { echo "TSL-GUEST say $*"; }
has() { case $steps in *" $1 "*) return 0 ;; esac; return 1; }

# What a step that ran out of time was waiting for: its processes with the
# kernel function each sleeps in, and the end of its log.
show_stuck() {  # show_stuck NAME PROCESS-GROUP LOG
  local name=$1 group=$2 log=$3
  {
    echo "$name: still running at its bound; its processes (wchan = where each waits):"
    ps -eo pid,pgid,stat,etime,time,wchan:22,args --forest | awk -v g="$group" 'NR == 1 || $2 == g' |
      cut -c1-180
    echo "Wine processes:"
    ps -eo pid,stat,etime,wchan:22,args | grep -i -e wine -e '\.exe' | grep -v grep | cut -c1-180
    # Slow or stuck: a log that still grows is slow.
    echo "the end of its log ($log), which last grew $(($(date +%s) - $(stat -c %Y "$log"))) s ago:"
    tail -n 15 "$log"
  } >"$out/$name-stuck.txt" 2>&1
  while IFS= read -r line; do say "  $line"; done <"$out/$name-stuck.txt"
}

# step NAME BOUND SUMMARY-FUNCTION COMMAND...: runs COMMAND (a function too)
# with its output in $out/NAME.log, for at most BOUND seconds.
step() {
  local name=$1 bound=$2 summary=$3 log=$out/$1.log began pid rc result
  shift 3
  echo "TSL-GUEST begin $name $bound"
  began=$(now)
  "$@" >"$log" 2>&1 </dev/null &
  pid=$!
  local deadline=$((SECONDS + bound))
  while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt "$deadline" ]; do sleep 1; done
  if kill -0 "$pid" 2>/dev/null; then
    show_stuck "$name" "$pid" "$log"
    kill -TERM -- -"$pid" 2>/dev/null
    sleep 5
    kill -KILL -- -"$pid" 2>/dev/null
  fi
  wait "$pid"
  rc=$?
  case $rc in
    0) result=passed ;;
    137 | 143) result=TIMED-OUT ;;
    *) result="FAILED($rc)" ;;
  esac
  [ $rc -eq 0 ] || status=1
  echo "TSL-GUEST end $name $result $(since "$began") $($summary "$log" 2>/dev/null)"
  return $rc
}
no_summary() { :; }

display() {  # display NUMBER
  Xvfb ":$1" -screen 0 1280x1024x24 -nolisten tcp >"/tmp/xvfb-$1.log" 2>&1 &
  for _ in $(seq 1 600); do
    xdpyinfo -display ":$1" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}

# One kept server per prefix, its services started once with their output
# going nowhere. Started by a harness's program instead, they would inherit
# its output pipe and hold it open, and the harness would wait for that pipe
# to the end of its timeout.
wine_up() {
  wineserver -p || return 1
  /usr/lib/wine/wine cmd /c exit 0
}

# ---- lane 1: the splash window and the end-to-end scenarios, in the
# 64-bit prefix
splash_summary() { grep -E '^[0-9]+ passed, [0-9]+ failed' "$1" | tail -1; }
splash() {
  # The probe waits for Wine to start a program; that takes longer here.
  TSL_TEST_TIME_SCALE=5 python3 "$repo/tests/gui/splash_gui_test.py" \
    --probe /root/bin/tests/gui/splash_probe.exe --wine-run "$wine_run" \
    --background "$repo/ui/resources/splash_background.png" --artifacts "$out/splash-artifacts" \
    --prefix "$WINEPREFIX"
}
e2e_summary() {
  echo "$(grep -c '^PASS ' "$1") scenarios passed, $(grep -c '^FAIL ' "$1") failed$(
    sed -n 's/^FAIL \([a-z_0-9]*\).*/ \1/p' "$1" | tr -d '\n')"
}
e2e() {
  local only=()
  [ -s "$in/e2e-only" ] && read -r -a only <"$in/e2e-only"
  python3 "$repo/tests/e2e/e2e_test.py" \
    --launcher /root/bin/TessalyReach.exe --client /root/bin/stub_client/Client.exe \
    --maker /root/maker/TessalyReach --wine "$wine_run" \
    --signed-launcher /root/signed/TessalyReach.exe --signing-keys /root/keys \
    --work /root/e2e ${only[@]+--only "${only[@]}"}
}
lane1() {
  ip link set lo up
  export DISPLAY=:99 WINEPREFIX=/root/pfx64
  step display-99 300 no_summary display 99 || return 1
  step wine-pfx64 900 no_summary wine_up || return 1
  if has splash; then
    step splash 900 splash_summary splash
    # It ends its prefix's server when done: e2e has it again.
    wine_up >/dev/null 2>&1
  fi
  if has e2e; then
    step e2e 3000 e2e_summary e2e
    # What the launchers wrote, for a failure's inquest (the big files stay).
    (cd /root/e2e && find . \( -name launcher.log -o -name messages.txt -o -name access.log \
      -o -name error.log -o -name client-record.jsonl \) -size -2M -print0 |
      tar -cf "$out/e2e-logs.tar" --null -T -)
  fi
  wineserver -k
  return $status
}

# ---- lane 2: the unit tests in the 32-bit prefix, beside the launcher and
# stub client as in the build tree
unit_summary() {
  local passed failed
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$1")
  failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$1")
  if [ -z "$passed$failed" ]; then
    echo "no result; the last test begun: $(sed -n 's/^\[ RUN      \] //p' "$1" | tail -1)"
    return
  fi
  echo "${passed:-0} tests passed, ${failed:-0} failed$(
    sed -n 's/^\[  FAILED  \] \([A-Za-z_0-9/]*\.[A-Za-z_0-9/]*\)$/ \1/p' "$1" | head -8 | tr -d '\n')"
}
unit() {
  local filter
  filter=$(cat "$in/unit-filter")
  cd /root/bin && "$wine_run" ./tsl_tests.exe --gtest_color=no ${filter:+--gtest_filter="$filter"} &&
    ! grep -qx '\[  PASSED  \] 0 tests\.' "$out/unit.log"
}
lane2() {
  ip link set lo up
  export DISPLAY=:98 WINEPREFIX=/root/pfx32
  step display-98 300 no_summary display 98 || return 1
  step wine-pfx32 900 no_summary wine_up || return 1
  step unit 2400 unit_summary unit
  wineserver -k
  return $status
}

case ${1:-} in
  lane1) lane1; exit ;;
  lane2) lane2; exit ;;
esac

mkdir -p "$out"
# The guest's processes every 15 s, for the host to show when the guest
# itself stops answering.
(while sleep 15; do
  ps -eo pid,ppid,stat,etime,time,wchan:22,args --forest | cut -c1-200 >/tmp/ps.txt
  cp /tmp/ps.txt "$out/ps.txt"
done) &
monitor=$!

# The inputs onto the guest's own disk: Wine and the harnesses work there,
# the shared folder is only the way in and out.
began=$(now)
echo "TSL-GUEST begin inputs 300"
cp -a "$in/bin" "$in/repo" "$in/maker" "$in/signed" "$in/keys" /root/
echo "TSL-GUEST end inputs passed $(since "$began") $(du -sm /root/bin | cut -f1) MiB of programs"

lanes=()
if has splash || has e2e; then
  unshare -n "$0" lane1 &
  lanes+=($!)
fi
if has unit; then
  unshare -n "$0" lane2 &
  lanes+=($!)
fi
for lane in "${lanes[@]}"; do
  wait "$lane" || status=1
done
kill "$monitor"
exit $status
