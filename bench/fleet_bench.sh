# What the fleet's benchmarks share (sourced, not run): a private PostgreSQL cluster with the
# fleet's schema, reached by the stations through an ODBC data source and the password file.

# fleet_database DIR: starts a cluster of its own in DIR (removed again by fleet_database_end),
# makes the database "fleet" with sql/pelorin-fleet.sql and the example grants, and exports what
# the stations need: ODBCSYSINI and PGPASSFILE (DSN=fleet reaches it as pelorin_station). Sets
# fleet_cluster. Needs repo.
fleet_database() {
  fleet_cluster=$1
  bash "$repo/cmake/pg-cluster.sh" destroy "$fleet_cluster"
  bash "$repo/cmake/pg-cluster.sh" start "$fleet_cluster" >/dev/null || return 1
  local port
  port=$(bash "$repo/cmake/pg-cluster.sh" port "$fleet_cluster")
  fleet_psql -d postgres -c "CREATE DATABASE fleet ENCODING 'UTF8' TEMPLATE template0" >/dev/null &&
    fleet_psql -d fleet -c 'SET client_min_messages = warning' -f "$repo/sql/pelorin-fleet.sql" \
      -f "$repo/sql/pelorin-fleet-grants.sql" -c "ALTER ROLE pelorin_station PASSWORD 'bench'" \
      >/dev/null || return 1
  export ODBCSYSINI=$fleet_cluster.odbc PGPASSFILE=$fleet_cluster.pgpass
  mkdir -p "$ODBCSYSINI"
  printf '[PostgreSQL Unicode]\nDriver=psqlodbcw.so\n' >"$ODBCSYSINI/odbcinst.ini"
  printf '[fleet]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=%s\nDatabase=fleet\nUsername=pelorin_station\nSSLmode=disable\n' \
    "$port" >"$ODBCSYSINI/odbc.ini"
  echo "127.0.0.1:$port:fleet:pelorin_station:bench" >"$PGPASSFILE"
  chmod 600 "$PGPASSFILE"
}
fleet_database_end() {
  [ -n "${fleet_cluster:-}" ] && bash "$repo/cmake/pg-cluster.sh" destroy "$fleet_cluster"
  [ -n "${fleet_cluster:-}" ] && rm -rf "$fleet_cluster.odbc" "$fleet_cluster.pgpass"
}
fleet_psql() { bash "$repo/cmake/pg-cluster.sh" psql "$fleet_cluster" "$@"; }
fleet_server() { bash "$repo/cmake/pg-cluster.sh" "$1" "$fleet_cluster" >/dev/null; }
