#!/usr/bin/env bash
# The main job: builds Pelorin.exe, starts three simulated USB pipe devices under Wine, starts
# Pelorin.exe on your display (or on a virtual one when DISPLAY is unset), chooses a 4 MiB sample
# image through the Open File dialog, presses Download, waits for the end and prints what each
# device received, with screenshots of the dialog during and after the download.
#
#   bash scripts/run.sh [--keep-open]
#
#   --keep-open   leave Pelorin.exe running after the download (with a display of your own)
#                 until you close its dialog.
# Environment: PELORIN_BUILD_PREFIX (default "build/") names the build directories
# <prefix>win64 and <prefix>win32; PELORIN_JOBS the build's parallel jobs.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
keep_open=0
[ "${1:-}" = "--keep-open" ] && keep_open=1

if [ -f scripts/setup.sh ]; then bash scripts/setup.sh || exit 1; fi

jobs=${PELORIN_JOBS:-2}
build_prefix=${PELORIN_BUILD_PREFIX:-build/}

# Wine runs the shipped 32-bit build where this kernel can execute 32-bit code, else the 64-bit
# build of the same sources.
if /usr/lib/wine/wine --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wineserver32 ]; then
  preset=win32 arch=i686 server=/usr/lib/wine/wineserver32
else
  preset=win64 arch=x86_64 server=/usr/lib/wine/wineserver64
fi
[ -x "$server" ] || server=/usr/lib/wine/wineserver

build() {  # build PRESET TARGETS...
  local preset=$1 dir=$root/${build_prefix}$1
  shift
  echo "run: building $(basename "$dir") ($*)"
  if ! { cmake --preset "$preset" -B "$dir" >"$dir.log" 2>&1 &&
    cmake --build "$dir" -j "$jobs" --target "$@" >>"$dir.log" 2>&1; }; then
    tail -n 40 "$dir.log"
    echo "run: the build failed (log: $dir.log)"
    exit 1
  fi
  rm -f "$dir.log"
}
mkdir -p "$(dirname "$root/${build_prefix}x")"
# The shipped 32-bit program is always built; the one that runs here may be the 64-bit build.
build win32 Pelorin
[ "$preset" = win64 ] && build win64 Pelorin devsim e2e_driver
[ "$preset" = win32 ] && build win32 devsim e2e_driver

dir=$root/${build_prefix}$preset
pelorin=$dir/src/app/Pelorin.exe
devsim=$dir/tools/devsim/devsim.exe
driver=$dir/tests/e2e/e2e_driver.exe
work=$dir/run
prefix=$work/wineprefix
shots=$work/shots
mkdir -p "$work" "$shots"

# The sample image and devsim's files live on the prefix's C: drive, so that the dialog and
# devsim see short Windows paths.
image_dir=$prefix/drive_c/images
image=$image_dir/sample.nb0
image_win='C:\images\sample.nb0'
ready=$image_dir/devsim.ready stop=$image_dir/devsim.stop summary=$image_dir/devsim.txt

xvfb_pid="" devsim_pid="" pelorin_pid=""
cleanup() {
  [ -n "$devsim_pid" ] && touch "$stop"
  [ -n "$pelorin_pid" ] && kill "$pelorin_pid" 2>/dev/null
  if [ -n "$xvfb_pid" ]; then
    # The virtual display goes away: end what still runs in this prefix (ours alone).
    sleep 1
    WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1
    kill "$xvfb_pid" 2>/dev/null
  fi
  wait 2>/dev/null
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  . "$root/cmake/xvfb.sh"
  start_private_xvfb 400 499 || { echo "run: no free virtual display"; exit 1; }
  echo "run: no DISPLAY; using the virtual display $DISPLAY"
  keep_open=0
fi
export LC_ALL=ko_KR.UTF-8 LANG=ko_KR.UTF-8

run_win() { "$root/cmake/wine-run.sh" "$arch" "$prefix" "$@"; }
drv() { run_win "$driver" "$@"; }
shot() { import -display "$DISPLAY" -window root "$shots/$1.png" && echo "$shots/$1.png"; }

echo "run: preparing the Wine prefix (the first time takes a few seconds)"
run_win cmd /c exit 0 >/dev/null 2>&1 || { echo "run: Wine does not start"; exit 1; }
if [ -n "$xvfb_pid" ] && [ ! -f "$prefix/.run-ready" ]; then
  # No window manager on the virtual display: Wine draws the title bars itself.
  run_win reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  run_win reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
  touch "$prefix/.run-ready"
fi

mkdir -p "$image_dir"
size=$((4 * 1024 * 1024))
[ "$(stat -c %s "$image" 2>/dev/null)" = "$size" ] || head -c $size /dev/urandom >"$image"

# Three devices taking data at 2 MB/s each, so that the bars visibly move.
rm -f "$ready" "$stop" "$summary"
run_win "$devsim" --devices 3 --image "$image_win" --device 0:rate=2000000 \
  --device 1:rate=2000000 --device 2:rate=2000000 --ready 'C:\images\devsim.ready' \
  --stop 'C:\images\devsim.stop' --summary 'C:\images\devsim.txt' --timeout 3600 \
  >"$work/devsim.log" 2>&1 &
devsim_pid=$!
for _ in $(seq 300); do [ -f "$ready" ] && break; sleep 0.1; done
[ -f "$ready" ] || { echo "run: the simulated devices did not start:"; cat "$work/devsim.log"; exit 1; }
rm -f "$ready"
echo "run: 3 simulated devices ready"

run_win "$pelorin" >"$work/pelorin.log" 2>&1 &
pelorin_pid=$!
main="Image Loader Ver 4.0.1"
drv wait-window "$main" 60000 >/dev/null || { echo "run: the main dialog did not appear"; exit 1; }
echo "run: Pelorin.exe is up; choosing $image_win"
drv click 1001
drv wait-dialog 15000 >/dev/null || { echo "run: no Open File dialog"; exit 1; }
drv choose-file "$image_win" || { echo "run: the Open File dialog did not take the file"; exit 1; }
drv wait-text 1002 "$size" 10000 >/dev/null || { echo "run: the image size is not shown"; exit 1; }

echo "run: Download"
started=$(date +%s)
drv click 1007
# The screenshot once the bars are well under way.
for _ in $(seq 60); do
  pos=$(drv bar 0)
  [ "${pos:-0}" -ge 30 ] 2>/dev/null && break
  sleep 0.2
done
during=$(shot download-3-devices)
deadline=$((SECONDS + 300))
while [ $SECONDS -lt $deadline ] && [ "$(drv enabled 1007)" != 1 ]; do sleep 0.3; done
status=$(drv get-text 1003)
after=$(shot download-done)
boxes=$(drv boxes)
echo "run: status \"$status\" after $(($(date +%s) - started)) s${boxes:+; message boxes: $boxes}"

touch "$stop"
for _ in $(seq 200); do kill -0 "$devsim_pid" 2>/dev/null || break; sleep 0.1; done
wait "$devsim_pid" 2>/dev/null
devsim_pid=""

failures=0
for k in 0 1 2; do
  line=$(grep "^device=$k session=0 " "$summary" 2>/dev/null)
  get() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $line"; }
  if [ -n "$line" ] && [ "$(get verified)" = 1 ] && [ "$(get image)" = match ] &&
    [ "$(get replies)" = "OK0,OK1" ]; then
    verdict=ok
  else
    verdict=FAILED
    failures=$((failures + 1))
  fi
  echo "device $k: $verdict: magic $(get magic), length $(get length), $(get bytes) data bytes in" \
    "writes of $(get data), byte sum $(get sum) (host sent $(get hostsum)), image $(get image)," \
    "answers $(get answers), replies $(get replies)"
done
echo "screenshots: $during (during the download), $after (after it)"

if [ "$keep_open" = 1 ]; then
  echo "run: Pelorin.exe stays open on $DISPLAY; close its dialog to end"
  wait "$pelorin_pid" 2>/dev/null
else
  drv close >/dev/null 2>&1
  for _ in $(seq 100); do kill -0 "$pelorin_pid" 2>/dev/null || break; sleep 0.1; done
fi
pelorin_pid=""
[ "$status" = Complete ] && [ "$failures" = 0 ] || exit 1
echo "run: done"
