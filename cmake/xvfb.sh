# Sourced by the scripts that show Pelorin on a virtual display.
# start_private_xvfb FIRST LAST: starts Xvfb on the first free display number in FIRST..LAST,
# exports DISPLAY and sets xvfb_pid (the caller stops it); returns 1 when none could start.
start_private_xvfb() {
  local n
  xvfb_pid=""
  for n in $(seq "$1" "$2"); do
    { [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; } && continue
    Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
    if kill -0 "$xvfb_pid" 2>/dev/null; then export DISPLAY=:$n; return 0; fi
    xvfb_pid=""
  done
  return 1
}
