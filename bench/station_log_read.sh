#!/usr/bin/env bash
# Benchmark (not a test; CI does not run it): how long a station takes to start on a big
# production log, which it reads whole before it waits for units.
#
#   bench/station_log_read.sh [BUILD_DIR] [--size BYTES[K|M|G]] [--runs N] [--ours PERCENT]
#                             [--native PROGRAM] [--before PATH] [--keep]
#
#   BUILD_DIR         a Windows build folder (default build/win32 of the repository, the 32-bit
#                     programs as shipped) holding PelorinCli.exe and devsim.exe
#   --size S          the log's size (default 1G; K, M and G are binary)
#   --runs N          runs of each kind (default 3)
#   --ours PERCENT    the share of the log's records that name the station's image (default 10)
#   --native PROGRAM  the native reader timer (default build/native/bench/log_read_native of the
#                     repository, built by the native preset; skipped when it is not there)
#   --before PATH     an older PelorinCli.exe (same architecture), run on the big log in every
#                     round too, as "before"
#   --keep            keep the log (BUILD_DIR/bench/station_log_read/big.jsonl) afterwards
#
# The log is made by bench/make_station_log.cpp (compiled here with the host's c++): records in
# the station's format numbered 1, 2, 3, ..., most of another image, the last PERCENT percent of
# a 64 KiB random image, the station's; one unit in eight without serial number, the others
# each with its own; a few results other than verified, and some units flashed again (about two
# million records in a few seconds for a gigabyte). Then, in a Wine prefix and under a
# wineserver of this script's own, runs alternate between
#   empty   a station on a log that does not exist yet: Wine's start, the image's hashing
#   big     a station on the big log (restored to its size before each run)
#   before  with --before, the older program on the big log
# each PelorinCli.exe --station --count 2 against two devsim.exe units: one whose serial's
# latest record with this image says verified (it must be skipped, already-verified), one whose
# latest says verification-error (it must be flashed). Per run: the wall time from the start of
# the program to its "station: waiting for devices" line (polled every 5 ms), the CPU of its
# process up to then and its VmRSS then (it holds the serial numbers of the image); a run on the
# big log also checks that its records continue the log's sequence and say what the log implies.
# The log is read from the page cache (it was just written). Then, when there is one, the native
# reader timer on the same log (LogMemoryReader fed a megabyte at a time, as the station feeds
# it). Target: the station waits for units within 5 s on the big log. The machine's load
# average before and after is printed too: other work on it shows in the wall times. The table goes to stdout and BUILD_DIR/bench/station_log_read.txt;
# the station outputs of the last runs stay in BUILD_DIR/bench/station_log_read/.
#
# Exit status: 0 when every run ended as it must, 1 otherwise, 2 on bad use.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)

. "$here/wine_bench.sh"

build=$repo/build/win32 size=$((1024 * 1024 * 1024)) runs=3 ours=10 keep=0
native=$repo/build/native/bench/log_read_native before=""
usage() { sed -n '5,18p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --size)
      case ${2:?} in
        *[Gg]) size=$((${2%?} * 1024 * 1024 * 1024)) ;;
        *) size=$(parse_size "$2") || usage ;;
      esac
      shift 2 ;;
    --runs) runs=${2:?}; shift 2 ;;
    --ours) ours=${2:?}; shift 2 ;;
    --native) native=${2:?}; shift 2 ;;
    --before) before=${2:?}; shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) usage ;;
    -*) echo "station_log_read.sh: unknown option $1" >&2; usage ;;
    *) build=$1; shift ;;
  esac
done
[ "$runs" -ge 1 ] 2>/dev/null && [ "$size" -ge 4096 ] 2>/dev/null || usage
[ "$ours" -ge 1 ] 2>/dev/null && [ "$ours" -le 100 ] || usage
build=$(cd "$build" 2>/dev/null && pwd) ||
  { echo "station_log_read.sh: no build folder" >&2; exit 2; }
devsim=$build/tools/devsim/devsim.exe cli=$build/src/cli/PelorinCli.exe
[ -z "$before" ] || before=$(realpath -m "$before")
for f in "$devsim" "$cli" ${before:+"$before"}; do
  [ -f "$f" ] || { echo "station_log_read.sh: $f not found" >&2; exit 2; }
done

command -v "${CXX:-c++}" >/dev/null || { echo "station_log_read.sh: no c++ compiler" >&2; exit 2; }
bench_cleanup_more() {
  rm -f "$work/empty.jsonl"
  [ "$keep" = 1 ] || rm -f "$work/big.jsonl"
}

bench_start station_log_read 500 599 || exit 1

# The log: its maker compiled when it is older than its source.
maker=$work/make_station_log
if [ ! -x "$maker" ] || [ "$here/make_station_log.cpp" -nt "$maker" ]; then
  "${CXX:-c++}" -O2 -std=c++17 -o "$maker" "$here/make_station_log.cpp" ||
    { echo "station_log_read.sh: make_station_log does not compile" >&2; exit 1; }
fi
image=$work/station.nb0
head -c 65536 /dev/urandom >"$image"
sha=$(sha256sum "$image" | cut -c1-64)
big=$work/big.jsonl
made_at=$EPOCHREALTIME
facts=$("$maker" "$big" "$size" "$sha" "$ours") ||
  { echo "station_log_read.sh: no log" >&2; exit 1; }
made_s=$(awk -v a="$made_at" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
fact() { sed -n "s/^$1=//p" <<<"$facts"; }
log_bytes=$(stat -c %s "$big") last_sequence=$(fact lastSequence)
verified_serial=$(fact verifiedSerial) unverified_serial=$(fact unverifiedSerial)
echo "station_log_read.sh: $log_bytes bytes, $(fact records) records ($(fact ourRecords) of this" \
  "image) made in $made_s s" >&2
[ -n "$verified_serial" ] && [ -n "$unverified_serial" ] ||
  { echo "station_log_read.sh: the log is too small to hold both kinds of serial" >&2; exit 2; }

# The two units of every run: one the big log shows verified, one it does not.
serve_two() {
  serve 2 --device "0:usb=1234:5678:$verified_serial,location=Port_#0001.Hub_#0001" \
    --device "1:usb=1234:5678:$unverified_serial,location=Port_#0002.Hub_#0001"
}

# station KIND LOG [PROGRAM]: one station (PROGRAM: another PelorinCli.exe); sets wait_s (start
# to the waiting line), cpu_s (its CPU up to then), rss_kb (its VmRSS then) and ok.
station() {
  local kind=$1 log=$2 out=$work/$1.log program=${3:-$cli}
  rm -f "$out"
  local start=$EPOCHREALTIME
  run_win "$program" --station --log "$(win_path "$log")" --count 2 "$(win_path "$image")" \
    >"$out" 2>&1 &
  local runner=$! pid seen="" ticks=0 rss=0
  pid=$(program_pid "$runner" "$(basename "$program")")
  while kill -0 "$runner" 2>/dev/null; do
    if grep -q 'waiting for devices' "$out" 2>/dev/null; then
      seen=$EPOCHREALTIME
      ticks=$(cpu_ticks "$pid")
      rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
      break
    fi
    sleep 0.005
  done
  wait "$runner"
  local status=$?
  wait_s=$(awk -v a="$start" -v b="${seen:-$EPOCHREALTIME}" 'BEGIN { printf "%.2f", b - a }')
  cpu_s=$(awk -v t="$ticks" -v hz="$clk_tck" 'BEGIN { printf "%.2f", t / hz }')
  rss_kb=${rss:-0}
  ok=0
  [ "$status" = 0 ] && [ -n "$seen" ] || return
  # The station's two records: the log's verified serial skipped, the other flashed, numbered on
  # from the log's last record.
  local expected actual
  if [ "$kind" != empty ]; then
    expected=$(printf '%s\n' "$((last_sequence + 1)) $verified_serial already-verified" \
      "$((last_sequence + 2)) $unverified_serial verified" | sort)
    actual=$(tail -c 4096 "$log" | tail -n 2 | jq -r '"\(.sequence) \(.serial) \(.result)"' | sort)
  else
    # Both flashed, in whichever order they ended.
    expected=$(printf '%s\n' "1 verified" "2 verified" "$verified_serial verified" \
      "$unverified_serial verified" | sort)
    actual=$(jq -r '"\(.sequence) \(.result)", "\(.serial) \(.result)"' "$log" | sort)
  fi
  [ "$actual" = "$expected" ] && ok=1
  [ "$ok" = 1 ] || echo "station_log_read.sh: $kind run: records '$actual', not '$expected'" >&2
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
failed=0
rows=()
for round in $(seq "$runs"); do
  for kind in empty big ${before:+before}; do
    if [ "$kind" = empty ]; then
      log=$work/empty.jsonl
      rm -f "$log"
    else
      truncate -s "$log_bytes" "$big"
      log=$big
    fi
    serve_two || exit 1
    station "$kind" "$log" "$([ "$kind" = before ] && echo "$before")"
    touch "$work/devsim.stop"
    wait "$devsim_pid" 2>/dev/null
    [ "$ok" = 1 ] || { echo "round $round: $kind run failed" >&2; failed=1; }
    rows+=("$kind $wait_s $cpu_s $rss_kb")
    echo "round $round: $kind: waiting after $wait_s s (CPU $cpu_s s, VmRSS $rss_kb kB)" >&2
  done
done
truncate -s "$log_bytes" "$big"

native_line="native reader: not built (cmake --preset native && cmake --build --preset native)"
if [ -x "$native" ]; then
  native_line=$("$native" "$big" "$sha" --runs 3 | tail -n 1)
fi

{
  echo "station log read ($arch): a log of $log_bytes bytes, $(fact records) records," \
    "$(fact ourRecords) of this image; $runs runs of each kind"
  printf '%s\n' "${rows[@]}" | awk '
    { n[$1]++; w[$1, n[$1]] = $2; c[$1, n[$1]] = $3; if ($4 > m[$1]) m[$1] = $4 }
    function median(a, k,    i, j, t, v, m) {
      m = n[k]
      for (i = 1; i <= m; i++) v[i] = (a == "w" ? w[k, i] : c[k, i])
      for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      return v[int((m + 1) / 2)]
    }
    END {
      split("empty big before", kinds, " ")
      for (x = 1; x <= 3; x++) {
        k = kinds[x]
        if (!(k in n)) continue
        line = ""
        for (i = 1; i <= n[k]; i++) line = line sprintf(" %s", w[k, i])
        printf "%-6s start to waiting:%s s, median %.2f s; CPU to waiting median %.2f s;" \
          " VmRSS then up to %d kB\n", k, line, median("w", k), median("c", k), m[k]
      }
      d = median("w", "big") - median("w", "empty")
      printf "the log read costs %.2f s (median big - median empty); target: big within 5 s: %s\n",
        d, median("w", "big") <= 5 ? "met" : "missed"
      if ("before" in n)
        printf "before: the log read costs %.2f s (median before - median empty)\n",
          median("w", "before") - median("w", "empty")
    }'
  echo "$native_line"
  echo "load average (1, 5, 15 min) before the runs: $load_before;" \
    "after: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$result_file"
exit "$failed"
