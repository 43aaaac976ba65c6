"""The serializer interface."""
import abc
from typing import Any

import pytest

from tarnwick_collector.data_serialization.varnock import Varnock


class Both(Varnock):
    def serialize(self, obj):
        return b"x"

    def deserialize(self, data):
        return super().deserialize(data)


def test_is_an_abc_with_two_abstract_methods_in_order():
    assert Varnock.__bases__ == (abc.ABC,)
    assert type(Varnock) is abc.ABCMeta
    assert Varnock.__doc__ is None
    assert Varnock.__module__ == "tarnwick_collector.data_serialization.varnock"
    assert Varnock.__abstractmethods__ == {"serialize", "deserialize"}
    methods = [n for n in vars(Varnock) if n in ("serialize", "deserialize")]
    assert methods == ["serialize", "deserialize"]


def test_annotations():
    assert Varnock.serialize.__annotations__ == {"obj": Any, "return": bytes}
    assert Varnock.deserialize.__annotations__ == {"data": bytes, "return": Any}


class OnlySerialize(Varnock):
    def serialize(self, obj):
        return b""


class OnlyDeserialize(Varnock):
    def deserialize(self, data):
        return None


@pytest.mark.parametrize("cls", [Varnock, OnlySerialize, OnlyDeserialize])
def test_cannot_be_instantiated_without_both_methods(cls):
    with pytest.raises(TypeError, match="abstract"):
        cls()


def test_subclass_with_both_methods_works_and_binds_like_a_python_class():
    obj = Both()
    assert obj.serialize(1) == b"x"
    assert obj.deserialize.__self__ is obj
    assert Varnock.serialize(obj, 1) is None
    assert Varnock.serialize(obj, obj=1) is None


@pytest.mark.parametrize("data", [b"", b"\x80\x04N.", None])
def test_deserialize_accepts_bytes_or_none_and_returns_none(data):
    assert Both().deserialize(data) is None
    assert Varnock.deserialize(Both(), data=data) is None


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize(
    "data, type_name",
    [("text", "str"), (bytearray(b"x"), "bytearray"),
     (BytesSubclass(b"x"), "BytesSubclass"), (1, "int")],
)
def test_deserialize_rejects_anything_but_exact_bytes(data, type_name):
    with pytest.raises(TypeError) as info:
        Varnock.deserialize(Both(), data)
    assert str(info.value) == (
        f"Argument 'data' has incorrect type (expected bytes, got {type_name})"
    )


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Varnock.deserialize(Both()),
         "missing 1 required positional argument: 'data'"),
        (lambda: Varnock.serialize(Both(), 1, 2),
         "takes 2 positional arguments but 3 were given"),
        (lambda: Varnock.serialize(Both(), thing=1),
         "got an unexpected keyword argument 'thing'"),
    ],
)
def test_argument_errors_are_the_interpreters(call, message):
    with pytest.raises(TypeError, match=message):
        call()
