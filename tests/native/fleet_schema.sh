#!/usr/bin/env bash
# The fleet's schema on a private PostgreSQL cluster: sql/pelorin-fleet.sql and the example grants
# apply twice without error; the station role may add and read records and nothing else, the
# report role only read; and the supervisors' views give the figures counted by hand from a small
# set of records (below, with each figure's count beside it).
#   fleet_schema.sh SOURCE_DIR CLUSTER_DIR
set -uo pipefail
source_dir=$1
cluster=$2
cluster_sh=$source_dir/cmake/pg-cluster.sh
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

trap 'bash "$cluster_sh" destroy "$cluster"' EXIT
bash "$cluster_sh" destroy "$cluster"
bash "$cluster_sh" start "$cluster" >/dev/null || exit 1
port=$(bash "$cluster_sh" port "$cluster")
su_psql() { bash "$cluster_sh" psql "$cluster" -d fleet "$@"; }
as_role() {  # as_role ROLE SQL: prints what SQL run as ROLE over TCP with its password prints
  PGPASSWORD=pw-$1 psql -X -q -At -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" -U "$1" -d fleet \
    -c "$2" 2>&1
  return 0
}

bash "$cluster_sh" psql "$cluster" -d postgres -c "CREATE DATABASE fleet ENCODING 'UTF8' TEMPLATE template0" ||
  exit 1
for round in 1 2; do
  su_psql -c 'SET client_min_messages = warning' -f "$source_dir/sql/pelorin-fleet.sql" ||
    fail "pelorin-fleet.sql did not apply (round $round)"
  su_psql -c 'SET client_min_messages = warning' -f "$source_dir/sql/pelorin-fleet-grants.sql" ||
    fail "pelorin-fleet-grants.sql did not apply (round $round)"
done
su_psql -c "ALTER ROLE pelorin_station PASSWORD 'pw-pelorin_station';
            ALTER ROLE pelorin_report PASSWORD 'pw-pelorin_report'"
[ "$(su_psql -At -c 'SELECT string_agg(version::text, $$,$$) FROM pelorin_schema')" = 1 ] ||
  fail "pelorin_schema does not hold the one row of version 1"

# The records, added by the station role. Columns after (log, sequence, time, station, port,
# serial, result) take the same value in every row.
rows=""
seq=0
add() {  # add HOUR:MINUTE STATION PORT SERIAL RESULT
  seq=$((seq + 1))
  rows+="${rows:+,}('00000000-0000-4000-8000-00000000000$(( seq % 2 ))', $seq,
    '2026-12-08T$1:00.000Z', '$2', '$3', 'path', 'inst', '$4', 'os.nb0', 4194304, 534712169,
    '$(printf 'a%.0s' {1..64})', '$5', 4194304, 2.054, '', 'log')"
}
# Station A, 10:xx. Port P1: 2 verified of 3 flashes (67); units S1 (first flash failed), S2 (verified).
add 10:01 A P1 S1 verification-error
add 10:02 A P1 S1 verified
add 10:03 A P1 S2 verified
# Port P2: three failures in a row (to check), then records that are no flashes.
add 10:04 A P2 S3 link-error
add 10:05 A P2 S4 link-error
add 10:06 A P2 S5 image-error
add 10:07 A P2 S3 already-verified
add 10:08 A P2 S4 cancelled
# Station B, 11:xx, port P1: 4 verified of 5 flashes (80), one unit without a serial number;
# units S1, S6, S7 verified first, S8 failed (3 of 4: 75). S1 was flashed at A before.
add 11:01 B P1 S1 verified
add 11:02 B P1 S6 verified
add 11:03 B P1 S7 verified
add 11:04 B P1 S8 verification-error
add 11:05 B P1 '' verified
add 11:06 B P1 S9 already-verified
# Station C, 12:xx, port P9: 1 verified of 8 flashes (12.5 %: 13), then seven failures.
add 12:01 C P9 C1 verified
for n in 2 3 4 5 6 7 8; do add 12:0$n C P9 C$n not-started; done
columns="log, sequence, time, station, port, path, instance, serial, image_path, image_size,
  image_byte_sum, image_sha256, result, bytes_sent, seconds, message, known_from"
out=$(as_role pelorin_station "INSERT INTO pelorin_records ($columns) VALUES $rows")
[ -z "$out" ] || fail "the station role could not add records: $out"

# What each role may do.
as_role pelorin_station "SELECT count(*) FROM pelorin_records" | grep -qx 22 ||
  fail "the station role cannot read the 22 records"
for sql in "UPDATE pelorin_records SET result = 'verified'" "DELETE FROM pelorin_records" \
    "CREATE TABLE t (x int)" "INSERT INTO pelorin_schema (version) VALUES (2)"; do
  as_role pelorin_station "$sql" | grep -q 'permission denied' ||
    fail "the station role may: $sql"
done
as_role pelorin_report "SELECT count(*) FROM pelorin_yield_by_station" | grep -qx 3 ||
  fail "the report role cannot read the views"
as_role pelorin_report "INSERT INTO pelorin_records ($columns) SELECT $columns FROM pelorin_records LIMIT 1" |
  grep -q 'permission denied' || fail "the report role may add records"

check() {  # check WHAT SQL EXPECTED: the query's rows, joined by spaces, must be EXPECTED
  local got
  got=$(su_psql -At -F , -c "$2" | tr '\n' ' ' | sed 's/ $//')
  [ "$got" = "$3" ] || fail "$1: got \"$got\", expected \"$3\""
}
# station, flashes, verified, failed, yield, units, first-pass verified, first-pass yield
check "yield by station" "SELECT * FROM pelorin_yield_by_station ORDER BY station" \
  "A,6,2,4,33,5,1,20 B,5,4,1,80,4,3,75 C,8,1,7,13,8,1,13"
check "yield by port" "SELECT * FROM pelorin_yield_by_port ORDER BY station, port" \
  "A,P1,3,2,1,67,2,1,50 A,P2,3,0,3,0,3,0,0 B,P1,5,4,1,80,4,3,75 C,P9,8,1,7,13,8,1,13"
check "yield by hour" \
  "SELECT to_char(hour_utc, 'HH24'), flashes, verified, failed, yield_percent, units,
          first_pass_verified, first_pass_yield_percent FROM pelorin_yield_by_hour ORDER BY 1" \
  "10,6,2,4,33,5,1,20 11,5,4,1,80,4,3,75 12,8,1,7,13,8,1,13"
check "ports to check" "SELECT station, port, last_result FROM pelorin_ports_to_check ORDER BY 1, 2" \
  "A,P2,image-error C,P9,not-started"
check "units reflashed" \
  "SELECT serial, flashes, verified, stations, last_result FROM pelorin_units_reflashed" \
  "S1,3,2,2,verified"
check "latest record per unit" \
  "SELECT serial, station, result FROM pelorin_latest_unit WHERE serial IN ('S1', 'S3', 'S4', 'S9')
    ORDER BY serial" \
  "S1,B,verified S3,A,already-verified S4,A,cancelled S9,B,already-verified"
check "units known" "SELECT count(*) FROM pelorin_latest_unit" "17"

if [ $failures -gt 0 ]; then
  echo "fleet schema: $failures check(s) failed" >&2
  exit 1
fi
echo "fleet schema: applied twice, roles and views right"
