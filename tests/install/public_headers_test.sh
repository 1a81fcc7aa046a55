#!/bin/sh
# public_headers_test.sh CXX INCLUDE_DIR
#
# Each public header compiles on its own with nothing but the public include
# folder, and every header it reaches is a public one: none of the runtime's
# internal headers, and nothing of SQLite, Cairo or GTK.
set -eu
cxx=$1
inc=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for header in "$inc"/kelda/*.h; do
  name=kelda/$(basename "$header")
  printf '#include <%s>\n' "$name" >"$work/one.cpp"
  if ! "$cxx" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$inc" "$work/one.cpp"; then
    echo "FAIL: $name does not compile on its own"; status=1; continue
  fi
  # -MM lists every header reached outside the system folders.
  "$cxx" -std=c++20 -MM -H -I"$inc" "$work/one.cpp" >"$work/deps" 2>"$work/tree"
  for dep in $(sed -e 's/^[^:]*://' -e 's/\\$//' "$work/deps"); do
    case $(realpath "$dep") in
      "$work"/one.cpp|"$inc"/kelda/*.h) ;;
      *) echo "FAIL: $name reaches $dep"; status=1 ;;
    esac
  done
  if grep -E 'sqlite3|cairo|gtk' "$work/tree"; then
    echo "FAIL: $name reaches a header of the libraries underneath"; status=1
  fi
done
exit $status
