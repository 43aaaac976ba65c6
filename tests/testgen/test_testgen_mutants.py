"""The tests generated from a recording of the example application catch
small mutations of its functions: each mutant is shown with the generated
tests that fail on it."""
import ast
import os
import shutil
import subprocess
import sys

import pytest

from tarnwick_collector.testgen import generate
from tarnwick_collector.testgen.mutants import caught_by, mutants_of, run_tests

pytestmark = [
    pytest.mark.recording,
    # Mutants are written back as source with ast.unparse (3.9+).
    pytest.mark.skipif(not hasattr(ast, "unparse"), reason="needs ast.unparse (3.9+)"),
]

EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples")

# One mutant of each kind, in functions the recording calls:
# (file, function, kind, what changes).
CHOSEN = [
    ("shop/pricing.py", "line_total", "operator", "* became /"),
    ("shop/catalog.py", "Product.reserve", "comparison", "> became <"),
    ("shop/pricing.py", "discount_for", "constant", "0.25 became 1.25"),
    ("shop/catalog.py", "Product.restock", "removal", "removed `self.stock += quantity`"),
]


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    project = tmp_path_factory.mktemp("mutants") / "examples"
    shutil.copytree(EXAMPLES, project, ignore=shutil.ignore_patterns("__pycache__", "tests"))
    store = project / ".tarnwick" / "records.sqlite3"
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    proc = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "record", "--quiet",
         "--store", str(store), "run_shop.py"],
        cwd=project, capture_output=True, text=True, timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr
    out = project / "tests" / "generated"
    report = generate(str(store), str(out), project_root=str(project))
    return project, out, report


def _find(project, path, function, kind, description):
    for mutant in mutants_of(str(project / path), {function}):
        if mutant.kind == kind and (description is None or mutant.description == description):
            return mutant
    return None


def test_generated_tests_pass_and_catch_mutants(generated, capsys):
    project, out, report = generated
    assert report.tests >= 30
    # Values are laid out one part a line where they would not fit.
    text = (out / "test_shop_orders.py").read_text()
    assert max(len(line) for line in text.splitlines()) <= 99
    clean = run_tests(str(out))
    assert clean["status"] == 0, clean["output"]

    rows = []
    for path, function, kind, description in CHOSEN:
        mutant = _find(project, path, function, kind, description)
        if mutant is None:  # a comparison the function does not have
            continue
        result = caught_by(mutant, str(out))
        rows.append((mutant, result["failed"]))
    with capsys.disabled():
        sys.stdout.write("\n")
        for mutant, failed in rows:
            sys.stdout.write(f"  {os.path.relpath(mutant.path, project)}:{mutant.line} "
                             f"{mutant.function}: {mutant.description}: "
                             f"{'caught by ' + ', '.join(failed) if failed else 'NOT caught'}\n")
    caught = {(m.function, m.kind): bool(failed) for m, failed in rows}
    # These change what the recorded calls return or leave behind.
    assert caught[("line_total", "operator")]
    assert caught[("Product.reserve", "comparison")]
    assert caught[("Product.restock", "removal")]
    # A lucky discount now every time: the recorded draws say no more often.
    assert caught[("discount_for", "constant")]
    # The files are back as they were: the tests pass again.
    assert run_tests(str(out))["status"] == 0


def test_a_mutant_is_taken_back_when_the_run_is_told_to_end(tmp_path):
    # A timeout or a closed terminal sends SIGTERM or SIGHUP, whose default
    # ending runs no cleanup: the program's file must not keep the mutant.
    import signal
    import textwrap
    import time

    source = "def double(x):\n    return 2 * x\n"
    (tmp_path / "calc.py").write_text(source)
    tests = tmp_path / "tests"
    tests.mkdir()
    marker = tmp_path / "started"
    (tests / "test_calc.py").write_text(textwrap.dedent(f"""
        import time
        def test_slow():
            open({str(marker)!r}, "w").close()
            time.sleep(60)
    """))
    # The signals start at their default ending, as in a terminal: a run
    # under nohup ignores SIGHUP, which the runner then leaves alone.
    script = textwrap.dedent(f"""
        import signal
        for sig in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_DFL)
        from tarnwick_collector.testgen.mutants import Mutant, caught_by
        caught_by(Mutant({str(tmp_path / 'calc.py')!r}, "double", 2, "constant",
                         "2 became 3", "def double(x):\\n    return 3 * x\\n"),
                  {str(tests)!r}, 120)
    """)
    for sig in (signal.SIGTERM, signal.SIGHUP):
        marker.unlink(missing_ok=True)
        proc = subprocess.Popen([sys.executable, "-c", script], cwd=tmp_path)
        deadline = time.monotonic() + 60
        while not marker.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        assert "3 * x" in (tmp_path / "calc.py").read_text()
        proc.send_signal(sig)
        assert proc.wait(timeout=60) == 128 + sig
        assert (tmp_path / "calc.py").read_text() == source
