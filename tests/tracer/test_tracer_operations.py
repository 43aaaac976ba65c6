"""What recorded code reports while it runs: calls out of the project
(before and after, with the outcome), global-name loads and attribute
loads; and that nothing is reported outside a recorded call."""
import functools
import sys
import time

import pytest

from fakecore import FailingCore, FakeCore
from tarnwick_collector.tracer import _trampolines

SOURCE = '''
import json
import os.path
import time
import functools

CONFIG = {"scale": 3}
_Private__secret = "pg"

class Settings:
    level = 2

def now():
    return time.time()

def parse(text):
    return json.loads(text)

def failing_external(text):
    return json.loads(text)

def joins(a, b):
    return os.path.join(a, b)

def uses_globals():
    return CONFIG["scale"] * Settings.level

def uses_builtins(items):
    return len(items), sorted(items), max(items)

def local_callable(fn, x):
    return fn(x)

def calls_project(x):
    return helper(x)

def helper(x):
    return x + 1

def makes_instance():
    return Settings()

def partial_call():
    p = functools.partial(int, base=2)
    return p("101")

def partial_of_project(x):
    return functools.partial(functools.partial(helper), x)()

class Adder:
    def __call__(self, x):
        return x + 1

def calls_instance(adder, x):
    return adder(x)

def with_block(cm):
    with cm as value:
        return value

def not_recorded_lambda(items):
    return sorted(items, key=lambda it: it.upper())

class Private:
    def read(self):
        return __secret

def star_call(fn, args, kwargs):
    return fn(*args, **kwargs)

def closure_maker():
    captured = 5
    def reader():
        return captured
    return reader

def mixed(x):
    total = 0
    for i in range(x):
        total += abs(-i)
    return total
'''


@pytest.fixture
def mod(project):
    return project.load(SOURCE)


def externals(core):
    """(callee, flag, return value, pending exception) of each external
    call, pairing each start with its end."""
    ends = {id(e[1]): e for e in core.of("external_return")}
    out = []
    for _, call, flag, record in core.of("external"):
        end = ends.get(id(record))
        out.append((call, flag, end[2] if end else None,
                    end[3] if end else None))
    return out


def test_external_call_is_reported_before_and_after(mod, project):
    value = mod.now()
    (call, flag, ret, pending), = externals(project.core)
    assert call is time.time and flag == 1 and ret == value and pending is None
    kinds = [e[0] for e in project.core.events]
    assert kinds.index("external") < kinds.index("external_return") < \
        kinds.index("return")


def test_external_exception_is_pending_at_the_end_then_restored(mod, project):
    with pytest.raises(ValueError) as info:
        mod.failing_external("{bad")
    (call, flag, ret, pending), = externals(project.core)
    assert ret is None and pending is info.value
    # The program sees the callee's exception with its full traceback.
    names = []
    tb = info.value.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert names[:2] == ["test_external_exception_is_pending_at_the_end_then_restored",
                         "failing_external"]
    assert "raw_decode" in names
    (end,) = project.core.of("return")
    assert end[3] is info.value


def test_method_call_reports_attribute_then_bound_method(mod, project):
    assert mod.joins("a", "b") == "a/b"
    attrs = [(e[1], e[2]) for e in project.core.of("attr")]
    import os
    assert attrs == [("path", os), ("join", os.path)]
    (call, flag, ret, _), = externals(project.core)
    assert call is os.path.join and flag == 1 and ret == "a/b"
    assert [g[1] for g in project.core.of("global")] == ["os"]


def test_globals_and_their_attributes(mod, project):
    assert mod.uses_globals() == 6
    assert [(g[1], g[2]) for g in project.core.of("global")] == [
        ("CONFIG", mod.CONFIG), ("Settings", mod.Settings)]
    assert [(a[1], a[2], a[3]) for a in project.core.of("attr")] == [
        ("level", mod.Settings, 2)]


def test_private_global_is_reported_under_its_mangled_name(mod, project):
    assert mod.Private().read() == "pg"
    assert [g[1] for g in project.core.of("global")] == ["_Private__secret"]


def test_builtins_are_neither_reported_nor_their_calls(mod, project):
    assert mod.uses_builtins([3, 1]) == (2, [1, 3], 3)
    assert project.core.of("global") == []
    assert project.core.of("external") == []


def test_locals_and_free_variables_are_not_globals(mod, project):
    reader = mod.closure_maker()
    assert reader() == 5
    assert project.core.of("global") == []


def test_call_of_a_local_callable_is_an_external_call(mod, project):
    assert mod.local_callable(str.upper, "x") == "X"
    (call, flag, ret, _), = externals(project.core)
    assert call is str.upper and flag == 1 and ret == "X"


@pytest.mark.parametrize("name, args", [
    ("calls_project", (1,)),
    ("makes_instance", ()),
])
def test_project_callees_are_not_external_calls(mod, project, name, args):
    getattr(mod, name)(*args)
    assert project.core.of("external") == []


def test_calls_that_land_in_project_code_are_not_external_calls(mod, project):
    # A partial of a project function (even a partial of one) and an
    # instance whose __call__ is project code: only making the partials
    # is a call out of the project.
    assert mod.partial_of_project(1) == 2
    assert [c[0] for c in externals(project.core)] == [functools.partial] * 2
    project.core.events.clear()
    assert mod.calls_instance(mod.Adder(), 1) == 2
    assert externals(project.core) == []


def test_callables_of_unknown_origin_get_flag_zero(mod, project):
    assert mod.partial_call() == 5
    ((partial_cls, flag0, _, _), (partial_obj, flag1, ret, _)) = \
        externals(project.core)
    assert partial_cls is functools.partial and flag0 == 0
    assert isinstance(partial_obj, functools.partial) and flag1 == 0 and ret == 5


def test_star_arguments_are_passed_through(mod, project):
    assert mod.star_call(dict, (), {"a": 1}) == {"a": 1}
    (call, _, ret, _), = externals(project.core)
    assert call is dict and ret == {"a": 1}


def test_context_manager_enter_and_exit_are_external_calls(mod, project):
    class CM:
        def __enter__(self):
            return "entered"

        def __exit__(self, *exc):
            return False

    cm = CM()
    assert mod.with_block(cm) == "entered"
    calls = externals(project.core)
    assert [c[0].__func__ for c in calls] == [CM.__enter__, CM.__exit__]
    assert [c[0].__self__ for c in calls] == [cm, cm]
    assert calls[0][2] == "entered" and calls[1][2] is False


def test_an_object_that_is_no_context_manager_raises_as_usual(mod):
    # What the interpreter raises: AttributeError before 3.11.
    expected = (TypeError, "context manager protocol") if sys.version_info >= (3, 11) \
        else (AttributeError, "__enter__")
    with pytest.raises(expected[0], match=expected[1]):
        mod.with_block(42)


def test_lambda_bodies_report_to_the_enclosing_recorded_call(mod, project):
    assert mod.not_recorded_lambda(["b", "a"]) == ["a", "b"]
    # The lambda itself is project code; the str.upper calls it makes are
    # reported (sorted is a builtin and not).
    assert [c[0] for c in externals(project.core)] == [] or all(
        c[0].__name__ == "upper" for c in externals(project.core))
    assert [a[1] for a in project.core.of("attr")] == ["upper", "upper"]


def test_nothing_is_reported_outside_a_recorded_call(project):
    core = FakeCore(record_calls=False)
    mod = project.load(SOURCE, core=core)
    mod.now()
    mod.uses_globals()
    assert [e[0] for e in core.events] == ["call", "call"]


def test_operations_not_recorded_still_run_correctly(mod, project):
    assert mod.mixed(4) == 6
    assert [c[0] for c in externals(project.core)] == []


@pytest.mark.parametrize("entry_failing", [True, False])
def test_failures_of_the_core_never_reach_the_program(project, entry_failing):
    core = FailingCore(accept_calls=not entry_failing)
    mod = project.load(SOURCE, core=core)
    before = _trampolines.contained_failures()
    assert mod.parse('{"a": 1}') == {"a": 1}
    assert mod.joins("x", "y") == "x/y"
    with pytest.raises(ValueError):
        mod.failing_external("{")
    assert _trampolines.contained_failures() - before == core.calls - \
        (0 if entry_failing else 3)
    assert _trampolines.stack_depth() == 0


def test_keyboard_interrupt_from_the_core_reaches_the_program(project):
    core = FailingCore(exc=KeyboardInterrupt())
    mod = project.load(SOURCE, core=core)
    with pytest.raises(KeyboardInterrupt):
        mod.helper(1)


def test_a_core_that_leaves_the_exception_pending_is_cleaned_up(project):
    class Careless(FakeCore):
        """Its end entries do not take the pending exception."""

    careless = Careless()
    careless.record_user_function_return_value = lambda *a: None
    careless.record_external_return_value = lambda *a: None
    mod = project.load(SOURCE, core=careless)
    with pytest.raises(ValueError):
        mod.failing_external("{")
    assert mod.helper(1) == 2


NESTED = '''
import time

def level1(x):
    def level2(y):
        def level3(z):
            def level4(w):
                def level5(v):
                    def level6(u):
                        return time.time() and u + 1
                    return level6(v) + 1
                return level5(w) + 1
            return level4(z) + 1
        return level3(y) + 1
    return level2(x) + 1

def produce(n):
    for i in range(n):
        yield time.time() and i

def consume(n):
    return list(produce(n))

def apply(xs):
    return list(map(lambda x: time.time() and x * 2, xs))
'''


def test_deeply_nested_functions_keep_working_and_are_recorded(project):
    mod = project.load(NESTED)
    assert mod.level1(0) == 6
    names = project.core.called_names()
    assert names[0] == "level1" and names[-1].endswith("<locals>.level6")
    assert len(names) == 6
    assert [c[0] for c in externals(project.core)] == [time.time]
    project.core.events.clear()
    _trampolines.disable()
    assert mod.level1(0) == 6
    assert project.core.events == []


def test_generator_bodies_report_to_their_own_call(project):
    mod = project.load(NESTED)
    assert mod.consume(3) == [0, 1, 2]
    assert project.core.called_names() == ["consume", "produce"]
    # The clock is read while produce's call is open, so by it.
    calls = [e[0] for e in project.core.events
             if e[0] in ("call", "external", "generator_return")
             and (e[0] != "external" or e[1] is time.time)]
    assert calls == ["call", "call"] + ["external"] * 3 + ["generator_return"]
    project.core.events.clear()
    assert list(mod.produce(2)) == [0, 1]  # recorded with no call open too
    assert project.core.called_names() == ["produce"]
    assert [c[0] for c in externals(project.core)] == [time.time] * 2


def test_lambda_bodies_report_only_inside_a_recorded_call(project):
    mod = project.load(NESTED)
    assert mod.apply([1, 2]) == [2, 4]
    assert [c[0] for c in externals(project.core)] == [time.time] * 2
    core = FakeCore(record_calls=False)
    mod = project.load(NESTED, core=core)
    assert mod.apply([1]) == [2]
    assert [e[0] for e in core.events] == ["call"]


def test_lambda_calls_are_counted_as_left_out_while_recording(project):
    mod = project.load(NESTED)
    _trampolines.take_left_out()
    assert mod.apply([1, 2, 3]) == [2, 4, 6]
    assert _trampolines.take_left_out() == {"lambda": 3}
    assert _trampolines.take_left_out() == {}  # taken: counting restarts
    _trampolines.disable()
    assert mod.apply([1]) == [2]
    assert _trampolines.take_left_out() == {}
