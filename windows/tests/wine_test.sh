#!/bin/bash
# Runs one step of the Windows tests under Wine, in a private 64-bit Wine
# prefix and on an X server of its own, and ends the prefix's wineserver
# afterwards. The prefix holds both DLLs at once, as 64-bit Windows does: the
# 64-bit one registered by system32's regsvr32, the 32-bit one by syswow64's.
#
#   wine_test.sh prefix                       makes the Wine prefix (once)
#   wine_test.sh ARCH register                registers ARCH's DLL, checks
#                                             both registry views
#   wine_test.sh ARCH vbs SCRIPT [TABLE...]   runs a VBScript test in ARCH's
#                                             cscript against a fresh
#                                             database, then checks that every
#                                             row of each TABLE got its Actual
#   wine_test.sh ARCH client                  the C++ client's automation checks
#   wine_test.sh ARCH screenshot              the status window's pixels
#   wine_test.sh ARCH unregister              unregisters ARCH's DLL, checks
#                                             that the other one still works
#
# ARCH is x86_64 or i686. The i686 steps exit with status 77 (skipped) when
# this kernel runs no 32-bit programs.
#
# The build passes, in the environment:
#   KELDA_WINEPREFIX   the prefix (made by the `prefix` step)
#   KELDA_WORK         a folder for databases, screenshots and logs
#   KELDA_WINE         Wine's 64-bit loader, which runs both architectures
#   KELDA_WINESERVER   Wine's server
#   KELDA_WINE32_DLLS  the folder of Wine's 32-bit builtin DLLs
#   KELDA_PROBE32      a static 32-bit Linux program that exits 0
#   KELDA_BUILD        the folder holding i686/ and x86_64/, each with
#                      KELDA.DLL and kelda_client_test.exe
#   KELDA_TEST_DB      the database tool (tests/test_db.cpp, built for Linux)
#   KELDA_SCRIPTS      the folder of the VBScript tests
set -euo pipefail

step=${1:?step}
shift
arch=
if [ "$step" != prefix ]; then
  arch=$step
  step=${1:?step}
  shift
fi

WINE=${KELDA_WINE:-/usr/lib/wine/wine64}
WINESERVER=${KELDA_WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX=$KELDA_WINEPREFIX
export WINEDEBUG=-all
# No prompts for Wine's .NET and HTML engines, which nothing here needs.
export WINEDLLOVERRIDES="mscoree=;mshtml="
# Lets the 64-bit side find the 32-bit builtins (see ../CMakeLists.txt).
export WINEDLLPATH=$KELDA_WINE32_DLLS

# What differs between the architectures, in one place: where the host
# programs live, what a process of the architecture finds in
# PROCESSOR_ARCHITECTURE, and the other architecture, whose registration must
# survive this one's, with reg's name for its registry view.
case "$arch" in
  x86_64) system='C:\windows\system32' cpu=AMD64 other=i686 other_view=/reg:32 ;;
  i686) system='C:\windows\syswow64' cpu=x86 other=x86_64 other_view=/reg:64 ;;
  '') ;;
  *)
    echo "unknown architecture: $arch" >&2
    exit 2
    ;;
esac
# The DLL and the client test program of an architecture.
dll() { printf '%s' "$KELDA_BUILD/$1/KELDA.DLL"; }
client() { printf '%s' "$KELDA_BUILD/$1/kelda_client_test.exe"; }
work=$KELDA_WORK${arch:+/$arch}
mkdir -p "$work"

# Succeeds when this kernel runs 32-bit programs; else says why not.
runs_32bit() {
  local out
  if out=$("$KELDA_PROBE32" 2>&1); then return 0; fi
  echo "this kernel runs no 32-bit programs (a static i386 program fails: ${out##*: })"
  return 1
}

# A Windows path for a file on Linux, through Wine's Z: drive.
winpath() {
  local p
  p=$(realpath -m "$1")
  printf 'Z:%s' "${p//\//\\}"
}

xvfb_pid=
cleanup() {
  if [ -d "$WINEPREFIX" ]; then "$WINESERVER" -k 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# An X server on a display number that is free, for this step only.
start_x() {
  local fifo display
  fifo=$(mktemp -u "$KELDA_WORK/xvfb.XXXXXX")
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 30 display <"$fifo" || true
  rm -f "$fifo"
  if [ -z "${display:-}" ]; then
    echo "Xvfb did not start" >&2
    exit 1
  fi
  export DISPLAY=":$display"
}

# Runs a test program and checks its closing "N passed, N failed" line: Wine's
# cscript exits 0 and prints nothing when a script dies of an unhandled error.
run_counted() {
  local log=$1
  shift
  local status=0
  timeout 300 "$@" >"$log" 2>&1 || status=$?
  tr -d '\r' <"$log"
  local summary
  summary=$(tr -d '\r' <"$log" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -n 1 || true)
  if [ -z "$summary" ]; then
    echo "no closing 'N passed, N failed' line (exit status $status): the test died" >&2
    return 1
  fi
  local passed failed
  passed=${summary%% passed*}
  failed=${summary#*passed, }
  failed=${failed%% failed}
  if [ "$status" != 0 ] || [ "$failed" != 0 ] || [ "$passed" = 0 ]; then
    echo "test failed (exit status $status): $summary" >&2
    return 1
  fi
}

fresh_db() {
  local db="$work/$1.db"
  "$KELDA_TEST_DB" make "$db"
  printf '%s' "$db"
}

# The prefix records whether its syswow64 side was made: a prefix made while
# 32-bit programs could not run has none, and is made again once they can.
# When making that side fails, the 64-bit tests still run and the 32-bit ones
# fail on it.
step_prefix() {
  local want=win64 made
  if runs_32bit >/dev/null; then want=wow64; fi
  made=$(cat "$WINEPREFIX/.kelda-ready" 2>/dev/null || echo none)
  if [ "$made" = "$want" ] || { [ "$want" = win64 ] && [ "$made" != none ]; }; then
    echo "Wine prefix ready: $WINEPREFIX ($made)"
    return
  fi
  rm -rf "$WINEPREFIX"
  rm -f "$KELDA_WORK"/*.registered
  mkdir -p "$(dirname "$WINEPREFIX")"
  echo "making the Wine prefix $WINEPREFIX ($want; once, this takes a while)"
  timeout 600 "$WINE" wineboot --init
  # A crash ends the program at once instead of waiting in Wine's debugger;
  # 32-bit programs read the setting from their own registry view.
  local views=(64) view
  if [ "$want" = wow64 ]; then views+=(32); fi
  for view in "${views[@]}"; do
    "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /t REG_SZ /d '' /f "/reg:$view" >/dev/null
  done
  "$WINESERVER" -w
  made=$want
  if [ "$want" = wow64 ]; then
    local program
    for program in regsvr32.exe cscript.exe; do
      if [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/$program" ]; then
        echo "WARNING: the prefix got no 32-bit side (no $program in syswow64)" >&2
        made=win64
        break
      fi
    done
  else
    echo "no 32-bit side: $(runs_32bit)"
  fi
  echo "$made" >"$WINEPREFIX/.kelda-ready"
}

# Both registry views are checked from both sides whenever the other
# architecture's DLL is registered too.
registered() { [ -f "$KELDA_WORK/$1.registered" ]; }

check_registered() {
  local checker=$1
  local args=(registry "$(winpath "$(dll "$checker")")")
  local peer=$other
  [ "$checker" = "$arch" ] || peer=$arch
  if registered "$peer"; then args+=("$(winpath "$(dll "$peer")")"); fi
  run_counted "$work/registry-$checker.log" "$WINE" "$(client "$checker")" "${args[@]}"
}

step_register() {
  "$WINE" "$system\regsvr32.exe" /s "$(winpath "$(dll "$arch")")"
  touch "$KELDA_WORK/$arch.registered"
  check_registered "$arch"
  if registered "$other"; then check_registered "$other"; fi
}

step_unregister() {
  if registered "$other"; then
    # Windows keeps one ProgID key for both views, so unregistering this DLL
    # deletes it for the other's hosts too; Wine may keep it in either view.
    # Take the other view's away, as Windows would, to see the unregistration
    # give it back to the DLL still registered.
    "$WINE" reg delete 'HKCR\TORVIKA.Network' /f "$other_view" >/dev/null
  fi
  "$WINE" "$system\regsvr32.exe" /s /u "$(winpath "$(dll "$arch")")"
  rm -f "$KELDA_WORK/$arch.registered"
  local args=(unregistered)
  if registered "$other"; then args+=("$(winpath "$(dll "$other")")"); fi
  run_counted "$work/unregister.log" "$WINE" "$(client "$arch")" "${args[@]}"
  # The other DLL still serves its own hosts.
  if registered "$other"; then check_registered "$other"; fi
}

step_vbs() {
  local script=$1
  shift
  local name db
  name=$(basename "$script" .vbs)
  db=$(fresh_db "$name")
  run_counted "$work/$name.log" "$WINE" "$system\cscript.exe" //nologo \
    "$(winpath "$KELDA_SCRIPTS/$script")" "$cpu" "$(winpath "$db")"
  for table in "$@"; do
    "$KELDA_TEST_DB" actual "$db" "$table"
  done
}

step_client() {
  local db
  db=$(fresh_db client)
  run_counted "$work/client.log" "$WINE" "$(client "$arch")" automation "$(winpath "$db")" \
    "$(winpath "$(dll "$arch")")"
  "$KELDA_TEST_DB" actual "$db" Wide
}

# The colour of every pixel of a PNG, as "x y rrggbb" lines.
pixels() {
  convert "$1" -depth 8 txt:- | awk -F'[,: ]+' 'NR > 1 {
    for (i = 3; i <= NF; ++i) if (substr($i, 1, 1) == "#") { print $1, $2, toupper(substr($i, 2, 6)); break }
  }'
}

step_screenshot() {
  local db rect release shot
  db=$(fresh_db window)
  rect="$work/window.rect"
  release="$work/window.release"
  shot="$work/window.png"
  rm -f "$rect" "$release" "$shot" "$work/window-client.png"

  # Captions are drawn only inside a Wine virtual desktop under Xvfb.
  "$WINE" explorer /desktop=kelda,800x600 "$(client "$arch")" window "$(winpath "$db")" \
    "$(winpath "$rect")" "$(winpath "$release")" >"$work/window.log" 2>&1 &
  local waited=0
  while [ ! -s "$rect" ] && [ $waited -lt 1200 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if [ ! -s "$rect" ] || ! grep -qE '^-?[0-9]+ -?[0-9]+ [0-9]+ [0-9]+ -?[0-9]+$' "$rect"; then
    echo "the client did not show the window: $(cat "$rect" 2>/dev/null)" >&2
    touch "$release"
    exit 1
  fi
  import -window root "$shot"
  touch "$release"
  "$WINESERVER" -w

  local x y w h top
  read -r x y w h top <"$rect"
  convert "$shot" -crop "${w}x${h}+${x}+${y}" +repage "$work/window-client.png"
  convert "$shot" -crop "${w}x$((y - top))+${x}+${top}" +repage "$work/window-caption.png"
  pixels "$work/window-client.png" >"$work/window-client.txt"
  local caption_colours
  caption_colours=$(pixels "$work/window-caption.png" | awk '{print $3}' | sort -u | wc -l)
  echo "screenshot: $shot (client area ${w}x${h} at ${x},${y})"
  awk -v w="$w" -v h="$h" -v caption_colours="$caption_colours" -f "$KELDA_SCRIPTS/window_pixels.awk" \
    "$work/window-client.txt"
}

if [ "$arch" = i686 ]; then
  if ! why=$(runs_32bit); then
    echo "SKIPPED: $why; the 32-bit KELDA.DLL is checked as a file only (windows_i686_dll)"
    exit 77
  fi
  if [ "$(cat "$WINEPREFIX/.kelda-ready" 2>/dev/null)" != wow64 ]; then
    echo "the Wine prefix has no 32-bit side: see the output of windows_wine_prefix" >&2
    exit 1
  fi
fi
case "$step" in
  prefix | register | unregister | vbs | client | screenshot)
    # One step at a time in the prefix, also between test runs that share
    # this build folder: each step ends by stopping the prefix's wineserver.
    exec 9>"$WINEPREFIX.lock"
    flock 9
    start_x
    "step_$step" "$@"
    ;;
  *)
    echo "unknown step: $step" >&2
    exit 2
    ;;
esac
