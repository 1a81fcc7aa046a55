#!/bin/bash
# Runs one step of the Windows tests under Wine, in a private Wine prefix and
# on an X server of its own, and ends the prefix's wineserver afterwards.
#
#   wine_test.sh prefix                  makes the Wine prefix (once)
#   wine_test.sh register                registers the DLL, checks the registry
#   wine_test.sh vbs SCRIPT [TABLE...]   runs a VBScript test against a fresh
#                                        database, then checks that every row
#                                        of each TABLE got its Actual
#   wine_test.sh client                  the C++ client's automation checks
#   wine_test.sh screenshot              the status window's pixels
#   wine_test.sh unregister              unregisters, checks nothing is left
#
# The build passes, in the environment:
#   KELDA_WINEPREFIX  the prefix (made by the `prefix` step)
#   KELDA_WORK        a folder for databases, screenshots and logs
#   KELDA_DLL         the x86_64 KELDA.DLL
#   KELDA_CLIENT      the x86_64 client test program
#   KELDA_TEST_DB     the database tool (tests/test_db.cpp, built for Linux)
#   KELDA_SCRIPTS     the folder of the VBScript tests
set -euo pipefail

step=${1:?step}
shift

WINE=${KELDA_WINE:-/usr/lib/wine/wine64}
WINESERVER=${KELDA_WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX=$KELDA_WINEPREFIX
export WINEDEBUG=-all
# No prompts for Wine's .NET and HTML engines, which nothing here needs.
export WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p "$KELDA_WORK"

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
  local db="$KELDA_WORK/$1.db"
  "$KELDA_TEST_DB" make "$db"
  printf '%s' "$db"
}

step_prefix() {
  if [ -f "$WINEPREFIX/.kelda-ready" ]; then
    echo "Wine prefix ready: $WINEPREFIX"
    return
  fi
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  echo "making the Wine prefix $WINEPREFIX (once; this takes a while)"
  timeout 600 "$WINE" wineboot --init
  # A crash ends the program at once instead of waiting in Wine's debugger.
  "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /t REG_SZ /d '' /f >/dev/null
  "$WINESERVER" -w
  touch "$WINEPREFIX/.kelda-ready"
}

step_register() {
  "$WINE" regsvr32 /s "$(winpath "$KELDA_DLL")"
  run_counted "$KELDA_WORK/register.log" "$WINE" "$KELDA_CLIENT" registry "$(winpath "$KELDA_DLL")"
}

step_unregister() {
  "$WINE" regsvr32 /s /u "$(winpath "$KELDA_DLL")"
  run_counted "$KELDA_WORK/unregister.log" "$WINE" "$KELDA_CLIENT" unregistered
}

step_vbs() {
  local script=$1
  shift
  local name db
  name=$(basename "$script" .vbs)
  db=$(fresh_db "$name")
  run_counted "$KELDA_WORK/$name.log" "$WINE" cscript //nologo \
    "$(winpath "$KELDA_SCRIPTS/$script")" "$(winpath "$db")"
  for table in "$@"; do
    "$KELDA_TEST_DB" actual "$db" "$table"
  done
}

step_client() {
  local db
  db=$(fresh_db client)
  run_counted "$KELDA_WORK/client.log" "$WINE" "$KELDA_CLIENT" automation "$(winpath "$db")"
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
  rect="$KELDA_WORK/window.rect"
  release="$KELDA_WORK/window.release"
  shot="$KELDA_WORK/window.png"
  rm -f "$rect" "$release" "$shot" "$KELDA_WORK/window-client.png"

  # Captions are drawn only inside a Wine virtual desktop under Xvfb.
  "$WINE" explorer /desktop=kelda,800x600 "$KELDA_CLIENT" window "$(winpath "$db")" \
    "$(winpath "$rect")" "$(winpath "$release")" >"$KELDA_WORK/window.log" 2>&1 &
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
  convert "$shot" -crop "${w}x${h}+${x}+${y}" +repage "$KELDA_WORK/window-client.png"
  convert "$shot" -crop "${w}x$((y - top))+${x}+${top}" +repage "$KELDA_WORK/window-caption.png"
  pixels "$KELDA_WORK/window-client.png" >"$KELDA_WORK/window-client.txt"
  local caption_colours
  caption_colours=$(pixels "$KELDA_WORK/window-caption.png" | awk '{print $3}' | sort -u | wc -l)
  echo "screenshot: $shot (client area ${w}x${h} at ${x},${y})"
  awk -v w="$w" -v h="$h" -v caption_colours="$caption_colours" -f "$KELDA_SCRIPTS/window_pixels.awk" \
    "$KELDA_WORK/window-client.txt"
}

case "$step" in
  prefix | register | unregister | vbs | client | screenshot)
    start_x
    "step_$step" "$@"
    ;;
  *)
    echo "unknown step: $step" >&2
    exit 2
    ;;
esac
