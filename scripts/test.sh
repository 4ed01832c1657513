#!/usr/bin/env bash
# Builds every preset and runs every test: the portable logic natively (plain, with Address and
# UndefinedBehavior sanitizers, with ThreadSanitizer), and the Windows programs under Wine,
# including the end-to-end downloads of the real Pelorin.exe on a virtual display.
# Exits non-zero when any build or test fails.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || exit 1

jobs=${PELORIN_JOBS:-$(nproc)}
presets=(${PELORIN_PRESETS:-native native-asan native-tsan win32 win64})
failed=()
start=$(date +%s)

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
  if ! ctest --preset "$preset" -j "$jobs"; then
    failed+=("$preset (tests)")
  fi
  echo "=== $preset: tested in $(( $(date +%s) - t0 )) s"
done

echo "=== all presets in $(( $(date +%s) - start )) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all tests passed"
