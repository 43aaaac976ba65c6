"""safe_pickle leaves the program's objects as they were, keeps what stock
pickling refuses from costing the value around it, and bounds the walk of
its placeholders."""
import dataclasses
import decimal
import functools
import os
import pickle
import threading

import pytest

from tarnwick_collector.data_serialization import pickler, tarn_pickle
from tarnwick_collector.exceptions import ProblematicPickleException
from tarnwick_common.utils.object_wrapper import UnpicklableObject


def round_trip(value):
    return pickle.loads(pickler.safe_pickle(value))


# ------------------------------------------------ the program's objects


class AppError(ValueError):
    pass


class ReducingError(Exception):
    def __reduce__(self):
        return ReducingError, self.args


@pytest.mark.parametrize("make", [
    lambda: ValueError("x"),
    lambda: AppError("y", 2),
    lambda: KeyError("k"),
    lambda: RuntimeError(),
], ids=["ValueError", "subclass", "KeyError", "no args"])
def test_exception_bytes_are_stock_pickles_and_the_exception_is_untouched(make):
    exc, twin = make(), make()
    expected = pickle.dumps(twin)
    assert pickler.safe_pickle(exc) == expected
    assert pickler.safe_pickle({"e": exc, "n": 1}) == pickle.dumps(
        {"e": twin, "n": 1})
    # A __dict__ given to the exception would be in its stock pickle now.
    assert pickle.dumps(exc) == expected


def test_exceptions_written_otherwise_are_untouched_too():
    wrapped = ReducingError("w")        # written as an exception wrapper
    failing = ValueError(threading.Lock())  # its argument is replaced
    before = [pickle.dumps(wrapped), pickle.dumps(ValueError(1))]
    pickler.safe_pickle([wrapped, failing])
    failing.args = (1,)
    assert [pickle.dumps(wrapped), pickle.dumps(failing)] == before


class Tracked:
    """Refused by the type rules (it has pickling methods of its own);
    each of them records its call and changes the object."""

    calls = []

    def __init__(self):
        self.value = 1

    def __reduce__(self):
        Tracked.calls.append("__reduce__")
        self.value = 2
        return Tracked, ()

    def __getstate__(self):
        Tracked.calls.append("__getstate__")
        self.value = 3
        return {}


class TrackedState:
    calls = []

    def __getstate__(self):
        TrackedState.calls.append("__getstate__")
        return {}


def test_refused_objects_pickling_methods_never_run():
    Tracked.calls.clear()
    TrackedState.calls.clear()
    tracked, state = Tracked(), TrackedState()
    for obj in (tracked, state):
        for value in (obj, [obj], {"k": (1, obj)}):
            with pytest.raises(ProblematicPickleException):
                pickler.safe_pickle(value)
    assert (Tracked.calls, TrackedState.calls, tracked.value) == ([], [], 1)


class caching:
    """A program's own caching decorator: computes on first read and keeps
    the value on the instance."""

    def __init__(self, func):
        self.func = func

    def __get__(self, obj, objtype=None):
        if obj is None:
            return self
        value = obj.__dict__[self.func.__name__] = self.func(obj)
        return value


def make_lazy():
    class Lazy:
        """A class made in a function, which the stock pickler cannot name,
        so written by the failure reducer; its cached attributes count
        their computations."""

        def __init__(self):
            self.computed = []

        @functools.cached_property
        def total(self):
            self.computed.append("total")
            return 42

        @caching
        def label(self):
            self.computed.append("label")
            return "lazy"

        @property
        def plain(self):
            return "read"

        # A wrapper with a __set__ too, entering a context around the
        # property it wraps (a data descriptor written in Python).
        guarded = Guarded(property(lambda self: 7, lambda self, v: None))

    return Lazy()


class Guarded:
    entered = 0

    def __init__(self, prop):
        self.prop = prop

    def __get__(self, obj, objtype=None):
        if obj is None:
            return self
        Guarded.entered += 1
        return self.prop.__get__(obj, objtype)

    def __set__(self, obj, value):
        self.prop.__set__(obj, value)


def test_cached_attributes_are_not_computed_by_the_recorder():
    lazy = make_lazy()
    written = round_trip(lazy)
    assert isinstance(written, UnpicklableObject)
    assert lazy.computed == [] and "total" not in vars(lazy) and "label" not in vars(lazy)
    state = vars(written)
    assert "total" not in state and "label" not in state
    assert state["plain"] == "read"  # a property is still read
    assert "guarded" not in state and Guarded.entered == 0
    # computed by the program: the values it keeps are written
    assert (lazy.total, lazy.label) == (42, "lazy")
    state = vars(round_trip(lazy))
    assert (state["total"], state["label"]) == (42, "lazy")
    assert lazy.computed == ["total", "label"]


# ------------------------------------------------------- pickle buffers


class Holder:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def test_pickle_buffer_becomes_a_placeholder_and_the_value_stays():
    buffer = pickle.PickleBuffer(b"abc")
    shared = [buffer, 1]
    looped = [buffer]
    looped.append(looped)
    value = {"shared": shared, "again": shared, "tuple": (buffer, "x"),
             "object": Holder(data=buffer, n=2), "looped": looped, "n": 5}
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(value)

    loaded = round_trip(value)

    placeholder = loaded["shared"][0]
    assert type(placeholder) is UnpicklableObject
    assert placeholder.type_name == "pickle.PickleBuffer"
    assert loaded["shared"] is loaded["again"] and loaded["shared"][1] == 1
    assert loaded["tuple"] == (placeholder, "x")
    assert loaded["object"].data is placeholder and loaded["object"].n == 2
    assert loaded["looped"][0] is placeholder
    assert loaded["looped"][1] is loaded["looped"]
    assert loaded["n"] == 5
    assert round_trip(buffer).type_name == "pickle.PickleBuffer"


# --------------------------------------------- bounds of the placeholders


@dataclasses.dataclass
class Txn:
    name: str
    amount: decimal.Decimal


def test_stream_and_decimals_make_a_small_record_keeping_the_decimals():
    # The arguments of write_lines(stream, txns): the stream is replaced;
    # each Decimal (refused, its .imag a new Decimal at each read) once
    # ran a walk 1,300 placeholders deep.
    txns = [Txn(f"t{i}", decimal.Decimal("1.5") + i) for i in range(5)]
    with open(os.devnull, "w") as stream:
        data = pickler.safe_pickle((stream, txns))
    assert len(data) < 20_000
    stream_back, txns_back = pickle.loads(data)
    assert stream_back.type_name == "_io.TextIOWrapper"
    assert txns_back == txns


def local_unpicklable(name, **namespace):
    """A class that cannot be found again by name, so its instances are
    replaced as a whole."""
    return type(name, (), namespace)


def test_attribute_yielding_a_new_object_of_the_replaced_type_is_written_once():
    Cell = local_unpicklable(
        "Cell", __init__=lambda self, n: setattr(self, "n", n),
        successor=property(lambda self: Cell(self.n + 1)))
    data = pickler.safe_pickle({"cell": Cell(0)})
    assert len(data) < 2_000
    cell = pickle.loads(data)["cell"]
    assert cell.type_name.endswith("Cell") and cell.attributes["n"] == 0
    successor = cell.attributes["successor"]
    assert successor.type_name.endswith("Cell")
    assert successor.attributes == {"...": "(same type: not followed)"}


def test_placeholders_nest_a_bounded_number_of_levels():
    value = "leaf"
    for level in range(8, 0, -1):
        node = local_unpicklable(f"Level{level}")()
        node.child = value
        value = node
    cut_before = tarn_pickle.placeholders_cut()

    node = round_trip(value)

    names = []
    while isinstance(node, UnpicklableObject) and "child" in node.attributes:
        names.append(node.type_name.rsplit(".", 1)[-1])
        node = node.attributes["child"]
    assert names == ["Level1", "Level2", "Level3", "Level4"]
    assert node.type_name.endswith("Level5")
    assert node.attributes == {"...": "(depth limit)"}
    assert tarn_pickle.placeholders_cut() == cut_before + 1


def test_placeholders_of_one_value_share_a_budget_of_attribute_reads():
    Wide = local_unpicklable("Wide")
    items = []
    for _ in range(300):
        wide = Wide()
        wide.__dict__.update({f"a{j}": j for j in range(10)})
        items.append(wide)
    whole = {f"a{j}": j for j in range(10)}
    cut_before = tarn_pickle.placeholders_cut()

    loaded = round_trip(items)

    complete = [p for p in loaded if p.attributes == whole]
    cut = [p for p in loaded if p.attributes.get("...") == "(size limit)"]
    assert 50 < len(complete) < 100
    assert len(complete) + len(cut) == 300 and loaded[-1] in cut
    assert tarn_pickle.placeholders_cut() > cut_before
    # Each value has a budget of its own.
    assert round_trip(items[:1])[0].attributes == whole
