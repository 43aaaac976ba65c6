"""The cache of instrumented modules: used only for the very source, the
interpreter and the instrumenter that made it; written whole or not at all;
never left for a source that cannot be instrumented; no error where it
cannot be written."""
import importlib
import importlib.util
import marshal
import os
import subprocess
import sys
import types

import pytest

from tarnwick_collector.tracer import _trampolines, cache, hook, rewrite
from tarnwick_common.utils.hash import get_hash

from test_tracer_rewrite import SAMPLE, _codes, _read

SOURCE = '''
import json

def f(x, *rest, k=1, **kw):
    return json.dumps([x, rest, k, kw])

class C:
    def m(self, y):
        return [y * 2 for _ in range(1)][0]

async def co():
    return 1

def gen():
    yield 1
'''


@pytest.fixture(autouse=True)
def writable(monkeypatch):
    # The test environment may ask for no bytecode files at all.
    monkeypatch.setattr(sys, "dont_write_bytecode", False)


def _cached_file(module_path):
    path = cache.cache_path(str(module_path))
    assert path is not None
    return path


def _reimport(name):
    sys.modules.pop(name, None)
    importlib.invalidate_caches()
    return importlib.import_module(name)


def _no_instrumenter(monkeypatch):
    """Make instrumenting from source fail loudly: a module can then only
    load instrumented from the cache."""
    def refuse(*args):
        raise AssertionError("instrumented from source")

    monkeypatch.setattr(rewrite, "instrument", refuse)


def test_a_cached_module_loads_instrumented_as_the_source_does(project, monkeypatch):
    path = project.write("twmod_cached.py", SOURCE)
    project.install()
    fresh = importlib.import_module("twmod_cached")
    cached_file = _cached_file(path)
    assert os.path.basename(cached_file) == (
        f"twmod_cached.{sys.implementation.cache_tag}.tarnwick-"
        f"{importlib.import_module('tarnwick_collector').__version__}.pyc")
    assert os.path.exists(cached_file)
    # never under the interpreter's own name: a plain import must not load it
    assert not os.path.exists(importlib.util.cache_from_source(str(path)))

    _no_instrumenter(monkeypatch)
    again = _reimport("twmod_cached")
    assert again.f(1, 2, k=3) == fresh.f(1, 2, k=3)
    project.core.events.clear()
    assert again.f(1, 2, k=3) == '[1, [2], 3, {}]'
    assert again.C().m(4) == 8
    assert project.core.called_names() == ["f", "C.m"]
    # digests are those of the functions as written
    plain_ns = {}
    exec(compile(path.read_bytes(), str(path), "exec"), plain_ns)
    assert get_hash(again.f) == get_hash(plain_ns["f"])
    assert get_hash(again.C.m) == get_hash(plain_ns["C"].m)


def test_a_changed_source_is_instrumented_again(project):
    path = project.write("twmod_changed.py", "def f():\n    return 1\n")
    project.install()
    assert importlib.import_module("twmod_changed").f() == 1
    stat = os.stat(path)
    # same size, same time stamp: only the content tells
    path.write_text("def f():\n    return 2\n")
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    assert _reimport("twmod_changed").f() == 2
    # and the entry now holds the new source
    assert cache.read(_cached_file(path), path.read_bytes()) is not None


def test_an_entry_of_another_interpreter_or_instrumenter_is_not_used(project, monkeypatch):
    path = project.write("twmod_other_magic.py", "def f():\n    return 1\n")
    project.install()
    importlib.import_module("twmod_other_magic")
    entry = _cached_file(path)
    source = path.read_bytes()
    assert cache.read(entry, source) is not None
    with monkeypatch.context() as other_interpreter:
        other_interpreter.setattr(importlib.util, "MAGIC_NUMBER", b"\x00\x00\r\n")
        assert cache.read(entry, source) is None
    monkeypatch.setattr(cache, "_key", b"\x01" * 16)  # another instrumenter
    assert cache.read(entry, source) is None
    calls = []
    real = rewrite.instrument
    monkeypatch.setattr(rewrite, "instrument",
                        lambda *a: calls.append(a) or real(*a))
    assert _reimport("twmod_other_magic").f() == 1
    assert calls  # instrumented afresh, and cached for this key
    assert cache.read(entry, source) is not None


@pytest.mark.parametrize("damage", [b"", b"garbage", None])
def test_a_damaged_entry_is_instrumented_afresh(project, damage):
    path = project.write("twmod_damaged.py", "def f():\n    return 5\n")
    project.install()
    importlib.import_module("twmod_damaged")
    entry = _cached_file(path)
    with open(entry, "rb") as fh:
        data = fh.read()
    with open(entry, "wb") as fh:
        # header intact with a cut payload, or nothing that fits
        fh.write(data[:40] if damage is None else damage)
    module = _reimport("twmod_damaged")
    assert module.f() == 5
    assert isinstance(module.__spec__.loader, hook.InstrumentingLoader)
    project.core.events.clear()
    module.f()
    assert project.core.called_names() == ["f"]


def _cut_plan(payload):
    code, slot_args, plan = payload
    return code, slot_args, plan[:-1]


def _plan_past_code(payload):
    code, slot_args, plan = payload
    return code, slot_args, plan + b"\x00"


def _plan_out_of_range(payload):
    code, slot_args, plan = payload
    return code, slot_args, b"\x01\xff\xff\xff\x7f\x00\x00"


def _plan_as_tuple(payload):
    code, slot_args, plan = payload
    return code, slot_args, tuple(plan)


def _slot_args_short(payload):
    code, slot_args, plan = payload
    return code, slot_args[:-1], plan


def _slot_args_mistyped(payload):
    code, slot_args, plan = payload
    return code, slot_args[:5] + (5,) + slot_args[6:], plan


@pytest.mark.parametrize("damage", [
    _cut_plan, _plan_past_code, _plan_out_of_range, _plan_as_tuple,
    _slot_args_short, _slot_args_mistyped])
def test_an_entry_that_does_not_fit_its_code_is_instrumented_afresh(
        project, monkeypatch, damage):
    # A whole entry for the very source, whose parts do not fit together
    # (another build wrote it, or a disk damaged it past the header).
    path = project.write("twmod_unfit.py", "def f(x):\n    return [x for _ in 'a']\n")
    project.install()
    importlib.import_module("twmod_unfit")
    entry = _cached_file(path)
    source = path.read_bytes()
    cache.write(entry, source, damage(cache.read(entry, source)))
    calls = []
    real = rewrite.instrument
    monkeypatch.setattr(rewrite, "instrument", lambda *a: calls.append(a) or real(*a))
    module = _reimport("twmod_unfit")
    assert calls
    project.core.events.clear()
    assert module.f(3) == [3]
    assert project.core.called_names() == ["f"]
    assert rewrite.original_code(module.f.__code__) is not None


def test_slots_made_again_are_those_made_from_any_arguments():
    taken = _trampolines.Slot(1, 2, True, ("k",), False, "C.m", True)
    parsed = _trampolines.Slot(1, 2, 1, ("k",), 0, "C.m", generator=1)
    fields = ("kind", "npos", "kwonly", "qualname", "generator")
    assert [getattr(taken, f) for f in fields] == [getattr(parsed, f) for f in fields]
    with pytest.raises(TypeError):
        _trampolines.Slot(1, 2, True, ["k"], False, "C.m", True)
    with pytest.raises(TypeError):
        _trampolines.Slot(1, 2, True, ("k",), False, b"C.m", True)
    with pytest.raises(ValueError):
        _trampolines.Slot(99, 2, True, ("k",), False, "C.m", True)
    with pytest.raises(OverflowError):
        _trampolines.Slot(2 ** 40, 2, True, ("k",), False, "C.m", True)
    slots, objects = _trampolines.cached_slots((1, 2, True, ("k",), False, "C.m", True) * 2,
                                               ["fixed"])
    assert len(slots) == 2 and slots[0] is not slots[1]
    assert objects[:3] == ["fixed", slots[0], slots[0].bind]
    assert objects[3:] == [slots[1], slots[1].bind]
    with pytest.raises(TypeError):
        _trampolines.cached_slots((1, 2, True), [])


def test_where_the_cache_cannot_be_written_modules_load_without_it(project):
    # __pycache__ taken by a file: no directory can be made there
    (project.root / "__pycache__").write_text("not a directory")
    path = project.write("twmod_nocache.py", "def f():\n    return 3\n")
    project.install()
    module = importlib.import_module("twmod_nocache")
    project.core.events.clear()
    assert module.f() == 3 and project.core.called_names() == ["f"]
    assert not os.path.exists(_cached_file(path))
    leftovers = [n for n in os.listdir(project.root) if n.endswith(".tmp")]
    assert leftovers == []


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0,
                    reason="the superuser writes read-only directories")
def test_a_read_only_directory_gets_no_cache_and_no_error(project):
    path = project.write("ro/twmod_ro.py", "def f():\n    return 4\n")
    sys.path.insert(0, str(project.root / "ro"))
    os.chmod(project.root / "ro", 0o555)
    try:
        project.install()
        module = importlib.import_module("twmod_ro")
        assert module.f() == 4
        assert not os.path.exists(_cached_file(path))
    finally:
        os.chmod(project.root / "ro", 0o755)
        sys.path.remove(str(project.root / "ro"))


def test_a_source_that_cannot_be_instrumented_leaves_no_entry(project, monkeypatch):
    path = project.write("twmod_fails.py", "def f():\n    return 1\n")
    project.install()
    importlib.import_module("twmod_fails")
    entry = _cached_file(path)
    assert os.path.exists(entry)
    path.write_text("def f():\n    return 22\n")

    def broken(tree):
        raise RuntimeError("instrumenter bug")

    monkeypatch.setattr(rewrite, "analyze", broken)
    module = _reimport("twmod_fails")
    assert module.f() == 22  # loaded as written
    assert not os.path.exists(entry)
    assert tracer_failures(project) == ["twmod_fails"]


def tracer_failures(project):
    from tarnwick_collector import tracer

    return [name for name, _ in tracer.current_project().failures]


def test_a_source_with_a_syntax_error_leaves_no_entry(project):
    path = project.write("twmod_bad.py", "def f():\n    return 1\n")
    project.install()
    importlib.import_module("twmod_bad")
    entry = _cached_file(path)
    path.write_text("def f(:\n")
    sys.modules.pop("twmod_bad")
    with pytest.raises(SyntaxError):
        importlib.import_module("twmod_bad")
    assert not os.path.exists(entry)


_IMPORTER = """
import sys
sys.path.insert(0, sys.argv[1])
from tarnwick_collector import tracer
import fakecore
core = fakecore.FakeCore()
tracer.install(sys.argv[1], core)
import twmod_shared
core.events.clear()
assert twmod_shared.total(20) == 190
assert core.called_names() == ["total"], core.called_names()
print("ok")
"""


def test_processes_importing_at_once_all_load_it_instrumented(project):
    body = "".join(f"def g{i}(x):\n    return x + {i}\n" for i in range(300))
    path = project.write("twmod_shared.py",
                         body + "def total(n):\n    return sum(range(n))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.dirname(os.path.dirname(rewrite.__file__))),
         os.path.dirname(os.path.abspath(__file__)), *sys.path]))
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    procs = [subprocess.Popen([sys.executable, "-c", _IMPORTER, str(project.root)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=env, text=True)
             for _ in range(6)]
    results = [p.communicate(timeout=120) for p in procs]
    assert [r[0] for r in results] == ["ok\n"] * 6, [r[1] for r in results]
    # one whole entry, no temporary file left
    assert cache.read(_cached_file(path), path.read_bytes()) is not None
    pycache = os.path.dirname(_cached_file(path))
    assert [n for n in os.listdir(pycache) if not n.endswith(".pyc")] == []


@pytest.mark.parametrize("in_place", [False, True], ids=["copied", "in place"])
@pytest.mark.parametrize("path", SAMPLE[::3], ids=lambda p: os.path.basename(p))
def test_code_made_from_an_entry_is_the_code_made_from_source(path, in_place):
    source = _read(path)
    try:
        fresh = rewrite.instrument(source, path)
    except SyntaxError:
        pytest.skip("not valid on this version")
    # Bound in place, the entry's own code objects are filled; copied, the
    # entry is left as it was and can be written again.
    name = path if in_place else "elsewhere/" + path
    payload = marshal.loads(marshal.dumps(fresh.payload))
    again = rewrite.instrument_from_payload(payload, source, name, fresh=in_place)
    assert (again.code is payload[0]) == in_place
    if not in_place:
        assert marshal.loads(marshal.dumps(payload))[0] == payload[0]
    for a, b in zip(_codes(fresh.code), _codes(again.code)):
        assert b.co_filename == name
        # mapped to the code as written, as the fresh code is
        assert (rewrite.original_code(a) is None) == (rewrite.original_code(b) is None)
        assert (a.co_code, a.co_names, a.co_qualname if hasattr(a, "co_qualname")
                else a.co_name) == (b.co_code, b.co_names, b.co_qualname
                                    if hasattr(b, "co_qualname") else b.co_name)
        for x, y in zip(a.co_consts, b.co_consts):
            if isinstance(x, types.CodeType):
                continue
            assert type(x) is type(y)
            if type(x).__name__ == "Slot":
                assert (x.kind, x.npos, x.kwonly, x.qualname) == \
                    (y.kind, y.npos, y.kwonly, y.qualname) and x is not y
            elif type(x).__name__ == "builtin_function_or_method":
                assert x.__name__ == y.__name__ == "bind"
            elif not isinstance(x, (int, str, bytes, float, tuple, frozenset, complex,
                                    type(None), type(...))):
                assert x is y  # the same trampolines and gates
            else:
                assert x == y
    assert len(again.slots) == len(fresh.slots)


def test_binding_in_place_leaves_constants_someone_else_holds_alone():
    code = compile("def f():\n    return '\\x00tarnwick\\x000'\n", "m.py", "exec")
    inner = next(c for c in code.co_consts if isinstance(c, types.CodeType))
    held = inner.co_consts
    marker = _trampolines.Slot(0, 0, False, (), False, "f", False)
    bound = _trampolines.bind_code(code, rewrite._binding_plan(code), [marker],
                                   rewrite._Source(b"", "m.py"), True)
    bound_inner = next(c for c in bound.co_consts if isinstance(c, types.CodeType))
    assert bound_inner is not inner and marker in bound_inner.co_consts
    assert marker not in held and held is inner.co_consts
    assert _trampolines.code_source(bound_inner) is not None
    assert _trampolines.code_source(inner) is None


def test_the_entry_names_a_cached_module_under_its_own_tag(tmp_path):
    source_path = str(tmp_path / "m.py")
    path = cache.cache_path(source_path)
    plain = importlib.util.cache_from_source(source_path)
    assert path != plain and os.path.dirname(path) == os.path.dirname(plain)
    assert os.path.basename(path).startswith(
        f"m.{sys.implementation.cache_tag}.tarnwick-")
