"""What the recorded program sees of the channels' writer threads: nothing.
Its ``threading`` state, its hooks and its exit are those of an unrecorded
run, while the channels still deliver every message."""
import _thread
import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading

import pytest

from tarnwick_collector.channels import subprocess_channel
from tarnwick_collector.channels.subprocess_channel import (
    SubprocessChannel,
    close_channels,
    new_session_id,
    open_channels,
)
from tarnwick_collector.store import sqlite_store

needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")


def thread_state():
    return threading.active_count(), threading.enumerate()


def join_all_others(timeout=10):
    """The shutdown idiom of many programs; returns the threads it could not
    join."""
    left = []
    for thread in threading.enumerate():
        if thread is not threading.main_thread():
            thread.join(timeout)
            if thread.is_alive():
                left.append(thread.name)
    return left


def make_channel(store, lines, kind="data", **kwargs):
    session = new_session_id()
    conn = sqlite_store.open_for_writing(store)
    sqlite_store.record_session(conn, session, "test", None)
    conn.close()
    return SubprocessChannel(kind, store, session, report=lines.append, **kwargs).start()


def stored(store, table="data_messages"):
    conn = sqlite3.connect(store)
    try:
        if table == "data_messages":
            return sqlite_store.data_messages(conn)
        return [bytes(m) for (m,) in conn.execute(f"SELECT message FROM {table} ORDER BY id")]
    finally:
        conn.close()


def kill_subprocess(channel):
    proc = channel._proc
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait(timeout=30)


@pytest.fixture
def store(tmp_path):
    return str(tmp_path / ".tarnwick" / "records.sqlite3")


# --- in this process -------------------------------------------------------

@pytest.mark.parametrize("sentinel", [True, False],
                         ids=["thread-state sentinel", "own completion lock"])
@pytest.mark.parametrize("restart", [False, True], ids=["running", "after a restart"])
def test_open_channels_leave_the_thread_state_alone(store, restart, sentinel, monkeypatch):
    if not sentinel:  # interpreters without _thread._set_sentinel
        monkeypatch.setattr(subprocess_channel, "_set_sentinel", None)
    elif subprocess_channel._set_sentinel is None:
        pytest.skip("this interpreter has no _thread._set_sentinel")
    before = thread_state()
    lines = []
    data, metrics = open_channels(store, report=lines.append)
    try:
        for i in range(300):
            data.send_message(b"d%d" % i)
            metrics.send_message(b"m%d" % i)
        assert data.flush(60) and metrics.flush(60)
        if restart:
            # The writer starts the replacement subprocess itself.
            first = data.pid
            kill_subprocess(data)
            for i in range(300, 600):
                data.send_message(b"d%d" % i)
            assert data.flush(60)
            assert data.pid != first
        assert thread_state() == before
        assert join_all_others() == []
    finally:
        reports = close_channels(data, metrics)
    assert thread_state() == before
    total = 600 if restart else 300
    assert [r.sent for r in reports] == [total, 300]
    assert all(r.stored + r.lost == r.sent for r in reports)
    assert b"d%d" % (total - 1) in stored(store)
    assert len(stored(store, "metric_messages")) == 300


@pytest.fixture
def program_hooks():
    """Trace and profile hooks installed through ``threading``, as profilers
    and coverage tools do; they note the threads they run on."""
    seen = set()

    def hook(frame, event, arg):
        seen.add(_thread.get_ident())
        return None

    # threading.gettrace/getprofile are 3.10+; the hooks live here before.
    saved = (getattr(threading, "gettrace", lambda: threading._trace_hook)(),
             getattr(threading, "getprofile", lambda: threading._profile_hook)())
    threading.settrace(hook)
    threading.setprofile(hook)
    try:
        yield seen
    finally:
        threading.settrace(saved[0])
        threading.setprofile(saved[1])


def test_program_hooks_never_run_on_a_writer(store, program_hooks):
    lines = []
    channel = make_channel(store, lines)  # started after the hooks were set
    for i in range(200):
        channel.send_message(b"x%d" % i)
    channel.flush(60)
    kill_subprocess(channel)
    for i in range(200):
        channel.send_message(b"y%d" % i)
    report = channel.stop()
    assert report.restarts == 1 and report.stored + report.lost == 400
    # Only threads started through threading get the hooks; the test made none.
    assert program_hooks == set()


@pytest.fixture
def program_error_hooks(monkeypatch):
    """The program's hooks for errors of other threads."""
    calls = []
    monkeypatch.setattr(threading, "excepthook", lambda args: calls.append(args))
    monkeypatch.setattr(sys, "unraisablehook", lambda args: calls.append(args))
    return calls


def test_a_failing_writer_is_accounted_and_printed_by_no_program_hook(
        store, monkeypatch, program_error_hooks):
    def broken_join(batch, start, limit):
        raise RuntimeError("encoder broke")

    monkeypatch.setattr(subprocess_channel, "join_frames", broken_join)
    lines = []
    channel = make_channel(store, lines)
    for _ in range(20):
        channel.send_message(b"never written")
    channel.flush(60)
    channel.send_message(b"after the failure")
    report = channel.stop()
    assert program_error_hooks == []
    assert report.note == "writer failed: RuntimeError: encoder broke"
    assert (report.sent, report.stored, report.missing) == (21, 0, 21)
    assert report.dropped_down >= 1
    assert len(lines) == 1 and "writer failed" in lines[0]
    assert channel.flush(60)  # returns at once: nothing left to write


# --- whole programs --------------------------------------------------------

STATE = """
    import threading

    def state():
        left = []
        for t in threading.enumerate():
            if t is not threading.main_thread():
                t.join(10)
                if t.is_alive():
                    left.append(t.name)
        return (threading.active_count(),
                [t.name for t in threading.enumerate()], left)
"""

PROGRAMS = {
    "open channels": """
        from tarnwick_collector.channels import open_channels, close_channels
        data, metrics = open_channels(project_path=".")
        data.send_message(b"parent")
        print(state())
        close_channels(data, metrics)
        print(state())
    """,
    # The child's channels start on its first message.
    "forked child": """
        import os
        from tarnwick_collector.channels import open_channels, close_channels
        data, metrics = open_channels(project_path=".")
        data.send_message(b"parent")
        pid = os.fork()
        if pid == 0:
            data.send_message(b"child")
            print(state())
            close_channels(data, metrics)
            print(state(), flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        close_channels(data, metrics)
    """,
    # Left open: the exit handler writes everything out.
    "open at exit": """
        from tarnwick_collector.channels import open_channels
        data, metrics = open_channels(project_path=".")
        data.send_message(b"parent")
        print(state())
        print(state())
    """,
}


@needs_fork
@pytest.mark.parametrize("name", sorted(PROGRAMS))
def test_programs_see_no_writer_threads(tmp_path, name):
    code = textwrap.dedent(STATE) + textwrap.dedent(PROGRAMS[name])
    proc = subprocess.run([sys.executable, "-c", code], cwd=str(tmp_path),
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    assert proc.stdout == "(1, ['MainThread'], [])\n" * 2
    messages = sorted(stored(str(tmp_path / ".tarnwick" / "records.sqlite3")))
    assert messages == ([b"child", b"parent"] if name == "forked child" else [b"parent"])


def test_exit_is_clean_while_a_writer_still_runs(tmp_path):
    """A writer that outlives the stop's waits (here: one that never ends
    writing) is left behind at exit; the interpreter ends normally."""
    code = textwrap.dedent("""
        import time
        from tarnwick_collector.channels.subprocess_channel import (
            SubprocessChannel, new_session_id)
        from tarnwick_collector.store import sqlite_store

        class Stuck(SubprocessChannel):
            def _write_frames(self, *args):
                while True:
                    time.sleep(0.001)

        session = new_session_id()
        conn = sqlite_store.open_for_writing("s.sqlite3")
        sqlite_store.record_session(conn, session, "test", None)
        conn.close()
        channel = Stuck("data", "s.sqlite3", session, stop_timeout=0.5).start()
        channel.send_message(b"m")
        print("exiting")
    """)
    proc = subprocess.run([sys.executable, "-c", code], cwd=str(tmp_path),
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "exiting\n"
    assert proc.stderr.splitlines() == [
        "tarnwick: data channel: 0 of 1 messages stored "
        "(1 lost in transit; timed out writing to the subprocess)"]


RECORDED = """
    import os, sys, threading

    def work(x):
        return x + 1

    def state(who):
        left = []
        for t in threading.enumerate():
            if t is not threading.main_thread():
                t.join(10)
                if t.is_alive():
                    left.append(t.name)
        print(who, threading.active_count(),
              [t.name for t in threading.enumerate()], left, flush=True)

    work(1)
    state("parent")
    pid = os.fork()
    if pid == 0:
        work(2)  # recorded: the child's channel starts
        state("child")
        os._exit(0)
    os.waitpid(pid, 0)
    work(3)
    state("parent")
"""


@needs_fork
@pytest.mark.recording
def test_recorded_program_sees_the_threads_of_a_plain_run(tmp_path):
    (tmp_path / "prog.py").write_text(textwrap.dedent(RECORDED))
    plain = subprocess.run([sys.executable, "prog.py"], cwd=str(tmp_path),
                           capture_output=True, text=True, timeout=300)
    recorded = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "record", "--store",
         "s.sqlite3", "prog.py"],
        cwd=str(tmp_path), capture_output=True, text=True, timeout=300)
    assert plain.returncode == 0, plain.stderr
    assert recorded.returncode == 0, recorded.stderr
    assert plain.stdout == ("parent 1 ['MainThread'] []\n"
                            "child 1 ['MainThread'] []\n"
                            "parent 1 ['MainThread'] []\n")
    assert recorded.stdout == plain.stdout
    conn = sqlite3.connect(str(tmp_path / "s.sqlite3"))
    try:
        names = [n for (n,) in conn.execute("SELECT full_name FROM data_messages")]
    finally:
        conn.close()
    assert len([n for n in names if n and n.endswith("work")]) >= 2
