#!/usr/bin/env bash
# Benchmark (not a test; CI does not run it): shipping a backlog of production-log records into
# PostgreSQL through the real shipper, log reader and ODBC store, under Wine.
#
#   bench/fleet_ship.sh [BUILD_DIR] [RECORDS]
#
#   BUILD_DIR  a Windows build folder (default build/win32: the 32-bit exe, as shipped)
#   RECORDS    the backlog (default 100000)
#
# A private PostgreSQL cluster in BUILD_DIR/bench/fleet-cluster (schema and grants applied; the
# station role logs in over TCP with a password), removed afterwards. Target: at least 5,000
# records/s.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
build=$(cd "${1:-$repo/build/win32}" && pwd)
records=${2:-100000}
exe=$build/bench/fleet_ship.exe
[ -f "$exe" ] || { echo "fleet_ship.sh: $exe not found" >&2; exit 2; }
arch=$(grep -q x86_64 "$build/CMakeCache.txt" && grep -q 'CMAKE_SYSTEM_PROCESSOR:.*x86_64' "$build/CMakeCache.txt" && echo x86_64 || echo i686)
cluster=$build/bench/fleet-cluster
cluster_sh=$repo/cmake/pg-cluster.sh
trap 'bash "$cluster_sh" destroy "$cluster"; rm -rf "$cluster.odbc"' EXIT
bash "$cluster_sh" destroy "$cluster"
bash "$cluster_sh" start "$cluster" >/dev/null || exit 1
port=$(bash "$cluster_sh" port "$cluster")
psql_su() { bash "$cluster_sh" psql "$cluster" "$@" >/dev/null; }
psql_su -d postgres -c "CREATE DATABASE fleet ENCODING 'UTF8' TEMPLATE template0" || exit 1
psql_su -d fleet -c 'SET client_min_messages = warning' -f "$repo/sql/pelorin-fleet.sql" \
  -f "$repo/sql/pelorin-fleet-grants.sql" -c "ALTER ROLE pelorin_station PASSWORD 'bench'" || exit 1
# The driver without the communication log Debian's entry turns on (a file per process in /tmp).
export ODBCSYSINI=$cluster.odbc
mkdir -p "$ODBCSYSINI"
printf '[PostgreSQL Unicode]\nDriver=psqlodbcw.so\n' >"$ODBCSYSINI/odbcinst.ini"
export PELORIN_FLEET_DB="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=fleet;UID=pelorin_station;PWD=bench;"
mkdir -p "$build/bench"
log=$build/bench/fleet-ship.jsonl
"$repo/cmake/wine-run.sh" "$arch" "$build/wineprefix" "$exe" "Z:${log//\//\\}" "$records"
status=$?
stored=$(bash "$cluster_sh" psql "$cluster" -d fleet -At -c "SELECT count(*) FROM pelorin_records")
echo "fleet_ship ($arch): the database holds $stored rows"
rm -f "$log"
exit $status
