"""Instrumented functions live exactly as long as they would without the
tracer: a module's functions, its globals and the objects in them are
freed once the program drops them, and are finalized at exit as usual."""
import gc
import marshal
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

from tarnwick_collector import tracer
from tarnwick_collector.tracer import _trampolines, rewrite

HERE = __file__.rsplit("/", 1)[0]

MODULE = b'''
class Marker:
    pass


MARKER = Marker()


def plain(x):
    return x + 1


class Shop:
    def __init__(self):
        self.items = []

    @classmethod
    def make(cls):
        return cls()


async def later():
    return 1


def outer(n):
    def inner(k):
        return k * n
    return inner(2)
'''


def load(source, instrumented):
    """``instrumented``: False (compiled as written), True, or "cached"
    (made again from what the cache keeps, as an import from it does)."""
    module = types.ModuleType("twmod_lifetime")
    name = "/nowhere/twmod_lifetime.py"
    if instrumented == "cached":
        payload = marshal.loads(marshal.dumps(rewrite.instrument(source, name).payload))
        code = rewrite.instrument_from_payload(payload, source, name, fresh=True).code
    elif instrumented:
        code, done = tracer.compile_module(source, name)
        assert done
    else:
        code = compile(source, name, "exec")
    exec(code, module.__dict__)
    return module


@pytest.mark.parametrize("instrumented", [False, True, "cached"],
                         ids=["plain", "instrumented", "cached"])
@pytest.mark.parametrize("calls", [False, True], ids=["unused", "called"])
def test_module_globals_are_freed_with_the_module(instrumented, calls):
    module = load(MODULE, instrumented)
    if calls:
        assert module.plain(1) == 2 and module.outer(3) == 6
        assert isinstance(module.Shop.make(), module.Shop)
    marker = weakref.ref(module.MARKER)
    function = weakref.ref(module.plain)
    del module
    gc.collect()
    assert marker() is None and function() is None


def test_calls_are_offered_while_functions_of_the_def_are_alive(project):
    module = project.load('''
        def twice(x):
            return 2 * x

        def make(n):
            def inner(k):
                return k + n
            return inner
    ''')
    assert module.twice(4) == 8
    first = module.make(1)
    later = module.make(10)
    assert later(1) == 11
    # The function the def produced last is gone; an earlier one still runs.
    del later
    gc.collect()
    project.core.events.clear()
    assert first(1) == 2
    called = [e[1] for e in project.core.events if e[0] == "call"]
    assert called == [first]
    inner = weakref.ref(first)
    project.core.events.clear()  # the fake core keeps what it was given
    del first, called
    gc.collect()
    assert inner() is None


@pytest.mark.skipif(sys.version_info < (3, 11),
                    reason="frames name their function from 3.11 on")
def test_each_call_is_offered_with_the_function_that_runs(project):
    # Functions of one def share their code: closures made by a factory,
    # and the wrappers a decorator makes.
    module = project.load('''
        import functools

        def make(k):
            def add(x, y=k):
                return x + y
            return add

        def deco(fn):
            def wrapper(*args):
                return fn(*args)
            wrapper.inner = fn
            return wrapper

        def wraps(fn):
            @functools.wraps(fn)
            def wrapper(*args):
                return fn(*args)
            return wrapper

        @deco
        def first(x):
            return x + 1

        @deco
        def second(x):
            return x * 2

        @wraps
        def third(x):
            return x - 1
    ''')
    one, two = module.make(1), module.make(2)
    project.core.events.clear()
    assert (one(10), two(10), one(20)) == (11, 12, 21)
    assert module.first(1) == 2 and module.second(3) == 6
    called = [e[1] for e in project.core.events if e[0] == "call"]
    assert called[:3] == [one, two, one]
    # Each wrapper is offered as itself, then the function it wraps.
    assert called[3:] == [module.first, module.first.inner,
                          module.second, module.second.inner]
    # A wrapper that names what it wraps (__wrapped__) is left out: the
    # wrapped function is the one record of the call.
    project.core.events.clear()
    assert module.third(1) == 0
    assert [e[1] for e in project.core.events if e[0] == "call"] == [
        module.third.__wrapped__]


PROGRAM = '''
import sys
sys.path.insert(0, {tests!r})
import fakecore
from tarnwick_collector import tracer
from tarnwick_collector.tracer import _trampolines, rewrite
tracer.install({root!r}, fakecore.CountingCore())
import twmod_left_open
twmod_left_open.write("kept in the buffer")
'''


def test_objects_left_in_a_module_are_finalized_at_exit(tmp_path):
    (tmp_path / "twmod_left_open.py").write_text(
        "OUT = open('left-open.txt', 'w')\n\n\n"
        "def write(text):\n    OUT.write(text)\n    return len(text)\n")
    program = PROGRAM.format(tests=HERE, root=str(tmp_path))
    proc = subprocess.run([sys.executable, "-c", program], cwd=str(tmp_path),
                          env={"PYTHONPATH": str(tmp_path), "PATH": ""},
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "left-open.txt").read_text() == "kept in the buffer"


def test_recorded_calls_give_back_every_reference(project):
    """Arguments, return values, raised exceptions, the objects of external
    calls, attribute loads and `with` statements: once the calls have ended
    the tracer holds none of them."""
    mod = project.load("""
        import contextlib

        class Box:
            def __init__(self, v):
                self.v = v

        def ident(x, *rest, **kw):
            b = Box(x)
            with contextlib.nullcontext(b):
                pass
            return b.v

        def fail(x):
            raise ValueError(x)

        def outer(x):
            try:
                fail(x)
            except ValueError:
                pass
            return [ident(x)][0] and ident(x, x, k=x)
    """)
    token = types.SimpleNamespace()
    before = sys.getrefcount(token)
    for _ in range(200):
        assert mod.outer(token) is token
    assert project.core.events
    project.core.events.clear()
    gc.collect()
    assert _trampolines.stack_depth() == 0
    assert sys.getrefcount(token) == before


ENDED_WHILE_RECORDING = '''
import sys, threading, time
sys.path.insert(0, {tests!r})
import fakecore
from tarnwick_collector import tracer

inside = threading.Event()


class SlowCore(fakecore.CountingCore):
    """Offered a call on the daemon thread, it waits (the lock free) until
    the main thread has gone on to end the interpreter."""

    def record_user_function_call(self, called, *args, **kwargs):
        if threading.current_thread().daemon:
            inside.set()
            time.sleep({pause})
        return super().record_user_function_call(called, *args, **kwargs)

    def record_generator_yield(self, value, record, delegated=False):
        if threading.current_thread().daemon:
            inside.set()
            time.sleep({pause})
        return super().record_generator_yield(value, record, delegated)


tracer.install({root!r}, SlowCore())
import twmod_daemon
threading.Thread(target=twmod_daemon.{entry}, daemon=True).start()
inside.wait(30)
import twmod_linger
print("main ends")
'''


@pytest.mark.parametrize("entry", ["call", "suspend", "build"])
def test_a_daemon_thread_ended_inside_a_recorded_call_leaves_its_references(tmp_path, entry):
    """At exit the interpreter ends a daemon thread that takes the lock back
    with pthread_exit, which runs the destructors of the native frames on
    it. Releasing references there, without the lock and while the main
    thread frees objects, crashed the process at exit."""
    (tmp_path / "twmod_daemon.py").write_text(textwrap.dedent("""
        def work(*parts, **named):
            return len(parts) + len(named)

        def call():
            work(*[object() for _ in range(3)], key=[1, 2])

        def numbers():
            yield [object()]
            yield 2

        def suspend():
            for _ in numbers():
                pass

        class Built:
            def __init__(self, *parts):
                self.n = work(*parts)

        def build():
            Built(*[object() for _ in range(3)])
    """))
    # Freed while the interpreter ends, it lets go of the lock for a while:
    # the daemon thread, awake by then, is ended on taking it back. (A
    # module of its own: the daemon thread's frames keep the main module.)
    (tmp_path / "twmod_linger.py").write_text(textwrap.dedent("""
        import time

        class Lingering:
            def __del__(self, sleep=time.sleep):
                sleep(1.0)

        LINGERING = Lingering()
    """))
    program = ENDED_WHILE_RECORDING.format(tests=HERE, root=str(tmp_path), entry=entry,
                                           pause=0.25)
    for _ in range(2):
        proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", program],
                              cwd=str(tmp_path), env={"PYTHONPATH": str(tmp_path), "PATH": ""},
                              capture_output=True, text=True, timeout=60)
        assert (proc.returncode, proc.stdout) == (0, "main ends\n"), proc.stderr[-3000:]
