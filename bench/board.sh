#!/usr/bin/env bash
# Benchmark (not a test; CI does not run it): what the station board (PelorinStation.exe) costs
# beside the console station (PelorinCli.exe --station) over the same engine.
#
#   bench/board.sh [BUILD_DIR] [--rounds N] [--size BYTES[K|M]]
#
#   BUILD_DIR   a Windows build folder (default build/win64 of the repository) holding
#               PelorinStation.exe, PelorinCli.exe, devsim.exe and e2e_driver.exe
#   --rounds N  rounds (default 3); each round runs the three runs below once
#   --size S    image size of the CPU runs (default 8M; K and M are binary)
#
# Every run flashes USB-like devsim.exe units in a Wine prefix, under a wineserver and on an Xvfb
# display of this script's own, in the Korean locale.
#   arrival   16 units arriving one by one, 0.37 s apart, on the board: the time from each
#             unit's arrival (devsim makes it listed; devsim's clock, GetTickCount64) to its tile
#             first reading "flashing" (e2e_driver's board-watch, the same clock). Target: p95
#             <= 1 s.
#   cli64     64 units present, PelorinCli.exe --station --max-devices 64 --count 64.
#   board64   the same on the board (PelorinStation.exe with the same options).
# For the two CPU runs (the units arrive 4 s after devsim is ready): the process's CPU (user +
# system, every thread, /proc/PID/stat) from the moment it waits for units (the image read, the
# window made) to its last record, per byte sent (64 x S), in ns, the board's drawing included.
# Target: board64 at most 1.3x cli64 per byte.
# The table goes to stdout and BUILD_DIR/bench/board.txt; the last run's logs stay in
# BUILD_DIR/bench/board/.
#
# Exit status: 0 when every run ended with every unit verified, 1 otherwise, 2 on bad use.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)

. "$here/wine_bench.sh"

round_options 5 10 "$@"
devsim=$build/tools/devsim/devsim.exe cli=$build/src/cli/PelorinCli.exe
board=$build/src/board/PelorinStation.exe driver=$build/tests/e2e/e2e_driver.exe
for f in "$devsim" "$cli" "$board" "$driver"; do
  [ -f "$f" ] || { echo "board.sh: $f not found" >&2; exit 2; }
done

bench_start board 600 649 || exit 1
run_win reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1

records() { [ -f "$1" ] && wc -l <"$1" || echo 0; }

# flash NAME PROGRAM UNITS IMAGE: one station (console or board) to --count UNITS; sets cpu_ns
# (the process's CPU from the moment it waits for units, its image read, to its last record) and
# ok (every unit verified). The console tells that moment by its "waiting for devices" line, the
# board by its header naming the image; the units arrive later, so nothing of them is missed.
flash() {
  local name=$1 program=$2 units=$3 image=$4
  local log=$work/$name.jsonl
  rm -f "$log"
  local args=(--log "$(win_path "$log")" --max-devices "$units" --count "$units" "$(win_path "$image")")
  if [ "$program" = cli ]; then
    run_win "$cli" --station "${args[@]}" >"$work/$name.log" 2>&1 &
  else
    # English: the board's texts are read as the documented English form (the bench runs under a
    # Korean locale).
    run_win "$board" --lang en "${args[@]}" >"$work/$name.log" 2>&1 &
  fi
  local runner=$! pid start="" last=0 now
  started_pids+=("$runner")
  pid=$(program_pid "$runner" "$([ "$program" = cli ] && echo PelorinCli.exe || echo PelorinStation.exe)")
  rm -f "$work/board.ready"
  if [ "$program" = board ]; then
    (run_win "$driver" board-wait " | SHA-256 " 30000 >/dev/null 2>&1; touch "$work/board.ready") &
  fi
  while kill -0 "$runner" 2>/dev/null && [ "$(records "$log")" -lt "$units" ]; do
    if [ -z "$start" ] && { grep -q 'waiting for devices' "$work/$name.log" || [ -f "$work/board.ready" ]; }; then
      start=$(cpu_ticks "$pid")
    fi
    now=$(cpu_ticks "$pid")
    [ "$now" -gt 0 ] && last=$now
    sleep 0.02
  done
  now=$(cpu_ticks "$pid")
  [ "$now" -gt 0 ] && last=$now
  if [ "$program" = board ]; then
    run_win "$driver" board-close >/dev/null 2>&1
  fi
  wait "$runner"
  ok=0
  [ "$(jq -r .result "$log" | grep -c '^verified$')" = "$units" ] && ok=1
  [ -n "$start" ] || ok=0
  cpu_ns=$(((last - ${start:-0}) * 1000000000 / clk_tck))
}

small=$work/small.nb0 big=$work/big.nb0
head -c $((1024 * 1024)) /dev/urandom >"$small"
head -c "$size" /dev/urandom >"$big"
: >"$work/latencies.txt"
failed=0
rows=()
for round in $(seq "$rounds"); do
  # Arrival to "flashing" on the tile: units arriving 0.37 s apart.
  mapfile -t options < <(units 16 A)
  for k in $(seq 0 15); do options[$((2 * k + 1))]+=",arrive=$((2000 + k * 370))"; done
  serve 16 "${options[@]}" || exit 1
  run_win "$board" --lang en --log "$(win_path "$work/arrival.jsonl")" --count 16 "$(win_path "$small")" \
    >"$work/arrival.log" 2>&1 &
  board_runner=$!
  started_pids+=("$board_runner")
  run_win "$driver" board-watch " | flashing " 16 60000 >"$work/watch.txt" 2>&1
  for _ in $(seq 600); do [ "$(records "$work/arrival.jsonl")" -ge 16 ] && break; sleep 0.1; done
  run_win "$driver" board-close >/dev/null 2>&1
  wait "$board_runner"
  stop_devsim
  [ "$(jq -r .result "$work/arrival.jsonl" | grep -c '^verified$')" = 16 ] ||
    { echo "round $round: arrival run failed" >&2; failed=1; }
  # Port_#000k+1 arrived at origin + 2000 + k * 370 ms.
  awk -v origin="$origin" '$2 ~ /^Port_#/ { k = substr($2, 7, 4) - 1; print $1 - (origin + 2000 + k * 370) }' \
    "$work/watch.txt" >>"$work/latencies.txt"
  rm -f "$work/arrival.jsonl"

  # Every unit arrives 4 s after devsim is ready: by then either station waits for units.
  mapfile -t options < <(units 64 C arrive=4000)
  for program in cli board; do
    serve 64 "${options[@]}" || exit 1
    flash "${program}64" "$program" 64 "$big"
    stop_devsim
    [ "$ok" = 1 ] || { echo "round $round: ${program}64 run failed" >&2; failed=1; }
    eval "${program}_ns=\$cpu_ns"
  done
  rows+=("$round $cli_ns $board_ns")
  echo "round $round: cli64 ${cli_ns} ns, board64 ${board_ns} ns" >&2
done

{
  echo "board benchmark: $rounds rounds, CPU runs with 64 units and an image of $size bytes ($arch)"
  sort -n "$work/latencies.txt" | awk '{ v[NR] = $1 } END {
    p50 = v[int((NR + 1) * 0.50)]; p95 = v[int(NR * 0.95 + 0.999)]
    printf "arrival to \"flashing\" on the tile: %d units, p50 %d ms, p95 %d ms, max %d ms (target p95 <= 1000 ms)\n", NR, p50, p95, v[NR] }'
  printf '%s\n' "${rows[@]}" | awk -v size="$size" '{
    cli = $2 / (64 * size); board = $3 / (64 * size)
    printf "round %d: cli64 %.3f ns/byte, board64 %.3f ns/byte, ratio %.2f\n", $1, cli, board, board / cli
    print board / cli > "/dev/stderr" }' 2>"$work/ratios.txt"
  sort -n "$work/ratios.txt" | awk '{ r[NR] = $1 } END {
    printf "median ratio board64/cli64 per byte: %.2f (target <= 1.3)\n", r[int((NR + 1) / 2)] }'
} | tee "$result_file"
exit "$failed"
