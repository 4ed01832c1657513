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
# The fleet: PostgreSQL 15 (the tests start private clusters of their own with it) and its ODBC
# driver through unixODBC, for both of Wine's loaders: Wine's odbc32.dll hands a program's calls
# to the host's libodbc.so.2 of the program's own architecture, so the i686 exes need the i386
# driver manager (libodbc2:i386) and driver (odbc-postgresql:i386), the x86_64 ones the amd64
# pieces. unixodbc brings isql and odbcinst (one, of the host's architecture).
packages=(cmake ninja-build g++ googletest nlohmann-json3-dev libcli11-dev
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          wine wine64 wine32:i386 xvfb x11-utils imagemagick fonts-nanum locales jq zip unzip
          wixl msitools faketime osslsigncode openssl
          postgresql odbc-postgresql odbc-postgresql:i386 unixodbc libodbc2:i386 odbcinst)

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
# The driver "PostgreSQL Unicode" in /etc/odbcinst.ini, as the package registers it: its Driver is
# the bare file name psqlodbcw.so, which each architecture's unixODBC looks up in its own driver
# folder (/usr/lib/x86_64-linux-gnu/odbc, /usr/lib/i386-linux-gnu/odbc), so the one entry serves
# the 32-bit and the 64-bit programs. Registered again here if the entry is missing (a removed
# and reinstalled package, a hand-edited file).
if ! odbcinst -q -d -n "PostgreSQL Unicode" >/dev/null 2>&1; then
  echo "setup: registering the ODBC driver \"PostgreSQL Unicode\""
  as_root odbcinst -i -d -f /usr/share/psqlodbc/odbcinst.ini.template >/dev/null
fi
echo "setup: ready"
