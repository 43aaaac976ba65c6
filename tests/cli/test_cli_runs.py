"""Which runs ``show`` and ``stats`` read: by default the latest recording
as a whole, with the runs of the processes it forked."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

import tw_record_fakes as fakes

OLD = "20240101-090000-0a0a0a0a"
ROOT = "20240102-090000-1b1b1b1b"
CHILD = ROOT + "-4242"
GRANDCHILD = ROOT + "-4343"  # forked by the child: named after the root too
OTHER = "20240102-080000-2c2c2c2c"  # started before ROOT


def call(name):
    return fakes.user_call(name, args=(1,), params=("x",), returned=1)


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("runs") / "records.sqlite3")
    fakes.write_store(path, [
        (OLD, "tarnwick record old.py", [call("old.f")]),
        (OTHER, "tarnwick record other.py", [call("other.f")]),
        (ROOT, "tarnwick record app.py", [call("app.parent"), call("app.parent")]),
        (CHILD, f"fork of {ROOT}", [call("app.child")]),
        (GRANDCHILD, f"fork of {ROOT}", [call("app.grandchild")]),
    ])
    return path


def tarnwick(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "tarnwick_collector", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=120)


RECORDING = ["app.parent", "app.parent", "app.child", "app.grandchild"]


@pytest.mark.parametrize("run, functions", [
    (None, RECORDING),
    ("last", RECORDING),
    (ROOT, RECORDING),
    (ROOT[:12], RECORDING),  # the start of its id, which its forks share
    (CHILD, ["app.child"]),
    (OLD, ["old.f"]),
    ("all", ["old.f", "other.f"] + RECORDING),
])
def test_show_and_stats_read_the_chosen_runs(store, run, functions):
    chosen = [] if run is None else ["--run", run]
    shown = tarnwick("show", "--json", "--store", store, *chosen)
    assert shown.returncode == 0, shown.stderr
    assert [r["function"] for r in json.loads(shown.stdout)["calls"]] == functions
    stats = tarnwick("stats", "--json", "--store", store, *chosen)
    assert stats.returncode == 0, stats.stderr
    stats = json.loads(stats.stdout)
    assert stats["recorded_calls"] == len(functions)
    assert sorted(f["function"] for f in stats["functions"]) == sorted(set(functions))


def test_calls_of_forked_processes_say_their_run(store):
    shown = tarnwick("show", "--store", store)
    headers = [line for line in shown.stdout.splitlines() if line.startswith("#")]
    assert len(headers) == 4
    assert not any("; run " in h for h in headers[:2])
    assert headers[2].endswith(f"; run {CHILD}]")
    assert headers[3].endswith(f"; run {GRANDCHILD}]")
    stats = tarnwick("stats", "--store", store).stdout
    assert stats.startswith(f"Run: {ROOT} and 2 run(s) of processes it forked   "
                            "(5 run(s) in the store)\n")


@pytest.mark.parametrize("run, message", [
    ("2024", "recording run '2024' is ambiguous (3 match)"),
    ("20240102", "recording run '20240102' is ambiguous (2 match)"),
    ("nothing", "no recording run 'nothing' in the store"),
])
def test_a_run_that_is_not_one_recording_is_refused(store, run, message):
    proc = tarnwick("show", "--store", store, "--run", run)
    assert proc.returncode == 1 and proc.stdout == ""
    assert proc.stderr == f"tarnwick: error: {message}\n"


FORKING = """
    import os, sys

    def f(x):
        return x

    for i in range(3):
        f(i)
    pid = os.fork()
    if pid == 0:
        f("child")
        sys.exit(0)
    os.waitpid(pid, 0)
    f("parent again")
"""


@pytest.mark.recording
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_after_a_fork_the_parents_calls_are_shown_by_default(tmp_path):
    (tmp_path / "main.py").write_text(textwrap.dedent(FORKING))
    store = str(tmp_path / "records.sqlite3")
    proc = tarnwick("record", "--quiet", "--store", store, "main.py", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    records = json.loads(tarnwick("show", "--json", "--store", store).stdout)["calls"]
    shown = sorted((r["arguments_before"]["x"] for r in records), key=repr)
    assert shown == sorted([0, 1, 2, "child", "parent again"], key=repr)
    runs = {r["run"] for r in records}
    assert len(runs) == 2
    stats = json.loads(tarnwick("stats", "--json", "--store", store).stdout)
    assert stats["recorded_calls"] == 5 and len(stats["runs"]) == 2
