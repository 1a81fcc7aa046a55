import os
import shutil
import sqlite3

import pytest

# The tool of the same build, for the runs the module must match.
KELDA_BINARY = os.environ.get("KELDA_BINARY", "kelda")

ROWS = 60


def make_table(path, table="t"):
    """y = 2a + b - c/2 over ROWS rows in a scrambled order, then two rows to predict."""
    con = sqlite3.connect(path)
    con.execute(f'CREATE TABLE "{table}" (a REAL, b REAL, c REAL, y REAL)')
    rows = []
    for i in range(ROWS):
        a, b, c = (i * 7) % 13, (i * 5) % 11 + 0.5, (i * 3) % 17
        rows.append((a, b, c, 2 * a + b - c / 2))
    rows += [(1.5, 2.5, 3.0, None), (12.0, 0.5, 16.0, None)]
    con.executemany(f'INSERT INTO "{table}" VALUES (?, ?, ?, ?)', rows)
    con.commit()
    con.close()
    return path


@pytest.fixture
def db(tmp_path):
    return str(make_table(tmp_path / "train.db"))


@pytest.fixture
def db_copy(tmp_path, db):
    """A second file with the same table, for a second run to compare with."""
    copy = tmp_path / "copy.db"
    shutil.copy(db, copy)
    return str(copy)


def actuals(path, table="t"):
    con = sqlite3.connect(path)
    try:
        return [r[0] for r in con.execute(f'SELECT Actual FROM "{table}" ORDER BY rowid')]
    finally:
        con.close()
