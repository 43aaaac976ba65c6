"""Bytes the store takes per recorded call, against the layout of one row
per message as sent (schema 1) in the same run.

A program making calls of three kinds (arithmetic on floats, a graph of
small objects, calls into ``json``/``re``/``datetime``) is recorded with
``tarnwick record``; the same run is then copied into a store of the old
layout: every data message as sent, every metric one row. Both are
vacuumed and their sizes divided by the recorded calls; ``show`` (of the
first calls) and ``stats`` are timed on both.
"""
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
import time

CALLS = 700  # loop turns of the program; each records a few calls

PROGRAM = """
    import datetime, json, re

    class Node:
        def __init__(self, name, weight):
            self.name = name
            self.weight = weight
            self.edges = []

        def link(self, other):
            self.edges.append(other)
            return len(self.edges)

    def mean(values):
        return sum(values) / len(values)

    def scale(x, factor=1.5):
        return x * factor + 0.25

    def encode(record):
        return json.dumps(record, sort_keys=True)

    def tokens(text):
        return re.findall(r"[a-z]+", text)

    def stamp(days):
        return (datetime.date(2024, 1, 1) + datetime.timedelta(days=days)).isoformat()

    nodes = [Node(f"n{i}", i * 0.5) for i in range(20)]
    for i in range(%d):
        scale(i * 0.1)
        mean([i * 0.5, i * 1.5, 2.0])
        nodes[i %% 20].link(nodes[(i * 7) %% 20])
        encode({"i": i, "name": f"item{i}", "tags": ["a", "b"][: i %% 3]})
        tokens("alpha beta gamma " * (1 + i %% 3))
        stamp(i %% 365)
    print("done")
""" % CALLS

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
PRAGMA user_version = 1;
"""

# A metric of a counted kind as sent (CollectionTry/CollectionSuccess
# pickles are about this long); the old layout kept each one.
_COUNTED_METRIC_BYTES = 166


def legacy_copy(store: str, path: str) -> None:
    from tarnwick_collector.store import sqlite_store

    source = sqlite3.connect(store)
    conn = sqlite3.connect(path)
    conn.executescript(SCHEMA_1)
    conn.execute(f"PRAGMA application_id = {sqlite_store.APPLICATION_ID}")
    conn.executemany("INSERT INTO sessions VALUES (?, ?, ?, ?, ?)",
                     source.execute("SELECT session, started, pid, command, project_path"
                                    " FROM sessions"))
    conn.executemany("INSERT INTO channel_runs VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                     source.execute("SELECT * FROM channel_runs"))
    conn.executemany("INSERT INTO data_messages VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                     sqlite_store.iter_data_rows(source, None))
    conn.executemany(
        "INSERT INTO metric_messages (session, received, counter, kind, attributes, size,"
        " decode_error, message) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
        source.execute("SELECT session, received, counter, kind, attributes, size,"
                       " decode_error, message FROM metric_messages ORDER BY id"))
    blob = b"\x80" * _COUNTED_METRIC_BYTES
    for session, counter, kind, attributes, count in source.execute(
            "SELECT * FROM metric_counts"):
        conn.executemany(
            "INSERT INTO metric_messages (session, received, counter, kind, attributes,"
            " size, decode_error, message) VALUES (?, ?, ?, ?, ?, ?, NULL, ?)",
            [(session, time.time(), counter, kind, attributes, len(blob), blob)] * count)
    conn.commit()
    conn.close()
    source.close()


def vacuumed_size(path: str) -> int:
    conn = sqlite3.connect(path)
    conn.execute("VACUUM")
    conn.close()
    return os.path.getsize(path)


_SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")


def tarnwick(*args: str, cwd: str) -> float:
    """Run the command line of this checkout; its time in seconds."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [_SRC, env.get("PYTHONPATH")]))
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tarnwick_collector", *args], cwd=cwd, env=env,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return time.perf_counter() - start


def main() -> None:
    sys.path.insert(0, _SRC)
    root = tempfile.mkdtemp(prefix="tw-bench-store-")
    try:
        with open(os.path.join(root, "app.py"), "w") as fh:
            fh.write(textwrap.dedent(PROGRAM))
        tarnwick("record", "app.py", cwd=root)
        store = os.path.join(root, ".tarnwick", "records.sqlite3")
        legacy = os.path.join(root, "legacy.sqlite3")
        legacy_copy(store, legacy)
        conn = sqlite3.connect(store)
        (calls,), = conn.execute("SELECT COUNT(*) FROM data_messages")
        (sent,), = conn.execute("SELECT TOTAL(size) FROM data_messages")
        conn.close()
        as_written = os.path.getsize(store)
        new = vacuumed_size(store)
        old = vacuumed_size(legacy)
        print(f"store bytes per recorded call ({calls} calls, "
              f"{sent / calls:.0f} bytes sent per call)")
        print(f"  one row per message as sent     {old / calls:8.0f}")
        print(f"  packed, per-call metrics counted{new / calls:8.0f}"
              f"   ({new / old:.2f}x; as written {as_written / calls:.0f})")
        for reader in (("show", "--limit", "300"), ("stats",)):
            t_old = min(tarnwick(*reader, "--store", legacy, cwd=root) for _ in range(2))
            t_new = min(tarnwick(*reader, "--store", store, cwd=root) for _ in range(2))
            print(f"  {reader[0]:<6} on the packed store      {t_new / t_old:6.2f}x"
                  f" the old layout ({t_old * 1e3:.0f} ms)")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
