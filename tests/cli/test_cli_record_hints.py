"""``tarnwick record`` says what kept the project's code from being recorded:
a script outside the project root, or test modules that pytest's assertion
rewriting loaded before the recorder could instrument them."""
import subprocess
import sys

import pytest

pytestmark = pytest.mark.recording


def record(cwd, *args):
    return subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "record", "-q", *args],
        cwd=cwd, capture_output=True, text=True, timeout=300)


def test_a_script_outside_the_project_root_is_named(tmp_path):
    (tmp_path / "proj").mkdir()
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "elsewhere" / "s.py").write_text("def f():\n    return 1\nprint(f())\n")
    done = record(tmp_path / "proj", "../elsewhere/s.py")
    assert done.returncode == 0 and done.stdout == "1\n"
    assert (f"no module of the project was instrumented, so no call could be "
            f"recorded: the project root is {tmp_path / 'proj'} and the script "
            f"lies in {tmp_path / 'elsewhere'}") in done.stderr
    # Inside the root: nothing to say.
    done = record(tmp_path / "elsewhere", "s.py")
    assert done.returncode == 0 and done.stderr == ""


def test_test_modules_rewritten_by_pytest_are_named(tmp_path):
    (tmp_path / "tests").mkdir()
    (tmp_path / "lib.py").write_text("def add(a, b):\n    return a + b\n")
    (tmp_path / "tests" / "test_a.py").write_text(
        "from lib import add\n\ndef test_add():\n    assert add(1, 2) == 3\n")
    done = record(tmp_path, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests")
    assert done.returncode == 0, done.stdout + done.stderr
    assert ("pytest's assertion rewriting loaded 1 test module(s) of the project "
            "(test_a), so their functions were not recorded; run pytest with "
            "--assert=plain to record them too") in done.stderr
    done = record(tmp_path, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                  "--assert=plain", "tests")
    assert done.returncode == 0 and "assertion rewriting" not in done.stderr
