"""The pickle-based serializer of the collector."""
import collections
import datetime
import inspect
import pathlib
import pickle
import socket
import threading
import uuid

import pytest

quessel = pytest.importorskip("tarnwick_collector.data_serialization.quessel")

from tarnwick_collector.configs.collector_settings import (  # noqa: E402
    CollectorSettings,
    _DefaultSerializer,
)
from tarnwick_collector.data_serialization.pickler import safe_pickle  # noqa: E402
from tarnwick_collector.exceptions import ProblematicPickleException  # noqa: E402
from tarnwick_common.utils.object_wrapper import UnpicklableObject  # noqa: E402

IpcPickleSerializer = quessel.IpcPickleSerializer


def test_instances_hold_nothing():
    # Base, docstring and annotations: tests/surface/quessel.txt.
    assert vars(IpcPickleSerializer()) == {}


@pytest.mark.parametrize("value", [5, "s", [1, {"a": (2, None)}]], ids=repr)
def test_serialize_is_safe_pickle(value):
    serializer = IpcPickleSerializer()
    assert serializer.serialize(value) == safe_pickle(value, True)
    assert serializer.serialize(value, False) == safe_pickle(value, False)
    assert serializer.serialize(value, object_wrapper=False) == safe_pickle(
        value, False)
    assert serializer.serialize(obj=value) == safe_pickle(value, True)


def test_serialize_looks_safe_pickle_up_at_each_call_and_passes_positionally(
        monkeypatch):
    calls = []

    def recorder(*args, **kwargs):
        calls.append((args, kwargs))
        return b"recorded"

    monkeypatch.setattr(quessel, "safe_pickle", recorder)
    serializer = IpcPickleSerializer()
    assert serializer.serialize("a") == b"recorded"
    serializer.serialize("b", False)
    serializer.serialize("c", object_wrapper=0)
    assert calls == [(("a", True), {}), (("b", False), {}), (("c", 0), {})]


@pytest.mark.parametrize(
    "result, error",
    [(None, None), ("text", "Expected bytes, got str"),
     (bytearray(b"x"), "Expected bytes, got bytearray")],
)
def test_serialize_result_must_be_bytes_or_none(monkeypatch, result, error):
    monkeypatch.setattr(quessel, "safe_pickle", lambda obj, wrapper: result)
    if error is None:
        assert IpcPickleSerializer().serialize(1) is None
    else:
        with pytest.raises(TypeError, match=error):
            IpcPickleSerializer().serialize(1)


class PicklesItsOwnWay:
    """A class with pickle methods of its own: the safe pickler refuses it."""

    def __init__(self, x):
        self.x = x

    def __reduce__(self):
        return PicklesItsOwnWay, (self.x,)


def test_refusals_reach_the_caller():
    with pytest.raises(ProblematicPickleException) as info:
        IpcPickleSerializer().serialize({"v": [PicklesItsOwnWay(1)]})
    assert str(info.value).split("'")[2] == f"{__name__}.PicklesItsOwnWay"


class Colour:
    """A class written by reference."""


SKIPPED_TYPE_VALUES = [
    True, 12, 1.25, b"by", "st", {"k": [1]}, {1, 2}, frozenset({3}), [1, "x"],
    (1, (2,)), bytearray(b"ba"), collections.OrderedDict(a=1, b=2),
    collections.defaultdict(list, {"a": [1]}), Colour, int,
    datetime.datetime(2024, 5, 17, 12, 30, tzinfo=datetime.timezone.utc),
    datetime.time(8, 15), datetime.date(2024, 5, 17),
    datetime.timedelta(days=2, seconds=5), datetime.timezone.utc,
    uuid.UUID(int=12345), pathlib.Path("/tmp/x.csv"),
    pathlib.PurePath("a/b"), pathlib.PurePosixPath("/srv"),
    inspect.getfullargspec(lambda a, b=1, *c, d, **e: None),
]


@pytest.mark.parametrize("value", SKIPPED_TYPE_VALUES,
                         ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("object_wrapper", [True, False])
def test_round_trip_of_values_the_safe_pickler_leaves_alone(value, object_wrapper):
    serializer = IpcPickleSerializer()
    back = serializer.deserialize(serializer.serialize(value, object_wrapper))
    assert back == value
    assert type(back) is type(value)


def test_deserialize_is_the_standard_unpickler(monkeypatch):
    serializer = IpcPickleSerializer()
    with pytest.raises(pickle.UnpicklingError):
        serializer.deserialize(b"not a pickle")
    seen = []

    class FakePickle:
        @staticmethod
        def loads(data):
            seen.append(data)
            return "loaded"

    monkeypatch.setattr(quessel, "_pickle", FakePickle)
    assert serializer.deserialize(data=b"abc") == "loaded"
    assert seen == [b"abc"]


def _local_function():
    def local(x):
        return x

    return local


def _generator():
    """A suspended generator whose frame's globals are a small namespace
    (a replaced generator carries its frame's attributes, globals included)."""
    namespace = {}
    exec("def countdown(n):\n    while n:\n        yield n\n        n -= 1\n",
         namespace)
    return namespace["countdown"](3)


def test_value_holding_what_stock_pickling_refuses():
    sock = socket.socket()
    handle = open(__file__)
    try:
        value = {
            "ints": list(range(100)), "when": datetime.date(2024, 1, 2),
            "lock": threading.Lock(), "file": handle,
            "gen": _generator(), "local": _local_function(),
            "lambda": lambda: 1, "socket": sock,
        }
        serializer = IpcPickleSerializer()
        back = serializer.deserialize(serializer.serialize(value))
    finally:
        sock.close()
        handle.close()
    assert back["ints"] == list(range(100))
    assert back["when"] == datetime.date(2024, 1, 2)
    for key, type_name in [("lock", "_thread.lock"), ("file", "_io.TextIOWrapper"),
                           ("gen", "generator"), ("socket", "socket.socket")]:
        assert isinstance(back[key], UnpicklableObject), key
        assert back[key].type_name == type_name


def test_collector_settings_default_serializer_becomes_ipc_pickle_serializer(
        settings):
    settings.serializer = _DefaultSerializer()
    data = settings.serializer.serialize({"a": [1, 2]})
    assert data == safe_pickle({"a": [1, 2]}, True)
    assert type(CollectorSettings.serializer) is IpcPickleSerializer
    assert settings.serializer.deserialize(data) == {"a": [1, 2]}
    assert settings.serializer.serialize(3, object_wrapper=False) == safe_pickle(
        3, False)
