# The station board PelorinStation.exe against simulated units that arrive and leave (devsim.exe),
# sourced by run_e2e.sh through the scenario_board_*.sh files. Its texts are read from outside
# with e2e_driver.exe (board-texts: the header, the banner and each tile's window text); the
# production log is read with jq and compared with what the simulated units went through.
# run_e2e.sh runs everything under a Korean locale, which Wine makes a Korean user interface
# language: the board speaks Korean there unless told --lang en, as the English scenarios are.

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
# (already verified), three were verified with this image at an earlier shift (already verified:
# no new successes), one is slow and still flashing when the screenshot is taken and when the
# operator presses Stop, and one whose pipes do not open is being tried again then: after the
# question, both are cancelled with the stop's own words and the board ends with 130. The
# header's yield is the one the log's records give.
scenario_board_shift() {
  # The line's files on a drive of their own (D:), as on a station's PC, so that the screenshot
  # shows a station's paths.
  local line=$work/line
  mkdir -p "$line"
  ln -sfn "$line" "$prefix/dosdevices/d:"
  local image=$line/os-3.1.nb0 log=$line/flash.jsonl
  make_image "$image" $((512 * 1024 + 3))
  local sha k
  sha=$(sha256sum "$image" | cut -d' ' -f1)
  rm -f "$log"
  for k in 1 2 3; do
    jq -n -c --arg sha "$sha" --argjson k "$k" '{time: "2026-12-07T22:00:0\($k).000Z",
      station: "LINE-1", sequence: $k, port: "Port_#001\($k - 1).Hub_#0001", path: "",
      instance: "USB\\VID_1234&PID_5678\\SN-K\($k)", serial: "SN-K\($k)",
      image: {path: "D:\\os-3.1.nb0", size: 524291, byteSum: 1, sha256: $sha},
      result: "verified", bytesSent: 524291, seconds: 2.0, message: ""}' >>"$log"
  done
  start_devsim 11 --image 'D:\os-3.1.nb0' \
    --device "$(usb_device 0 SN-A Port_#0001.Hub_#0001),leave-after-end=500,return=1500" \
    --device "$(usb_device 1 '' Port_#0002.Hub_#0001),arrive=500" \
    --device "$(usb_device 2 SN-C Port_#0003.Hub_#0001),arrive=1000,verierr" \
    --device "$(usb_device 3 SN-D Port_#0004.Hub_#0001),arrive=1500,rate=40000" \
    --device "$(usb_device 4 SN-E Port_#0005.Hub_#0001),arrive=2000,leave-after-end=500" \
    --device "$(usb_device 5 SN-G Port_#0007.Hub_#0001),arrive=2500" \
    --device "$(usb_device 6 '' Port_#0008.Hub_#0001),arrive=3000,rate=60000" \
    --device "$(usb_device 7 SN-K1 Port_#0010.Hub_#0001),arrive=1000" \
    --device "$(usb_device 8 SN-K2 Port_#0011.Hub_#0001),arrive=1500" \
    --device "$(usb_device 9 SN-K3 Port_#0012.Hub_#0001),arrive=2000" \
    --device "$(usb_device 10 SN-R Port_#0009.Hub_#0001),arrive=6000,no-pipe01" || return
  start_board --lang en --log 'D:\flash.jsonl' --port "Port_#0006.Hub_#0001" --port "Port_#000*" \
    --port "Port_#001*" 'D:\os-3.1.nb0'
  drv wait-window "Pelorin Station" 30000 || { fail "the board did not appear"; stop_devsim; return; }
  drv board-wait "Port_#0001.Hub_#0001 | SN-A | already verified | 1 verified, 0 failed" 30000 ||
    fail "SN-A was not shown already verified on its return"
  drv board-wait "Port_#0005.Hub_#0001 | - | plug in a unit | 1 verified, 0 failed" 20000 ||
    fail "the pulled unit's tile did not wait for the next one"
  drv board-wait "Port_#0007.Hub_#0001 | SN-G | verified" 20000 || fail "SN-G was not verified"
  drv board-wait "Port_#0012.Hub_#0001 | SN-K3 | already verified | 0 verified, 0 failed" 20000 ||
    fail "SN-K3 was not shown already verified"
  drv board-wait "Port_#0004.Hub_#0001 | SN-D | flashing " 20000 || fail "SN-D is not flashing"
  drv board-wait "Port_#0008.Hub_#0001 | - | flashing " 20000 || fail "port 8 is not flashing"
  sleep 0.3
  shot midshift
  # The unit whose pipes do not open is tried again for five seconds: Stop comes meanwhile, and
  # what the board shows is read while its question is up (nothing is stopped before Yes).
  drv board-wait "Port_#0009.Hub_#0001 | SN-R | opening" 20000 || fail "SN-R is not being opened"
  drv board-stop
  drv wait-box 10000 || fail "Stop did not ask"
  local texts
  texts=$(drv board-texts)
  expect_contains "Stop's question" "$(drv press-box 6)" "3 units are being flashed"
  echo "$texts" | sed 's/^/  | /'
  expect_contains "the header counts the units in flight" "$(grep '^header|' <<<"$texts")" \
    "header|4 verified, 4 already verified, 1 failed, 0 cancelled, 3 flashing, 0 waiting | "
  # The yield the log gives: this shift's flashes (the records after the earlier shift's three),
  # verified of verified and failed, rounded to the nearest percent.
  local yield
  yield=$(jq -s -r '[.[] | select(.sequence > 3) | .result] |
      (map(select(. == "verified")) | length) as $v |
      (map(select(. != "verified" and . != "already-verified" and . != "cancelled")) | length) as $f |
      if $v + $f == 0 then "-" else "\((($v * 100 + (($v + $f) / 2 | floor)) / ($v + $f)) | floor) %" end' "$log")
  expect_eq "the log's yield" "$yield" "80 %"
  expect_contains "header's yield is the log's" "$(grep '^header|' <<<"$texts")" "| yield $yield |"
  expect_contains "header names the image" "$(grep '^header|' <<<"$texts")" \
    "| os-3.1.nb0 | SHA-256 $(sha256sum "$image" | cut -c1-12) | log D:\\flash.jsonl"
  expect_eq "tiles in port order" "$(grep '^tile|' <<<"$texts" | cut -d'|' -f2 | tr -d ' ' | paste -sd,)" \
    "Port_#0001.Hub_#0001,Port_#0002.Hub_#0001,Port_#0003.Hub_#0001,Port_#0004.Hub_#0001,Port_#0005.Hub_#0001,Port_#0006.Hub_#0001,Port_#0007.Hub_#0001,Port_#0008.Hub_#0001,Port_#0009.Hub_#0001,Port_#0010.Hub_#0001,Port_#0011.Hub_#0001,Port_#0012.Hub_#0001"
  expect_contains "unit without serial" "$(grep -F "tile|Port_#0002.Hub_#0001 |" <<<"$texts")" "| - | verified 2."
  expect_contains "verification error" "$(grep -F "tile|Port_#0003.Hub_#0001 |" <<<"$texts")" \
    "| SN-C | failed 2."
  expect_contains "verification error's reason" "$(grep -F "tile|Port_#0003.Hub_#0001 |" <<<"$texts")" \
    ": verification error | 0 verified, 1 failed"
  expect_eq "an exact --port is there, empty" "$(grep -F "tile|Port_#0006.Hub_#0001 |" <<<"$texts")" \
    "tile|Port_#0006.Hub_#0001 | - | plug in a unit | 0 verified, 0 failed"

  # Stopped while SN-D and the unit in port 8 were flashing and SN-R was being opened: the board
  # cancels them and ends as Ctrl+C ends the console station.
  wait_board 20
  stop_devsim
  expect_eq "exit after Stop" "$board_status" 130
  expect_eq "records" "$(log_of "$log" 'select(.sequence > 3) | "\(.serial) \(.port) \(.result)"' | sort)" \
" Port_#0002.Hub_#0001 verified
 Port_#0008.Hub_#0001 cancelled
SN-A Port_#0001.Hub_#0001 already-verified
SN-A Port_#0001.Hub_#0001 verified
SN-C Port_#0003.Hub_#0001 verification-error
SN-D Port_#0004.Hub_#0001 cancelled
SN-E Port_#0005.Hub_#0001 verified
SN-G Port_#0007.Hub_#0001 verified
SN-K1 Port_#0010.Hub_#0001 already-verified
SN-K2 Port_#0011.Hub_#0001 already-verified
SN-K3 Port_#0012.Hub_#0001 already-verified
SN-R Port_#0009.Hub_#0001 cancelled"
  expect_eq "the cancelled units last, in the stop's words" \
    "$(tail -n 3 "$log" | jq -r '"\(.result): \(.message)"' | sort -u)" \
    "cancelled: the station was stopped while the unit was being flashed"
  # What the units went through: one session each (the returning SN-A was not flashed again),
  # the good ones took the whole image, the known ones were not opened.
  expect_eq "sessions per unit" "$(grep -o '^device=[0-9] sessions=[0-9]*' "$summary" | paste -sd' ')" \
    "device=0 sessions=1 device=1 sessions=1 device=2 sessions=1 device=3 sessions=1 device=4 sessions=1 device=5 sessions=1 device=6 sessions=1 device=7 sessions=0 device=8 sessions=0 device=9 sessions=0"
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
  start_board --lang en
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
  # The board named the log it opened; with no record in it, the new file is gone again.
  [ ! -e "$log" ] || fail "a board that ended before its first record left an empty log behind"
}

# The Korean board, read from outside. First under the Korean user interface language without
# --lang: a shift in small (a unit verified, one failed, one already verified by an earlier shift,
# two still flashing, an exact --port empty) whose tiles and header read in Korean with the
# English fields and separators, whose screenshot is the README's Korean board, and whose Stop
# asks in Korean; the log keeps its fields and result words. Then under an English user
# interface language (a C locale for the board alone) with --lang ko: Korean again.
scenario_board_korean() {
  local line=$work/line-ko
  mkdir -p "$line"
  ln -sfn "$line" "$prefix/dosdevices/d:"
  local image=$line/os-3.1.nb0 log=$line/flash.jsonl sha
  make_image "$image" $((512 * 1024 + 3))
  sha=$(sha256sum "$image" | cut -d' ' -f1)
  rm -f "$log"
  jq -n -c --arg sha "$sha" '{time: "2026-12-07T22:00:01.000Z", station: "LINE-1", sequence: 1,
    port: "Port_#0003.Hub_#0001", path: "", instance: "USB\\VID_1234&PID_5678\\SN-K1",
    serial: "SN-K1", image: {path: "D:\\os-3.1.nb0", size: 524291, byteSum: 1, sha256: $sha},
    result: "verified", bytesSent: 524291, seconds: 2.0, message: ""}' >"$log"
  start_devsim 5 --image 'D:\os-3.1.nb0' \
    --device "$(usb_device 0 SN-A Port_#0001.Hub_#0001)" \
    --device "$(usb_device 1 SN-B Port_#0002.Hub_#0001),arrive=300,verierr" \
    --device "$(usb_device 2 SN-K1 Port_#0003.Hub_#0001),arrive=300" \
    --device "$(usb_device 3 SN-D Port_#0004.Hub_#0001),arrive=600,rate=40000" \
    --device "$(usb_device 4 '' Port_#0005.Hub_#0001),arrive=600,rate=60000" || return
  start_board --log 'D:\flash.jsonl' --port "Port_#0006.Hub_#0001" --port "Port_#000*" \
    'D:\os-3.1.nb0'
  drv wait-window "Pelorin 스테이션" 30000 || { fail "the Korean board did not appear"; stop_devsim; return; }
  drv board-wait "Port_#0001.Hub_#0001 | SN-A | 검증됨 2." 20000 || fail "SN-A was not shown verified in Korean"
  drv board-wait "Port_#0002.Hub_#0001 | SN-B | 실패 2." 20000 || fail "SN-B was not shown failed in Korean"
  drv board-wait "Port_#0004.Hub_#0001 | SN-D | 플래싱 " 20000 || fail "SN-D is not shown flashing in Korean"
  drv board-wait "검증 1, 이미 검증 1, 실패 1, 취소 0, 플래싱 2, 대기 0 | " 5000 ||
    fail "the Korean header does not count the units"
  sleep 0.3
  shot midshift
  local texts header
  texts=$(drv board-texts)
  drv board-stop
  echo "$texts" | sed 's/^/  | /'
  header=$(grep '^header|' <<<"$texts")
  expect_contains "Korean header's yield and rate" "$header" " | 시간당 "
  expect_contains "Korean header's yield" "$header" "대 | 수율 50 % | "
  expect_contains "Korean header names the image and the log" "$header" \
    "| os-3.1.nb0 | SHA-256 ${sha:0:12} | 로그 D:\\flash.jsonl"
  expect_contains "failed tile's reason" "$(grep -F "tile|Port_#0002.Hub_#0001 |" <<<"$texts")" \
    ": 검증 오류 | 검증 0, 실패 1"
  expect_eq "already verified tile" "$(grep -F "tile|Port_#0003.Hub_#0001 |" <<<"$texts")" \
    "tile|Port_#0003.Hub_#0001 | SN-K1 | 이미 검증됨 | 검증 0, 실패 0"
  expect_contains "tile without a serial" "$(grep -F "tile|Port_#0005.Hub_#0001 |" <<<"$texts")" \
    "tile|Port_#0005.Hub_#0001 | - | 플래싱 "
  expect_eq "the exact --port, empty" "$(grep -F "tile|Port_#0006.Hub_#0001 |" <<<"$texts")" \
    "tile|Port_#0006.Hub_#0001 | - | 유닛을 꽂으세요 | 검증 0, 실패 0"
  drv wait-box 10000 || fail "Stop did not ask"
  expect_eq "Stop's question" "$(drv press-box 6)" \
    "PelorinStation|유닛 2대를 플래시하는 중입니다.\\n스테이션을 중지할까요? 진행 중인 유닛은 취소로 기록됩니다."
  wait_board 20
  stop_devsim
  expect_eq "exit after Stop" "$board_status" 130
  expect_eq "the log's result words" \
    "$(log_of "$log" 'select(.sequence > 1) | "\(.serial) \(.result) \(.message)"' | LC_ALL=C sort)" \
" cancelled the station was stopped while the unit was being flashed
SN-A verified 
SN-B verification-error Verification Error 다시 시도해 주세요.
SN-D cancelled the station was stopped while the unit was being flashed
SN-K1 already-verified "

  # An English user interface language, and --lang ko.
  rm -f "$log"
  start_devsim 1 --image 'D:\os-3.1.nb0' --device "$(usb_device 0 SN-M Port_#0001.Hub_#0001)" || return
  LC_ALL=C.UTF-8 LANG=C.UTF-8 start_board --lang ko --log 'D:\flash.jsonl' 'D:\os-3.1.nb0'
  drv wait-window "Pelorin 스테이션" 30000 || { fail "--lang ko did not make the board Korean"; stop_devsim; return; }
  drv board-wait "Port_#0001.Hub_#0001 | SN-M | 검증됨 2." 20000 || fail "SN-M was not shown verified in Korean"
  drv board-wait "검증 1, 이미 검증 0, 실패 0, 취소 0, 플래싱 0, 대기 0 | " 5000 ||
    fail "the header is not Korean with --lang ko"
  drv board-close
  wait_board 20
  stop_devsim
  expect_eq "exit of the --lang ko board" "$board_status" 0
}
