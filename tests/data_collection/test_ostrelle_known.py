"""A plain function extracted again: its names, digest and signature are
remembered while what they are made of stays the same, and worked out
afresh as soon as any of it changes."""
import types

import pytest

from tarnwick_collector.data_collection import ostrelle
from tarnwick_common.utils.hash import get_hash

extract = ostrelle.Ostrelle.extract_function_metadata

_KEEP = []


def plain(source="def f(x, y=1, *, k=2) -> int:\n    return len(x) + y\n"):
    ns = {}
    exec(source, {"__name__": __name__}, ns)
    fn = [v for v in ns.values() if isinstance(v, types.FunctionType)][-1]
    _KEEP.append(fn)
    return fn


def worked_out(fn, monkeypatch, **options):
    """The record as the four functions make it now: with one of them not
    the function the module imported, nothing remembered is used."""
    with monkeypatch.context() as m:
        m.setattr(ostrelle, "get_hash", lambda obj: get_hash(obj))
        return vars(extract(fn, **options))


def _other_code(fn):
    fn.__code__ = plain("def g(x, y=1, *, k=2):\n    return abs(x)\n").__code__


CHANGES = {
    "code": _other_code,
    "qualified name": lambda fn: setattr(fn, "__qualname__", "Renamed.f"),
    "module": lambda fn: setattr(fn, "__module__", "elsewhere"),
    "defaults": lambda fn: setattr(fn, "__defaults__", (5,)),
    "keyword defaults": lambda fn: setattr(fn, "__kwdefaults__", {"k": 3}),
    "annotations": lambda fn: setattr(fn, "__annotations__", {"x": str}),
    "an annotation changed in place": lambda fn: fn.__annotations__.update(
        x=bytes),
    "an annotation added in place": lambda fn: fn.__annotations__.update(
        y=float),
    "a signature of its own": lambda fn: setattr(
        fn, "__signature__", __import__("inspect").signature(lambda a: a)),
}


@pytest.mark.parametrize("change", CHANGES)
def test_a_change_to_what_the_parts_are_made_of_is_seen(change, monkeypatch):
    fn = plain()
    first = vars(extract(fn))
    assert vars(extract(fn)) == first == worked_out(fn, monkeypatch)
    CHANGES[change](fn)
    now = vars(extract(fn))
    assert now != first
    assert now == worked_out(fn, monkeypatch)


def test_each_extraction_makes_and_caches_a_new_record():
    fn = plain()
    first, second = extract(fn), extract(fn)
    assert first is not second and vars(first) == vars(second)
    assert extract(fn, dont_cache=True) is second


def test_functions_put_in_place_of_the_imported_ones_are_called(monkeypatch):
    fn = plain()
    extract(fn)
    extract(fn)  # remembered now
    asked = []
    monkeypatch.setattr(ostrelle, "get_function_full_name",
                        lambda module, obj: asked.append(obj) or "named")
    assert extract(fn).full_name == "named"
    assert extract(fn).full_name == "named"
    assert asked == [fn, fn]
    monkeypatch.undo()
    assert extract(fn).full_name == f"{__name__}.f"


@pytest.mark.parametrize("stored", [False, True], ids=["looked up", "stored"])
def test_another_function_at_a_reused_address_gets_its_own_parts(stored):
    # A function made by the same factory right after another one went
    # takes its address: it is made of the same code, but of other
    # defaults, and the parts of the first must not serve it. A stored
    # entry goes with its function: the cache does not keep it alive.
    def factory(default):
        def made(a=default):
            return a
        return made

    reused = 0
    for _ in range(20):
        fn = factory(object())
        address = id(fn)
        extract(fn, dont_cache=not stored)
        del fn
        other = factory(object())
        reused += id(other) == address
        spec = extract(other, dont_cache=True).function_signature
        assert spec.defaults[0] is other.__defaults__[0]
        del other, spec
    assert reused
