#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for the tests and benchmarks, on a free
# loopback port, with trust authentication and its socket in its own folder.
#
#   eval "$(scripts/pg-cluster.sh start)"   # exports KESTAL_PG_* and prints nothing else
#   scripts/pg-cluster.sh stop              # stops it and removes the folder
#
# Exports: KESTAL_PG_CONN (libpq conninfo of the server), KESTAL_PG_DATA (data
# folder), KESTAL_PG_BIN (server binaries), KESTAL_PG_PORT, KESTAL_PG_USER
# (the OS user that owns the cluster; fault tests stop and start the server as
# that user with pg_ctl).
set -euo pipefail

pg_bin() {
  local d
  d=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -n "$d" ] || { echo "PostgreSQL server binaries not found (install postgresql)" >&2; exit 1; }
  echo "$d"
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

case "${1:-}" in
  start)
    bin=$(pg_bin)
    dir=$(mktemp -d "${TMPDIR:-/tmp}/kestal-pg-XXXXXX")
    chmod 755 "$dir"
    owner=$(id -un)
    if [ "$(id -u)" -eq 0 ]; then chown postgres:postgres "$dir"; owner=postgres; fi
    port=$(free_port)
    as_owner "$bin/initdb" -D "$dir/data" -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 ||
      { cat "$dir/initdb.log" >&2; exit 1; }
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200" start >/dev/null ||
      { cat "$dir/server.log" >&2; exit 1; }
    echo "export KESTAL_PG_CONN='host=127.0.0.1 port=$port user=postgres dbname=postgres'"
    echo "export KESTAL_PG_DATA='$dir/data' KESTAL_PG_BIN='$bin' KESTAL_PG_PORT='$port' KESTAL_PG_USER='$owner' KESTAL_PG_DIR='$dir'"
    ;;
  stop)
    : "${KESTAL_PG_DIR:?not started}"
    as_owner "$KESTAL_PG_BIN/pg_ctl" -D "$KESTAL_PG_DATA" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$KESTAL_PG_DIR"
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
