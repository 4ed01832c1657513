#!/usr/bin/env bash
# Benchmark (not a test; CI does not run it): what the dialog costs during a bulk-pipe download.
#
#   bench/pipe_throughput.sh [BUILD_DIR] [--pairs N] [--size BYTES[K|M]] [--devices N]
#                            [--exe PATH] [--before PATH] [--host-pauses]
#
#   BUILD_DIR      a Windows build folder (default build/win64 of the repository) holding
#                  Pelorin.exe, e2e_driver.exe, devsim.exe and bench_host.exe
#   --pairs N      rounds (default 5); each round runs every program once, in the same order
#   --size S       image size (default 64M = 67108864 bytes; K and M are binary)
#   --devices N    simulated devices (default 16)
#   --exe PATH     the Pelorin.exe to measure (default the build's)
#   --before PATH  an older Pelorin.exe, measured in the same rounds before it: the rounds then
#                  run before, after, host
#   --host-pauses  also runs bench_host.exe with the protocol's two 1 s pauses (as "host-p", last
#                  in each round; its ratios are printed apart from the targets' ones)
#
# Every run is one download of a random image to N devsim.exe devices (a fresh devsim per run)
# in a Wine prefix, on a virtual display and under a wineserver that belong to this script, in
# the Korean locale and with Wine drawing the title bars, as in the end-to-end runs. The
# programs measured:
#   - Pelorin.exe, the real dialog: started, the image chosen through its Open File dialog, then
#     Download clicked by e2e_driver.exe and the status line watched until it reads "Complete";
#     the process is closed after each run.
#   - bench_host.exe: the same download code (discovery, pipe opens, workers, watchdog) without
#     window and without the protocol's two 1 s pauses.
# What each run reports:
#   MB/s    the data phase as the devices saw it, from devsim's summary (GetTickCount ms): N x
#           image size / (latest dataEnd - earliest dataStart), in 10^6 bytes per second.
#   cpu_s   user + system CPU of the program's own Linux process (every thread), from
#           /proc/PID/stat (utime + stime, clock ticks of getconf CLK_TCK). The same span for
#           both: read, after 2 s of quiet, just before the download is started (Pelorin.exe: before the Download
#           click is posted; bench_host.exe: before its go file is made, which it polls every
#           10 ms) and again as soon as the end is seen (Pelorin.exe: e2e_driver's wait-status,
#           which polls the status line every 50 ms, returns; bench_host.exe: its done file
#           appears, polled every 20 ms). The exe's span holds its two 1 s pauses. The host's
#           own GetProcessTimes figures for its download (RunPipeDownload alone) are shown
#           beside, as a check.
#   main_s  the same for the process's main thread: in Pelorin.exe the dialog thread, which
#           draws and takes the posts; in bench_host.exe the controller and watchdog.
#   span_s  wall time of that span.
#   wsrv_s, xvfb_s   CPU of the prefix's wineserver (which carries the pipe data and every
#           posted message, for devsim and the driver too) and of the virtual display's X
#           server over the same span: where drawing and posting cost outside the process.
# Then the medians per program and the ratios to bench_host.exe: CPU (target: exe at most 1.5x
# the host's) and throughput (target: exe at least 0.95x the host's). The table goes to stdout
# and to BUILD_DIR/bench/pipe_throughput.txt; logs of the last run of each program and devsim's
# summaries stay in BUILD_DIR/bench/pipe_throughput/.
#
# Exit status: 0 when every run completed with every device verified, 1 otherwise, 2 on bad use.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)

. "$here/wine_bench.sh"

build=$repo/build/win64 pairs=5 size=$((64 * 1024 * 1024)) devices=16 exe="" before="" host_pauses=0
usage() { sed -n '4,17p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --pairs) pairs=${2:?}; shift 2 ;;
    --size) size=$(parse_size "${2:?}") || usage; shift 2 ;;
    --devices) devices=${2:?}; shift 2 ;;
    --exe) exe=${2:?}; shift 2 ;;
    --before) before=${2:?}; shift 2 ;;
    --host-pauses) host_pauses=1; shift ;;
    -h | --help) usage ;;
    -*) echo "pipe_throughput.sh: unknown option $1" >&2; usage ;;
    *) build=$1; shift ;;
  esac
done
[ "$pairs" -ge 1 ] 2>/dev/null || usage
[ "$devices" -ge 1 ] 2>/dev/null && [ "$devices" -le 16 ] || usage
[ "$size" -ge 1 ] 2>/dev/null && [ "$size" -lt 4294967296 ] || usage
build=$(cd "$build" 2>/dev/null && pwd) || { echo "pipe_throughput.sh: no build folder" >&2; exit 2; }

find_program() {  # find_program NAME DEFAULT_RELATIVE_PATH
  local path=$build/$2
  [ -f "$path" ] || path=$(find "$build" -name "$1" -not -path '*/wineprefix/*' -print -quit)
  [ -n "$path" ] && [ -f "$path" ] || { echo "pipe_throughput.sh: $1 not found in $build" >&2; exit 2; }
  echo "$path"
}
devsim=$(find_program devsim.exe tools/devsim/devsim.exe)
driver=$(find_program e2e_driver.exe tests/e2e/e2e_driver.exe)
host=$(find_program bench_host.exe bench/bench_host.exe)
[ -n "$exe" ] || exe=$(find_program Pelorin.exe src/app/Pelorin.exe)
for f in "$exe" ${before:+"$before"}; do
  [ -f "$f" ] || { echo "pipe_throughput.sh: $f not found" >&2; exit 2; }
done
exe=$(realpath "$exe")
[ -n "$before" ] && before=$(realpath "$before")

# The Wine of the build's own programs: its PE machine type.
wine_arch_of "$devsim" || exit 2
wine_run=$repo/cmake/wine-run.sh
command -v Xvfb >/dev/null || { echo "pipe_throughput.sh: Xvfb is not installed" >&2; exit 2; }

work=$build/bench/pipe_throughput
prefix=$work/wineprefix
result_file=$build/bench/pipe_throughput.txt
mkdir -p "$work"
rm -f "$work"/*.log "$work"/*.devsim.txt  # the last benchmark's
clk_tck=$(getconf CLK_TCK)

xvfb_pid="" server_pid="" started_pids=()
cleanup() {
  local pid
  touch "$work/devsim.stop" "$work/host.go" "$work/host.quit" 2>/dev/null
  for pid in "${started_pids[@]}"; do kill "$pid" 2>/dev/null; done
  # Ends every program still running in this script's prefix (ours alone), and its server.
  [ -d "$prefix" ] && WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -f "$work/image.nb0" "$work/devsim.ready" "$work/devsim.stop" "$work/host.go" \
    "$work/host.done" "$work/host.quit" "$work/rows.txt" "$work/values.txt" "$work/tail.txt"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

. "$repo/cmake/xvfb.sh"
start_private_xvfb 400 499 || { echo "pipe_throughput.sh: no free display" >&2; exit 1; }
export LC_ALL=ko_KR.UTF-8 LANG=ko_KR.UTF-8

run_win() { "$wine_run" "$arch" "$prefix" "$@"; }
drv() { run_win "$driver" "$@"; }

bench_prefix pipe_throughput.sh || exit 1
# As in the end-to-end runs: no window manager, so Wine draws the title bars itself.
if [ ! -f "$prefix/.bench-ready" ]; then
  run_win reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  run_win reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
  touch "$prefix/.bench-ready"
fi
# The server's process: the one whose working directory is this prefix's server directory.
server_dir=server-$(printf '%x-%x' "$(stat -c %d "$prefix")" "$(stat -c %i "$prefix")")
for _ in $(seq 50); do
  for pid in $(pgrep wineserver); do
    case $(readlink "/proc/$pid/cwd") in */"$server_dir") server_pid=$pid ;; esac
  done
  [ -n "$server_pid" ] && break
  sleep 0.1
done
[ -n "$server_pid" ] || echo "pipe_throughput.sh: the prefix's wineserver was not found; wsrv_s stays 0" >&2

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# A pause without starting a process (sleep would fork 50 times a second while the host runs):
# a timed read of a pipe that never delivers.
exec {nap_fd}<> <(:)
nap() { read -rt "$1" -u "$nap_fd"; }
image=$work/image.nb0
head -c "$size" /dev/urandom >"$image"
summary=$work/devsim.txt
devsim_pid=""

start_devsim() {
  rm -f "$work/devsim.ready" "$work/devsim.stop" "$summary"
  run_win "$devsim" --devices "$devices" --image "$(win_path "$image")" \
    --ready "$(win_path "$work/devsim.ready")" --stop "$(win_path "$work/devsim.stop")" \
    --summary "$(win_path "$summary")" --timeout 1800 >"$work/devsim.log" 2>&1 &
  devsim_pid=$!
  started_pids+=("$devsim_pid")
  for _ in $(seq 600); do
    [ -f "$work/devsim.ready" ] && return 0
    kill -0 "$devsim_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "devsim did not get ready: $(cat "$work/devsim.log")"
  return 1
}
stop_devsim() {
  touch "$work/devsim.stop"
  for _ in $(seq 600); do kill -0 "$devsim_pid" 2>/dev/null || break; sleep 0.1; done
  wait "$devsim_pid" 2>/dev/null
  devsim_pid=""
}

# Fields of the run being measured, set by measure_exe / measure_host (times in ms).
run_ok=0 run_note="" cpu_ms=0 main_ms=0 span_ms=0 wsrv_ms=0 xvfb_ms=0
begin_span() {
  c0=$(cpu_ticks "$1") m0=$(cpu_ticks "$1/task/$1") s0=$(cpu_ticks "$server_pid")
  x0=$(cpu_ticks "$xvfb_pid") t0=$(now_ms)
}
end_span() {
  local c1 m1 s1 x1 t1
  c1=$(cpu_ticks "$1") m1=$(cpu_ticks "$1/task/$1") s1=$(cpu_ticks "$server_pid")
  x1=$(cpu_ticks "$xvfb_pid") t1=$(now_ms)
  cpu_ms=$(((c1 - c0) * 1000 / clk_tck)) main_ms=$(((m1 - m0) * 1000 / clk_tck))
  wsrv_ms=$(((s1 - s0) * 1000 / clk_tck)) xvfb_ms=$(((x1 - x0) * 1000 / clk_tck))
  span_ms=$((t1 - t0))
  [ "$c1" -gt 0 ] || { run_ok=0; run_note="the process was gone at the end of the span"; }
}

# end_program RUNNER PID: waits up to 10 s for a program asked to end, then ends it (the Wine
# process PID and its wine-run.sh RUNNER), so that no window of it is left for the next run.
end_program() {
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$1" 2>/dev/null; then  # still running (the runner waits for the program)
    [ -n "$2" ] && kill "$2" 2>/dev/null
    kill "$1" 2>/dev/null
  fi
  wait "$1" 2>/dev/null
}

MAIN="Image Loader Ver 4.0.1"
# Before each download: time for what the program's start set going in the prefix (its first
# paints, Wine's services after devsim's start) to end, the same for every program.
settle=2
measure_exe() {  # measure_exe PELORIN_EXE LOG
  local program=$1 log=$2 runner pid status
  run_ok=1 run_note=""
  start_devsim >"$log" || { run_ok=0 run_note="devsim did not start"; return; }
  "$wine_run" "$arch" "$prefix" "$program" >>"$log" 2>&1 &  # not run_win: $! is wine-run.sh
  runner=$!
  started_pids+=("$runner")
  pid=$(program_pid "$runner" "$(basename "$program")") || { run_ok=0 run_note="no Pelorin.exe process"; }
  if [ "$run_ok" = 1 ] && ! drv wait-window "$MAIN" 60000 >>"$log" 2>&1; then
    run_ok=0 run_note="the main dialog did not appear"
  fi
  if [ "$run_ok" = 1 ]; then
    drv click 1001
    drv wait-dialog 15000 >/dev/null && drv choose-file "$(win_path "$image")" >>"$log" 2>&1 &&
      drv wait-text 1002 "$size" 15000 >>"$log" 2>&1 ||
      { run_ok=0 run_note="the image could not be chosen"; }
  fi
  if [ "$run_ok" = 1 ]; then
    nap "$settle"
    begin_span "$pid"
    drv click 1007
    local deadline=$((SECONDS + 900))
    while ! status=$(drv wait-status Complete 20000 2>&1); do
      case $status in
        *Error*) run_ok=0 run_note="status: ${status#*reads }"; break ;;
      esac
      kill -0 "$pid" 2>/dev/null || { run_ok=0 run_note="Pelorin.exe ended during the download"; break; }
      [ $SECONDS -lt $deadline ] || { run_ok=0 run_note="no \"Complete\" within 900 s"; break; }
    done
    end_span "$pid"
    local boxes
    boxes=$(drv boxes 2>&1)
    [ -z "$boxes" ] || { run_ok=0 run_note="message boxes: $boxes"; }
  fi
  drv close >/dev/null 2>&1
  end_program "$runner" "$pid"
  stop_devsim
}

measure_host() {  # measure_host LOG [--pauses]
  local log=$1 runner pid
  run_ok=1 run_note=""
  start_devsim >"$log" || { run_ok=0 run_note="devsim did not start"; return; }
  rm -f "$work/host.go" "$work/host.done" "$work/host.quit"
  "$wine_run" "$arch" "$prefix" "$host" "$(win_path "$image")" ${2:+"$2"} --go "$(win_path "$work/host.go")" \
    --done "$(win_path "$work/host.done")" --quit "$(win_path "$work/host.quit")" >>"$log" 2>&1 &
  runner=$!
  started_pids+=("$runner")
  pid=$(program_pid "$runner" bench_host.exe) || { run_ok=0 run_note="no bench_host.exe process"; }
  for _ in $(seq 600); do grep -q '^ready' "$log" && break; sleep 0.05; done
  grep -q '^ready' "$log" || { run_ok=0 run_note="bench_host.exe did not start"; }
  if [ "$run_ok" = 1 ]; then
    nap "$settle"
    begin_span "$pid"
    touch "$work/host.go"
    local deadline=$((SECONDS + 900))
    while [ ! -f "$work/host.done" ] && kill -0 "$runner" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
      nap 0.02
    done
    end_span "$pid"
    [ -f "$work/host.done" ] || { run_ok=0 run_note="bench_host.exe did not finish"; }
    grep -q '^result=devices' "$log" || { run_ok=0 run_note="bench_host: $(grep '^result=' "$log")"; }
  fi
  touch "$work/host.go" "$work/host.quit"
  end_program "$runner" "$pid"
  stop_devsim
}

# The data phase of the devices' sessions in the summary: sets data_ms and rate (MB/s); a run
# counts only when every device took the whole image and verified it.
read_summary() {
  data_ms=0 rate=0
  [ -f "$summary" ] || { run_ok=0 run_note="devsim wrote no summary"; return; }
  local good
  good=$(grep -c ' session=0 .*verified=1 image=match' "$summary")
  if [ "$good" != "$devices" ]; then
    run_ok=0 run_note="${run_note:+$run_note; }$good of $devices devices verified the image"
  fi
  read -r data_ms rate < <(awk -v bytes="$size" -v n="$devices" '
    / session=/ {
      for (i = 1; i <= NF; ++i) {
        split($i, kv, "=")
        if (kv[1] == "dataStart" && (first == "" || kv[2] + 0 < first)) first = kv[2] + 0
        if (kv[1] == "dataEnd" && (last == "" || kv[2] + 0 > last)) last = kv[2] + 0
      }
    }
    END {
      if (first == "" || last == "") { print "0 0"; exit }
      ms = last - first; if (ms <= 0) ms = 1
      printf "%d %.1f\n", ms, n * bytes / ms / 1000
    }' "$summary")
}

labels=() programs=()
if [ -n "$before" ]; then
  labels+=(before after) programs+=("$before" "$exe")
else
  labels+=(exe) programs+=("$exe")
fi
labels+=(host) programs+=(host)
[ "$host_pauses" = 1 ] && labels+=(host-p) programs+=(host-p)

# One row per run: run, program, data ms, MB/s, CPU, main thread, span, wineserver, Xvfb (ms),
# note. Completed runs also go to $values for the medians.
rows=$work/rows.txt values=$work/values.txt
: >"$rows"
: >"$values"
row() {
  awk -v OFS=' ' '{ printf "%-6s %-7s %8d %8.1f %7.2f %7.2f %7.2f %7.2f %7.2f", $1, $2, $3, $4,
    $5 / 1000, $6 / 1000, $7 / 1000, $8 / 1000, $9 / 1000
    $1 = $2 = $3 = $4 = $5 = $6 = $7 = $8 = $9 = ""; sub(/^ +/, ""); print ($0 == "" ? "" : "  " $0) }'
}
header=$(printf '%-6s %-7s %8s %8s %7s %7s %7s %7s %7s  %s' run program data_ms MB/s cpu_s main_s \
  span_s wsrv_s xvfb_s note)
title="pipe_throughput: $devices devices x $size bytes, $pairs rounds of $(IFS=,; echo "${labels[*]}"), $arch"
echo "$title"
echo "$header"
failed=0
for ((round = 1; round <= pairs; round++)); do
  for i in "${!labels[@]}"; do
    label=${labels[$i]} log=$work/${labels[$i]}.log
    case ${programs[$i]} in
      host) measure_host "$log" ;;
      host-p) measure_host "$log" --pauses ;;
      *) measure_exe "${programs[$i]}" "$log" ;;
    esac
    read_summary
    cp -f "$summary" "$work/$label.devsim.txt" 2>/dev/null
    note=""
    # The host's own GetProcessTimes for its download, beside what /proc gave.
    [ "${label%-p}" = host ] && note=$(sed -n 's/^result=.* cpuUserMs=\([0-9]*\) cpuKernelMs=\([0-9]*\).*/own: user \1 ms, kernel \2 ms/p' "$log")
    [ "$run_ok" = 1 ] || { note="FAILED: $run_note"; failed=$((failed + 1)); }
    values_line="$label $data_ms $rate $cpu_ms $main_ms $span_ms $wsrv_ms $xvfb_ms"
    echo "$round $values_line $note" | row | tee -a "$rows"
    [ "$run_ok" = 1 ] && echo "$values_line" >>"$values"
  done
done

# Medians per program over its completed runs (columns of $values: 2 data ms, 3 MB/s, 4 CPU ms,
# 5 main thread, 6 span, 7 wineserver, 8 Xvfb), then the ratios.
median() {
  awk -v l="$1" -v c="$2" '$1 == l { print $c }' "$values" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2];
         else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (a == "nan" || b == "nan" || b == 0) print "nan"; else printf "%.2f", a / b }'
}
verdict() {  # verdict RATIO <=|>= LIMIT
  awk -v r="$1" -v op="$2" -v l="$3" 'BEGIN {
    if (r == "nan") print "no data"; else print ((op == "<=" ? r <= l : r >= l) ? "met" : "NOT met") }'
}
{
  for label in "${labels[@]}"; do
    line="median $label"
    for c in 2 3 4 5 6 7 8; do line="$line $(median "$label" $c)"; done
    case $line in *nan*) echo "median $label: no completed run" ;; *) echo "$line" | row ;; esac
  done
  host_cpu=$(median host 4) host_rate=$(median host 3)
  for label in "${labels[@]}"; do
    case $label in host | host-p) continue ;; esac
    cpu_ratio=$(ratio "$(median "$label" 4)" "$host_cpu")
    rate_ratio=$(ratio "$(median "$label" 3)" "$host_rate")
    echo "ratio  $label/host: CPU $cpu_ratio (target <= 1.5: $(verdict "$cpu_ratio" '<=' 1.5))," \
      "throughput $rate_ratio (target >= 0.95: $(verdict "$rate_ratio" '>=' 0.95))"
    [ "$host_pauses" = 1 ] && echo "ratio  $label/host-p (both with the pauses):" \
      "CPU $(ratio "$(median "$label" 4)" "$(median host-p 4)")," \
      "throughput $(ratio "$(median "$label" 3)" "$(median host-p 3)")"
  done
  if [ -n "$before" ]; then
    echo "ratio  after/before: CPU $(ratio "$(median after 4)" "$(median before 4)")," \
      "throughput $(ratio "$(median after 3)" "$(median before 3)")"
  fi
  for i in "${!labels[@]}"; do
    case ${labels[$i]} in host | host-p) continue ;; esac
    echo "$(printf '%-7s' "${labels[$i]}:") ${programs[$i]}"
  done
  [ "$failed" -eq 0 ] || echo "$failed run(s) failed; they are left out of the medians"
} | tee "$work/tail.txt"

{
  echo "$title, $(date '+%Y-%m-%d %H:%M'), $(nproc) cores, load at the end $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "$header"
  cat "$rows" "$work/tail.txt"
} >"$result_file"
rm -f "$rows" "$values" "$work/tail.txt"
echo "table written to $result_file"
[ "$failed" -eq 0 ]
