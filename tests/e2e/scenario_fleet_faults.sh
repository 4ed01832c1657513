# Fleet scenario; see fleet_runs.sh.
. "$here/fleet_runs.sh"

# fleet_unit K PID SERIAL CONTROLLER PORT: devsim's device K, a USB unit (product PID, SERIAL may be
# empty) at port PORT of the hub below CONTROLLER: 1400 is station A's, 1500 station B's.
fleet_unit() {
  local serial=${3:+:$3}
  echo "$1:usb=1234:$2$serial,location-path=PCIROOT(0)#PCI($4)#USBROOT(0)#USB(1)#USB($5)"
}
# wait_text FILE TEXT SECONDS: until FILE holds TEXT.
wait_text() {
  local deadline=$((SECONDS + $3))
  while [ $SECONDS -lt $deadline ]; do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.2
  done
  return 1
}
# The longest time, in ms, between two records of a log one after the other.
longest_gap_ms() {
  jq -R -s -r '[split("\n")[] | fromjson? | .time | sub("\\.(?<ms>[0-9]+)Z$"; "Z") as $s |
      ($s | fromdateiso8601) * 1000 + (.[20:23] | tonumber)] | sort |
      [range(1; length) as $i | .[$i] - .[$i - 1]] | max // 0' "$1"
}

# A shift of two stations, A (PelorinCli.exe) and B (PelorinStation.exe), with units coming and
# going on each: two without a serial number again and again, and units with a serial number of
# their own one by one. The database ends the stations' connections from its side; then it is
# stopped for 30 s: both stations go on flashing and logging (no long gap between two records, and
# a unit with a serial number arriving meanwhile starts without waiting for the database), the
# console says the database is offline and the board's header too; A is killed in the middle of
# the outage and started again on its log. Once the server is back, both catch up: at the end the
# database holds exactly the records of both logs, every field, none missing, none twice.
scenario_fleet_faults() {
  fleet_start || return
  fleet_db fleet_faults || { fail "the database was not made"; return; }
  local image=$work/fleet-faults.nb0 logA=$work/fleet-faults-a.jsonl logB=$work/fleet-faults-b.jsonl
  make_image "$image" 65536
  rm -f "$logA" "$logB"
  local options=() k
  for k in 0 1; do
    options+=(--device "$(fleet_unit $k 5678 '' 1400 $((k + 1))),leave-after-end=300,return=1000*80")
    options+=(--device "$(fleet_unit $((k + 2)) 5678 '' 1500 $((k + 1))),leave-after-end=300,return=1000*80")
  done
  for k in $(seq 0 13); do
    options+=(--device "$(fleet_unit $((k + 4)) 5678 "SN-A$k" 1400 $((k + 3))),arrive=$((2000 + k * 4000)),leave-after-end=300")
  done
  for k in $(seq 0 8); do
    options+=(--device "$(fleet_unit $((k + 18)) 5679 "SN-B$k" 1500 $((k + 3))),arrive=$((3000 + k * 6000)),leave-after-end=300")
  done
  start_devsim 27 --image "$(win_path "$image")" "${options[@]}" || return
  local origin=$(($(date +%s%N) / 1000000))  # devsim's time zero, give or take 0.1 s
  local argsA=(--station --log "$(win_path "$logA")" --database DSN=fleet_faults --name LINE-A
               --port "PCIROOT(0)#PCI(1400)*" "$(win_path "$image")")
  (run_win "$cli_exe" "${argsA[@]}" >"$work/fleet-a1.out" 2>"$work/fleet-a1.err") &
  local runner=$!
  start_board --lang en --log "$(win_path "$logB")" --database DSN=fleet_faults --name LINE-B \
    --port "PCIROOT(0)#PCI(1500)*" "$(win_path "$image")"
  drv wait-window "Pelorin Station" 30000 || fail "the board did not appear"
  drv board-wait "database: up to date |" 20000 || fail "the board's database is not up to date"

  sleep 6
  echo "fleet: the server ends the stations' connections: $(bash "$cluster_sh" terminate "$fleet_cluster" pelorin_station)"
  sleep 4
  local atStop=$(($(records_in "$logA") + $(records_in "$logB")))
  bash "$cluster_sh" stop "$fleet_cluster" || fail "the server did not stop"
  local stopped=$(($(date +%s%N) / 1000000))
  echo "fleet: the server stopped, $atStop records in the logs"
  drv board-wait "database offline since " 20000 || fail "the board's header does not say the database is offline"
  wait_text "$work/fleet-a1.err" "PelorinCli: database offline since " 20 ||
    fail "A did not say the database is offline"
  shot outage
  sleep 8
  local pid
  pid=$(cli_pid "$runner") && kill -KILL "$pid"
  wait "$runner" 2>/dev/null
  echo "fleet: A killed (pid $pid) with $(records_in "$logA") records in its log; started again"
  (run_win "$cli_exe" "${argsA[@]}" >"$work/fleet-a2.out" 2>"$work/fleet-a2.err") &
  runner=$!
  wait_text "$work/fleet-a2.err" "PelorinCli: the database cannot be reached (" 20 ||
    fail "A, started again, did not say the database cannot be reached"
  while [ $(($(date +%s%N) / 1000000 - stopped)) -lt 30000 ]; do sleep 0.2; done
  local atStart=$(($(records_in "$logA") + $(records_in "$logB")))
  bash "$cluster_sh" start "$fleet_cluster" >/dev/null || fail "the server did not start again"
  local started=$(($(date +%s%N) / 1000000))
  echo "fleet: the server back after $(((started - stopped) / 1000)) s; the logs went from $atStop to $atStart records meanwhile"
  [ $((atStart - atStop)) -ge 10 ] || fail "the stations flashed too little while the database was away"
  drv board-wait "database: up to date |" 30000 || fail "the board did not catch up"
  wait_text "$work/fleet-a2.err" "PelorinCli: database: up to date" 30 || fail "A did not catch up"
  sleep 3

  # The end: A by Ctrl+C, the board by its Stop (yes, also with units in flight).
  pid=$(cli_pid "$runner") && kill -INT "$pid"
  wait "$runner"
  local statusA=$?
  drv board-stop
  drv wait-box 3000 >/dev/null && drv press-box 6 >/dev/null
  wait_board 30
  stop_devsim
  local f
  for f in fleet-a1 fleet-a2; do echo "$f:"; sed 's/^/  | /' "$work/$f.err"; done
  # A unit in flight when A was killed leaves soon after (its session broke); the new A may
  # catch it just before: "removed while being flashed", a failure (exit 1) of no consequence here.
  [ "$statusA" = 0 ] || [ "$statusA" = 130 ] ||
    { [ "$statusA" = 1 ] && [ -z "$(jq -r 'select(.result | IN("verified", "already-verified",
        "cancelled") | not) | select(.message != "the unit was removed while it was being flashed")
        | .sequence' "$logA")" ]; } || fail "A ended with $statusA"
  [ "$board_status" = 0 ] || [ "$board_status" = 130 ] || fail "the board ended with $board_status"

  expect_database_is_logs fleet_faults "$logA" "$logB"
  expect_eq "one log each: A's kept its identity across the kill" \
    "$(jq -r .log "$logA" | sort -u | wc -l) $(jq -r .log "$logB" | sort -u | wc -l)" "1 1"
  local gapA gapB
  gapA=$(longest_gap_ms "$logA")
  gapB=$(longest_gap_ms "$logB")
  echo "measure: the longest time between two records: A $gapA ms (killed and started again), B $gapB ms"
  [ "$gapB" -le 12000 ] || fail "B's records stopped for $gapB ms"
  [ "$gapA" -le 12000 ] || fail "A's records stopped for $gapA ms"
  # Units with a serial number (devices 4 and up) that arrived while the server was away: from
  # arrival to their
  # first byte as quickly as ever (the station knew the database was away: nobody waited on it).
  local late
  late=$(grep ' session=' "$summary" | while read -r line; do
    local arrived magic
    arrived=$(field "$line" arrivedMs)
    magic=$(field "$line" magicMs)
    [ "$arrived" -ge $((stopped - origin + 1000)) ] && [ "$arrived" -le $((started - origin)) ] &&
      [ "$magic" -ge 0 ] && [ "$(field "$line" device)" -ge 4 ] && echo "$((magic - arrived))"
  done | sort -n | tr '\n' ' ')
  echo "measure: arrival to first byte of the units with a serial number during the outage: $late ms"
  [ -n "$late" ] || fail "no unit with a serial number arrived during the outage"
  for k in $late; do [ "$k" -le 1800 ] || fail "a unit waited $k ms from its arrival to its first byte during the outage"; done
}
