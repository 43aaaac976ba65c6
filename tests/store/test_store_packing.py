"""Packed data messages and counted metrics: what ``show`` and ``stats``
print is what they print for the same messages stored one row each, as
stores were written before; such stores are still read, and become packed
stores when written again; a store that cannot be unpacked costs only its
own rows."""
import json
import os
import pickle
import sqlite3
import subprocess
import sys
import textwrap

import pytest

from tarnwick_collector.store import packing, sqlite_store

pytestmark = pytest.mark.recording

# The schema stores had before packing (schema 1).
SCHEMA_1 = """
CREATE TABLE sessions (session TEXT PRIMARY KEY, started REAL NOT NULL, pid INTEGER,
    command TEXT, project_path TEXT);
CREATE TABLE data_messages (id INTEGER PRIMARY KEY, session TEXT NOT NULL,
    received REAL NOT NULL, full_name TEXT, module TEXT, size INTEGER NOT NULL,
    decode_error TEXT, message BLOB NOT NULL);
CREATE INDEX data_messages_session ON data_messages(session);
CREATE INDEX data_messages_name ON data_messages(full_name);
CREATE TABLE metric_messages (id INTEGER PRIMARY KEY, session TEXT NOT NULL,
    received REAL NOT NULL, counter TEXT, kind TEXT, attributes TEXT,
    size INTEGER NOT NULL, decode_error TEXT, message BLOB NOT NULL);
CREATE INDEX metric_messages_session ON metric_messages(session);
CREATE TABLE channel_runs (session TEXT NOT NULL, channel TEXT NOT NULL, started REAL,
    ended REAL, sent INTEGER NOT NULL, stored INTEGER NOT NULL,
    dropped_full INTEGER NOT NULL, dropped_down INTEGER NOT NULL, lost INTEGER NOT NULL,
    restarts INTEGER NOT NULL, note TEXT, PRIMARY KEY (session, channel));
PRAGMA application_id = %d;
PRAGMA user_version = 1;
""" % sqlite_store.APPLICATION_ID

PROGRAM = """
    import json, re

    class Account:
        def __init__(self, owner, balance=0.0):
            self.owner = owner
            self.balance = balance

        def deposit(self, amount):
            self.balance += amount
            return self.balance

    def parse(text):
        return json.loads(text)

    def words(text):
        return re.findall(r"[a-z]+", text)

    def fails(x):
        raise ValueError(f"bad {x}")

    acc = Account("ann")
    for i in range(60):
        acc.deposit(i * 1.5)
        parse(json.dumps({"i": i, "tags": ["a", "b"] * (i % 3)}))
        words("alpha beta " * (i % 4))
        try:
            fails(i)
        except ValueError:
            pass
    print("done")
"""


def tarnwick(*args, cwd):
    return subprocess.run([sys.executable, "-m", "tarnwick_collector", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def legacy_copy(store, path):
    """The same run as stores of schema 1 hold it: every message as sent,
    every metric one row."""
    source = sqlite3.connect(store)
    conn = sqlite3.connect(path)
    conn.executescript(SCHEMA_1)
    conn.executemany("INSERT INTO sessions VALUES (?, ?, ?, ?, ?)",
                     source.execute("SELECT session, started, pid, command, project_path"
                                    " FROM sessions"))
    conn.executemany("INSERT INTO channel_runs VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                     source.execute("SELECT * FROM channel_runs"))
    ids = [row[0] for row in source.execute("SELECT id FROM data_messages ORDER BY id")]
    rows = list(sqlite_store.iter_data_rows(source, None))
    assert [row[0] for row in rows] == ids
    conn.executemany("INSERT INTO data_messages VALUES (?, ?, ?, ?, ?, ?, ?, ?)", rows)
    conn.executemany(
        "INSERT INTO metric_messages (session, received, counter, kind, attributes, size,"
        " decode_error, message) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
        source.execute("SELECT session, received, counter, kind, attributes, size,"
                       " decode_error, message FROM metric_messages"))
    for session, counter, kind, attributes, count in source.execute(
            "SELECT * FROM metric_counts"):
        conn.executemany(
            "INSERT INTO metric_messages (session, received, counter, kind, attributes,"
            " size, decode_error, message) VALUES (?, 0, ?, ?, ?, 100, NULL, x'')",
            [(session, counter, kind, attributes)] * count)
    conn.commit()
    conn.close()
    source.close()


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    root = tmp_path_factory.mktemp("packed")
    (root / "app.py").write_text(textwrap.dedent(PROGRAM))
    proc = tarnwick("record", "app.py", cwd=root)
    assert proc.returncode == 0, proc.stderr
    return root


READERS = [("show",), ("show", "--json"), ("show", "--function", "deposit", "--limit", "3"),
           ("stats",), ("stats", "--json")]


@pytest.mark.parametrize("reader", READERS, ids=" ".join)
def test_show_and_stats_print_what_they_print_for_one_row_per_message(
        recorded, tmp_path, reader):
    store = str(recorded / ".tarnwick" / "records.sqlite3")
    legacy = str(tmp_path / "legacy.sqlite3")
    legacy_copy(store, legacy)
    packed = tarnwick(*reader, "--store", store, cwd=recorded)
    plain = tarnwick(*reader, "--store", legacy, cwd=recorded)
    assert packed.returncode == plain.returncode == 0, packed.stderr + plain.stderr
    if reader == ("stats", "--json"):  # stores of schema 1 do not name hosts
        without_hosts = lambda text: {k: v for k, v in json.loads(text).items()  # noqa: E731
                                      if k != "processes"}
        assert without_hosts(packed.stdout) == without_hosts(plain.stdout)
        assert json.loads(plain.stdout)["processes"][0]["host"] is None
    else:
        assert packed.stdout == plain.stdout
    assert len(plain.stdout.splitlines()) > 10  # something to compare


def test_the_packed_store_is_much_smaller(recorded, tmp_path):
    store = str(recorded / ".tarnwick" / "records.sqlite3")
    conn = sqlite3.connect(store)
    (packed, sent), = conn.execute("SELECT TOTAL(length(message)), TOTAL(size)"
                                   " FROM data_messages")
    (rows,), = conn.execute("SELECT COUNT(*) FROM metric_messages"
                            " WHERE counter IN ('collection_try', 'collection_success')")
    conn.close()
    assert packed * 4 < sent
    assert rows == 0


def test_an_old_store_is_read_and_written_on(recorded, tmp_path):
    store = str(recorded / ".tarnwick" / "records.sqlite3")
    legacy = str(tmp_path / "legacy.sqlite3")
    legacy_copy(store, legacy)
    before = tarnwick("show", "--json", "--store", legacy, "--run", "all", cwd=recorded).stdout
    conn = sqlite_store.open_for_writing(legacy)  # brought up to this schema
    assert sqlite_store.schema_version(conn) == sqlite_store.SCHEMA_VERSION
    source = sqlite3.connect(store)
    rows = [row[1:7] + (row[7],) for row in sqlite_store.iter_data_rows(source, None)]
    source.close()
    sqlite_store.record_session(conn, "later", "again", None)
    sqlite_store.insert_data_rows(conn, [("later",) + row[1:] for row in rows])
    packed = conn.execute("SELECT COUNT(*) FROM data_messages WHERE packing != 0").fetchone()
    conn.close()
    assert packed[0] > 0
    after = tarnwick("show", "--json", "--store", legacy, "--run", "all", cwd=recorded).stdout
    old_calls = json.loads(before)["calls"]
    assert json.loads(after)["calls"][:len(old_calls)] == old_calls  # the old rows as they were
    late = tarnwick("show", "--json", "--store", legacy, "--run", "later", cwd=recorded).stdout
    first = tarnwick("show", "--json", "--store", store, cwd=recorded).stdout
    strip = lambda text: [{k: v for k, v in call.items()  # noqa: E731
                           if k not in ("received", "id", "run")}
                          for call in json.loads(text)["calls"]]
    assert strip(late) == strip(first)


def written(conn):
    return [bytes(m) for m in sqlite_store.data_messages(conn)]


def test_messages_come_back_as_sent_across_batches_and_failures(tmp_path, monkeypatch):
    conn = sqlite_store.open_for_writing(str(tmp_path / "s.sqlite3"))
    packer = packing.Packer()
    sent = []

    def batch(n, start):
        rows = []
        for i in range(start, start + n):
            name = f"app.f{i % 3}"
            message = (b"\x80\x04" + name.encode() * 20 + str(i).encode() * (i % 7)
                       + os.urandom(i % 5))
            rows.append(("run", float(i), name, "app", len(message), None, message))
        return rows

    first = batch(10, 0)
    sqlite_store.insert_data_rows(conn, first, packer)
    sent += [r[6] for r in first]
    # A batch that fails after its bases were written: rolled back, and the
    # functions' next messages do not refer to them.
    failing = [(r[0], r[1], r[2] + "x") + r[3:] for r in batch(5, 100)]
    with monkeypatch.context() as broken:
        def refuse(fn, *args, **kwargs):
            raise sqlite3.OperationalError("disk I/O error")

        broken.setattr(sqlite_store, "retry_busy", refuse)
        with pytest.raises(sqlite3.OperationalError):
            sqlite_store.insert_data_rows(conn, failing, packer)
    later = [(r[0], r[1], r[2] + "x") + r[3:] for r in batch(6, 200)]
    sqlite_store.insert_data_rows(conn, later, packer)
    sent += [r[6] for r in later]
    assert written(conn) == sent
    kinds = [k for (k,) in conn.execute("SELECT packing FROM data_messages ORDER BY id")]
    assert packing.DEFLATED_ON_BASE in kinds and packing.DEFLATED in kinds
    conn.close()


def test_a_message_whose_base_is_gone_is_shown_with_the_reason(tmp_path):
    path = str(tmp_path / "s.sqlite3")
    conn = sqlite_store.open_for_writing(path)
    message = b"\x80\x04" + b"payload " * 50
    sqlite_store.insert_data_rows(conn, [("run", 1.0, "app.f", "app", len(message), None,
                                          message)] * 3)
    conn.execute("DELETE FROM data_messages WHERE base IS NULL")
    rows = list(sqlite_store.iter_data_rows(conn, None))
    conn.close()
    assert len(rows) == 2
    assert all("stored message cannot be unpacked" in row[6] for row in rows)


def test_counted_metrics_are_summed_and_others_kept_as_rows(tmp_path):
    conn = sqlite_store.open_for_writing(str(tmp_path / "s.sqlite3"))
    row = ("run", 1.0, "collection_try", "CollectionTry", "{}", 10, None, b"m")
    other = ("run", 1.0, "external_functions", "ExternalFunction",
             '{"full_name": "json.dumps"}', 10, None, b"m")
    undecoded = ("run", 1.0, "collection_try", None, None, 10, "cannot decode", b"m")
    sqlite_store.insert_metric_rows(conn, [row] * 3 + [other, undecoded])
    sqlite_store.insert_metric_rows(conn, [row] * 2)
    assert sqlite_store.count_stored(conn, "metrics", "run") == 7
    assert conn.execute("SELECT count FROM metric_counts").fetchall() == [(5,)]
    assert sorted(sqlite_store.metric_counts(conn, None)) == [
        ("collection_try", "(undecodable)", 1), ("collection_try", "CollectionTry", 5),
        ("external_functions", "ExternalFunction", 1)]
    assert sqlite_store.external_function_counts(conn, None) == [("json.dumps", 1)]
    conn.close()


@pytest.mark.parametrize("size", [100, "big"])
def test_a_packed_row_never_unpacks_beyond_its_size(tmp_path, monkeypatch, size):
    # A crafted row: a few bytes that deflate to 8 MB. Where its size says
    # nothing, the overall bound (here 1 MB) applies.
    monkeypatch.setattr(packing, "MAX_UNPACKED", 1024 * 1024)
    conn = sqlite_store.open_for_writing(str(tmp_path / "s.sqlite3"))
    bomb = packing.deflate(b"\0" * (8 * 1024 * 1024))
    conn.execute("INSERT INTO data_messages (session, received, full_name, module, size,"
                 " decode_error, message, packing) VALUES ('run', 1.0, 'app.f', 'app', ?,"
                 " NULL, ?, ?)", (size, bomb, packing.DEFLATED))
    [row] = list(sqlite_store.iter_data_rows(conn, None))
    conn.close()
    assert "longer than its stored size" in row[6] and row[7] == bomb


def test_a_receiver_behind_its_input_stores_messages_unpacked_and_they_read_back(
        tmp_path, monkeypatch):
    # Everything is in the input before the receiver starts: every batch
    # but the last is stored while input is still waiting behind it.
    from tarnwick_collector.channels import framing
    from tarnwick_collector.channels import receiver as receiver_module

    monkeypatch.setattr(receiver_module, "HURRY_BACKLOG", 0)
    store = str(tmp_path / "s.sqlite3")
    sqlite_store.open_for_writing(store).close()
    sent = [pickle.dumps({"function": f"app.f{i % 3}", "args": [i] * 30})
            for i in range(2 * receiver_module.BATCH_ROWS + 200)]
    stream = tmp_path / "input"
    stream.write_bytes(b"".join(framing.encode(float(i), m) for i, m in enumerate(sent)))
    with open(stream, "rb") as fh:
        receiver = receiver_module.Receiver("data", store, "run", fd=fh.fileno())
        assert receiver.run() == 0
    conn = sqlite_store.open_for_reading(store)
    try:
        assert written(conn) == sent
        kinds = [k for (k,) in conn.execute("SELECT packing FROM data_messages ORDER BY id")]
    finally:
        conn.close()
    hurried = 2 * receiver_module.BATCH_ROWS
    assert kinds[:hurried] == [packing.RAW] * hurried
    assert set(kinds[hurried:]) <= {packing.DEFLATED, packing.DEFLATED_ON_BASE}
    assert "stored unpacked" in (tmp_path / "s.sqlite3.log").read_text()
