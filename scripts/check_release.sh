#!/usr/bin/env bash
# Checks a release archive made by scripts/package.sh:
# - it opens and every entry's CRC is right;
# - it holds exactly Pelorin.exe, PelorinCli.exe, PelorinStation.exe, GUIDE.txt, SHA256SUMS, in
#   that order, each mode 0644, dated at the commit's time (SOURCE_DATE_EPOCH), without extra
#   fields;
# - SHA256SUMS lists the four other files and matches them;
# - GUIDE.txt is UTF-8 with a byte order mark and CRLF line ends, and names the version;
# - every exe passes src/app/check_pe.cmake (i686, GUI or console, only Windows' own DLLs,
#   Windows Vista in the PE header, no time stamp, every import on cmake/windows-imports.txt at
#   Vista or earlier), and the allow-list names nothing that no exe imports;
# - every exe carries a version block with the archive's version;
# - no exe holds the path of this checkout.
#
#   bash scripts/check_release.sh ZIP
#
# Exits non-zero, with one line per fault, when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

zip=${1:?usage: bash scripts/check_release.sh ZIP}
[ -f "$zip" ] || { echo "check: no archive $zip" >&2; exit 1; }
faults=0
fault() { echo "check: FAILED: $*" >&2; faults=$((faults + 1)); }
objdump=i686-w64-mingw32-objdump
allow_list=cmake/windows-imports.txt

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! unzip -tqq "$zip" >/dev/null 2>&1; then
  echo "check: FAILED: $zip does not open as a zip archive, or an entry's CRC is wrong" >&2
  exit 1
fi

names=$(unzip -Z1 "$zip" | tr '\n' ' ')
exes="Pelorin.exe PelorinCli.exe PelorinStation.exe"
[ "$names" = "$exes GUIDE.txt SHA256SUMS " ] ||
  fault "the archive holds \"$names\", not $exes GUIDE.txt SHA256SUMS"

# Modes and dates (zip stores local time in 2-second steps, written in UTC by package.sh).
epoch=$(git log -1 --format=%ct HEAD)
while read -r mode _ _ _ _ _ stamp name; do
  [ "$mode" = "-rw-r--r--" ] || fault "$name has mode $mode, not -rw-r--r--"
  when=$(TZ=UTC date -d "${stamp:0:4}-${stamp:4:2}-${stamp:6:2} ${stamp:9:2}:${stamp:11:2}:${stamp:13:2}" +%s)
  [ $((when - epoch)) -ge -1 ] && [ $((when - epoch)) -le 1 ] ||
    fault "$name is dated $stamp (UTC), not at the commit's time $(TZ=UTC date -d "@$epoch" +%Y%m%d.%H%M%S)"
done < <(TZ=UTC unzip -Z -T "$zip" | grep -E '^[-d]')
extras=$(unzip -Zv "$zip" | grep -c 'length of extra field: *[1-9]')
[ "$extras" = 0 ] || fault "$extras entries carry extra fields"

unzip -qq "$zip" -d "$work" || fault "the archive does not extract"
cd "$work"
if [ -f SHA256SUMS ]; then
  listed=$(awk '{print $2}' SHA256SUMS | tr '\n' ' ')
  [ "$listed" = "$exes GUIDE.txt " ] ||
    fault "SHA256SUMS lists \"$listed\", not $exes GUIDE.txt"
  sha256sum --quiet --strict -c SHA256SUMS >&2 || fault "SHA256SUMS does not match the files"
else
  fault "no SHA256SUMS"
fi

version=$(basename "$zip" | sed -n 's/^Pelorin-\(.*\)-win32\.zip$/\1/p')
if [ -f GUIDE.txt ]; then
  [ "$(head -c 3 GUIDE.txt | od -An -tx1 | tr -d ' ')" = efbbbf ] || fault "GUIDE.txt has no byte order mark"
  iconv -f UTF-8 -t UTF-8 GUIDE.txt >/dev/null 2>&1 || fault "GUIDE.txt is not UTF-8"
  lf=$(tr -cd '\n' <GUIDE.txt | wc -c)
  crlf=$(grep -c $'\r$' GUIDE.txt)
  cr=$(tr -cd '\r' <GUIDE.txt | wc -c)
  [ "$lf" -gt 0 ] && [ "$lf" = "$crlf" ] && [ "$cr" = "$lf" ] ||
    fault "GUIDE.txt does not end every line with CRLF ($lf LF, $crlf CRLF, $cr CR)"
  [ "$(tail -c 2 GUIDE.txt | od -An -tx1 | tr -d ' ')" = 0d0a ] || fault "GUIDE.txt does not end with CRLF"
  [ -n "$version" ] && grep -qF "Pelorin $version " GUIDE.txt ||
    fault "GUIDE.txt does not name the version of ${zip##*/}"
else
  fault "no GUIDE.txt"
fi

# "3, 1, 1, 0" as the version block writes it, in UTF-16.
block_version=$(printf '%s' "${version//./, }" | sed 's/./&\\x00/g')
for exe in $exes; do
  [ -f "$exe" ] || continue
  LC_ALL=C grep -qaP "V\x00S\x00_\x00V\x00E\x00R\x00S\x00I\x00O\x00N\x00_\x00I\x00N\x00F\x00O" "$exe" &&
    LC_ALL=C grep -qaP "$block_version" "$exe" ||
    fault "$exe has no version block of version $version"
  console=OFF
  [ "$exe" = PelorinCli.exe ] && console=ON
  if ! out=$(cmake -DEXE="$work/$exe" -DOBJDUMP=$objdump -DARCH=i686 -DCONSOLE=$console \
    -DIMPORTS="$root/$allow_list" -P "$root/src/app/check_pe.cmake" 2>&1); then
    fault "$exe fails the PE check:"
    echo "$out" | grep -v '^-- DLL Name' >&2
  fi
  if grep -qaF "$root" "$exe"; then
    fault "$exe holds the path of this checkout ($root): the build is not reproducible"
  fi
done

# Every allow-list entry is imported by one of the exes: the list says what ships.
if [ -f Pelorin.exe ] && [ -f PelorinCli.exe ] && [ -f PelorinStation.exe ]; then
  imported=$(for exe in $exes; do
    $objdump -p "$exe" | awk '/^The Import Tables/ {on = 1; next}
      on && /^[^ \t]/ {on = 0}
      on && /DLL Name:/ {dll = toupper($3)}
      on && /^\t[0-9a-fA-F]+\t +[0-9]+ +/ {print dll "!" $3}'
  done | sort -u)
  stale=$(grep -v '^[[:space:]]*\(#\|$\)' "$root/$allow_list" | awk '{split($1, p, "!"); print toupper(p[1]) "!" p[2]}' |
    sort -u | comm -23 - <(echo "$imported"))
  [ -z "$stale" ] || fault "$allow_list lists what no exe imports: $(echo $stale)"
fi

if [ $faults -gt 0 ]; then
  echo "check: $faults check(s) of ${zip##*/} failed" >&2
  exit 1
fi
echo "check: ${zip##*/}: 5 files, SHA256SUMS right, GUIDE.txt UTF-8 with BOM and CRLF, the three exes i686 for Windows Vista with version blocks and allowed imports only"
