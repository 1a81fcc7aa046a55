#!/bin/bash
# Checks a built KELDA.DLL without running it, which is how the 32-bit build
# is tested on a machine that runs no 32-bit code:
# - it exports exactly the four server entry points, by undecorated names;
# - it needs nothing but system DLLs (no MinGW runtime DLLs beside it);
# - it carries the type library as TYPELIB resource 1, built for PLATFORM;
# - its version resource has the strings hosts and installers look for.
#
# Usage: check_dll.sh DLL OBJDUMP PLATFORM   (PLATFORM: win32 or win64)
set -euo pipefail
# Byte-wise matching of the binary resource section.
export LC_ALL=C

dll=$1
objdump=$2
platform=$3

passed=0
failed=0
# expect WHAT COMMAND...: counts COMMAND's success.
expect() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
  fi
}

headers=$("$objdump" -p "$dll")

exports=$(printf '%s\n' "$headers" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort |
  tr '\n' ' ')
expected="DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
expect "exports are exactly: $expected(found: $exports)" [ "$exports" = "$expected" ]

imports=$(printf '%s\n' "$headers" | sed -n 's/^\s*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort)
foreign=$(printf '%s\n' "$imports" |
  grep -vxE 'kernel32.dll|user32.dll|gdi32.dll|advapi32.dll|ole32.dll|oleaut32.dll|msvcrt.dll' ||
  true)
expect "imports only system DLLs (also: $(echo $foreign))" [ -z "$foreign" ]

resources=$(printf '%s\n' "$headers" | sed -n '/The .rsrc Resource Directory section/,/^ String table/p')
typelib_resource() { printf '%s\n' "$resources" | grep -A2 'TYPELIB' | grep -q 'Entry: ID: 0x000001'; }
version_resource() { printf '%s\n' "$resources" | grep -q 'Entry: ID: 0x000010'; }
expect "the type library is TYPELIB resource 1" typelib_resource
expect "there is a version resource (type 16)" version_resource

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"${objdump%objdump}objcopy" -O binary --only-section=.rsrc "$dll" "$work/rsrc.bin"

# Text as it stands in a resource: UTF-16LE, as a grep -P pattern.
utf16() {
  local text=$1 out="" i
  for ((i = 0; i < ${#text}; ++i)); do
    local c=${text:i:1}
    case "$c" in
      [.\\\(\)\[\]\*\+\?\|\^\$\{\}]) out+="\\$c\\x00" ;;
      *) out+="$c\\x00" ;;
    esac
  done
  printf '%s' "$out"
}

# A String entry of the version resource: its key, NUL, padding to a 32-bit
# boundary, its value, NUL.
version_string() {
  grep -qaP "$(utf16 "$1")\\x00\\x00(\\x00\\x00)?$(utf16 "$2")\\x00\\x00" "$work/rsrc.bin"
}
expect "string table 040904B0" grep -qaP "$(utf16 040904B0)\\x00\\x00" "$work/rsrc.bin"
for pair in "FileVersion=1.00" "ProductVersion=1.00" "InternalName=KELDA" \
  "OriginalFilename=KELDA.DLL"; do
  expect "version string ${pair%%=*} is \"${pair#*=}\"" version_string "${pair%%=*}" "${pair#*=}"
done
expect "version string OLESelfRegister" grep -qaP "$(utf16 OLESelfRegister)\\x00\\x00" "$work/rsrc.bin"

# The type library's header: "MSFT", then at offset 20 the platform in the
# low four bits (1 win32, 3 win64) and at 24 the version, 3.0.
offset=$(grep -obaP 'MSFT\x02\x00\x01\x00' "$work/rsrc.bin" | head -n 1 | cut -d: -f1)
if [ -n "$offset" ]; then
  syskind=$(od -An -tu1 -j $((offset + 20)) -N1 "$work/rsrc.bin" | tr -d ' ')
  version=$(od -An -tu4 -j $((offset + 24)) -N4 "$work/rsrc.bin" | tr -d ' ')
  lcid=$(od -An -tx4 -j $((offset + 12)) -N4 "$work/rsrc.bin" | tr -d ' ')
  case "$platform" in win32) want=1 ;; win64) want=3 ;; *) want=x ;; esac
  expect "type library built for $platform (syskind $((syskind & 15)))" [ $((syskind & 15)) = "$want" ]
  expect "type library version 3.0 (found $version)" [ "$version" = 3 ]
  expect "type library locale 0409 (found $lcid)" [ "$lcid" = 00000409 ]
else
  expect "a type library in the resources" false
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
