#!/usr/bin/env bash
# Runs one end-to-end scenario of the real Pelorin.exe under Wine on a private virtual display:
#   run_e2e.sh SCENARIO ARCH PELORIN_EXE DRIVER_EXE WORK_DIR WINE_RUN
# SCENARIO names a function scenario_<name>, defined below or in tests/e2e/scenario_<name>.sh
# (sourced when present). Screenshots go to WORK_DIR/shots/<scenario>-<shot>.png.
# Exit: 0 passed, 1 a check failed, 77 skipped (no Xvfb, or Wine cannot run ARCH programs here).
#
# Helpers for scenarios:
#   start_pelorin / stop_pelorin       start the exe in the background / close it, wait for its end
#   drv ARGS...                        run e2e_driver.exe (see its source for the commands)
#   run_win PROGRAM.exe ARGS...        run any Windows program in the same prefix and desktop
#   expect_eq WHAT ACTUAL EXPECTED     record a failure unless equal
#   expect_contains WHAT TEXT PART     record a failure unless PART occurs in TEXT
#   fail MESSAGE                       record a failure
#   shot NAME                          screenshot of the whole virtual screen
#   win_path UNIX_PATH                 the path as Wine's Z: drive shows it
# A scenario may define scenario_cleanup, called when the run ends however it ends.
set -u
scenario=$1 arch=$2 pelorin=$3 driver=$4 work=$5 wine_run=$6
here=$(cd "$(dirname "$0")" && pwd)

command -v Xvfb >/dev/null || { echo "run_e2e.sh: Xvfb is not installed; skipped"; exit 77; }
case $arch in
  x86_64) server=/usr/lib/wine/wineserver64 ;;
  *) server=/usr/lib/wine/wineserver32 ;;
esac
[ -x "$server" ] || server=/usr/lib/wine/wineserver

prefix=$work/wineprefix
shots=$work/shots
mkdir -p "$shots"
failures=0
pelorin_pid="" xvfb_pid=""
# Other prefixes a scenario made and uses (with the plain `wine` of the PATH): their servers end
# with the scenario too.
extra_prefixes=()

cleanup() {
  # What a scenario started beyond the prefix (a database cluster of its own) goes first.
  declare -F scenario_cleanup >/dev/null && scenario_cleanup
  [ -n "$pelorin_pid" ] && kill "$pelorin_pid" 2>/dev/null
  # Ends every program still running in this scenario's prefix (ours alone).
  WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1
  local extra
  for extra in "${extra_prefixes[@]}"; do WINEPREFIX=$extra wineserver -k >/dev/null 2>&1; done
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT

# A display of our own.
. "$here/../../cmake/xvfb.sh"
. "$here/../../cmake/wine-procs.sh"
# The two rows of scenarios (see CMakeLists.txt) take their displays from ranges of their own.
case $scenario in
  cli_* | station_* | fleet_*) start_private_xvfb 350 399 ;;
  *) start_private_xvfb 300 349 ;;
esac || { echo "run_e2e.sh: no free display"; exit 1; }
# Korean code page and dialogs, as on the machines the tool is made for.
export LC_ALL=ko_KR.UTF-8 LANG=ko_KR.UTF-8

run_win() { "$wine_run" "$arch" "$prefix" "$@"; }
drv() {
  case $1 in
    enabled | get-text | bar)
      # A query always prints its answer; one that printed nothing did not get to run (seen once
      # under a heavily loaded Wine) and is asked once more.
      local out
      out=$(run_win "$driver" "$@") && [ -n "$out" ] || out=$(run_win "$driver" "$@")
      printf '%s\n' "$out"
      ;;
    *) run_win "$driver" "$@" ;;
  esac
}
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() {
  if [ "$2" == "$3" ]; then echo "ok: $1 = \"$3\""; else fail "$1: \"$2\", expected \"$3\""; fi
}
expect_contains() {
  case $2 in
    *"$3"*) echo "ok: $1 has \"$3\"" ;;
    *) fail "$1: \"$2\" lacks \"$3\"" ;;
  esac
}
shot() {
  import -display "$DISPLAY" -window root "$shots/$scenario-$1.png" && echo "shot: $shots/$scenario-$1.png"
}
win_path() { local p=$1; echo "Z:${p//\//\\}"; }
start_pelorin() {
  run_win "$pelorin" &
  pelorin_pid=$!
}
stop_pelorin() {
  drv close || fail "no main dialog to close"
  for _ in $(seq 100); do kill -0 "$pelorin_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pelorin_pid" 2>/dev/null; then fail "Pelorin.exe did not end after its dialog closed"; fi
  wait "$pelorin_pid" 2>/dev/null
  pelorin_pid=""
}

# Wine must be able to run programs of this kind here (and the prefix gets made once).
run_win cmd /c exit 0 >/dev/null 2>&1
case $? in
  0) ;;
  77) echo "run_e2e.sh: Wine cannot run $arch programs here; skipped"; exit 77 ;;
  *) echo "run_e2e.sh: Wine does not start"; exit 1 ;;
esac

# No window manager runs on the virtual display: let Wine draw the title bars itself, so that
# screenshots show the captions.
if [ ! -f "$prefix/.e2e-ready" ]; then
  run_win reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  run_win reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
  touch "$prefix/.e2e-ready"
fi

MAIN="Image Loader Ver 4.0.1"

# The dialog as it starts, the About box, image selection through the Open File dialog, the
# Korean file-error box, and the end of the process with the dialog.
scenario_smoke() {
  start_pelorin
  drv wait-window "$MAIN" 30000 || { fail "the main dialog did not appear"; return; }
  expect_eq "status line" "$(drv get-text 1003)" "Ready"
  expect_eq "size" "$(drv get-text 1002)" "0"
  expect_eq "file name" "$(drv get-text 1000)" ""
  expect_eq "elapsed label" "$(drv get-text 1010)" ""
  expect_eq "device selector" "$(drv get-text 1011)" "Skerry / Fell"
  expect_eq "device selector enabled" "$(drv enabled 1011)" 0
  expect_eq "Download enabled" "$(drv enabled 1007)" 0
  expect_eq "Open enabled" "$(drv enabled 1001)" 1
  expect_eq "Exit enabled" "$(drv enabled 1)" 1
  expect_eq "bar 15" "$(drv bar 15)" 0
  if menu=$(drv system-menu 2>/dev/null); then
    expect_contains "system menu" "$menu" "0x0010|Pelorin Info(&A)..."
  else
    echo "note: this Wine does not read another process's menus; the About command is checked instead"
  fi
  shot main

  local about
  about=$(drv about --keep)
  expect_contains "About box" "$about" "Pelorin Info"
  expect_contains "About box" "$about" "Pelorin Ver 2.2.1"
  sleep 0.5
  shot about
  drv close-window "Pelorin Info" || fail "About box not found to close"

  local image="$work/smoke image.nb0"
  head -c 123457 /dev/zero >"$image"
  drv click 1001
  expect_eq "Open File dialog title" "$(drv wait-dialog 15000)" "ROM File 찾기"
  sleep 1
  shot open-file
  drv choose-file "$(win_path "$image")" || fail "the Open File dialog did not take the file"
  drv wait-text 1002 123457 10000 || fail "size not shown"
  expect_eq "file name" "$(drv get-text 1000)" "$(win_path "$image")"
  expect_eq "Download enabled after Open" "$(drv enabled 1007)" 1

  # An image another program holds open cannot be sized: the Korean file-error box, size 0.
  drv hold-file "$(win_path "$image")" 8000 >"$work/held" &
  local holder=$!
  for _ in $(seq 100); do grep -q held "$work/held" 2>/dev/null && break; sleep 0.1; done
  drv click 1001
  drv wait-dialog 15000 >/dev/null
  drv choose-file "$(win_path "$image")" || fail "the Open File dialog did not take the file"
  drv wait-box 10000 || fail "no file-error box"
  sleep 0.5
  shot file-error
  expect_eq "file-error box" "$(drv boxes)" "파일 에러|파일을 열수 없습니다."
  drv wait-text 1002 0 10000 || fail "size not 0 after the failed open"
  expect_eq "Download enabled after a failed open" "$(drv enabled 1007)" 1
  wait "$holder" 2>/dev/null

  stop_pelorin
}

[ -f "$here/scenario_$scenario.sh" ] && . "$here/scenario_$scenario.sh"
if ! declare -F "scenario_$scenario" >/dev/null; then
  echo "run_e2e.sh: no scenario $scenario"
  exit 2
fi
echo "scenario $scenario on $DISPLAY, prefix $prefix"
"scenario_$scenario"
if [ "$failures" -ne 0 ]; then
  echo "scenario $scenario: $failures check(s) failed"
  exit 1
fi
echo "scenario $scenario: passed"
