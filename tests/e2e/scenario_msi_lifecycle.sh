# The release's MSI installed, used, upgraded and removed in a fresh prefix, as a plant's IT deploys
# it: msiexec /i ... /qn, the installed PelorinCli.exe --version and the installed board against
# simulated units, a newer package installed over it (one entry left, with the newer version),
# msiexec /x, and nothing of ours left in Program Files, the Start menu, the uninstall list or the
# registry, while the operators' log stays. Sourced by run_e2e.sh; registered for the i686 build
# only (the MSI packages the win32 preset's exes).

. "$here/board_runs.sh"

# reg_dump KEY: every value below KEY, one line each (reg query /s).
reg_dump() { run_win reg query "$1" /s 2>/dev/null | tr -d '\r'; }
# uninstall_entries: "DisplayName|DisplayVersion|Publisher" of every entry of Pelorin in Add/Remove
# Programs (its uninstall list).
uninstall_entries() {
  reg_dump 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' | awk '
    /^HKEY_/ {if (name == "Pelorin") print name "|" version "|" publisher; name = version = publisher = ""}
    $1 == "DisplayName" {name = $3; for (i = 4; i <= NF; i++) name = name " " $i}
    $1 == "DisplayVersion" {version = $3}
    $1 == "Publisher" {publisher = $3; for (i = 4; i <= NF; i++) publisher = publisher " " $i}
    END {if (name == "Pelorin") print name "|" version "|" publisher}'
}
# msiexec ARGS...: runs msiexec in the prefix; its status in msi_status.
msiexec() {
  run_win msiexec "$@" >"$work/msiexec.out" 2>&1
  msi_status=$?
  echo "msiexec $*: exit $msi_status"
}

scenario_msi_lifecycle() {
  local build source
  build=$(cd "$(dirname "$pelorin")/../.." && pwd)
  source=$(cd "$here/../.." && pwd)
  # No menu entries of Wine's in the host's home for the shortcuts the MSI makes.
  export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="

  # The release's MSI of this build, and a newer package of the same exes. The upgrade keys on the
  # MSI's ProductVersion, not on the exes' own versions, and Windows Installer compares only its
  # first three fields: the newer package raises the third.
  local version newer
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  newer=$(awk -F. '{print $1 "." $2 "." $3 + 1 "." $4}' <<<"$version")
  rm -rf "$work/release" "$work/newer"
  bash "$source/scripts/package.sh" --no-build --build-dir "$build" --out-dir "$work/release" \
    >"$work/package.out" 2>&1 &&
    bash "$source/scripts/package.sh" --no-build --build-dir "$build" --out-dir "$work/newer" \
      --msi-version "$newer" >>"$work/package.out" 2>&1 ||
    { fail "package.sh failed: $(tail -n 3 "$work/package.out")"; return; }
  local msi=$work/release/Pelorin-$version-win32.msi newer_msi=$work/newer/Pelorin-$version-win32.msi
  local shipped
  shipped=$(bash "$source/scripts/package.sh" --list-files | sort | paste -sd' ')

  # A fresh prefix: the one the scenario was started in is thrown away and made anew.
  WINEPREFIX=$prefix "$server" -k >/dev/null 2>&1
  rm -f "$prefix/.pelorin-ready"
  run_win cmd /c exit 0 >/dev/null 2>&1 || { fail "no fresh prefix"; return; }
  local files=$prefix/drive_c/"Program Files"/Pelorin
  # The Start menu's Pelorin folder: the all-users one on Windows; Wine 8 resolves the Start
  # menu to the user's own even for a per-machine install, so every Start menu is looked at.
  menu_folders() { find "$prefix/drive_c" -path '*/Start Menu/Programs/Pelorin' 2>/dev/null; }
  shortcuts() { find "$prefix/drive_c" -path '*/Start Menu/Programs/Pelorin/*' -printf '%f\n' | sort | paste -sd'|'; }
  [ ! -e "$files" ] && [ -z "$(menu_folders)" ] && [ -z "$(uninstall_entries)" ] || { fail "the fresh prefix already has Pelorin"; return; }

  msiexec /i "$(win_path "$msi")" /qn
  expect_eq "install exit" "$msi_status" 0
  expect_eq "installed files" "$(cd "$files" 2>/dev/null && ls | sort | paste -sd' ')" "$shipped"
  local name
  for name in app/Pelorin.exe cli/PelorinCli.exe board/PelorinStation.exe; do
    cmp -s "$files/${name#*/}" "$build/src/$name" || fail "the installed ${name#*/} is not the build's"
  done
  expect_eq "Start-menu shortcuts" "$(shortcuts)" "Pelorin Station.lnk|Pelorin.lnk"
  run_win reg query 'HKLM\Software\Pelorin' >/dev/null 2>&1 || fail "no Pelorin key in the registry after the install"
  expect_eq "Add/Remove Programs" "$(uninstall_entries)" "Pelorin|$version|Pelorin"

  # The installed programs: PelorinCli's version, and the board flashing two units.
  local cli_out
  cli_out=$(run_win 'C:\Program Files\Pelorin\PelorinCli.exe' --version 2>&1 | tr -d '\r')
  expect_eq "installed PelorinCli.exe --version" "$cli_out" "PelorinCli $version"
  local line=$prefix/drive_c/line
  mkdir -p "$line"
  make_image "$line/os.nb0" $((256 * 1024 + 1))
  start_devsim 2 --image 'C:\line\os.nb0' \
    --device "$(usb_device 0 SN-M1 Port_#0001.Hub_#0001)" \
    --device "$(usb_device 1 SN-M2 Port_#0002.Hub_#0001),arrive=500" || return
  board_exe='C:\Program Files\Pelorin\PelorinStation.exe'
  start_board --lang en --log 'C:\line\flash.jsonl' 'C:\line\os.nb0'
  drv wait-window "Pelorin Station" 30000 || { fail "the installed board did not appear"; stop_devsim; return; }
  drv board-wait "Port_#0001.Hub_#0001 | SN-M1 | verified" 30000 || fail "the installed board did not verify SN-M1"
  drv board-wait "Port_#0002.Hub_#0001 | SN-M2 | verified" 30000 || fail "the installed board did not verify SN-M2"
  drv board-close
  wait_board 20
  stop_devsim
  expect_eq "installed board's exit" "$board_status" 0
  expect_eq "installed board's log" "$(log_of "$line/flash.jsonl" '"\(.serial) \(.result)"' | sort | paste -sd,)" \
    "SN-M1 verified,SN-M2 verified"

  # The newer package over it: one entry, the newer version, the files in place.
  msiexec /i "$(win_path "$newer_msi")" /qn
  expect_eq "upgrade exit" "$msi_status" 0
  expect_eq "Add/Remove Programs after the upgrade" "$(uninstall_entries)" "Pelorin|$newer|Pelorin"
  expect_eq "files after the upgrade" "$(cd "$files" 2>/dev/null && ls | sort | paste -sd' ')" "$shipped"
  expect_eq "shortcuts after the upgrade" "$(shortcuts)" "Pelorin Station.lnk|Pelorin.lnk"

  # Removed by its product code, as Add/Remove Programs removes it: nothing of ours is left.
  local code
  code=$(msiinfo export "$newer_msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" {print $2}')
  msiexec /x "$code" /qn
  expect_eq "uninstall exit" "$msi_status" 0
  [ -e "$files" ] && fail "Program Files still holds Pelorin: $(ls -A "$files" | paste -sd' ')"
  [ -n "$(menu_folders)" ] && fail "the Start menu still holds Pelorin: $(shortcuts)"
  expect_eq "Add/Remove Programs after removal" "$(uninstall_entries)" ""
  run_win reg query 'HKLM\Software\Pelorin' >/dev/null 2>&1 && fail "Pelorin's registry key is left after removal"
  if [ -f "$line/flash.jsonl" ]; then echo "ok: the operators' log stays"; else fail "the operators' log went with the uninstall"; fi
}
