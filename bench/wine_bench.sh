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

# program_pid PID NAME: the Windows program among the descendants of process PID (the shell that
# runs wine-run.sh) whose process name is NAME (Wine names the process after the exe's file name).
program_pid() {
  local pid _ generation
  for _ in $(seq 200); do
    generation=$1
    while [ -n "$generation" ]; do
      for pid in $generation; do
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "${2:0:15}" ] && { echo "$pid"; return 0; }
      done
      generation=$(for pid in $generation; do pgrep -P "$pid"; done)
    done
    sleep 0.05
  done
  return 1
}

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
