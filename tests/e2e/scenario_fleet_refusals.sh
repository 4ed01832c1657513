# Fleet scenario; see fleet_runs.sh.
. "$here/fleet_runs.sh"

# What a station does not take: a database without the fleet's schema (exit 2 before anything is
# touched, a line naming the file to apply, no log left behind); a wrong password in a
# connection string (warned about, never shown; a clear line; the station flashes without the
# database). The board's start form checks its Database field the same way and warns the same,
# then runs with the database: its header says so, and the database gets its record.
scenario_fleet_refusals() {
  fleet_start || return
  { fleet_db fleet_bare bare && fleet_db fleet_refusals; } || { fail "the databases were not made"; return; }
  local image=$work/fleet-refusals.nb0 log=$work/fleet-refusals.jsonl boardLog=$work/fleet-board.jsonl
  local wrong=wrong-$RANDOM$RANDOM
  local connection="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$fleet_port;Database=fleet_refusals;UID=pelorin_station;PWD=$wrong"
  make_image "$image" 65536
  rm -f "$log" "$boardLog"
  start_devsim 1 --image "$(win_path "$image")" --device "$(usb_device 0 SN-W Port_#0001.Hub_#0001)" ||
    return

  station bare --log "$(win_path "$log")" --database DSN=fleet_bare --count 1 "$(win_path "$image")"
  expect_eq "no schema: exit" "$cli_status" 2
  expect_eq "no schema: the line" "$(cat "$work/bare.err")" \
    "PelorinCli: the database has no fleet schema: apply pelorin-fleet.sql to it (a station never creates tables)"
  [ ! -e "$log" ] || fail "a station refused for its database left a log behind"
  expect_eq "no schema: no table made" \
    "$(fleet_sql fleet_bare "SELECT count(*) FROM pg_tables WHERE schemaname = 'public'")" 0

  station wrong --log "$(win_path "$log")" --database "$connection" --count 1 "$(win_path "$image")"
  expect_eq "wrong password: exit" "$cli_status" 0
  expect_contains "wrong password: warned" "$(cat "$work/wrong.err")" \
    "PelorinCli: warning: the database's connection string holds a password (PWD=)"
  expect_contains "wrong password: the safer places" "$(cat "$work/wrong.err")" \
    "an ODBC data source (DSN=name) or in the PostgreSQL password file"
  expect_contains "wrong password: the line" "$(cat "$work/wrong.err")" \
    "PelorinCli: the database refused the login ("
  expect_contains "wrong password: what to do" "$(cat "$work/wrong.err")" \
    "the station goes on without it: check the user and password"
  if grep -q -e "$wrong" -e "UID=pelorin_station" "$work/wrong.out" "$work/wrong.err"; then
    fail "the connection string was shown"
  fi
  expect_eq "wrong password: flashed from its own log" \
    "$(log_of "$log" '"\(.serial) \(.result) \(.knownFrom)"')" "SN-W verified log"
  expect_eq "wrong password: nothing stored" "$(fleet_sql fleet_refusals 'SELECT count(*) FROM pelorin_records')" 0

  # The board's start form.
  start_board --lang en --name LINE-F
  drv wait-window "Pelorin Station - start" 30000 || { fail "no start form"; stop_devsim; return; }
  drv form-click 2002
  drv wait-dialog 15000 >/dev/null || fail "no Open File dialog"
  drv choose-file "$(win_path "$image")" || fail "the Open File dialog did not take the image"
  for _ in $(seq 100); do [ -n "$(drv form-get 2006)" ] && break; sleep 0.2; done
  drv form-set 2008 "$(win_path "$boardLog")"
  drv form-set 2022 "DSN=fleet_bare"
  drv form-click 1
  drv wait-box 20000 || fail "a database without the schema did not refuse Start"
  expect_eq "form: no schema" "$(drv press-box 1)" \
    "PelorinStation|the database has no fleet schema: apply pelorin-fleet.sql to it (a station never creates tables)"
  drv form-set 2022 "$connection"
  drv form-click 1
  drv wait-box 20000 || fail "a password in the Database field was not warned about"
  local warning
  warning=$(drv press-box 2)
  expect_contains "form: the password warning" "$warning" "holds a password (PWD=)"
  [[ $warning == *"$wrong"* ]] && fail "the form's warning shows the password"
  drv form-set 2022 "DSN=fleet_refusals"
  drv form-click 1
  drv wait-window "Pelorin Station" 30000 || { fail "Start did not open the board"; stop_devsim; return; }
  drv board-wait "database: up to date | fleet-refusals.nb0 | SHA-256" 20000 ||
    fail "the board's header does not say the database is up to date"
  drv board-wait "Port_#0001.Hub_#0001 | SN-W | verified" 20000 || fail "SN-W was not flashed on the board"
  for _ in $(seq 50); do
    [ "$(fleet_sql fleet_refusals 'SELECT count(*) FROM pelorin_records')" = 1 ] && break
    sleep 0.1
  done
  shot board
  drv board-close
  wait_board 20
  stop_devsim
  expect_eq "board: exit" "$board_status" 0
  expect_eq "the unit's sessions: the two stations that ran, not the one refused" \
    "$(grep '^device=0 ' "$summary" | grep -o 'sessions=[0-9]*')" "sessions=2"
  expect_eq "board: its record" "$(log_of "$boardLog" '"\(.serial) \(.station) \(.result) \(.knownFrom)"')" \
    "SN-W LINE-F verified fleet"
  expect_database_is_logs fleet_refusals "$boardLog"
}
