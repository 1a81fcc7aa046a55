#!/bin/sh
# Enables Debian's source packages (which the Windows build takes SQLite's
# amalgamation from) by repeating the machine's own configured Debian archive
# as a deb-src entry: the same address (a mirror or a proxy included) and the
# same signing key. Writes $1 (a deb822 .sources file). Run as root.
set -eu
out=$1
. /etc/os-release
codename=$VERSION_CODENAME

# deb822 entries: the first stanza of type deb serving the release itself.
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && [ "$f" != "$out" ] || continue
  entry=$(awk -v want="$codename" '
    function flush() {
      if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " want " ") && uris != "") {
        print uris "\t" signed; found = 1; exit
      }
      types = ""; suites = ""; uris = ""; signed = ""
    }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    tolower($1) == "types:" { $1 = ""; types = substr($0, 2) }
    tolower($1) == "suites:" { $1 = ""; suites = substr($0, 2) }
    tolower($1) == "uris:" { $1 = ""; uris = substr($0, 2) }
    tolower($1) == "signed-by:" { $1 = ""; signed = substr($0, 2) }
    END { if (!found) flush() }' "$f")
  if [ -n "$entry" ]; then
    uris=$(printf '%s' "$entry" | cut -f1)
    signed=$(printf '%s' "$entry" | cut -f2)
    {
      printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n' "$uris" "$codename"
      [ -n "$signed" ] && printf 'Signed-By: %s\n' "$signed"
    } > "$out"
    exit 0
  fi
done

# One-line entries: "deb [options] URI SUITE COMPONENTS...".
line=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
  awk -v want="$codename" '$1 == "deb" {
      i = 2; opts = ""
      if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) { opts = opts " " $i; i++ } opts = opts " " $i; i++ }
      if ($(i + 1) == want) { print opts "\t" $i; exit } }')
if [ -n "$line" ]; then
  opts=$(printf '%s' "$line" | cut -f1 | sed 's/^ *//')
  uri=$(printf '%s' "$line" | cut -f2)
  printf 'deb-src %s%s %s main\n' "${opts:+$opts }" "$uri" "$codename" > "${out%.sources}.list"
  exit 0
fi
echo "no Debian archive for $codename is configured in /etc/apt; add a deb-src entry by hand" >&2
exit 1
