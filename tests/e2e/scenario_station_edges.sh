# Station scenario; see station_runs.sh.
. "$here/station_runs.sh"

# A log-off (or shut-down) while four units are flashing, with standard output a full pipe that
# is read from a second later on: Windows ends the process as soon as its window has answered the
# session's end, so the station answers only once the four cancelled units' lines and the
# summary are written, within the few seconds Windows gives. The process is killed right after
# its answer, as Windows would. A log held open by another program is refused in those words, a
# station stopped before its first record leaves no new log behind, and an empty image is refused
# by both station faces as a file error.
scenario_station_edges() {
  local image=$work/logoff.nb0 log=$work/logoff.jsonl fifo=$work/logoff.fifo
  make_image "$image" $((256 * 1024 + 7))
  rm -f "$log" "$fifo"
  start_devsim 4 --image "$(win_path "$image")" \
    --device "$(usb_device 0 SN-0 P0),rate=20000" --device "$(usb_device 1 SN-1 P1),rate=20000" \
    --device "$(usb_device 2 SN-2 P2),rate=20000" --device "$(usb_device 3 SN-3 P3),rate=20000" ||
    return
  # Standard output: a FIFO already full.
  mkfifo "$fifo"
  local hold
  exec {hold}<>"$fifo"
  printf '%65535s\n' '' >&$hold
  run_win "$cli_exe" --station --log "$(win_path "$log")" "$(win_path "$image")" \
    >"$fifo" 2>"$work/logoff.err" {hold}>&- &
  local runner=$!
  sleep 4
  local program
  program=$(program_pid "$runner" "${cli_exe##*/}")
  [ -n "$program" ] || { fail "no station to log off"; exec {hold}>&-; stop_devsim; return; }
  # The output is read from a second after the session's end came: a console that is slow to
  # take lines.
  (sleep 1; exec cat "$fifo") >"$work/logoff.out" &
  local reader=$!
  local took
  took=$(drv end-session PelorinCliSession) || fail "the station's session window did not answer"
  kill -KILL "$program" 2>/dev/null
  exec {hold}>&-
  wait "$runner" 2>/dev/null
  for _ in $(seq 200); do kill -0 "$reader" 2>/dev/null || break; sleep 0.1; done
  kill "$reader" 2>/dev/null
  wait "$reader" 2>/dev/null
  echo "station logoff: answered the session's end after $took ms"
  tail -n +2 "$work/logoff.out" | sed 's/^/  | /'
  [ -n "$took" ] && [ "$took" -le 4000 ] || fail "the session's end took $took ms (Windows gives 4 s)"
  expect_eq "records" "$(log_of "$log" '"\(.serial) \(.result)"' | sort)" \
"SN-0 cancelled
SN-1 cancelled
SN-2 cancelled
SN-3 cancelled"
  expect_eq "unit lines written before the process was let go" \
    "$(grep -c '^#[0-9]* port=P[0-3] serial=SN-[0-3]: cancelled: ' "$work/logoff.out")" 4
  expect_eq "summary written before the process was let go" "$(tail -n 1 "$work/logoff.out")" \
    "station: 4 records, 0 verified, 0 already verified, 0 failed, 4 cancelled, 0 not in the log, yield -"
  rm -f "$fifo"

  # A log another program holds open (an editor, a spreadsheet): refused in those words.
  drv hold-file "$(win_path "$log")" 6000 >/dev/null &
  local holder=$!
  sleep 2
  station held --log "$(win_path "$log")" "$(win_path "$image")"
  wait "$holder"
  expect_eq "held log exit" "$cli_status" 2
  expect_contains "held log" "$(cat "$work/held.err")" "is in use by another program"

  # An empty image: nothing to flash, a file error for both faces.
  local empty=$work/empty.nb0
  : >"$empty"
  station empty --log "$(win_path "$work/empty.jsonl")" "$(win_path "$empty")"
  expect_eq "empty image exit" "$cli_status" 2
  expect_eq "empty image" "$(cat "$work/empty.err")" "파일 에러: 이미지 파일을 열수 없습니다."
  local board_exe
  board_exe=$(dirname "$cli_exe")/../board/PelorinStation.exe
  (run_win "$board_exe" "$(win_path "$empty")" >/dev/null 2>&1; echo $? >"$work/empty-board.status") &
  local board=$!
  drv wait-box 30000 || fail "the board did not refuse the empty image"
  expect_eq "the board's refusal" "$(drv press-box 1)" "PelorinStation|파일 에러: 이미지 파일을 열수 없습니다."
  wait "$board"
  expect_eq "the board's exit" "$(cat "$work/empty-board.status")" 2
  [ ! -e "$work/empty.jsonl" ] || fail "a refused station left a log behind"

  # Stopped before its first record: the log it made is gone again.
  local fresh=$work/logoff-fresh.jsonl
  rm -f "$fresh"
  cli_ctrl_c fresh 3 --station --log "$(win_path "$fresh")" --port NOWHERE "$(win_path "$image")"
  stop_devsim
  expect_eq "Ctrl+C exit" "$cli_status" 0
  [ ! -e "$fresh" ] || fail "a station stopped before its first record left $fresh behind"
}
