"""The subprocess channels with plain byte messages: framing, delivery,
bounded buffering, dying subprocesses, exit and fork."""
import collections
import errno
import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading

import pytest

from tarnwick_collector.channels import framing, subprocess_channel
from tarnwick_collector.channels.subprocess_channel import (
    SubprocessChannel,
    close_channels,
    new_session_id,
    open_channels,
)
from tarnwick_collector.store import sqlite_store
from tarnwick_collector.store.sqlite_store import StoreError


def stored_messages(store, table="data_messages", session=None):
    conn = sqlite3.connect(store)
    try:
        if table == "data_messages":
            return sqlite_store.data_messages(conn, session)
        sql = f"SELECT message FROM {table}"
        params = ()
        if session is not None:
            sql += " WHERE session = ?"
            params = (session,)
        return [bytes(row[0]) for row in conn.execute(sql + " ORDER BY id", params)]
    finally:
        conn.close()


def channel_runs(store):
    conn = sqlite3.connect(store)
    try:
        conn.row_factory = sqlite3.Row
        return [dict(r) for r in conn.execute("SELECT * FROM channel_runs")]
    finally:
        conn.close()


@pytest.fixture
def store(tmp_path):
    return str(tmp_path / ".tarnwick" / "records.sqlite3")


@pytest.fixture
def lines():
    """Report lines of the channels under test."""
    return []


def make_channel(store, lines, kind="data", **kwargs):
    session = new_session_id()
    conn = sqlite_store.open_for_writing(store)
    sqlite_store.record_session(conn, session, "test", None)
    conn.close()
    channel = SubprocessChannel(kind, store, session, report=lines.append, **kwargs)
    return channel.start()


def wait_dead(channel):
    proc = channel._proc
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait(timeout=10)


# --- framing ---------------------------------------------------------------

@pytest.mark.parametrize("chunk", [1, 5, 12, 13, 4096])
def test_frames_survive_any_chunking(chunk):
    payloads = [b"", b"x", bytes(range(256)) * 40, b"\x00" * 11]
    stream = b"".join(framing.encode(float(i), p) for i, p in enumerate(payloads))
    reader = framing.FrameReader()
    frames = []
    for i in range(0, len(stream), chunk):
        frames.extend(reader.feed(stream[i:i + chunk]))
    assert frames == [(float(i), p) for i, p in enumerate(payloads)]
    assert reader.pending == 0


@pytest.mark.parametrize("start, limit", [(0, 0), (0, 1), (0, 40), (1, 13), (2, 1 << 20)])
def test_joined_frames_are_the_frames_one_after_another(start, limit):
    batch = [(0.5, b""), (1e9 + 0.25, b"x" * 20), (-3.0, bytes(range(256))), (7.0, b"y")]
    stop, joined = subprocess_channel.join_frames(batch, start, limit)
    assert (stop, joined) == subprocess_channel.join_frames_py(batch, start, limit)
    assert joined == b"".join(framing.encode(*item) for item in batch[start:stop])
    assert stop > start
    # Frames are taken while the total is under the limit.
    assert len(joined) - len(framing.encode(*batch[stop - 1])) < max(limit, 1)
    assert stop == len(batch) or len(joined) >= limit


class _DyingSocket(SubprocessChannel):
    """A channel whose first subprocess takes ``room`` bytes and dies; the
    next takes everything."""

    def __init__(self, room):  # (no subprocess: only the writing is tested)
        self._sock = object()
        self.room = room
        self.got = [b"", b""]
        self.round = 0

    def _send_ours(self, sock, data):
        if self.round == 0:
            left = self.room - len(self.got[0])
            if left <= 0:
                raise OSError("the subprocess died")
            self.got[0] += bytes(data[:left])
            return min(left, len(data))
        self.got[1] += bytes(data)
        return len(data)

    def _sock_ours(self, sock):
        return True

    def _replace_subprocess(self, taken=False):
        self.round += 1
        return True


@pytest.mark.parametrize("room, skip", [(0, 0), (5, 0), (15, 0), (28, 0), (29, 0), (3, 9)])
def test_frames_cut_by_a_dying_subprocess_go_whole_to_the_next(room, skip):
    batch = [(1.0, b"abc"), (2.0, b"d"), (3.0, b"efgh")]
    stop, joined = subprocess_channel.join_frames(batch, 0, 1 << 20)
    channel = _DyingSocket(room)
    assert channel._write_frames(batch, 0, stop, joined, skip) == 0
    assert channel.got[0] == joined[skip:skip + room]
    ends = [sum(len(framing.encode(*item)) for item in batch[:i]) for i in range(4)]
    whole = max(end for end in ends if end <= skip + room)
    assert channel.got[1] == joined[whole:]


# --- delivery --------------------------------------------------------------

def test_messages_from_many_threads_are_all_stored_once(store, lines):
    data, metrics = open_channels(store, report=lines.append)
    sent = collections.Counter()
    lock = threading.Lock()

    def worker(n):
        for i in range(500):
            payload = f"{n}:{i}".encode()
            data.send_message(payload)
            metrics.send_message(payload + b"m")
            with lock:
                sent[payload] += 1

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    reports = close_channels(metrics, data)
    assert [r.channel for r in reports] == ["data", "metrics"]
    assert all(r.sent == r.stored == 2000 for r in reports)
    assert collections.Counter(stored_messages(store)) == sent
    assert len(stored_messages(store, "metric_messages")) == 2000
    assert lines == []
    runs = {r["channel"]: r for r in channel_runs(store)}
    assert runs["data"]["sent"] == runs["data"]["stored"] == 2000
    assert runs["data"]["lost"] == 0


def test_bytes_like_messages_are_accepted_and_others_refused(store, lines):
    channel = make_channel(store, lines)
    channel.send_message(bytearray(b"ba"))
    channel.send_message(memoryview(b"mv"))
    with pytest.raises(TypeError):
        channel.send_message("text")
    report = channel.stop()
    assert sorted(stored_messages(store)) == [b"ba", b"mv"]
    assert report.sent == report.stored == 2


def test_undecodable_message_is_stored_with_its_reason(store, lines):
    channel = make_channel(store, lines)
    channel.send_message(b"\x80\x04not a pickle")
    channel.stop()
    conn = sqlite3.connect(store)
    (error, name, size), = conn.execute(
        "SELECT decode_error, full_name, size FROM data_messages").fetchall()
    conn.close()
    assert name is None and size == len(b"\x80\x04not a pickle") and error


# --- bounded buffer --------------------------------------------------------

def test_message_larger_than_the_buffer_is_dropped_and_reported(store, lines):
    channel = make_channel(store, lines, max_bytes=50)
    for _ in range(3):
        channel.send_message(b"x" * 100)
    channel.send_message(b"small")
    report = channel.stop()
    assert (report.sent, report.stored, report.dropped_full, report.lost) == (4, 1, 3, 0)
    assert len(lines) == 1 and "3 dropped, buffer full" in lines[0]
    assert channel_runs(store)[0]["dropped_full"] == 3


@pytest.mark.parametrize("max_messages", [1, 64])
def test_burst_into_a_small_buffer_is_fully_accounted(store, lines, max_messages):
    channel = make_channel(store, lines, max_messages=max_messages)
    payloads = [str(i).encode() for i in range(10_000)]
    for p in payloads:
        channel.send_message(p)
    report = channel.stop()
    kept = stored_messages(store)
    # Whatever was not dropped arrived, in order, exactly once.
    assert report.stored == len(kept) == report.sent - report.dropped_full
    assert report.lost == 0 and report.dropped_down == 0
    assert kept == sorted(kept, key=lambda b: int(b))
    assert len(set(kept)) == len(kept)
    assert (report.dropped_full > 0) == bool(lines)


def test_sending_does_not_wait_for_a_stalled_subprocess(store, lines):
    channel = make_channel(store, lines, max_messages=100)
    os.kill(channel._proc.pid, signal.SIGSTOP)
    try:
        done = threading.Event()

        def burst():
            for _ in range(5000):
                channel.send_message(b"y" * 1000)
            done.set()

        threading.Thread(target=burst, daemon=True).start()
        assert done.wait(30), "send_message blocked on a stalled subprocess"
    finally:
        os.kill(channel._proc.pid, signal.SIGCONT)
    report = channel.stop()
    assert report.dropped_full > 0
    assert report.stored == report.sent - report.dropped_full - report.lost


# --- dying subprocesses ----------------------------------------------------

def test_a_killed_subprocess_is_replaced_and_losses_are_counted(store, lines):
    channel = make_channel(store, lines)
    for i in range(200):
        channel.send_message(b"before-%d" % i)
    channel.flush(10)
    first_pid = channel.pid
    wait_dead(channel)
    for i in range(200):
        channel.send_message(b"after-%d" % i)
        if i == 0:
            channel.flush(10)
    report = channel.stop()
    assert channel.pid != first_pid
    assert report.restarts == 1
    assert report.sent == 400
    assert report.stored + report.lost == 400
    assert b"after-199" in stored_messages(store)
    if report.lost:
        assert lines and "lost in transit" in lines[0]


def test_without_restarts_later_messages_are_dropped_not_lost(store, lines):
    channel = make_channel(store, lines, max_restarts=0)
    channel.send_message(b"first")
    channel.flush(10)
    wait_dead(channel)
    for _ in range(50):
        channel.send_message(b"late")
    channel.flush(10)
    for _ in range(10):
        channel.send_message(b"later")
    report = channel.stop()
    assert report.sent == 61
    assert report.stored + report.lost + report.dropped_down == 61
    assert report.dropped_down >= 10
    assert "subprocess down" in lines[0]
    # Why: the subprocess ended (killed), and where its own words are.
    assert "a subprocess ended before its input did 1x (exit status -9; " \
        "see records.sqlite3.log)" in lines[0]


def test_a_replacement_that_fails_for_want_of_resources_is_tried_again(store, lines,
                                                                     monkeypatch):
    """On a loaded machine a fork may fail for the moment (EAGAIN, ENOMEM):
    the channel tries again instead of dropping all that follows."""
    from tarnwick_collector.channels import subprocess_channel as module

    channel = make_channel(store, lines)
    channel.send_message(b"first")
    channel.flush(10)
    real_spawn = module.spawn.spawn
    failures = []

    def spawn(*args, **kwargs):
        if len(failures) < 2:
            failures.append(1)
            raise OSError(errno.EAGAIN, "Resource temporarily unavailable")
        return real_spawn(*args, **kwargs)

    monkeypatch.setattr(module.spawn, "spawn", spawn)
    wait_dead(channel)
    for i in range(20):
        channel.send_message(b"late %d" % i)
    report = channel.stop()
    assert len(failures) == 2
    assert report.restarts == 1 and report.dropped_down == 0
    assert b"late 19" in stored_messages(store)


def test_a_subprocess_that_cannot_be_started_again_is_the_reason_given(store, lines, tmp_path):
    channel = make_channel(store, lines)
    channel.send_message(b"first")
    channel.flush(10)
    channel._python = str(tmp_path / "no-such-python")
    wait_dead(channel)
    for _ in range(20):
        channel.send_message(b"late")
    report = channel.stop()
    assert report.sent == 21 and report.stored + report.lost + report.dropped_down == 21
    assert report.dropped_down >= 1
    assert "subprocess down" in lines[0]
    assert "cannot start a new subprocess: " in lines[0] and "no-such-python" in lines[0]


def test_messages_after_stop_are_counted_as_dropped(store, lines):
    channel = make_channel(store, lines)
    first = channel.stop()
    channel.send_message(b"too late")
    assert channel.stop() is first
    assert channel._dropped_down == 1


# --- store problems --------------------------------------------------------

@pytest.mark.parametrize("content", [b"not a database at all" * 100, b"SQLite format 3\x00junk"])
def test_open_channels_refuses_a_file_that_is_not_a_store(tmp_path, content):
    path = tmp_path / "x.sqlite3"
    path.write_bytes(content)
    with pytest.raises(StoreError):
        open_channels(str(path))
    assert path.read_bytes() == content


# --- interpreter exit and fork ---------------------------------------------

def run_python(code, cwd):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd,
                          capture_output=True, text=True, timeout=120)


def test_buffer_is_flushed_at_interpreter_exit(tmp_path):
    proc = run_python("""
        from tarnwick_collector.channels import open_channels
        data, metrics = open_channels(project_path=".")
        for i in range(3000):
            data.send_message(b"m%d" % i)
        print("exiting")
    """, tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "exiting\n" and proc.stderr == ""
    store = str(tmp_path / ".tarnwick" / "records.sqlite3")
    assert len(stored_messages(store)) == 3000
    runs = {r["channel"]: r for r in channel_runs(store)}
    assert runs["data"]["stored"] == 3000 and runs["metrics"]["sent"] == 0


def test_forked_child_gets_channels_of_its_own(tmp_path):
    proc = run_python("""
        import os
        from tarnwick_collector.channels import open_channels, close_channels
        data, metrics = open_channels(project_path=".")
        data.send_message(b"parent-1")
        pid = os.fork()
        if pid == 0:
            data.send_message(b"child")
            close_channels(data, metrics)
            os._exit(0)
        os.waitpid(pid, 0)
        data.send_message(b"parent-2")
        close_channels(data, metrics)
        print(data.session)
    """, tmp_path)
    assert proc.returncode == 0, proc.stderr
    session = proc.stdout.strip()
    store = str(tmp_path / ".tarnwick" / "records.sqlite3")
    assert sorted(stored_messages(store, session=session)) == [b"parent-1", b"parent-2"]
    conn = sqlite3.connect(store)
    child_runs = [run for (run,) in conn.execute(
        "SELECT DISTINCT session FROM data_messages WHERE session != ?", (session,))]
    child_rows = [(run, m) for run in child_runs
                  for m in sqlite_store.data_messages(conn, run)]
    conn.close()
    assert [m for _, m in child_rows] == [b"child"]
    assert child_rows[0][0].startswith(session + "-")


# --- the native buffering of a send -------------------------------------------

def test_messages_buffered_natively_arrive_and_are_counted_as_the_channels_own(
        store, lines):
    from tarnwick_collector.channels._guarded_send import queue_if_idle

    native = make_channel(store, lines)
    own = make_channel(store, lines)
    messages = [b"a", b"bb" * 100, b"", b"c" * 70_000] * 50
    try:
        taken = [queue_if_idle(native, m) for m in messages]
        for m in messages:
            own._send_message(m)
        assert all(taken)
        assert native._sent == own._sent == len(messages)
    finally:
        native.stop()
        own.stop()
    assert native._buffered_bytes == own._buffered_bytes == 0
    conn = sqlite3.connect(store)
    sessions = [r[0] for r in conn.execute(
        "SELECT session FROM channel_runs ORDER BY started")]
    conn.close()
    assert [stored_messages(store, session=s) for s in sessions] == [messages] * 2
    assert [(r["sent"], r["stored"], r["dropped_full"]) for r in channel_runs(store)] == [
        (len(messages), len(messages), 0)] * 2


def test_the_native_buffering_leaves_every_unusual_case_to_the_channel(store, lines):
    from tarnwick_collector.channels._guarded_send import queue_if_idle

    channel = make_channel(store, lines, max_messages=2)
    try:
        assert queue_if_idle(channel, bytearray(b"x")) is False  # not bytes
        with channel._cond:  # the lock is held (here, or by another thread)
            assert queue_if_idle(channel, b"x") is False
        channel._eager = True
        assert queue_if_idle(channel, b"x") is False
        channel._eager = False
        channel._send_message = channel._send_message  # an instance's own
        assert queue_if_idle(channel, b"x") is False
        del channel._send_message
        sent = channel._sent
        with channel._cond:
            channel._queue.extend([(0.0, b"q"), (0.0, b"q")])  # full
        assert queue_if_idle(channel, b"x") is False
        assert channel._sent == sent  # nothing changed: the channel counts it
        with channel._cond:
            channel._queue.clear()
    finally:
        channel.stop()
    assert queue_if_idle(channel, b"x") is False  # stopped
