"""safe_pickle keeps one pickler between calls: every call must still write
what a pickler made for that call alone writes, hold nothing of the call
afterwards, and follow changes of the classes it is built from."""
import gc
import pickle
import threading
import weakref

import pydantic
import pytest
from pickler_support import fresh

from tarnwick_collector.data_collection.used_attributes_collector import (
    used_attributes,
)
from tarnwick_collector.data_serialization import pickler, tarn_pickle
from tarnwick_collector.exceptions import ProblematicPickleException

SafePickler = pickler.SafePickler
UnpicklableHelpers = pickler.UnpicklableHelpers


class Record:
    def __init__(self, a):
        self.a = a

    def __eq__(self, other):
        return type(other) is Record and other.a == self.a


SHARED = [1, 2]
RECORD = Record(3)
WORD = "".join(["wo", "rd"])  # one str object, not a constant

SEQUENCES = {
    # The memo of one call must not reach the next.
    "one list in every call": [SHARED, SHARED, {"a": SHARED}, (SHARED,)],
    "one short str in every call": [WORD, WORD, (WORD,), WORD],
    "one instance in every call": [RECORD, [RECORD, RECORD], RECORD],
    # Output beyond one frame, written in several pieces, then small ones.
    "large, then small": [list(range(30_000)), [SHARED], None],
    "large bytes written apart": [b"x" * 70_000, bytearray(b"y" * 70_000),
                                  [b"z" * 70_000, 1], "small"],
    "failure, then plain": [threading.Lock(), [1], threading.Lock()],
}


@pytest.mark.parametrize("values", SEQUENCES.values(), ids=SEQUENCES.keys())
def test_every_call_writes_what_a_pickler_of_its_own_writes(values):
    for value in values:
        assert pickler.safe_pickle(value) == fresh(value)


def test_object_wrapper_of_each_call_is_used(monkeypatch):
    record = Record(4)
    monkeypatch.setitem(used_attributes, id(record), {"a"})
    for wrapper in [True, False, True, 0, "yes"]:
        assert pickler.safe_pickle(record, wrapper) == fresh(record, wrapper)


class WithState:
    def __getstate__(self):
        return {}


def test_a_refusal_leaves_later_calls_unchanged():
    for _ in range(2):
        with pytest.raises(ProblematicPickleException):
            pickler.safe_pickle([1, WithState()])
        assert pickler.safe_pickle([SHARED, SHARED]) == fresh([SHARED, SHARED])


class Referent:
    pass


def referent_reducer(obj):
    return (str, ("replaced",))


@pytest.mark.parametrize("role", ["value", "object_wrapper", "failure reducer"])
def test_nothing_of_a_call_is_kept_after_it(role, monkeypatch):
    if role == "failure reducer":
        def reducer(obj):
            return (str, ("replaced",))
        monkeypatch.setattr(UnpicklableHelpers, "__reduce__",
                            staticmethod(reducer))
        assert pickle.loads(pickler.safe_pickle(threading.Lock())) == "replaced"
        monkeypatch.undo()
        ref = weakref.ref(reducer)
        del reducer
    else:
        obj = Referent()
        ref = weakref.ref(obj)
        if role == "value":
            pickler.safe_pickle([obj, obj])
        else:
            pickler.safe_pickle([1], obj)
        del obj
    gc.collect()
    assert ref() is None


class Probe(pydantic.BaseModel):
    """Runs its action while a dump writes it: the pickler leaves models to
    the base pickler, which runs the model's own __getstate__."""

    name: str = "probe"

    def __getstate__(self):
        PROBE_RESULTS.append(PROBE_ACTIONS[id(self)]())
        return super().__getstate__()


PROBE_ACTIONS = {}
PROBE_RESULTS = []


def probe(action):
    made = Probe()
    PROBE_ACTIONS[id(made)] = action
    PROBE_RESULTS.clear()
    return made


def test_a_call_made_during_a_dump_writes_its_own_value():
    nested = [5, 5, {"k": SHARED}]
    made = probe(lambda: pickler.safe_pickle(nested))
    outer = pickle.loads(pickler.safe_pickle([made, nested]))
    assert PROBE_RESULTS == [fresh(nested)]
    assert outer == [Probe(), nested]
    assert pickler.safe_pickle(nested) == fresh(nested)


def test_a_call_from_another_thread_during_a_dump():
    entered = threading.Event()
    release = threading.Event()

    def wait():
        entered.set()
        assert release.wait(10)
        return "read"

    made = probe(wait)
    results = {}
    worker = threading.Thread(
        target=lambda: results.update(outer=pickler.safe_pickle([made, SHARED])))
    worker.start()
    try:
        assert entered.wait(10)
        results["other"] = pickler.safe_pickle([SHARED, SHARED])
    finally:
        release.set()
        worker.join(10)
    assert results["other"] == fresh([SHARED, SHARED])
    loaded = pickle.loads(results["outer"])
    assert PROBE_RESULTS == ["read"] and loaded == [Probe(), SHARED]


def count_into(calls, name, result=None):
    def method(self, *args, **kwargs):
        calls.append(name)
        return result
    return method


# Changes made to the classes after the pickler has been in use, each with
# what one call of safe_pickle must then run.
CHANGES = {
    "__del__": (SafePickler, "__del__", ["__del__"]),
    "persistent_id": (SafePickler, "persistent_id", ["persistent_id"]),
    "property object_wrapper": (SafePickler, "object_wrapper",
                                ["object_wrapper"]),
    "base __init__": (tarn_pickle.Pickler, "__init__", ["__init__"]),
}


@pytest.mark.parametrize("owner, name, expected", CHANGES.values(),
                         ids=CHANGES.keys())
def test_class_changes_after_use_are_followed(owner, name, expected,
                                              monkeypatch):
    assert pickler.safe_pickle(SHARED) == fresh(SHARED)  # in use already
    calls = []
    if name == "object_wrapper":
        value = property(lambda self: True,
                         lambda self, v: calls.append("object_wrapper"))
    elif name == "persistent_id":
        value = count_into(calls, name)  # None: no persistent id
    elif name == "__init__":
        original = owner.__init__

        def value(self, *args, **kwargs):
            calls.append("__init__")
            original(self, *args, **kwargs)
    else:
        value = count_into(calls, name)
    monkeypatch.setattr(owner, name, value, raising=False)
    data = pickler.safe_pickle(1)
    gc.collect()
    assert pickle.loads(data) == 1
    assert sorted(set(calls)) == expected
    if name != "persistent_id":
        assert len(calls) == 1
    monkeypatch.undo()
    calls.clear()
    assert pickler.safe_pickle(SHARED) == fresh(SHARED)
    assert calls == []


@pytest.mark.parametrize("name", ["__reduce__", "special_cases"])
def test_helpers_set_to_none_are_passed_on_as_none(name, monkeypatch):
    monkeypatch.setattr(UnpicklableHelpers, name, None)
    value = [SHARED, threading.Lock()]
    try:
        expected = fresh(value)
    except Exception as exc:  # noqa: BLE001 - compared below
        expected = (type(exc), str(exc))
    for _ in range(2):
        try:
            got = pickler.safe_pickle(value)
        except Exception as exc:  # noqa: BLE001 - compared below
            got = (type(exc), str(exc))
        assert got == expected


@pytest.mark.parametrize("own_init", [False, True])
def test_a_class_bound_for_a_while_is_not_kept_afterwards(own_init,
                                                          monkeypatch):
    namespace = {}
    if own_init:
        def __init__(self, *args, **kwargs):
            SafePickler.__init__(self, *args, **kwargs)
        namespace["__init__"] = __init__
    bound = type("Bound", (SafePickler,), namespace)
    monkeypatch.setattr(pickler, "SafePickler", bound)
    assert pickle.loads(pickler.safe_pickle([SHARED])) == [SHARED]
    monkeypatch.undo()
    assert pickler.safe_pickle([SHARED]) == fresh([SHARED])
    ref = weakref.ref(bound)
    del bound
    gc.collect()
    assert ref() is None
