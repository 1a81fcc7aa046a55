#!/bin/bash
# Makes the SQLite amalgamation (sqlite3.c and sqlite3.h) for the Windows
# builds from Debian's source package, since Debian ships no SQLite built for
# MinGW. Needs a deb-src entry for Debian's archive (`make deps`, run as root,
# adds one), dpkg-dev and tclsh.
#
# Usage: sqlite_amalgamation.sh OUT_DIR
set -euo pipefail

out=$1
mkdir -p "$out"
work=$(mktemp -d "$out/work.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

if ! apt-get source -qq sqlite3 >apt.log 2>&1; then
  cat apt.log >&2
  echo "error: could not fetch Debian's sqlite3 source package. Run 'make deps' as root:" \
    "it enables Debian's source archive and installs dpkg-dev." >&2
  exit 1
fi
src=$(find . -maxdepth 1 -type d -name 'sqlite3-*' -print -quit)
if [ -z "$src" ]; then
  echo "error: apt-get source sqlite3 unpacked no sqlite3-* folder" >&2
  exit 1
fi

mkdir build
cd build
"../$src/configure" --quiet >configure.log 2>&1 || { cat configure.log >&2; exit 1; }
make -s sqlite3.c >make.log 2>&1 || { cat make.log >&2; exit 1; }

# Moved in last, so an interrupted run leaves no half-made amalgamation.
cp sqlite3.h "$out/sqlite3.h.new"
cp sqlite3.c "$out/sqlite3.c.new"
mv "$out/sqlite3.h.new" "$out/sqlite3.h"
mv "$out/sqlite3.c.new" "$out/sqlite3.c"
