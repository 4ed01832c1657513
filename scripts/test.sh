#!/usr/bin/env bash
# Builds every preset and runs every test: the portable logic natively (plain, with Address and
# UndefinedBehavior sanitizers, with ThreadSanitizer), and the Windows programs under Wine,
# including the end-to-end downloads of the real Pelorin.exe on a virtual display.
# Once the win32 preset's tests pass, the release archive is made from that very build
# (scripts/package.sh) and checked (scripts/check_release.sh); a second archive, built from
# nothing in another folder, must have the same bytes.
# Exits non-zero when any build, test or release check fails.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || exit 1

jobs=${PELORIN_JOBS:-$(nproc)}
presets=(${PELORIN_PRESETS:-native native-asan native-tsan win32 win64})
failed=()
start=$(date +%s)

# The release from the tested win32 build: packaged without rebuilding (the exes in the archive
# are the ones the tests ran), checked, then made again in a fresh folder for the byte comparison.
release() {
  local tested packaged zip second
  tested=$(cd build/win32 && sha256sum src/app/Pelorin.exe src/cli/PelorinCli.exe \
    src/board/PelorinStation.exe |
    sed 's| src/[a-z]*/| |')
  local out
  out=$(PELORIN_JOBS=$jobs bash scripts/package.sh) || return 1
  echo "$out"
  zip=$(sed -n 's/^package: \(.*\.zip\)$/\1/p' <<<"$out")
  [ -f "$zip" ] || { echo "release: package.sh named no archive"; return 1; }
  packaged=$(unzip -p "$zip" SHA256SUMS | grep '\.exe$')
  if [ "$packaged" != "$tested" ]; then
    echo "release: the archive's exes are not the ones the tests ran:"
    echo "tested:"; echo "$tested"; echo "packaged:"; echo "$packaged"
    return 1
  fi
  bash scripts/check_release.sh "$zip" || return 1
  rm -rf build/win32-again
  second=$(PELORIN_JOBS=$jobs bash scripts/package.sh --build-dir build/win32-again \
    --out-dir build/win32-again/dist) || return 1
  echo "$second"
  if ! cmp -s "$zip" "build/win32-again/dist/${zip##*/}"; then
    echo "release: a second build and package of the same commit gave other bytes:"
    cmp "$zip" "build/win32-again/dist/${zip##*/}"
    return 1
  fi
  echo "release: the second archive has the same bytes"
}

for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  t0=$(date +%s)
  if ! cmake --preset "$preset" >"build-$preset.log" 2>&1; then
    cat "build-$preset.log"; failed+=("$preset (configure)"); continue
  fi
  if ! cmake --build --preset "$preset" -j "$jobs" >>"build-$preset.log" 2>&1; then
    tail -n 60 "build-$preset.log"; failed+=("$preset (build)"); continue
  fi
  rm -f "build-$preset.log"
  echo "=== $preset: built in $(( $(date +%s) - t0 )) s; testing"
  t0=$(date +%s)
  tests_passed=1
  if ! ctest --preset "$preset" -j "$jobs"; then
    failed+=("$preset (tests)")
    tests_passed=0
  fi
  echo "=== $preset: tested in $(( $(date +%s) - t0 )) s"
  if [ "$preset" = win32 ]; then
    if [ $tests_passed = 1 ]; then
      echo "=== release: package the tested win32 build and check it"
      t0=$(date +%s)
      release || failed+=("release")
      echo "=== release: done in $(( $(date +%s) - t0 )) s"
    else
      echo "=== release: not packaged, the win32 tests failed"
      failed+=("release (not packaged)")
    fi
  fi
done

echo "=== all presets in $(( $(date +%s) - start )) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all tests passed"
