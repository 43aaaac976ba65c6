"""A store whose writer was killed inside a transaction recovers by itself,
and a store is private to its user whatever the umask."""
import os
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest

from tarnwick_collector.channels import close_channels, open_channels
from tarnwick_collector.channels.receiver import _Log
from tarnwick_collector.store import sqlite_store

_SRC = os.path.abspath(os.path.join(os.path.dirname(sqlite_store.__file__), os.pardir,
                                    os.pardir))

# A writer that begins a transaction too large for its page cache (so that
# SQLite spills it into the database file, with the old pages in the
# journal) and is killed before it commits.
_KILLED_WRITER = textwrap.dedent("""
    import os, signal, sys
    from tarnwick_collector.store import sqlite_store
    conn = sqlite_store.open_for_writing(sys.argv[1])
    conn.execute("PRAGMA cache_size=8")
    conn.execute("BEGIN IMMEDIATE")
    conn.executemany(
        "INSERT INTO data_messages (session, received, full_name, module, size,"
        " decode_error, message) VALUES ('r1', 1.0, 'm.f', 'm', 4000, NULL, ?)",
        [(os.urandom(4000),) for _ in range(1500)])
    os.kill(os.getpid(), signal.SIGKILL)
""")


def _cli(*args):
    return subprocess.run([sys.executable, "-m", "tarnwick_collector", *args],
                          capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=_SRC))


def _store_with_hot_journal(path, committed=5):
    conn = sqlite_store.open_for_writing(path)
    sqlite_store.record_session(conn, "r1", "test", None)
    sqlite_store.insert_data_rows(
        conn, [("r1", 1.0, "m.f", "m", 3, None, b"abc")] * committed)
    conn.close()
    proc = subprocess.run([sys.executable, "-c", _KILLED_WRITER, path],
                          env=dict(os.environ, PYTHONPATH=_SRC), timeout=120)
    assert proc.returncode == -signal.SIGKILL
    # What the readers met: a journal that only a writer can roll back.
    assert os.path.getsize(path + "-journal") > 0


def test_a_store_left_by_a_killed_writer_reads_and_records_again(tmp_path):
    path = str(tmp_path / "s" / "records.sqlite3")
    _store_with_hot_journal(path)

    # Readers and the subprocesses' start check open it as before the crash.
    sqlite_store.check_store_writable(path)
    conn = sqlite_store.open_for_reading(path)
    try:
        assert sqlite_store.count_data_rows(conn, None) == 5
    finally:
        conn.close()
    assert not os.path.exists(path + "-journal")
    shown = _cli("show", "--store", path, "--run", "all")
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.count("m.f") == 5
    stats = _cli("stats", "--store", path, "--run", "all")
    assert stats.returncode == 0, stats.stderr
    assert "Recorded calls: 5" in stats.stdout

    # A later run stores and counts what it was sent.
    data, metrics = open_channels(path, str(tmp_path), report=None)
    for i in range(20):
        data.send_message(b"not a pickle %d" % i)
    reports = close_channels(data, metrics)
    assert (reports[0].sent, reports[0].stored, reports[0].note) == (20, 20, None)


def test_a_reader_rolls_back_before_reading(tmp_path):
    path = str(tmp_path / "records.sqlite3")
    _store_with_hot_journal(path, committed=3)
    shown = _cli("stats", "--store", path, "--run", "all")
    assert shown.returncode == 0, shown.stderr
    assert "Recorded calls: 3" in shown.stdout


def test_a_receiver_killed_inside_a_large_transaction(tmp_path):
    """The real thing: the channel's subprocess is killed while it commits
    a batch that spilled; its replacement stores the rest and the report
    counts what the store holds."""
    path = str(tmp_path / "records.sqlite3")
    data, metrics = open_channels(path, str(tmp_path), report=None)
    journal = path + "-journal"
    payload = b"x" * 60_000
    killed = False
    try:
        for _ in range(5):
            pid = data.pid
            for _ in range(400):
                data.send_message(payload)
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and not os.path.exists(journal):
                time.sleep(0.0005)
            os.kill(pid, signal.SIGKILL)
            time.sleep(0.2)
            if os.path.exists(journal):
                killed = True
                break
            data.flush(timeout=30)
        if not killed:
            pytest.skip("the subprocess was never killed inside a transaction")
        # A reader now, while the run goes on.
        conn = sqlite_store.open_for_reading(path)
        conn.close()
        for _ in range(50):
            data.send_message(b"after")
    finally:
        reports = close_channels(data, metrics)
    report = reports[0]
    conn = sqlite_store.open_for_reading(path)
    try:
        held = sqlite_store.count_stored(conn, "data", report.session)
    finally:
        conn.close()
    assert report.stored == held > 0
    assert "unreadable" not in (report.note or "")
    assert report.restarts >= 1
    assert report.sent == report.stored + report.lost + report.dropped_full \
        + report.dropped_down


# --- private permissions -------------------------------------------------

def _mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.fixture(params=[0o022, 0o000], ids=["umask022", "umask000"])
def umask(request):
    old = os.umask(request.param)
    try:
        yield request.param
    finally:
        os.umask(old)


def test_a_new_store_is_private_whatever_the_umask(tmp_path, umask):
    root = tmp_path / "project"
    root.mkdir(mode=0o755)
    os.chmod(root, 0o755)
    path = str(root / ".tarnwick" / "deeper" / "records.sqlite3")
    data, metrics = open_channels(path, str(root), report=None)
    data.send_message(b"x" * 100)
    # The journal of a transaction, and the log of a receiver.
    conn = sqlite_store.open_for_writing(path)
    conn.execute("BEGIN IMMEDIATE")
    conn.execute("INSERT INTO sessions (session, started) VALUES ('j', 0)")
    journal_mode = _mode(path + "-journal")
    conn.execute("ROLLBACK")
    conn.close()
    _Log(path, "data").write("a line")
    close_channels(data, metrics)

    assert _mode(root / ".tarnwick") == 0o700
    assert _mode(root / ".tarnwick" / "deeper") == 0o700
    assert _mode(path) == 0o600
    assert journal_mode == 0o600
    assert _mode(path + ".log") == 0o600
    # What was there before keeps its mode.
    assert _mode(root) == 0o755


def test_an_existing_directory_keeps_its_mode(tmp_path, umask):
    shared = tmp_path / "shared"
    shared.mkdir()
    os.chmod(shared, 0o755)
    path = str(shared / "mine.sqlite3")
    sqlite_store.open_for_writing(path).close()
    assert _mode(shared) == 0o755
    assert _mode(path) == 0o600
