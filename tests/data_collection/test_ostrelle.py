"""Function metadata extraction: classification, records, the identity
cache and the external-function metric."""
import ctypes
import gc
import inspect
import sys
import weakref

import pytest

from tarnwick_collector.data_collection import ostrelle
from tarnwick_collector.data_collection.metrics import ExternalFunction
from tarnwick_collector.data_collection.pellory import (
    ExternalFunctionMetadata,
    UserFunctionMetadata,
)
from tarnwick_common.name_extractor import get_function_module

Ostrelle = ostrelle.Ostrelle
extract = Ostrelle.extract_function_metadata
extract_external = Ostrelle._extract_external_function_metadata

_LIB = ctypes.CDLL(ostrelle.__file__)
_LIB.get_pyobject_to_pyobject_item.restype = ctypes.c_void_p
_LIB.get_pyobject_to_pyobject_item.argtypes = [ctypes.c_void_p]

# Every callable handed to the extractor is kept alive here: the cache
# holds it anyway once stored, and keeping the others too means no address
# seen by the cache is ever reused within the test run.
_KEEP = []


def cached(obj):
    """The address stored in the native object map for `obj`, or None."""
    return _LIB.get_pyobject_to_pyobject_item(id(obj))


def fresh_function(body="return x"):
    """A new function object, so that no earlier test has cached it."""
    ns = {}
    exec(f"def fresh(x):\n    {body}\n", {"__name__": __name__}, ns)
    _KEEP.append(ns["fresh"])
    return ns["fresh"]


def fresh_class(source):
    ns = {}
    exec(source, {"__name__": __name__}, ns)
    (cls,) = [v for v in ns.values() if isinstance(v, type)][-1:]
    _KEEP.append(cls)
    return cls


class Passthrough:
    """A serializer that hands the metric itself to the channel."""

    def serialize(self, obj, object_wrapper=True):
        return obj


@pytest.fixture
def metrics(settings):
    settings.serializer = Passthrough()
    settings.tenant_id, settings.project_id = "tenant", "project"
    settings.python_version, settings.lib_version = "3.x", "1.2"
    return settings.metrics_subprocess.messages


# ---------------------------------------------------------------- surface


# Names, constants and method kinds: tests/surface/ostrelle.txt.


# ---------------------------------------------------------- user records


def test_user_function_record(monkeypatch):
    f = fresh_function("return len(x) + abs(x)")
    hashed = []
    monkeypatch.setattr(ostrelle, "get_hash", lambda obj: hashed.append(obj) or "digest")
    record = extract(f)
    assert type(record) is UserFunctionMetadata
    assert (record.code_hash, hashed) == ("digest", [f])
    assert record.full_path == f.__code__.co_filename
    assert record.co_names == ("len", "abs")
    assert record.function_signature == inspect.getfullargspec(f)
    assert record.is_async is False
    assert (record.module_name, record.full_name) == (__name__, f"{__name__}.fresh")


def test_coroutine_function_and_no_signature(monkeypatch):
    ns = {}
    exec("async def co(a, b=1):\n    return a\n", {"__name__": __name__}, ns)
    co = ns["co"]
    _KEEP.append(co)

    def no_signature(_):
        raise AssertionError("signature must not be collected")

    # Module-level names are looked up at each use.
    monkeypatch.setattr(ostrelle, "get_signature", no_signature)
    record = extract(co, collect_signature=False)
    assert record.is_async is True
    assert record.function_signature is None


@pytest.mark.parametrize("native", [len, sorted, dict.fromkeys, "abc".upper])
def test_callable_without_code_gets_placeholder_record(native, monkeypatch):
    def no_hash(_):
        raise AssertionError("a callable without code is not hashed")

    monkeypatch.setattr(ostrelle, "get_hash", no_hash)
    monkeypatch.setattr(ostrelle, "get_signature", no_hash)
    record = extract(native)
    assert type(record) is UserFunctionMetadata
    assert (record.code_hash, record.full_path) == ("unhashable", "unknown_path")
    assert (record.co_names, record.function_signature, record.is_async) == (None, None, False)


def test_bound_method_is_unwrapped_to_its_function(monkeypatch):
    cls = fresh_class("class Owner:\n    def meth(self):\n        return 1\n")
    seen = []

    def spy(function_obj, is_method):
        seen.append((function_obj, is_method))
        return get_function_module(function_obj, is_method)

    monkeypatch.setattr(ostrelle, "get_function_module", spy)
    record = extract(cls().meth)
    assert seen == [(cls.meth, None)]
    assert record.full_name == f"{__name__}.Owner.meth"
    assert cached(cls.meth) == id(record)
    assert extract(cls().meth, dont_cache=True) is record


@pytest.mark.parametrize(
    "source, expect",
    [
        # Its own initializer stands for the class.
        ("class Own:\n    def __init__(self, a):\n        self.a = a\n", "init"),
        # No initializer but object's: the class itself, which has no code.
        ("class Plain:\n    pass\n", "class"),
        # An inherited custom initializer: the metaclass's initializer
        # bound to the class, which has no code either.
        ("class Base:\n    def __init__(self):\n        pass\n"
         "class Child(Base):\n    pass\n", "metaclass init"),
    ],
)
def test_class_unwrapping(source, expect):
    cls = fresh_class(source)
    record = extract(cls)
    if expect == "init":
        assert record.full_name == f"{__name__}.Own.__init__"
        assert record.function_signature.args == ["self", "a"]
        assert cached(cls.__dict__["__init__"]) == id(record)
        assert cached(cls) is None
    elif expect == "class":
        assert (record.full_name, record.code_hash) == (f"{__name__}.Plain", "unhashable")
        assert cached(cls) == id(record)
    else:
        assert record.code_hash == "unhashable"
        assert record.full_name == "builtins.type.__init__"
        assert cached(cls) is None


def test_class_with_custom_getattr_is_probed_generically():
    # Neither __getattr__ nor __getattribute__ of the object's class runs
    # for the probes, and a __func__ supplied only by __getattr__ is not
    # taken for a bound method's function.
    calls = []
    target = fresh_function()

    class Sneaky:
        def __getattribute__(self, name):
            calls.append(name)
            return target

        def __call__(self):
            return None

    obj = Sneaky()
    _KEEP.append(obj)
    record, recording = extract(obj, is_external_call=True, dont_cache=True)
    assert calls == []
    assert recording is True
    assert record.full_name == f"{__name__}.{Sneaky.__qualname__}"


def test_func_in_instance_dict_is_unwrapped():
    target = fresh_function()

    class Holder:
        pass

    holder = Holder()
    holder.__func__ = target
    _KEEP.append(holder)
    assert extract(holder).full_name == f"{__name__}.fresh"
    assert cached(target) is not None and cached(holder) is None


# ------------------------------------------------------------------ cache


def test_pickler_lookup_returns_object_stored_by_recording():
    f = fresh_function()
    record = extract(f)
    assert cached(f) == id(record)
    assert extract(f, dont_cache=True) is record
    assert extract(f, False, True) is record
    # A recording-style extraction computes afresh and replaces the entry.
    again = extract(f)
    assert again is not record
    assert extract(f, dont_cache=True) is again


def test_uncached_lookup_of_unseen_callable_does_not_store():
    f = fresh_function()
    first = extract(f, dont_cache=True)
    assert cached(f) is None
    assert extract(f, dont_cache=True) is not first


def test_entry_holds_its_function_weakly_and_releases_replaced_values():
    f = fresh_function()
    key_ref = weakref.ref(f)
    base = sys.getrefcount(f)
    first = extract(f)
    first_ref = weakref.ref(first)
    assert sys.getrefcount(f) == base
    del first
    extract(f)
    gc.collect()
    assert first_ref() is None
    # Not kept alive by the cache: the entry goes, with its record, as the
    # function is freed.
    last_ref = weakref.ref(extract(f, dont_cache=True))
    address = id(f)
    _KEEP.remove(f)
    del f
    gc.collect()
    assert key_ref() is None and last_ref() is None
    assert _LIB.get_pyobject_to_pyobject_item(address) is None


def test_failure_before_store_leaves_cache_untouched(monkeypatch):
    f = fresh_function()

    def broken(function_obj, is_method):
        raise RuntimeError("no module")

    monkeypatch.setattr(ostrelle, "get_function_module", broken)
    with pytest.raises(RuntimeError, match="no module"):
        extract(f)
    assert cached(f) is None


def test_pickler_lookup_of_external_entry_returns_the_pair(metrics):
    f = fresh_function()
    pair = extract(f, True)
    assert extract(f, dont_cache=True) is pair
    assert isinstance(pair, tuple) and type(pair[0]) is ExternalFunctionMetadata


# --------------------------------------------------------------- external


@pytest.mark.parametrize(
    "module, func, recording",
    [
        ("builtins", open, True),
        ("builtins", input, True),
        ("builtins", len, False),
        ("builtins", print, False),
        ("os", len, True),
        (None, len, True),
    ],
)
def test_builtins_rule(module, func, recording):
    record, flag = extract_external(module, func)
    assert flag is recording
    assert record.is_function_for_recording is recording
    assert (record.module_name, record.is_builtin) == (module, False)
    assert (record.full_name != "") is recording


@pytest.mark.parametrize(
    "source, recording",
    [
        ("class Plain:\n    pass\n", False),
        ("class Own:\n    def __init__(self):\n        pass\n", True),
    ],
)
def test_external_class_recorded_only_with_custom_initializer(source, recording):
    cls = fresh_class(source)
    record, flag = extract_external("somewhere", cls)
    assert flag is recording
    assert record.full_name == (f"somewhere.{cls.__qualname__}" if recording else "")


def test_external_extraction_reports_every_time(metrics):
    f = fresh_function()
    first = extract(f, True)
    second = extract(f, is_external_call=True)
    assert first is not second and cached(f) == id(second)
    assert [type(m) for m in metrics] == [ExternalFunction, ExternalFunction]
    metric = metrics[0]
    assert metric.full_name == f"{__name__}.fresh"
    assert (metric.tenant_id, metric.project_id) == ("tenant", "project")
    assert (metric.python_version, metric.collector_version) == ("3.x", "1.2")


def test_external_not_for_recording_is_cached_without_metric(metrics):
    pair = extract(len, True)
    assert pair[1] is False and pair[0].full_name == ""
    assert cached(len) == id(pair)
    assert metrics == []


def test_uncached_external_lookup_neither_stores_nor_sends(metrics):
    f = fresh_function()
    record, flag = extract(f, is_external_call=True, dont_cache=True)
    assert flag is True
    assert cached(f) is None
    assert metrics == []


def test_failing_send_propagates_and_keeps_entry(settings):
    class Broken:
        def send_message(self, data):
            raise OSError("channel closed")

    settings.serializer = Passthrough()
    settings.metrics_subprocess = Broken()
    f = fresh_function()
    with pytest.raises(OSError, match="channel closed"):
        extract(f, True)
    assert cached(f) is not None


def test_send_message_is_taken_before_serializing(settings):
    order = []

    class Channel:
        @property
        def send_message(self):
            order.append("send_message")
            return lambda data: order.append("sent")

    class Serializer:
        def serialize(self, obj):
            order.append("serialize")
            return b"x"

    settings.metrics_subprocess = Channel()
    settings.serializer = Serializer()
    extract(fresh_function(), True)
    assert order == ["send_message", "serialize", "sent"]


# ----------------------------------------------------------------- errors


def test_keyword_function_obj():
    f = fresh_function()
    assert extract(function_obj=f, dont_cache=True).full_name == f"{__name__}.fresh"


@pytest.mark.parametrize("bad", [5, b"builtins", type("S", (str,), {})("builtins")])
def test_module_must_be_exactly_str_or_none(bad):
    with pytest.raises(TypeError) as info:
        extract_external(bad, len)
    assert str(info.value) == (
        f"Argument 'module' has incorrect type (expected str, got {type(bad).__name__})")


def test_module_type_error_through_extraction(monkeypatch):
    f = fresh_function()
    monkeypatch.setattr(ostrelle, "get_function_module", lambda obj, is_method: b"mod")
    with pytest.raises(TypeError, match=r"^Argument 'module' has incorrect type \(expected str, got bytes\)$"):
        extract(f, is_external_call=True)
    assert cached(f) is None


# -------------------------------------------------- get_attribute_full_name


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "obj, name",
    [
        (Outer.Inner(), f"{__name__}.Outer.Inner"),
        (1, "builtins.int"),
        (Outer, "builtins.type"),
    ],
)
def test_get_attribute_full_name(obj, name):
    assert ostrelle.get_attribute_full_name(obj) == name
