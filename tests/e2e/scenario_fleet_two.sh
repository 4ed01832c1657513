# Fleet scenario; see fleet_runs.sh.
. "$here/fleet_runs.sh"

# fleet_unit K PID SERIAL CONTROLLER PORT: devsim's device K, a USB unit (product PID, SERIAL may be
# empty) at port PORT of the hub below CONTROLLER: 1400 is station A's, 1500 station B's.
fleet_unit() {
  local serial=${3:+:$3}
  echo "$1:usb=1234:$2$serial,location-path=PCIROOT(0)#PCI($4)#USBROOT(0)#USB(1)#USB($5)"
}

# Two stations on one database, side by side: A (--name LINE-A) flashes SN-V (verified), SN-F
# (its verification fails) and a unit without a serial number; then the same serial numbers
# arrive at B: SN-V is already verified there (the fleet knew it), SN-F is flashed. A's log held a
# record of an earlier run whose serial number and message are every awkward text at once
# (quotes, backslashes, Korean, 1,000 characters): its identity is kept, and it reaches the
# database exactly. The database then holds exactly both logs, and its views give the figures
# the logs give (and the stations' own summaries).
scenario_fleet_two() {
  fleet_start || return
  fleet_db fleet_two || { fail "the database was not made"; return; }
  local image=$work/fleet-two.nb0 logA=$work/fleet-two-a.jsonl logB=$work/fleet-two-b.jsonl
  make_image "$image" 65536
  rm -f "$logA" "$logB"
  local sha identity=0f1e2d3c-4b5a-4697-8877-665544332211 odd="" i
  sha=$(sha256sum "$image" | cut -d' ' -f1)
  for i in $(seq 250); do odd+='q"\한'; done
  printf '{"log": "%s", "time": "2026-12-08T06:00:00.000Z", "station": "LINE-A", "sequence": 1, "port": "P0", "path": "", "instance": "", "serial": %s, "image": {"path": "Z:\\\\old.nb0", "size": 65536, "byteSum": 1, "sha256": "%s"}, "result": "already-verified", "bytesSent": 0, "seconds": 0.0, "message": %s, "knownFrom": "log"}\n' \
    "$identity" "$(jq -n --arg s "$odd" '$s')" "$sha" "$(jq -n --arg s "다시 \\ \"$odd\"" '$s')" >"$logA"
  expect_eq "the earlier record's serial" "$(jq -r '.serial | length' "$logA")" 1000

  start_devsim 6 --image "$(win_path "$image")" \
    --device "$(fleet_unit 0 5678 SN-V 1400 1)" \
    --device "$(fleet_unit 1 5678 SN-F 1400 2),verierr" \
    --device "$(fleet_unit 2 5678 '' 1400 3)" \
    --device "$(fleet_unit 3 5679 SN-V 1500 1),arrive=8000" \
    --device "$(fleet_unit 4 5679 SN-F 1500 2),arrive=8000" \
    --device "$(fleet_unit 5 5679 SN-N 1500 3),arrive=8000" || return
  (run_win "$cli_exe" --station --log "$(win_path "$logA")" --database DSN=fleet_two --name LINE-A \
     --port "PCIROOT(0)#PCI(1400)*" --count 3 "$(win_path "$image")" >"$work/fleet-a.out" \
     2>"$work/fleet-a.err"
   echo $? >"$work/fleet-a.status") &
  local runner=$!
  station fleet-b --log "$(win_path "$logB")" --database DSN=fleet_two \
    --port "PCIROOT(0)#PCI(1500)*" --count 3 "$(win_path "$image")"
  wait "$runner"
  stop_devsim
  echo "station fleet-a: exit $(cat "$work/fleet-a.status")"
  sed 's/^/  | /' "$work/fleet-a.out" "$work/fleet-a.err"
  expect_eq "A's exit (SN-F failed)" "$(cat "$work/fleet-a.status")" 1
  expect_eq "B's exit" "$cli_status" 0

  local nameB identityB
  nameB=$(jq -r .station "$logB" | sort -u)
  identityB=$(jq -r .log "$logB" | sort -u)
  expect_eq "A's new records" \
    "$(log_of "$logA" 'select(.sequence > 1) | "\(.serial) \(.result) \(.knownFrom) \(.station) \(.log)"' | sort)" \
" verified none LINE-A $identity
SN-F verification-error fleet LINE-A $identity
SN-V verified fleet LINE-A $identity"
  expect_eq "B's records" "$(log_of "$logB" '"\(.serial) \(.result) \(.knownFrom)"' | sort)" \
"SN-F verified fleet
SN-N verified fleet
SN-V already-verified fleet"
  [ -n "$nameB" ] && [ "$nameB" != LINE-A ] || fail "B's records name no station of their own: \"$nameB\""
  [[ $identityB =~ ^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$ ]] ||
    fail "B's log identity is no UUID v4: \"$identityB\""
  expect_eq "SN-V was not opened at B" "$(grep '^device=3 ' "$summary" | grep -o 'sessions=[0-9]*')" \
    "sessions=0"
  expect_contains "A told the database's state" "$(cat "$work/fleet-a.err")" \
    "PelorinCli: database: up to date"
  expect_eq "no password warning with a DSN" "$(grep -c warning "$work/fleet-a.err" "$work/fleet-b.err" | cut -d: -f2 | paste -sd+)" "0+0"

  expect_database_is_logs fleet_two "$logA" "$logB"
  expect_eq "the awkward serial, stored" \
    "$(fleet_sql fleet_two "SELECT length(serial), serial = message FROM pelorin_records WHERE log = '$identity' AND sequence = 1")" \
    "1000|f"

  # The supervisors' views against the logs: per station, its flashes, verified, failed, yield
  # and first-pass yield (of its units with a serial number, those whose first flash there
  # verified), each rounded as the engine rounds.
  local from_logs
  from_logs=$(cat "$logA" "$logB" | jq -s -r '
    def pct(v; n): if n == 0 then "" else ((v * 100 + (n / 2 | floor)) / n | floor | tostring) end;
    map(select(.result | IN("verified", "verification-error", "link-error", "image-error",
                            "not-started")))
    | group_by(.station)[]
    | (map(select(.result == "verified")) | length) as $v | length as $n
    | (map(select(.serial != "")) | group_by(.serial) | map(sort_by(.time) | .[0].result == "verified"))
        as $firsts
    | "\(.[0].station)|\($n)|\($v)|\($n - $v)|\(pct($v; $n))|\($firsts | length)|\(pct($firsts | map(select(.)) | length; $firsts | length))"')
  expect_eq "yield by station, from the logs" "$from_logs" "LINE-A|3|2|1|67|2|50
$nameB|2|2|0|100|2|100"
  expect_eq "yield by station, the view" \
    "$(fleet_sql fleet_two "SELECT station, flashes, verified, failed, yield_percent, units,
         coalesce(first_pass_yield_percent::text, '') FROM pelorin_yield_by_station ORDER BY station")" \
    "$from_logs"
  expect_contains "A's own summary" "$(tail -n 1 "$work/fleet-a.out")" ", yield 67 %"
  expect_contains "B's own summary" "$(tail -n 1 "$work/fleet-b.out")" ", yield 100 %"
  expect_eq "units flashed more than once" \
    "$(fleet_sql fleet_two "SELECT serial, flashes, stations, last_result FROM pelorin_units_reflashed")" \
    "SN-F|2|2|verified"
  expect_eq "SN-V's latest record anywhere" \
    "$(fleet_sql fleet_two "SELECT station, result FROM pelorin_latest_unit WHERE serial = 'SN-V'")" \
    "$nameB|already-verified"

  # B again, with 8,000 records in its log that the database lacks (written while it was away),
  # ending at once (its one unit already verified, decided within its first listing): what its
  # shipper has not sent by then gets up to 2 s, so the database holds the whole log as it ends.
  line=$(head -n 1 "$logB") awk 'BEGIN {
      for (s = 4; s <= 8003; s++) {
        l = ENVIRON["line"]; sub(/"sequence": 1,/, "\"sequence\": " s ",", l); print l } }' >>"$logB"
  start_devsim 1 --image "$(win_path "$image")" --device "$(fleet_unit 0 5679 SN-N 1500 3)" || return
  station fleet-b2 --log "$(win_path "$logB")" --database DSN=fleet_two \
    --port "PCIROOT(0)#PCI(1500)*" --count 1 "$(win_path "$image")"
  stop_devsim
  expect_eq "B again: its record" "$(tail -n 1 "$logB" | jq -r '"\(.sequence) \(.serial) \(.result)"')" \
    "8004 SN-N already-verified"
  expect_eq "B again: the whole log in the database as the station ended" \
    "$(fleet_sql fleet_two "SELECT count(*), max(sequence) FROM pelorin_records WHERE log = '$identityB'")" \
    "8004|8004"
}
