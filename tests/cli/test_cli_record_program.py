"""``tarnwick record`` runs a program as ``python SCRIPT`` runs it: the
same ``sys.argv``, ``__file__``, ``sys.path[0]``, tracebacks, exit status,
and exit handlers at the same moment."""
import json
import signal
import subprocess
import sys
import textwrap

import pytest


pytestmark = pytest.mark.recording


def run(cwd, *args, timeout=120):
    return subprocess.run([sys.executable, *args], cwd=str(cwd), capture_output=True,
                          text=True, timeout=timeout)


def plain_and_recorded(cwd, *program):
    plain = run(cwd, *program)
    recorded = run(cwd, "-m", "tarnwick_collector", "record", "--quiet",
                   "--store", str(cwd / "records.sqlite3"), *program)
    return plain, recorded


def outcome(proc):
    return proc.returncode, proc.stdout, proc.stderr


WHERE_AM_I = """
    import sys
    print("argv", sys.argv)
    print("file", __file__)
    print("path0", sys.path[0])
    print("code", sys._getframe().f_code.co_filename)
    print("main", sys.modules["__main__"].__dict__ is globals())
    print("names", [n for n in globals() if n.startswith("__")])
    def fail():
        raise LookupError("from " + __name__)
    fail()
"""


@pytest.fixture
def scripts(tmp_path):
    code = textwrap.dedent(WHERE_AM_I)
    (tmp_path / "prog.py").write_text(code)
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "s.py").write_text(code)
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "__main__.py").write_text(code)
    (tmp_path / "link.py").symlink_to(tmp_path / "sub" / "s.py")
    return tmp_path


@pytest.mark.parametrize("script", [
    "prog.py", "./prog.py", "sub/s.py", "./sub//s.py", "sub/../prog.py", "link.py",
    "app", "./app", "{root}/prog.py",
])
def test_the_program_sees_what_python_script_shows_it(scripts, script):
    script = script.format(root=scripts)
    plain, recorded = plain_and_recorded(scripts, script, "one", "--two")
    assert f"argv [{script!r}, 'one', '--two']" in plain.stdout
    assert "LookupError: from __main__" in plain.stderr
    assert outcome(recorded) == outcome(plain)


def test_a_module_sees_what_python_m_shows_it(scripts):
    plain, recorded = plain_and_recorded(scripts, "-m", "sub.s", "arg")
    assert "LookupError: from __main__" in plain.stderr
    assert outcome(recorded) == outcome(plain)


# --- exit handlers ------------------------------------------------------------

EXITING = """
    import atexit, sys, threading, time
    from work import mark

    def first():
        print("first handler", mark("first"), flush=True)

    def last():
        print("last handler", mark("last"), flush=True)

    atexit.register(last)
    atexit.register(first)
    print("main", mark("main"), flush=True)
    {body}
"""

THREAD = """
def late():
    time.sleep(0.3)
    print("thread done", mark("thread"), flush=True)
threading.Thread(target=late).start()
"""
POOL = """
from concurrent.futures import ThreadPoolExecutor
pool = ThreadPoolExecutor(2)
print("pooled", pool.submit(mark, "pool").result(), flush=True)
"""

# name: (end of the program, marks its recorded calls leave)
ENDINGS = {
    "normal end": ("", {"main", "first", "last"}),
    "exit status": ("sys.exit(3)", {"main", "first", "last"}),
    "exit message": ("sys.exit('fatal: reason')", {"main", "first", "last"}),
    "uncaught error": ("raise KeyError('k')", {"main", "first", "last"}),
    "failing handler": ("atexit.register(lambda: 1 / 0)", {"main", "first", "last"}),
    "handler that exits": ("atexit.register(sys.exit, 5)", {"main", "first", "last"}),
    "handler unregistered": ("atexit.unregister(last)", {"main", "first"}),
    "handler registered in a handler": (
        "atexit.register(lambda: atexit.register(mark, 'never'))", {"main", "first", "last"}),
    "thread outlives the program": (THREAD, {"main", "thread", "first", "last"}),
    "pool not shut down": (POOL, {"main", "pool", "first", "last"}),
}


def without_addresses(text):
    import re

    return re.sub(r" at 0x[0-9a-f]+", " at 0x?", text)


@pytest.mark.parametrize("ending", sorted(ENDINGS))
def test_exit_handlers_run_recorded_as_the_interpreter_runs_them(tmp_path, ending):
    body, marks = ENDINGS[ending]
    (tmp_path / "work.py").write_text("def mark(tag):\n    return tag.upper()\n")
    (tmp_path / "prog.py").write_text(textwrap.dedent(EXITING).replace("{body}", body))
    plain = run(tmp_path, "prog.py", timeout=60)
    assert "first handler FIRST" in plain.stdout
    store = str(tmp_path / "records.sqlite3")
    recorded = run(tmp_path, "-m", "tarnwick_collector", "record", "--quiet",
                   "--store", store, "prog.py", timeout=60)
    assert (recorded.returncode, recorded.stdout, without_addresses(recorded.stderr)) == \
        (plain.returncode, plain.stdout, without_addresses(plain.stderr))
    shown = run(tmp_path, "-m", "tarnwick_collector", "show", "--json", "--store", store)
    records = json.loads(shown.stdout)["calls"]
    tags = [r["arguments_before"]["tag"] for r in records
            if r["function"] == "work.mark"]
    assert sorted(tags) == sorted(marks)


SIGNAL_TIMEOUT = """
    import signal
    import time

    def on_alarm(signum, frame):
        raise TimeoutError("too slow")

    def tick(i):
        return i + 1

    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    end = time.monotonic() + 5
    try:
        i = 0
        while time.monotonic() < end:
            i = tick(i)
        print("alarm lost")
    except TimeoutError as exc:
        print("timed out:", exc)
"""


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.skipif(
    sys.version_info >= (3, 12),
    reason="known limit: 3.12+ run signal handlers right after calls, so a handler's "
           "exception can land between the channel taking its lock and giving it back")
def test_what_a_signal_handler_raises_reaches_the_program(tmp_path):
    # The alarm nearly always lands while the recorder is at work (a call of
    # tick costs far more recorded than plain): what the handler raises
    # there is the program's, not a failure of the recorder to absorb.
    # The handler's exception can also cut short the recorder's send of a
    # message, which is then reported as lost: the program's outcome is
    # what must not change.
    (tmp_path / "prog.py").write_text(textwrap.dedent(SIGNAL_TIMEOUT))
    plain, recorded = plain_and_recorded(tmp_path, "prog.py")
    assert outcome(recorded)[:2] == outcome(plain)[:2]
    assert plain.stdout == "timed out: too slow\n"
    assert all(line.startswith("tarnwick: ") and "lost in transit" in line
               for line in recorded.stderr.splitlines()), recorded.stderr


@pytest.mark.parametrize("change", [
    "sys.stderr = None", "sys.stderr.close()", "sys.stderr = io.StringIO()",
])
def test_the_summary_reaches_the_stderr_record_started_with(tmp_path, change):
    (tmp_path / "prog.py").write_text(
        f"import io, sys\ndef f():\n    return 1\nf()\nprint('done')\n{change}\n")
    plain = run(tmp_path, "prog.py")
    recorded = run(tmp_path, "-m", "tarnwick_collector", "record",
                   "--store", str(tmp_path / "records.sqlite3"), "prog.py")
    assert (recorded.returncode, recorded.stdout) == (plain.returncode, plain.stdout)
    assert recorded.stderr.startswith("tarnwick: recorded 1 calls"), recorded.stderr
