"""The native lookup maps exported from the ostrelle shared object, called
through ctypes as native code outside the package would call them."""
import ctypes
import itertools

import pytest

from tarnwick_collector.data_collection import ostrelle

LIB = ctypes.CDLL(ostrelle.__file__)

_P = ctypes.c_void_p
_SIGNATURES = {
    "set_gen_to_metadata": (ctypes.c_int, [_P, _P]),
    "get_gen_to_metadata": (_P, [_P]),
    "set_tid_to_currently_recording": (ctypes.c_int, [ctypes.c_int, ctypes.c_uint8]),
    "get_tid_to_currently_recording": (ctypes.c_uint8, [ctypes.c_int]),
    "set_func_to_counter": (ctypes.c_int, [_P, ctypes.c_int]),
    "get_func_to_counter": (ctypes.c_int, [_P]),
    "set_int_to_int_item": (ctypes.c_int, [_P, ctypes.c_int, ctypes.c_int]),
    "get_int_to_int_item": (ctypes.c_int, [_P, ctypes.c_int]),
    "new_int_to_int_map": (_P, []),
    "free_int_to_int_map": (None, [_P]),
    "set_pyobject_to_pyobject_item": (ctypes.c_int, [_P, _P]),
    "get_pyobject_to_pyobject_item": (_P, [_P]),
}
for _name, (_res, _args) in _SIGNATURES.items():
    _fn = getattr(LIB, _name)
    _fn.restype = _res
    _fn.argtypes = _args

# The maps are process-wide and hold raw addresses. Everything stored in
# them here stays alive until the process ends, so that no later object
# (a function the metadata cache is asked about, say) can take over an
# address that is still a key.
_KEEP = []
_tids = itertools.count(1_000_000)


def _obj(value=None):
    obj = [value] if value is not None else object()
    _KEEP.append(obj)
    return obj


def _addr(obj):
    return None if obj is None else id(obj)


# Per map: a setter and a getter taking Python objects (values as the map
# holds them: objects for the pointer maps, ints for the others), a fresh
# key, and two distinct values.
def _pointer_map(prefix):
    setter, getter = getattr(LIB, "set_" + prefix), getattr(LIB, "get_" + prefix)
    return dict(
        set=lambda k, v: setter(id(k), _addr(v)),
        get=lambda k: getter(id(k)),
        key=_obj,
        values=lambda: (_obj(), _obj()),
        stored=lambda v: id(v),
        missing=None,
    )


MAPS = {
    "gen_to_metadata": _pointer_map("gen_to_metadata"),
    "pyobject_to_pyobject": _pointer_map("pyobject_to_pyobject_item"),
    "func_to_counter": dict(
        set=lambda k, v: LIB.set_func_to_counter(id(k), v),
        get=lambda k: LIB.get_func_to_counter(id(k)),
        key=_obj,
        values=lambda: (7, -3),
        stored=lambda v: v,
        missing=0,
    ),
    "tid_to_currently_recording": dict(
        set=LIB.set_tid_to_currently_recording,
        get=LIB.get_tid_to_currently_recording,
        key=lambda: next(_tids),
        values=lambda: (1, 255),
        stored=lambda v: v,
        missing=0,
    ),
}


@pytest.mark.parametrize("name", MAPS)
def test_missing_key_then_set_then_overwrite(name):
    m = MAPS[name]
    key = m["key"]()
    first, second = m["values"]()
    assert m["get"](key) == m["missing"]
    assert m["set"](key, first) == 0
    assert m["get"](key) == m["stored"](first)
    assert m["set"](key, second) == 0
    assert m["get"](key) == m["stored"](second)


@pytest.mark.parametrize("name", ["gen_to_metadata", "pyobject_to_pyobject", "func_to_counter"])
def test_equal_objects_are_distinct_keys(name):
    m = MAPS[name]
    a, b = _obj(10**30), _obj(10**30)
    assert a == b and a is not b
    first, second = m["values"]()
    m["set"](a, first)
    assert m["get"](b) == m["missing"]
    m["set"](b, second)
    assert m["get"](a) == m["stored"](first)
    assert m["get"](b) == m["stored"](second)
    # The key is the object, not its value at the time it was stored.
    a.append("changed")
    assert m["get"](a) == m["stored"](first)


def test_gen_map_null_value_erases():
    key, value = _obj(), _obj()
    assert LIB.set_gen_to_metadata(id(key), id(value)) == 0
    assert LIB.set_gen_to_metadata(id(key), None) == 0
    assert LIB.get_gen_to_metadata(id(key)) is None
    # Erasing an absent key is a no-op.
    assert LIB.set_gen_to_metadata(id(key), None) == 0
    assert LIB.get_gen_to_metadata(id(key)) is None
    # And the key can be stored again afterwards.
    assert LIB.set_gen_to_metadata(id(key), id(value)) == 0
    assert LIB.get_gen_to_metadata(id(key)) == id(value)


def test_object_map_stores_null_like_any_value():
    key, value = _obj(), _obj()
    LIB.set_pyobject_to_pyobject_item(id(key), id(value))
    assert LIB.set_pyobject_to_pyobject_item(id(key), None) == 0
    assert LIB.get_pyobject_to_pyobject_item(id(key)) is None
    LIB.set_pyobject_to_pyobject_item(id(key), id(value))
    assert LIB.get_pyobject_to_pyobject_item(id(key)) == id(value)


def test_null_value_does_not_erase_other_pointer_maps_or_keys():
    kept, erased, value = _obj(), _obj(), _obj()
    LIB.set_gen_to_metadata(id(kept), id(value))
    LIB.set_gen_to_metadata(id(erased), id(value))
    LIB.set_gen_to_metadata(id(erased), None)
    assert LIB.get_gen_to_metadata(id(kept)) == id(value)


@pytest.fixture
def int_maps():
    made = []

    def make():
        mapper = LIB.new_int_to_int_map()
        assert mapper
        made.append(mapper)
        return mapper

    yield make
    for mapper in made:
        LIB.free_int_to_int_map(mapper)


def test_caller_owned_int_map(int_maps):
    one, two = int_maps(), int_maps()
    assert LIB.get_int_to_int_item(one, 5) == 0
    assert LIB.set_int_to_int_item(one, 5, 50) == 0
    assert LIB.set_int_to_int_item(one, -5, -50) == 0
    assert LIB.set_int_to_int_item(one, 5, 51) == 0
    assert (LIB.get_int_to_int_item(one, 5), LIB.get_int_to_int_item(one, -5)) == (51, -50)
    # Each map sees only its own entries, and the global flag map, keyed by
    # int as well, is untouched.
    assert LIB.get_int_to_int_item(two, 5) == 0
    tid = next(_tids)
    LIB.set_int_to_int_item(one, tid, 9)
    assert LIB.get_tid_to_currently_recording(tid) == 0


def test_maps_keep_every_entry_through_growth(int_maps):
    # Enough entries to make each table grow several times.
    mapper = int_maps()
    keys = [_obj() for _ in range(3000)]
    tids = [next(_tids) for _ in range(3000)]
    for i, (key, tid) in enumerate(zip(keys, tids)):
        assert LIB.set_func_to_counter(id(key), i) == 0
        assert LIB.set_tid_to_currently_recording(tid, i % 255 + 1) == 0
        assert LIB.set_int_to_int_item(mapper, i * 7919, i) == 0
    for i, (key, tid) in enumerate(zip(keys, tids)):
        assert LIB.get_func_to_counter(id(key)) == i
        assert LIB.get_tid_to_currently_recording(tid) == i % 255 + 1
        assert LIB.get_int_to_int_item(mapper, i * 7919) == i


def test_global_maps_are_exported():
    for name in ("g_tid_to_currently_recording", "g_func_to_counter", "g_gen_to_metadata"):
        assert ctypes.c_void_p.in_dll(LIB, name) is not None
