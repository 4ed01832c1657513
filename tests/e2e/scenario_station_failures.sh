# Station scenario; see station_runs.sh.
. "$here/station_runs.sh"

# A verification error and a hung device among good ones delay nobody; a wrong --sha256 touches
# no device; a second station on the same log is refused; Ctrl+C cancels the device in flight.
scenario_station_failures() {
  local image=$work/failures.nb0 log=$work/failures.jsonl
  make_image "$image" $((256 * 1024))
  rm -f "$log"
  start_devsim 4 --image "$(win_path "$image")" \
    --device "$(usb_device 0 G0 P0)" --device "$(usb_device 1 BAD P1),verierr" \
    --device "$(usb_device 2 HUNG P2),hang-after=131072" --device "$(usb_device 3 G3 P3)" || return
  station mixed --log "$(win_path "$log")" --count 4 --write-timeout 3 "$(win_path "$image")"
  stop_devsim
  expect_eq "exit" "$cli_status" 1
  expect_eq "results" "$(log_of "$log" '"\(.port) \(.result)"' | sort)" \
"P0 verified
P1 verification-error
P2 link-error
P3 verified"
  expect_contains "box" "$(cat "$work/mixed.err")" "에러: Verification Error 다시 시도해 주세요."
  # The others took what they take alone (2 s of pauses and the data); the hung device's write
  # was given up at its 3 s limit after that, and it ended last.
  local good hung
  good=$(log_of "$log" 'select(.port != "P2") | .seconds' | sort -n | tail -n 1)
  hung=$(log_of "$log" 'select(.port == "P2") | .seconds')
  echo "measure: the other devices took at most $good s, the hung one $hung s"
  awk -v g="$good" -v h="$hung" 'BEGIN { exit !(g < 4.5 && h >= 5 && h < 7) }' ||
    fail "the other devices took $good s, the hung one $hung s"
  expect_eq "the hung device ended last" "$(tail -n 1 "$log" | jq -r .port)" P2

  # A wrong --sha256: nothing is touched.
  start_devsim 1 --device "$(usb_device 0 S0 P0)" || return
  station wrongsha --sha256 "$(printf '0%.0s' $(seq 64))" "$(win_path "$image")"
  stop_devsim
  expect_eq "wrong SHA-256 exit" "$cli_status" 2
  expect_contains "wrong SHA-256" "$(cat "$work/wrongsha.err")" \
    "the image's SHA-256 is $(sha256sum "$image" | cut -d' ' -f1), not $(printf '0%.0s' $(seq 64))"
  expect_eq "no device touched" "$(grep '^device=0 sessions' "$summary" | cut -d' ' -f2-5)" \
    "sessions=0 probes=0 inOpens=0 outOpens=0"

  # One slow device in flight when Ctrl+C comes, and one whose pipes do not open and are being
  # tried again; meanwhile a second station on the same log is refused.
  start_devsim 2 --image "$(win_path "$image")" --device "$(usb_device 0 SLOW P0),rate=50000" \
    --device "$(usb_device 1 SHUT P1),arrive=2000,no-pipe01" || return
  (sleep 2; run_win "$cli_exe" --station --log "$(win_path "$log")" "$(win_path "$image")" \
    >"$work/second.out" 2>&1; echo $? >"$work/second.status") &
  local second=$!
  cli_ctrl_c failures 4 --station --log "$(win_path "$log")" "$(win_path "$image")"
  wait $second
  stop_devsim
  expect_eq "second station on the log" "$(cat "$work/second.status")" 2
  expect_contains "second station's message" "$(cat "$work/second.out")" "in use by another program"
  expect_eq "Ctrl+C exit" "$cli_status" 130
  [ "$cli_stop_ms" -le 1000 ] || fail "the station took $cli_stop_ms ms to end after Ctrl+C"
  # Both are recorded in the stop's words, not the errors their cancelled calls ran into, and no
  # box is shown for either.
  expect_eq "cancelled records" \
    "$(tail -n 2 "$log" | jq -r '"\(.serial) \(.result): \(.message)"' | sort)" \
"SHUT cancelled: the station was stopped while the unit was being flashed
SLOW cancelled: the station was stopped while the unit was being flashed"
  expect_eq "sequences" "$(tail -n 2 "$log" | jq -r .sequence | sort | paste -sd' ')" "5 6"
  expect_eq "boxes after Ctrl+C" "$(grep -c '에러' "$work/failures.err")" 0
  expect_eq "pipes closed" "$(field "$(session_line 0)" outClosed)/$(field "$(session_line 0)" inClosed)" "1/1"
}
