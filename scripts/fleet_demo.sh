#!/usr/bin/env bash
# The fleet in one command: a private PostgreSQL 15 with Pelorin's schema, two stations on one
# database (PelorinCli.exe --station as LINE-A, the board PelorinStation.exe as LINE-B) flashing
# simulated units that come and go for about a minute, the database stopped for a few seconds in
# the middle, then the supervisors' views as psql shows them and the board's screenshots.
#
#   bash scripts/fleet_demo.sh
#
# Everything runs on this machine and goes away afterwards: the cluster (in the build tree, run as
# the postgres user, on a free port of 127.0.0.1), the Wine prefix's programs, the virtual display
# (when DISPLAY is unset). The stations reach the database as a station PC should: an ODBC data
# source (DSN=pelorin-demo) and the password in the PostgreSQL password file, never on a command
# line. Needs root (the packages, and the cluster's user). Environment: PELORIN_JOBS.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh >/dev/null || exit 1
jobs=${PELORIN_JOBS:-2}
if /usr/lib/wine/wine --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wineserver32 ]; then
  preset=win32 arch=i686 server=/usr/lib/wine/wineserver32
else
  preset=win64 arch=x86_64 server=/usr/lib/wine/wineserver64
fi
[ -x "$server" ] || server=/usr/lib/wine/wineserver
dir=$root/build/$preset
echo "demo: building $preset (PelorinCli, PelorinStation, devsim, e2e_driver)"
if ! { cmake --preset "$preset" >"$dir.log" 2>&1 &&
  cmake --build --preset "$preset" -j "$jobs" --target PelorinCli PelorinStation devsim e2e_driver \
    >>"$dir.log" 2>&1; }; then
  tail -n 40 "$dir.log"
  echo "demo: the build failed (log: $dir.log)"
  exit 1
fi
rm -f "$dir.log"

cli=$dir/src/cli/PelorinCli.exe board=$dir/src/board/PelorinStation.exe
devsim=$dir/tools/devsim/devsim.exe driver=$dir/tests/e2e/e2e_driver.exe
work=$dir/fleet-demo
prefix=$work/wineprefix cluster=$work/cluster shots=$work/shots
mkdir -p "$work" "$shots"
rm -f "$work"/*.jsonl "$work"/*.out "$work"/*.err "$shots"/*.png

xvfb_pid="" devsim_pid="" cli_runner="" board_runner=""
cleanup() {
  touch "$work/devsim.stop" 2>/dev/null
  [ -n "$cli_runner$board_runner" ] && sleep 1
  WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  bash "$root/cmake/pg-cluster.sh" destroy "$cluster"
  wait 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The database: a cluster of its own, the schema and the example roles, as a factory applies them.
cluster_sh() { bash "$root/cmake/pg-cluster.sh" "$@"; }
cluster_sh destroy "$cluster"
cluster_sh start "$cluster" >/dev/null || { echo "demo: PostgreSQL did not start"; exit 1; }
port=$(cluster_sh port "$cluster")
cluster_sh psql "$cluster" -d postgres -c "CREATE DATABASE pelorin ENCODING 'UTF8' TEMPLATE template0" \
  >/dev/null || exit 1
cluster_sh psql "$cluster" -d pelorin -c 'SET client_min_messages = warning' \
  -f sql/pelorin-fleet.sql -f sql/pelorin-fleet-grants.sql \
  -c "ALTER ROLE pelorin_station PASSWORD 'demo-station'" \
  -c "ALTER ROLE pelorin_report PASSWORD 'demo-report'" >/dev/null || exit 1
echo "demo: PostgreSQL on 127.0.0.1:$port, database pelorin with sql/pelorin-fleet.sql and the example grants"

# The stations' data source and password file (on Windows: the ODBC Data Source Administrator and
# %APPDATA%\postgresql\pgpass.conf; here unixODBC's files, which Wine's odbc32.dll reads).
export ODBCSYSINI=$work/odbc PGPASSFILE=$work/pgpass
mkdir -p "$ODBCSYSINI"
printf '[PostgreSQL Unicode]\nDriver=psqlodbcw.so\n' >"$ODBCSYSINI/odbcinst.ini"
printf '[pelorin-demo]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=%s\nDatabase=pelorin\nUsername=pelorin_station\nSSLmode=disable\n' \
  "$port" >"$ODBCSYSINI/odbc.ini"
printf '127.0.0.1:%s:pelorin:pelorin_station:demo-station\n127.0.0.1:%s:pelorin:pelorin_report:demo-report\n' \
  "$port" "$port" >"$PGPASSFILE"
chmod 600 "$PGPASSFILE"
report() {  # the supervisors' view: psql as the report role, over TCP with the password file
  psql -X -q -h 127.0.0.1 -p "$port" -U pelorin_report -d pelorin -P footer=off "$@"
}

if [ -z "${DISPLAY:-}" ]; then
  . "$root/cmake/xvfb.sh"
  start_private_xvfb 400 499 || { echo "demo: no free virtual display"; exit 1; }
fi
export LC_ALL=ko_KR.UTF-8 LANG=ko_KR.UTF-8
. "$root/cmake/wine-procs.sh"  # program_pid
run_win() { "$root/cmake/wine-run.sh" "$arch" "$prefix" "$@"; }
drv() { run_win "$driver" "$@"; }
shot() { import -display "$DISPLAY" -window root "$shots/$1.png" && echo "$shots/$1.png"; }
win() { local p=$1; echo "Z:${p//\//\\}"; }
echo "demo: preparing the Wine prefix (the first time takes a few seconds)"
run_win cmd /c exit 0 >/dev/null 2>&1 || { echo "demo: Wine does not start"; exit 1; }
if [ -n "$xvfb_pid" ] && [ ! -f "$prefix/.demo-ready" ]; then
  run_win reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  run_win reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
  touch "$prefix/.demo-ready"
fi

# The units: on LINE-A's hub (controller PCI(1400)) and LINE-B's (PCI(1500)), units without a
# serial number that come back again and again, units with one that come once, a port whose
# units always fail; and units flashed at A that are then plugged in at B (the same serial
# number): SN-1002 verified at A is already verified at B, SN-1001 failed at A is flashed at B.
image=$work/os.nb0
head -c $((256 * 1024)) /dev/urandom >"$image"
unit() {  # K PID SERIAL CONTROLLER PORT [OPTIONS]
  echo "--device"
  echo "$1:usb=1234:$2${3:+:$3},location-path=PCIROOT(0)#PCI($4)#USBROOT(0)#USB(1)#USB($5)${6:+,$6}"
}
units=(
  $(unit 0 5678 '' 1400 1 leave-after-end=400,return=1500*40)
  $(unit 1 5678 '' 1400 2 leave-after-end=400,return=1500*40)
  $(unit 2 5678 SN-1001 1400 3 verierr,leave-after-end=400)
  $(unit 3 5678 SN-1002 1400 4 arrive=1000,leave-after-end=400)
  $(unit 4 5678 SN-1003 1400 5 arrive=3000,leave-after-end=400)
  $(unit 5 5678 '' 1400 6 verierr,leave-after-end=400,return=1500*40)
  $(unit 6 5679 '' 1500 1 leave-after-end=400,return=1500*40)
  $(unit 7 5679 '' 1500 2 arrive=500,leave-after-end=400,return=1500*40)
  $(unit 8 5679 SN-1001 1500 3 arrive=12000,leave-after-end=400)
  $(unit 9 5679 SN-1002 1500 4 arrive=12000)
  $(unit 10 5679 SN-2001 1500 5 arrive=20000,leave-after-end=400)
  $(unit 11 5679 SN-2002 1500 6 arrive=28000,leave-after-end=400)
  $(unit 12 5679 SN-2003 1500 7 arrive=36000,leave-after-end=400)
)
rm -f "$work/devsim.ready" "$work/devsim.stop"
run_win "$devsim" --devices 13 --image "$(win "$image")" "${units[@]}" \
  --ready "$(win "$work/devsim.ready")" --stop "$(win "$work/devsim.stop")" --timeout 600 \
  >"$work/devsim.log" 2>&1 &
devsim_pid=$!
for _ in $(seq 300); do [ -f "$work/devsim.ready" ] && break; sleep 0.1; done
[ -f "$work/devsim.ready" ] || { echo "demo: the simulated units did not start"; exit 1; }
echo "demo: 13 simulated units, coming and going"

run_win "$cli" --station --log "$(win "$work/line-a.jsonl")" --database DSN=pelorin-demo \
  --name LINE-A --port "PCIROOT(0)#PCI(1400)*" "$(win "$image")" >"$work/line-a.out" \
  2>"$work/line-a.err" &
cli_runner=$!
run_win "$board" --lang en --log "$(win "$work/line-b.jsonl")" --database DSN=pelorin-demo --name LINE-B \
  --port "PCIROOT(0)#PCI(1500)*" "$(win "$image")" >"$work/line-b.out" 2>&1 &
board_runner=$!
drv wait-window "Pelorin Station" 30000 >/dev/null || { echo "demo: the board did not appear"; exit 1; }
echo "demo: LINE-A (PelorinCli --station) and LINE-B (PelorinStation.exe) run on one database"

sleep 20
board_header() { drv board-texts | sed -n 's/^header|.* | \(database[^|]*\) |.*/\1/p'; }
echo "demo: LINE-B's header: $(board_header)"
cluster_sh stop "$cluster"
echo "demo: the database is stopped; the stations go on flashing"
sleep 6
echo "demo: LINE-B's header: $(board_header)"
offline=$(shot board-database-offline)
sleep 2
cluster_sh start "$cluster" >/dev/null
echo "demo: the database is back"
drv board-wait "database: up to date |" 30000 >/dev/null
echo "demo: LINE-B's header: $(board_header)"
sleep 22
upToDate=$(shot board-shift)

echo "demo: ending both stations"
pid=$(program_pid "$cli_runner" PelorinCli.exe) && kill -INT "$pid"
wait "$cli_runner" 2>/dev/null
drv board-stop >/dev/null
drv wait-box 3000 >/dev/null 2>&1 && drv press-box 6 >/dev/null
wait "$board_runner" 2>/dev/null
cli_runner="" board_runner=""

echo
echo "LINE-A's console (standard error):"
sed 's/^/  /' "$work/line-a.err"
records=$(cat "$work/line-a.jsonl" "$work/line-b.jsonl" | wc -l)
rows=$(report -At -c "SELECT count(*) FROM pelorin_records")
echo
echo "The logs hold $records records; the database holds $rows rows."
echo
echo "psql, as the report role: yield and first-pass yield per station"
report -c "SELECT * FROM pelorin_yield_by_station ORDER BY station"
echo "per port"
report -c "SELECT station, port, flashes, verified, failed, yield_percent FROM pelorin_yield_by_port ORDER BY station, port"
echo "ports whose last three flashes failed"
report -c "SELECT station, port, last_result, last_message FROM pelorin_ports_to_check"
echo "units flashed more than once, anywhere"
report -c "SELECT serial, flashes, verified, stations, last_result FROM pelorin_units_reflashed"
echo "the latest record of the units that went from LINE-A to LINE-B"
report -c "SELECT serial, station, result, time FROM pelorin_latest_unit WHERE serial IN ('SN-1001', 'SN-1002') ORDER BY serial"
echo "who decided \"already verified\", per station"
report -c "SELECT station, known_from, count(*) FROM pelorin_records GROUP BY 1, 2 ORDER BY 1, 2"
echo "the board's screenshots: $offline (the database stopped), $upToDate (after it)"
[ "$records" = "$rows" ] || { echo "demo: the database does not hold every record"; exit 1; }
echo "demo: done"
