"""Generator records become tests that iterate the generator and check the
values it yielded and how it ended; records a test cannot replay are
skipped with their reason."""
import os
import sys

import pytest

from tarnwick_collector.testgen import generate
from test_testgen_generate import _pytest, _run, _test_of, _write

pytestmark = pytest.mark.recording

GENS = """
    import time


    def squares(n, seen):
        for i in range(n):
            seen.append(i)
            yield i * i
        return f"{n} squares"


    def stamped(labels):
        for label in labels:
            yield f"{label}@{int(time.time())}"


    def checked(values):
        for v in values:
            if v < 0:
                raise ValueError("negative", v)
            yield v


    def endless():
        i = 0
        while True:
            yield i
            i += 1


    def chained(n):
        yield from squares(n, [])


    class Words:
        def __iter__(self):
            return iter(["x", "y"])


    def spelled():
        yield from Words()


    def accumulate():
        total = 0
        while True:
            total += yield total
"""

MAIN = """
    from app.gens import accumulate, chained, checked, endless, spelled, squares, stamped

    seen = []
    print(list(squares(3, seen)), seen)
    print(list(stamped(["a", "b"])))
    try:
        list(checked([1, -2]))
    except ValueError as e:
        print("error", e)
    e = endless()
    print([next(e) for _ in range(4)])
    e.close()
    print(list(chained(2)), list(spelled()))
    acc = accumulate()
    next(acc)
    print(acc.send(5))
    acc.close()
"""


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    root = tmp_path_factory.mktemp("recorded_gens")
    project = root / "project"
    _write(project, "app/__init__.py", "")
    _write(project, "app/gens.py", GENS)
    _write(project, "main.py", MAIN)
    store = root / "records.sqlite3"
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    proc = _run([sys.executable, "-m", "tarnwick_collector", "record", "--quiet",
                 "--project-root", str(project), "--store", str(store), "main.py"],
                cwd=project, env=env)
    assert proc.returncode == 0, proc.stderr
    return project, store


def test_generator_records_become_passing_tests(recorded, tmp_path):
    project, store = recorded
    out = tmp_path / "generated"
    report = generate(str(store), str(out), project_root=str(project))
    text = (out / "test_app_gens.py").read_text()

    squares = _test_of(text, "test_squares_yields_3_then_returns_3_squares")
    assert "generator=(3, False)" in squares
    assert "outcome.check_yielded([0, 1, 4])" in squares
    assert "outcome.check_returned('3 squares')" in squares
    assert "check_arguments((3, [0, 1, 2]), {})" in squares
    stamped = _test_of(text, "test_stamped_yields_2")
    assert stamped.count("replay.returns('time.time',") == 2
    checked = _test_of(text, "test_checked_yields_1_then_raises_valueerror")
    assert "check_raised(replay.exc(ValueError, 'negative', -2))" in checked
    endless = _test_of(text, "test_endless_yields_4_then_closed")
    assert "generator=(4, True)" in endless and "check_ending('closed')" in endless

    # Values passed on by a yield from are the generator's own.
    chained = _test_of(text, "test_chained_yields_2_then_returns_none")
    assert "outcome.check_yielded([0, 1])" in chained
    reasons = {s.full_name: s.reason for s in report.skipped}
    assert reasons == {
        "app.gens.spelled": "a generator that delegates with yield from "
                            "(the values it passed on were not seen)",
        "app.gens.accumulate": "a generator driven by send() or throw()",
    }
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert f"{report.tests} passed" in proc.stdout


@pytest.mark.parametrize("old,new,message", [
    ("yield i * i", "yield i + i", "yielded values"),
    ('return f"{n} squares"', 'return n', "returned value"),
    ("        i += 1\n", "        i += 2\n", "yielded values"),
    ("    for i in range(n):\n", "    for i in range(n - 1):\n", "yielded values"),
], ids=["value", "return", "endless", "fewer"])
def test_generated_generator_tests_fail_when_the_generator_changes(
        recorded, tmp_path, old, new, message):
    project, store = recorded
    out = tmp_path / "generated"
    generate(str(store), str(out), project_root=str(project))
    source = project / "app" / "gens.py"
    original = source.read_text()
    assert old in original
    try:
        source.write_text(original.replace(old, new, 1))
        proc = _pytest(out)
    finally:
        source.write_text(original)
    assert proc.returncode == 1, proc.stdout
    assert message in proc.stdout


def test_show_displays_a_generator_record(recorded):
    import json

    project, store = recorded
    base = [sys.executable, "-m", "tarnwick_collector", "show", "--store", str(store)]
    text = _run(base + ["--function", "app.gens.endless"], cwd=project).stdout
    assert "  generator: closed, 4 value(s) yielded\n  yielded:  0, 1, 2, 3\n" in text
    shown = json.loads(_run(base + ["--function", "app.gens.endless", "--json"],
                            cwd=project).stdout)
    assert shown["calls"][0]["generator"]["yielded"] == [0, 1, 2, 3]  # JSON values
    shown = json.loads(_run(base + ["--function", "app.gens.spelled", "--json"],
                            cwd=project).stdout)
    assert shown["calls"][0]["generator"] == {
        "ending": "returned", "yielded": [], "left_out": 0, "refused": 0,
        "refused_types": [], "delegated": 1, "sends": 0, "throws": 0}
    text = _run(base + ["--function", "app.gens.spelled"], cwd=project).stdout
    assert "  generator: returned, 0 value(s) yielded; 1 yield from (values not seen)\n" \
        in text
