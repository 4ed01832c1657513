# Pipe-device downloads of the real Pelorin.exe against simulated devices (devsim.exe), sourced
# by run_e2e.sh through the scenario_pipes_*.sh files. Uses run_e2e.sh's helpers and variables.
#
# devsim.exe serves N devices in the scenario's prefix; when stopped it writes one summary line
# per device and per session (see tools/devsim/devsim_main_win32.cpp), which the checks read.

devsim_exe=${PELORIN_DEVSIM:-$(dirname "$driver")/../../tools/devsim/devsim.exe}
devsim_pid=""
summary=$work/$scenario.devsim.txt

# start_devsim N [devsim options...]: serves N devices; returns once they are registered.
start_devsim() {
  local count=$1
  shift
  rm -f "$work/devsim.ready" "$work/devsim.stop" "$summary"
  run_win "$devsim_exe" --devices "$count" "$@" --ready "$(win_path "$work/devsim.ready")" \
    --stop "$(win_path "$work/devsim.stop")" --summary "$(win_path "$summary")" \
    --timeout 600 >"$work/$scenario.devsim.log" 2>&1 &
  devsim_pid=$!
  for _ in $(seq 300); do
    [ -f "$work/devsim.ready" ] && return 0
    kill -0 "$devsim_pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "devsim did not get ready: $(cat "$work/$scenario.devsim.log")"
  return 1
}

# Stops devsim and waits for its summary.
stop_devsim() {
  touch "$work/devsim.stop"
  for _ in $(seq 300); do kill -0 "$devsim_pid" 2>/dev/null || break; sleep 0.1; done
  wait "$devsim_pid" 2>/dev/null
  devsim_pid=""
  [ -f "$summary" ] || fail "devsim wrote no summary"
}

# The value of key in a summary line.
field() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" <<<" $1"; }
# The summary line of device k's session s (default 0).
session_line() { grep "^device=$1 session=${2:-0} " "$summary"; }

# make_image PATH SIZE: an image of random bytes.
make_image() {
  head -c "$2" /dev/urandom >"$1"
}

# choose_image PATH [WINDOWS_PATH]: opens the image through the Open File dialog and waits for
# its size.
choose_image() {
  drv click 1001
  drv wait-dialog 15000 >/dev/null || { fail "no Open File dialog"; return 1; }
  drv choose-file "${2:-$(win_path "$1")}" ||
    { fail "the Open File dialog did not take the file"; return 1; }
  drv wait-text 1002 "$(stat -c %s "$1")" 10000 || { fail "size not shown"; return 1; }
}

# download_enabled STATE SECONDS: waits until Download's enabled state is STATE (1: the download
# has ended; 0: the dialog has taken a press), at most SECONDS.
download_enabled() {
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    [ "$(drv enabled 1007)" = "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# Waits until Download is enabled again (the download has ended), at most $1 seconds.
wait_idle() {
  download_enabled 1 "$1" && return 0
  fail "the download did not end within $1 s"
  return 1
}

# Presses Download and waits until the dialog has taken the press, at most 15 s: the click is
# posted, so a query right after it may still see the idle dialog.
press_download() {
  drv click 1007
  download_enabled 0 15 && return 0
  fail "the dialog did not take the Download press within 15 s"
  return 1
}

# Every device 0..n-1 received the whole image as the protocol says and verified it.
check_received() {
  local n=$1 image=$2 size chunks rest expected_data
  size=$(stat -c %s "$image")
  chunks=$((size / 131072)) rest=$((size % 131072))
  expected_data=131072
  [ "$chunks" -gt 1 ] && expected_data="131072*$chunks"
  [ "$chunks" -eq 0 ] && expected_data=$rest || expected_data="$expected_data,$rest"
  for ((k = 0; k < n; k++)); do
    local line
    line=$(session_line "$k")
    [ -n "$line" ] || { fail "device $k: no session"; continue; }
    expect_eq "device $k magic" "$(field "$line" magic)" 39373231
    expect_eq "device $k length" "$(field "$line" length)" "$size"
    expect_eq "device $k data writes" "$(field "$line" data)" "$expected_data"
    expect_eq "device $k data bytes" "$(field "$line" bytes)" "$size"
    expect_eq "device $k byte sum sent" "$(field "$line" hostsum)" "$(field "$line" sum)"
    expect_eq "device $k data is the image" "$(field "$line" image)" match
    expect_eq "device $k verified" "$(field "$line" verified)" 1
  done
}

check_bars() {  # check_bars N: bars 0..N-1 at 100, the rest at 0
  for ((k = 0; k < 16; k++)); do
    local want=0
    [ "$k" -lt "$1" ] && want=100
    expect_eq "bar $k" "$(drv bar "$k")" "$want"
  done
}

check_idle_buttons() {
  expect_eq "Open enabled" "$(drv enabled 1001)" 1
  expect_eq "Exit enabled" "$(drv enabled 1)" 1
  expect_eq "Download enabled" "$(drv enabled 1007)" 1
}

# Three devices, a 300,000-byte image: writes of 131,072, 131,072 and 37,856 bytes, both answers
# replied, "Complete"; then a second download in the same session. The devices take data at
# 150 kB/s so that a screenshot shows the bars moving.
scenario_pipes_three() {
  local image=$work/three.nb0
  make_image "$image" 300000
  start_devsim 3 --image "$(win_path "$image")" --device 0:rate=150000 --device 1:rate=150000 \
    --device 2:rate=150000 || return
  start_pelorin
  drv wait-window "$MAIN" 30000 || { fail "the main dialog did not appear"; return; }
  choose_image "$image" || return
  press_download || return
  expect_eq "Open disabled while downloading" "$(drv enabled 1001)" 0
  drv wait-status "Send - OS Image" 15000 >/dev/null 2>&1
  sleep 2.5
  shot downloading
  wait_idle 60 || return
  expect_eq "status" "$(drv get-text 1003)" "Complete"
  check_bars 3
  check_idle_buttons
  expect_eq "message boxes" "$(drv boxes)" ""
  shot done
  # A second download in the same session finds the devices afresh and ends the same way.
  press_download || return
  wait_idle 60 || return
  expect_eq "status after the second download" "$(drv get-text 1003)" "Complete"
  expect_eq "message boxes after the second download" "$(drv boxes)" ""
  stop_devsim
  check_received 3 "$image"
  for k in 0 1 2; do
    for s in 0 1; do
      local line
      line=$(session_line $k $s)
      expect_eq "device $k download $s answers" "$(field "$line" answers)" "RECEIVE,VERIOK_"
      expect_eq "device $k download $s replies" "$(field "$line" replies)" "OK0,OK1"
      expect_eq "device $k download $s phase" "$(field "$line" phase)" finished
      expect_eq "device $k download $s data" "$(field "$line" image)" match
    done
    expect_eq "device $k probes" "$(field "$(grep "^device=$k sessions" "$summary")" probes)" 2
  done
  stop_pelorin
}

# Sixteen devices and a 16 MiB image (a multiple of the chunk: the data ends with an empty
# write). Prints the wall time from Download to "Complete" and the aggregate data throughput.
scenario_pipes_sixteen() {
  local image=$work/sixteen.nb0 size=$((16 * 1024 * 1024))
  make_image "$image" $size
  start_devsim 16 --image "$(win_path "$image")" || return
  start_pelorin
  drv wait-window "$MAIN" 30000 || { fail "the main dialog did not appear"; return; }
  choose_image "$image" || return
  # Wine's GetTickCount, which stamps devsim's records, counts milliseconds of the system's
  # uptime: the click's moment in the same clock gives the time to the last device's end.
  local click_ms started ended
  drv click 1007
  click_ms=$(awk '{printf "%d", $1 * 1000}' /proc/uptime)
  started=$(date +%s%N)
  drv wait-status "Complete" 180000 >/dev/null || fail "no Complete within 180 s"
  ended=$(date +%s%N)
  shot done
  check_bars 16
  check_idle_buttons
  expect_eq "message boxes" "$(drv boxes)" ""
  stop_devsim
  check_received 16 "$image"
  local first last magic_first ok1_last
  first=$(grep session= "$summary" | sed 's/.* dataStart=\([0-9]*\).*/\1/' | sort -n | head -1)
  last=$(grep session= "$summary" | sed 's/.* dataEnd=\([0-9]*\).*/\1/' | sort -n | tail -1)
  magic_first=$(grep session= "$summary" | sed 's/.* firstTick=\([0-9]*\).*/\1/' | sort -n | head -1)
  ok1_last=$(grep session= "$summary" | sed 's/.* lastTick=\([0-9]*\).*/\1/' | sort -n | tail -1)
  local data_ms=$((last - first)) seen_ms=$(((ended - started) / 1000000))
  [ "$data_ms" -gt 0 ] || data_ms=1
  local rate=$((size * 16 / 1000 / data_ms))  # bytes per ms / 1000 = MB/s
  {
    echo "measure: 16 devices x $size bytes: Download to the last device's \"OK1\"" \
      "$((ok1_last - click_ms)) ms (first magic $((magic_first - click_ms)) ms after the click," \
      "two 1 s pauses, data phase ${data_ms} ms, handshake end $((ok1_last - last)) ms after the data)"
    echo "measure: aggregate data throughput ${rate} MB/s (16 x image / data phase)"
    echo "measure: \"Complete\" seen by the driver ${seen_ms} ms after the click (includes starting" \
      "the driver program under Wine while the download loads the machine)"
  } | tee "$work/$scenario.measure"
  stop_pelorin
}

# A device that answers "VERIERR" among good ones; it takes its data slowly so that its report
# is the last: status "Checksums Error - No.1", the Korean verification box.
# The image lies on the prefix's C: drive, so that the screenshot (docs/) shows a short path.
scenario_pipes_verierr() {
  mkdir -p "$prefix/drive_c/images"
  local image=$prefix/drive_c/images/verierr.nb0
  make_image "$image" 300000
  start_devsim 3 --image 'C:\images\verierr.nb0' --device 1:verierr,rate=100000 || return
  start_pelorin
  drv wait-window "$MAIN" 30000 || { fail "the main dialog did not appear"; return; }
  choose_image "$image" 'C:\images\verierr.nb0' || return
  drv click 1007
  drv wait-box 60000 || { fail "no verification box"; return; }
  wait_idle 30 || return
  sleep 0.5
  shot box
  expect_eq "status" "$(drv get-text 1003)" "Checksums Error - No.1"
  expect_eq "message boxes" "$(drv boxes)" "에러|Verification Error 다시 시도해 주세요."
  check_bars 3
  check_idle_buttons
  # The failed bar's tooltip tells which device it is and how it ended.
  drv hover 1
  sleep 1.5
  shot tooltip
  stop_devsim
  check_received 3 "$image"
  expect_eq "device 1 answers" "$(field "$(session_line 1)" answers)" "RECEIVE,VERIERR"
  expect_eq "device 1 replies" "$(field "$(session_line 1)" replies)" "OK0,OK1"
  for k in 0 2; do
    expect_eq "device $k answers" "$(field "$(session_line $k)" answers)" "RECEIVE,VERIOK_"
  done
  stop_pelorin
}

# No device at all: the connection box with the error code and "PIPE01", then idle again.
scenario_pipes_nodevice() {
  local image=$work/nodevice.nb0
  make_image "$image" 1000
  start_devsim 0 || return
  start_pelorin
  drv wait-window "$MAIN" 30000 || { fail "the main dialog did not appear"; return; }
  choose_image "$image" || return
  drv click 1007
  drv wait-box 30000 || { fail "no connection box"; return; }
  sleep 0.5
  shot box
  local boxes
  boxes=$(drv boxes)
  expect_contains "connection box" "$boxes" "연결 에러|USB Cable 연결을 확인해 보세요.\\nCODE:"
  expect_contains "connection box" "$boxes" " (PIPE01)"
  wait_idle 15
  check_idle_buttons
  check_bars 0
  stop_devsim
  stop_pelorin
}

# Two devices, the second without "PIPE01": the application box naming that pipe and the open's
# error, then the connection box with the same code; no device receives anything.
scenario_pipes_nopipe01() {
  local image=$work/nopipe01.nb0
  make_image "$image" 1000
  start_devsim 2 --device 1:no-pipe01 || return
  start_pelorin
  drv wait-window "$MAIN" 30000 || { fail "the main dialog did not appear"; return; }
  choose_image "$image" || return
  drv click 1007
  drv wait-box 30000 || { fail "no pipe-open box"; return; }
  sleep 0.5
  shot open-failed
  local path='\\?\root#simdev#0001#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}\simdev1'
  expect_eq "pipe-open box" "$(drv boxes)" "Pelorin|Failed to open ($path\\PIPE01) = 2"
  drv wait-box 30000 || { fail "no connection box after the pipe-open box"; return; }
  expect_eq "connection box" "$(drv boxes)" \
    "연결 에러|USB Cable 연결을 확인해 보세요.\\nCODE:2 (PIPE01)"
  wait_idle 15
  check_idle_buttons
  stop_devsim
  for k in 0 1; do
    local line
    line=$(session_line $k)
    expect_eq "device $k received nothing" "$(field "$line" bytes)/$(field "$line" magic)" "0/"
  done
  local opens
  opens=$(grep "^device=1 sessions" "$summary")
  expect_eq "device 1 in-pipe opened" "$(field "$opens" inOpens)" 1
  expect_eq "device 1 out-pipe opened" "$(field "$opens" outOpens)" 0
  stop_pelorin
}

# Device paths at the limit: 248 characters (pipe paths of 255) download like any other; a path
# of 249 is a failed probe, which ends discovery with the file-error box there, and the devices
# found before it are downloaded.
scenario_pipes_longpath() {
  local image=$work/longpath.nb0
  make_image "$image" 200000
  start_devsim 3 --image "$(win_path "$image")" --device 1:long-path=248 \
    --device 2:long-path=249 || return
  start_pelorin
  drv wait-window "$MAIN" 30000 || { fail "the main dialog did not appear"; return; }
  choose_image "$image" || return
  drv click 1007
  drv wait-box 30000 || { fail "no file-error box for the long path"; return; }
  shot probe-failed
  expect_eq "probe box" "$(drv boxes)" "파일 에러|파일을 열수 없습니다."
  wait_idle 60 || return
  expect_eq "status" "$(drv get-text 1003)" "Complete"
  check_bars 2
  check_idle_buttons
  stop_devsim
  check_received 2 "$image"
  local long
  long=$(grep "^device=2 sessions" "$summary")
  expect_eq "device with a 249-character path probed" "$(field "$long" probes)" 0
  expect_eq "device with a 249-character path opened" "$(field "$long" inOpens)" 0
  stop_pelorin
}

# Three devices and a 4 MiB image; device 1 stops reading half-way through the data with its
# pipes open, as a device whose firmware hangs. Its blocked write is given up after 10 s: its
# "연결 에러3" box, the two others verified, the dialog idle again and not "Complete", and every
# pipe of the hung device closed by the host.
scenario_pipes_hang() {
  local image=$work/hang.nb0 half=$((2 * 1024 * 1024))
  make_image "$image" $((4 * 1024 * 1024))
  start_devsim 3 --image "$(win_path "$image")" --device 1:hang-after=$half || return
  start_pelorin
  drv wait-window "$MAIN" 30000 || { fail "the main dialog did not appear"; return; }
  choose_image "$image" || return
  drv click 1007
  drv wait-box 40000 || { fail "no box for the hung device"; return; }
  local box_ms
  box_ms=$(awk '{printf "%d", $1 * 1000}' /proc/uptime)
  sleep 0.5
  shot box
  wait_idle 15 || return
  local status
  status=$(drv get-text 1003)
  expect_eq "status" "$status" "Error - No.1"
  expect_eq "message boxes" "$(drv boxes)" "연결 에러3|USB Cable 연결을 확인해 보세요."
  check_idle_buttons
  # Again, and this time the operator closes the tool while the device hangs: it ends at once.
  drv click 1007
  sleep 5
  local closed_at=$SECONDS
  stop_pelorin
  echo "measure: closed while a device hangs: the process ended within $((SECONDS - closed_at)) s"
  stop_devsim
  for k in 0 2; do
    local line
    line=$(session_line $k)
    expect_eq "device $k replies" "$(field "$line" replies)" "OK0,OK1"
    expect_eq "device $k data" "$(field "$line" image)" match
  done
  local hung
  hung=$(session_line 1)
  expect_eq "device 1 hung" "$(field "$hung" hung)" 1
  expect_eq "device 1 data taken" "$(field "$hung" bytes)" $half
  expect_eq "device 1 out-pipe closed by the host" "$(field "$hung" outClosed)" 1
  expect_eq "device 1 in-pipe closed by the host" "$(field "$hung" inClosed)" 1
  local opens
  opens=$(grep "^device=1 sessions" "$summary")
  expect_eq "device 1 pipes opened once a download" "$(field "$opens" inOpens)/$(field "$opens" outOpens)" "2/2"
  local given_up=$((box_ms - $(field "$hung" hungTick)))
  echo "measure: hung device's box $given_up ms after its write hung (limit 10000 ms)" |
    tee "$work/$scenario.measure"
  [ "$given_up" -ge 10000 ] || fail "the hung device was given up after $given_up ms, before the limit"
  [ "$given_up" -lt 13000 ] || fail "the hung device was given up only after $given_up ms"
  expect_eq "device 1 hung again in the second download" "$(field "$(session_line 1 1)" hung)" 1
}
