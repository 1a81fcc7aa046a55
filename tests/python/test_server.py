"""The module on a table in a PostgreSQL server: a throwaway cluster of this
test module's own (a Unix socket in a temporary folder, no TCP port)."""
import os
import shutil
import sqlite3
import subprocess
import tempfile

import pytest

import kelda
from conftest import ROWS, actuals, make_table


def _bindir():
    try:
        return subprocess.run(["pg_config", "--bindir"], check=True, capture_output=True,
                              text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


@pytest.fixture(scope="module")
def server():
    bindir = _bindir()
    if not os.path.exists(os.path.join(bindir, "initdb")):
        pytest.skip("no PostgreSQL server programs on this machine")
    folder = tempfile.mkdtemp(prefix="kelda-pg-")
    # As root the server runs as the postgres user, which must own its folder.
    as_user = []
    if os.geteuid() == 0:
        shutil.chown(folder, "postgres")
        as_user = ["runuser", "-u", "postgres", "--"]
    data = os.path.join(folder, "data")
    pg_ctl = as_user + [os.path.join(bindir, "pg_ctl"), "-D", data]
    try:
        subprocess.run(as_user + [os.path.join(bindir, "initdb"), "-D", data, "-A", "trust",
                                  "-U", "postgres"], check=True, capture_output=True)
        subprocess.run(pg_ctl + ["-w", "-l", os.path.join(folder, "log"), "-o",
                                 f"-c listen_addresses='' -c unix_socket_directories='{folder}'",
                                 "start"], check=True, capture_output=True)
        yield {"uri": f"postgresql:///postgres?host={folder}&user=postgres",
               "psql": [os.path.join(bindir, "psql"), "-X", "-q", "-A", "-t", "-v",
                        "ON_ERROR_STOP=1", "-h", folder, "-U", "postgres", "-d", "postgres"]}
    finally:
        subprocess.run(pg_ctl + ["-m", "immediate", "stop"], capture_output=True)
        shutil.rmtree(folder, ignore_errors=True)


def psql(server, sql):
    return subprocess.run(server["psql"] + ["-c", sql], check=True, capture_output=True,
                          text=True).stdout


def test_a_server_table_trains_to_the_same_bits_as_a_file(tmp_path, server):
    path = make_table(tmp_path / "train.db")
    psql(server, "CREATE TABLE t (id int PRIMARY KEY, a double precision, b double precision, "
                 "c double precision, y double precision)")
    con = sqlite3.connect(path)
    rows = [f"({i + 1}, {a!r}, {b!r}, {c!r}, {'NULL' if y is None else repr(y)})"
            for i, (a, b, c, y) in enumerate(con.execute("SELECT a, b, c, y FROM t ORDER BY rowid"))]
    con.close()
    psql(server, "INSERT INTO t VALUES " + ", ".join(rows))
    for database in (str(path), server["uri"]):
        net = kelda.Network()
        net.database, net.table, net.epochs = database, "t", 30
        net.run(seed=7)
    on_server = [None if v == "" else float(v)
                 for v in psql(server, 'SELECT "Actual" FROM t ORDER BY id').split()]
    assert len(on_server) == ROWS + 2
    assert on_server == actuals(str(path))


def test_a_wrong_password_is_never_shown(server):
    net = kelda.Network()
    net.database = server["uri"].replace("user=postgres", "user=nobody&password=Secret-77")
    net.table, net.epochs = "t", 1
    with pytest.raises(kelda.Error) as raised:
        net.run(seed=1)
    assert raised.value.number == 3151
    assert "Secret-77" not in str(raised.value)
