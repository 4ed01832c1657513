#!/usr/bin/env bash
# Benchmark (not a test; CI does not run it): a station with a database (PelorinCli.exe --station
# --database) against a private PostgreSQL 15, under Wine.
#
#   bench/fleet_live.sh [BUILD_DIR] [--rounds N] [--size BYTES[K|M]]
#
#   BUILD_DIR   a Windows build folder (default build/win32: the 32-bit exe, as shipped) holding
#               PelorinCli.exe and devsim.exe
#   --rounds N  rounds (default 3) of the three arrival runs
#   --size S    the live run's image size (default 64K; K and M are binary)
#
# Each round runs three stations, each to --count 16, against 16 USB-like devsim.exe units with
# serial numbers of their own arriving one by one, 0.37 s apart, with a 64 KiB image: the time
# from each unit's arrival (devsim makes it listed) to its magic (the station's first write), in
# devsim's clock, as bench/station.sh measures it:
#   plain     no database
#   fleet     --database: each unit is asked of the database before it starts (the fleet
#             decision; the database knows none of them, so each is flashed)
#   outage    --database with the server stopped: the station knows it cannot be reached and
#             decides from its own log
# Target: p95 <= 0.6 s in each, the fleet's no worse than plain's.
# Then the live run: 64 units without serial numbers present at once, --max-devices 64, each
# leaving 300 ms after its download and back 4 s later (a listing of 64 units takes long enough
# under Wine that a shorter absence may go unseen), until 640 records; for every record, the
# database's receive time (the row's "received") minus the record's time. Target: p95 <= 1 s.
# The table goes to stdout and BUILD_DIR/bench/fleet_live.txt.
#
# Exit status: 0 when every run ended with every unit verified and the database holds every
# record, 1 otherwise, 2 on bad use.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)

. "$here/wine_bench.sh"
. "$here/fleet_bench.sh"

default_build=$repo/build/win32 default_size=65536
round_options 4 13 "$@"
devsim=$build/tools/devsim/devsim.exe cli=$build/src/cli/PelorinCli.exe
for f in "$devsim" "$cli"; do [ -f "$f" ] || { echo "fleet_live.sh: $f not found" >&2; exit 2; }; done

bench_cleanup_more() { fleet_database_end; }
bench_start fleet_live 500 599 || exit 1
fleet_database "$work/cluster" || { echo "fleet_live.sh: no database" >&2; exit 1; }

# station NAME COUNT ARGS...: one station to --count COUNT; sets ok (it ended with exit 0).
station() {
  local name=$1 count=$2
  shift 2
  rm -f "$work/$name.jsonl"
  run_win "$cli" --station --log "$(win_path "$work/$name.jsonl")" --count "$count" "$@" \
    >"$work/$name.log" 2>&1
  local status=$?
  ok=0
  [ "$status" = 0 ] && [ "$(jq -r .result "$work/$name.jsonl" | grep -c '^verified$')" = "$count" ] && ok=1
}

small=$work/small.nb0 image=$work/live.nb0
head -c 65536 /dev/urandom >"$small"
head -c "$size" /dev/urandom >"$image"
failed=0
: >"$work/plain.ms"; : >"$work/fleet.ms"; : >"$work/outage.ms"
for round in $(seq "$rounds"); do
  for mode in plain fleet outage; do
    mapfile -t options < <(units 16 "R$round${mode:0:1}-")
    for k in $(seq 0 15); do options[$((2 * k + 1))]+=",arrive=$((1000 + k * 370))"; done
    [ "$mode" = outage ] && fleet_server stop
    serve 16 "${options[@]}" || exit 1
    database=()
    [ "$mode" != plain ] && database=(--database DSN=fleet)
    station "$mode" 16 --max-devices 16 "${database[@]}" "$(win_path "$small")"
    stop_devsim
    [ "$mode" = outage ] && fleet_server start
    [ "$ok" = 1 ] || { echo "round $round: the $mode run failed" >&2; failed=1; }
    grep ' session=' "$work/run.summary" | sed -n 's/.* arrivedMs=\([0-9-]*\).* magicMs=\([0-9-]*\).*/\1 \2/p' |
      awk '$1 >= 0 && $2 >= 0 { print $2 - $1 }' >>"$work/$mode.ms"
  done
  echo "round $round done" >&2
done

# The live run.
records=640
options=()
for k in $(seq 0 63); do
  options+=(--device "$k:usb=1234:5678,location=Port_#$(printf %04d $((k + 1))).Hub_#0001,leave-after-end=300,return=4000*40")
done
serve 64 "${options[@]}" || exit 1
station live "$records" --max-devices 64 --database DSN=fleet "$(win_path "$image")"
stop_devsim
[ "$ok" = 1 ] || { echo "the live run failed" >&2; failed=1; }
identity=$(jq -r .log "$work/live.jsonl" | sort -u)
stored=$(fleet_psql -d fleet -At -c "SELECT count(*) FROM pelorin_records WHERE log = '$identity'")
[ "$stored" = "$records" ] || { echo "the database holds $stored of the live run's $records records" >&2; failed=1; }
lags=$(fleet_psql -d fleet -At -F ' ' -c "SELECT
    round(1000 * percentile_cont(0.5) WITHIN GROUP (ORDER BY extract(epoch FROM received - time))),
    round(1000 * percentile_cont(0.95) WITHIN GROUP (ORDER BY extract(epoch FROM received - time))),
    round(1000 * max(extract(epoch FROM received - time))), count(*)
  FROM pelorin_records WHERE log = '$identity'")

{
  echo "fleet benchmark ($arch): $rounds rounds of 16 arrivals each way, then $records live records of 64 units ($size-byte image)"
  for mode in plain fleet outage; do
    sort -n "$work/$mode.ms" | awk -v mode="$mode" '{ v[NR] = $1 } END {
      p50 = v[int((NR + 1) * 0.50)]; p95 = v[int(NR * 0.95 + 0.999)]
      printf "arrival to first byte, %-6s: %d units, p50 %d ms, p95 %d ms, max %d ms (target p95 <= 600 ms)\n", mode, NR, p50, p95, v[NR] }'
  done
  read -r p50 p95 max count <<<"$lags"
  echo "log to database, 64 units: $count records, p50 $p50 ms, p95 $p95 ms, max $max ms (target p95 <= 1000 ms); the database holds $stored of $records"
} | tee "$result_file"
exit "$failed"
