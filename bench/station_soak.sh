#!/usr/bin/env bash
# Benchmark (not a test; CI does not run it): a station that runs for a long time, units coming
# and going, must keep its memory and its handles flat.
#
#   bench/station_soak.sh [BUILD_DIR] [--records N] [--early N] [--size BYTES[K|M]]
#                         [--leave-after MS] [--return MS] [--sample-ms MS] [--database]
#
#   BUILD_DIR         a Windows build folder (default build/win32 of the repository, the 32-bit
#                     programs as shipped) holding PelorinCli.exe, devsim.exe, process_probe.exe
#   --records N       the station ends after N log records (--count N; default 2000)
#   --early N         the early checkpoint, in records (default 200)
#   --size S          image size (default 64K; K and M are binary)
#   --leave-after MS  a unit leaves MS after its download ended (default 300)
#   --return MS       and is back, as the next unit in its port, MS after it left (default 1500)
#   --sample-ms MS    sampling period (default 1000)
#   --database        the station also sends its records to a private PostgreSQL (--database,
#                     DSN=fleet, bench/fleet_bench.sh), whose server is restarted twice, at a third
#                     and at two thirds of the records (stopped for 5 s each time); at the end the
#                     database must hold every record
#
# One station (PelorinCli.exe --station --reflash --count N, 16 slots) in a Wine prefix and under
# a wineserver of this script's own, against 16 USB-like devsim.exe units, each at a port of its
# own: units 0-7 with serial numbers, 8-15 without, arriving 0.25 s apart so that they do not
# all run in step. Each unit leaves a while after its download ended and returns as the next
# unit in its port, again and again (devsim's leave-after-end= and return=MS*N). --reflash makes
# a unit with a serial number download again rather than be skipped as already verified, so that
# every record is a real download of the whole image (devsim checks each one against the image
# file).
# Every sampling period, while the station runs:
#   records              lines in its production log so far
#   rss_kb, hwm_kb       VmRSS and VmHWM of PelorinCli.exe's Linux process (/proc/PID/status):
#                        what Wine reports as the working set and its peak
#   fds                  its open file descriptors (/proc/PID/fd)
#   handles              its open Windows handles: process_probe.exe, which runs in the same
#                        prefix, counts its entries in the system's handle list
#                        (NtQuerySystemInformation, SystemHandleInformation). Under Wine 8 the
#                        process list's HandleCount is the size of the handle table (a power of
#                        two: table) and GetProcessHandleCount gives 0, so neither would do.
#   wthreads             its Windows threads (the process list)
#   ws_kb, peak_kb       the working set and its peak as the process list gives them
#   private_kb           its private bytes as the process list gives them (PagefileUsage)
# Reported: the figures when the log reached the early checkpoint, just before the station winds
# down (its last 16 records start no new units) and at the end, with the peak working set and the
# highest handle count up to there; the ranges over the window of --early records after the
# checkpoint and over the last such window before the wind-down, with the handles' median; and
# over the records between those, the slope of the working set, of the private bytes and of the
# handle count against records (least squares, per 1000 records). A sample that falls inside one
# of the station's device listings (every 0.5 s) sees up to about 40 more handles for a moment
# (registry keys of the listed interfaces; the by-type split shows them), so the highest count
# depends on where the samples fall. The units in flight vary too, and each holds a thread and
# its two pipes: so, per Windows thread count seen in both windows, the fewest handles and the
# least working set with it are compared, first window against last (what a leak would raise). The table goes to stdout and
# BUILD_DIR/bench/station_soak.txt; the samples (samples.txt), the log, the station's output and
# devsim's summary stay in BUILD_DIR/bench/station_soak/.
#
# Exit status: 0 when the station ended by itself with every record verified and every download
# whole, 1 otherwise, 2 on bad use.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)

. "$here/wine_bench.sh"
. "$here/fleet_bench.sh"

build=$repo/build/win32 records=2000 early=200 size=65536 leave_after=300 return_ms=1500
sample_ms=1000 units=16 database=0
usage() { sed -n '5,20p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --records) records=${2:?}; shift 2 ;;
    --early) early=${2:?}; shift 2 ;;
    --size) size=$(parse_size "${2:?}") || usage; shift 2 ;;
    --leave-after) leave_after=${2:?}; shift 2 ;;
    --return) return_ms=${2:?}; shift 2 ;;
    --sample-ms) sample_ms=${2:?}; shift 2 ;;
    --database) database=1; shift ;;
    -h | --help) usage ;;
    -*) echo "station_soak.sh: unknown option $1" >&2; usage ;;
    *) build=$1; shift ;;
  esac
done
[ "$records" -ge 1 ] 2>/dev/null && [ "$early" -ge 1 ] 2>/dev/null && [ "$early" -le "$records" ] ||
  usage
[ "$size" -ge 1 ] 2>/dev/null && [ "$size" -lt 4294967296 ] || usage
[ "$leave_after" -ge 0 ] 2>/dev/null && [ "$return_ms" -ge 0 ] 2>/dev/null || usage
[ "$sample_ms" -ge 100 ] 2>/dev/null || usage
build=$(cd "$build" 2>/dev/null && pwd) || { echo "station_soak.sh: no build folder" >&2; exit 2; }
devsim=$build/tools/devsim/devsim.exe cli=$build/src/cli/PelorinCli.exe
probe=$build/bench/process_probe.exe
for f in "$devsim" "$cli" "$probe"; do
  [ -f "$f" ] || { echo "station_soak.sh: $f not found" >&2; exit 2; }
done

bench_cleanup_more() {
  touch "$work/probe.stop" 2>/dev/null
  [ "$database" = 1 ] && fleet_database_end
}
bench_start station_soak 500 599 || exit 1
station_database=() restarting=()
if [ "$database" = 1 ]; then
  fleet_database "$work/cluster" || { echo "station_soak.sh: no database" >&2; exit 1; }
  station_database=(--database DSN=fleet)
fi

image=$work/soak.nb0
head -c "$size" /dev/urandom >"$image"

# Each unit arrives at the start and returns often enough for all the records with room to spare
# (the units do not all go at the same pace).
returns=$(((records + units - 1) / units * 2))
options=()
for k in $(seq 0 $((units - 1))); do
  identity=1234:5678
  [ "$k" -lt $((units / 2)) ] && identity=1234:5678:SOAK-S$k
  port=Port_#$(printf %04d $((k + 1))).Hub_#0001
  options+=(--device "$k:usb=$identity,location=$port,arrive=$((k * 250))")
  options[-1]+=",leave-after-end=$leave_after,return=$return_ms*$returns"
done
devsim_timeout=86400 serve "$units" "${options[@]}" --image "$(win_path "$image")" || exit 1

log=$work/soak.jsonl
run_win "$cli" --station --reflash --log "$(win_path "$log")" --max-devices "$units" \
  --count "$records" "${station_database[@]}" "$(win_path "$image")" >"$work/station.log" 2>&1 &
runner=$!
started_pids+=("$runner")
pid=$(program_pid "$runner" PelorinCli.exe) || { echo "station_soak.sh: no station process" >&2; exit 1; }
run_win "$probe" PelorinCli.exe --interval "$sample_ms" --stop "$(win_path "$work/probe.stop")" \
  >"$work/probe.txt" 2>&1 </dev/null &
started_pids+=("$!")

# One line per period: seconds, records, then the Linux figures, then the probe's latest line.
samples=$work/samples.txt
echo "seconds records rss_kb hwm_kb fds uthreads handles wthreads ws_kb peak_kb private_kb table by_type" \
  >"$samples"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
start=$EPOCHREALTIME
period=$(awk -v ms="$sample_ms" 'BEGIN { printf "%.3f", ms / 1000 }')
echo "station_soak.sh: $records records from $units units, one sample every $period s" >&2
while kill -0 "$runner" 2>/dev/null; do
  status=$(cat "/proc/$pid/status" 2>/dev/null) || break
  fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
  count=$({ wc -l <"$log"; } 2>/dev/null || echo 0)
  probe_line=$(grep 'found=1' "$work/probe.txt" 2>/dev/null | tail -n 1)
  awk -v now="$EPOCHREALTIME" -v start="$start" -v count="$count" -v fds="$fds" \
    -v probe="$probe_line" '
    /^VmRSS:/ { rss = $2 } /^VmHWM:/ { hwm = $2 } /^Threads:/ { threads = $2 }
    END {
      n = split(probe, fields, " ")
      for (i = 1; i <= n; i++) { split(fields[i], kv, "="); p[kv[1]] = kv[2] }
      printf "%.1f %d %d %d %d %d %s %s %d %d %d %s %s\n", now - start, count, rss, hwm, fds,
        threads, (p["handles"] == "" ? "-" : p["handles"]), (p["threads"] == "" ? "-" : p["threads"]),
        p["workingSet"] / 1024, p["peakWorkingSet"] / 1024, p["private"] / 1024,
        (p["tableCount"] == "" ? "-" : p["tableCount"]), (p["byType"] == "" ? "-" : p["byType"]) }' \
    <<<"$status" >>"$samples"
  # With a database: its server restarted at a third and at two thirds of the records.
  if [ "$database" = 1 ] && [ "${restarts:-0}" -lt 2 ] &&
    [ "$count" -ge $(((${restarts:-0} + 1) * records / 3)) ]; then
    restarts=$((${restarts:-0} + 1))
    echo "  restarting the database's server at $count records" >&2
    (fleet_server stop && sleep 5 && fleet_server start) &
    restarting+=("$!")
  fi
  taken=$((${taken:-0} + 1))
  if [ $((taken % 60)) = 1 ]; then
    tail -n 1 "$samples" | awk '{ printf "  %6.0f s: %d records, rss %d kB, handles %s\n", $1, $2, $3, $7 }' >&2
  fi
  sleep "$period"
done
wait "$runner"
station_status=$?
elapsed=$(awk -v now="$EPOCHREALTIME" -v start="$start" 'BEGIN { printf "%.0f", now - start }')
touch "$work/probe.stop"
touch "$work/devsim.stop"
wait "$devsim_pid" 2>/dev/null

# What the station and the units say: every record a verified download of the whole image.
written=$(wc -l <"$log")
verified=$(jq -r .result "$log" | grep -c '^verified$')
serial_records=$(jq -r 'select(.serial != "") | .serial' "$log" | wc -l)
sessions=$(grep -c ' session=' "$work/run.summary" 2>/dev/null)
whole=$(grep ' session=' "$work/run.summary" 2>/dev/null | grep -c 'verified=1 image=match')
ok=0
[ "$station_status" = 0 ] && [ "$written" = "$records" ] && [ "$verified" = "$records" ] &&
  [ "$whole" -ge "$records" ] && ok=1
stored=""
if [ "$database" = 1 ]; then
  wait "${restarting[@]}"  # the last restart
  stored=$(fleet_psql -d fleet -At -c "SELECT count(*) FROM pelorin_records")
  [ "$stored" = "$written" ] || ok=0
fi

{
  echo "station soak ($arch): $records records, $units units (8 with serial numbers, --reflash)," \
    "image $size bytes, leave $leave_after ms after the end, back $return_ms ms later"
  echo "station exit $station_status after $elapsed s; $written records, $verified verified" \
    "($serial_records of units with a serial); devsim: $sessions sessions, $whole verified" \
    "whole downloads of the image"
  [ "$database" = 1 ] && echo "with a database (its server restarted twice): it holds $stored of the $written records"
  awk -v early="$early" -v last="$records" -v units="$units" '
    NR == 1 { next }
    $7 != "-" && $7 >= 0 {
      n++; r[n] = $2; rss[n] = $3; hwm[n] = $4; fds[n] = $5; h[n] = $7; wt[n] = $8; ws[n] = $9
      pv[n] = $11
      ty[n] = $13
      if (h[n] > hmax) hmax = h[n]
      if (fds[n] > fmax) fmax = fds[n]
      if (wt[n] > wtmax) wtmax = wt[n]
      hmaxat[n] = hmax; fmaxat[n] = fmax; wtmaxat[n] = wtmax
    }
    function row(label, i) {
      printf "%-26s %7d %7d %8d %8d %7d/%-4d %4d/%-4d %3d/%-3d\n", label, r[i], rss[i], hwm[i], pv[i],
        h[i], hmaxat[i], fds[i], fmaxat[i], wt[i], wtmaxat[i]
    }
    function median(v, c,    i, j, t) {
      for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      return v[int((c + 1) / 2)]
    }
    function window(lo, hi,    i, c, hv, hm, top, rmin, rm, pm, fm) {
      c = 0; hm = -1; rmin = 1e12; rm = 0; pm = 0; fm = 0
      for (i = 1; i <= n; i++) if (r[i] >= lo && r[i] < hi) {
        hv[++c] = h[i]; if (h[i] > hm) { hm = h[i]; top = ty[i] }
        if (rss[i] < rmin) rmin = rss[i]; if (rss[i] > rm) rm = rss[i]
        if (pv[i] > pm) pm = pv[i]; if (fds[i] > fm) fm = fds[i]
      }
      if (!c) return
      printf "records %4d..%-4d %3d samples: rss %d..%d kB, private up to %d kB, fds up to %d,\n",
        lo, hi - 1, c, rmin, rm, pm, fm
      printf "    handles median %d, highest %d (by type %s)\n", median(hv, c), hm, top
    }
    # Per Windows thread count (units in flight, give or take) in a window: the fewest handles
    # and the least working set seen with it (all three from the same probe line).
    function least(lo, hi, H, R,    i, t) {
      for (i = 1; i <= n; i++) if (r[i] >= lo && r[i] < hi) {
        t = wt[i]
        if (!(t in H) || h[i] < H[t]) H[t] = h[i]
        if (!(t in R) || ws[i] < R[t]) R[t] = ws[i]
      }
    }
    function slope(a,    i, c, x, y, sx, sy, sxx, sxy) {
      for (i = 1; i <= n; i++) if (r[i] >= early && r[i] < last - units) {
        x = r[i]; y = (a == "rss" ? rss[i] : a == "private" ? pv[i] : h[i])
        c++; sx += x; sy += y; sxx += x * x; sxy += x * y
      }
      if (c < 3 || c * sxx == sx * sx) return "n/a"
      return sprintf("%+.1f", (c * sxy - sx * sy) / (c * sxx - sx * sx) * 1000)
    }
    END {
      if (n == 0) { print "no samples"; exit }
      for (e = 1; e < n && r[e] < early; e++) ;
      for (w = n; w > 1 && r[w] >= last - units; w--) ;
      printf "%-26s %7s %7s %8s %8s %12s %9s %7s\n", "", "records", "rss_kB", "peak_kB",
        "priv_kB", "handles/max", "fds/max", "thr/max"
      row("first sample", 1)
      row("early checkpoint", e)
      row("last before the wind-down", w)
      row("end", n)
      window(early, 2 * early)
      window(last - units - early, last - units)
      least(early, 2 * early, ha, ra)
      least(last - units - early, last - units, hb, rb)
      printf "the same threads in both windows: fewest handles and least working set, first -> last\n"
      for (t = 1; t <= wtmax; t++) if ((t in ha) && (t in hb))
        printf "    %2d threads: handles %3d -> %3d, working set %6d -> %6d kB\n", t, ha[t], hb[t],
          ra[t], rb[t]
      printf "records %d..%d, per 1000 records (least squares): working set %s kB, private %s kB," \
        " handles %s\n", early, last - units - 1, slope("rss"), slope("private"), slope("handles")
      printf "peak working set %d kB at %d records, %d kB at %d (%+d kB)\n", hwm[e], r[e], hwm[n],
        r[n], hwm[n] - hwm[e]
      printf "highest handle count %d up to %d records, %d up to %d\n", hmaxat[e], r[e], hmaxat[n], r[n]
    }' "$samples"
  echo "load average (1, 5, 15 min) at the start: $load_before; at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$result_file"
[ "$ok" = 1 ] || { echo "station_soak.sh: the soak did not end with $records verified downloads" >&2; exit 1; }
exit 0
