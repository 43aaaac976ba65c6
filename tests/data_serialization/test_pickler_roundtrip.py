"""What safe_pickle writes, pickle.loads reads back: the object itself or
the stated placeholder; safe_pickle_loads never raises an Exception."""
import datetime
import decimal
import enum
import http
import io
import logging
import os
import pathlib
import pickle
import pickletools
import re
import socket
import subprocess
import sys
import threading
import uuid

import pydantic
import pytest

from tarnwick_collector.data_collection.used_attributes_collector import (
    used_attributes,
)
from tarnwick_collector.data_collection import marrowick
from tarnwick_collector.data_serialization import pickler, tarn_pickle
from tarnwick_collector.exceptions import ProblematicPickleException
from tarnwick_common.utils.object_wrapper import (
    ExceptionWrapper,
    ModuleWrapper,
    ObjectWrapper,
    SpecialWrapper,
    UnpicklableObject,
)

import pickler_kinds

HERE = __name__


class Color(enum.Enum):
    RED = 1


class Model(pydantic.BaseModel):
    x: int = 1
    tags: list = []


class Record:
    def __init__(self, a, b):
        self.a = a
        self.b = b

    def __eq__(self, other):
        return type(other) is Record and vars(other) == vars(self)

    def total(self):
        return self.a + self.b


class ReducingError(Exception):
    def __reduce__(self):
        return ReducingError, self.args


def module_function():
    return 1


def round_trip(value, **kwargs):
    return pickle.loads(pickler.safe_pickle(value, **kwargs))


@pytest.mark.parametrize("value", [
    {"ints": [1, 2, 3], "text": "t", "nested": {"t": (1.5, None, True)},
     "bytes": b"b", "set": {1}, "frozen": frozenset({2})},
    [datetime.datetime(2024, 5, 6, 7, 8, 9), datetime.date(2024, 5, 6),
     datetime.time(7, 8), datetime.timedelta(seconds=5),
     uuid.UUID("12345678-1234-5678-1234-567812345678"),
     pathlib.Path("/tmp/a/b"), pathlib.PurePosixPath("x/y")],
    [Color.RED, Model(x=3, tags=["a"])],
    [Record(1, [2]), Record("x", {"k": Record(0, 0)})],
    [module_function, Record.total, len, os.path.join],
    [Record, Color, int],
])
def test_values_load_back_equal(value):
    loaded = round_trip(value)
    assert loaded == value
    assert pickler.safe_pickle_loads(pickler.safe_pickle(value)) == value


def test_exceptions_load_back():
    loaded = round_trip([ValueError("bad", 2), KeyError("k")])
    assert [type(e) for e in loaded] == [ValueError, KeyError]
    assert [e.args for e in loaded] == [("bad", 2), ("k",)]


def test_stated_wrappers_load_back():
    from sqlalchemy.orm import declarative_base

    Base = declarative_base()
    value = {
        "module": os,
        "logger": logging.getLogger("tarnwick.tests.roundtrip"),
        "base": Base,
        "error": ReducingError("boom"),
        "bound": Record(1, 2).total,
    }
    loaded = round_trip(value)
    assert loaded["module"] == ModuleWrapper("os")
    assert type(loaded["logger"]) is ObjectWrapper
    assert loaded["logger"].wrapped_class is logging.Logger
    assert loaded["base"] == SpecialWrapper(
        "sqlalchemy.ext.declarative.declarative_base")
    assert loaded["error"] == ExceptionWrapper(
        f"{HERE}.ReducingError", ("boom",), {})
    assert loaded["bound"] is Record.total


def test_used_attributes_round_trip(monkeypatch):
    record = Record(5, 6)
    monkeypatch.setitem(used_attributes, id(record), {"a", "total"})
    loaded = round_trip([record, record])
    assert loaded[0] is loaded[1]
    assert type(loaded[0]) is ObjectWrapper
    assert loaded[0].wrapped_class is Record
    assert loaded[0].attributes == {"a": 5}
    assert loaded[0].functions == {"total": Record.total}
    assert round_trip(record, object_wrapper=False) == record


def test_default_protocol_of_the_base_pickler():
    data = pickler.safe_pickle([1])
    assert data[:2] == bytes([0x80, tarn_pickle.DEFAULT_PROTOCOL])


def test_getvalue_must_give_bytes(monkeypatch):
    class TextBuffer(io.BytesIO):
        def getvalue(self):
            return "text"
    monkeypatch.setattr(pickler, "BytesIO", TextBuffer)
    with pytest.raises(TypeError) as info:
        pickler.safe_pickle(1)
    assert str(info.value) == "Expected bytes, got str"


def interrupt():
    raise KeyboardInterrupt


class Interrupting:
    def __reduce__(self):
        return interrupt, ()


@pytest.mark.parametrize("data", [
    b"not a pickle", b"", pickle.dumps([1, 2])[:-3], 5, None,
    pickle.dumps(decimal.Decimal("1"))[:-1],
])
def test_safe_pickle_loads_returns_none_on_failure(data):
    assert pickler.safe_pickle_loads(data) is None


def test_safe_pickle_loads_uses_the_base_module_loads(monkeypatch):
    monkeypatch.setattr(tarn_pickle, "loads", lambda data: ("seen", data))
    assert pickler.safe_pickle_loads(b"x") == ("seen", b"x")


def test_safe_pickle_loads_lets_interrupts_through():
    with pytest.raises(KeyboardInterrupt):
        pickler.safe_pickle_loads(pickle.dumps(Interrupting()))


# ------------------------------------------ what stock pickling refuses


def test_refused_kinds_become_placeholders(tmp_path):
    def local(x):
        return x

    path = tmp_path / "out.txt"
    with open(path, "w") as opened, socket.socket() as sock:
        value = {
            "lock": threading.Lock(),
            "file": opened,
            "generator": pickler_kinds.countdown(3),
            "local": local,
            "lambda": lambda: 0,
            "socket": sock,
            "numbers": [1, 2.5, {"deep": (3, "x")}],
            "record": Record(1, "b"),
            "when": datetime.date(2024, 1, 1),
        }
        for item in value.values():
            if not isinstance(item, (list, Record, datetime.date)):
                with pytest.raises(Exception):
                    pickle.dumps(item)
        data = pickler.safe_pickle(value)
    loaded = pickle.loads(data)

    assert set(loaded) == set(value)
    assert loaded["numbers"] == [1, 2.5, {"deep": (3, "x")}]
    assert loaded["record"] == Record(1, "b")
    assert loaded["when"] == datetime.date(2024, 1, 1)

    lock = loaded["lock"]
    assert type(lock) is UnpicklableObject
    assert lock.type_name == "_thread.lock"

    file = loaded["file"]
    assert type(file) is UnpicklableObject
    assert file.type_name == "_io.TextIOWrapper"
    assert file.attributes["name"] == str(path)
    assert file.attributes["mode"] == "w"
    assert file.attributes["buffer"].type_name == "_io.BufferedWriter"

    assert file.attributes["closed"] is False

    sock = loaded["socket"]
    assert type(sock) is UnpicklableObject
    assert sock.type_name == "socket.socket"
    assert sock.attributes["proto"] == 0

    generator = loaded["generator"]
    assert generator.type_name == "generator"
    frame = generator.attributes["gi_frame"]
    assert frame.type_name == "frame"
    assert frame.attributes["f_locals"] == {"n": 3}
    # the namespaces a frame refers to are written as their modules
    assert frame.attributes["f_globals"] == ModuleWrapper("pickler_kinds")
    assert frame.attributes["f_builtins"] == ModuleWrapper("builtins")
    assert generator.attributes["gi_code"].attributes["co_name"] == (
        "countdown")

    # Functions go by name; names that cannot be imported load as None.
    assert loaded["local"] is None and loaded["lambda"] is None
    names = [arg for _, arg, _ in pickletools.genops(data)
             if isinstance(arg, str)]
    assert (f"{HERE}.test_refused_kinds_become_placeholders.<locals>.local"
            in names)
    assert (f"{HERE}.test_refused_kinds_become_placeholders.<locals>.<lambda>"
            in names)


def test_socket_is_refused_by_the_safe_pickler_and_replaced_by_the_base():
    # socket.socket defines __getstate__ (to refuse pickling), so the safe
    # pickler refuses it; the base pickler contains a refusal of an object
    # whose own reduction fails too, and writes the failure reducer's value.
    with socket.socket() as sock:
        with pytest.raises(ProblematicPickleException) as info:
            pickler.SafePickler(True, io.BytesIO()).reducer_override(sock)
        assert str(info.value).split("'")[2] == "socket.socket"
        loaded = round_trip(sock)
    assert type(loaded) is UnpicklableObject
    assert loaded.type_name == "socket.socket"


def test_socket_with_used_attributes_is_an_object_wrapper(monkeypatch):
    with socket.socket() as sock:
        # The program's loads, as the recording core sees them: `family` is
        # a property, whose loaded value the entry keeps.
        monkeypatch.setattr(marrowick, "IDS_TO_FOLLOW", {id(sock)})
        monkeypatch.delitem(used_attributes, id(sock), raising=False)
        marrowick.load_attr_hook(sock, "family", sock.family)
        marrowick.load_attr_hook(sock, "send", sock.send)
        try:
            loaded = round_trip({"sock": sock})["sock"]
        finally:
            del used_attributes[id(sock)]
    assert type(loaded) is ObjectWrapper
    assert loaded.wrapped_class is socket.socket
    # an IntEnum member pickles through Enum's own reduction
    assert loaded.attributes["family"] is socket.AddressFamily.AF_INET
    assert loaded.functions == {"send": socket.socket.send}


def test_generator_of_a_test_module_loads_back():
    # Its frame refers to this module's namespace (and, under pytest, to
    # the test session through the module's loader): written as the module.
    generator = (i for i in range(3))
    loaded = round_trip({"gen": generator, "n": 1})
    assert loaded["n"] == 1
    frame = loaded["gen"].attributes["gi_frame"]
    assert frame.attributes["f_globals"] == ModuleWrapper(HERE)


_PICKLES_ITSELF = """
import pickle, sys
from tarnwick_collector.data_serialization import pickler

class Holder:
    # Read by an attribute load, whose specialization keeps failing: the
    # cache entries after the generator's current instruction take many
    # values.
    @property
    def written(self):
        return pickle.loads(pickler.safe_pickle({"gen": self.gen}))["gen"]


def gen(holder):
    holder.gen = yield
    for i in range(400):
        loaded = holder.written
        if loaded.attributes["gi_yieldfrom"] is not None:
            sys.exit(f"a running generator's delegate: {loaded.attributes['gi_yieldfrom']!r}")
        yield i

g = gen(Holder())
next(g)
g.send(g)
for _ in g:
    pass
print("ok")
"""


def test_a_running_generator_is_written_without_reading_its_delegate():
    # The interpreter finds a generator's delegate (gi_yieldfrom) at the
    # instruction after the current one; in a running generator that is a
    # cache entry of any value, and what it hands out is whatever the
    # stack holds: a crash of the program, or another object.
    proc = subprocess.run([sys.executable, "-c", _PICKLES_ITSELF],
                          capture_output=True, text=True, timeout=300)
    assert (proc.returncode, proc.stdout.strip()) == (0, "ok"), proc.stderr[-2000:]


class _Level(enum.IntEnum):
    LOW = 1


class _Mode(str, enum.Enum):
    READ = "r"


class _Perm(enum.IntFlag):
    R = 4
    W = 2


@pytest.mark.parametrize(
    "value",
    [
        http.HTTPStatus.NOT_FOUND,
        socket.AddressFamily.AF_INET,
        re.IGNORECASE,
        _Level.LOW,
        _Mode.READ,
        _Perm.R | _Perm.W,
        http.HTTPStatus,
        _Level,
    ],
    ids=repr,
)
def test_enum_members_with_mixed_in_types_and_their_classes_round_trip(value):
    # Enum reduces its members by itself, so what int or str bring for the
    # copy protocol (__getnewargs__) does not make them refused; their
    # classes are written by reference.
    assert pickler.SafePickler.is_subclass_for_skip(value)
    assert round_trip({"v": value})["v"] is value
