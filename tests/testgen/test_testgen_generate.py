"""``tarnwick generate-tests`` on recorded programs: the tests it writes pass
on the program as recorded and fail, clearly, when the program changes."""
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

from tarnwick_collector import replay
from tarnwick_collector.testgen import HEADER, generate
from tarnwick_collector.testgen.reader import (
    NOT_BY_NAME,
    RECEIVER_LOST,
    is_test_suite_module,
)

pytestmark = pytest.mark.recording

CORE = """
    import json
    import os
    import random
    import re
    import threading
    import time

    if os.environ.get("APP_IMPORT_MARK"):
        with open(os.environ["APP_IMPORT_MARK"], "a") as fh:
            fh.write("imported\\n")

    RATE = 3
    WORD = re.compile(r"\\w+")
    LOCK = threading.Lock()


    class Config:
        def __init__(self):
            self.factor = 2
            self.name = "cfg"


    CONFIG = Config()


    class Overdrawn(Exception):
        def __init__(self, owner, missing):
            super().__init__(f"{owner} is short by {missing}")
            self.missing = missing


    class Account:
        def __init__(self, owner, balance=0):
            self.owner = owner
            self.balance = balance
            self.history = []

        def deposit(self, amount):
            if amount <= 0:
                raise ValueError("amount must be positive", amount)
            self.balance += amount
            self.history.append(amount)
            return self.balance

        def interest(self):
            return self.balance * RATE // 100


    def withdraw(account, amount):
        if amount > account.balance:
            raise Overdrawn(account.owner, amount - account.balance)
        account.balance -= amount
        return account.balance


    def scaled(values):
        return [v * CONFIG.factor for v in values]


    def add_all(target, items):
        target.extend(items)
        return len(target)


    def stamp(label):
        return f"{label}@{int(time.time())}"


    def read_settings(path):
        try:
            with open(path) as fh:
                return json.load(fh)
        except FileNotFoundError:
            return {}


    def lucky():
        return random.randint(1, 6) * 10


    def words(text):
        return WORD.findall(text)


    def locked_double(value):
        with LOCK:
            return 2 * value


    def guarded(lock, value):
        with lock:
            return value
"""

MAIN = """
    import threading

    from app import core


    def main():
        other = core.Account("bob")
        for amount in (1, 2, 3):
            other.deposit(amount)
        core.RATE = 5
        account = core.Account("ann", 100)
        account.deposit(50)
        try:
            account.deposit(-1)
        except ValueError:
            pass
        account.interest()
        core.withdraw(account, 30)
        try:
            core.withdraw(account, 1000)
        except core.Overdrawn:
            pass
        core.scaled([1, 2])
        core.scaled([1, 2])
        core.add_all([1], [2, 3])
        core.stamp("x")
        core.read_settings("/nonexistent/settings.json")
        core.lucky()
        core.guarded(threading.Lock(), 7)
        core.words("a bc")
        core.locked_double(4)


    main()
"""


def _write(root, name, code):
    path = root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(code))
    return path


def _run(args, cwd, env=None):
    return subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=300,
                          env=env)


def _pytest(test_dir):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    return _run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                 "--tb=short", "-rf", str(test_dir)], cwd=test_dir, env=env)


def _tests_that_pass(project, tmp_path, module_file):
    """Records the project's main.py, generates its tests and runs them:
    they must all pass. The text of the generated ``module_file``."""
    store = _record(project, tmp_path / "s.sqlite3")
    out = tmp_path / "generated"
    generate(str(store), str(out), project_root=str(project))
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout
    assert "failed" not in proc.stdout
    return (out / module_file).read_text()


def _record(project, store, *options):
    """Records the project's main.py into ``store``."""
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    proc = _run([sys.executable, "-m", "tarnwick_collector", "record", "--quiet", *options,
                 "--project-root", str(project), "--store", str(store), "main.py"],
                cwd=project, env=env)
    assert proc.returncode == 0, proc.stderr
    return store


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    root = tmp_path_factory.mktemp("recorded")
    project = root / "project"
    _write(project, "app/__init__.py", "")
    _write(project, "app/core.py", CORE)
    _write(project, "main.py", MAIN)
    return project, _record(project, root / "records.sqlite3")


def _generate(recorded, out, **kwargs):
    project, store = recorded
    return generate(str(store), str(out), project_root=str(project), **kwargs)


def _test_of(text, name_start):
    """The text of the first generated test whose name starts so."""
    for block in text.split("\n\n\n"):
        if block.startswith("def " + name_start):
            return block
    raise AssertionError(f"no test {name_start}... in:\n{text}")


def test_generated_tests_rebuild_each_kind_of_call_and_pass(recorded, tmp_path):
    out = tmp_path / "generated"
    report = _generate(recorded, out)
    text = (out / "test_app_core.py").read_text()
    assert text.startswith(HEADER + "\n")

    # An initializer runs on a new instance, and the instance it built is
    # checked; a method runs on its rebuilt receiver.
    init = _test_of(text, "test_account_init_builds_account_with_owner_ann")
    assert "init=True" in init and "args=('ann', 100)" in init
    assert "check_built(replay.obj(app.core.Account, owner='ann', balance=100, " \
        "history=[]))" in init
    deposit = _test_of(text, "test_account_deposit_returns_150")
    assert "replay.obj(app.core.Account, owner='ann', balance=100, history=[])" in deposit
    assert "balance=150, history=[50]" in deposit  # the receiver after the call
    # Exceptions: raised by the function, by its callee, by an external call.
    assert "check_raised(replay.exc(ValueError, 'amount must be positive', -1))" in text
    assert "replay.exc(app.core.Overdrawn, 'ann is short by 880', missing=880)" in text
    settings = _test_of(text, "test_read_settings")
    assert "replay.raises('io.open', replay.exc(FileNotFoundError" in settings
    # Globals: a plain value as the call saw it, attributes of an object.
    assert "globals_used={'RATE': 5}" in _test_of(text, "test_account_interest")
    assert "replay.attrs(factor=2)" in _test_of(text, "test_scaled")
    # A changed argument is checked after the call.
    assert "check_arguments(([1, 2, 3], [2, 3]), {})" in _test_of(text, "test_add_all")
    assert "replay.returns('time.time'," in _test_of(text, "test_stamp")
    assert "replay.returns('random.Random.randint'," in _test_of(text, "test_lucky")
    # A global the recorder could not store is the program's own.
    assert "Left as the program defines them (not recorded): LOCK (_thread.lock)." in \
        _test_of(text, "test_locked_double")
    assert "globals_used" not in _test_of(text, "test_locked_double")

    # Equal calls are one test; a call with a placeholder is none.
    assert report.duplicates == 1
    assert text.count("def test_scaled") == 1
    assert [(s.full_name, s.reason) for s in report.skipped] == [
        ("app.core.guarded", "needs a value the recorder replaced by a placeholder")]
    assert "_thread.lock" in report.skipped[0].detail
    lines = "\n".join(report.lines())
    assert "needs a value the recorder replaced by a placeholder: 1" in lines
    assert "#" in lines and "app.core.guarded" in lines

    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert f"{report.tests} passed" in proc.stdout


CHANGES = [
    # (what the program now does, the old text, the new text, what the failure says)
    ("deposits twice", "self.balance += amount\n",
     "self.balance += 2 * amount\n", "returned value"),
    ("words its exception differently", 'f"{owner} is short by {missing}"',
     'f"{owner} lacks {missing}"', "exception arguments"),
    ("reads the clock twice", "int(time.time())}\"",
     "int(time.time())}{time.time()}\"", "made an external call the record does not hold"),
    ("no longer changes its argument", "target.extend(items)\n",
     "target = target + items\n", "arguments after the call"),
    ("stops reading the clock", "int(time.time())}\"", "0}\"",
     "did not make the recorded external call(s) time.time"),
    ("ignores the rate", "self.balance * RATE // 100", "self.balance * 3 // 100",
     "returned value"),
]


@pytest.mark.parametrize("what,old,new,message", CHANGES, ids=[c[0] for c in CHANGES])
def test_generated_tests_fail_clearly_when_the_program_changes(
        recorded, tmp_path, what, old, new, message):
    project, store = recorded
    copy = tmp_path / "project"
    _write(copy, "app/__init__.py", "")
    core = textwrap.dedent(CORE)
    assert old in core
    _write(copy, "app/core.py", core.replace(old, new, 1))
    _write(copy, "main.py", MAIN)
    out = tmp_path / "generated"
    generate(str(store), str(out), project_root=str(project))
    # The generated tests find the project through their conftest: point it
    # at the changed copy.
    conftest = out / "conftest.py"
    conftest.write_text(conftest.read_text().replace(
        repr([os.path.relpath(project, out)]), repr([str(copy)])))
    proc = _pytest(out)
    assert proc.returncode == 1, proc.stdout
    assert message in proc.stdout, proc.stdout


def test_generation_imports_and_runs_nothing_of_the_program(recorded, tmp_path,
                                                            monkeypatch):
    mark = tmp_path / "imported"
    monkeypatch.setenv("APP_IMPORT_MARK", str(mark))
    before = set(sys.modules)
    _generate(recorded, tmp_path / "generated")
    assert not mark.exists()
    assert not [m for m in set(sys.modules) - before if m == "app" or m.startswith("app.")]


def test_rerun_replaces_only_the_files_it_wrote(recorded, tmp_path):
    out = tmp_path / "generated"
    first = _generate(recorded, out)
    assert not first.replaced
    mine = out / "test_handwritten.py"
    mine.write_text("def test_mine():\n    pass\n")
    stale = out / "test_gone_module.py"
    stale.write_text(HEADER + "\n")
    second = _generate(recorded, out)
    assert sorted(os.path.basename(p) for p in second.replaced) == [
        "conftest.py", "pytest.ini", "test_app_core.py", "test_main.py"]
    assert [os.path.basename(p) for p in second.removed] == ["test_gone_module.py"]
    assert mine.read_text() == "def test_mine():\n    pass\n"
    assert "replaced 4 file(s) an earlier run wrote" in "\n".join(second.lines())

    # A file of the same name that the generator did not write is left alone,
    # and its calls are listed as skipped.
    (out / "test_app_core.py").write_text("# my own tests\n")
    third = _generate(recorded, out)
    assert (out / "test_app_core.py").read_text() == "# my own tests\n"
    assert third.left_alone == [str(out / "test_app_core.py")]
    assert third.tests == 1  # main.main
    assert {s.full_name.split(".")[0] for s in third.skipped
            if s.reason.startswith("a file of that name exists")} == {"app"}


def test_per_function_limit_and_function_filter(recorded, tmp_path):
    report = _generate(recorded, tmp_path / "one", per_function=1)
    text = (tmp_path / "one" / "test_app_core.py").read_text()
    assert text.count("def test_account_deposit") == 1
    assert text.count("def test_withdraw") == 1
    assert report.over_limit == 6  # Account.__init__ 1, deposit 4, withdraw 1
    # Within the limit, calls that end otherwise come first.
    two = _generate(recorded, tmp_path / "two", per_function=2)
    text = (tmp_path / "two" / "test_app_core.py").read_text()
    assert [line.split("(")[0] for line in text.splitlines()
            if line.startswith("def test_account_deposit")] == [
        "def test_account_deposit_returns_1", "def test_account_deposit_raises_valueerror"]
    assert two.over_limit == 3
    only = _generate(recorded, tmp_path / "only", function="withdraw")
    assert only.recorded == 2 and only.tests == 2


def test_values_without_source_text_go_to_a_data_file(tmp_path):
    """A value whose text would not rebuild it (a list shared between two
    arguments) is kept as the recorded pickle in a data file beside the
    module; the test loads it by name."""
    from tarnwick_collector.store import sqlite_store  # noqa: F401
    project = tmp_path / "project"
    _write(project, "app2/__init__.py", "")
    _write(project, "app2/m.py", """
        def both(a, b):
            a.append(1)
            return len(b)

        def total(table):
            table["sum"] = sum(table.values())
            return table["sum"]
    """)
    _write(project, "main.py", """
        from app2 import m
        shared = []
        m.both(shared, shared)
        m.total({f"key{i}": i for i in range(1000)})
    """)
    store = _record(project, tmp_path / "s.sqlite3")
    out = tmp_path / "generated"
    generate(str(store), str(out), project_root=str(project))
    text = (out / "test_app2_m.py").read_text()
    assert "DATA = replay.data_file(__file__, 'test_app2_m_data.pickle')" in text
    assert "args=replay.load(DATA, 'test_both_returns_1', 'pre_run_args')" in text
    data = (out / "test_app2_m_data.pickle").read_bytes()
    assert data.startswith(HEADER.encode())
    assert "pre_run_args" in pickle.loads(data.split(b"\n", 1)[1])["test_both_returns_1"]
    # A value whose text would run to pages (a table of a thousand entries)
    # is loaded too: the test stays short.
    total = _test_of(text, "test_total")
    assert "replay.load(DATA, 'test_total_returns_499500', 'pre_run_args')" in total
    assert "'key999'" not in text and len(total) < 1000
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout
    assert "2 passed" in proc.stdout


def test_a_value_its_class_reduces_to_a_call_is_rebuilt_by_calling_it(tmp_path):
    """A signature pickles as ``(Signature, (parameters,))`` plus a state
    that holds only part of it: its initializer must run, as unpickling
    runs it, or the rebuilt object lacks what the initializer sets."""
    project = tmp_path / "project"
    _write(project, "app3/__init__.py", "")
    _write(project, "app3/sig.py", """
        def count(signature):
            return len(signature.parameters)
    """)
    _write(project, "main.py", """
        import inspect
        from app3 import sig
        def one(a):
            pass
        sig.count(inspect.signature(one))
    """)
    store = _record(project, tmp_path / "s.sqlite3")
    out = tmp_path / "generated"
    generate(str(store), str(out), project_root=str(project))
    text = (out / "test_app3_sig.py").read_text()
    assert "replay.call_state(" in text and "inspect.Signature" in text
    proc = _pytest(out)
    assert proc.returncode == 0 and "1 passed" in proc.stdout, proc.stdout


@pytest.mark.parametrize("module,expected", [
    ("test_core", True), ("tests.test_core", True), ("pkg.tests.core_test", True),
    ("conftest", True), ("tests.conftest", True),
    ("app.core", False), ("testing.helpers", False), ("app.contest", False),
    ("test", False), ("app.test_support.core", False), ("", False), (None, False),
])
def test_test_suite_modules_are_told_by_the_file_names_pytest_collects(module, expected):
    assert is_test_suite_module(module) is expected


def test_the_test_suites_own_functions_are_left_out_and_counted(tmp_path):
    project = tmp_path / "project"
    _write(project, "app/__init__.py", "")
    _write(project, "app/calc.py", "def double(box):\n    return 2 * box.n\n")
    _write(project, "tests/conftest.py", "def two():\n    return 2\n")
    _write(project, "tests/test_calc.py", """
        import conftest
        from app import calc

        class Box:
            def __init__(self, n):
                self.n = n

        def test_double():
            assert calc.double(Box(conftest.two())) == 4
    """)
    _write(project, "main.py", """
        import sys
        sys.path.insert(0, "tests")
        import test_calc
        test_calc.test_double()
    """)
    recorded = (project, _record(project, tmp_path / "records.sqlite3"))
    out = tmp_path / "generated"
    report = _generate(recorded, out)
    # The library's call, made from a test function, is still tested, with
    # its argument of a class of the test suite found where that is.
    assert (report.recorded, report.test_suite, report.tests) == (4, 3, 1)
    assert sorted(os.listdir(out)) == ["conftest.py", "pytest.ini", "test_app_calc.py"]
    assert "replay.obj(test_calc.Box, n=2)" in (out / "test_app_calc.py").read_text()
    assert (report.skipped_rate(), report.untested_rate()) == (0.0, 75.0)
    assert "left out: functions of the test suite (test_*.py, *_test.py, conftest.py): " \
        "3 recorded call(s)" in report.lines()
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout

    report = _generate(recorded, out, test_suite=True)
    assert (report.test_suite, report.tests) == (0, 4)
    assert not any("left out" in line for line in report.lines())


def test_generators_that_ran_to_their_end_are_made_again(tmp_path):
    """A program keeps a generator it has consumed (a parser its lexer's):
    all that is left of it, its name and that it ended, is made again,
    whether the value is written as text or kept in a data file. One that
    has not ended cannot be, and its call is skipped."""
    project = tmp_path / "project"
    _write(project, "lex/__init__.py", "")
    _write(project, "lex/m.py", """
        def tokens(text):
            for word in text.split():
                yield word


        class Parser:
            def __init__(self, text):
                self.source = tokens(text)
                self.words = list(self.source)
                self.index = 0

            def next(self):
                self.index += 1
                return self.words[self.index - 1]


        class Shared:
            def __init__(self, text):
                self.source = tokens(text)
                self.words = list(self.source)
                self.again = self.words

            def count(self):
                return len(self.again)


        def first(words):
            return next(words)
    """)
    _write(project, "main.py", """
        from lex import m
        p = m.Parser("a b c")
        p.next()
        p.next()
        m.Shared("x y").count()
        m.first(m.tokens("q r"))
    """)
    store = _record(project, tmp_path / "s.sqlite3")
    out = tmp_path / "generated"
    report = generate(str(store), str(out), project_root=str(project))
    assert {(s.full_name, s.detail) for s in report.skipped} == {
        ("lex.m.first", "generator in the arguments")}
    text = (out / "test_lex_m.py").read_text()
    assert "replay.finished_generator('tokens')" in text
    assert (out / "test_lex_m_data.pickle").exists()
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout
    assert "failed" not in proc.stdout


def test_a_call_recorded_under_the_metaclass_initializer_is_skipped(tmp_path):
    """The initializer of a class whose metaclass is not ``type`` (an ABC)
    and that inherits it is recorded under the metaclass's initializer,
    ``builtins.type.__init__``: no test of a builtin is written for it."""
    project = tmp_path / "project"
    _write(project, "inh/__init__.py", "")
    _write(project, "inh/m.py", """
        import abc


        class Base(abc.ABC):
            def __init__(self, n):
                self.n = n


        class Child(Base):
            def twice(self):
                return self.n * 2
    """)
    _write(project, "main.py", """
        from inh import m
        m.Child(3).twice()
    """)
    store = _record(project, tmp_path / "s.sqlite3")
    out = tmp_path / "generated"
    report = generate(str(store), str(out), project_root=str(project))
    assert [(s.full_name, s.reason) for s in report.skipped] == [
        ("builtins.type.__init__", "the record names the metaclass's initializer, not the "
                                   "function (a class that inherits its initializer)")]
    assert sorted(p.name for p in out.glob("test_*.py")) == ["test_inh_m.py"]
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout


def test_a_module_a_package_shadows_with_one_of_its_names_is_found(tmp_path):
    """A package that binds a submodule's name to the submodule's class
    (``from .parser import parser``) makes ``pkg.parser.parser`` the
    class's attribute: its classes are named through the module itself."""
    project = tmp_path / "project"
    _write(project, "dates/__init__.py", "from .parser import parser\n")
    _write(project, "dates/parser.py", """
        class parser:
            def __init__(self, sep=None):
                self.sep = sep

            def split(self, text):
                return text.split(self.sep)
    """)
    _write(project, "main.py", """
        import dates
        dates.parser("-").split("2000-01-02")
    """)
    text = _tests_that_pass(project, tmp_path, "test_dates_parser.py")
    assert "replay.resolve('dates.parser.parser')" in text


def test_a_global_objects_attributes_are_set_and_the_objects_it_holds_kept(tmp_path):
    """A module-level parser whose options object the call reaches through
    it: the recorder keeps only the attributes used, of both. The test sets
    those on the program's own objects and leaves the rest as they are."""
    project = tmp_path / "project"
    _write(project, "dp/__init__.py", "")
    _write(project, "dp/m.py", """
        class Info:
            def __init__(self):
                self.dayfirst = False
                self.words = {"jan": 1}


        class Parser:
            def __init__(self):
                self.info = Info()
                self.calls = 0

            def parse(self, text):
                self.calls += 1
                return self._split(text)

            def _split(self, text):
                return [self.info.words.get(w, w) for w in text.split()] + [self.info.dayfirst]


        DEFAULT = Parser()


        def parse(text):
            return DEFAULT.parse(text)
    """)
    _write(project, "main.py", """
        from dp import m
        m.parse("jan 2")
        m.DEFAULT.info.dayfirst = True
        m.parse("3 jan")
    """)
    text = _tests_that_pass(project, tmp_path, "test_dp_m.py")
    assert "replay.attrs(info=replay.attrs(" in text


def test_a_module_a_global_imports_on_first_use_is_bound_by_the_test(tmp_path):
    """``feasts = None`` at the top, ``global feasts; from cal import
    feasts`` in the function that first needs it: the recorder leaves
    modules out of a call's globals, and a test run on its own would find
    ``None``."""
    project = tmp_path / "project"
    _write(project, "cal/__init__.py", "")
    _write(project, "cal/feasts.py", """
        def easter(year):
            return (year % 19, year % 4)
    """)
    _write(project, "cal/rules.py", """
        feasts = None


        class Rule:
            def __init__(self, by_easter=False):
                global feasts
                if by_easter and feasts is None:
                    from cal import feasts
                self.by_easter = by_easter

            def days(self, year):
                return feasts.easter(year) if self.by_easter else ()
    """)
    _write(project, "main.py", """
        from cal import rules
        rules.Rule(by_easter=True).days(2024)
    """)
    text = _tests_that_pass(project, tmp_path, "test_cal_rules.py")
    assert "'feasts': replay.resolve('cal.feasts')" in text


def test_a_generator_is_compared_by_its_name_and_whether_it_ended():
    from tarnwick_collector.replay import finished_generator
    from tarnwick_collector.replay_compare import _difference

    def tokens():
        yield 1

    ended, running = tokens(), tokens()
    list(ended)
    next(running)
    assert _difference(ended, finished_generator(tokens.__qualname__), "v", set()) is None
    assert "not ended" in _difference(running, finished_generator(tokens.__qualname__),
                                      "v", set())
    assert "recorded other" in _difference(ended, finished_generator("other"), "v", set())


def test_globals_naming_lambdas_are_left_alone_and_matches_are_made_again(tmp_path):
    """A global holding lambdas cannot be set by a test: it is left as the
    program defines it, whether the other globals are written as text or
    kept in a data file; a match of ``re`` handed to a function is made
    again from its pattern and text."""
    project = tmp_path / "project"
    _write(project, "app3/__init__.py", "")
    _write(project, "app3/m.py", """
        import re

        FORMATS = {"d": lambda n: str(n), "x": lambda n: hex(n)}
        SHARED = [1]
        PAIR = (SHARED, SHARED)
        NUMBER = re.compile(r"(\\d+)-(\\w+)")


        def fmt(code, n):
            return FORMATS[code](n)


        def fmt_pair(code, n):
            return FORMATS[code](n) + str(len(PAIR))


        def number(found):
            return int(found.group(1)) + found.end()


        def find(text):
            return number(NUMBER.search(text))
    """)
    _write(project, "main.py", """
        from app3 import m
        m.fmt("x", 10)
        m.fmt_pair("d", 7)
        m.find("ab 12-cd")
    """)
    store = _record(project, tmp_path / "s.sqlite3")
    out = tmp_path / "generated"
    report = generate(str(store), str(out), project_root=str(project))
    assert not report.skipped, [(s.full_name, s.reason, s.detail) for s in report.skipped]
    text = (out / "test_app3_m.py").read_text()
    assert "replay.match(" in text and "'FORMATS'" not in text.split("def test_fmt_returns")[1]
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout
    assert "4 passed" in proc.stdout
    # The rebuilt match is the one the program made: a changed group fails.
    source = project / "app3" / "m.py"
    source.write_text(source.read_text().replace("group(1)", "group(0)"))
    proc = _pytest(out)
    assert "test_number_returns" in proc.stdout and proc.returncode == 1, proc.stdout


def test_values_in_zones_of_the_program_are_written_and_compared_by_value(tmp_path):
    """A date and time (or a time) whose zone is an object of a class of the
    program is written as source, its zone made without its initializer
    (pickle would call it without arguments); the test compares it by its
    fields and what its zone says, not only by the instant it names."""
    project = tmp_path / "project"
    _write(project, "app5/__init__.py", "")
    _write(project, "app5/zones.py", """
        import datetime


        class Fixed(datetime.tzinfo):
            def __init__(self, minutes, name):
                self._offset = datetime.timedelta(minutes=minutes)
                self._name = name

            def utcoffset(self, dt):
                return self._offset

            def tzname(self, dt):
                return self._name


        def stamp(minutes):
            return datetime.datetime(2020, 1, 2, 3, 4, 5, tzinfo=Fixed(minutes, "local"))


        def clock(moment):
            return datetime.time(moment.hour, moment.minute, tzinfo=moment.tzinfo)
    """)
    # str() asks the zone for its offset: a call whose arguments share the
    # zone, kept as the recorded pickle (which calls the class without its
    # initializer's arguments).
    _write(project, "main.py", """
        from app5 import zones
        moment = zones.stamp(90)
        str(moment), str(zones.clock(moment))
    """)
    store = _record(project, tmp_path / "s.sqlite3", "--trust", "app5")
    out = tmp_path / "generated"
    report = generate(str(store), str(out), project_root=str(project))
    assert not report.skipped, [(s.full_name, s.reason, s.detail) for s in report.skipped]
    # (Long lines are wrapped: compared without the layout.)
    text = "".join((out / "test_app5_zones.py").read_text().split()).replace(",)", ")")
    zone = "replay.obj(app5.zones.Fixed,_offset=datetime.timedelta(seconds=5400),_name='local')"
    assert f"datetime.datetime(2020,1,2,3,4,5,tzinfo={zone})" in text
    assert f"datetime.time(3,4,tzinfo={zone})" in text
    assert "args=replay.load(DATA,'test_fixed_utcoffset" in text
    proc = _pytest(out)
    assert proc.returncode == 0 and "5 passed" in proc.stdout, proc.stdout
    # The same instant, its zone named otherwise: another value.
    source = project / "app5" / "zones.py"
    source.write_text(source.read_text().replace('"local"', '"other"'))
    proc = _pytest(out)
    assert "1 failed, 4 passed" in proc.stdout and "test_stamp_returns" in proc.stdout, \
        proc.stdout


def test_module_values_built_at_import_are_checked_where_only_import_sets_them(tmp_path):
    """The calls' own tests set the globals they read to their recorded
    values, so one more test checks those values as the program, imported,
    defines them: a change to how a table is built at import fails it. A
    global the program changes later (through a ``global`` statement, from
    another module, in place in a function the import does not run) is not
    checked, and the suite passes on the program as recorded."""
    project = tmp_path / "project"
    _write(project, "app4/__init__.py", "")
    _write(project, "app4/rules.py", """
        RULES = []
        LIMIT = 10
        RATE = 3
        LAZY = None
        SEEN = {}


        def _rule(word, plural):
            RULES.insert(0, (word, plural))


        _rule("ox", "oxen")
        _rule("child", "children")


        def plural(word):
            for known, form in RULES:
                if word == known:
                    return form
            return word[:LIMIT] + "s"


        def rated(n):
            return n * RATE


        def lazy(n):
            global LAZY
            if LAZY is None:
                LAZY = n
            return LAZY


        def seen(word):
            SEEN[word] = True
            return len(SEEN)


        def apply(f, value):
            return f(value)
    """)
    _write(project, "main.py", """
        from app4 import rules
        OFFSET = 2
        rules.RATE = 4
        for word in ("ox", "cat", "dog", "child"):
            rules.apply(lambda n: n + OFFSET, len(word))
            rules.plural(word)
            rules.rated(len(word))
            rules.lazy(len(word))
            rules.seen("same")
    """)
    store = _record(project, tmp_path / "s.sqlite3")
    out = tmp_path / "generated"
    report = generate(str(store), str(out), project_root=str(project))
    assert report.value_checks == 1
    assert "1 test(s) of module-level values the calls read" in report.lines()
    text = (out / "test_app4_rules.py").read_text()
    check = _test_of(text, "test_module_values_as_recorded")
    assert "'RULES': [('child', 'children'), ('ox', 'oxen')]" in check
    assert "'LIMIT': 10" in check
    # Changed after import, or (read by a lambda of the script) not the module's.
    for changed in ("RATE", "LAZY", "SEEN", "OFFSET"):
        assert repr(changed) not in check
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout
    assert f"{report.tests + 1} passed" in proc.stdout

    source = project / "app4" / "rules.py"
    original = source.read_text()
    source.write_text(original.replace('_rule("ox", "oxen")', '_rule("ox", "oxes")'))
    proc = _pytest(out)
    assert proc.returncode == 1, proc.stdout
    assert "module-level values read by app4.rules" in proc.stdout
    assert "RULES[1]" in proc.stdout, proc.stdout
    # Every call's own test still passes: they set the table as recorded.
    assert "1 failed" in proc.stdout
    source.write_text(original.replace("LIMIT = 10", ""))
    proc = _pytest(out)
    assert "LIMIT: the program no longer defines it" in proc.stdout


def _reference_choice(calls, limit, shape_of, writable):
    """The choice of calls made with every call in memory: equal calls
    folded into the first; per function the first call of each shape that
    a test can be written for, at most ``limit``; of the function's other
    calls (numbered in order), those whose number is a multiple of the
    smallest power of two that leaves at most as many writable ones as
    there is room for."""
    first, distinct = {}, []
    for call in calls:
        if call.key in first:
            first[call.key].count += 1
        else:
            first[call.key] = call
            distinct.append(call)
    by_function = {}
    for call in distinct:
        by_function.setdefault(call.full_name, []).append(call)
    chosen_ids = set()
    for group in by_function.values():
        shapes, firsts, others = set(), [], []
        for call in group:
            if shape_of(call) in shapes:
                others.append(call)
            elif writable(call) and len(firsts) < limit:
                shapes.add(shape_of(call))
                firsts.append(call)
        room = limit - len(firsts)
        stride, aligned = 1, [c for c in others if writable(c)]
        while room > 0 and len(aligned) > room:
            stride *= 2
            aligned = [c for i, c in enumerate(others) if i % stride == 0 and writable(c)]
        chosen_ids.update(id(c) for c in firsts)
        if room > 0:
            chosen_ids.update(id(c) for c in aligned)
    kept = [c for c in distinct if id(c) in chosen_ids]
    left_out = sum(c.count for c in distinct if id(c) not in chosen_ids)
    return kept, len(calls) - len(first), left_out


@pytest.mark.parametrize("seed", range(12))
def test_calls_chosen_as_they_are_read_are_those_chosen_with_all_in_memory(seed, monkeypatch):
    """Generation keeps only the calls it writes tests for while it reads
    the store, and tries each call's test before it counts against the
    per-function limit: the calls kept, and the counts of folded and
    left-out calls, are what they are with every call in memory."""
    import importlib
    import random
    from types import SimpleNamespace

    gen = importlib.import_module("tarnwick_collector.testgen.generate")
    from tarnwick_collector.testgen.reader import Skipped

    rng = random.Random(seed)
    monkeypatch.setattr(gen, "_shape", lambda call: call.shape)
    made = []
    for i in range(rng.randint(1, 60)):
        function = rng.choice("fgh")
        value = rng.randint(0, 12)
        made.append(SimpleNamespace(full_name=function, key=f"{function}{value}".encode(),
                                    shape=value % rng.choice((2, 3, 5)), count=1, id=i,
                                    bad=value % 4 == 1))
    limit = rng.randint(1, 6)
    copies = [SimpleNamespace(**vars(c)) for c in made]
    expected, duplicates, left_out = _reference_choice(
        copies, limit, lambda c: c.shape, lambda c: not c.bad)
    chosen = gen._Chosen(limit, lambda c: Skipped(c.id, c.full_name, "bad") if c.bad else None)
    for call in made:
        chosen.add(call)
    assert [(c.id, c.count) for c in chosen.calls()] == [(c.id, c.count) for c in expected]
    assert chosen.duplicates == duplicates
    # A call no test can be written for is skipped when tried, or left out
    # with the others over the limit when it never had to be.
    assert chosen.over_limit + len(chosen.skipped) == left_out
    assert all(made[s.id].bad for s in chosen.skipped)


def test_a_pure_call_whose_result_cannot_be_written_runs_for_real(tmp_path):
    """``itertools.chain.from_iterable`` over a generator gives an iterator
    the recorder can only describe: the test lets that function run for
    real (it gives the same result for the same arguments) and still
    replays the clock."""
    project = tmp_path / "project"
    _write(project, "app5/__init__.py", "")
    _write(project, "app5/m.py", """
        import itertools
        import time


        def flat(rows):
            stamp = int(time.time()) * 0
            return [x + stamp for x in itertools.chain.from_iterable(r for r in rows)]
    """)
    _write(project, "main.py", """
        from app5 import m
        m.flat([[1, 2], [3]])
    """)
    store = _record(project, tmp_path / "s.sqlite3")
    out = tmp_path / "generated"
    report = generate(str(store), str(out), project_root=str(project))
    assert report.tests == 1, [(s.reason, s.detail) for s in report.skipped]
    text = (out / "test_app5_m.py").read_text()
    assert "replay.returns('time.time'," in text and "chain" not in text
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout


@pytest.mark.parametrize("value", [
    1.5, -0.0, -3e+20, 2.5e300, 1e-05, float("inf"), float("-inf"),
    float("nan"), -7, 0, "a b-c", "", None, True, [],
])
def test_a_value_that_tells_calls_apart_names_them_with_an_identifier(value):
    from tarnwick_collector.testgen.generate import _value_slug

    slug = _value_slug(value)
    assert slug and f"test_f_with_x_{slug}".isidentifier()


def test_a_function_made_inside_the_call_is_checked_by_its_name(tmp_path):
    """A decorator factory returns the decorator it makes: no test can find
    that function by name, so its calls got no test and a factory that
    returned nothing went unnoticed. The returned function is told by its
    module and qualified name."""
    project = tmp_path / "project"
    _write(project, "deco/__init__.py", "")
    source = _write(project, "deco/m.py", """
        import functools


        def times(n):
            def decorator(f):
                @functools.wraps(f)
                def wrapper(*a):
                    return f(*a) * n
                return wrapper
            return decorator


        def adder(k):
            return lambda x: x + k


        def logged(f):
            def wrapper(*a):
                return f(*a)
            functools.update_wrapper(wrapper, f)
            return wrapper


        def word(s):
            return s
    """)
    _write(project, "main.py", """
        from deco import m
        print(m.times(3)(len)("ab"), m.adder(2)(1), m.logged(m.word)("x"))
    """)
    text = _tests_that_pass(project, tmp_path, "test_deco_m.py")
    # The wrapper took the name of what it wraps, a builtin: no test.
    report = generate(str(tmp_path / "s.sqlite3"), str(tmp_path / "again"),
                      project_root=str(project))
    assert [s.reason for s in report.skipped if s.full_name == "builtins.len"] == [
        "the record names a builtin, not the function (a wrapper that took the "
        "builtin's name with functools.wraps)"]
    assert "def test_times_returns_decorator():" in text
    assert "check_returned(replay.made_inside('deco.m.times.<locals>.decorator'))" in text
    assert "check_returned(replay.made_inside('deco.m.adder.<locals>.<lambda>'))" in text
    # functools.update_wrapper runs for real: the wrapper takes the name of
    # what it wraps, which its recorded result cannot give it.
    assert "functools" not in _test_of(text, "test_logged_returns_word")
    source.write_text(source.read_text().replace("return decorator", "return None"))
    proc = _pytest(tmp_path / "generated")
    assert "1 failed, 3 passed" in proc.stdout, proc.stdout
    assert "recorded deco.m.times.<locals>.decorator" in proc.stdout
    # Anything else of that name is not it.
    with pytest.raises(AssertionError, match="recorded deco.m.times.<locals>.decorator"):
        replay.check(len, replay.made_inside("deco.m.times.<locals>.decorator"))


def test_an_initializer_is_checked_by_the_instance_it_built(tmp_path):
    """Calling a class returns the instance its initializer built: the test
    checks it, so an initializer that leaves an attribute out or sets it
    wrong fails. What the recorder could not keep of it (a lock) passes
    whatever it is; the rest is checked."""
    project = tmp_path / "project"
    _write(project, "inv/__init__.py", "")
    source = _write(project, "inv/m.py", """
        import threading

        LOCK = threading.Lock()


        class Stock:
            def __init__(self, item, count=1):
                self.item = item
                self.count = count * 2
                self.moves = []


        class Guarded:
            def __init__(self, name):
                self.name = name
                self.lock = LOCK


        class Special(Stock):
            def __init__(self, item):
                super().__init__(item, 5)


        class Inherits(Stock):
            def restock(self):
                self.count += 1


        class Group:
            def __init__(self, *members, label=None):
                self.members = members
                self.label = label


        class Team(Group):
            def __init__(self, *members):
                self.size = len(members)
                super().__init__(*members, label="team")


        def local_kind():
            class Local(Stock):
                pass
            return Local("tack", 4)
    """)
    _write(project, "main.py", """
        from inv import m
        m.Stock("nail", 3), m.Guarded("g"), m.Special("bolt"), m.Inherits("pin")
        m.local_kind()
        m.Team("a", "b")
    """)
    text = _tests_that_pass(project, tmp_path, "test_inv_m.py")
    stock = _test_of(text, "test_stock_init_builds_stock")
    assert "check_built(replay.obj(inv.m.Stock, item='nail', count=6, moves=[]))" in stock
    assert "check_built(replay.obj(inv.m.Guarded, name='g', " \
        "lock=replay.unkept('_thread.lock')))" in _test_of(text, "test_guarded_init")
    # The base initializer Special's ran is a method of the instance.
    assert "check_built(replay.obj(inv.m.Special, item='bolt', count=10, moves=[]))" in \
        _test_of(text, "test_special_init_builds_special")
    assert "init=True" not in _test_of(text, "test_stock_init_returns_none")
    # So is one a subclass's ran with *args: the source tells the instance
    # is of a subclass, so it is the receiver, not a first argument.
    group = _test_of(text, "test_group_init_returns_none")
    assert "init=" not in group and "replay.obj(inv.m.Team, size=2)" in group
    # A class that inherits its initializer: the instance is of that class.
    inherits = _test_of(text, "test_stock_init_builds_inherits")
    assert "init='inv.m.Inherits'" in inherits
    assert "check_built(replay.obj(inv.m.Inherits, item='pin', count=2, moves=[]))" in inherits
    # An instance of a class no test can name is a placeholder as a whole:
    # the initializer runs on an instance of its own class.
    local = _test_of(text, "test_stock_init_returns_none_with_item_tack")
    assert "init=True" in local and "check_returned(None)" in local
    original = source.read_text()
    for mutated, outcome, message in (
            (original.replace("count * 2", "count * 3"), "4 failed, 4 passed",
             "instance built.count: 9 != 6 (recorded)"),
            (original.replace("self.moves = []", "pass"), "4 failed, 4 passed", "moves"),
            (original.replace("self.name = name", "pass"), "1 failed, 7 passed",
             "instance built.name: missing")):
        source.write_text(mutated)
        proc = _pytest(tmp_path / "generated")
        assert outcome in proc.stdout and message in proc.stdout, proc.stdout


def test_functions_defined_inside_functions_are_made_again_from_their_code(
        tmp_path, monkeypatch):
    """A callback a function defines (a test suite's command) is no global:
    the test makes it again from its module's code, with the module's
    globals, when it uses no variable of the function around it."""
    project = tmp_path / "project"
    _write(project, "cb/__init__.py", "")
    source = _write(project, "cb/m.py", """
        SCALE = 10


        def apply(callback, values):
            return [callback(v) for v in values]


        class Unit:
            def __init__(self, name):
                self.name = name

            def shown(self, v):
                return f"{v} {self.name}"


        def run():
            def scaled(v, plus=1):
                return v * SCALE + plus

            offset = 3

            def shifted(v):
                return v + offset

            return apply(scaled, [1, 2]), apply(shifted, [1]), apply(Unit("kg").shown, [4])
    """)
    _write(project, "main.py", """
        from cb import m
        print(m.run())
    """)
    text = _tests_that_pass(project, tmp_path, "test_cb_m.py")
    applied = _test_of(text, "test_apply_returns_list")
    assert "replay.nested_function('cb.m', 'run.<locals>.scaled')" in applied
    assert "check_returned([11, 21])" in applied
    # One that reads a variable of the function around it cannot be made.
    report = generate(str(tmp_path / "s.sqlite3"), str(tmp_path / "again"),
                      project_root=str(project))
    # Nor can a method without the object it was bound to, which the record
    # keeps as the function alone.
    assert sorted(s.detail for s in report.skipped if s.full_name == "cb.m.apply") == [
        "cb.m.Unit.shown", "cb.m.run.<locals>.shifted"]
    assert [s.reason for s in report.skipped if s.detail == "cb.m.Unit.shown"] == [
        RECEIVER_LOST]
    # The calls of such a function are tested too, where it can be made.
    assert "'cb.m.run.<locals>.scaled'," in _test_of(text, "test_run_scaled_returns_11")
    assert {s.reason for s in report.skipped
            if s.full_name == "cb.m.run.<locals>.shifted"} == {NOT_BY_NAME}
    monkeypatch.syspath_prepend(str(project))
    monkeypatch.delitem(sys.modules, "cb", raising=False)
    monkeypatch.delitem(sys.modules, "cb.m", raising=False)
    made = replay.nested_function("cb.m", "run.<locals>.scaled")
    assert made is replay.nested_function("cb.m", "run.<locals>.scaled")
    assert made(2) == 21 and made.__qualname__ == "run.<locals>.scaled"
    with pytest.raises(LookupError, match="cannot be made again"):
        replay.nested_function("cb.m", "run.<locals>.shifted")
    source.write_text(source.read_text().replace("v * SCALE + plus", "v * SCALE - plus"))
    proc = _pytest(tmp_path / "generated")
    assert "4 failed, 3 passed" in proc.stdout and "9 != 11" in proc.stdout, proc.stdout


def test_a_context_manager_made_of_a_generator_gives_its_recorded_results(tmp_path):
    """A function decorated with contextlib.contextmanager is called through
    contextlib's wrapper: an external call, whose context manager holds a
    generator the recorder cannot keep. Entering and leaving it are
    recorded calls, and the test gives their results."""
    project = tmp_path / "project"
    _write(project, "cm/__init__.py", "")
    source = _write(project, "cm/m.py", """
        import contextlib


        @contextlib.contextmanager
        def opened(name):
            yield name.upper()


        def use(name):
            with opened(name) as handle:
                return handle + "!"
    """)
    _write(project, "main.py", """
        from cm import m
        print(m.use("a"))
    """)
    text = _tests_that_pass(project, tmp_path, "test_cm_m.py")
    use = _test_of(text, "test_use_returns_a")
    assert "'cm.m.opened',\n                replay.recorded_object(" \
        "'contextlib._GeneratorContextManager')," in use
    assert "replay.returns('contextlib._GeneratorContextManager.__enter__', 'A')" in use
    source.write_text(source.read_text().replace('handle + "!"', 'handle + "?"'))
    proc = _pytest(tmp_path / "generated")
    assert "1 failed" in proc.stdout and "'A?' != 'A!'" in proc.stdout, proc.stdout


def test_a_context_manager_made_of_a_generator_decorates_as_the_real_one(tmp_path):
    """A test runner's isolation decorates its prompt functions with such a
    context manager: the described one decorates too, and each call of the
    function it decorated enters and leaves it."""
    project = tmp_path / "project"
    _write(project, "deco/__init__.py", "")
    source = _write(project, "deco/m.py", """
        import contextlib


        @contextlib.contextmanager
        def paused(log):
            log.append("in")
            yield
            log.append("out")


        def make_reader(log):
            @paused(log)
            def read():
                return len(log)
            return read.__name__ + "!"
    """)
    _write(project, "main.py", """
        from deco import m
        print(m.make_reader([]))
    """)
    text = _tests_that_pass(project, tmp_path, "test_deco_m.py")
    made = _test_of(text, "test_make_reader_returns_read")
    assert made.count("replay.recorded_object('contextlib._GeneratorContextManager')") == 1
    source.write_text(source.read_text().replace('"!"', '"?"'))
    proc = _pytest(tmp_path / "generated")
    assert "1 failed" in proc.stdout and "'read?' != 'read!'" in proc.stdout, proc.stdout


def test_an_object_the_program_kept_from_an_earlier_call_answers_the_later_one(tmp_path):
    """A file an external call opened is described in the record, and the
    program keeps it in a cache: the test of a later call finds the
    described file there, and the later call's record holds the calls of
    its methods."""
    project = tmp_path / "project"
    _write(project, "logs/__init__.py", "")
    _write(project, "logs/m.py", """
        _OPEN = {}


        def log_to(path, text):
            handle = _OPEN.get(path)
            if handle is None:
                handle = _OPEN[path] = open(path, "a")
            return handle.write(text) + 100
    """)
    _write(project, "main.py", """
        import os
        from logs import m
        target = os.path.join(os.path.dirname(os.path.abspath(__file__)), "out.log")
        m.log_to(target, "a"), m.log_to(target, "bc")
    """)
    text = _tests_that_pass(project, tmp_path, "test_logs_m.py")
    later = _test_of(text, "test_log_to_returns_102")
    assert "replay.returns('_io.TextIOWrapper.write', 2)" in later
    assert "io.open" not in later


def test_a_library_callable_the_arguments_hand_the_function_replays_its_calls(tmp_path):
    """``Check(os.path.isfile)``: the function calls the callable its
    argument holds, which no replaced name reaches. The test hands it a
    stand-in that gives the recorded answers, so it does not depend on the
    files where it runs; a sort key stays the real one."""
    project = tmp_path / "project"
    _write(project, "app_h/__init__.py", "")
    _write(project, "app_h/check.py", """
        class Check:
            def __init__(self, test):
                self.test = test

            def validate(self, data):
                if self.test(data):
                    return data
                raise ValueError(data)


        def ordered(items, key):
            return sorted(items, key=key)
    """)
    _write(project, "main.py", """
        import os
        from app_h.check import Check, ordered
        open("present.txt", "w").close()
        Check(os.path.isfile).validate("present.txt")
        try:
            Check(os.path.isfile).validate("absent.txt")
        except ValueError:
            pass
        os.remove("present.txt")
        ordered(["b", "A"], str.lower)
    """)
    store = _record(project, tmp_path / "s.sqlite3")
    out = tmp_path / "generated"
    generate(str(store), str(out), project_root=str(project))
    text = (out / "test_app_h_check.py").read_text()
    assert text.count("replay.handed('genericpath.isfile')") == 4, text
    assert text.count("replay.handed(") == 4  # not the sort key
    # Run where present.txt does not exist, and where absent.txt does.
    (out / "absent.txt").write_text("")
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout
    assert "4 passed" in proc.stdout


def test_calls_given_the_programs_zones_and_type_hints_are_recorded_and_tested(tmp_path):
    """A zone class that takes its offset when made, and type hints passed
    as values: both used to end the recording of every function they
    reached."""
    project = tmp_path / "project"
    _write(project, "app_z/__init__.py", "")
    _write(project, "app_z/zones.py", """
        import datetime
        import typing


        class Offset(datetime.tzinfo):
            def __init__(self, text):
                self.text = text
                self.hours = int(text[1:3])

            def utcoffset(self, dt):
                return datetime.timedelta(hours=self.hours)


        def shift(when, hours):
            return when + datetime.timedelta(hours=hours)


        def describe(hint):
            return getattr(hint, "__origin__", hint).__name__
    """)
    _write(project, "main.py", """
        import datetime
        import typing
        from app_z.zones import Offset, describe, shift
        zone = Offset("+05:00")
        shift(datetime.datetime(2024, 1, 1, tzinfo=zone), 2)
        shift(datetime.datetime(2024, 1, 1, tzinfo=zone), 3)
        describe(typing.List[int])
        describe(typing.Dict[str, int])
    """)
    store = _record(project, tmp_path / "s.sqlite3")
    out = tmp_path / "generated"
    report = generate(str(store), str(out), project_root=str(project))
    assert report.not_recorded == [], report.not_recorded
    names = [line.split("(")[0] for line in (out / "test_app_z_zones.py").read_text().splitlines()
             if line.startswith("def test_")]
    assert len([n for n in names if "shift" in n]) == 2
    assert len([n for n in names if "describe" in n]) == 2
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout


def test_redacted_parts_of_an_outcome_and_a_list_subclass_s_own_append(tmp_path):
    """An instance whose attribute name looks like a secret (``tokens``) is
    checked but for that attribute. A list subclass's ``append`` that calls
    ``super().append`` is recorded as calling itself by name (the builtin
    method is named after the subclass): the replay leaves the project's
    method alone and the real call runs."""
    project = tmp_path / "project"
    _write(project, "app_r/__init__.py", "")
    _write(project, "app_r/lexer.py", """
        class Lexer:
            def __init__(self, text):
                self.text = text
                self.tokens = text.split()


        class Ymd(list):
            def append(self, value):
                super().append(int(value))
                return len(self)
    """)
    _write(project, "main.py", """
        from app_r.lexer import Lexer, Ymd
        Lexer("a b c")
        Ymd().append("12")
    """)
    store = _record(project, tmp_path / "s.sqlite3")
    out = tmp_path / "generated"
    report = generate(str(store), str(out), project_root=str(project))
    assert not report.skipped, [(s.full_name, s.reason, s.detail) for s in report.skipped]
    text = (out / "test_app_r_lexer.py").read_text()
    assert "tokens=replay.unkept('redacted')" in text and "text='a b c'" in text
    proc = _pytest(out)
    assert proc.returncode == 0, proc.stdout
    assert "2 passed" in proc.stdout
