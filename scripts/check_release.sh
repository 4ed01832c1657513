#!/usr/bin/env bash
# Checks a release made by scripts/package.sh:
# - the archive opens and every entry's CRC is right;
# - it holds exactly the shipped files (scripts/package.sh --list-files: Pelorin.exe,
#   PelorinCli.exe, PelorinStation.exe, GUIDE.txt, pelorin-fleet.sql, pelorin-fleet-grants.sql)
#   and SHA256SUMS, in that order, each mode 0644,
#   dated at the commit's time (SOURCE_DATE_EPOCH), without extra fields;
# - SHA256SUMS lists the shipped files and matches them;
# - GUIDE.txt is UTF-8 with a byte order mark and CRLF line ends, and names the version;
# - every exe passes src/app/check_pe.cmake (i686, GUI or console, only Windows' own DLLs,
#   Windows Vista in the PE header, no time stamp, every import on cmake/windows-imports.txt at
#   Vista or earlier), and the allow-list names nothing that no exe imports;
# - every exe carries a version block with the archive's version;
# - no exe holds the path of this checkout;
# - the MSI beside the archive (same name, .msi) installs exactly the archive's shipped files, byte
#   for byte, into Program Files\Pelorin, with the archive's version, Pelorin's upgrade code
#   (packaging/Pelorin.wxs), Start-menu shortcuts to the dialog and the board, and the package code
#   derived from its content;
# - with --cert CERT, the signed pair beside them (-signed.zip, -signed.msi): every signature (each
#   exe in the signed archive and in the signed MSI, and the MSI itself) verifies against CERT;
#   each exe with its signature removed (osslsigncode remove-signature) is the release's exe, every
#   byte but two things remove-signature leaves behind and says nothing about: the PE checksum
#   field, which it fills in (the linker leaves it 0), and the zero bytes (fewer than 8) that
#   signing added to reach a multiple of 8; the signed MSI with its signature removed holds the
#   release MSI's tables and streams (osslsigncode writes the container anew, so its layout
#   differs), but for the signed exes' sizes, their cabinet and the package code; the other
#   shipped files are the release's bytes.
#
#   bash scripts/check_release.sh [--cert CERT] ZIP
#
# Exits non-zero, with one line per fault, when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage="usage: bash scripts/check_release.sh [--cert CERT] ZIP"
cert=""
case ${1:-} in
  --cert) cert=${2:?$usage}; shift 2 ;;
esac
zip=${1:?$usage}
[ -f "$zip" ] || { echo "check: no archive $zip" >&2; exit 1; }
case $zip in /*) ;; *) zip=$root/$zip ;; esac
if [ -n "$cert" ]; then
  [ -f "$cert" ] || { echo "check: no certificate $cert" >&2; exit 1; }
  case $cert in /*) ;; *) cert=$root/$cert ;; esac
fi
faults=0
fault() { echo "check: FAILED: $*" >&2; faults=$((faults + 1)); }
objdump=i686-w64-mingw32-objdump
allow_list=cmake/windows-imports.txt

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# What ships, from the one list in package.sh.
shipped=$(bash scripts/package.sh --list-files | tr '\n' ' ')
exes=$(tr ' ' '\n' <<<"$shipped" | grep '\.exe$' | tr '\n' ' ')
exes=${exes% }

if ! unzip -tqq "$zip" >/dev/null 2>&1; then
  echo "check: FAILED: $zip does not open as a zip archive, or an entry's CRC is wrong" >&2
  exit 1
fi

names=$(unzip -Z1 "$zip" | tr '\n' ' ')
[ "$names" = "${shipped}SHA256SUMS " ] ||
  fault "the archive holds \"$names\", not ${shipped}SHA256SUMS"

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

release=$work/release
mkdir -p "$release"
unzip -qq "$zip" -d "$release" || fault "the archive does not extract"
cd "$release"
if [ -f SHA256SUMS ]; then
  listed=$(awk '{print $2}' SHA256SUMS | tr '\n' ' ')
  [ "$listed" = "$shipped" ] || fault "SHA256SUMS lists \"$listed\", not $shipped"
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
  if ! out=$(cmake -DEXE="$release/$exe" -DOBJDUMP=$objdump -DARCH=i686 -DCONSOLE=$console \
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
cd "$root"

# msi_files MSI DIR: extracts the files the MSI installs into DIR (as they would lie under
# Program Files); prints the File table's names in its order.
msi_files() {
  mkdir -p "$2"
  msiextract -C "$2" "$1" >/dev/null 2>&1 || { fault "${1##*/} does not extract"; return 1; }
  msiinfo export "$1" File | tail -n +4 | sort -t $'\t' -k8,8n | cut -f3 | tr '\n' ' '
}
# same_files FROM TO WHAT NAME...: NAME in FROM has the bytes of NAME in TO.
same_files() {
  local from=$1 to=$2 what=$3 name
  shift 3
  for name in "$@"; do
    cmp -s "$from/$name" "$to/$name" || fault "$what: $name is not the archive's $name"
  done
}
property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v k="$2" '$1 == k {print $2}'; }

# The MSI: the archive's files, version and the product's identity.
msi=${zip%.zip}.msi
if [ ! -f "$msi" ]; then
  fault "no MSI ${msi##*/} beside the archive"
else
  installed=$work/msi/"Program Files"/Pelorin
  files=$(msi_files "$msi" "$work/msi")
  [ "$files" = "$shipped" ] || fault "${msi##*/} installs \"$files\", not $shipped"
  same_files "$installed" "$release" "${msi##*/}" $shipped
  [ "$(property "$msi" ProductVersion)" = "$version" ] ||
    fault "${msi##*/} has ProductVersion \"$(property "$msi" ProductVersion)\", not $version"
  upgrade_code=$(sed -n 's/.*UpgradeCode="\([^"]*\)".*/{\1}/p' packaging/Pelorin.wxs)
  [ "$(property "$msi" UpgradeCode)" = "$upgrade_code" ] ||
    fault "${msi##*/} has UpgradeCode \"$(property "$msi" UpgradeCode)\", not packaging/Pelorin.wxs's $upgrade_code"
  [ "$(property "$msi" ProductName)/$(property "$msi" Manufacturer)" = "Pelorin/Pelorin" ] ||
    fault "${msi##*/} does not name Pelorin as its product and publisher"
  shortcuts=$(msiinfo export "$msi" Shortcut | tail -n +4 | cut -f2,3,5 | tr '\t\n' '| ')
  [ "$shortcuts" = "ProgramMenuDir|Pelorin|[#f1] ProgramMenuDir|Pelorin Station|[#f3] " ] ||
    fault "${msi##*/}'s Start-menu shortcuts are \"$shortcuts\""
  # The package code: the SHA-256 of the same package with a zero code, as package.sh derives it.
  code=$(msiinfo suminfo "$msi" | sed -n 's/^Revision number (UUID): //p')
  cp "$msi" "$work/zero.msi"
  TZ=UTC faketime "$(TZ=UTC date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')" msibuild "$work/zero.msi" \
    -s "Pelorin" "Pelorin" "Intel;1042" "{00000000-0000-0000-0000-000000000000}"
  h=$(sha256sum "$work/zero.msi" | cut -c1-32 | tr a-f A-F)
  [[ $code == "{${h:0:8}-${h:8:4}-8${h:13:3}-"?"${h:17:3}-${h:20:12}}" ]] ||
    fault "${msi##*/}'s package code $code is not derived from its content"
fi

# strip_signature EXE LENGTH: EXE with its signature removed, cut back to the release exe's LENGTH
# (what is cut must be fewer than 8 zero bytes) and its PE checksum field zeroed, in EXE.stripped.
strip_signature() {
  local exe=$1 length=$2 field
  osslsigncode remove-signature -in "$exe" -out "$exe.stripped" >/dev/null 2>&1 || return 1
  [ "$(stat -c %s "$exe.stripped")" -lt $((length + 8)) ] &&
    [ -z "$(tail -c +$((length + 1)) "$exe.stripped" | tr -d '\0')" ] || return 1
  truncate -s "$length" "$exe.stripped"
  field=$(($(od -An -tu4 -j60 -N4 "$exe.stripped") + 88))
  dd if=/dev/zero of="$exe.stripped" bs=1 seek="$field" count=4 conv=notrunc status=none
}
verify() { osslsigncode verify -CAfile "$cert" -in "$1" >"$work/verify.log" 2>&1; }

signed_zip=${zip%.zip}-signed.zip signed_msi=${zip%.zip}-signed.msi
signed_checked=""
if [ -n "$cert" ]; then
  signed=$work/signed
  mkdir -p "$signed"
  if [ ! -f "$signed_zip" ]; then
    fault "no signed archive ${signed_zip##*/} beside the archive"
  else
    unzip -qq "$signed_zip" -d "$signed" || fault "${signed_zip##*/} does not extract"
    names=$(unzip -Z1 "$signed_zip" | tr '\n' ' ')
    [ "$names" = "${shipped}SHA256SUMS " ] || fault "${signed_zip##*/} holds \"$names\", not ${shipped}SHA256SUMS"
    (cd "$signed" && sha256sum --quiet --strict -c SHA256SUMS >/dev/null 2>&1) ||
      fault "${signed_zip##*/}: SHA256SUMS does not match its files"
    for name in $shipped; do
      case $name in
        *.exe)
          verify "$signed/$name" || fault "${signed_zip##*/}: $name's signature does not verify against ${cert##*/}"
          if strip_signature "$signed/$name" "$(stat -c %s "$release/$name")"; then
            cp "$release/$name" "$work/$name.release"
            dd if=/dev/zero of="$work/$name.release" bs=1 count=4 conv=notrunc status=none \
              seek=$(($(od -An -tu4 -j60 -N4 "$release/$name") + 88))
            cmp -s "$signed/$name.stripped" "$work/$name.release" ||
              fault "${signed_zip##*/}: $name without its signature is not the archive's $name"
          else
            fault "${signed_zip##*/}: $name's signature cannot be removed to give the archive's length"
          fi
          ;;
        *) same_files "$signed" "$release" "${signed_zip##*/}" "$name" ;;
      esac
    done
    signed_checked="${signed_zip##*/} "
  fi
  if [ ! -f "$signed_msi" ]; then
    fault "no signed MSI ${signed_msi##*/} beside the archive"
  elif [ -f "$msi" ]; then
    verify "$signed_msi" || fault "${signed_msi##*/}'s signature does not verify against ${cert##*/}"
    files=$(msi_files "$signed_msi" "$work/signed-msi")
    [ "$files" = "$shipped" ] || fault "${signed_msi##*/} installs \"$files\", not $shipped"
    # Its files are the signed archive's (whose signatures were checked above).
    same_files "$work/signed-msi/Program Files/Pelorin" "$signed" "${signed_msi##*/}" $shipped
    osslsigncode remove-signature -in "$signed_msi" -out "$work/unsigned.msi" >/dev/null 2>&1 ||
      fault "${signed_msi##*/}'s signature cannot be removed"
    # Every table and stream of the release's MSI, but the sizes and hashes of the signed exes,
    # their cabinet and the package code.
    for m in release:"$msi" unsigned:"$work/unsigned.msi"; do
      mkdir -p "$work/dump-${m%%:*}"
      (cd "$work/dump-${m%%:*}" && msidump -t -s "${m#*:}" >/dev/null 2>&1 &&
        rm -f _Streams/pelorin.cab _Streams/$'\005'SummaryInformation &&
        sed -i '/^9\t/d' _SummaryInformation.idt &&
        awk -F'\t' 'BEGIN {OFS = FS} NR > 3 {$4 = "-"} {print}' File.idt >File.new && mv File.new File.idt &&
        awk -F'\t' 'BEGIN {OFS = FS} NR > 3 {$3 = $4 = $5 = $6 = "-"} {print}' MsiFileHash.idt >Hash.new &&
        mv Hash.new MsiFileHash.idt)
    done
    diff -r "$work/dump-release" "$work/dump-unsigned" >"$work/msi.diff" 2>&1 ||
      fault "${signed_msi##*/} without its signature differs from ${msi##*/} in more than the signed exes: $(head -c 300 "$work/msi.diff" | tr '\n' ' ')"
    signed_checked+="${signed_msi##*/} "
  fi
elif [ -f "$signed_zip" ] || [ -f "$signed_msi" ]; then
  fault "signed files lie beside the archive: give --cert CERT to check their signatures"
fi

if [ $faults -gt 0 ]; then
  echo "check: $faults check(s) of ${zip##*/} failed" >&2
  exit 1
fi
echo "check: ${zip##*/}: $(wc -w <<<"$shipped") files and SHA256SUMS, GUIDE.txt UTF-8 with BOM and CRLF, the exes i686 for Windows Vista with version blocks and allowed imports only"
echo "check: ${msi##*/}: the same files for Program Files\\Pelorin, version $version, Pelorin's upgrade code, the Start-menu shortcuts, the package code from its content"
if [ -n "$signed_checked" ]; then
  echo "check: ${signed_checked% }: every signature verifies against ${cert##*/}; without them, the exes are the release's in every byte but the PE checksum field and the zero padding (fewer than 8 bytes) signing adds, and the MSI holds the release's tables and streams but for the signed exes"
fi
