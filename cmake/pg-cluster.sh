#!/usr/bin/env bash
# A private PostgreSQL cluster for the fleet's tests, in a folder of the build tree, owned and run
# by the `postgres` user (the tests run as root, and PostgreSQL refuses to run as root).
#
#   pg-cluster.sh start DIR      makes the cluster on first use (initdb, UTF8), then starts it on
#                                127.0.0.1 at a free port, the same port again on a later start;
#                                prints "port N"
#   pg-cluster.sh stop DIR [immediate]
#                                stops it by its pid (a fast shutdown; "immediate": as if the
#                                machine died) and waits until it is gone; the cluster stays and
#                                can be started again
#   pg-cluster.sh terminate DIR [ROLE]
#                                ends every client connection (of ROLE only, when given) from the
#                                server's side (pg_terminate_backend); prints how many
#   pg-cluster.sh psql DIR [psql arguments...]
#                                psql as the superuser through the cluster's own socket
#   pg-cluster.sh port DIR       prints the cluster's port
#   pg-cluster.sh destroy DIR    stops it if it runs and removes the folder and its socket folder
#
# Access: the superuser `postgres` only through the Unix socket (peer); every other role only over
# TCP on 127.0.0.1 with a password (scram-sha-256), so that a wrong password is refused as it would
# be on a factory's server. Only a cluster that this script started is ever stopped: the pid comes
# from DIR's own postmaster.pid.
set -euo pipefail

command=${1:?usage: pg-cluster.sh start|stop|terminate|psql|port|destroy DIR}
dir=${2:?usage: pg-cluster.sh $command DIR}
shift 2
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/postgres" ] || { echo "pg-cluster.sh: PostgreSQL is not installed (scripts/setup.sh)" >&2; exit 1; }

as_postgres() { runuser -u postgres -- "$@"; }
pid_of() {  # the postmaster's pid when it runs, else nothing
  local pid
  [ -f "$dir/data/postmaster.pid" ] || return 0
  pid=$(head -n 1 "$dir/data/postmaster.pid")
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
  return 0
}
socket_dir() { cat "$dir/socketdir"; }
port_in_use() { ss -Hltn "sport = :$1" 2>/dev/null | grep -q .; }

start() {
  if [ -n "$(pid_of)" ]; then
    echo "port $(cat "$dir/port")"
    return 0
  fi
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  chown postgres: "$dir"
  # A socket path must be short (about 100 bytes); a build tree's may not be.
  if [ ! -d "$(cat "$dir/socketdir" 2>/dev/null)" ]; then
    mktemp -d /tmp/pelorin-pg.XXXXXX >"$dir/socketdir"
    chown postgres: "$(socket_dir)"
  fi
  if [ ! -f "$dir/data/PG_VERSION" ]; then
    rm -rf "$dir/data"
    as_postgres "$bin/initdb" -D "$dir/data" -U postgres -E UTF8 --locale=C.UTF-8 \
      --auth-local=peer --auth-host=scram-sha-256 >"$dir/initdb.log" 2>&1 ||
      { cat "$dir/initdb.log" >&2; exit 1; }
    cat >"$dir/data/pg_hba.conf" <<'EOF'
local all postgres peer
host all postgres 0.0.0.0/0 reject
host all postgres ::/0 reject
host all all 127.0.0.1/32 scram-sha-256
EOF
    chown postgres: "$dir/data/pg_hba.conf"
  fi
  local port tries=0
  port=$(cat "$dir/port" 2>/dev/null || true)
  while :; do
    if [ -z "$port" ] || port_in_use "$port"; then
      port=$((20000 + RANDOM % 20000))
      port_in_use "$port" && continue
    fi
    echo "$port" >"$dir/port"
    if as_postgres "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 start \
        -o "-p $port -k $(socket_dir) -c listen_addresses=127.0.0.1" >/dev/null 2>&1; then
      break
    fi
    # Another cluster may have taken the port in the meantime: another one, a few times.
    tries=$((tries + 1))
    if [ $tries -ge 5 ]; then
      tail -n 20 "$dir/server.log" >&2
      echo "pg-cluster.sh: the cluster in $dir did not start" >&2
      exit 1
    fi
    port=""
  done
  echo "port $port"
}

stop() {
  local pid signal=INT
  [ "${1:-}" = immediate ] && signal=QUIT
  pid=$(pid_of)
  [ -n "$pid" ] || return 0
  kill -s "$signal" "$pid"
  for _ in $(seq 600); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  echo "pg-cluster.sh: the cluster (pid $pid) did not stop within 30 s" >&2
  exit 1
}

case $command in
  start) start ;;
  stop) stop "$@" ;;
  psql)
    exec runuser -u postgres -- "$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$(socket_dir)" \
      -p "$(cat "$dir/port")" "$@" ;;
  terminate)
    role=${1:-}
    runuser -u postgres -- "$bin/psql" -X -q -At -h "$(socket_dir)" -p "$(cat "$dir/port")" \
      -v role="$role" -d postgres <<'EOF'
SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity
 WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()
   AND (:'role' = '' OR usename = :'role');
EOF
    ;;
  port) cat "$dir/port" ;;
  destroy)
    stop
    [ -f "$dir/socketdir" ] && rm -rf "$(socket_dir)"
    rm -rf "$dir" ;;
  *) echo "pg-cluster.sh: unknown command $command" >&2; exit 2 ;;
esac
