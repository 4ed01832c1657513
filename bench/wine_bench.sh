# What the benchmarks share (sourced, not run): sizes, the Wine that runs a build's programs, and
# reading a Linux process's CPU.

# parse_size S: bytes of "S", "SK" or "SM" (binary).
parse_size() {
  case $1 in
    *[Kk]) echo $((${1%?} * 1024)) ;;
    *[Mm]) echo $((${1%?} * 1024 * 1024)) ;;
    *) echo $(($1)) ;;
  esac
}

# round_options FIRST_LINE LAST_LINE ARGS...: the options of the benchmarks that run rounds of
# one image size, [BUILD_DIR] [--rounds N] [--size S]. Sets build (an absolute path; default the
# repository's build/win64, or default_build when set), rounds (default 3) and size (default
# default_size when set, else 8 MiB; under 4 GiB); on bad use
# prints the calling script's usage (lines FIRST_LINE..LAST_LINE of its header) and exits 2.
round_options() {
  local name=${0##*/} first=$1 last=$2
  shift 2
  usage() { sed -n "${first},${last}p" "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
  build=${default_build:-$repo/build/win64} rounds=3 size=${default_size:-$((8 * 1024 * 1024))}
  while [ $# -gt 0 ]; do
    case $1 in
      --rounds) rounds=${2:?}; shift 2 ;;
      --size) size=$(parse_size "${2:?}") || usage; shift 2 ;;
      -h | --help) usage ;;
      -*) echo "$name: unknown option $1" >&2; usage ;;
      *) build=$1; shift ;;
    esac
  done
  [ "$rounds" -ge 1 ] 2>/dev/null || usage
  [ "$size" -ge 1 ] 2>/dev/null && [ "$size" -lt 4294967296 ] || usage
  build=$(cd "$build" 2>/dev/null && pwd) || { echo "$name: no build folder" >&2; exit 2; }
}

# wine_arch_of EXE: sets arch (i686 or x86_64) and server (its wineserver) from the program's PE
# machine type. False for another machine type.
wine_arch_of() {
  local machine
  machine=$(od -An -tx2 -j $(($(od -An -tu4 -j 60 -N4 "$1") + 4)) -N2 "$1" | tr -d ' ')
  case $machine in
    8664) arch=x86_64 server=/usr/lib/wine/wineserver64 ;;
    014c) arch=i686 server=/usr/lib/wine/wineserver32 ;;
    *) echo "unknown machine type $machine of $1" >&2; return 1 ;;
  esac
  [ -x "$server" ] || server=/usr/lib/wine/wineserver
}

win_path() { local p=$1; echo "Z:${p//\//\\}"; }

# CPU clock ticks (user + system) so far of a process (PID) or of one of its threads
# (PID/task/TID); 0 when it is gone.
cpu_ticks() {
  local stat
  [ -n "$1" ] || { echo 0; return; }
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || { echo 0; return; }
  stat=${stat##*) }
  set -- $stat
  echo $((${12} + ${13}))
}

. "$(dirname "${BASH_SOURCE[0]}")/../cmake/wine-procs.sh"  # program_pid

# bench_prefix NAME: readies the benchmark's own Wine prefix ($prefix) for run_win: a copy of the
# build's finished prefix when it has none yet (about 2 s; else wine-run.sh makes one, about 8 s),
# kept for the next run. Then one server for the whole benchmark, so that its CPU can be read and
# no run pays its start: the one wine-run.sh started (which ends 5 s after the last program) gives
# way to a persistent one. Needs build, prefix, arch, server and run_win; false, with a message
# from NAME, when Wine cannot run the build's programs.
bench_prefix() {
  if [ ! -f "$prefix/.pelorin-ready" ] && [ -f "$build/wineprefix/.pelorin-ready" ]; then
    rm -rf "$prefix" && cp -a "$build/wineprefix" "$prefix"
  fi
  run_win cmd /c exit 0 >/dev/null 2>&1
  case $? in
    0) ;;
    77) echo "$1: Wine cannot run $arch programs here" >&2; return 1 ;;
    *) echo "$1: Wine does not start" >&2; return 1 ;;
  esac
  WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1
  WINEPREFIX=$prefix "$server" -w >/dev/null 2>&1
  WINEPREFIX=$prefix "$server" -p >/dev/null 2>&1 </dev/null
}

# bench_start NAME FIRST LAST: what every station benchmark sets up once its options are read
# (needs build, repo and devsim): work (BUILD/bench/NAME, emptied of the last run's logs),
# prefix, result_file (BUILD/bench/NAME.txt), clk_tck, arch and server; a cleanup when the
# script ends (the processes in started_pids, the prefix's wineserver, the Xvfb, the images and
# stop files; first bench_cleanup_more if the script defines it); a private Xvfb on a display in
# FIRST..LAST, the Korean locale, run_win, and the prefix readied. False, with a message, when
# any of it cannot be had.
bench_start() {
  local name=$1
  wine_arch_of "$devsim" || return 1
  command -v Xvfb >/dev/null || { echo "$name.sh: Xvfb is not installed" >&2; return 1; }
  work=$build/bench/$name
  prefix=$work/wineprefix
  result_file=$build/bench/$name.txt
  mkdir -p "$work"
  rm -f "$work"/*.log "$work"/*.summary "$work"/*.jsonl "$work"/*.txt "$work"/*.stop
  clk_tck=$(getconf CLK_TCK)
  xvfb_pid="" started_pids=()
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
  . "$repo/cmake/xvfb.sh"
  start_private_xvfb "$2" "$3" || { echo "$name.sh: no free display" >&2; return 1; }
  export LC_ALL=ko_KR.UTF-8 LANG=ko_KR.UTF-8
  bench_prefix "$name.sh"
}
run_win() { "$repo/cmake/wine-run.sh" "$arch" "$prefix" "$@"; }
bench_cleanup() {
  local pid
  if declare -F bench_cleanup_more >/dev/null; then bench_cleanup_more; fi
  touch "$work/devsim.stop" 2>/dev/null
  for pid in "${started_pids[@]}"; do kill "$pid" 2>/dev/null; done
  [ -d "$prefix" ] && WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -f "$work"/*.nb0 "$work/devsim.ready" "$work"/*.stop
}

# serve UNITS OPTIONS...: devsim with UNITS units and these --device options; returns once they
# are registered, with devsim's time zero (GetTickCount64, from its ready file) in origin. Its
# summary goes to $work/run.summary; it gives up after devsim_timeout seconds (default 900).
serve() {
  local units=$1
  shift
  rm -f "$work/devsim.ready" "$work/devsim.stop" "$work/run.summary"
  run_win "$devsim" --devices "$units" "$@" --ready "$(win_path "$work/devsim.ready")" \
    --stop "$(win_path "$work/devsim.stop")" --summary "$(win_path "$work/run.summary")" \
    --timeout "${devsim_timeout:-900}" >"$work/devsim.log" 2>&1 &
  devsim_pid=$!
  started_pids+=("$devsim_pid")
  for _ in $(seq 600); do
    if [ -s "$work/devsim.ready" ]; then
      origin=$(sed -n 's/^READY origin=\([0-9]*\).*/\1/p' "$work/devsim.ready")
      [ -n "$origin" ] && return 0
    fi
    kill -0 "$devsim_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "devsim did not get ready" >&2
  return 1
}
stop_devsim() {
  touch "$work/devsim.stop"
  wait "$devsim_pid" 2>/dev/null
}
# units N PREFIX [EXTRA]: the --device options of N USB-like units with serials PREFIX0.., each
# at a port of its own (Port_#0001.Hub_#0001 on), each with the options EXTRA (a k in EXTRA
# stands for the unit's number).
units() {
  local k
  for k in $(seq 0 $(($1 - 1))); do
    echo "--device"
    echo "$k:usb=1234:5678:$2$k,location=Port_#$(printf %04d $((k + 1))).Hub_#0001${3:+,${3//k/$k}}"
  done
}
