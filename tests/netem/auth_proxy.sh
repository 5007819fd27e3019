#!/usr/bin/env bash
# A forward HTTP proxy that asks for Basic authentication, for the tests of
# the launcher behind a system proxy: Debian's tinyproxy on 127.0.0.1:<port>,
# answering only 127.0.0.1, its configuration, pid file and log in <dir>.
#   auth_proxy.sh start <dir> <port> <user> <password>
#   auth_proxy.sh stop <dir> [...]
# start returns once the port accepts; stop ends that instance and no other.
set -euo pipefail

usage() { echo "usage: $0 start|stop <dir> <port> <user> <password>" >&2; exit 2; }
[ $# -ge 2 ] || usage
action=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)
conf=$dir/tinyproxy.conf
pidfile=$dir/tinyproxy.pid
log=$dir/tinyproxy.log

running() {
  # Only the tinyproxy started with this directory's configuration.
  local pid
  pid=$(cat "$pidfile" 2>/dev/null) || return 1
  [ -n "$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF "tinyproxy -c $conf" &&
    echo "$pid"
}

case $action in
start)
  [ $# -eq 5 ] || usage
  port=$3 user=$4 password=$5
  if pid=$(running); then echo "auth_proxy.sh: already running ($pid)" >&2; exit 1; fi
  {
    echo "Listen 127.0.0.1"
    echo "Port $port"
    echo "Allow 127.0.0.1"
    echo "BasicAuth $user $password"
    echo "PidFile \"$pidfile\""
    echo "LogFile \"$log\""
    echo "LogLevel Info"
    echo "Timeout 60"
    echo "MaxClients 256"
  } >"$conf"
  rm -f "$pidfile"
  : >"$log"
  if [ "$(id -u)" -eq 0 ]; then
    # Started by root it would stay root: it drops to nobody once the port
    # is bound, and opens its log after that (the pid file before).
    printf 'User nobody\nGroup nogroup\n' >>"$conf"
    chown nobody:nogroup "$log"
    chmod a+x "$dir"
  fi
  tinyproxy -c "$conf"
  for _ in $(seq 100); do
    if pid=$(running) && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then exit 0; fi
    sleep 0.05
  done
  echo "auth_proxy.sh: tinyproxy did not start on port $port:" >&2
  tail -5 "$log" >&2
  exit 1
  ;;
stop)
  pid=$(running) || exit 0
  kill -TERM "$pid"
  for _ in $(seq 100); do
    [ -e "/proc/$pid" ] || { rm -f "$pidfile"; exit 0; }
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$pidfile"
  ;;
*) usage ;;
esac
