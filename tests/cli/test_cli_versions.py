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


def test_demo_runs_from_an_installed_package(tmp_path):
    # What a wheel holds: the two packages, the example application in
    # tarnwick_collector/_demo, no source checkout around them.
    import shutil

    import tarnwick_collector

    src = os.path.dirname(os.path.dirname(os.path.abspath(tarnwick_collector.__file__)))
    site = tmp_path / "site"
    ignore = shutil.ignore_patterns("__pycache__", "*.cpp", "*.hpp")
    for package in ("tarnwick_collector", "tarnwick_common"):
        shutil.copytree(os.path.join(src, package), str(site / package), ignore=ignore)
    shutil.copytree(os.path.join(os.path.dirname(src), "examples"),
                    str(site / "tarnwick_collector" / "_demo"), ignore=ignore)
    work = tmp_path / "work"
    work.mkdir()
    env = dict(os.environ, PYTHONPATH=str(site))
    proc = subprocess.run([sys.executable, "-m", "tarnwick_collector", "demo"],
                          cwd=str(work), env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "order 1: 2 x notebook, 5 x pen" in proc.stdout
    assert "shop.orders.place_order(" in proc.stdout
    # The recording lands in the working directory, not in site-packages.
    assert (work / ".tarnwick" / "demo.sqlite3").is_file()
    assert not (site / ".tarnwick").exists()


def test_the_make_route_installs_a_working_tarnwick_command(tmp_path):
    # tools/develop.py is what `make develop` runs; in a fresh virtual
    # environment it leaves a `tarnwick` command, and running it again
    # changes nothing.
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True,
                   timeout=120)
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    first = subprocess.run([python, os.path.join(root, "tools", "develop.py")], env=env,
                           capture_output=True, text=True, timeout=60)
    assert first.returncode == 0, first.stderr
    again = subprocess.run([python, os.path.join(root, "tools", "develop.py")], env=env,
                           capture_output=True, text=True, timeout=60)
    assert (again.returncode, again.stdout) == (0, "")
    proc = subprocess.run([str(venv / "bin" / "tarnwick"), "--version"], env=env,
                          cwd=str(tmp_path), capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("tarnwick ")
