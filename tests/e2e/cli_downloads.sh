# Downloads of the headless front end PelorinCli.exe against simulated devices (devsim.exe),
# sourced by run_e2e.sh through the scenario_cli_*.sh files. Uses run_e2e.sh's and
# pipe_downloads.sh's helpers; the records are read with jq.

. "$here/pipe_downloads.sh"
cli_exe=$(dirname "$pelorin")/../cli/PelorinCli.exe

# cli NAME ARGS...: runs PelorinCli.exe; its standard output, standard error and exit status go
# to $work/NAME.out, .err and the variable cli_status.
cli() {
  local name=$1
  shift
  run_win "$cli_exe" "$@" >"$work/$name.out" 2>"$work/$name.err"
  cli_status=$?
  echo "cli $name: exit $cli_status"
  sed 's/^/  | /' "$work/$name.out" "$work/$name.err"
}
# The device path devsim's device k has.
sim_path() { echo "\\\\?\\root#simdev#000$1#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}\\simdev$1"; }
# jq_of NAME FILTER: a value of the record NAME.json.
jq_of() { jq -r "$2" "$work/$1.json"; }

# Three good devices: --list opens no pipe; a download verifies on all three (exit 0), each
# line and the record agree with what each device received. Then a verification error among
# three (exit 1), a device that hangs half-way (exit 1, link-error, within the limit), and
# Ctrl+C while it hangs (exit 130).
scenario_cli_pipes() {
  local image=$work/cli.nb0 size=$((1024 * 1024 + 77))
  make_image "$image" $size
  start_devsim 3 --image "$(win_path "$image")" || return
  cli list --list
  expect_eq "list exit" "$cli_status" 0
  # Index, port, serial ("-": these root devices have neither) and interface path.
  expect_eq "list" "$(cat "$work/list.out")" "$(printf '0 - - %s\n1 - - %s\n2 - - %s' "$(sim_path 0)" "$(sim_path 1)" "$(sim_path 2)")"
  cli three --json "$(win_path "$work/three.json")" "$(win_path "$image")"
  expect_eq "exit" "$cli_status" 0
  stop_devsim
  expect_eq "list opened no pipe" "$(grep -c 'inOpens=1 outOpens=1' "$summary")" 3
  check_received 3 "$image"
  expect_eq "record result" "$(jq_of three .result)" verified
  expect_eq "record family" "$(jq_of three .family)" pipe
  expect_eq "record image size" "$(jq_of three .image.size)" $size
  expect_eq "record byte sum" "$(jq_of three .image.byteSum)" "$(field "$(session_line 0)" hostsum)"
  expect_contains "record start" "$(jq_of three .started)" "$(date -u +%Y-%m-%dT)"
  for k in 0 1 2; do
    expect_eq "device $k record" \
      "$(jq_of three ".devices[$k] | [.index, .path, .result, .bytesSent, .message] | map(tostring) | join(\"|\")")" \
      "$k|$(sim_path $k)|verified|$size|"
    expect_contains "device $k line" "$(cat "$work/three.out")" \
      "device $k: verified, $size bytes in "
  done
  expect_eq "no boxes" "$(cat "$work/three.err")" ""
  expect_eq "summary line" "$(tail -n 1 "$work/three.out" | cut -d' ' -f1-4)" "verified: 3 of 3"

  start_devsim 3 --image "$(win_path "$image")" --device 1:verierr || return
  cli verierr --json "$(win_path "$work/verierr.json")" "$(win_path "$image")"
  expect_eq "verification error exit" "$cli_status" 1
  stop_devsim
  expect_eq "record result" "$(jq_of verierr .result)" failed
  expect_eq "devices" "$(jq_of verierr '[.devices[].result] | join(",")')" \
    "verified,verification-error,verified"
  expect_eq "device 1 message" "$(jq_of verierr '.devices[1].message')" \
    "Verification Error 다시 시도해 주세요."
  expect_contains "box on standard error" "$(cat "$work/verierr.err")" \
    "에러: Verification Error 다시 시도해 주세요."
  expect_contains "device 1 line" "$(cat "$work/verierr.out")" \
    "device 1: verification-error: Verification Error 다시 시도해 주세요."

  start_devsim 3 --image "$(win_path "$image")" --device 1:hang-after=524288 || return
  cli hang --json "$(win_path "$work/hang.json")" "$(win_path "$image")"
  expect_eq "hung device exit" "$cli_status" 1
  stop_devsim
  expect_eq "devices" "$(jq_of hang '[.devices[].result] | join(",")')" "verified,link-error,verified"
  # The device took 512 KiB; the host's write of the next chunk completed too (the simulator had
  # read it off the pipe before it hung), the one after it blocked.
  expect_eq "hung device's bytes" "$(jq_of hang '.devices[1].bytesSent')" $((524288 + 131072))
  expect_eq "bytes the hung device took" "$(field "$(session_line 1)" bytes)" 524288
  local seconds
  seconds=$(jq_of hang '.devices[1].seconds')
  echo "measure: the hung device ended after $seconds s (2 s of pauses, then the 10 s write limit)"
  awk -v s="$seconds" 'BEGIN { exit !(s >= 12 && s < 16) }' ||
    fail "the hung device ended after $seconds s"
  expect_eq "hung device's pipes closed" "$(field "$(session_line 1)" outClosed)/$(field "$(session_line 1)" inClosed)" "1/1"

  # Ctrl+C (Wine turns SIGINT into the console's Ctrl+C event) while a device hangs: the hung
  # call ends at once, every handle is closed, the record is still written, exit 130.
  start_devsim 3 --image "$(win_path "$image")" --device 1:hang-after=524288 || return
  cli_ctrl_c cancel 4 --json "$(win_path "$work/cancel.json")" "$(win_path "$image")"
  stop_devsim
  expect_eq "Ctrl+C exit" "$cli_status" 130
  expect_eq "Ctrl+C record" "$(jq_of cancel '"\(.result) \([.devices[].result] | join(","))"')" \
    "cancelled verified,link-error,verified"
  [ "$cli_stop_ms" -le 3000 ] || fail "PelorinCli.exe took more than 3 s to end after Ctrl+C"
  expect_eq "hung device's pipes closed after Ctrl+C" "$(field "$(session_line 1)" outClosed)/$(field "$(session_line 1)" inClosed)" "1/1"
}

# cli_ctrl_c NAME SECONDS ARGS...: runs PelorinCli.exe (its output in NAME.out and NAME.err) and
# presses Ctrl+C (Wine turns SIGINT into the console's Ctrl+C event) in that very process after
# SECONDS; sets cli_status and cli_stop_ms, the milliseconds from Ctrl+C to the program's end.
cli_ctrl_c() {
  local name=$1 after=$2
  shift 2
  run_win "$cli_exe" "$@" >"$work/$name.out" 2>"$work/$name.err" &
  local runner=$! program
  sleep "$after"
  program=$(program_pid "$runner" "${cli_exe##*/}")
  local stopped_at
  stopped_at=$(date +%s%N)
  if [ -n "$program" ]; then
    kill -INT "$program"
  else
    # Not found: the run would never end (a station waits for units); everything in the prefix
    # ends instead, and the scenario fails now.
    fail "$name: no ${cli_exe##*/} to stop"
    WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1
  fi
  wait "$runner"
  cli_status=$?
  cli_stop_ms=$((($(date +%s%N) - stopped_at) / 1000000))
  echo "cli $name: exit $cli_status, $cli_stop_ms ms after Ctrl+C"
  sed 's/^/  | /' "$work/$name.out" "$work/$name.err"
}

# What never reaches a device: a usage error, a missing image, an image of 4 GiB and more (a
# 5 GB sparse file), all exit 2 with no device touched; no device at all and no driver service
# exit 3.
scenario_cli_refusals() {
  start_devsim 1 || return
  cli usage --bogus x.nb0
  expect_eq "unknown option exit" "$cli_status" 2
  cli missing --json "$(win_path "$work/missing.json")" "$(win_path "$work/no-such-image.nb0")"
  expect_eq "missing image exit" "$cli_status" 2
  expect_eq "missing image record" "$(jq_of missing '"\(.result) \(.devices | length)"')" \
    "image-error 0"
  expect_contains "missing image box" "$(cat "$work/missing.err")" "파일 에러: 이미지 파일을 열수 없습니다."
  local huge=$work/huge.nb0
  truncate -s 5000000000 "$huge"
  cli huge --json "$(win_path "$work/huge.json")" "$(win_path "$huge")"
  rm -f "$huge"
  expect_eq "5 GB image exit" "$cli_status" 2
  expect_eq "5 GB image record" "$(jq_of huge '"\(.result) \(.image.size)"')" \
    "image-error 5000000000"

  # A record that cannot be written is never a success. Something that cannot be removed stands
  # at the record's path: nothing is sent (exit 2). Standard output full or closed under the
  # record: the devices' results stand, exit 4. An earlier record at the path is gone before the
  # run starts, so it can never stand for this one.
  local small=$work/cli-one.nb0
  make_image "$small" 1000
  mkdir -p "$work/folder.json"
  cli folder --json "$(win_path "$work/folder.json")" "$(win_path "$small")"
  expect_eq "record path held by a folder exit" "$cli_status" 2
  expect_contains "record path held by a folder" "$(cat "$work/folder.err")" "nothing was sent"
  stop_devsim
  expect_eq "no device touched" "$(grep '^device=0 sessions' "$summary" | cut -d' ' -f2-5)" \
    "sessions=0 probes=0 inOpens=0 outOpens=0"

  start_devsim 1 --image "$(win_path "$small")" || return
  run_win "$cli_exe" --json - "$(win_path "$small")" >/dev/full 2>"$work/full.err"
  cli_status=$?
  echo "cli full: exit $cli_status"
  expect_eq "record on a full standard output exit" "$cli_status" 4
  expect_contains "record on a full standard output" "$(cat "$work/full.err")" "the devices' results stand"
  expect_contains "device line on standard error" "$(cat "$work/full.err")" "device 0: verified"
  run_win "$cli_exe" --json - "$(win_path "$small")" 2>"$work/closed.err" | (exec 0<&-; true)
  cli_status=${PIPESTATUS[0]}
  echo "cli closed: exit $cli_status"
  expect_eq "record on a closed standard output exit" "$cli_status" 4
  stop_devsim
  expect_eq "both runs verified the device" "$(grep -c 'verified=1' "$summary")" 2

  # A run that dies (ended from outside, as by the task manager) after it started leaves no
  # record, not the last run's "verified".
  echo '{"result": "verified"}' >"$work/stale.json"
  start_devsim 1 --image "$(win_path "$small")" --device 0:stall || return
  run_win "$cli_exe" --json "$(win_path "$work/stale.json")" "$(win_path "$small")" \
    >"$work/stale.out" 2>&1 &
  local runner=$!
  sleep 4
  run_win taskkill /F /IM PelorinCli.exe >/dev/null 2>&1
  wait "$runner"
  stop_devsim
  [ -e "$work/stale.json" ] && fail "the last run's record still stands: $(cat "$work/stale.json")"

  # Ctrl+C while the image is read the first time (4 GiB - 1 of a sparse file): exit 130 at
  # once, no device probed or opened.
  start_devsim 1 || return
  truncate -s 4294967295 "$huge"
  cli_ctrl_c readcancel 1.5 --json "$(win_path "$work/readcancel.json")" "$(win_path "$huge")"
  rm -f "$huge"
  stop_devsim
  expect_eq "Ctrl+C while reading exit" "$cli_status" 130
  [ "$cli_stop_ms" -le 1000 ] || fail "PelorinCli.exe took $cli_stop_ms ms to end after Ctrl+C"
  expect_eq "Ctrl+C while reading record" "$(jq_of readcancel '"\(.result) \(.devices | length)"')" \
    "cancelled 0"
  expect_eq "no device touched after Ctrl+C" "$(grep '^device=0 sessions' "$summary" | cut -d' ' -f2-5)" \
    "sessions=0 probes=0 inOpens=0 outOpens=0"

  start_devsim 0 || return
  local image=$work/cli-small.nb0
  make_image "$image" 1000
  cli none --json "$(win_path "$work/none.json")" "$(win_path "$image")"
  expect_eq "no device exit" "$cli_status" 3
  expect_eq "no device record" "$(jq_of none '"\(.result) \(.devices | length)"')" \
    "no-device 0"
  expect_contains "no device box" "$(cat "$work/none.err")" "연결 에러: USB Cable 연결을 확인해 보세요."
  cli driver --family driver --json - "$(win_path "$image")"
  expect_eq "no driver service exit" "$cli_status" 3
  # With the record on standard output, the lines go to standard error.
  expect_eq "no driver service record" "$(jq -r '.result + " " + .family' "$work/driver.out")" \
    "no-device driver"
  expect_contains "no driver service box" "$(cat "$work/driver.err")" "에러: USB Driver Fail."
  stop_devsim
}
