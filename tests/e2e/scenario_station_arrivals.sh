# Station scenario; see station_runs.sh.
. "$here/station_runs.sh"

# Three units arriving a second apart are each flashed once and logged with port and serial.
# The second (no serial) and the third (with one) are pulled once done and plugged in again: the
# second is a new unit to the station and is flashed again, the third is skipped as verified with
# this image. The log already held a record and a line torn by a power cut: the torn line is
# ended, it is no record, and the count goes on from the last whole one.
scenario_station_arrivals() {
  local image=$work/station.nb0 log=$work/arrivals.jsonl
  make_image "$image" $((512 * 1024 + 3))
  local sha
  sha=$(sha256sum "$image" | cut -d' ' -f1)
  printf '{"sequence": 41, "serial": "OTHER", "result": "verified", "image": {"sha256": "%s"}}\n{"sequence": 42, "ser' "$sha" >"$log"
  start_devsim 3 --image "$(win_path "$image")" \
    --device "$(usb_device 0 SN-A Port_#0001.Hub_#0001)" \
    --device "$(usb_device 1 '' Port_#0002.Hub_#0001),arrive=1000,leave-after-end=300,return=1500" \
    --device "$(usb_device 2 SN-C Port_#0003.Hub_#0001),arrive=2000,leave-after-end=300,return=1500" || return
  station arrivals --log "$(win_path "$log")" --count 5 --port "Port_#000*" "$(win_path "$image")"
  stop_devsim
  expect_eq "exit" "$cli_status" 0
  expect_eq "torn line ended, then the records" "$(sed -n 2p "$log")" '{"sequence": 42, "ser'
  tail -n +3 "$log" >"$work/arrivals.new"
  expect_eq "records" "$(log_of "$work/arrivals.new" '[.sequence, .serial, .port, .result] | map(tostring) | join(" ")' | sort -n)" \
"42 SN-A Port_#0001.Hub_#0001 verified
43  Port_#0002.Hub_#0001 verified
44 SN-C Port_#0003.Hub_#0001 verified
45 SN-C Port_#0003.Hub_#0001 already-verified
46  Port_#0002.Hub_#0001 verified"
  expect_eq "image in every record" "$(log_of "$work/arrivals.new" '"\(.image.sha256) \(.image.size)"' | sort -u)" "$sha $((512 * 1024 + 3))"
  expect_eq "station name" "$(log_of "$work/arrivals.new" .station | sort -u | wc -l)" 1
  expect_eq "instance of SN-A" "$(log_of "$work/arrivals.new" 'select(.serial == "SN-A") | .instance')" 'USB\VID_1234&PID_5678\SN-A'
  expect_eq "sessions per device" "$(grep -o '^device=[0-9] sessions=[0-9]*' "$summary")" \
"device=0 sessions=1
device=1 sessions=2
device=2 sessions=1"
  expect_eq "no open while not listed" "$(grep -o 'unlistedOpens=[0-9]*' "$summary" | sort -u)" "unlistedOpens=0"
  check_received 3 "$image"
  local k
  for k in 0 1 2; do
    local line
    line=$(session_line $k)
    echo "measure: device $k arrived at $(field "$line" arrivedMs) ms, magic at $(field "$line" magicMs) ms"
  done
}
