"""A recorded program prints what it prints unrecorded, with every warning
shown, on each Python version: nothing the recorder does behind it (reading
a code object's deprecated attributes, threads of its own at a fork, running
near the recursion limit) shows up."""
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.recording


PROGRAMS = {
    # A code object among the recorded values: its co_lnotab warns (3.12+).
    "code object": """
        def code_of(fn):
            return fn.__code__

        def holder(fn):
            class Box:
                pass
            box = Box()
            box.code = fn.__code__
            return box

        print(code_of(code_of).co_name, type(holder(code_of).code).__name__)
    """,
    # A recorded function that catches RecursionError. Before 3.10 a
    # RecursionError the recorder contained near the limit left the thread
    # "overflowed" and the program's recursion then aborted the process.
    "recursion": """
        import json

        def deep(n):
            return deep(n + 1)

        def deep_calling_out(n):
            json.dumps(n)
            return deep_calling_out(n + 1)

        def catcher(fn):
            try:
                fn(0)
            except RecursionError:
                return True

        print([catcher(deep) for _ in range(3)], catcher(deep_calling_out))
    """,
    # A fork while the channels' writers run (3.12+ warns at a fork in a
    # multi-threaded process).
    "fork": """
        import os

        def work(n):
            return n + 1

        for i in range(50):
            work(i)
        for _ in range(2):
            pid = os.fork()
            if pid == 0:
                work(0)
                os._exit(0)
            os.waitpid(pid, 0)
        print(work(1))
    """,
}


@pytest.mark.parametrize("name", sorted(PROGRAMS))
def test_output_and_warnings_are_the_programs(tmp_path, name):
    if name == "fork" and not hasattr(os, "fork"):
        pytest.skip("needs fork")
    script = tmp_path / "prog.py"
    script.write_text(textwrap.dedent(PROGRAMS[name]))
    flags = ["-W", "always"]
    plain = subprocess.run([sys.executable, *flags, str(script)], cwd=str(tmp_path),
                           capture_output=True, text=True, timeout=120)
    recorded = subprocess.run(
        [sys.executable, *flags, "-m", "tarnwick_collector", "record", "--quiet",
         "--store", str(tmp_path / "s.sqlite3"), str(script)],
        cwd=str(tmp_path), capture_output=True, text=True, timeout=300)
    assert plain.returncode == 0, plain.stderr
    assert (recorded.returncode, recorded.stdout, recorded.stderr) == \
        (0, plain.stdout, plain.stderr)
