"""The runner `make test` uses: a few failed tests run once more, and the
run passes only when they pass then, each named as failing once."""
import os
import subprocess
import sys
import textwrap

import pytest

RUNNER = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "run_tests.py")


def _suite(tmp_path, body):
    (tmp_path / "test_some.py").write_text(textwrap.dedent(body))
    (tmp_path / "pytest.ini").write_text("[pytest]\n")
    return subprocess.run([sys.executable, RUNNER, "-q", "-p", "no:cacheprovider",
                           str(tmp_path / "test_some.py")],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)


FLAKY = """
    import os

    def test_steady():
        pass

    def test_once():
        mark = os.path.join(os.path.dirname(__file__), "ran")
        first = not os.path.exists(mark)
        open(mark, "a").close()
        assert not first, "failed the first time"
"""


def test_a_test_failing_once_is_run_again_and_named(tmp_path):
    proc = _suite(tmp_path, FLAKY)
    assert proc.returncode == 0, proc.stdout
    out = proc.stdout
    assert "1 failed, 1 passed" in out and "running them once more" in out
    # Only the failed test runs again.
    assert out.rstrip().splitlines()[-1].startswith("    FAILED test_some.py::test_once")
    assert "\n1 passed" in out


@pytest.mark.parametrize("body,status", [
    # Failing again: the run fails.
    ("def test_always():\n    assert False\n", 1),
    # More failures than are run again: the run fails at once.
    ("".join(f"def test_{i}():\n    assert False\n" for i in range(4)), 1),
    # Not a test failure: nothing to run again.
    ("import nowhere_to_be_found\n", 2),
])
def test_failures_that_stay_fail_the_run(tmp_path, body, status):
    proc = _suite(tmp_path, body)
    assert proc.returncode == status, proc.stdout
    assert "Passed when run again" not in proc.stdout


def test_a_crash_after_the_last_test_is_named_with_where_it_happened(tmp_path):
    """All tests passed, then the interpreter crashed while it ended: the
    run fails, says which signal, and shows where."""
    (tmp_path / "conftest.py").write_text(textwrap.dedent("""
        import atexit, ctypes
        atexit.register(lambda: ctypes.string_at(0))
    """))
    proc = _suite(tmp_path, "def test_fine():\n    pass\n")
    assert proc.returncode == 128 + 11, proc.stdout
    assert "1 passed" in proc.stdout
    assert "pytest was killed by SIGSEGV after its last test" in proc.stdout
    assert "Fatal Python error" in proc.stdout
    # A crash during a test is not said to come after the last one.
    (tmp_path / "conftest.py").unlink()
    proc = _suite(tmp_path, "import ctypes\n\ndef test_crash():\n    ctypes.string_at(0)\n")
    assert proc.returncode == 128 + 11, proc.stdout
    assert "pytest was killed by SIGSEGV\n" in proc.stdout
