"""The serializer interface."""

import pytest

from tarnwick_collector.data_serialization.varnock import Varnock


class Both(Varnock):
    def serialize(self, obj):
        return b"x"

    def deserialize(self, data):
        return super().deserialize(data)


# Base, abstract methods and annotations: tests/surface/varnock.txt.


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

