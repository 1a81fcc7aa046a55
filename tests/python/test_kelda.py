import json
import os
import signal
import sqlite3
import struct
import subprocess
import threading
import time

import pytest

import kelda
from conftest import KELDA_BINARY, ROWS, actuals, make_table


def bits(values):
    return [struct.pack("<d", v).hex() if v is not None else None for v in values]


def trained(db, epochs=30, seed=7, **run):
    net = kelda.Network()
    net.database, net.table, net.epochs = db, "t", epochs
    net.run(seed=seed, **run)
    return net


def test_a_run_equals_the_tools_run_with_the_same_seed(tmp_path, db, db_copy):
    tool_network = tmp_path / "tool.json"
    subprocess.run([KELDA_BINARY, "train", db, "t", "--epochs", "40", "--seed", "11", "--quiet",
                    "--save-network", str(tool_network)], check=True, stdout=subprocess.DEVNULL)
    net = trained(db_copy, epochs=40, seed=11)
    assert bits(actuals(db_copy)) == bits(actuals(db))
    kelda.save_network(net, str(tmp_path / "python.json"))
    assert (tmp_path / "python.json").read_text() == tool_network.read_text()
    assert net.epochs_done == 40 and not net.converged


def test_properties_are_stored_values_under_both_names(db):
    net = kelda.Network()
    assert (net.database, net.table, net.epochs, net.hidden_layer_count) == ("", "", 0, 0)
    net.MSAccessDBName, net.MSAccessTableName = "x.db", "T"
    net.Epochs, net.HiddenLayerCount = -5, -3
    assert (net.database, net.table, net.epochs, net.hidden_layer_count) == ("x.db", "T", -5, -3)
    net.database, net.hidden_layer_count, net.epochs = db, 0, 3
    net.table = "t"
    assert net.input_relevance() is None
    net.run(seed=1)
    assert net.HiddenLayerCount == 20


def test_errors_carry_the_numbers_of_the_library(tmp_path, db):
    cases = [
        (lambda: trained(str(tmp_path / "missing.db")), 3024),
        (lambda: _run_on_table(db, "nope"), 3078),
        (lambda: kelda.load_network(str(tmp_path / "none.json")), 53),
        (lambda: kelda.SavedNetwork.from_json("{}"), 5),
        (lambda: kelda.save_network(kelda.Network(), str(tmp_path / "n.json")), 9),
        (lambda: kelda.StatusPicture(dpi=1), 5),
    ]
    for call, number in cases:
        with pytest.raises(kelda.Error) as raised:
            call()
        assert raised.value.number == number, raised.value
        assert raised.value.description and str(number) in str(raised.value)
    # The object that failed stays usable.
    net = kelda.Network()
    net.database, net.table, net.epochs = str(tmp_path / "missing.db"), "t", 3
    with pytest.raises(kelda.Error):
        net.run()
    net.database = db
    net.run(seed=2)
    assert len(net.input_relevance()) == 3


def _run_on_table(db, table):
    net = kelda.Network()
    net.database, net.table, net.epochs = db, table, 3
    net.run()


def test_input_relevance_names_the_columns_in_table_order(db):
    net = trained(db)
    scores = net.input_relevance()
    assert list(scores) == ["a", "b", "c"]
    assert all(isinstance(v, float) and v >= 0 for v in scores.values())
    # The normal predictions are back in Actual after the scoring.
    before = bits(actuals(db))
    net.input_relevance()
    assert bits(actuals(db)) == before


def test_a_second_thread_has_a_network_of_its_own(tmp_path, db, db_copy):
    solo = make_table(tmp_path / "solo.db")
    trained(str(solo), epochs=30, seed=5)
    expected = bits(actuals(str(solo)))

    here = kelda.Network()
    results = {}

    def train_there():
        try:
            results["there"] = trained(db_copy, epochs=30, seed=5)
            with pytest.raises(ValueError):
                here.epochs = 3
        except BaseException as e:  # reported to the main thread below
            results["failure"] = e

    thread = threading.Thread(target=train_there)
    thread.start()
    trained(db, epochs=30, seed=5)
    thread.join()
    assert "failure" not in results, results.get("failure")
    assert bits(actuals(db)) == expected and bits(actuals(db_copy)) == expected
    with pytest.raises(ValueError):
        results["there"].input_relevance()


def test_other_threads_go_on_while_a_run_trains(db):
    started = threading.Event()
    net_box = {}

    def run():
        net = kelda.Network()
        net.database, net.table, net.epochs = db, "t", 400
        started.set()
        net.run(seed=3)
        net_box["net"] = net

    thread = threading.Thread(target=run)
    thread.start()
    started.wait()
    turns = 0
    while thread.is_alive():
        turns += 1
    thread.join()
    assert "net" in net_box
    assert turns > 1000


def test_progress_is_reported_and_a_callback_that_raises_stops_the_run(tmp_path, db):
    seen = []
    net = trained(db, epochs=12, progress=lambda epoch, epochs: seen.append((epoch, epochs)))
    assert seen[0] == (0, 12) and seen[-1] == (12, 12)
    assert sorted(seen) == seen
    done = bits(actuals(db))

    class Stop(Exception):
        pass

    def stop_at_5(epoch, epochs):
        if epoch == 5:
            raise Stop("enough")

    with pytest.raises(Stop, match="enough"):
        net.run(progress=stop_at_5, seed=7)
    assert net.epochs_done == 5
    assert net.input_relevance() is None
    con = sqlite3.connect(db)
    assert con.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    assert con.execute("SELECT count(*) FROM t").fetchone() == (ROWS + 2,)
    con.close()
    # The file goes on working: a new run gives what the first one gave.
    trained(db, epochs=12, seed=7)
    assert bits(actuals(db)) == done


def test_saved_network_predicts_what_the_run_stored(tmp_path, db, db_copy):
    net = trained(db)
    path = str(tmp_path / "net.json")
    kelda.save_network(net, path)
    saved = kelda.load_network(path)
    assert saved.inputs == ["a", "b", "c"] and saved.target == "y"
    assert json.loads(saved.to_json())["format"] == "kelda-network"
    con = sqlite3.connect(db_copy)
    con.execute("UPDATE t SET y = NULL")  # predicting needs no targets
    con.commit()
    con.close()
    assert kelda.predict(saved, db_copy, "t") == ROWS + 2
    assert bits(actuals(db_copy)) == bits(actuals(db))


def test_the_status_picture_is_a_png(db):
    net = trained(db, epochs=3)
    picture = net.status_picture()
    png = picture.png()
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    assert picture._repr_png_() == png and net._repr_png_() == png
    assert (picture.width, picture.height) == (385, 162)
    big = kelda.StatusPicture(dpi=192)
    assert (big.width, big.height) == (770, 324)
    with pytest.raises(IndexError):
        picture.pixel(picture.width, 0)


def test_code_at_the_yields_cannot_change_the_run(tmp_path, db, db_copy):
    trained(db, epochs=25, seed=7)
    expected = bits(actuals(db))

    other = trained(str(make_table(tmp_path / "other.db")), epochs=3, seed=1)
    net = kelda.Network()
    net.database, net.table, net.epochs = db_copy, "t", 25
    refused = []

    def at_yield(epoch, epochs):
        kelda.Network()  # resets the learning parameters only after the run
        for call in (other.run, net.run, other.input_relevance, net.input_relevance):
            with pytest.raises(kelda.Error) as raised:
                call()
            refused.append(raised.value.number)

    net.run(progress=at_yield, seed=7)
    assert bits(actuals(db_copy)) == expected
    assert refused and set(refused) == {3219}
    # The refused calls left both objects as they were.
    assert list(other.input_relevance()) == ["a", "b", "c"]
    assert net.epochs_done == 25 and list(net.input_relevance()) == ["a", "b", "c"]


def test_at_a_yield_the_refusal_comes_before_the_modules_own_answers(tmp_path, db):
    other = trained(str(make_table(tmp_path / "other.db")), epochs=3, seed=1)
    other.epochs = -1  # run() raises ValueError for it anywhere else
    untrained = kelda.Network()  # input_relevance() is None for it anywhere else
    refused = []

    def at_yield(epoch, epochs):
        for call in (other.run, untrained.input_relevance):
            with pytest.raises(kelda.Error) as raised:
                call()
            refused.append(raised.value.number)

    trained(db, epochs=2, progress=at_yield)
    assert refused and set(refused) == {3219}
    assert other.epochs_done == 3 and list(other.input_relevance()) == ["a", "b", "c"]
    assert untrained.input_relevance() is None


def test_save_network_refuses_once_another_object_has_trained(tmp_path, db, db_copy):
    first = trained(db, seed=3)
    second = trained(db_copy, seed=4)
    path = tmp_path / "first.json"
    with pytest.raises(kelda.Error) as raised:
        kelda.save_network(first, str(path))
    assert raised.value.number == 3219 and "another Network" in raised.value.description
    assert not path.exists()
    kelda.save_network(second, str(tmp_path / "second.json"))
    first.run(seed=3)
    kelda.save_network(first, str(path))


def test_ctrl_c_stops_a_run_without_a_callback(db):
    net = kelda.Network()
    net.database, net.table, net.epochs = db, "t", 400000
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            net.run(seed=1)
    finally:
        timer.cancel()
    assert time.monotonic() - start < 2.5
    assert 0 < net.epochs_done < 400000
    con = sqlite3.connect(db)
    assert con.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    con.close()


def columns(db):
    con = sqlite3.connect(db)
    names = [row[1] for row in con.execute("PRAGMA table_info(t)")]
    con.close()
    return names


def test_a_token_cancelled_from_another_thread_stops_the_run_with_18(db):
    before = columns(db)
    token = kelda.CancelToken()
    token.cancel()
    net = kelda.Network()
    net.database, net.table, net.epochs = db, "t", 400000
    with pytest.raises(kelda.Error) as stopped:
        net.run(seed=1, cancel=token)
    assert stopped.value.number == 18
    assert net.epochs_done == 0 and columns(db) == before  # not even Actual added

    token = kelda.CancelToken()
    timer = threading.Timer(0.3, token.cancel)
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(kelda.Error) as stopped:
            net.run(seed=1, cancel=token)
    finally:
        timer.cancel()
    assert stopped.value.number == 18 and token.cancelled
    assert time.monotonic() - start < 2.5
    assert 0 < net.epochs_done < 400000
    con = sqlite3.connect(db)
    assert con.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    con.close()


def test_a_negative_epoch_count_is_refused_as_the_tool_refuses_it(db):
    net = trained(db, epochs=5)
    before = bits(actuals(db))
    net.epochs = -5  # a stored value, like every property
    with pytest.raises(ValueError, match="0 or more"):
        net.run(seed=1)
    assert bits(actuals(db)) == before
    assert list(net.input_relevance()) == ["a", "b", "c"]


def test_paths_and_names_holding_a_nul_are_refused(tmp_path, db):
    net = trained(db, epochs=3)
    base = str(tmp_path / "net.json")
    kelda.save_network(net, base)
    saved = kelda.load_network(base)
    cut = "\0x"
    calls = {
        "database": lambda: setattr(net, "database", db + cut),
        "table": lambda: setattr(net, "MSAccessTableName", "t" + cut),
        "save_network": lambda: kelda.save_network(net, base + cut),
        "load_network": lambda: kelda.load_network(base + cut),
        "predict network": lambda: kelda.predict(base + cut, db, "t"),
        "predict database": lambda: kelda.predict(saved, db + cut, "t"),
        "predict table": lambda: kelda.predict(saved, db, "t" + cut),
        "write_png": lambda: net.status_picture().write_png(str(tmp_path / "s.png") + cut),
    }
    for name, call in calls.items():
        with pytest.raises(ValueError, match="NUL"):
            call()
            pytest.fail(name)
    assert (net.database, net.table) == (db, "t")
    assert not (tmp_path / "s.png").exists()
