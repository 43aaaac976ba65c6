"""``record`` of programs whose calls run in processes forked by
``multiprocessing``, and what ``stats`` says of a forked run that ended
without its delivery summary."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

import tw_record_fakes as fakes
from tarnwick_collector.store import sqlite_store

needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")


def tarnwick(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "tarnwick_collector", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


POOL_AND_PROCESS = """
    import multiprocessing as mp

    def f(x):
        return x + 1

    def child(n):
        for i in range(n):
            f(i)

    if __name__ == "__main__":
        ctx = mp.get_context("fork")
        with ctx.Pool(2) as pool:
            print(sum(pool.map(f, range(1000), chunksize=50)))
        p = ctx.Process(target=child, args=(500,))
        p.start()
        p.join()
        print("exit", p.exitcode)
"""


@needs_fork
@pytest.mark.recording
def test_calls_in_pool_workers_and_process_children_are_all_accounted_for(tmp_path):
    (tmp_path / "main.py").write_text(textwrap.dedent(POOL_AND_PROCESS))
    store = str(tmp_path / "records.sqlite3")
    proc = tarnwick("record", "--store", store, "main.py", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "500500\nexit 0\n"
    stats = json.loads(tarnwick("stats", "--json", "--store", store).stdout)
    root = stats["run"]
    forks = [c for c in stats["channels"] if c["session"] != root]
    assert forks and all(c["reported"] for c in forks), forks
    data = [c for c in forks if c["channel"] == "data"]
    # Every record made in a child is stored, or its loss is on record
    # and was reported at the end of the recording.
    assert sum(c["sent"] for c in data) == 1501
    assert sum(c["stored"] for c in data) == stats["recorded_calls"]
    for c in data:
        if c["stored"] < c["sent"]:
            assert f"tarnwick: run {c['session']}: data channel: " in proc.stderr
    if stats["recorded_calls"] == 1501:
        assert {f["function"]: f["calls"] for f in stats["functions"]} == {
            "__main__.f": 1500, "__main__.child": 1}
    text = tarnwick("stats", "--store", store).stdout
    assert "ended without its report" not in text


ROOT = "20240102-090000-1b1b1b1b"
CHILD = ROOT + "-4242"


def test_stats_names_a_forked_run_that_ended_without_its_report(tmp_path):
    store = str(tmp_path / "records.sqlite3")
    call = fakes.user_call("app.f", args=(1,), params=("x",), returned=1)
    fakes.write_store(store, [
        (ROOT, "tarnwick record app.py", [call]),
        (CHILD, f"fork of {ROOT}", [call, call, call]),
    ])
    conn = sqlite_store.open_for_writing(store)
    try:
        sqlite_store.record_channel_run(conn, ROOT, "data", 1.0, 1, 1, 0, 0, 0)
        sqlite_store.record_channel_start(conn, CHILD, "data", 2.0)
    finally:
        conn.close()
    stats = json.loads(tarnwick("stats", "--json", "--store", store).stdout)
    child = [c for c in stats["channels"] if c["session"] == CHILD]
    assert child == [{
        "session": CHILD, "channel": "data", "sent": 3, "stored": 3, "dropped_full": 0,
        "dropped_down": 0, "lost": None, "restarts": 0,
        "note": sqlite_store.UNREPORTED_NOTE, "reported": False}]
    proc = tarnwick("stats", "--store", store)
    assert proc.returncode == 0, proc.stderr
    lines = [line for line in proc.stdout.splitlines() if "ended without its report" in line]
    assert lines == [f"  data     run {CHILD}: ended without its report; 3 messages "
                     "stored, how many were lost is unknown"]


@pytest.mark.recording
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_the_record_summary_counts_the_calls_of_forked_processes(tmp_path):
    (tmp_path / "prog.py").write_text(
        "import os\n"
        "def f(x):\n    return x\n"
        "pid = os.fork()\n"
        "if pid == 0:\n    f(1)\n    f(2)\n    os._exit(0)\n"
        "os.waitpid(pid, 0)\n")
    proc = tarnwick("record", "--store", str(tmp_path / "records.sqlite3"), "prog.py",
                    cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "recorded 0 calls (2 with those of its forked processes)" in proc.stderr


@pytest.mark.recording
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_process_that_returns_prints_no_summary_of_its_own(tmp_path):
    (tmp_path / "prog.py").write_text(
        "import os, sys\n"
        "def f(x):\n    return x\n"
        "pid = os.fork()\n"
        "f(pid == 0)\n"
        "if pid:\n    os.waitpid(pid, 0)\n")
    proc = tarnwick("record", "--store", str(tmp_path / "records.sqlite3"), "prog.py",
                    cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith(
        "tarnwick: recorded 1 calls (2 with those of its forked processes)"), proc.stderr
