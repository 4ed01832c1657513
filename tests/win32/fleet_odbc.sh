#!/usr/bin/env bash
# Runs the ODBC store's Windows tests against a private PostgreSQL cluster: starts it, makes the
# fleet's database (schema and example grants applied, the station role given a password) and one
# without the schema, serves the tests' requests to stop, start or end the server's connections,
# and removes the cluster afterwards.
#   fleet_odbc.sh SOURCE_DIR CLUSTER_DIR COMMAND...   (COMMAND runs the test program)
set -uo pipefail
source_dir=$1 cluster=$2
shift 2
cluster_sh=$source_dir/cmake/pg-cluster.sh
host=$cluster-host
watcher=""
cleanup() {
  [ -n "$watcher" ] && kill "$watcher" 2>/dev/null && wait "$watcher" 2>/dev/null
  bash "$cluster_sh" destroy "$cluster"
  rm -rf "$host"
}
trap cleanup EXIT

bash "$cluster_sh" destroy "$cluster"
bash "$cluster_sh" start "$cluster" >/dev/null || exit 1
port=$(bash "$cluster_sh" port "$cluster")
su_psql() { bash "$cluster_sh" psql "$cluster" "$@" >/dev/null; }
su_psql -d postgres -c "CREATE DATABASE fleet ENCODING 'UTF8' TEMPLATE template0" \
  -c "CREATE DATABASE bare ENCODING 'UTF8' TEMPLATE template0" || exit 1
su_psql -d fleet -c 'SET client_min_messages = warning' -f "$source_dir/sql/pelorin-fleet.sql" \
  -f "$source_dir/sql/pelorin-fleet-grants.sql" || exit 1
password=station-$RANDOM$RANDOM
su_psql -d fleet -c "ALTER ROLE pelorin_station PASSWORD '$password'" \
  -c "GRANT CONNECT ON DATABASE bare TO pelorin_station" || exit 1

# The tests' requests: a file "request" holding stop, start or terminate; "done" when done.
rm -rf "$host"
mkdir -p "$host"
(
  while :; do
    if [ -f "$host/request" ]; then
      what=$(cat "$host/request")
      rm -f "$host/request"
      case $what in
        stop) bash "$cluster_sh" stop "$cluster" ;;
        start) bash "$cluster_sh" start "$cluster" >/dev/null ;;
        terminate) bash "$cluster_sh" terminate "$cluster" pelorin_station >/dev/null ;;
      esac
      echo "$what" >"$host/done"
    fi
    sleep 0.05
  done
) &
watcher=$!

# The driver as the host registers it, but without the communication log Debian's entry turns on
# (a file per process in /tmp): unixODBC reads the driver's entry from ODBCSYSINI.
export ODBCSYSINI=$host/odbc
mkdir -p "$ODBCSYSINI"
printf '[PostgreSQL Unicode]\nDriver=psqlodbcw.so\n' >"$ODBCSYSINI/odbcinst.ini"
connection="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;UID=pelorin_station;PWD=$password;"
export PELORIN_FLEET_DB="${connection/UID=/Database=fleet;UID=}"
export PELORIN_FLEET_BARE="${connection/UID=/Database=bare;UID=}"
export PELORIN_FLEET_HOST=$host
"$@"
