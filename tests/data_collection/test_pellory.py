"""Call records and function metadata records."""
import collections
import inspect
import pickle
import types

import pytest

from tarnwick_collector.data_collection import pellory
from tarnwick_collector.data_collection.pellory import (
    ExternalFunctionCall,
    ExternalFunctionMetadata,
    FunctionCall,
    FunctionMetadata,
    UserFunctionCall,
    UserFunctionMetadata,
)


class RecordingSerializer:
    """Remembers every call it gets and pickles plainly."""

    def __init__(self):
        self.calls = []
        self.fail_on = None

    def serialize(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.fail_on is not None and args[0] is self.fail_on:
            raise RuntimeError("cannot serialize")
        return pickle.dumps(args[0])

    def values(self):
        return [args[0] for args, _ in self.calls]


@pytest.fixture
def serializer(settings):
    rec = RecordingSerializer()
    settings.serializer = rec
    return rec


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


def sample(a, b=1, *rest, c, **kw):
    return a


def user_metadata(signature=None):
    if signature is None:
        signature = inspect.getfullargspec(sample)
    return UserFunctionMetadata(
        "app.mod", "app.mod.sample", "abc123", "/src/app/mod.py",
        ("len", "print"), signature, True,
    )


def external_metadata():
    return ExternalFunctionMetadata("os", "os.getcwd", True, 1)


# --------------------------------------------------------------- module
# Names, classes, members and docstrings: tests/surface/pellory.txt.


def test_methods_bind_like_python_functions(serializer):
    rec = ExternalFunctionCall(external_metadata())
    assert isinstance(rec.add_return_value, types.MethodType)
    assert rec.add_return_value.__self__ is rec
    FunctionCall.add_return_value(rec, 5)
    assert pickle.loads(rec.return_value) == 5


# -------------------------------------------------------------- metadata


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: FunctionMetadata(None, None),
         {"module_name": None, "full_name": None}),
        (lambda: ExternalFunctionMetadata("os", "os.getcwd", 0, "yes"),
         {"is_builtin": 0, "is_function_for_recording": "yes",
          "module_name": "os", "full_name": "os.getcwd"}),
        (lambda: UserFunctionMetadata("m", "m.f", "h", "/p", ("x",), None),
         {"code_hash": "h", "full_path": "/p", "co_names": ("x",),
          "function_signature": None, "is_async": False,
          "module_name": "m", "full_name": "m.f"}),
        (lambda: UserFunctionMetadata(
            full_name="m.f", module_name="m", code_hash=None, full_path=None,
            co_names=None, function_signature="sig", is_async=1),
         {"code_hash": None, "full_path": None, "co_names": None,
          "function_signature": "sig", "is_async": 1,
          "module_name": "m", "full_name": "m.f"}),
    ],
)
def test_metadata_attributes_in_order(make, expected):
    obj = make()
    assert list(vars(obj).items()) == list(expected.items())


@pytest.mark.parametrize(
    "cls, args, param, got",
    [
        (FunctionMetadata, (b"m", None), "module_name", "bytes"),
        (FunctionMetadata, (None, StrSub("f")), "full_name", "StrSub"),
        (FunctionMetadata, (1, b"f"), "module_name", "int"),
        (ExternalFunctionMetadata, ("m", 3, True, True), "full_name", "int"),
        (UserFunctionMetadata, ("m", "f", 1, b"p", (), None), "code_hash", "int"),
        (UserFunctionMetadata, ("m", "f", "h", StrSub("/p"), (), None),
         "full_path", "StrSub"),
        (UserFunctionMetadata, (b"m", "f", 1, None, (), None),
         "module_name", "bytes"),
    ],
)
def test_metadata_refuses_non_exact_str(cls, args, param, got):
    obj = cls.__new__(cls)
    with pytest.raises(TypeError) as err:
        obj.__init__(*args)
    assert str(err.value) == (
        f"Argument '{param}' has incorrect type (expected str, got {got})"
    )
    assert vars(obj) == {}


def test_metadata_untyped_parameters_take_anything():
    obj = ExternalFunctionMetadata(None, None, object, [1])
    assert obj.is_builtin is object and obj.is_function_for_recording == [1]
    obj = UserFunctionMetadata(None, None, None, None, [b"x"], 42, None)
    assert obj.co_names == [b"x"] and obj.function_signature == 42
    assert obj.is_async is None


# --------------------------------------------------------- call records

BASE_FIELDS = [
    "function_metadata", "post_run_args", "post_run_kwargs", "pre_run_args",
    "pre_run_kwargs", "globals", "return_value", "execption",
]


def test_function_call_fields_and_serializer_forms(serializer):
    meta = user_metadata()
    args, kwargs, glob = (1, [2]), {"k": 3}, {"G": 4}
    rec = FunctionCall(meta, args, kwargs, glob)
    assert list(vars(rec)) == BASE_FIELDS
    assert rec.function_metadata is meta
    assert rec.post_run_args is args and rec.post_run_kwargs is kwargs
    assert rec.globals is glob
    assert pickle.loads(rec.pre_run_args) == args
    assert pickle.loads(rec.pre_run_kwargs) == kwargs
    assert rec.return_value is None and rec.execption is None
    assert serializer.calls == [
        ((args,), {"object_wrapper": False}),
        ((kwargs,), {"object_wrapper": False}),
    ]
    # The base constructor leaves the signature alone.
    assert isinstance(meta.function_signature, inspect.FullArgSpec)


def test_empty_arguments_take_the_forms_their_serializer_gives(settings):
    from tarnwick_collector.data_serialization.pickler import safe_pickle
    from tarnwick_collector.data_serialization.quessel import IpcPickleSerializer

    settings.serializer = IpcPickleSerializer()
    for _ in range(2):  # (the second time from what the first made)
        rec = FunctionCall(None, (), {}, None)
        rec.globals = {}
        rec.serialize_post_run_args_and_kwargs()
        assert rec.pre_run_args == rec.post_run_args == safe_pickle((), False)
        assert rec.pre_run_kwargs == rec.post_run_kwargs == safe_pickle({}, False)
    # Another serializer (a new one of the same class too) makes its own.
    for other in (IpcPickleSerializer(), RecordingSerializer()):
        settings.serializer = other
        rec = FunctionCall(None, (), {}, None)
        assert rec.pre_run_args == other.serialize((), object_wrapper=False)
        assert rec.pre_run_kwargs == other.serialize({}, object_wrapper=False)
    assert other.values() == [(), {}, (), {}]


def test_function_call_with_nothing(serializer):
    rec = FunctionCall(None, None, None, None)
    assert rec.post_run_args is None and rec.post_run_kwargs is None
    assert rec.globals is None
    assert rec.pre_run_args == rec.pre_run_kwargs == pickle.dumps(None)


def test_external_call_records_no_arguments(serializer):
    meta = external_metadata()
    before = dict(vars(meta))
    rec = ExternalFunctionCall(meta)
    assert list(vars(rec)) == BASE_FIELDS
    assert rec.function_metadata is meta
    assert rec.post_run_args is None and rec.post_run_kwargs is None
    assert rec.globals is None
    assert rec.pre_run_args == rec.pre_run_kwargs == pickle.dumps(None)
    assert vars(meta) == before
    assert serializer.values() == [None, None]


def test_user_call_fields_and_signature_replacement(serializer):
    meta = user_metadata()
    signature = meta.function_signature
    rec = UserFunctionCall(meta, ("a",), {}, None)
    assert list(vars(rec)) == ["external_calls", "awaited_functions"] + BASE_FIELDS
    assert rec.external_calls == [] and rec.awaited_functions == []
    assert rec.external_calls is not rec.awaited_functions
    # Replaced on the very metadata object that was passed in.
    assert rec.function_metadata is meta
    assert meta.function_signature == pickle.dumps(signature)
    assert serializer.calls[-1] == ((signature,), {"object_wrapper": False})
    assert serializer.values() == [("a",), {}, signature]


def test_user_calls_get_fresh_lists(serializer):
    first = UserFunctionCall(user_metadata(), (), {}, {})
    second = UserFunctionCall(user_metadata(), (), {}, {})
    lists = [first.external_calls, first.awaited_functions,
             second.external_calls, second.awaited_functions]
    assert len({id(x) for x in lists}) == 4
    first.external_calls.append(1)
    assert second.external_calls == []


def test_user_call_without_signature_attribute(serializer):
    meta = FunctionMetadata("m", "m.f")
    obj = UserFunctionCall.__new__(UserFunctionCall)
    with pytest.raises(AttributeError):
        obj.__init__(meta, (), {}, {})
    assert list(vars(obj)) == ["external_calls", "awaited_functions"] + BASE_FIELDS


@pytest.mark.parametrize("cls", [FunctionCall, UserFunctionCall])
@pytest.mark.parametrize(
    "args, kwargs, glob, param, expected, got",
    [
        (TupleSub((1,)), {}, {}, "args", "tuple", "TupleSub"),
        ([1], {}, {}, "args", "tuple", "list"),
        ((), collections.OrderedDict(), {}, "kwargs", "dict", "collections.OrderedDict"),
        ((), {}, collections.defaultdict(int), "globals", "dict", "collections.defaultdict"),
        ((), {}, types.MappingProxyType({}), "globals", "dict", "mappingproxy"),
        # The first offending parameter is the one reported.
        ([], [], [], "args", "tuple", "list"),
    ],
)
def test_call_records_refuse_non_exact_containers(
        cls, args, kwargs, glob, param, expected, got, serializer):
    meta = user_metadata()
    signature = meta.function_signature
    obj = cls.__new__(cls)
    with pytest.raises(TypeError) as err:
        obj.__init__(meta, args, kwargs, glob)
    assert str(err.value) == (
        f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    )
    assert vars(obj) == {}
    assert serializer.calls == []
    assert meta.function_signature is signature


def test_pre_run_and_post_run_views(serializer):
    items = [1]
    options = {"seen": []}
    rec = UserFunctionCall(user_metadata(), (items, "x"), {"opts": options}, None)
    # What the recorded function does to its arguments while it runs.
    items.append(2)
    options["seen"].append("y")
    rec.serialize_post_run_args_and_kwargs()
    assert pickle.loads(rec.pre_run_args) == ([1], "x")
    assert pickle.loads(rec.pre_run_kwargs) == {"opts": {"seen": []}}
    assert pickle.loads(rec.post_run_args) == ([1, 2], "x")
    assert pickle.loads(rec.post_run_kwargs) == {"opts": {"seen": ["y"]}}


def test_serialize_post_run_reads_the_current_attributes(serializer):
    rec = FunctionCall(None, (1,), {}, None)
    rec.post_run_args = "replaced"
    serializer.calls.clear()
    rec.serialize_post_run_args_and_kwargs()
    assert serializer.values() == ["replaced", {}]
    # Not guarded: a second call serializes the serialized form.
    first = rec.post_run_args
    rec.serialize_post_run_args_and_kwargs()
    assert pickle.loads(rec.post_run_args) == first


def test_outcome_methods(serializer):
    rec = ExternalFunctionCall(external_metadata())
    err = ValueError("boom")
    assert rec.add_execption(err) is None
    assert rec.add_return_value(return_value=[1, 2]) is None
    assert pickle.loads(rec.return_value) == [1, 2]
    restored = pickle.loads(rec.execption)
    assert type(restored) is ValueError and restored.args == ("boom",)
    assert serializer.calls[-2:] == [
        ((err,), {"object_wrapper": False}),
        (([1, 2],), {"object_wrapper": False}),
    ]


def test_serializer_failures_propagate(serializer):
    rec = ExternalFunctionCall(external_metadata())
    value = object()
    serializer.fail_on = value
    with pytest.raises(RuntimeError):
        rec.add_return_value(value)
    assert rec.return_value is None
    with pytest.raises(RuntimeError):
        rec.add_execption(value)
    assert rec.execption is None


def test_half_built_record_keeps_what_was_set(serializer):
    kwargs = {"k": 1}
    serializer.fail_on = kwargs
    obj = FunctionCall.__new__(FunctionCall)
    with pytest.raises(RuntimeError):
        obj.__init__(None, (), kwargs, None)
    assert list(vars(obj)) == BASE_FIELDS[:4]


def test_settings_and_serializer_are_read_at_each_use(serializer, monkeypatch):
    rec = ExternalFunctionCall(external_metadata())
    other = RecordingSerializer()

    class OtherSettings:
        pass

    OtherSettings.serializer = other
    monkeypatch.setattr(pellory, "CollectorSettings", OtherSettings)
    rec.add_return_value(7)
    assert other.values() == [7] and len(serializer.calls) == 2
    monkeypatch.delattr(pellory, "CollectorSettings")
    with pytest.raises(NameError, match="CollectorSettings"):
        rec.add_return_value(8)


# --------------------------------------------------- subclasses and super


def test_subclass_constructors_follow_the_mro(serializer):
    class Tagged(FunctionCall):
        def __init__(self, *args):
            self.tag = "mixin"
            super().__init__(*args)

    class Sub(UserFunctionCall, Tagged):
        pass

    rec = Sub(user_metadata(), (), {}, None)
    assert list(vars(rec)) == (
        ["external_calls", "awaited_functions", "tag"] + BASE_FIELDS
    )
    assert isinstance(rec.function_metadata.function_signature, bytes)

    class Meta(ExternalFunctionMetadata):
        pass

    assert list(vars(Meta("m", "f", 1, 2))) == [
        "is_builtin", "is_function_for_recording", "module_name", "full_name",
    ]


def test_replaced_base_initializer_is_honoured(serializer, monkeypatch):
    original = FunctionCall.__init__

    def patched(self, *args):
        self.patched = True
        original(self, *args)

    monkeypatch.setattr(FunctionCall, "__init__", patched)
    rec = ExternalFunctionCall(None)
    assert list(vars(rec)) == ["patched"] + BASE_FIELDS
    monkeypatch.setattr(FunctionMetadata, "__init__",
                        lambda self, m, f: setattr(self, "only", (m, f)))
    meta = UserFunctionMetadata("m", "f", None, None, (), None)
    assert vars(meta)["only"] == ("m", "f") and "module_name" not in vars(meta)


# ---------------------------------------------------------------- pickle


def _state(obj):
    """Class and attribute values of a record, nested records included."""
    if type(obj).__module__ == pellory.__name__:
        return type(obj), [(k, _state(v)) for k, v in vars(obj).items()]
    if isinstance(obj, list):
        return [_state(x) for x in obj]
    return obj


def _finished_user_call():
    rec = UserFunctionCall(user_metadata(), ([1],), {"k": "v"}, {"G": 1})
    ext = ExternalFunctionCall(external_metadata())
    ext.add_execption(None)
    ext.add_return_value("cwd")
    rec.external_calls = [ext]
    rec.unknown_modules = {"mod"}
    rec.add_execption(None)
    rec.add_return_value(3)
    rec.serialize_post_run_args_and_kwargs()
    return rec


@pytest.mark.parametrize(
    "make",
    [
        lambda: FunctionMetadata("m", None),
        external_metadata,
        user_metadata,
        lambda: FunctionCall(None, None, None, None),
        lambda: ExternalFunctionCall(external_metadata()),
        _finished_user_call,
    ],
)
@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_records_pickle_as_class_and_attributes(make, protocol, serializer):
    rec = make()
    data = pickle.dumps(rec, protocol=protocol)
    back = pickle.loads(data)
    assert type(back) is type(rec)
    assert _state(back) == _state(rec)
    # Written as a class reference plus the attribute dict, nothing custom.
    assert rec.__reduce_ex__(protocol)[2] == vars(rec)


# ------------------------------------------------ signatures kept as bytes
# The serialized signature of an unchanged function is kept; it must stay
# what the serializer writes now.


def with_list_default(a, b=[]):  # noqa: B006 - mutated below on purpose
    return a


def with_text_default(a, b="text"):
    return a


@pytest.fixture
def own_serializer(settings):
    from tarnwick_collector.data_serialization.quessel import IpcPickleSerializer

    settings.serializer = IpcPickleSerializer()
    return settings.serializer


@pytest.mark.parametrize("function", [sample, with_text_default],
                         ids=["plain defaults", "a text default"])
def test_a_kept_signature_is_what_the_serializer_writes(own_serializer, function):
    spec = inspect.getfullargspec(function)
    forms = [UserFunctionCall(user_metadata(spec), (), {}, {}).function_metadata
             .function_signature for _ in range(3)]
    assert forms == [own_serializer.serialize(spec, object_wrapper=False)] * 3


def test_a_signature_with_a_mutable_default_is_serialized_each_time(own_serializer):
    spec = inspect.getfullargspec(with_list_default)
    first = UserFunctionCall(user_metadata(spec), (), {}, {}).function_metadata
    spec.defaults[0].append("changed")
    try:
        second = UserFunctionCall(user_metadata(spec), (), {}, {}).function_metadata
    finally:
        spec.defaults[0].clear()
    assert pickle.loads(first.function_signature).defaults == ([],)
    assert pickle.loads(second.function_signature).defaults == (["changed"],)


def test_a_signature_is_serialized_afresh_for_another_serializer(own_serializer, settings):
    spec = inspect.getfullargspec(sample)
    UserFunctionCall(user_metadata(spec), (), {}, {})
    rec = RecordingSerializer()
    settings.serializer = rec
    meta = UserFunctionCall(user_metadata(spec), (), {}, {}).function_metadata
    assert spec in rec.values()
    assert meta.function_signature == pickle.dumps(spec)
