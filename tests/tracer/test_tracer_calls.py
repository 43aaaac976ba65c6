"""What the tracer reports to the core for calls of project functions:
the called object and arguments at the start, the return value or pending
exception at the end."""
import asyncio
import sys
import threading
import traceback

import pytest

from fakecore import FakeCore
from tarnwick_collector import tracer
from tarnwick_collector.tracer import _trampolines

SOURCE = '''
import functools

def plain(a, b=2, *args, c, d=4, **kw):
    return (a, b, args, c, d, kw)

def posonly(x, /, y):
    return x + y

def mutates(items):
    items.append("post")
    return len(items)

def boom(msg):
    raise ValueError(msg)

def last_return():
    try:
        return "try"
    finally:
        return "finally"

def swallow():
    try:
        raise KeyError("k")
    finally:
        return "swallowed"

def raise_after_return():
    try:
        return 1
    finally:
        raise LookupError("late")

def gen(n):
    yield from range(n)

async def coro(x):
    await asyncio_sleep0()
    return x * 2

async def asyncio_sleep0():
    return None

def outer(n):
    return inner(n) + 1

def inner(n):
    return n * 10

class Base:
    def __init__(self, v):
        self.v = v

    def method(self, k=1):
        return self.v + k

    @classmethod
    def build(cls, v):
        return cls(v)

    @staticmethod
    def static(a, b):
        return a - b

class Child(Base):
    def __init__(self, v):
        super().__init__(v + 1)

class Plain(Base):
    pass

class Divided:
    def __init__(self, by):
        self.share = 1 / by

class OwnState(Base):
    def __getstate__(self):
        return {"v": self.v}

class Forwarding(Base):
    def __getattr__(self, name):
        return name

class WithNew:
    def __new__(cls, *args):
        return super().__new__(cls)

    def __init_subclass__(cls, **kw):
        super().__init_subclass__(**kw)

class Meta(type):
    def __call__(cls, *args):
        return super().__call__(*args)

class Made(metaclass=Meta):
    def __init__(self, v):
        self.v = v

class Private:
    def __hidden(self, *, __key=1):
        return __key

    def call(self):
        return self.__hidden(_Private__key=5)

@functools.lru_cache(maxsize=None)
def cached(n):
    return n + 1

def decorated_twice(fn):
    def wrapper(*a, **k):
        return fn(*a, **k)
    return wrapper

@decorated_twice
def wrapped(x):
    "doc of wrapped"
    return x
'''


@pytest.fixture
def mod(project):
    return project.load(SOURCE)


def calls(core, name):
    return [e for e in core.of("call")
            if getattr(e[1], "__qualname__", None) == name or
            getattr(getattr(e[1], "__func__", None), "__qualname__", None) == name]


def ret_of(core, record):
    return [e for e in core.of("return") if e[1] is record]


@pytest.mark.parametrize("call, args, kwargs", [
    (lambda m: m.plain(1, c=3), (1, 2), {"c": 3, "d": 4}),
    (lambda m: m.plain(1, 5, 6, 7, c=3, d=0, z=9), (1, 5, 6, 7),
     {"c": 3, "d": 0, "z": 9}),
    (lambda m: m.posonly(1, y=2), (1, 2), {}),
])
def test_arguments_are_reported_positional_then_keyword(mod, project, call,
                                                        args, kwargs):
    call(mod)
    (event,) = project.core.of("call")
    assert event[2] == args and event[3] == kwargs


def test_return_value_and_normal_end(mod, project):
    assert mod.inner(4) == 40
    (_, called, args, _, record), = project.core.of("call")
    assert called is mod.inner and args == (4,)
    (end,) = ret_of(project.core, record)
    assert end[2] == 40 and end[3] is None


def test_exception_is_pending_at_the_end_and_reraised_unchanged(mod, project):
    with pytest.raises(ValueError) as info:
        mod.boom("bad")
    (end,) = project.core.of("return")
    assert end[2] is None and end[3] is info.value
    frames = traceback.extract_tb(info.value.__traceback__)
    assert frames[-1].name == "boom" and frames[-1].line == "raise ValueError(msg)"
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("name, outcome", [
    ("last_return", "finally"),
    ("swallow", "swallowed"),
    ("raise_after_return", LookupError),
])
def test_the_outcome_recorded_is_the_final_one(mod, project, name, outcome):
    fn = getattr(mod, name)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            fn()
        (end,) = project.core.of("return")
        assert isinstance(end[3], outcome)
    else:
        assert fn() == outcome
        (end,) = project.core.of("return")
        assert end[2] == outcome and end[3] is None


def test_method_call_reports_function_with_receiver(mod, project):
    obj = mod.Plain(3)
    project.core.events.clear()
    assert obj.method(k=2) == 5
    (event,) = project.core.of("call")
    assert event[1] is mod.Base.method and event[2] == (obj, 2)


def test_classmethod_reports_bound_method_without_class(mod, project):
    mod.Base.build(7)
    first = project.core.of("call")[0]
    assert first[1].__self__ is mod.Base
    assert first[1].__func__ is mod.Base.__dict__["build"].__func__
    assert first[2] == (7,)


def test_staticmethod_and_new_are_plain_functions(mod, project):
    assert mod.Base.static(5, 2) == 3
    mod.WithNew(1, 2)
    static, new = project.core.of("call")[:2]
    assert static[1] is mod.Base.static and static[2] == (5, 2)
    assert new[1] is mod.WithNew.__new__ and \
        new[2] == (mod.WithNew, 1, 2)


def test_initializer_of_a_new_instance_reports_the_class(mod, project):
    obj = mod.Child(1)
    child, base = project.core.of("call")[:2]
    # Child(1) runs Child.__init__: the program called the class.
    assert child[1] is mod.Child and child[2] == (1,)
    # super().__init__ runs Base.__init__ as a method of the instance.
    assert base[1] is mod.Base.__init__ and base[2] == (obj, 2)
    # The class call returned the instance; the base initializer None.
    base_end, child_end = project.core.of("return")[:2]
    assert base_end[2] is None and child_end[2] is obj and child_end[3] is None
    project.core.events.clear()
    plain = mod.Plain(4)  # inherits Base.__init__: still the class that was called
    (event,) = project.core.of("call")
    assert event[1] is mod.Plain and event[2] == (4,)
    assert project.core.of("return")[0][2] is plain


def test_initializer_of_a_class_that_pickles_its_own_way_returns_no_instance(mod, project):
    # The recorder would refuse the instance, and with it the initializer's
    # call: its arguments are recorded as they were before.
    for cls in (mod.OwnState, mod.Forwarding):
        project.core.events.clear()
        cls(2)
        (end,) = project.core.of("return")
        assert end[2] is None and end[3] is None


def test_initializer_that_raises_ends_with_its_exception_only(mod, project):
    with pytest.raises(ZeroDivisionError):
        mod.Divided(0)
    (end,) = project.core.of("return")
    assert end[2] is None and isinstance(end[3], ZeroDivisionError)


def test_initializer_reports_the_class_under_any_metaclass(mod, project):
    mod.Made(3)
    init = [e for e in project.core.of("call") if e[1] is mod.Made]
    assert len(init) == 1 and init[0][2] == (3,)


def test_private_names_are_mangled(mod, project):
    assert mod.Private().call() == 5
    hidden = calls(project.core, "Private.__hidden")
    assert hidden and hidden[0][3] == {"_Private__key": 5}


def test_nested_calls_open_and_close_in_order(mod, project):
    assert mod.outer(2) == 21
    order = [(e[0], getattr(e[1], "__qualname__", e[1]))
             for e in project.core.events if e[0] in ("call", "return")]
    assert [o[0] for o in order] == ["call", "call", "return", "return"]
    assert _trampolines.stack_depth() == 0


def test_coroutine_is_offered_closed_at_once_and_still_runs(mod, project):
    assert asyncio.run(mod.coro(4)) == 8
    names = project.core.called_names()
    assert "coro" in names
    for _, record, ret, pending in project.core.of("return"):
        assert ret is None and pending is None
    assert len(project.core.of("return")) == len(project.core.of("call"))
    assert _trampolines.stack_depth() == 0


def test_decorated_functions_are_recorded_through_their_wrappers(mod, project):
    assert mod.cached(1) == 2 and mod.cached(1) == 2
    assert project.core.called_names().count("cached") == 1  # cache hit
    assert mod.wrapped(3) == 3
    assert "wrapped" in project.core.called_names()
    assert mod.wrapped.__name__ == "wrapper"


def test_function_objects_keep_their_identity_and_attributes(mod):
    assert type(mod.plain).__name__ == "function"
    assert mod.plain.__defaults__ == (2,) and mod.plain.__kwdefaults__ == {"d": 4}
    assert mod.wrapped.__closure__[0].cell_contents.__doc__ == "doc of wrapped"


def test_sampling_zero_offers_nothing(project):
    mod = project.load(SOURCE, sampling_rate=0.0)
    mod.inner(1)
    assert project.core.events == []


def test_sampling_decides_per_call(project):
    mod = project.load(SOURCE, sampling_rate=0.5)
    for i in range(2000):
        mod.inner(i)
    offered = len(project.core.of("call"))
    assert 700 < offered < 1300


def test_calls_after_uninstall_are_not_offered_but_open_ones_finish(mod, project):
    mod.outer(1)
    assert project.core.of("call")
    project.core.events.clear()
    tracer.uninstall()
    assert mod.outer(1) == 11
    assert project.core.events == []


def test_stop_while_recording_still_ends_the_open_call(project):
    mod = project.load('''
        from tarnwick_collector import tracer
        def body():
            tracer.uninstall()
            return "end"
    ''')
    assert mod.body() == "end"
    (end,) = project.core.of("return")
    assert end[2] == "end"


def test_threads_keep_separate_stacks(mod, project):
    barrier = threading.Barrier(2)
    depths = []

    def work():
        barrier.wait()
        mod.outer(1)
        depths.append(_trampolines.stack_depth())

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert depths == [0, 0]
    assert project.core.called_names().count("outer") == 2


def test_project_code_run_by_the_core_is_not_recorded(project):
    class ReentrantCore(FakeCore):
        def record_user_function_call(self, called, *args, **kwargs):
            for a in args:
                repr(a)  # runs the project's __repr__
            return super().record_user_function_call(called, *args, **kwargs)

    mod = project.load('''
        class Thing:
            def __repr__(self):
                return "Thing()"
        def take(thing):
            return 1
    ''', core=ReentrantCore())
    thing = mod.Thing()
    assert mod.take(thing) == 1
    assert project.core.called_names() == ["take"]
    assert repr(thing) == "Thing()"
    assert project.core.called_names() == ["take", "Thing.__repr__"]


def test_recursion_depth_is_unchanged(project):
    mod = project.load('''
        def dive(n):
            try:
                return dive(n + 1)
            except RecursionError:
                return n
    ''')
    tracer.uninstall()
    plain_depth = mod.dive(0)
    project.install()
    project.core.events.clear()
    assert mod.dive(0) == plain_depth


def test_functions_pickled_by_value_carry_the_tracer_along(project):
    """cloudpickle pickles a function or class that cannot be found by name
    (made at run time, or of a module registered as by value) with its
    code, whose constants are the tracer's gates, trampolines and slots.
    They pickle as themselves, a slot as a new one; the copy runs as the
    original and its calls are recorded."""
    import pickle

    cloudpickle = pytest.importorskip("cloudpickle")
    for name in ("gate", "active", "active_lambda", "ret", "exit", "call", "gsus"):
        assert pickle.loads(pickle.dumps(getattr(_trampolines, name))) \
            is getattr(_trampolines, name)
    mod = project.load("""
        def make():
            class Point:
                def __init__(self, x):
                    self.x = x

                def double(self, *more, by=2):
                    yield Point(self.x * by + sum(more))

            return Point

        def add(a, b=1, *rest, k=2, **kw):
            return a + b + k + sum(rest) + len(kw)
    """)
    point = cloudpickle.loads(cloudpickle.dumps(mod.make()))
    cloudpickle.register_pickle_by_value(mod)
    try:
        add = cloudpickle.loads(cloudpickle.dumps(mod.add))
    finally:
        cloudpickle.unregister_pickle_by_value(mod)
    assert add is not mod.add and point.__qualname__ == "make.<locals>.Point"
    project.core.events.clear()
    assert [p.x for p in point(3).double(1)] == [7]
    assert add(1, 2, 3, k=4, z=0) == 11
    assert _trampolines.stack_depth() == 0
    if sys.version_info >= (3, 11):  # the frame names its function
        assert project.core.called_names() == [  # an initializer: its class
            "make.<locals>.Point", "make.<locals>.Point.double",
            "make.<locals>.Point", "add"]
