# Station scenario; see station_runs.sh.
. "$here/station_runs.sh"

# A unit without serial number is pulled while it verifies (its first presence never gives its
# verdict) and plugged in again. The station waits at the default answer limit of 300 s, yet it
# ends the pulled unit as soon as two listings half a second apart have missed it: a link error
# that says so, a second or two after the pull. The unit plugged in again is the next one in
# that port and is flashed and verified. A unit at another port is left alone, and --list shows
# both units with their ports and serial numbers.
scenario_station_pulled() {
  local image=$work/pulled.nb0 log=$work/pulled.jsonl size=$((64 * 1024 + 5))
  # Pulled 5 s after devsim is ready: the station opens it within about a second and has had
  # "RECEIVE" 2 s later. Plugged in again 2 s after the pull, when the station has long forgotten
  # it.
  local leave=5000 back=2000
  make_image "$image" $size
  rm -f "$log"
  start_devsim 2 --image "$(win_path "$image")" \
    --device "$(usb_device 0 '' Port_#0004.Hub_#0002),mute-first=1,leave=$leave,return=$back" \
    --device "$(usb_device 1 SN-L Port_#0007.Hub_#0002)" || return
  station pulled --log "$(win_path "$log")" --count 2 --port Port_#0004.Hub_#0002 \
    "$(win_path "$image")"
  local status=$cli_status
  cli list --list
  stop_devsim
  # The link error is a failed unit.
  expect_eq "exit" "$status" 1
  expect_eq "records" "$(log_of "$log" '[.sequence, .port, .serial, .result, .message] | map(tostring) | join("|")')" \
"1|Port_#0004.Hub_#0002||link-error|the unit was removed while it was being flashed
2|Port_#0004.Hub_#0002||verified|"
  expect_eq "first line" "$(grep '^#1 ' "$work/pulled.out")" \
    "#1 port=Port_#0004.Hub_#0002 serial=-: link-error: the unit was removed while it was being flashed"
  expect_contains "second line" "$(grep '^#2 ' "$work/pulled.out")" \
    "#2 port=Port_#0004.Hub_#0002 serial=-: verified, $size bytes in "
  expect_eq "summary line" "$(tail -n 1 "$work/pulled.out")" "station: 2 records, 1 verified, 0 already verified, 1 failed, 0 cancelled, 0 not in the log, yield 50 %"

  # The first presence took the whole image and was waiting for its verdict when it was pulled;
  # the host closed its pipes at once after that instead of at the 300 s limit.
  local unit first second
  unit=$(grep '^device=0 sessions' "$summary")
  first=$(session_line 0 0)
  second=$(session_line 0 1)
  expect_eq "sessions of the pulled unit" "$(field "$unit" sessions)" 2
  expect_eq "pulled unit's presences" "$(field "$unit" arrivals)/$(field "$unit" departures)" "2/1"
  expect_eq "first presence's answers" "$(field "$first" answers)/$(field "$first" replies)" "RECEIVE/OK0"
  expect_eq "first presence took the image" "$(field "$first" image)" match
  expect_eq "first presence's pipes closed" "$(field "$first" outClosed)/$(field "$first" inClosed)" "1/1"
  local delay=$(($(field "$first" endMs) - leave))
  echo "measure: the pulled unit's pipes were closed $delay ms after the pull" \
    "(record: $(log_of "$log" 'select(.sequence == 1) | .seconds') s from its start)"
  # Two listings half a second apart must miss it first, and then it ends at once.
  [ "$delay" -ge 500 ] && [ "$delay" -le 3000 ] ||
    fail "the pulled unit ended $delay ms after the pull (expected 500 to 3000 ms)"
  expect_eq "second presence's answers" "$(field "$second" answers)/$(field "$second" replies)" "RECEIVE,VERIOK_/OK0,OK1"
  expect_eq "second presence verified the image" "$(field "$second" verified)/$(field "$second" image)" "1/match"
  expect_eq "the second presence began after the pull" \
    "$(($(field "$second" arrivedMs) >= leave + back))" 1
  expect_eq "no open while unlisted" "$(field "$unit" unlistedOpens)" 0
  expect_eq "unit at another port untouched" "$(grep '^device=1 sessions' "$summary" | cut -d' ' -f2-5)" \
    "sessions=0 probes=0 inOpens=0 outOpens=0"

  # --list: index, port, serial ("-": none) and interface path of each unit.
  expect_eq "list exit" "$cli_status" 0
  local instance0 path0 path1 guid='{00873fdf-61a8-11d1-aa5e-00c04fb1728b}'
  instance0=$(field "$unit" instance)
  path0="\\\\?\\$(tr 'A-Z\\' 'a-z#' <<<"$instance0")#$guid\\simdev0"
  path1="\\\\?\\usb#vid_1234&pid_5678#sn-l#$guid\\simdev1"
  expect_eq "list indexes" "$(cut -d' ' -f1 "$work/list.out" | sort | tr '\n' ' ')" "0 1 "
  expect_eq "list" "$(cut -d' ' -f2- "$work/list.out" | sort)" \
"Port_#0004.Hub_#0002 - $path0
Port_#0007.Hub_#0002 SN-L $path1"
}
