"""`kelda import` and `kelda --version`, through the tool itself."""
import json
import math
import sqlite3
import subprocess

from conftest import KELDA_BINARY


def kelda(*args):
    return subprocess.run([KELDA_BINARY, *map(str, args)], capture_output=True, text=True)


def rows(db, sql):
    con = sqlite3.connect(db)
    try:
        return con.execute(sql).fetchall()
    finally:
        con.close()


def columns(db, table):
    return [r[1] for r in rows(db, f'PRAGMA table_info("{table}")')]


def write(path, text, newline="\n"):
    path.write_bytes(text.replace("\n", newline).encode("utf-8"))
    return path


SALES = """id,price,area,rooms
1,100,50,2
2,,60,3
3,"150.5",70,3
4,90,"4.5e1",1
"""


def test_the_table_has_the_inputs_in_the_order_asked_then_the_target_then_actual(tmp_path):
    csv = write(tmp_path / "sales.csv", "\ufeff" + SALES, newline="\r\n")
    db = tmp_path / "sales.db"
    done = kelda("import", csv, db, "s", "--target", "price", "--inputs", "rooms,area")
    assert done.returncode == 0, done.stderr
    assert columns(db, "s") == ["rooms", "area", "price", "Actual"]
    # The row with an empty target is a row to predict: last, with a Null target.
    assert rows(db, "SELECT * FROM s ORDER BY rowid") == [
        (2.0, 50.0, 100.0, None), (3.0, 70.0, 150.5, None), (1.0, 45.0, 90.0, None),
        (3.0, 60.0, None, None)]
    # Without --inputs: every other column in file order; the result trains.
    assert kelda("import", csv, db, "all", "--target", "price").returncode == 0
    assert columns(db, "all") == ["id", "area", "rooms", "price", "Actual"]
    trained = kelda("train", db, "all", "--epochs", "3", "--quiet")
    assert trained.returncode == 0, trained.stderr


def test_a_cell_that_is_not_a_number_names_the_file_line_and_column(tmp_path):
    # The quoted cell spans two lines, so the bad cell stands on line 5.
    csv = write(tmp_path / "bad.csv", 'a,b,y\n1,2,3\n"4\n",5,6\n7,x7,8\n')
    db = tmp_path / "new.db"
    failed = kelda("import", csv, db, "t", "--target", "y")
    assert failed.returncode == 1
    assert "error 13" in failed.stderr and str(csv) in failed.stderr
    assert "line 5" in failed.stderr and "column 2 'b'" in failed.stderr and "'x7'" in failed.stderr
    # Nothing is left behind: the database this import would have made is not there.
    assert not db.exists()
    # In an existing database nothing changes either.
    existing = tmp_path / "existing.db"
    sqlite3.connect(existing).execute("CREATE TABLE other (x)").connection.commit()
    assert kelda("import", csv, existing, "t", "--target", "y").returncode == 1
    assert rows(existing, "SELECT name FROM sqlite_master") == [("other",)]


def test_malformed_files_and_wrong_requests_are_refused(tmp_path):
    db = tmp_path / "d.db"
    good = write(tmp_path / "good.csv", "a,b,y\n1,2,3\n")
    # What each malformed file is refused with: tests/cli/import_test.cpp. Here,
    # that the tool reports it as an error of the run.
    cases = [
        (write(tmp_path / "open.csv", 'a,b,y\n1,"2,3\n'), ["--target", "y"], 5, "never closed"),
        (good, ["--target", "y", "--inputs", "a,y"], 5, "target"),
        (tmp_path / "missing.csv", ["--target", "y"], 53, "missing.csv"),
    ]
    for csv, args, number, text in cases:
        failed = kelda("import", csv, db, "t", *args)
        assert failed.returncode == 1 and f"error {number}:" in failed.stderr, (csv, failed.stderr)
        assert text in failed.stderr, failed.stderr
    assert kelda("import", good, db, "t", "--target", "y", "--holdout", "1").returncode == 2
    assert kelda("import", good, db, "t", "--target", "y", "--shuffle", "-1").returncode == 2
    # A table that exists already is kept as it is.
    assert kelda("import", good, db, "t", "--target", "y").returncode == 0
    again = kelda("import", good, db, "T", "--target", "y")
    assert again.returncode == 1 and "already exists" in again.stderr
    assert rows(db, "SELECT count(*) FROM t") == [(1,)]


def numbered(n, unknown=2):
    lines = ["x,y"] + [f"{i},{i * 10}" for i in range(n)] + [f"{100 + i}," for i in range(unknown)]
    return "\n".join(lines) + "\n"


def test_shuffle_is_fixed_by_its_seed_and_keeps_rows_to_predict_last(tmp_path):
    csv = write(tmp_path / "n.csv", numbered(40))
    db = tmp_path / "n.db"
    for table, seed in [("a", 7), ("b", 7), ("c", 8)]:
        assert kelda("import", csv, db, table, "--target", "y", "--shuffle", seed).returncode == 0
    a, b, c = (rows(db, f"SELECT x, y FROM {t} ORDER BY rowid") for t in "abc")
    assert a == b and a != c
    assert sorted(a[:40]) == [(float(i), float(i * 10)) for i in range(40)]
    assert a[:40] != sorted(a[:40])
    assert a[40:] == [(100.0, None), (101.0, None)]


def test_holdout_puts_the_last_rows_after_the_examples_with_their_targets_aside(tmp_path):
    csv = write(tmp_path / "n.csv", numbered(20))
    db = tmp_path / "h.db"
    done = kelda("import", csv, db, "h", "--target", "y", "--holdout", "0.25", "--shuffle", "3")
    assert done.returncode == 0, done.stderr
    table = rows(db, "SELECT rowid, x, y FROM h ORDER BY rowid")
    assert all(y is not None for _, _, y in table[:15])
    assert all(y is None for _, _, y in table[15:]) and len(table) == 22
    # Beside each true target, the row's place at import and its inputs.
    assert columns(db, "h_holdout") == ["row", "y", "x"]
    aside = rows(db, "SELECT row, y FROM h_holdout ORDER BY row")
    assert [r for r, _ in aside] == [rowid for rowid, _, _ in table[15:20]]
    # Each held-out row's true target is the one its x had in the file.
    by_row = {rowid: x for rowid, x, _ in table}
    assert all(y == by_row[r] * 10 for r, y in aside)
    # A run reports how its predictions of the held-out rows meet their targets.
    trained = kelda("train", db, "h", "--epochs", "20", "--seed", "1", "--json")
    assert trained.returncode == 0, trained.stderr
    holdout = json.loads(trained.stdout)["holdout"]
    pairs = rows(db, "SELECT h.y, t.Actual FROM h_holdout h JOIN h t ON t.rowid = h.row")
    rmse = math.sqrt(sum((y - p) ** 2 for y, p in pairs) / len(pairs))
    assert holdout["rows"] == 5 and math.isclose(holdout["rmse"], rmse, rel_tol=1e-12)
    text = kelda("train", db, "h", "--epochs", "3", "--quiet")
    assert "Held-out rows: RMSE" in text.stdout and "over 5 rows" in text.stdout


def test_version_names_the_sqlite_the_tool_runs_on():
    done = kelda("--version")
    assert done.returncode == 0
    first, second = done.stdout.splitlines()[:2]
    assert first.startswith("kelda ") and first.split()[1][0].isdigit()
    assert second == f"SQLite {sqlite3.sqlite_version}"
