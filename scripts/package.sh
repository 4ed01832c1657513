#!/usr/bin/env bash
# Builds the release: dist/Pelorin-<version>-win32.zip and dist/Pelorin-<version>-win32.msi, both
# holding the shipped files listed below (Pelorin.exe, PelorinCli.exe and PelorinStation.exe of the
# win32 preset, GUIDE.txt made from docs/GUIDE.txt.in, UTF-8 with BOM and CRLF line ends, so that
# Notepad shows it right, and the fleet's database schema and example grants, which the factory
# applies); the zip also holds SHA256SUMS. With a signing key it also writes the
# signed pair beside them: Pelorin-<version>-win32-signed.zip and -signed.msi. Prints each file's
# path and SHA-256.
#
#   bash scripts/package.sh [--build-dir DIR] [--out-dir DIR] [--no-build] [--msi-version V]
#                           [--sign KEY CERT --password-file FILE [--timestamp URL]]
#   bash scripts/package.sh --list-files
#
#   --build-dir DIR  the build to package (default build/win32, the win32 preset's own): it is
#                    configured with the win32 preset and its three programs are brought up to date
#                    there, so a build that is already up to date is packaged as it is
#   --out-dir DIR    where the files go (default dist)
#   --no-build       package the build's programs as they are, without configuring or building
#   --msi-version V  give the MSI the ProductVersion V instead of the project's (the exes keep
#                    theirs): a newer package of the same programs, for the upgrade test
#   --sign KEY CERT  also sign every exe and the MSI with osslsigncode (Authenticode, SHA-256):
#                    KEY is a PKCS#12 file (.p12/.pfx) holding the private key and its certificate
#                    (with its chain), CERT the certificate, PEM, that the signatures must verify
#                    against: the root of the signing certificate's chain, or the signing
#                    certificate itself when it is self-signed
#   --password-file FILE
#                    the file whose first line is KEY's password (never given on a command line)
#   --timestamp URL  an RFC 3161 time-stamp server: the signatures are time-stamped there, so
#                    they stay valid after the certificate expires
#   --list-files     print the shipped files' names in their order and exit
# Relative paths are taken from the checkout's root.
# Environment, for what the options do not say: PELORIN_SIGN_KEY, PELORIN_SIGN_CERT,
# PELORIN_SIGN_PASSWORD_FILE, PELORIN_TIMESTAMP_URL; PELORIN_JOBS, the build's parallel jobs
# (default 2).
#
# A signing key that is missing, cannot be opened with its password, or whose certificate does not
# verify against CERT stops the script with one line before anything is built or written.
#
# The same commit gives the same bytes of the zip and the MSI, wherever the clone is: the version
# comes from the project (CMakeLists.txt, through the build's cache), the exes carry no time stamp
# and no build path (cmake/CompileOptions.cmake), and the archive holds its files in a fixed
# order, all dated at the commit's time (SOURCE_DATE_EPOCH, from git), mode 0644, without extra
# fields. wixl would write the time of the build and a fresh package code into every MSI: it runs
# at the commit's time (faketime), and the package code is then derived from the package's
# content (the SHA-256 of the package with a zero code), so a package with other content gets
# another code. The product code is derived from the version and the shipped files.
# The signed files are not reproducible (a signature carries the time it was made): they are the
# release's bytes plus signatures, which scripts/check_release.sh --cert CERT shows.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# What ships, in this order, in the zip (then SHA256SUMS) and in the MSI's install folder: the
# file's name, where it comes from (build:PATH the build's output, made:PATH written below from
# the checkout's PATH, repo:PATH the checkout's file as it is) and the name of its Start-menu
# shortcut in the MSI (empty for none).
shipped=(
  "Pelorin.exe|build:src/app/Pelorin.exe|Pelorin"
  "PelorinCli.exe|build:src/cli/PelorinCli.exe|"
  "PelorinStation.exe|build:src/board/PelorinStation.exe|Pelorin Station"
  "GUIDE.txt|made:docs/GUIDE.txt.in|"
  "pelorin-fleet.sql|repo:sql/pelorin-fleet.sql|"
  "pelorin-fleet-grants.sql|repo:sql/pelorin-fleet-grants.sql|"
)
names=()
for entry in "${shipped[@]}"; do names+=("${entry%%|*}"); done

usage() {
  echo "usage: bash scripts/package.sh [--build-dir DIR] [--out-dir DIR] [--no-build] [--msi-version V]" \
    "[--sign KEY CERT --password-file FILE [--timestamp URL]] | --list-files" >&2
  exit 2
}
fail() { echo "package: $*" >&2; exit 1; }

build_dir=build/win32
out_dir=dist
no_build=0
msi_version=""
sign_key=${PELORIN_SIGN_KEY:-}
sign_cert=${PELORIN_SIGN_CERT:-}
password_file=${PELORIN_SIGN_PASSWORD_FILE:-}
timestamp_url=${PELORIN_TIMESTAMP_URL:-}
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build_dir=${2:?--build-dir needs a folder}; shift 2 ;;
    --out-dir) out_dir=${2:?--out-dir needs a folder}; shift 2 ;;
    --no-build) no_build=1; shift ;;
    --msi-version) msi_version=${2:?--msi-version needs a version}; shift 2 ;;
    --sign) [ $# -ge 3 ] || usage; sign_key=$2 sign_cert=$3; shift 3 ;;
    --password-file) password_file=${2:?--password-file needs a file}; shift 2 ;;
    --timestamp) timestamp_url=${2:?--timestamp needs a URL}; shift 2 ;;
    --list-files) printf '%s\n' "${names[@]}"; exit 0 ;;
    *) usage ;;
  esac
done
case $build_dir in /*) ;; *) build_dir=$root/$build_dir ;; esac
case $out_dir in /*) ;; *) out_dir=$root/$out_dir ;; esac
if [ -n "$msi_version" ] && ! [[ $msi_version =~ ^[0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)?$ ]]; then
  fail "--msi-version needs a version like 3.1.2.0, not \"$msi_version\""
fi

# The signing key is checked before anything is built or written.
signing=0
if [ -n "$sign_key$sign_cert" ]; then
  signing=1
  [ -n "$sign_key" ] && [ -n "$sign_cert" ] || fail "signing needs both a key and a certificate (--sign KEY CERT)"
  [ -n "$password_file" ] ||
    fail "signing needs the password of $sign_key in a file: --password-file FILE (or PELORIN_SIGN_PASSWORD_FILE)"
  [ -f "$sign_key" ] && [ -r "$sign_key" ] || fail "the signing key $sign_key cannot be read"
  [ -f "$sign_cert" ] && [ -r "$sign_cert" ] || fail "the certificate $sign_cert cannot be read"
  [ -f "$password_file" ] && [ -r "$password_file" ] || fail "the password file $password_file cannot be read"
  case $sign_key in /*) ;; *) sign_key=$root/$sign_key ;; esac
  case $sign_cert in /*) ;; *) sign_cert=$root/$sign_cert ;; esac
  case $password_file in /*) ;; *) password_file=$root/$password_file ;; esac
fi

bash scripts/setup.sh >&2

# p12 ARGS...: openssl pkcs12 on the signing key with its password (older keys use ciphers that
# OpenSSL 3 keeps in its legacy provider).
p12() {
  openssl pkcs12 -in "$sign_key" -passin "file:$password_file" "$@" 2>/dev/null ||
    openssl pkcs12 -legacy -in "$sign_key" -passin "file:$password_file" "$@" 2>/dev/null
}
if [ $signing = 1 ]; then
  openssl x509 -in "$sign_cert" -noout 2>/dev/null || fail "$sign_cert is not a PEM certificate"
  p12 -noout || fail "$sign_key cannot be opened with the password in $password_file (a wrong password, or not a PKCS#12 file)"
  leaf=$(p12 -nokeys -clcerts | openssl x509 2>/dev/null) || fail "$sign_key holds no certificate"
  key_pub=$(p12 -nocerts -nodes | openssl pkey -pubout 2>/dev/null) || fail "$sign_key holds no private key"
  [ "$key_pub" = "$(openssl x509 -pubkey -noout <<<"$leaf")" ] ||
    fail "the private key in $sign_key is not the key of its certificate"
  subject=$(openssl x509 -subject -noout -nameopt oneline <<<"$leaf" | sed 's/^subject= *//')
  openssl verify -partial_chain -CAfile "$sign_cert" -untrusted <(p12 -nokeys) <(echo "$leaf") >/dev/null 2>&1 ||
    fail "the certificate in $sign_key ($subject) does not verify against $sign_cert (another key, expired, or not for it)"
fi

# The source: this checkout's commit, and its time (SOURCE_DATE_EPOCH) for every date in the
# release. It is not handed to the build: the exes must not depend on it, so that they are the same
# bytes as those of a test build (scripts/test.sh packages the build its tests ran).
commit=$(git rev-parse HEAD 2>/dev/null) || fail "not a git checkout: the release names its commit"
source_date_epoch=$(git log -1 --format=%ct HEAD)
commit_label=$commit
if [ -n "$(git status --porcelain)" ]; then
  commit_label="$commit with uncommitted changes"
  echo "package: warning: the working tree differs from $commit" >&2
fi

# The three programs, built as scripts/run.sh builds them.
if [ $no_build = 0 ]; then
  mkdir -p "$(dirname "$build_dir")"
  log=$build_dir.log
  echo "package: building ${build_dir#"$root"/} (Pelorin, PelorinCli, PelorinStation)" >&2
  if ! { cmake --preset win32 -B "$build_dir" >"$log" 2>&1 &&
    cmake --build "$build_dir" -j "${PELORIN_JOBS:-2}" --target Pelorin PelorinCli PelorinStation >>"$log" 2>&1; }; then
    tail -n 40 "$log" >&2
    fail "the build failed (log: $log)"
  fi
  rm -f "$log"
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt" 2>/dev/null) || true
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no four-part project version in $build_dir"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
release=$stage/release
mkdir -p "$release"

# GUIDE.txt: the UTF-8 source with the version and the commit filled in, a byte order mark and
# CRLF line ends.
make_guide() {
  local source=$1 out=$2
  iconv -f UTF-8 -t UTF-8 "$source" >/dev/null || fail "$source is not UTF-8"
  if grep -q $'\r' "$source" || [ "$(head -c 3 "$source")" = $'\xef\xbb\xbf' ]; then
    fail "$source must have LF line ends and no byte order mark (they are added here)"
  fi
  {
    printf '\xef\xbb\xbf'
    sed -e "s/@VERSION@/$version/g" -e "s/@COMMIT@/$commit_label/g" -e 's/$/\r/' "$source"
  } >"$out"
  if grep -q '@[A-Z_]*@' "$out"; then
    fail "$source has a placeholder this script does not fill: $(grep -o '@[A-Z_]*@' "$out" | head -n 1)"
  fi
}
for entry in "${shipped[@]}"; do
  IFS='|' read -r name from _ <<<"$entry"
  case $from in
    build:*) [ -f "$build_dir/${from#build:}" ] || fail "no ${from#build:} in $build_dir"
             cp "$build_dir/${from#build:}" "$release/$name" ;;
    made:docs/GUIDE.txt.in) make_guide "${from#made:}" "$release/$name" ;;
    repo:*) cp "${from#repo:}" "$release/$name" ;;
    *) fail "no way to make $name from $from" ;;
  esac
done

# TIME: the commit's time as faketime takes it (UTC); every date wixl and msibuild write.
commit_time=$(TZ=UTC date -d "@$source_date_epoch" '+%Y-%m-%d %H:%M:%S')
at_commit_time() { TZ=UTC faketime "$commit_time" "$@"; }

# guid_of: a GUID made of the first 128 bits of the SHA-256 of standard input, marked as an RFC
# 9562 custom (version 8) UUID, upper case as Windows Installer writes GUIDs.
guid_of() {
  local h
  h=$(sha256sum | cut -c1-32)
  printf '%s-%s-8%s-%x%s-%s\n' "${h:0:8}" "${h:8:4}" "${h:13:3}" $(((0x${h:16:1} & 3) | 8)) \
    "${h:17:3}" "${h:20:12}" | tr a-f A-F
}

msi_version=${msi_version:-$version}
# One product code for this release's files and version, shared by the unsigned and the signed
# package: they are the same product, two packages of it.
product_code=$( (echo "Pelorin $msi_version"; cd "$release" && sha256sum "${names[@]}") | guid_of)

# settle DIR FILE...: mode 0644 and the commit's time, as the zip and the MSI's cabinet store them.
settle() {
  local dir=$1 f
  shift
  for f in "$@"; do
    chmod 0644 "$dir/$f"
    touch -d "@$source_date_epoch" "$dir/$f"
  done
}

# make_msi DIR OUT: the MSI of the shipped files in DIR. The components' GUIDs are derived from
# the files' names, so they stay the same from one release to the next (as Windows Installer's
# component rules want); the shortcuts' component (Start-menu folder) has a GUID of its own.
make_msi() {
  local dir=$1 out=$2 wxs=$stage/shipped.wxs work=$stage/msi i=0 entry name shortcut
  rm -rf "$work"
  mkdir -p "$work"
  settle "$dir" "${names[@]}"
  {
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment>'
    echo '  <DirectoryRef Id="INSTALLDIR">'
    for entry in "${shipped[@]}"; do
      IFS='|' read -r name _ _ <<<"$entry"
      i=$((i + 1))
      echo "    <Component Id=\"c$i\" Guid=\"$(echo "Pelorin component $name" | guid_of)\">"
      echo "      <File Id=\"f$i\" Name=\"$name\" Source=\"$(realpath --relative-to="$work" "$dir/$name")\" KeyPath=\"yes\"/>"
      echo '    </Component>'
    done
    echo '  </DirectoryRef>'
    echo '  <DirectoryRef Id="ProgramMenuDir">'
    echo '    <Component Id="menu" Guid="6F3A0B5C-2D1E-4C87-9B64-E0A7C3F51D28">'
    i=0
    for entry in "${shipped[@]}"; do
      IFS='|' read -r name _ shortcut <<<"$entry"
      i=$((i + 1))
      [ -n "$shortcut" ] || continue
      echo "      <Shortcut Id=\"s$i\" Name=\"$shortcut\" Target=\"[#f$i]\" WorkingDirectory=\"INSTALLDIR\"/>"
    done
    echo '      <RemoveFolder Id="ProgramMenuDir" On="uninstall"/>'
    echo '      <RegistryValue Root="HKLM" Key="Software\Pelorin" Name="StartMenu" Type="integer" Value="1" KeyPath="yes"/>'
    echo '    </Component>'
    echo '  </DirectoryRef>'
    echo '  <ComponentGroup Id="Shipped">'
    for ((i = 1; i <= ${#shipped[@]}; i++)); do echo "    <ComponentRef Id=\"c$i\"/>"; done
    echo '    <ComponentRef Id="menu"/>'
    echo '  </ComponentGroup>'
    echo '</Fragment></Wix>'
  } >"$wxs"
  # wixl takes the files' sources relative to the folder it runs in.
  cp resources/pelorin.ico "$work/pelorin.ico"
  (cd "$work" && at_commit_time wixl -a x86 -D "Version=$msi_version" -D "ProductCode=$product_code" \
    -D "Icon=pelorin.ico" -o out.msi "$root/packaging/Pelorin.wxs" "$wxs" >"$work/log" 2>&1) ||
    { cat "$work/log" >&2; fail "wixl failed"; }
  # The package code: zero first, then the SHA-256 of that package.
  set_package_code "$work/out.msi" "{00000000-0000-0000-0000-000000000000}"
  set_package_code "$work/out.msi" "{$(guid_of <"$work/out.msi")}"
  mv "$work/out.msi" "$out"
}
# set_package_code MSI GUID: the summary information's revision number (msibuild also writes its
# subject, author and template, to the values wixl wrote).
set_package_code() {
  at_commit_time msibuild "$1" -s "Pelorin" "Pelorin" "Intel;1042" "$2" ||
    fail "msibuild could not set the package code of $1"
}

# make_zip DIR OUT: the shipped files and SHA256SUMS, in a fixed order, dated at the commit's
# time, mode 0644; no directory entries (-D), no extra fields (-X); zip stores local time, so the
# time zone is UTC. ZIPOPT would add options of the caller's.
make_zip() {
  local dir=$1 out=$2 f
  (cd "$dir" && sha256sum "${names[@]}" >SHA256SUMS)
  settle "$dir" "${names[@]}" SHA256SUMS
  rm -f "$out"
  (cd "$dir" && TZ=UTC ZIPOPT= zip -X -D -9 -q "$out" "${names[@]}" SHA256SUMS)
}

# sign IN OUT [DESCRIPTION]: an Authenticode signature (SHA-256), time-stamped when a server is given.
sign() {
  local ts=()
  [ -n "$timestamp_url" ] && ts=(-ts "$timestamp_url")
  osslsigncode sign -pkcs12 "$sign_key" -readpass "$password_file" -h sha256 -n "Pelorin" \
    "${ts[@]}" -in "$1" -out "$2" >"$stage/sign.log" 2>&1 ||
    { cat "$stage/sign.log" >&2; fail "osslsigncode could not sign ${1##*/}"; }
}

mkdir -p "$out_dir"
base=$out_dir/Pelorin-$version-win32
outputs=("$base.zip" "$base.msi")
# The MSI first: the zip's SHA256SUMS joins the staged files afterwards.
make_msi "$release" "$base.msi"
make_zip "$release" "$base.zip"

if [ $signing = 1 ]; then
  signed=$stage/signed
  mkdir -p "$signed"
  for entry in "${shipped[@]}"; do
    IFS='|' read -r name _ _ <<<"$entry"
    case $name in
      *.exe) sign "$release/$name" "$signed/$name" ;;
      *) cp "$release/$name" "$signed/$name" ;;
    esac
  done
  make_msi "$signed" "$stage/signed.msi"
  sign "$stage/signed.msi" "$base-signed.msi"
  make_zip "$signed" "$base-signed.zip"
  outputs+=("$base-signed.zip" "$base-signed.msi")
fi

for out in "${outputs[@]}"; do
  shown=$out
  [[ $out == "$root"/* ]] && shown=${out#"$root"/}
  echo "package: $shown"
  echo "package: SHA-256 $(sha256sum "$out" | cut -d ' ' -f 1)"
done
