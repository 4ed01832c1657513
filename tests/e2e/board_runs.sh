# The station board PelorinStation.exe against simulated units that arrive and leave (devsim.exe),
# sourced by run_e2e.sh through the scenario_board_*.sh files. Its texts are read from outside
# with e2e_driver.exe (board-texts: the header, the banner and each tile's window text); the
# production log is read with jq and compared with what the simulated units went through.

. "$here/station_runs.sh"
board_exe=$(dirname "$pelorin")/../board/PelorinStation.exe
board_pid=""

# start_board ARGS...: starts PelorinStation.exe in the background; its exit status goes to
# $work/board.status when it ends.
start_board() {
  rm -f "$work/board.status"
  (run_win "$board_exe" "$@" >"$work/board.out" 2>&1; echo $? >"$work/board.status") &
  board_pid=$!
}
# wait_board SECONDS: waits for the board to end; board_status is its exit status ("" if it
# did not end).
wait_board() {
  local i
  for i in $(seq $(($1 * 10))); do [ -f "$work/board.status" ] && break; sleep 0.1; done
  board_status=$(cat "$work/board.status" 2>/dev/null)
  [ -n "$board_status" ] && wait "$board_pid" 2>/dev/null
}
# The line of board-texts for port PORT.
tile_of() { drv board-texts | grep -F "tile|$1 |"; }

# A shift in small: units with and without serial numbers arrive, one fails its verification,
# one is pulled when done (its tile waits for the next unit, its tally stays), one comes back
# (already verified), one is slow and still flashing when the screenshot is taken and when the
# operator presses Stop: after the question, it is cancelled and the board ends with 130.
scenario_board_shift() {
  # The line's files on a drive of their own (D:), as on a station's PC, so that the screenshot
  # shows a station's paths.
  local line=$work/line
  mkdir -p "$line"
  ln -sfn "$line" "$prefix/dosdevices/d:"
  local image=$line/os-3.1.nb0 log=$line/flash.jsonl
  make_image "$image" $((512 * 1024 + 3))
  rm -f "$log"
  start_devsim 7 --image 'D:\os-3.1.nb0' \
    --device "$(usb_device 0 SN-A Port_#0001.Hub_#0001),leave-after-end=500,return=1500" \
    --device "$(usb_device 1 '' Port_#0002.Hub_#0001),arrive=500" \
    --device "$(usb_device 2 SN-C Port_#0003.Hub_#0001),arrive=1000,verierr" \
    --device "$(usb_device 3 SN-D Port_#0004.Hub_#0001),arrive=1500,rate=40000" \
    --device "$(usb_device 4 SN-E Port_#0005.Hub_#0001),arrive=2000,leave-after-end=500" \
    --device "$(usb_device 5 SN-G Port_#0007.Hub_#0001),arrive=2500" \
    --device "$(usb_device 6 '' Port_#0008.Hub_#0001),arrive=3000,rate=60000" || return
  start_board --log 'D:\flash.jsonl' --port "Port_#0006.Hub_#0001" --port "Port_#000*" \
    'D:\os-3.1.nb0'
  drv wait-window "Pelorin Station" 30000 || { fail "the board did not appear"; stop_devsim; return; }
  drv board-wait "Port_#0001.Hub_#0001 | SN-A | already verified | 2 verified, 0 failed" 30000 ||
    fail "SN-A was not shown already verified on its return"
  drv board-wait "Port_#0005.Hub_#0001 | - | plug in a unit | 1 verified, 0 failed" 20000 ||
    fail "the pulled unit's tile did not wait for the next one"
  drv board-wait "Port_#0007.Hub_#0001 | SN-G | verified" 20000 || fail "SN-G was not verified"
  drv board-wait "Port_#0004.Hub_#0001 | SN-D | flashing " 20000 || fail "SN-D is not flashing"
  drv board-wait "Port_#0008.Hub_#0001 | - | flashing " 20000 || fail "port 8 is not flashing"
  sleep 0.3
  shot midshift
  local texts
  texts=$(drv board-texts)
  echo "$texts" | sed 's/^/  | /'
  expect_contains "header" "$(grep '^header|' <<<"$texts")" \
    "header|5 verified, 1 failed, 2 flashing, 0 waiting | "
  expect_contains "header names the image" "$(grep '^header|' <<<"$texts")" \
    "| os-3.1.nb0 | SHA-256 $(sha256sum "$image" | cut -c1-12) | log D:\\flash.jsonl"
  expect_eq "tiles in port order" "$(grep '^tile|' <<<"$texts" | cut -d'|' -f2 | tr -d ' ' | paste -sd,)" \
    "Port_#0001.Hub_#0001,Port_#0002.Hub_#0001,Port_#0003.Hub_#0001,Port_#0004.Hub_#0001,Port_#0005.Hub_#0001,Port_#0006.Hub_#0001,Port_#0007.Hub_#0001,Port_#0008.Hub_#0001"
  expect_contains "unit without serial" "$(tile_of Port_#0002.Hub_#0001)" "| - | verified 2."
  expect_contains "verification error" "$(tile_of Port_#0003.Hub_#0001)" \
    "| SN-C | failed 2."
  expect_contains "verification error's reason" "$(tile_of Port_#0003.Hub_#0001)" \
    ": verification error | 0 verified, 1 failed"
  expect_eq "an exact --port is there, empty" "$(tile_of Port_#0006.Hub_#0001)" \
    "tile|Port_#0006.Hub_#0001 | - | plug in a unit | 0 verified, 0 failed"

  # Stop while SN-D and the unit in port 8 are in flight: the board asks, then cancels it and ends as Ctrl+C ends the
  # console station.
  drv board-stop
  drv wait-box 10000 || fail "Stop did not ask"
  expect_contains "Stop's question" "$(drv press-box 6)" "2 units are being flashed"
  wait_board 20
  stop_devsim
  expect_eq "exit after Stop" "$board_status" 130
  expect_eq "records" "$(log_of "$log" '"\(.serial) \(.port) \(.result)"' | sort)" \
" Port_#0002.Hub_#0001 verified
 Port_#0008.Hub_#0001 cancelled
SN-A Port_#0001.Hub_#0001 already-verified
SN-A Port_#0001.Hub_#0001 verified
SN-C Port_#0003.Hub_#0001 verification-error
SN-D Port_#0004.Hub_#0001 cancelled
SN-E Port_#0005.Hub_#0001 verified
SN-G Port_#0007.Hub_#0001 verified"
  expect_eq "the cancelled units last" "$(tail -n 2 "$log" | jq -r .result | sort -u)" "cancelled"
  # What the units went through: one session each (the returning SN-A was not flashed again),
  # the good ones took the whole image.
  expect_eq "sessions per unit" "$(grep -o '^device=[0-9] sessions=[0-9]*' "$summary" | paste -sd' ')" \
    "device=0 sessions=1 device=1 sessions=1 device=2 sessions=1 device=3 sessions=1 device=4 sessions=1 device=5 sessions=1 device=6 sessions=1"
  expect_eq "verified units took the image" \
    "$(for k in 0 1 4 5; do field "$(session_line $k)" verified; done | paste -sd' ')" "1 1 1 1"
  expect_eq "SN-D's pipes closed" "$(field "$(session_line 3)" outClosed)/$(field "$(session_line 3)" inClosed)" "1/1"
}

# The start form: the image chosen through the Open File dialog is read (its SHA-256 shown); an
# expected SHA-256 that differs refuses Start with PelorinCli's words; the right one starts the
# board, which (with no unit in flight) closes at once.
scenario_board_form() {
  local image=$work/form.nb0 log=$work/form.jsonl
  make_image "$image" $((3 * 1024 * 1024 + 5))
  rm -f "$log"
  local sha wrong
  sha=$(sha256sum "$image" | cut -d' ' -f1)
  wrong=$(printf '0%.0s' $(seq 64))
  start_devsim 0 || return
  start_board
  drv wait-window "Pelorin Station - start" 30000 || { fail "no start form"; stop_devsim; return; }
  drv form-click 2002
  drv wait-dialog 15000 >/dev/null || fail "no Open File dialog"
  drv choose-file "$(win_path "$image")" || fail "the Open File dialog did not take the image"
  local shown=""
  for _ in $(seq 100); do
    shown=$(drv form-get 2006)
    [ -n "$shown" ] && break
    sleep 0.2
  done
  shot form
  expect_eq "SHA-256 shown" "$shown" "$sha"
  expect_eq "size shown" "$(drv form-get 2004)" "$((3 * 1024 * 1024 + 5)) bytes"
  expect_eq "log beside the image" "$(drv form-get 2008)" "$(win_path "$work/Pelorin-station.jsonl")"
  drv form-set 2007 "not-a-hash"
  drv form-click 1
  drv wait-box 10000 || fail "a malformed SHA-256 did not refuse Start"
  expect_eq "malformed" "$(drv press-box 1)" \
    "PelorinStation|the expected SHA-256 needs 64 hexadecimal digits, got \"not-a-hash\""
  drv form-set 2007 "$wrong"
  drv form-click 1
  drv wait-box 10000 || fail "a wrong SHA-256 did not refuse Start"
  expect_eq "refusal" "$(drv press-box 1)" "PelorinStation|the image's SHA-256 is $sha, not $wrong"
  drv form-set 2007 "$sha"
  drv form-set 2008 "$(win_path "$log")"
  drv form-click 1
  drv wait-window "Pelorin Station" 30000 || fail "Start did not open the board"
  drv board-wait "| form.nb0 | SHA-256 ${sha:0:12} | log " 20000 || fail "the board does not name its image"
  drv board-close
  wait_board 20
  stop_devsim
  expect_eq "exit after closing an idle board" "$board_status" 0
  [ -f "$log" ] || fail "the log was not opened"
}
