#!/bin/sh
# package_test.sh RELEASE_BUILD_DIR
#
# Unpacks the Debian package that `make package` made into a scratch root and
# runs what it carries from there: the tool on the demo, the Python module and
# the SQL extension (from Python and from the sqlite3 shell) on the demo's
# database, the man page; the package names the libraries it needs.
set -eu
deb=$(ls "$1"/kelda_*.deb 2>/dev/null | head -n 1)
fail() { echo "FAIL: $*"; exit 1; }
[ -n "$deb" ] || fail "no package in $1 (make package)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -f "$deb" Depends | grep -q libsqlite3 || fail "the package does not depend on SQLite"
dpkg-deb -f "$deb" Depends | grep -q python3 || fail "the package does not depend on python3"

cd "$work"
"$root/usr/bin/kelda" demo kelda-demo >demo.out || { cat demo.out; fail "the packaged tool's demo"; }
[ -f kelda-demo/houses-network.json ] || fail "the demo saved no network"
grep -q '^\.SH "COMMAND IMPORT"' "$root/usr/share/man/man1/kelda.1" || fail "the man page lacks the import command"

PYTHONPATH=$root/usr/lib/python3/dist-packages /usr/bin/python3 - "$root" <<'PY' || fail "the packaged Python module"
import sys
import kelda
assert kelda.__file__.startswith(sys.argv[1]), kelda.__file__
net = kelda.Network()
net.database, net.table, net.epochs = "kelda-demo/houses.db", "Houses", 20
net.run(seed=1)
scores = net.input_relevance()
assert list(scores) == ["FloorArea", "GardenArea", "HouseNumber"], scores
assert kelda.predict("kelda-demo/houses-network.json", "kelda-demo/houses.db", "Houses") == 400
import sqlite3
con = sqlite3.connect("kelda-demo/houses.db")
kelda.enable_sql(con)  # the extension from the unpacked library folder, found from the module's
found = con.execute("SELECT count(*) FROM Houses WHERE Actual = "
                    "kelda_predict('kelda-demo/houses-network.json', FloorArea, GardenArea, "
                    "HouseNumber)").fetchone()[0]
assert found == 400, found
PY

sql=$(find "$root" -name libkelda-sql.so | head -n 1)
[ -n "$sql" ] || fail "the package lacks the SQL extension libkelda-sql.so"
count=$(sqlite3 kelda-demo/houses.db ".load ${sql%.so}" \
  "SELECT count(*) FROM Houses WHERE Actual = kelda_predict('kelda-demo/houses-network.json', FloorArea, GardenArea, HouseNumber)") ||
  fail "the sqlite3 shell cannot load the packaged SQL extension"
[ "$count" = 400 ] || fail "kelda_predict agrees with predict on $count of 400 rows"
echo "ran the tool, the Python module and the SQL extension from the unpacked package $(basename "$deb")"
