# Station scenario; see station_runs.sh.
. "$here/station_runs.sh"

# Twenty units at once and --max-devices 16: sixteen flash together, the other four as slots
# free up, each once.
scenario_station_twenty() {
  local image=$work/twenty.nb0 log=$work/twenty.jsonl
  make_image "$image" $((256 * 1024))
  rm -f "$log"
  local options=() k
  for k in $(seq 0 19); do options+=(--device "$(usb_device "$k" "U$k" "P$k"),rate=250000"); done
  start_devsim 20 --image "$(win_path "$image")" "${options[@]}" || return
  station twenty --log "$(win_path "$log")" --max-devices 16 --count 20 "$(win_path "$image")"
  stop_devsim
  expect_eq "exit" "$cli_status" 0
  expect_eq "records" "$(log_of "$log" .result | sort | uniq -c | tr -s ' ')" " 20 verified"
  expect_eq "one session each" "$(grep -c '^device=[0-9]* sessions=1 ' "$summary")" 20
  check_received 20 "$image"
  # The most sessions open at once, from each session's first open to its end.
  local most
  most=$(grep ' session=' "$summary" | while read -r line; do
    echo "$(field "$line" firstOpenMs) 1"
    echo "$(field "$line" endMs) -1"
  done | sort -n -k1,1 -k2,2 | awk '{ n += $2; if (n > m) m = n } END { print m }')
  echo "measure: at most $most devices flashed at once"
  expect_eq "devices at once" "$most" 16
}
