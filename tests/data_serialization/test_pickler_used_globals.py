"""Writing a used global never runs the program's code again, and an entry
of the used attributes is used only for the object it was made for."""
import functools
import gc
import itertools
import pickle
import weakref

import pytest

from tarnwick_collector.configs.collector_settings import CollectorSettings
from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection.metrics import (
    CollectionSuccess, LimitFailure,
)
from tarnwick_collector.data_collection.trindle import Trindle, TrindleTracker
from tarnwick_collector.data_collection.used_attributes_collector import (
    UsedNames, followed_types, used_attributes,
)
from tarnwick_collector.data_serialization.pickler import safe_pickle
from tarnwick_common.utils.object_wrapper import ComputedAttribute


pytestmark = pytest.mark.usefixtures("fresh_used_attributes")


@pytest.fixture
def recording_call():
    """A current tracker, as while a recorded call runs."""
    Trindle.set_current_running_function(TrindleTracker("pkg.f"))
    yield
    Trindle.set_current_running_function(None)


def as_recorded(obj):
    """obj written as the recorder writes a call's used globals."""
    return pickle.loads(safe_pickle({"G": obj}))["G"]


class IdSource:
    last = 0

    @property
    def next_id(self):
        IdSource.last += 1
        return IdSource.last


class CountingSource:
    def __init__(self):
        self.ids = itertools.count(1)
        self.label = "orders"

    @property
    def next_id(self):
        return next(self.ids)

    @functools.cached_property
    def settled(self):
        return next(self.ids)


class Proxy:
    def __init__(self):
        self.reads = []

    def __getattr__(self, name):
        self.reads.append(name)
        return name.upper()


class Slotted:
    __slots__ = ("x",)

    def __init__(self):
        self.x = 4


def read(obj, name):
    """The program reads obj.<name> inside a recorded call, reported to the
    hook as the tracer reports it."""
    value = getattr(obj, name)
    mw.load_attr_hook(obj, name, value)
    return value


# ------------------------------------------------- fault: code run twice


def test_a_globals_property_runs_once_and_its_loaded_value_is_stored(
        recording_call):
    IdSource.last = 0
    ids = IdSource()
    mw.load_global_hook(ids, "IDS")
    assert read(ids, "next_id") == 1
    stored = as_recorded(ids)
    assert IdSource.last == 1                 # not run again
    assert stored.attributes == {"next_id": 1}  # what the program got
    assert read(ids, "next_id") == 2
    assert as_recorded(ids).attributes == {"next_id": 2}
    assert IdSource.last == 2


def test_an_itertools_count_behind_a_property_is_not_advanced(recording_call):
    src = CountingSource()
    mw.load_global_hook(src, "SRC")
    got = [read(src, "next_id") for _ in range(3)]
    read(src, "label")
    for _ in range(3):
        as_recorded(src)
    assert got == [1, 2, 3]
    assert next(src.ids) == 4
    assert as_recorded(src).attributes == {"next_id": 3, "label": "orders"}


def test_a_global_itertools_count_is_not_advanced_by_recording(recording_call):
    counter = itertools.count(10)
    mw.load_global_hook(counter, "COUNTER")
    read(counter, "__next__")
    for _ in range(3):
        try:
            safe_pickle({"COUNTER": counter})
        except Exception:
            pass  # refused or not: it must not move
    assert next(counter) == 10


def test_computed_values_not_kept_become_markers(recording_call):
    src = CountingSource()
    mw.load_global_hook(src, "SRC")
    read(src, "next_id")
    # A value that is not an atom is not kept: the marker stands for it.
    mw.load_attr_hook(src, "next_id", [1])
    stored = as_recorded(src)
    assert stored.attributes == {"next_id": ComputedAttribute("property")}
    assert next(src.ids) == 2


def test_getattr_proxies_are_not_asked_again(recording_call):
    proxy = Proxy()
    mw.load_global_hook(proxy, "PX")
    assert read(proxy, "thing") == "THING"
    stored = as_recorded(proxy)
    assert proxy.reads == ["thing"]
    assert stored.attributes["thing"] == "THING"
    used_attributes[id(proxy)].kept.clear()
    assert as_recorded(proxy).attributes["thing"] == ComputedAttribute(
        "__getattr__")
    assert proxy.reads == ["thing"]


def test_a_cached_property_is_read_from_the_instance_once_cached(
        recording_call):
    src = CountingSource()
    mw.load_global_hook(src, "SRC")
    mw.load_attr_hook(src, "settled", [0])     # loaded, not kept
    assert as_recorded(src).attributes["settled"] == ComputedAttribute(
        "descriptor")
    assert src.settled == 1                    # first computed here
    assert as_recorded(src).attributes["settled"] == 1  # now in __dict__
    assert next(src.ids) == 2


def test_plain_attributes_slots_and_methods_are_still_read(recording_call):
    slotted, src = Slotted(), CountingSource()
    for name, obj in (("S", slotted), ("SRC", src)):
        mw.load_global_hook(obj, name)
    read(slotted, "x")
    read(src, "label")
    read(src, "__init__")
    assert as_recorded(slotted).attributes == {"x": 4}
    stored = as_recorded(src)
    assert stored.attributes == {"label": "orders"}
    assert set(stored.functions) == {"__init__"}


# ------------------------------------------ fault: entries of gone objects


class Part:
    def __init__(self, n):
        self.n = n


def identity():
    return (CollectorSettings.tenant_id, CollectorSettings.project_id,
            CollectorSettings.python_version, CollectorSettings.lib_version)


def test_metrics_at_addresses_of_gone_followed_objects_keep_their_fields(
        recording_call):
    # A property returning a fresh object on each call: its address is the
    # next object's, often one of the recorder's own metrics.
    holder = Part(0)
    mw.load_global_hook(holder, "HOLDER")
    for i in range(300):
        part = Part(i)
        mw.load_attr_hook(holder, "part", part)
        read(part, "n")
        del part
        for metric in (LimitFailure(*identity(), "pkg.f", "limit %d" % i),
                       CollectionSuccess(*identity())):
            back = pickle.loads(safe_pickle(metric))
            assert type(back) is type(metric)
            assert back.get_attributes_as_dict() == \
                metric.get_attributes_as_dict()


class Other:
    pass


def test_an_entry_of_a_gone_object_is_dropped_not_used():
    gone = Part(1)
    entry = UsedNames({"n"})
    entry.owner = weakref.ref(gone)
    del gone
    gc.collect()
    now = Other()
    now.a = 1
    used_attributes[id(now)] = entry
    back = as_recorded(now)
    assert type(back) is Other and back.__dict__ == {"a": 1}
    assert id(now) not in used_attributes


def test_a_stale_entry_is_replaced_by_the_hook():
    first = Part(1)
    mw.IDS_TO_FOLLOW.add(id(first))
    mw.load_attr_hook(first, "n", 1)
    entry = used_attributes[id(first)]
    second = Part(2)
    # What the address of a gone object looks like to the next one.
    del used_attributes[id(first)]
    used_attributes[id(second)] = entry
    mw.IDS_TO_FOLLOW.add(id(second))
    mw.load_attr_hook(second, "m", 2)
    assert used_attributes[id(second)] == {"m"}
    assert used_attributes[id(second)].owner() is second


def test_a_followed_identity_of_another_type_is_not_followed():
    gone, now = 3.5, Part(1)
    mw.IDS_TO_FOLLOW.add(id(now))
    followed_types[id(now)] = weakref.ref(type(gone))
    mw.load_attr_hook(now, "n", 1)
    assert id(now) not in used_attributes
    assert id(now) not in mw.IDS_TO_FOLLOW
