"""The argument parsing every compiled function shares: the interpreter's
messages for wrong counts and keywords, the counted wording some
initializers keep, and the exact-type rule of typed parameters. It is
exercised through a few representative functions; every function's own
parameter list is checked against its signature in the surface snapshot."""
import importlib
import io
import inspect
import sys

import pytest

from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection import metrics, ostrelle, pellory
from tarnwick_collector.data_serialization import pickler
from tarnwick_collector.data_serialization.varnock import Varnock

from test_surface import surface


def _reference(qualname, params):
    """A Python function with the same qualified name and parameters."""
    ns = {}
    if "." in qualname:
        cls_name, meth = qualname.split(".")
        exec(f"class {cls_name}:\n    def {meth}({params}):\n        pass\n", ns)
        return getattr(ns[cls_name], meth)
    exec(f"def {qualname}({params}):\n    pass\n", ns)
    return ns[qualname]


class _Record:
    """A receiver for the methods of call records; parsing fails before
    the receiver is used."""


# (function, the same parameters written in Python); every case fails in
# parsing, before the function does anything.
INTERPRETER_STYLE = [
    (pellory.FunctionMetadata.__init__, "FunctionMetadata.__init__",
     "self, module_name, full_name"),
    (pellory.UserFunctionMetadata.__init__, "UserFunctionMetadata.__init__",
     "self, module_name, full_name, code_hash, full_path, co_names, "
     "function_signature, is_async=False"),
    (pellory.FunctionCall.__init__, "FunctionCall.__init__",
     "self, function_metadata, args, kwargs, globals"),
    (pellory.FunctionCall.add_return_value, "FunctionCall.add_return_value",
     "self, return_value"),
    (mw.record_external_call, "record_external_call",
     "call, did_check_function_file_in_project_files=0"),
    (mw.get_exc_value, "get_exc_value", ""),
    (mw.load_global_hook, "load_global_hook", "global_obj, name"),
]


@pytest.mark.parametrize("real, qualname, params", INTERPRETER_STYLE,
                         ids=[q for _, q, _ in INTERPRETER_STYLE])
@pytest.mark.parametrize("args, kwargs", [
    ((), {}),                                    # all missing
    ((None,), {}),                               # some missing
    ((None,) * 9, {}),                           # too many
    ((None,), {"nope": 1}),                      # unexpected keyword
    ((None, None), {"module_name": 1, "function_metadata": 1,
                    "return_value": 1, "call": 1, "global_obj": 1}),
    ((None,), {"function_metadata": None, "args": None}),
    ((None,) * 9, {"nope": 1}),                  # keyword reported first
])
def test_wrong_arguments_get_the_interpreters_messages(real, qualname, params,
                                                       args, kwargs):
    ref = _reference(qualname, params)
    try:
        ref(*args, **kwargs)
    except TypeError as err:
        expected = err
    else:
        return  # arguments the function takes: not called
    with pytest.raises(TypeError) as got:
        real(*args, **kwargs)
    assert str(got.value) == str(expected)


def test_class_call_counts_the_receiver_like_python():
    ref = _reference("ExternalFunctionCall.__init__", "self, function_metadata")
    with pytest.raises(TypeError) as expected:
        ref(object())
    with pytest.raises(TypeError) as got:
        pellory.ExternalFunctionCall()
    assert str(got.value) == str(expected.value)
    assert str(got.value).endswith(
        "__init__() missing 1 required positional argument: "
        "'function_metadata'")


def test_display_name_is_qualified_from_310_on():
    with pytest.raises(TypeError) as got:
        pellory.FunctionCall.add_return_value(_Record())
    name = ("FunctionCall.add_return_value" if sys.version_info >= (3, 10)
            else "add_return_value")
    assert str(got.value) == (
        f"{name}() missing 1 required positional argument: 'return_value'")


# The name the interpreter's own messages give a method.
INIT = "BaseMetric.__init__" if sys.version_info >= (3, 10) else "__init__"

COUNTED = [
    # every parameter required: "exactly"
    (lambda: metrics.BaseMetric(), "__init__() takes exactly 5 positional "
                                   "arguments (1 given)"),
    (lambda: metrics.BaseMetric(1, 2, 3, 4, 5),
     "__init__() takes exactly 5 positional arguments (6 given)"),
    # a shortfall counts what was supplied in order before the first gap
    (lambda: metrics.BaseMetric("t", python_version="3", collector_version="1"),
     "__init__() takes exactly 5 positional arguments (2 given)"),
    # the count comes before the types
    (lambda: metrics.BaseMetric(1, 2),
     "__init__() takes exactly 5 positional arguments (3 given)"),
    # a surplus comes before any keyword problem
    (lambda: metrics.BaseMetric(1, 2, 3, 4, 5, other=1),
     "__init__() takes exactly 5 positional arguments (6 given)"),
    (lambda: metrics.BaseMetric("t", "p", "3", "1", other=1),
     f"{INIT}() got an unexpected keyword argument 'other'"),
    (lambda: metrics.BaseMetric("t", "p", "3", "1", tenant_id="x"),
     f"{INIT}() got multiple values for argument 'tenant_id'"),
    # some parameters optional: "at least" / "at most"
    (lambda: ostrelle.Ostrelle.extract_function_metadata(),
     "extract_function_metadata() takes at least 1 positional argument "
     "(0 given)"),
    (lambda: ostrelle.Ostrelle.extract_function_metadata(dont_cache=True),
     "extract_function_metadata() takes at least 1 positional argument "
     "(0 given)"),
    (lambda: ostrelle.Ostrelle.extract_function_metadata(len, 1, 2, 3, 4),
     "extract_function_metadata() takes at most 4 positional arguments "
     "(5 given)"),
    (lambda: ostrelle.Ostrelle.extract_function_metadata(
        len, True, is_external_call=True),
     "extract_function_metadata() got multiple values for argument "
     "'is_external_call'"),
]


@pytest.mark.parametrize("call, message", COUNTED)
def test_counted_wording(call, message):
    with pytest.raises(TypeError) as got:
        call()
    assert str(got.value) == message


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


class BytesSub(bytes):
    pass


class Meta(type):
    pass


Long = type("L" * 300, (), {})


def _user_call(args=(), kwargs=None, glob=None):
    obj = pellory.FunctionCall.__new__(pellory.FunctionCall)
    obj.__init__(None, args, {} if kwargs is None else kwargs,
                 {} if glob is None else glob)
    return obj


# (kind, call with the value, parameter name, a value of exactly the type)
TYPED = [
    ("str", lambda v: mw.get_module_location(v), "module_name", "json"),
    ("tuple", lambda v: _user_call(args=v), "args", ()),
    ("dict", lambda v: _user_call(kwargs=v), "kwargs", {}),
    ("bytes", lambda v: Varnock.deserialize(None, v), "data", b""),
    ("type", lambda v: pickler.SafePickler(True, io.BytesIO()).get_dynamic_rebuild_function(
        object(), v), "obj_type", type),
]


@pytest.mark.parametrize("kind, call, param, exact", TYPED,
                         ids=[t[0] for t in TYPED])
def test_typed_parameters_take_exactly_their_type_or_none(kind, call, param,
                                                          exact):
    subclass = {"str": StrSub("s"), "tuple": TupleSub(), "dict": DictSub(),
                "bytes": BytesSub(), "type": Meta("M", (), {})}[kind]
    for bad in (subclass, 5, Long()):
        with pytest.raises(TypeError) as got:
            call(bad)
        got_name = type(bad).__name__[:200]
        assert str(got.value) == (
            f"Argument '{param}' has incorrect type "
            f"(expected {kind}, got {got_name})")
    for good in (None, exact):
        try:
            call(good)
        except Exception as err:  # the function's own refusal, past parsing
            assert "has incorrect type" not in str(err)


def _parsed_functions():
    """(id, function, receiver count, parameter names) of every function
    of the snapshot modules whose signature names its parameters."""
    found = []
    for module_name in surface.MODULES:
        module = importlib.import_module(module_name)
        places = [(module_name.rsplit(".", 1)[-1], vars(module))]
        for name, value in vars(module).items():
            if isinstance(value, type) and value.__module__ == module_name:
                places.append((name, vars(value)))
        for where, namespace in places:
            for name, raw in namespace.items():
                fn = raw
                if type(raw).__name__ == "instancemethod":
                    fn = raw.__func__
                if isinstance(raw, staticmethod):
                    fn = raw.__func__
                if not isinstance(fn, type(len)) or \
                        getattr(fn, "__module__", None) != module_name:
                    continue
                try:
                    params = list(inspect.signature(fn).parameters.values())
                except (TypeError, ValueError):
                    continue
                if not params or any(
                        p.kind is not p.POSITIONAL_OR_KEYWORD for p in params):
                    continue
                found.append((f"{where}.{name}", fn,
                              [p.name for p in params]))
    return found


PARSED = _parsed_functions()


@pytest.mark.parametrize("fn, names", [p[1:] for p in PARSED],
                         ids=[p[0] for p in PARSED])
def test_each_parameter_is_known_by_its_signature_name_and_place(fn, names):
    # Passing a parameter both by place and by name is refused while the
    # arguments are parsed, before the function does anything. Functions
    # parsed positionally refuse every keyword.
    for i, name in enumerate(names):
        with pytest.raises(TypeError) as got:
            fn(*([None] * (i + 1)), **{name: None})
        assert f"multiple values for argument '{name}'" in str(got.value) or \
            str(got.value).endswith(f"{fn.__name__}() takes no keyword arguments")
