# The fleet: stations (PelorinCli.exe --station and PelorinStation.exe) with --database against a
# real PostgreSQL 15 through the PostgreSQL ODBC driver, sourced by run_e2e.sh through the
# scenario_fleet_*.sh files. Uses the helpers of run_e2e.sh, pipe_downloads.sh, cli_downloads.sh,
# station_runs.sh and board_runs.sh; records and rows are compared as JSON with jq.
#
# One cluster serves every fleet scenario: the CTest fixture e2e_fleet_cluster starts it in the
# row's work folder and removes it after the last one (a scenario run alone starts it itself and
# removes it at its end). Each scenario has a database of its own. The stations reach it the way
# the README tells a station PC to: DSN=<database> (unixODBC's odbc.ini in a folder of the
# scenario's own, ODBCSYSINI) with the password in the PostgreSQL password file (PGPASSFILE). That
# folder's odbcinst.ini names the driver without the communication log Debian's entry turns on.

. "$here/board_runs.sh"
cluster_sh=$here/../../cmake/pg-cluster.sh
source_dir=$(cd "$here/../.." && pwd)
fleet_cluster=$work/fleet-cluster
fleet_password=station-e2e-$RANDOM$RANDOM
fleet_own_cluster=0

fleet_psql() { bash "$cluster_sh" psql "$fleet_cluster" "$@"; }
# fleet_sql DATABASE SQL: one value per line, fields separated by |.
fleet_sql() { fleet_psql -d "$1" -At -c "$2"; }

# The scenario's end: a cluster it started itself goes with it.
scenario_cleanup() {
  [ "$fleet_own_cluster" = 1 ] && bash "$cluster_sh" destroy "$fleet_cluster"
}

# fleet_start: the cluster runs, the station role has a password, the scenario's ODBC folder and
# password file are there and exported.
fleet_start() {
  local pid
  pid=$(head -n 1 "$fleet_cluster/data/postmaster.pid" 2>/dev/null)
  if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then
    echo "fleet: no cluster from the fixture: one of this scenario's own"
    fleet_own_cluster=1
  fi
  bash "$cluster_sh" start "$fleet_cluster" >/dev/null || { fail "the cluster did not start"; return 1; }
  fleet_port=$(bash "$cluster_sh" port "$fleet_cluster")
  export ODBCSYSINI=$work/$scenario.odbc PGPASSFILE=$work/$scenario.pgpass
  rm -rf "$ODBCSYSINI"
  mkdir -p "$ODBCSYSINI"
  printf '[PostgreSQL Unicode]\nDescription=PostgreSQL ODBC driver (Unicode version)\nDriver=psqlodbcw.so\n' \
    >"$ODBCSYSINI/odbcinst.ini"
  : >"$ODBCSYSINI/odbc.ini"
  : >"$PGPASSFILE"
  chmod 600 "$PGPASSFILE"
}

# fleet_db NAME: a fresh database NAME with the fleet's schema and the example grants (without
# the schema: fleet_db NAME bare); DSN=NAME reaches it as pelorin_station.
fleet_db() {
  local name=$1
  fleet_psql -d postgres -c "DROP DATABASE IF EXISTS $name" \
    -c "CREATE DATABASE $name ENCODING 'UTF8' TEMPLATE template0" >/dev/null || return 1
  if [ "${2:-}" = bare ]; then
    fleet_psql -d postgres -c "DO \$\$ BEGIN
        IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'pelorin_station') THEN
          CREATE ROLE pelorin_station LOGIN;
        END IF; END \$\$" -c "GRANT CONNECT ON DATABASE $name TO pelorin_station" >/dev/null ||
      return 1
  else
    fleet_psql -d "$name" -c 'SET client_min_messages = warning' -f "$source_dir/sql/pelorin-fleet.sql" \
      -f "$source_dir/sql/pelorin-fleet-grants.sql" >/dev/null || return 1
  fi
  fleet_psql -d postgres -c "ALTER ROLE pelorin_station PASSWORD '$fleet_password'" >/dev/null ||
    return 1
  printf '[%s]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=%s\nDatabase=%s\nUsername=pelorin_station\nSSLmode=disable\n' \
    "$name" "$fleet_port" "$name" >>"$ODBCSYSINI/odbc.ini"
  echo "127.0.0.1:$fleet_port:$name:pelorin_station:$fleet_password" >>"$PGPASSFILE"
}

# db_records DATABASE: every row of pelorin_records as its log line holds it (the image's fields
# nested again), one JSON object per line, sorted by log and sequence.
db_records() {
  fleet_sql "$1" "SELECT json_build_object('log', log, 'time',
      to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), 'station', station,
      'sequence', sequence, 'port', port, 'path', path, 'instance', instance, 'serial', serial,
      'image', json_build_object('path', image_path, 'size', image_size, 'byteSum', image_byte_sum,
      'sha256', image_sha256), 'result', result, 'bytesSent', bytes_sent, 'seconds', seconds,
      'message', message, 'knownFrom', known_from) FROM pelorin_records" |
    jq -s -c 'sort_by(.log, .sequence) | .[]'
}
# log_records LOG...: the records of the logs (lines that are whole records of a log with an
# identity), the same way.
log_records() {
  cat "$@" | jq -R -c 'fromjson? | select(type == "object" and has("log"))' |
    jq -s -c 'sort_by(.log, .sequence) | .[]'
}
# expect_database_is_logs DATABASE LOG...: the database holds exactly the records of the logs,
# every field of each (no record missing, none twice, none other), and each log's sequences run
# from 1 without a gap.
expect_database_is_logs() {
  local database=$1
  shift
  db_records "$database" >"$work/$scenario.db.json"
  log_records "$@" >"$work/$scenario.logs.json"
  local rows records
  rows=$(wc -l <"$work/$scenario.db.json")
  records=$(wc -l <"$work/$scenario.logs.json")
  if cmp -s "$work/$scenario.db.json" "$work/$scenario.logs.json"; then
    echo "ok: the database holds exactly the $records records of the logs, every field"
  else
    fail "the database's $rows rows are not the logs' $records records:"
    diff "$work/$scenario.logs.json" "$work/$scenario.db.json" | head -n 20 | sed 's/^/  | /'
  fi
  expect_eq "each log's sequences from 1, no gap, none twice" \
    "$(jq -s -r 'group_by(.log) | map((map(.sequence) | sort) as $s |
        $s == [range(1; ($s | length) + 1)]) | all' "$work/$scenario.db.json")" true
}
# cli_pid RUNNER: the PelorinCli.exe process started by the shell RUNNER.
cli_pid() { program_pid "$1" "${cli_exe##*/}"; }
# records_in LOG: the log's lines so far.
records_in() { { wc -l <"$1"; } 2>/dev/null || echo 0; }
