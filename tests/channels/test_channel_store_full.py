"""Messages a channel's subprocess received but the store refused (a full
disk) are reported as not stored, with the store's reason, never as lost on
the way.

The messages are no pickles (``0xff`` is no opcode): the subprocess files
each with its decoding error at once. The rest of each is random, so that
packing does not make it smaller."""
import os
import resource
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

from tarnwick_collector.channels import framing, tally
from tarnwick_collector.channels import receiver as receiver_module
from tarnwick_collector.channels.receiver import Receiver
from tarnwick_collector.channels.subprocess_channel import new_session_id
from tarnwick_collector.store import sqlite_store


def new_store(tmp_path):
    store = str(tmp_path / "store" / "records.sqlite3")
    session = new_session_id()
    conn = sqlite_store.open_for_writing(store)
    sqlite_store.record_session(conn, session, "test", None)
    conn.close()
    return store, session


def channel_run(store):
    conn = sqlite3.connect(store)
    conn.row_factory = sqlite3.Row
    try:
        return dict(conn.execute("SELECT * FROM channel_runs").fetchone())
    finally:
        conn.close()


def receive(tmp_path, store, session, sent, body_size, kind="data", before_run=None,
            **options):
    """Runs a Receiver on ``sent`` messages of ``body_size`` random bytes
    (after an ``0xff``) as a stopping channel would hand them; returns it
    with the count and reason of what it did not store."""
    stream = tmp_path / "input"
    with open(stream, "wb") as fh:
        for _ in range(sent):
            fh.write(framing.encode(time.time(), b"\xff" + os.urandom(body_size)))
    block = tally.Tally(time.time())
    block.publish(sent, 0, 0, 0)
    block.mark_stopping()
    fd = os.open(stream, os.O_RDONLY)
    try:
        receiver = Receiver(kind, store, session, fd=fd, tally_fd=block.fileno(),
                            **options)
        if before_run is not None:
            before_run(receiver)
        assert receiver.run() == 0
    finally:
        os.close(fd)
    unstored, reason = block.unstored()
    block.close()
    return receiver, unstored, reason


def test_a_full_store_is_the_reason_given_for_what_was_not_stored(tmp_path):
    store, session = new_store(tmp_path)
    sent = 2000

    def small_store(receiver):
        # The store may grow by a few hundred rows, then it is full
        # (SQLITE_FULL, as on a full disk).
        pages = receiver.conn.execute("PRAGMA page_count").fetchone()[0]
        receiver.conn.execute(f"PRAGMA max_page_count = {pages + 400}")

    # The channel finds the count and the reason in the block it shares
    # with its subprocesses.
    receiver, unstored, reason = receive(tmp_path, store, session, sent, 999,
                                         before_run=small_store, slot=2)
    stored = receiver.stored
    assert 0 < stored < sent
    assert unstored == sent - stored
    assert "database or disk is full" in reason
    # The delivery summary the subprocess wrote: nothing is lost in
    # transit; the note says why the rest is missing.
    run = channel_run(store)
    assert (run["sent"], run["stored"], run["lost"]) == (sent, stored, 0)
    assert f"{sent - stored} not stored: database or disk is full" in run["note"]


@pytest.mark.skipif(not hasattr(signal, "SIGXFSZ"), reason="no file size limit")
def test_a_store_that_cannot_grow_is_reported_by_the_channel(tmp_path):
    """The whole way: the channel's subprocess cannot write the store (the
    file may not grow, as on a full disk); the channel's report, its report
    line and the summary in the store give the store's reason."""
    store, session = new_store(tmp_path)
    code = f"""if True:
        import os
        from tarnwick_collector.channels.subprocess_channel import SubprocessChannel
        lines = []
        channel = SubprocessChannel("data", {store!r}, {session!r},
                                    report=lines.append).start()
        for i in range(3000):
            channel.send_message(b"\\xff" + os.urandom(999))
        report = channel.stop()
        print(report.sent, report.stored, report.lost, getattr(report, "unstored", 0))
        print(getattr(report, "unstored_reason", None))
        print(lines[0])
    """
    limit = os.path.getsize(store) + 100_000

    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=200, preexec_fn=small_files)
    assert proc.returncode == 0, proc.stderr
    counts, reason, line = proc.stdout.splitlines()
    sent, stored, lost, unstored = map(int, counts.split())
    assert sent == 3000 and stored < sent
    assert lost == 0 and unstored == sent - stored
    assert reason  # SQLite's own words, whichever error the file system gave
    assert f"{unstored} not stored: {reason}" in line
    assert "lost in transit" not in line
    run = channel_run(store)
    assert run["lost"] == 0 and f"{unstored} not stored: {reason}" in run["note"]


@pytest.mark.skipif(not hasattr(os, "fork") or not hasattr(signal, "SIGXFSZ"),
                    reason="needs fork and a file size limit")
def test_a_forked_process_that_ended_reports_what_its_store_refused(tmp_path):
    """A forked child ends without stopping its channel; its subprocess
    writes the summary, and the parent's report line for the child gives
    the store's reason, not a loss in transit."""
    store, session = new_store(tmp_path)
    code = f"""if True:
        import os
        from tarnwick_collector.channels.subprocess_channel import SubprocessChannel
        lines = []
        channel = SubprocessChannel("data", {store!r}, {session!r},
                                    report=lines.append).start()
        channel.send_message(b"parent")
        channel.child_send_timeout = 60.0  # the child delivers whatever the load
        pid = os.fork()
        if pid == 0:
            for i in range(300):
                channel.send_message(b"\\xff" + os.urandom(999))
            os._exit(0)
        os.waitpid(pid, 0)
        channel.stop()
        print("\\n".join(lines))
    """
    limit = os.path.getsize(store) + 100_000

    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=200, preexec_fn=small_files)
    assert proc.returncode == 0, proc.stderr
    [line] = [line for line in proc.stdout.splitlines() if line.startswith("tarnwick: run ")]
    assert "0 of 300 messages stored" in line and "300 not stored: " in line
    assert "the process ended without stopping the channel" in line
    assert "lost in transit" not in line


@pytest.mark.parametrize("kind", ["data", "metrics"])
def test_beyond_its_size_limit_the_store_takes_no_more_and_says_why(tmp_path, kind,
                                                                   monkeypatch):
    monkeypatch.setattr(receiver_module, "BATCH_ROWS", 50)
    store, session = new_store(tmp_path)
    limit = os.path.getsize(store) + 60_000
    sent = 1000
    receiver, unstored, reason = receive(tmp_path, store, session, sent, 499, kind=kind,
                                         max_store_bytes=limit, max_store_text="60KB")
    # what it took fills the store up to the limit (give or take the
    # database's last pages), not beyond
    assert 0 < receiver.stored < sent
    assert limit - 20_000 <= os.path.getsize(store) <= limit + 8192
    assert unstored == sent - receiver.stored
    assert reason == "the store reached its size limit (60KB)"
    run = channel_run(store)
    assert (run["sent"], run["stored"], run["lost"]) == (sent, receiver.stored, 0)
    assert f"{unstored} not stored: {reason}" in run["note"]


def test_the_disk_keeps_a_reserve_of_free_space_for_the_program(tmp_path, monkeypatch):
    # A disk of 10 GiB keeps 5% of it free (512 MiB); this one has 60,000
    # bytes more than that: the store takes about that much and no more.
    monkeypatch.setattr(receiver_module, "BATCH_ROWS", 50)
    store, session = new_store(tmp_path)
    start = os.path.getsize(store)
    real_statvfs = os.statvfs
    block_size = 4096
    total = 10 << 30

    def statvfs(path):
        real = real_statvfs(path)
        free = (512 << 20) + 60_000 - (os.path.getsize(store) - start)
        return os.statvfs_result((block_size, block_size, total // block_size, 0,
                                  free // block_size) + tuple(real)[5:])

    monkeypatch.setattr(receiver_module.os, "statvfs", statvfs)
    assert receiver_module.free_space_reserve(total) == 512 << 20
    assert receiver_module.free_space_reserve(100 << 30) == 1 << 30
    sent = 1000
    receiver, unstored, reason = receive(tmp_path, store, session, sent, 499)
    assert 0 < receiver.stored < sent
    assert os.path.getsize(store) - start <= 60_000 + 8192
    assert unstored == sent - receiver.stored
    assert reason.startswith("the disk keeps 512.0 MiB free for the program (")
