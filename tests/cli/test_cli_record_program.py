"""``tarnwick record`` runs a program as ``python SCRIPT`` runs it: the
same ``sys.argv``, ``__file__``, ``sys.path[0]``, tracebacks, exit status,
and exit handlers at the same moment."""
import os
import subprocess
import sys
import textwrap

import pytest


def _recording_available():
    try:
        import tarnwick_collector
        from tarnwick_collector.data_collection import marrowick  # noqa: F401
    except ImportError:
        return False
    return callable(getattr(tarnwick_collector, "start", None))


pytestmark = pytest.mark.skipif(not _recording_available(),
                                reason="the recording core or the tracer is not built")


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
