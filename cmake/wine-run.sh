#!/usr/bin/env bash
# Runs a Windows program of the build under Wine: wine-run.sh ARCH PREFIX program.exe [args...]
#   ARCH    i686 or x86_64 (which Wine loader and prefix kind to use)
#   PREFIX  the Wine prefix of this build (made on first use, then reused)
# Exits 77 (CTest's skip code) when this host cannot run that kind of program: a kernel without
# 32-bit execution cannot start Wine's 32-bit loader.
# Without a DISPLAY it runs the program on a private Xvfb that it stops afterwards.
set -u
arch=$1 prefix=$2
shift 2

case $arch in
  i686) loader=/usr/lib/wine/wine; server=/usr/lib/wine/wineserver32; winearch=win32 ;;
  x86_64) loader=/usr/lib/wine/wine64; server=/usr/lib/wine/wineserver64; winearch=win64 ;;
  *) echo "wine-run.sh: unknown arch $arch" >&2; exit 2 ;;
esac
if [ ! -x "$loader" ]; then
  echo "wine-run.sh: $loader is not installed" >&2; exit 77
fi
if [ "$arch" = i686 ] && ! "$loader" --version >/dev/null 2>&1; then
  echo "wine-run.sh: this kernel cannot execute 32-bit programs; skipped" >&2; exit 77
fi
if [ ! -x "$server" ]; then server=$(dirname "$loader")/wineserver; fi

export WINEPREFIX=$prefix WINEARCH=$winearch WINELOADER=$loader WINESERVER=$server
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null; wait 2>/dev/null; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  . "$(dirname "$0")/xvfb.sh"
  start_private_xvfb 200 299 || { echo "wine-run.sh: no free virtual display" >&2; exit 1; }
fi

# The prefix is made once per build (about 8 s), under a lock since CTest may run tests side by side.
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.pelorin-ready" ]; then
    rm -rf "$prefix"
    "$server" -p5 >/dev/null 2>&1 </dev/null
    "$loader" wineboot -i >/dev/null 2>&1 </dev/null
    "$server" -w
    touch "$prefix/.pelorin-ready"
  fi
) 9>"$prefix.lock"

# A server started here, detached from our pipes, so that a captured run never waits on it; it
# ends by itself a few seconds after the last program of the prefix.
"$server" -p5 >/dev/null 2>&1 </dev/null
"$loader" "$@"
