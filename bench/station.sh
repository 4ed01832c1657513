#!/usr/bin/env bash
# Benchmark (not a test; CI does not run it): what a station (PelorinCli.exe --station) costs.
#
#   bench/station.sh [BUILD_DIR] [--rounds N] [--size BYTES[K|M]]
#
#   BUILD_DIR   a Windows build folder (default build/win64 of the repository) holding
#               PelorinCli.exe and devsim.exe
#   --rounds N  rounds (default 3); each round runs the three runs below once
#   --size S    image size of the CPU runs (default 8M; K and M are binary)
#
# Every run is one station with --count (it ends by itself) against USB-like devsim.exe units in
# a Wine prefix and under a wineserver of this script's own, in the Korean locale.
#   arrival   16 units arriving one by one, 0.37 s apart (so that arrivals fall anywhere between
#             two polls), a 64 KiB image: the time from each unit's arrival (devsim makes it
#             listed) to its magic (the station's first write), both in devsim's clock.
#             Target: p95 <= 0.6 s.
#   cpu16     16 units present at the start, --max-devices 16, an image of S bytes.
#   cpu64     64 units, --max-devices 64, the same image.
# For the two CPU runs: the station's own process CPU (user + system, every thread, from
# /proc/PID/stat) from its "waiting for devices" line (after the image was hashed) to its end,
# per byte sent (units x S), in ns. Target: cpu64 costs at most 1.2x per byte what cpu16 costs.
# The table goes to stdout and BUILD_DIR/bench/station.txt; the last run's logs and devsim
# summaries stay in BUILD_DIR/bench/station/.
#
# Exit status: 0 when every run ended with every unit verified, 1 otherwise, 2 on bad use.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)

. "$here/wine_bench.sh"

round_options 4 9 "$@"
devsim=$build/tools/devsim/devsim.exe cli=$build/src/cli/PelorinCli.exe
for f in "$devsim" "$cli"; do [ -f "$f" ] || { echo "station.sh: $f not found" >&2; exit 2; }; done

bench_start station 500 599 || exit 1

# station NAME UNITS IMAGE: one station to --count UNITS; sets cpu_ns (CPU from the waiting line
# to the end) and ok (every unit verified).
station() {
  local name=$1 units=$2 image=$3
  rm -f "$work/$name.jsonl"
  run_win "$cli" --station --log "$(win_path "$work/$name.jsonl")" --max-devices "$units" \
    --count "$units" "$(win_path "$image")" >"$work/$name.log" 2>&1 &
  local runner=$! pid start="" last="" now
  pid=$(program_pid "$runner" PelorinCli.exe)
  while kill -0 "$runner" 2>/dev/null; do
    if [ -z "$start" ] && grep -q 'waiting for devices' "$work/$name.log"; then start=$(cpu_ticks "$pid"); fi
    now=$(cpu_ticks "$pid")
    [ "$now" -gt 0 ] && last=$now
    sleep 0.02
  done
  wait "$runner"
  local status=$?
  ok=0
  [ "$status" = 0 ] && [ "$(jq -r .result "$work/$name.jsonl" | grep -c '^verified$')" = "$units" ] && ok=1
  cpu_ns=$(( ( ${last:-0} - ${start:-0} ) * 1000000000 / clk_tck ))
}

small=$work/small.nb0 big=$work/big.nb0
head -c 65536 /dev/urandom >"$small"
head -c "$size" /dev/urandom >"$big"
: >"$work/latencies.txt"
failed=0
rows=()
for round in $(seq "$rounds"); do
  # Arrival to magic: units arriving 0.37 s apart.
  mapfile -t options < <(units 16 A)
  for k in $(seq 0 15); do options[$((2 * k + 1))]+=",arrive=$((1000 + k * 370))"; done
  serve 16 "${options[@]}" || exit 1
  station arrival 16 "$small"
  stop_devsim
  cp "$work/run.summary" "$work/arrival.summary"
  [ "$ok" = 1 ] || { echo "round $round: arrival run failed" >&2; failed=1; }
  grep ' session=' "$work/run.summary" | sed -n 's/.* arrivedMs=\([0-9-]*\).* magicMs=\([0-9-]*\).*/\1 \2/p' |
    awk '$1 >= 0 && $2 >= 0 { print $2 - $1 }' >>"$work/latencies.txt"

  for units in 16 64; do
    mapfile -t options < <(units "$units" "C$units-")
    serve "$units" "${options[@]}" || exit 1
    station "cpu$units" "$units" "$big"
    stop_devsim
    [ "$ok" = 1 ] || { echo "round $round: cpu$units run failed" >&2; failed=1; }
    eval "cpu$units=\$cpu_ns"
  done
  rows+=("$round $cpu16 $cpu64")
  echo "round $round: cpu16 ${cpu16} ns, cpu64 ${cpu64} ns" >&2
done

{
  echo "station benchmark: $rounds rounds, CPU runs with an image of $size bytes ($arch)"
  sort -n "$work/latencies.txt" | awk '{ v[NR] = $1 } END {
    p50 = v[int((NR + 1) * 0.50)]; p95 = v[int(NR * 0.95 + 0.999)]
    printf "arrival to magic: %d units, p50 %d ms, p95 %d ms, max %d ms (target p95 <= 600 ms)\n", NR, p50, p95, v[NR] }'
  printf '%s\n' "${rows[@]}" | awk -v size="$size" '{
    per16 = $2 / (16 * size); per64 = $3 / (64 * size)
    printf "round %d: cpu16 %.3f ns/byte, cpu64 %.3f ns/byte, ratio %.2f\n", $1, per16, per64, per64 / per16
    print per64 / per16 > "/dev/stderr" }' 2>"$work/ratios.txt"
  sort -n "$work/ratios.txt" | awk '{ r[NR] = $1 } END {
    printf "median ratio cpu64/cpu16 per byte: %.2f (target <= 1.2)\n", r[int((NR + 1) / 2)] }'
} | tee "$result_file"
exit "$failed"
