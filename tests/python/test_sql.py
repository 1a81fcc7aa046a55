import os
import pathlib
import sqlite3
import struct
import subprocess
import sys

import pytest

import kelda
from conftest import KELDA_BINARY

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "install"))
from readme_block import block  # noqa: E402

# The extension of this build, beside the tool.
EXTENSION = os.path.join(os.path.dirname(os.path.abspath(KELDA_BINARY)), "libkelda-sql")


def bits(v):
    return None if v is None else struct.pack("<d", v)


def trained(db, tmp_path):
    network = str(tmp_path / "net.json")
    subprocess.run([KELDA_BINARY, "train", db, "t", "--epochs", "40", "--seed", "3",
                    "--save-network", network, "--quiet"], check=True, stdout=subprocess.DEVNULL)
    return network


def test_kelda_predict_on_a_python_connection_is_what_predict_stores(db, tmp_path):
    network = trained(db, tmp_path)
    assert kelda.predict(network, db, "t") == 62
    con = sqlite3.connect(db)
    kelda.enable_sql(con)
    rows = con.execute("SELECT Actual, kelda_predict(?, a, b, c) FROM t ORDER BY rowid",
                       (network,)).fetchall()
    assert len(rows) == 62
    assert all(bits(stored) == bits(computed) for stored, computed in rows)
    # Loading extensions is off again: SQL cannot load another.
    with pytest.raises(sqlite3.OperationalError):
        con.execute("SELECT load_extension('libnothing')")


@pytest.mark.parametrize("args, number", [
    ("?, a, b", 5),
    ("?, a, NULL, c", 94),
    ("?, a, 'many', c", 13),
    ("'no-such-file.json', a, b, c", 53),
])
def test_bad_calls_raise_with_the_runtimes_number(db, tmp_path, args, number):
    network = trained(db, tmp_path)
    con = sqlite3.connect(db)
    kelda.enable_sql(con)
    params = (network,) if "?" in args else ()
    with pytest.raises(sqlite3.OperationalError, match=f"^kelda: error {number}: "):
        con.execute(f"SELECT kelda_predict({args}) FROM t", params).fetchall()


def run_readme_blocks(readme, workdir):
    """The section's shell session on the demo's database (its .load pointed at this build's
    extension), then its Python example; returns what the example printed."""
    subprocess.run([KELDA_BINARY, "demo", "kelda-demo"], cwd=workdir, check=True,
                   stdout=subprocess.DEVNULL)
    sql = block(readme, "Predictions inside SQL", "sql", 1)
    assert sql.startswith(".load libkelda-sql\n")
    sql = sql.replace(".load libkelda-sql", ".load " + EXTENSION, 1)
    shell = subprocess.run(["sqlite3", "-bail", "kelda-demo/houses.db"], input=sql, cwd=workdir,
                           capture_output=True, text=True)
    assert shell.returncode == 0 and not shell.stderr, shell.stderr
    assert len(shell.stdout.splitlines()) == 8  # the unsold houses
    example = block(readme, "Predictions inside SQL", "python", 1)
    return subprocess.run([sys.executable, "-c", example], cwd=workdir, check=True,
                          capture_output=True, text=True).stdout


def test_the_readme_sql_examples_run_on_the_demo_database(tmp_path):
    printed = run_readme_blocks((ROOT / "README.md").read_text(encoding="utf-8"), tmp_path)
    assert len(printed.splitlines()) == 8
