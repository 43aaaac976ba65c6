"""The ``generate-tests`` command line and the demo's last step."""
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.recording


def tarnwick(*args, cwd):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([sys.executable, "-m", "tarnwick_collector", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=300, env=env)


def run_generated(project):
    """pytest run on the tests generated under `project`."""
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           str(project / "tests" / "generated")], cwd=project,
                          capture_output=True, text=True, timeout=300)


def test_generate_tests_writes_under_the_project_and_reports(tmp_path):
    (tmp_path / "calc.py").write_text(textwrap.dedent("""
        import threading

        def add(a, b):
            return a + b

        def hold(lock):
            with lock:
                return 1
    """))
    (tmp_path / "main.py").write_text(
        "import threading\nimport calc\ncalc.add(1, 2)\ncalc.add(1, 2)\ncalc.add(2, 2)\n"
        "calc.hold(threading.Lock())\n")
    assert tarnwick("record", "--quiet", "main.py", cwd=tmp_path).returncode == 0

    proc = tarnwick("generate-tests", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout.splitlines()
    assert out[0] == f"wrote {os.path.join('tests', 'generated', 'test_calc.py')}: 2 test(s)"
    assert "skipped 1 recorded call(s):" in out
    assert "  needs a value the recorder replaced by a placeholder: 1" in out
    assert any(line.startswith("    #") and "calc.hold (_thread.lock in the arguments)" in line
               for line in out)
    assert out[-1] == ("4 recorded call(s): 2 test(s) written, 1 repeated call(s) folded "
                       "into them, 0 over the per-function limit, 1 skipped")
    proc = run_generated(tmp_path)
    assert "2 passed" in proc.stdout, proc.stdout

    again = tarnwick("generate-tests", "--function", "add", cwd=tmp_path)
    assert "replaced 3 file(s) an earlier run wrote" in again.stdout
    # From elsewhere, the store is found under the project root, like `record`'s.
    elsewhere = tarnwick("generate-tests", "--project-root", str(tmp_path), "--out",
                         str(tmp_path / "other"), cwd=tmp_path.parent)
    assert elsewhere.returncode == 0, elsewhere.stderr
    assert (tmp_path / "other" / "test_calc.py").exists()


def test_generate_tests_usage_errors(tmp_path):
    proc = tarnwick("generate-tests", "--store", str(tmp_path / "none.sqlite3"), cwd=tmp_path)
    assert (proc.returncode, proc.stdout) == (1, "")
    assert "error: no store at" in proc.stderr
    proc = tarnwick("generate-tests", "--per-function", "0", cwd=tmp_path)
    assert proc.returncode == 2 and "must be at least 1" in proc.stderr


def test_demo_ends_by_running_the_tests_generated_from_its_recording(tmp_path):
    proc = tarnwick("demo", "--store", str(tmp_path / "demo.sqlite3"), cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    step = proc.stdout.split("[4/4]", 1)[1]
    assert "wrote " in step and "test_shop_pricing.py" in step
    assert "replay.returns('random.Random.random'" in step
    assert " passed in " in step and "failed" not in step
    assert (tmp_path / "demo-tests" / "test_shop_catalog.py").exists()


def test_classes_of_the_main_script_are_named_by_its_module(tmp_path):
    (tmp_path / "main.py").write_text(textwrap.dedent("""
        class Point:
            def __init__(self, x, y):
                self.x, self.y = x, y


        def norm(p):
            return abs(p.x) + abs(p.y)


        if __name__ == "__main__":
            norm(Point(1, -2))
    """))
    assert tarnwick("record", "--quiet", "main.py", cwd=tmp_path).returncode == 0
    assert tarnwick("generate-tests", cwd=tmp_path).returncode == 0
    text = (tmp_path / "tests" / "generated" / "test_main.py").read_text()
    assert "args=(replay.obj(main.Point, x=1, y=-2),)" in text
    proc = run_generated(tmp_path)
    assert "2 passed" in proc.stdout, proc.stdout


def test_a_library_tested_by_its_own_test_module_keeps_both_importable(tmp_path):
    # `test_calc` is the project's own test module and is recorded too: the
    # generated tests of `calc` must not take its name, or replaying
    # test_calc's functions finds the generated module in its place.
    (tmp_path / "calc.py").write_text("def double(x):\n    return 2 * x\n")
    (tmp_path / "test_calc.py").write_text(
        "import calc\n\ndef check_double():\n    return calc.double(4)\n")
    (tmp_path / "main.py").write_text("import test_calc\ntest_calc.check_double()\n")
    assert tarnwick("record", "--quiet", "main.py", cwd=tmp_path).returncode == 0
    test_dir = tmp_path / "tests" / "generated"
    # By default the test module's function is left out, and said to be.
    proc = tarnwick("generate-tests", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert sorted(p.name for p in test_dir.glob("test_*.py")) == ["test_calc_generated.py"]
    out = proc.stdout.splitlines()
    assert "left out: functions of the test suite (test_*.py, *_test.py, conftest.py): " \
        "1 recorded call(s)" in out
    assert "skipped 0.0% of the program's own 1 call(s); skipped or left out 50.0% of " \
        "all 2" in out
    assert out[-1].endswith("0 skipped, 1 left out (test suite)")

    proc = tarnwick("generate-tests", "--test-suite", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "left out" not in proc.stdout
    assert sorted(p.name for p in test_dir.glob("test_*.py")) == [
        "test_calc_generated.py", "test_test_calc.py"]
    # Run from elsewhere with a relative path, as the mutant runner is given.
    from tarnwick_collector.testgen.mutants import run_tests
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        result = run_tests(os.path.join("tests", "generated"))
    finally:
        os.chdir(cwd)
    assert result["status"] == 0 and "2 passed" in result["summary"], result["output"]


def test_modules_imported_from_another_directory_of_the_project_are_found(tmp_path):
    # pytest puts a test directory without __init__.py on the path of its
    # own: its modules are recorded by their bare names.
    (tmp_path / "checks").mkdir()
    (tmp_path / "checks" / "helpers.py").write_text("def triple(x):\n    return 3 * x\n")
    (tmp_path / "calc.py").write_text("def double(x):\n    return 2 * x\n")
    (tmp_path / "main.py").write_text(
        "import os, sys\nimport calc\ncalc.double(1)\n"
        "sys.path.insert(0, os.path.join(os.path.dirname(__file__), 'checks'))\n"
        "import helpers\nhelpers.triple(2)\n")
    assert tarnwick("record", "--quiet", "main.py", cwd=tmp_path).returncode == 0
    assert tarnwick("generate-tests", cwd=tmp_path).returncode == 0
    proc = run_generated(tmp_path)
    assert "2 passed" in proc.stdout, proc.stdout


def test_a_function_made_at_run_time_is_skipped_not_named(tmp_path):
    (tmp_path / "maker.py").write_text(textwrap.dedent("""
        def make(body):
            ns = {}
            exec("def made():\\n    return " + body, globals(), ns)
            return ns["made"]

        def double(x):
            return 2 * x
    """))
    (tmp_path / "main.py").write_text("import maker\nmaker.make('1')\nmaker.double(2)\n")
    assert tarnwick("record", "--quiet", "main.py", cwd=tmp_path).returncode == 0
    proc = tarnwick("generate-tests", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "maker.made, which its module does not define by that name" in proc.stdout
    assert "1 test(s) written" in proc.stdout


def test_external_calls_of_project_code_under_another_import_directory_are_served(tmp_path):
    # `checks` is imported from a directory of its own; the library it
    # calls lies elsewhere in the project: its clock read is still served
    # from the record, not made for real.
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "__init__.py").write_text("")
    (tmp_path / "lib" / "clock.py").write_text(
        "import time\n\ndef now():\n    return time.time()\n")
    (tmp_path / "checks").mkdir()
    (tmp_path / "checks" / "stamps.py").write_text(
        "from lib import clock\n\ndef stamp():\n    return round(clock.now()) % 1000 < 0\n")
    (tmp_path / "main.py").write_text(
        "import os, sys\n"
        "sys.path.insert(0, os.path.join(os.path.dirname(__file__), 'checks'))\n"
        "import stamps\nstamps.stamp()\n")
    assert tarnwick("record", "--quiet", "main.py", cwd=tmp_path).returncode == 0
    assert tarnwick("generate-tests", "--function", "stamp", cwd=tmp_path).returncode == 0
    text = (tmp_path / "tests" / "generated" / "test_stamps.py").read_text()
    assert "replay.returns('time.time'" in text
    proc = run_generated(tmp_path)
    assert "1 passed" in proc.stdout, proc.stdout


@pytest.mark.parametrize("made_again", [True, False])
def test_a_value_kept_as_its_pickle_that_names_a_lambda(tmp_path, made_again):
    # The shared list makes the value a data-file pickle, which names the
    # lambda when loaded: made again from the module's code, unless it
    # reads a variable of the function around it.
    (tmp_path / "shapes.py").write_text(textwrap.dedent("""
        def pair(n):
            box = [lambda: %s]
            return box, box
    """ % ("1" if made_again else "n")))
    (tmp_path / "main.py").write_text("import shapes\nshapes.pair(1)\n")
    assert tarnwick("record", "--quiet", "main.py", cwd=tmp_path).returncode == 0
    proc = tarnwick("generate-tests", cwd=tmp_path)
    if not made_again:
        assert "needs a function or class that cannot be found by name: 1" in proc.stdout
        assert "0 test(s) written" in proc.stdout
        return
    assert "1 test(s) written" in proc.stdout
    assert "replay.load(DATA" in (tmp_path / "tests" / "generated" / "test_shapes.py").read_text()
    proc = run_generated(tmp_path)
    assert "1 passed" in proc.stdout, proc.stdout


def test_a_global_naming_a_lambda_is_left_as_defined_and_the_test_says_so(tmp_path):
    (tmp_path / "units.py").write_text(textwrap.dedent("""
        CONVERT = {"km": lambda x: x * 1000}

        def to_metres(unit, x):
            return CONVERT[unit](x)
    """))
    (tmp_path / "main.py").write_text("import units\nunits.to_metres('km', 2)\n")
    assert tarnwick("record", "--quiet", "main.py", cwd=tmp_path).returncode == 0
    assert tarnwick("generate-tests", cwd=tmp_path).returncode == 0
    text = (tmp_path / "tests" / "generated" / "test_units.py").read_text()
    assert ("Left as the program defines them (recorded naming code not found by "
            "name): CONVERT (units.<lambda>).") in text
    assert "globals_used" not in text
    proc = run_generated(tmp_path)
    assert "1 passed" in proc.stdout, proc.stdout
