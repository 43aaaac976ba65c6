"""A recorded program stopped by an uncaught KeyboardInterrupt ends as the
interpreter ends it: by SIGINT, after its exit handlers ran and the
interpreter finalized, with its own traceback, and its calls recorded."""
import os
import signal
import sqlite3
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(os.name != "posix", reason="ends by a signal")

PROGRAM = """
    import atexit
    import signal
    import os
    from work import step

    atexit.register(lambda: print("exit handler ran", flush=True))
    print(step(1), flush=True)
    {stop}
"""

STOPS = {
    "raise": "raise KeyboardInterrupt",
    "ctrl-c": "os.kill(os.getpid(), signal.SIGINT); import time; time.sleep(5)",
    "in a function": "def stop():\n    raise KeyboardInterrupt\nstop()",
}


def _default_sigint():
    # A suite started in the background inherits SIGINT ignored, and so
    # would the programs; they must see it as from a terminal.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run(cwd, *args):
    return subprocess.run([sys.executable, *args], cwd=str(cwd),
                          capture_output=True, text=True, timeout=120,
                          preexec_fn=_default_sigint)


@pytest.mark.parametrize("stop", sorted(STOPS))
def test_interrupted_program_ends_by_sigint_as_without_recording(tmp_path, stop):
    (tmp_path / "work.py").write_text("def step(i):\n    return i + 1\n")
    (tmp_path / "prog.py").write_text(
        textwrap.dedent(PROGRAM).format(stop=STOPS[stop]))
    plain = run(tmp_path, "prog.py")
    assert plain.returncode == -signal.SIGINT
    store = str(tmp_path / "records.sqlite3")
    recorded = run(tmp_path, "-m", "tarnwick_collector", "record", "--quiet",
                   "--store", store, "prog.py")
    assert (recorded.returncode, recorded.stdout, recorded.stderr) == \
        (plain.returncode, plain.stdout, plain.stderr)
    assert recorded.stdout == "2\nexit handler ran\n"
    assert "KeyboardInterrupt" in recorded.stderr
    conn = sqlite3.connect(store)
    try:
        names = [n for (n,) in conn.execute("SELECT full_name FROM data_messages")]
    finally:
        conn.close()
    assert "work.step" in names


def test_summary_line_comes_before_the_end(tmp_path):
    (tmp_path / "work.py").write_text("def step(i):\n    return i + 1\n")
    (tmp_path / "prog.py").write_text(
        textwrap.dedent(PROGRAM).format(stop=STOPS["raise"]))
    recorded = run(tmp_path, "-m", "tarnwick_collector", "record", "--store",
                   str(tmp_path / "records.sqlite3"), "prog.py")
    assert recorded.returncode == -signal.SIGINT
    last = recorded.stderr.splitlines()[-1]
    assert last.startswith("tarnwick: recorded ") and " calls " in last
