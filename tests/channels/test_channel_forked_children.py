"""Children forked by ``multiprocessing`` (and plain forks that end abruptly):
what they send is stored, and every run of theirs has a delivery summary
that accounts for each message, also when the child ends with ``os._exit``
or by a signal."""
import os
import sqlite3
import subprocess
import sys
import textwrap

import pytest

from tarnwick_collector.store import sqlite_store

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")

PRELUDE = """
    import multiprocessing, os, signal, sys
    from tarnwick_collector.channels import close_channels, open_channels

    def line(text):
        sys.stderr.write(text + "\\n")

    data, metrics = open_channels("store.sqlite3", ".", report=line)
    # A child inherits the bound: only a subprocess that takes nothing for
    # this long makes a child's send fall back to the buffer.
    data.child_send_timeout = metrics.child_send_timeout = 60.0

    def send(tag, n, pad=0):
        for i in range(n):
            data.send_message(b"%s-%d" % (tag.encode(), i) + b" " * pad)
        metrics.send_message(tag.encode())
"""

EPILOGUE = """
    close_channels(data, metrics)
    print(data.session)
"""


def run_program(tmp_path, body):
    code = textwrap.dedent(PRELUDE) + textwrap.dedent(body) + textwrap.dedent(EPILOGUE)
    proc = subprocess.run([sys.executable, "-c", code], cwd=str(tmp_path),
                          capture_output=True, text=True, timeout=300)
    root = proc.stdout.strip().splitlines()[-1] if proc.stdout.strip() else None
    return proc, root


def fork_runs(tmp_path, root, channel="data"):
    """{run id: delivery summary} of the runs of forked processes."""
    conn = sqlite_store.open_for_reading(str(tmp_path / "store.sqlite3"))
    try:
        runs = sqlite_store.channel_runs(conn, sqlite_store.Recording(root))
    finally:
        conn.close()
    return {r["session"]: r for r in runs if r["session"] != root and r["channel"] == channel}


def stored_of(tmp_path, run):
    conn = sqlite3.connect(str(tmp_path / "store.sqlite3"))
    try:
        return sorted(m.rstrip(b" ") for m in sqlite_store.data_messages(conn, run))
    finally:
        conn.close()


# --- multiprocessing.Process ------------------------------------------------

@pytest.mark.parametrize("ending, exitcode", [
    ("return", 0),
    ("raise ValueError('from the target')", 1),
    ("sys.exit(3)", 3),
])
@pytest.mark.parametrize("buffered", [False, True])
def test_a_process_child_delivers_everything_and_reports(tmp_path, ending, exitcode,
                                                         buffered):
    """Every message of the target and of the program's own exit finalizer
    arrives, and the child run's summary accounts for all of them. With
    ``buffered`` the child's sends wait in the buffer (as after a stalled
    subprocess): then only the stop at the end of the child delivers them."""
    proc, root = run_program(tmp_path, f"""
        def late():
            data.send_message(b"late")

        def child():
            if {buffered}:
                data._eager = False
            multiprocessing.util.Finalize(None, late, exitpriority=-100)
            send("target", 3000)
            {ending}

        p = multiprocessing.get_context("fork").Process(target=child)
        p.start()
        p.join()
        print("exitcode", p.exitcode)
    """)
    assert proc.returncode == 0, proc.stderr
    assert f"exitcode {exitcode}" in proc.stdout
    if exitcode == 1:
        assert "ValueError: from the target" in proc.stderr
    assert "tarnwick:" not in proc.stderr
    (run, summary), = fork_runs(tmp_path, root).items()
    expected = sorted([b"target-%d" % i for i in range(3000)] + [b"late"])
    assert stored_of(tmp_path, run) == expected
    assert summary["reported"] is True
    assert (summary["sent"], summary["stored"], summary["lost"]) == (3001, 3001, 0)
    metrics, = fork_runs(tmp_path, root, "metrics").values()
    assert (metrics["sent"], metrics["stored"]) == (1, 1)


# --- pools -----------------------------------------------------------------

# Each task sends more than a socket holds: its last messages are still on
# their way when the task's result is.
POOL_TASK = """
    def task(i):
        send("task%d" % i, 100, pad=4000)
        return i
"""


@pytest.mark.parametrize("run_pool", [
    # Leaving the with block terminates the workers (SIGTERM).
    """
    with multiprocessing.get_context("fork").Pool(2) as pool:
        assert pool.map(task, range(40), chunksize=1) == list(range(40))
    """,
    # The workers end through multiprocessing's exit path.
    """
    pool = multiprocessing.get_context("fork").Pool(2)
    assert pool.map(task, range(40), chunksize=1) == list(range(40))
    pool.close()
    pool.join()
    """,
    """
    import concurrent.futures
    with concurrent.futures.ProcessPoolExecutor(
            2, mp_context=multiprocessing.get_context("fork")) as ex:
        assert list(ex.map(task, range(40))) == list(range(40))
    """,
], ids=["terminated-pool", "joined-pool", "executor"])
def test_pool_workers_deliver_everything_and_report(tmp_path, run_pool):
    proc, root = run_program(tmp_path, POOL_TASK + run_pool)
    assert proc.returncode == 0, proc.stderr
    assert "tarnwick:" not in proc.stderr
    runs = fork_runs(tmp_path, root)
    assert runs and all(r["reported"] for r in runs.values()), runs
    assert sum(r["sent"] for r in runs.values()) == 4000
    assert sum(r["stored"] for r in runs.values()) == 4000
    everything = sorted(m for run in runs for m in stored_of(tmp_path, run))
    assert everything == sorted(b"task%d-%d" % (t, i) for t in range(40) for i in range(100))
    metrics = fork_runs(tmp_path, root, "metrics").values()
    assert sum(r["stored"] for r in metrics) == 40


# --- children that end abruptly ----------------------------------------------

def test_a_child_killed_with_a_full_buffer_has_its_losses_counted(tmp_path):
    """The child's sends wait in the buffer and it is killed at once: its
    channel's subprocess writes the summary, whose counts are exact."""
    proc, root = run_program(tmp_path, """
        pid = os.fork()
        if pid == 0:
            data.send_message(b"first")
            data._eager = False
            for i in range(20000):
                data.send_message(b"m%d" % i)
            os.kill(os.getpid(), signal.SIGKILL)
        os.waitpid(pid, 0)
    """)
    assert proc.returncode == 0, proc.stderr
    (run, summary), = fork_runs(tmp_path, root).items()
    assert summary["reported"] is True and summary["sent"] == 20001
    kept = len(stored_of(tmp_path, run))
    assert summary["stored"] == kept
    assert summary["lost"] == 20001 - kept
    if kept < 20001:
        assert summary["note"] == sqlite_store.PROCESS_ENDED_NOTE
        assert (f"tarnwick: run {run}: data channel: {kept} of 20001 messages stored "
                f"({20001 - kept} lost in transit; {sqlite_store.PROCESS_ENDED_NOTE})"
                ) in proc.stderr.splitlines()


@pytest.mark.parametrize("ending", ["os._exit(0)", "os.kill(os.getpid(), signal.SIGTERM)"])
def test_a_forked_child_that_skips_its_exit_handlers_delivers_everything(tmp_path, ending):
    proc, root = run_program(tmp_path, f"""
        pid = os.fork()
        if pid == 0:
            send("child", 2000, pad=1000)
            {ending}
        os.waitpid(pid, 0)
    """)
    assert proc.returncode == 0, proc.stderr
    (run, summary), = fork_runs(tmp_path, root).items()
    assert len(stored_of(tmp_path, run)) == 2000
    assert (summary["reported"], summary["sent"], summary["stored"]) == (True, 2000, 2000)


def test_a_stalled_subprocess_holds_a_child_up_once_not_per_message(tmp_path):
    """The child's own subprocess stops reading: its sends wait once for the
    bound, then go to the buffer; everything is accounted for."""
    proc, root = run_program(tmp_path, """
        pid = os.fork()
        if pid == 0:
            data.send_message(b"start")
            data.child_send_timeout = 0.2
            os.kill(data.pid, signal.SIGSTOP)
            for i in range(5000):
                data.send_message(b"y" * 1000)
            os.kill(data.pid, signal.SIGCONT)
            report = data.stop()
            print("child", report.sent, report.stored + report.dropped_full + report.lost,
                  flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
    """)
    assert proc.returncode == 0, proc.stderr
    assert "child 5001 5001" in proc.stdout
    summary, = fork_runs(tmp_path, root).values()
    assert summary["sent"] == 5001


def test_a_process_childs_thread_that_outlives_the_target_is_delivered(tmp_path):
    """``multiprocessing`` joins the child's threads after its exit
    finalizers: what such a thread sends after them still arrives."""
    proc, root = run_program(tmp_path, """
        import threading, time

        def later():
            time.sleep(0.5)
            send("thread", 300)

        def child():
            send("target", 10)
            threading.Thread(target=later).start()

        p = multiprocessing.get_context("fork").Process(target=child)
        p.start()
        p.join()
    """)
    assert proc.returncode == 0, proc.stderr
    (run, summary), = fork_runs(tmp_path, root).items()
    assert len(stored_of(tmp_path, run)) == 310
    assert (summary["reported"], summary["sent"], summary["stored"]) == (True, 310, 310)
