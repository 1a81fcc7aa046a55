#!/usr/bin/env python3
"""Another program using a database file while a kelda run has it open.

    other_program.py read-python DB ROWS
    other_program.py read-shell SQLITE3 DB ROWS
    other_program.py write DB

Each mode repeats one cycle until its standard input ends (the test closes
it), pausing a moment between cycles, as a script watching the file would:

    read-python  opens the file with Python's sqlite3 module, counts the rows
                 of t and of other, and closes it again
    read-shell   the same through the sqlite3 shell SQLITE3, one process a cycle
    write        opens the file, inserts one row into other, commits, closes
                 (the first cycle only reads)

It prints "ready" once its first cycle is done and, at the end, "cycles N"
(the read modes) or "inserted N" (write). A read that finds t without
exactly ROWS rows, or fewer rows in other than an earlier read found (a
committed row lost), and any error of SQLite end the program with status 1
and the reason on stderr.
"""

import os
import select
import sqlite3
import subprocess
import sys
import time

PAUSE = 0.002  # seconds between two cycles
BUSY_TIMEOUT = 10  # seconds SQLite waits for a lock


def input_ended():
    readable, _, _ = select.select([0], [], [], 0)
    return bool(readable) and os.read(0, 1) == b""


def counts_by_module(db):
    con = sqlite3.connect(db, timeout=BUSY_TIMEOUT)
    try:
        rows = con.execute("SELECT count(*) FROM t").fetchone()[0]
        others = con.execute("SELECT count(*) FROM other").fetchone()[0]
    finally:
        con.close()
    return rows, others


def counts_by_shell(shell, db):
    done = subprocess.run(
        [shell, "-bail", "-batch", "-cmd", ".timeout %d" % (BUSY_TIMEOUT * 1000), db,
         "SELECT count(*) FROM t; SELECT count(*) FROM other;"],
        stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise RuntimeError("sqlite3 exited with %d: %s" % (done.returncode, done.stderr.strip()))
    fields = done.stdout.split()
    if len(fields) != 2:
        raise RuntimeError("sqlite3 printed %r" % done.stdout)
    return int(fields[0]), int(fields[1])


def read(count, rows):
    cycles = 0
    most_others = 0
    while True:
        found, others = count()
        if found != rows:
            raise RuntimeError("table t has %d rows, not %d" % (found, rows))
        if others < most_others:
            raise RuntimeError("table other has %d rows after %d" % (others, most_others))
        most_others = others
        cycles += 1
        if cycles == 1:
            print("ready", flush=True)
        if input_ended():
            print("cycles %d" % cycles, flush=True)
            return
        time.sleep(PAUSE)


def write(db):
    # The first cycle only reads: "ready" must never wait for a lock that
    # a paused run holds.
    counts_by_module(db)
    print("ready", flush=True)
    inserted = 0
    while True:
        con = sqlite3.connect(db, timeout=BUSY_TIMEOUT)
        try:
            con.execute("INSERT INTO other(v) VALUES (?)", (inserted,))
            con.commit()
        finally:
            con.close()
        inserted += 1
        if input_ended():
            break
        time.sleep(PAUSE)
    print("inserted %d" % inserted, flush=True)


def main(args):
    try:
        if len(args) == 3 and args[0] == "read-python":
            read(lambda: counts_by_module(args[1]), int(args[2]))
        elif len(args) == 4 and args[0] == "read-shell":
            read(lambda: counts_by_shell(args[1], args[2]), int(args[3]))
        elif len(args) == 2 and args[0] == "write":
            write(args[1])
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except (sqlite3.Error, RuntimeError, OSError, subprocess.SubprocessError) as e:
        print("other_program %s: %s: %s" % (args[0], type(e).__name__, e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
