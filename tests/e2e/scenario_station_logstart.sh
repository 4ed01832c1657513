# Station scenario; see station_runs.sh.
. "$here/station_runs.sh"

# What the station reads from its log when it starts.
# A whole last record that lost only its newline is a record: its serial is known as verified
# with this image and its sequence counts; the next record goes on a line of its own.
# Ctrl+C while a log of a few hundred MB is read ends the station at once (130), before any unit
# is listed, and leaves the log as it was.
scenario_station_logstart() {
  local image=$work/logstart.nb0 log=$work/logstart.jsonl big=$work/bigread.jsonl
  make_image "$image" 4096
  local sha
  sha=$(sha256sum "$image" | cut -d' ' -f1)
  local last="{\"time\": \"2026-12-08T09:38:37.422Z\", \"station\": \"VM\", \"sequence\": 41, \"port\": \"PX\", \"path\": \"\\\\\\\\?\\\\usb#vid_1234&pid_5678#sn-x#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}\\\\simdev0\", \"instance\": \"USB\\\\VID_1234&PID_5678\\\\SN-X\", \"serial\": \"SN-X\", \"image\": {\"path\": \"Z:\\\\images\\\\station.nb0\", \"size\": 4096, \"byteSum\": 1, \"sha256\": \"$sha\"}, \"result\": \"verified\", \"bytesSent\": 4096, \"seconds\": 2.041, \"message\": \"\"}"
  printf '%s' "$last" >"$log"
  expect_eq "the old record is JSON" "$(jq -r '"\(.sequence) \(.serial) \(.result)"' "$log")" "41 SN-X verified"
  start_devsim 2 --image "$(win_path "$image")" \
    --device "$(usb_device 0 SN-X PX)" --device "$(usb_device 1 SN-Y PY)" || return
  station newline --log "$(win_path "$log")" --count 1 --port PX "$(win_path "$image")"
  expect_eq "exit" "$cli_status" 0
  expect_eq "unit line" "$(grep '^#' "$work/newline.out")" "#42 port=PX serial=SN-X: already-verified"
  expect_eq "log lines" "$(wc -l <"$log")" 2
  expect_eq "the old record is untouched" "$(head -n 1 "$log")" "$last"
  expect_eq "every line is a record" \
    "$(jq -R -r 'fromjson | "\(.sequence) \(.serial) \(.result) \(.image.sha256)"' "$log")" \
"41 SN-X verified $sha
42 SN-X already-verified $sha"

  # A log of another image's records, numbered as a station numbers them (each line can raise
  # the sequence, so each one is parsed).
  awk -v n=800000 'BEGIN {
    for (i = 1; i <= n; i++)
      printf "{\"time\": \"2026-12-08T09:38:37.422Z\", \"station\": \"VM\", \"sequence\": %d, \"port\": \"PY\", \"path\": \"\\\\\\\\?\\\\usb#vid_1234&pid_5678#sn-%d#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}\\\\simdev1\", \"instance\": \"USB\\\\VID_1234&PID_5678\\\\SN-%d\", \"serial\": \"SN-%d\", \"image\": {\"path\": \"Z:\\\\images\\\\other.nb0\", \"size\": 524291, \"byteSum\": 66848686, \"sha256\": \"b30e37886cccde451a71e71d0b6ae5ff0487995a5857236781e361af97ea773d\"}, \"result\": \"verified\", \"bytesSent\": 524291, \"seconds\": 2.041, \"message\": \"\"}\n", i, i, i, i
  }' >"$big"
  local size before
  size=$(stat -c %s "$big")
  before=$(sha256sum "$big" | cut -d' ' -f1)
  expect_eq "a big log's last record" "$(tail -n 1 "$big" | jq -r .sequence)" 800000
  run_win "$cli_exe" --station --log "$(win_path "$big")" "$(win_path "$image")" \
    >"$work/bigread.out" 2>"$work/bigread.err" &
  local runner=$! program="" fd="" pos=0 deadline=$((SECONDS + 30))
  # The station's Wine process, then its descriptor of the log, then the first bytes it read.
  while [ $SECONDS -lt $deadline ] && kill -0 "$runner" 2>/dev/null; do
    [ -n "$program" ] || program=$(program_pid "$runner" "${cli_exe##*/}")
    if [ -n "$program" ] && [ -z "$fd" ]; then
      for f in "/proc/$program/fd/"*; do [ "$f" -ef "$big" ] && fd=${f##*/}; done
    fi
    if [ -n "$fd" ]; then
      read -r _ pos <"/proc/$program/fdinfo/$fd" 2>/dev/null || pos=0
      [ "$pos" -gt 0 ] && break
    fi
    sleep 0.01
  done
  local stopped_at
  stopped_at=$(date +%s%N)
  [ "$pos" -gt 0 ] && kill -INT "$program"
  for _ in $(seq 100); do kill -0 "$runner" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$runner" 2>/dev/null; then
    fail "the station did not end within 10 s of Ctrl+C"
    kill "$runner"
  fi
  wait "$runner"
  cli_status=$?
  local stop_ms=$((($(date +%s%N) - stopped_at) / 1000000))
  stop_devsim
  echo "station bigread: exit $cli_status, $stop_ms ms after Ctrl+C at byte $pos of $size"
  sed 's/^/  | /' "$work/bigread.out" "$work/bigread.err"
  [ "$pos" -gt 0 ] || fail "the station was not seen reading its log"
  [ "$pos" -lt "$size" ] || fail "the log was read whole before Ctrl+C came"
  expect_eq "Ctrl+C while reading the log exit" "$cli_status" 130
  [ "$stop_ms" -le 1000 ] || fail "the station took $stop_ms ms to end after Ctrl+C"
  expect_eq "big log's size" "$(stat -c %s "$big")" "$size"
  expect_eq "big log's SHA-256" "$(sha256sum "$big" | cut -d' ' -f1)" "$before"
  rm -f "$big"
  # Neither station opened a pipe: the first one's unit was already verified and the other one
  # outside its port; the second station stopped before any listing.
  local k
  for k in 0 1; do
    expect_eq "device $k untouched" "$(grep "^device=$k sessions" "$summary" | cut -d' ' -f2-5)" \
      "sessions=0 probes=0 inOpens=0 outOpens=0"
  done
}
