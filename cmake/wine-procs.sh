# Sourced by the scripts that drive Windows programs under Wine from outside.
# program_pid PID NAME: the Windows program among the descendants of process PID (the shell that
# runs wine-run.sh) whose process name is NAME (Wine names the process after the exe's file name).
# Waits up to 10 s for it to appear; returns 1 when it does not. Only descendants count: another
# run of the same program with the same arguments (a second station, another build's tests) is
# never taken for this one.
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
