#!/bin/sh
# install_test.sh BUILD_DIR SOURCE_DIR CXX
#
# Installs the build into a scratch prefix and checks what is there: the
# tool (with its man page), the shared library with its SONAME, the static
# one, the headers, and the README's C++ example built against the installed
# tree once with CMake (find_package) and once with pkg-config, shared and
# static, each run on the demo's database; and its second example, a seeded
# run that shows its progress and is stopped, by itself and by Ctrl-C.
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
for h in network.h error.h value.h network_file.h status_picture.h run_options.h status_window.h \
         import.h fit.h database_name.h; do
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

mkdir -p "$work/progress"
readme "From C++" cpp 2 >"$work/progress/main.cpp"
cp "$work/consumer/CMakeLists.txt" "$work/progress/"

# Runs the second example, which stops itself at epoch 3000, and checks that
# it showed its progress up to there, ended with error 18, and left the
# table sound.
check_stop() {
  status=0
  "$@" 3000 >"$work/out" 2>"$work/err" || status=$?
  [ "$status" -eq 130 ] || { cat "$work/out" "$work/err"; fail "$1 exited with $status"; }
  grep -q '^epoch 1000 of 1000000, RMS Error: [0-9]' "$work/out" || { cat "$work/out"; fail "$1 showed no progress"; }
  tail -n 1 "$work/out" | grep -q '^epoch 3000 of 1000000' || { cat "$work/out"; fail "$1 did not stop at epoch 3000"; }
  grep -qx 'error 18: User interrupt occurred' "$work/err" || { cat "$work/err"; fail "$1 did not end with 18"; }
  python3 -c 'import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); sys.exit(c.execute("PRAGMA integrity_check").fetchone()[0] != "ok" or c.execute("SELECT count(*) FROM Houses WHERE Actual IS NOT NULL").fetchone()[0] == 0)' \
    kelda-demo/houses.db || fail "the table is not sound after $1 was stopped"
  # Seeded: every build of the example runs the same epochs to the same error.
  if [ -f "$work/first-stop" ]; then
    cmp -s "$work/first-stop" "$work/out" || { diff "$work/first-stop" "$work/out"; fail "$1 ran differently with the same seed"; }
  else
    cp "$work/out" "$work/first-stop"
  fi
}

# Runs the second example until its first progress line, interrupts it as
# Ctrl-C does, and checks that the run stopped with 18.
check_sigint() {
  "$1" >"$work/out" 2>"$work/err" &
  pid=$!
  tries=0
  until grep -q '^epoch ' "$work/out"; do
    tries=$((tries + 1))
    [ "$tries" -lt 1200 ] || { kill "$pid"; fail "$1 showed no progress"; }
    sleep 0.1
  done
  kill -INT "$pid"
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 130 ] || { cat "$work/out" "$work/err"; fail "$1 exited with $status after SIGINT"; }
  grep -qx 'error 18: User interrupt occurred' "$work/err" || { cat "$work/err"; fail "$1 did not end with 18 after SIGINT"; }
}

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
cmake -S "$work/progress" -B "$work/progress-build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_COMPILER="$cxx" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "find_package(kelda) for the second example"; }
cmake --build "$work/progress-build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the second example with CMake"; }
check_stop "$work/progress-build/houses"
check_sigint "$work/progress-build/houses"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
command=$(readme "From C++" sh | sed "s/^g++ /$(printf '%s' "$cxx" | sed 's/[\/&]/\\&/g') /")
sh -c "cd consumer && $command" || fail "the pkg-config consumer"
LD_LIBRARY_PATH=$libdir check_run "$work/consumer/houses"
sh -c "cd progress && $command" || fail "the second example with pkg-config"
LD_LIBRARY_PATH=$libdir check_stop "$work/progress/houses"

"$cxx" -std=c++20 consumer/main.cpp $(pkg-config --cflags kelda) "$libdir/libkelda.a" \
       $(pkg-config --static --libs kelda | sed 's/-lkelda\b//') -o houses-static || fail "the static consumer"
ldd houses-static | grep -q libkelda && fail "the static consumer loads libkelda"
check_run "$work/houses-static"
echo "installed, and built and ran the README's examples against it with CMake and pkg-config"
