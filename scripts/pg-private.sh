#!/usr/bin/env bash
# A private PostgreSQL cluster in a directory of its own, for tests and for
# trying vesk's PostgreSQL store on one machine:
#   pg-private.sh start DIR   creates DIR (it must not exist), starts the
#                             cluster there and prints its postgresql:// URL
#   pg-private.sh stop DIR    stops it at once and removes DIR
# The cluster listens on a Unix socket in DIR only (no TCP port to collide
# on), trusts local connections (DIR is mode 0700: only its owner, and root,
# reach the socket), and runs as the calling user, or as `nobody` when
# called as root (PostgreSQL refuses to run as root). It takes 500
# connections: each live workspace's worker holds one.
set -euo pipefail

BIN="${VESK_PG_BIN:-/usr/lib/postgresql/15/bin}"
usage() { printf 'usage: %s start|stop DIR\n' "$0" >&2; exit 2; }
(($# == 2)) || usage
dir="$2"
as=()
if ((EUID == 0)); then as=(runuser -u nobody --); fi

case "$1" in
  start)
    [[ -x "$BIN/initdb" && -x "$BIN/pg_ctl" ]] || {
      printf 'pg-private: no PostgreSQL in %s (Debian: postgresql)\n' "$BIN" >&2; exit 3; }
    mkdir -m 0700 "$dir"
    dir="$(cd "$dir" && pwd)"
    if ((EUID == 0)); then chown nobody: "$dir"; fi
    "${as[@]}" "$BIN/initdb" -D "$dir/data" -U vesk --auth=trust -E UTF8 --locale=C.UTF-8 \
      >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    "${as[@]}" "$BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 120 \
      -o "-c listen_addresses='' -k $dir -c fsync=on -c max_connections=500" start >/dev/null \
      || { cat "$dir/server.log" >&2; exit 1; }
    printf 'postgresql://vesk@/postgres?host=%s\n' "$dir"
    ;;
  stop)
    [[ -d "$dir" ]] || exit 0
    if [[ -f "$dir/data/postmaster.pid" ]]; then
      "${as[@]}" "$BIN/pg_ctl" -D "$dir/data" -m immediate -w -t 120 stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
    ;;
  *) usage ;;
esac
