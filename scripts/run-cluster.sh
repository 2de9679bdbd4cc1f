#!/usr/bin/env bash
# A vesk cluster on this machine, for trying and testing: a private
# PostgreSQL cluster in a temporary directory (scripts/pg-private.sh), N
# `vesk serve` nodes on loopback ports sharing it as their store, and
# HAProxy (cluster/haproxy.cfg.in) in front of them on one port.
#   run-cluster.sh [--nodes N] [--port P] [--lease-secs S] [--no-setup] [-- FLAG...]
# (FLAGs after -- go to every node's `vesk serve`, e.g. --max-sessions 100).
# --port 0 picks a free port. It prints what it started, one line each:
#   postgres URL | node I PID PORT | cluster URL | ready
# and then serves until Ctrl-C or SIGTERM, when it stops every node (each
# drains, for a few seconds at most), HAProxy and PostgreSQL, and removes
# the directory; at any moment, a rolling restart's wait included. SIGHUP
# restarts every node in turn (a rolling restart; "rolled" when done).
# It installs what it needs as run-tour.sh does (--no-setup: it is there).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

nodes=2 port=8808 lease=2 setup=1 extra=()
while (($#)); do
  case "$1" in
    --nodes) nodes="$2"; shift 2 ;;
    --port) port="$2"; shift 2 ;;
    --lease-secs) lease="$2"; shift 2 ;;
    --no-setup) setup=0; shift ;;
    --) shift; extra=("$@"); break ;;
    *) printf 'usage: %s [--nodes N] [--port P] [--lease-secs S] [--no-setup] [-- FLAG...]\n' \
         "$0" >&2
       exit 2 ;;
  esac
done
[[ "$nodes" =~ ^[1-9][0-9]?$ ]] || { echo "run-cluster: --nodes: 1 to 99" >&2; exit 2; }
[[ "$port" =~ ^[0-9]{1,5}$ ]] || { echo "run-cluster: --port: a port number" >&2; exit 2; }
[[ "$lease" =~ ^[1-9][0-9]{0,3}$ ]] && ((lease <= 3600)) ||
  { echo "run-cluster: --lease-secs: whole seconds, 1 to 3600" >&2; exit 2; }

if ((setup)); then
  "$VESK_ROOT/scripts/setup.sh" --cluster
  "$VESK_ROOT/scripts/build.sh" --module >/dev/null
fi
export PYTHONPATH="$VESK_BUILD/python:$VESK_ROOT/python"

# Not below a directory only root may enter: PostgreSQL runs as nobody
# when this runs as root.
dir="$(mktemp -u "${TMPDIR:-/tmp}/vesk-cluster-XXXXXXXX")"
mkdir -m 0711 "$dir"
pids=() ports=() haproxy="" waiter="" starting="" stopped=0
say() { printf '%s\n' "$*"; }

# Long waits run in the background: bash runs a trap only once the
# foreground command ends, but interrupts `wait` at once. $waiter is killed
# on a stop; $starting (PostgreSQL's start) is let finish, then stopped.
waiting() {
  local rc=0
  "$@" <&0 & waiter=$!
  wait "$waiter" || rc=$?
  waiter=""
  return "$rc"
}

free_port() {
  "$VESK_PYTHON" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

live() {  # PID...: whether one of them still runs
  local pid
  for pid in "$@"; do kill -0 "$pid" 2>/dev/null && return 0; done
  return 1
}

stop_all() {
  trap '' INT TERM HUP
  ((stopped)) && return
  stopped=1
  local pid tick
  if [[ -n "$waiter" ]]; then kill -TERM "$waiter" 2>/dev/null || true; fi
  if [[ -n "$starting" ]]; then wait "$starting" 2>/dev/null || true; fi
  # Each node drains for --lease-secs, then waits for its calls under way;
  # a second signal cuts that wait short, and a node still there is killed.
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for ((tick = 0; tick < (lease + 5) * 10 && ${#pids[@]}; tick++)); do
    live "${pids[@]}" || break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for ((tick = 0; tick < 300 && ${#pids[@]}; tick++)); do
    live "${pids[@]}" || break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [[ -n "$haproxy" ]]; then kill -TERM "$haproxy" 2>/dev/null || true; wait "$haproxy" || true; fi
  "$VESK_ROOT/scripts/pg-private.sh" stop "$dir/pg" || true
  rm -rf "$dir"
}
trap 'stop_all; exit 0' INT TERM
trap stop_all EXIT

"$VESK_ROOT/scripts/pg-private.sh" start "$dir/pg" >"$dir/pg.url" &
starting=$!
wait "$starting"
starting=""
url="$(<"$dir/pg.url")"
say "postgres $url"

start_node() {  # I: starts node I on its port
  local i="$1" p="${ports[$1]}"
  "$VESK_PYTHON" -m vesk serve --http "127.0.0.1:$p" --store "$url" --node-id "node$i" \
    --lease-secs "$lease" --advertise "http://127.0.0.1:$p" --drain-secs "$lease" "${extra[@]}" \
    </dev/null >>"$dir/node$i.log" 2>&1 &
  pids[$i]=$!
}

wait_up() {  # I: until HAProxy's checks find node I up in every backend
  waiting "$VESK_PYTHON" - "$dir/haproxy.sock" "node$1" "$haproxy" <<'PY'
import os, socket, sys, time
deadline = time.monotonic() + 120
while time.monotonic() < deadline:
    try:
        os.kill(int(sys.argv[3]), 0)
    except OSError:
        sys.exit("run-cluster: HAProxy ended (see its log)")
    try:
        s = socket.socket(socket.AF_UNIX)
        s.connect(sys.argv[1])
        s.sendall(b"show stat\n")
        data = b""
        while chunk := s.recv(65536):
            data += chunk
        s.close()
        states = [f[17] for f in (line.split(",") for line in data.decode().splitlines())
                  if len(f) > 17 and f[1] == sys.argv[2]]
        if len(states) == 3 and all(state == "UP" for state in states):
            sys.exit(0)
    except OSError:
        pass
    time.sleep(0.1)
sys.exit("run-cluster: node did not come up in HAProxy's checks")
PY
}

servers=""
for ((i = 1; i <= nodes; i++)); do
  ports[$i]="$(free_port)"
  start_node "$i"
  say "node $i ${pids[$i]} ${ports[$i]}"
  servers+="    server node$i 127.0.0.1:${ports[$i]} id $i"$'\n'
done
((port)) || port="$(free_port)"
"$VESK_PYTHON" - "$VESK_ROOT/cluster/haproxy.cfg.in" "$dir/haproxy.cfg" \
  "127.0.0.1:$port" "$dir/haproxy.sock" "$servers" <<'PY'
import sys
src, dst, bind, stats, servers = sys.argv[1:]
text = open(src).read()
for key, value in (("@BIND@", bind), ("@HOST@", "127.0.0.1"), ("@STATS@", stats),
                   ("@SERVERS@", servers.rstrip("\n"))):
    text = text.replace(key, value)
open(dst, "w").write(text)
PY
haproxy -W -db -f "$dir/haproxy.cfg" >>"$dir/haproxy.log" 2>&1 &
haproxy=$!
for ((i = 1; i <= nodes; i++)); do wait_up "$i"; done
say "cluster http://127.0.0.1:$port/mcp"
say "logs $dir"
say "ready"

roll() {
  local i
  local -A back=()
  # A node that died comes back first: restarting a live one while another
  # is down would leave the balancer no node to send to.
  for ((i = 1; i <= nodes; i++)); do
    kill -0 "${pids[$i]}" 2>/dev/null && continue
    wait "${pids[$i]}" 2>/dev/null || true
    start_node "$i"
    wait_up "$i"
    say "node $i ${pids[$i]} ${ports[$i]}"
    back[$i]=1
  done
  for ((i = 1; i <= nodes; i++)); do
    [[ -n "${back[$i]:-}" ]] && continue
    kill -TERM "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" || true  # a builtin: a signal interrupts it
    start_node "$i"
    wait_up "$i"
    say "node $i ${pids[$i]} ${ports[$i]}"
  done
  say "rolled"
}
rolling=0
trap 'rolling=1' HUP
while kill -0 "$haproxy" 2>/dev/null; do
  # A SIGHUP during a roll asks for another, before waiting again.
  if ((rolling)); then rolling=0; roll; continue; fi
  wait -n || true
done
echo "run-cluster: HAProxy ended" >&2
exit 1
