# Station scenario; see station_runs.sh.
. "$here/station_runs.sh"

# Standard output that nobody reads: a FIFO already full (a pipe holds 65536 bytes), so that
# every write of the station to it blocks. Three units arriving a second apart are still
# flashed and logged within seconds; once the output is read, their lines and the summary come
# out and the station ends as usual.
scenario_station_blocked() {
  local image=$work/blocked.nb0 log=$work/blocked.jsonl fifo=$work/blocked.fifo
  local size=$((128 * 1024 + 1))
  make_image "$image" $size
  rm -f "$log" "$fifo"
  start_devsim 3 --image "$(win_path "$image")" \
    --device "$(usb_device 0 SN-0 P0)" --device "$(usb_device 1 SN-1 P1),arrive=1000" \
    --device "$(usb_device 2 SN-2 P2),arrive=2000" || return

  # Opened read and write, so that neither open waits; filled, and nobody reads it yet. Opened
  # after devsim started, so that no program but the station holds it.
  mkfifo "$fifo"
  local hold drain
  exec {hold}<>"$fifo"
  printf '%65535s\n' '' >&$hold
  if printf x | dd of="$fifo" oflag=nonblock status=none 2>/dev/null; then
    fail "the FIFO took more than 65536 bytes: a write to it would not block"
  fi
  local started=$SECONDS
  run_win "$cli_exe" --station --log "$(win_path "$log")" --count 3 "$(win_path "$image")" \
    >"$fifo" 2>"$work/blocked.err" {hold}>&- &
  local runner=$!
  local records=0 logged_ms=-1 start_ns
  start_ns=$(date +%s%N)
  while [ $((SECONDS - started)) -lt 30 ]; do
    [ -f "$log" ] && records=$(wc -l <"$log")
    if [ "$records" -ge 3 ]; then
      logged_ms=$((($(date +%s%N) - start_ns) / 1000000))
      break
    fi
    kill -0 "$runner" 2>/dev/null || break
    sleep 0.1
  done
  echo "measure: with standard output blocked, 3 records were in the log $logged_ms ms after" \
    "the station started"
  expect_eq "records logged while standard output is blocked" "$records" 3
  expect_eq "records" "$(log_of "$log" '"\(.sequence) \(.serial) \(.result)"' | sort)" \
"1 SN-0 verified
2 SN-1 verified
3 SN-2 verified"
  if kill -0 "$runner" 2>/dev/null; then
    echo "note: the station waits for its lines to be read"
  else
    fail "the station ended before its lines were read"
  fi

  # Read it now: a reader of our own, our read-write end closed, then everything it holds.
  exec {drain}<"$fifo"
  exec {hold}>&-
  cat <&$drain >"$work/blocked.out" &
  local reader=$!
  exec {drain}<&-
  local deadline=$((SECONDS + 20))
  while kill -0 "$runner" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
  if kill -0 "$runner" 2>/dev/null; then
    fail "the station did not end within 20 s of its output being read"
    kill "$runner" 2>/dev/null
  fi
  wait "$runner"
  local status=$?
  # The reader ends when the last writer has closed the FIFO.
  for _ in $(seq 50); do kill -0 "$reader" 2>/dev/null || break; sleep 0.1; done
  kill "$reader" 2>/dev/null
  wait "$reader" 2>/dev/null
  echo "station blocked: exit $status"
  tail -n +2 "$work/blocked.out" | sed 's/^/  | /'
  sed 's/^/  | /' "$work/blocked.err"
  stop_devsim
  rm -f "$fifo"
  expect_eq "exit" "$status" 0
  expect_eq "what was in the FIFO first" "$(head -n 1 "$work/blocked.out" | tr -d ' ' | wc -c)" 1
  expect_eq "the station's first lines" "$(sed -n '2p;3p' "$work/blocked.out" | cut -d' ' -f1,2)" \
"image $(win_path "$image"):
station: waiting"
  local k
  for k in 0 1 2; do
    expect_contains "unit $k line" "$(cat "$work/blocked.out")" \
      "#$((k + 1)) port=P$k serial=SN-$k: verified, $size bytes in "
  done
  expect_eq "lines" "$(wc -l <"$work/blocked.out")" 7
  expect_eq "summary line" "$(tail -n 1 "$work/blocked.out")" \
    "station: 3 records, 3 verified, 0 already verified, 0 failed, 0 cancelled, 0 not in the log, yield 100 %"
  check_received 3 "$image"
}
