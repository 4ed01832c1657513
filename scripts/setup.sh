#!/usr/bin/env bash
# Installs what building, running and testing Pelorin needs, from Debian's packages, when it is
# missing. Safe to run again: it only installs what is not there yet. Needs root (or sudo).
set -euo pipefail

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# Wine's 32-bit loader is installed too: on kernels that can execute 32-bit code it runs the
# shipped i686 build's tests; elsewhere the 64-bit loader runs the x86_64 build of the same code.
# nlohmann-json3-dev and libcli11-dev: header-only libraries of the headless front end (also
# compiled by the mingw-w64 compilers, through a folder that holds just those two); jq reads its
# records in the end-to-end tests. zip and unzip make and check the release archive; wixl and
# msitools the MSI (faketime runs wixl at the commit's time); osslsigncode signs and checks the
# signatures, openssl checks a signing key and makes the tests' throwaway one (scripts/package.sh,
# scripts/check_release.sh).
packages=(cmake ninja-build g++ googletest nlohmann-json3-dev libcli11-dev
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine wine64 wine32:i386 xvfb x11-utils imagemagick fonts-nanum locales jq zip unzip
          wixl msitools faketime osslsigncode openssl)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Korean texts: Wine takes code page 949 and Korean dialogs from this locale.
if ! locale -a 2>/dev/null | grep -qi '^ko_KR\.utf-\?8$'; then
  echo "setup: generating the ko_KR.UTF-8 locale"
  as_root sed -i 's/^# *ko_KR.UTF-8 UTF-8/ko_KR.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ko_KR.UTF-8 UTF-8' /etc/locale.gen || echo 'ko_KR.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen >/dev/null
fi
echo "setup: ready"
