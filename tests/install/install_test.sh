#!/bin/sh
# install_test.sh BUILD_DIR SOURCE_DIR CXX
#
# Installs the build into a scratch prefix and checks what is there: the
# tool (with its man page), the shared library with its SONAME, the static
# one, the headers, and the README's C++ example built against the installed
# tree once with CMake (find_package) and once with pkg-config, shared and
# static, each run on the demo's database.
set -eu
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
cxx=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }

[ -x "$prefix/bin/kelda" ] || fail "no tool"
[ -f "$prefix/share/man/man1/kelda.1" ] || fail "no man page"
grep -q '^\.SH "COMMAND TRAIN"' "$prefix/share/man/man1/kelda.1" || fail "the man page lacks the train command"
"$prefix/bin/kelda" --version | grep -q "^kelda [0-9]" || fail "kelda --version"
for h in network.h error.h value.h network_file.h status_picture.h; do
  [ -f "$prefix/include/kelda/$h" ] || fail "no header kelda/$h"
done
shared=$(find "$prefix" -name 'libkelda.so.1' | head -n 1)
[ -n "$shared" ] || fail "no libkelda.so.1"
libdir=$(dirname "$shared")
objdump -p "$shared" | grep -q 'SONAME *libkelda\.so\.1$' || fail "libkelda.so.1 has no SONAME libkelda.so.1"
[ -f "$libdir/libkelda.a" ] || fail "no static library"
[ -f "$libdir/cmake/kelda/kelda-config.cmake" ] || fail "no CMake package"
[ -f "$libdir/pkgconfig/kelda.pc" ] || fail "no pkg-config file"

# The demo's database for the example, written by the installed tool.
cd "$work"
"$prefix/bin/kelda" demo kelda-demo >/dev/null || fail "the installed tool's demo"

readme() { python3 "$src/tests/install/readme_block.py" "$src/README.md" "$@"; }
mkdir -p "$work/consumer"
readme "From C++" cpp >"$work/consumer/main.cpp"
readme "From C++" cmake >"$work/consumer/CMakeLists.txt"

# Runs an example program and checks what it printed and wrote.
check_run() {
  rm -f houses-network.json status.png
  "$@" >"$work/out" 2>&1 || { cat "$work/out"; fail "$1 failed"; }
  grep -q '^FloorArea [0-9]' "$work/out" || { cat "$work/out"; fail "$1 printed no scores"; }
  grep -q '^400 rows predicted$' "$work/out" || { cat "$work/out"; fail "$1 predicted no rows"; }
  head -c 8 status.png | od -c | grep -q 'P   N   G' || fail "$1 wrote no picture"
}

cmake -S "$work/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_COMPILER="$cxx" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "find_package(kelda)"; }
cmake --build "$work/cmake-build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the CMake consumer"; }
check_run "$work/cmake-build/houses"
# Linked against the installed library, not anything in the build tree.
ldd "$work/cmake-build/houses" | grep -q "=> $libdir/libkelda.so.1" || fail "the CMake consumer does not use the installed library"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
command=$(readme "From C++" sh | sed "s/^g++ /$(printf '%s' "$cxx" | sed 's/[\/&]/\\&/g') /")
sh -c "cd consumer && $command" || fail "the pkg-config consumer"
LD_LIBRARY_PATH=$libdir check_run "$work/consumer/houses"

"$cxx" -std=c++20 consumer/main.cpp $(pkg-config --cflags kelda) "$libdir/libkelda.a" \
       $(pkg-config --static --libs kelda | sed 's/-lkelda\b//') -o houses-static || fail "the static consumer"
ldd houses-static | grep -q libkelda && fail "the static consumer loads libkelda"
check_run "$work/houses-static"
echo "installed, and built and ran the README's example against it with CMake and pkg-config"
