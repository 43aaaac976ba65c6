"""What the tracer reports for calls of generator functions: one call, open
while the body runs, suspended at each yield (the value reported) and
resumed with the body, ended as returned, raised, closed or abandoned."""
import gc
import threading

import pytest

from fakecore import FakeCore
from tarnwick_collector.tracer import _trampolines

SOURCE = '''
import os

def numbers(n):
    for i in range(n):
        os.getcwd()
        yield i
    return "end"

def failing():
    yield 1
    raise KeyError("k")

def delegating():
    got = yield from numbers(2)
    yield got

def resume_after_close():
    try:
        yield 1
    except GeneratorExit:
        return "bye"

def plain_caller():
    return sum(numbers(3))
'''


@pytest.fixture
def mod(project):
    return project.load(SOURCE)


def events(core, *kinds):
    return [e for e in core.events if e[0] in kinds]


def ending_of(core):
    (end,) = core.of("generator_return")
    return end[3], end[2], end[4]


def test_an_exhausted_generator_is_one_call_with_its_values(mod, project):
    assert list(mod.numbers(2)) == [0, 1]
    core = project.core
    (call,) = core.of("call")
    record = call[4]
    assert call[1] is mod.numbers and call[2] == (2,)
    assert [(e[2], e[3]) for e in core.of("yield")] == [(0, False), (1, False)]
    assert [e[1] for e in core.of("resume")] == [record, record]
    assert ending_of(core) == ("returned", "end", None)
    assert core.of("return") == []  # the generator entry ends it
    # The body's external calls happen while the call is open.
    kinds = [e[0] for e in events(core, "external", "yield", "resume")
             if e[0] != "external" or e[1].__name__ == "getcwd"]
    assert kinds == ["external", "yield", "resume", "external", "yield", "resume"]
    assert _trampolines.stack_depth() == 0


def test_the_ending_tells_closed_from_abandoned_and_raised(mod, project):
    core = project.core
    g = mod.numbers(5)
    next(g)
    g.close()
    assert ending_of(core)[0] == "closed"
    assert isinstance(ending_of(core)[2], GeneratorExit)

    core.events.clear()
    g = mod.numbers(5)
    next(g)
    del g
    gc.collect()
    assert ending_of(core)[0] == "abandoned"

    core.events.clear()
    g = mod.failing()
    next(g)
    with pytest.raises(KeyError):
        next(g)
    ending, _, pending = ending_of(core)
    assert ending == "raised" and isinstance(pending, KeyError)

    core.events.clear()
    g = mod.resume_after_close()
    next(g)
    g.close()
    assert ending_of(core)[:2] == ("closed", "bye")
    assert _trampolines.stack_depth() == 0


def test_a_thrown_exception_resumes_the_call_before_the_body_sees_it(mod, project):
    g = mod.numbers(3)
    next(g)
    with pytest.raises(ValueError):
        g.throw(ValueError("in"))
    core = project.core
    (resume,) = core.of("resume")
    assert isinstance(resume[4], ValueError)
    assert ending_of(core)[0] == "raised"


def test_send_is_reported_with_its_value(project):
    mod = project.load('''
def echo():
    got = None
    while True:
        got = yield got
''')
    g = mod.echo()
    next(g)
    assert g.send(7) == 7
    assert [e[3] for e in project.core.of("resume")] == [7]


def test_values_passed_on_by_yield_from_are_recorded_as_yielded(mod, project):
    assert list(mod.delegating()) == [0, 1, "end"]
    core = project.core
    outer = [e[4] for e in core.of("call") if e[1] is mod.delegating][0]
    own = [(e[2], e[3]) for e in core.of("yield") if e[1] is outer]
    assert own == [(0, False), (1, False), ("end", False)]
    # The delegate's result is no value sent in.
    assert all(e[3] is None for e in core.of("resume") if e[1] is outer)
    # The delegate runs while the delegating call is open: its clock reads
    # happen inside it.
    order = [e[0] if e[0] != "call" else e[1].__name__ for e in core.events
             if e[0] in ("call", "generator_return")
             or (e[0] == "external" and e[1].__name__ == "getcwd")]
    assert order == ["delegating", "numbers", "external", "external",
                     "generator_return", "generator_return"]
    assert _trampolines.stack_depth() == 0


RELAYED = '''
def inner():
    try:
        got = yield "a"
        yield ("got", got)
    except ValueError as e:
        yield ("caught", str(e))
    finally:
        print("inner done")

def outer():
    result = yield from inner()
    return result

def over_list():
    yield from [1, 2]

class Custom:
    def __iter__(self):
        return iter([7, 8])

def over_custom():
    yield from Custom()
'''


def test_a_delegation_keeps_send_throw_close_and_errors_as_written(project):
    mod = project.load(RELAYED)
    g = mod.outer()
    assert next(g) == "a" and g.send(5) == ("got", 5)
    assert type(g.gi_yieldfrom).__name__ == "Relay"  # the one visible change
    g.close()
    g = mod.outer()
    next(g)
    assert g.throw(ValueError("x")) == ("caught", "x")
    with pytest.raises(StopIteration):
        next(g)
    g = mod.over_list()
    next(g)
    with pytest.raises(AttributeError, match="'list_iterator' object has no attribute 'send'"):
        g.send(3)
    g = mod.over_list()
    next(g)
    with pytest.raises(KeyError):  # a list iterator has no throw: raised at the yield from
        g.throw(KeyError("k"))
    endings = [e[3] for e in project.core.of("generator_return")]
    assert endings == ["closed", "closed", "returned", "returned", "raised", "raised"]
    assert _trampolines.stack_depth() == 0


def test_a_delegate_whose_iteration_runs_program_code_is_not_relayed(project):
    mod = project.load(RELAYED)
    assert list(mod.over_custom()) == [7, 8]
    (call,) = [e[4] for e in project.core.of("call") if e[1] is mod.over_custom]
    marks = [(e[2], e[3]) for e in project.core.of("yield") if e[1] is call]
    assert marks == [(None, True)]  # one delegation, its values unseen


def test_a_generator_resumed_on_another_thread_is_recorded_there(mod, project):
    g = mod.numbers(3)
    assert next(g) == 0
    rest = []
    t = threading.Thread(target=lambda: rest.extend(g))
    t.start()
    t.join()
    assert rest == [1, 2]
    assert ending_of(project.core)[0] == "returned"
    assert _trampolines.stack_depth() == 0


def test_a_core_without_generator_entries_is_never_offered_them(project):
    class OldCore(FakeCore):
        record_generator_yield = None

    mod = project.load(SOURCE, core=OldCore())
    assert list(mod.numbers(2)) == [0, 1]
    assert project.core.of("call") == []
    # Calls made inside the generator still report to the caller's record.
    assert mod.plain_caller() == 3
    assert [e[1] for e in project.core.of("call")] == [mod.plain_caller]
