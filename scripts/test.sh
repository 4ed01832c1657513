#!/usr/bin/env bash
# Builds every preset and runs every test: the portable logic natively (plain, with Address and
# UndefinedBehavior sanitizers, with ThreadSanitizer), and the Windows programs under Wine,
# including the end-to-end downloads of the real Pelorin.exe on a virtual display.
# Once the win32 preset's tests pass, the release (archive and MSI, and both signed with a
# throwaway key) is made from that very build (scripts/package.sh) and checked
# (scripts/check_release.sh); a second archive and MSI, built from nothing in another folder, must
# have the same bytes.
# Exits non-zero when any build, test or release check fails.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || exit 1

jobs=${PELORIN_JOBS:-$(nproc)}
presets=(${PELORIN_PRESETS:-native native-asan native-tsan win32 win64})
failed=()
start=$(date +%s)
# Whether the win32 preset's tests ran on this host (not skipped: it runs 32-bit programs).
i686_ran=0

# The release from the tested win32 build: packaged without rebuilding (the exes in the archive
# are the ones the tests ran) and signed with a throwaway key made here, checked, then made again
# in a fresh folder for the byte comparison of the zip and the MSI. A wrong password must stop
# package.sh with one line before it writes anything.
release() {
  local tested packaged zip msi second out keys=build/win32/release-key
  tested=$(cd build/win32 && sha256sum src/app/Pelorin.exe src/cli/PelorinCli.exe \
    src/board/PelorinStation.exe |
    sed 's| src/[a-z]*/| |')
  rm -rf "$keys"
  mkdir -p "$keys"
  head -c 24 /dev/urandom | base64 >"$keys/password"
  echo wrong >"$keys/wrong-password"
  if ! { openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=Pelorin test signer" \
      -keyout "$keys/key.pem" -out "$keys/cert.pem" &&
    openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -out "$keys/key.p12" \
      -passout "file:$keys/password" && rm "$keys/key.pem"; } >/dev/null 2>&1; then
    echo "release: could not make a throwaway signing key"; return 1
  fi
  if out=$(bash scripts/package.sh --no-build --out-dir build/win32/refused --sign "$keys/key.p12" \
      "$keys/cert.pem" --password-file "$keys/wrong-password" 2>&1) ||
    [ -e build/win32/refused ] || [ "$(grep -c '^package: ' <<<"$out")" != 1 ]; then
    echo "release: a wrong password did not stop package.sh with one line before anything was written:"
    echo "$out"
    return 1
  fi
  echo "release: a wrong password is refused: ${out##*$'\n'}"
  out=$(PELORIN_JOBS=$jobs bash scripts/package.sh --sign "$keys/key.p12" "$keys/cert.pem" \
    --password-file "$keys/password") || return 1
  echo "$out"
  zip=$(sed -n 's/^package: \(.*-win32\.zip\)$/\1/p' <<<"$out")
  msi=${zip%.zip}.msi
  [ -f "$zip" ] && [ -f "$msi" ] || { echo "release: package.sh named no archive and MSI"; return 1; }
  packaged=$(unzip -p "$zip" SHA256SUMS | grep '\.exe$')
  if [ "$packaged" != "$tested" ]; then
    echo "release: the archive's exes are not the ones the tests ran:"
    echo "tested:"; echo "$tested"; echo "packaged:"; echo "$packaged"
    return 1
  fi
  bash scripts/check_release.sh --cert "$keys/cert.pem" "$zip" || return 1
  rm -rf build/win32-again
  second=$(PELORIN_JOBS=$jobs bash scripts/package.sh --build-dir build/win32-again \
    --out-dir build/win32-again/dist) || return 1
  echo "$second"
  local f
  for f in "$zip" "$msi"; do
    if ! cmp -s "$f" "build/win32-again/dist/${f##*/}"; then
      echo "release: a second build and package of the same commit gave other bytes:"
      cmp "$f" "build/win32-again/dist/${f##*/}"
      return 1
    fi
  done
  echo "release: the second archive and MSI have the same bytes"
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
  only=()
  if [ "$preset" = win64 ] && [ "$i686_ran" = 1 ]; then
    # The end-to-end scenarios ran on the shipped i686 programs: on the x86_64 build (which
    # carries them where 32-bit code cannot run) only its Windows test programs run.
    echo "=== win64: the end-to-end scenarios ran on the i686 build; its test programs only"
    only=(-E '^e2e_')
  fi
  if ! ctest --preset "$preset" -j "$jobs" "${only[@]}"; then
    failed+=("$preset (tests)")
    tests_passed=0
  fi
  echo "=== $preset: tested in $(( $(date +%s) - t0 )) s"
  if [ "$preset" = win32 ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then i686_ran=1; fi
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
