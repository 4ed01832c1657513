#!/usr/bin/env bash
# Builds the release archive dist/Pelorin-<version>-win32.zip: Pelorin.exe, PelorinCli.exe and
# PelorinStation.exe of the win32 preset, GUIDE.txt (from docs/GUIDE.txt.in, UTF-8 with BOM and CRLF line ends, so that
# Notepad shows it right) and SHA256SUMS. Prints the archive's path and its SHA-256.
#
#   bash scripts/package.sh [--build-dir DIR] [--out-dir DIR]
#
#   --build-dir DIR  the build to package (default build/win32, the win32 preset's own): it is
#                    configured with the win32 preset and its three programs are brought up to date
#                    there, so a build that is already up to date is packaged as it is
#   --out-dir DIR    where the archive goes (default dist)
#
# The same commit gives the same bytes, wherever the clone is: the version comes from the project
# (CMakeLists.txt, through the build's cache), the exes carry no time stamp and no build path
# (cmake/CompileOptions.cmake), and the archive holds the five files in a fixed order, all dated
# at the commit's time (SOURCE_DATE_EPOCH, from git), mode 0644, without extra fields.
# Environment: PELORIN_JOBS, the build's parallel jobs (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build_dir=build/win32
out_dir=dist
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build_dir=${2:?--build-dir needs a folder}; shift 2 ;;
    --out-dir) out_dir=${2:?--out-dir needs a folder}; shift 2 ;;
    *) echo "usage: bash scripts/package.sh [--build-dir DIR] [--out-dir DIR]" >&2; exit 2 ;;
  esac
done
case $build_dir in /*) ;; *) build_dir=$root/$build_dir ;; esac
case $out_dir in /*) ;; *) out_dir=$root/$out_dir ;; esac

bash scripts/setup.sh >&2

fail() { echo "package: $*" >&2; exit 1; }

# The source: this checkout's commit, and its time (SOURCE_DATE_EPOCH) for every date in the
# archive. It is not handed to the build: the exes must not depend on it, so that they are the same
# bytes as those of a test build (scripts/test.sh packages the build its tests ran).
commit=$(git rev-parse HEAD 2>/dev/null) || fail "not a git checkout: the release names its commit"
source_date_epoch=$(git log -1 --format=%ct HEAD)
commit_label=$commit
if [ -n "$(git status --porcelain)" ]; then
  commit_label="$commit with uncommitted changes"
  echo "package: warning: the working tree differs from $commit" >&2
fi

# The three programs, built as scripts/run.sh builds them.
mkdir -p "$(dirname "$build_dir")"
log=$build_dir.log
echo "package: building ${build_dir#"$root"/} (Pelorin, PelorinCli, PelorinStation)" >&2
if ! { cmake --preset win32 -B "$build_dir" >"$log" 2>&1 &&
  cmake --build "$build_dir" -j "${PELORIN_JOBS:-2}" --target Pelorin PelorinCli PelorinStation >>"$log" 2>&1; }; then
  tail -n 40 "$log" >&2
  fail "the build failed (log: $log)"
fi
rm -f "$log"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no four-part project version in $build_dir"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$build_dir/src/app/Pelorin.exe" "$build_dir/src/cli/PelorinCli.exe" \
  "$build_dir/src/board/PelorinStation.exe" "$stage/"

# GUIDE.txt: the UTF-8 source with the version and the commit filled in, a byte order mark and
# CRLF line ends.
guide_source=docs/GUIDE.txt.in
iconv -f UTF-8 -t UTF-8 "$guide_source" >/dev/null || fail "$guide_source is not UTF-8"
if grep -q $'\r' "$guide_source" || [ "$(head -c 3 "$guide_source")" = $'\xef\xbb\xbf' ]; then
  fail "$guide_source must have LF line ends and no byte order mark (they are added here)"
fi
{
  printf '\xef\xbb\xbf'
  sed -e "s/@VERSION@/$version/g" -e "s/@COMMIT@/$commit_label/g" -e 's/$/\r/' "$guide_source"
} >"$stage/GUIDE.txt"
if grep -q '@[A-Z_]*@' "$stage/GUIDE.txt"; then
  fail "$guide_source has a placeholder this script does not fill: $(grep -o '@[A-Z_]*@' "$stage/GUIDE.txt" | head -n 1)"
fi

(cd "$stage" && sha256sum Pelorin.exe PelorinCli.exe PelorinStation.exe GUIDE.txt >SHA256SUMS)

# Fixed order, dates, modes; no directory entries (-D), no extra fields (-X); zip stores local
# time, so the time zone is UTC. ZIPOPT would add options of the caller's.
files=(Pelorin.exe PelorinCli.exe PelorinStation.exe GUIDE.txt SHA256SUMS)
for f in "${files[@]}"; do
  chmod 0644 "$stage/$f"
  touch -d "@$source_date_epoch" "$stage/$f"
done
mkdir -p "$out_dir"
zip_path=$out_dir/Pelorin-$version-win32.zip
rm -f "$zip_path"
(cd "$stage" && TZ=UTC ZIPOPT= zip -X -D -9 -q "$zip_path" "${files[@]}")

shown=$zip_path
[[ $zip_path == "$root"/* ]] && shown=${zip_path#"$root"/}
echo "package: $shown"
echo "package: SHA-256 $(sha256sum "$zip_path" | cut -d ' ' -f 1)"
