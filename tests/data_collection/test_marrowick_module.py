"""The recording core as a module: its names, constants, aliases, function
signatures and argument checks, and the lookup of module-level names at
each use."""
import inspect
import json
import sys
import threading
import types

import pympler.asizeof
import pytest

from marrowick_support import current, env, load  # noqa: F401
from tarnwick_collector.configs.collector_settings import CollectorSettings
from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection import metrics, ostrelle, pellory
from tarnwick_collector.data_collection.trindle import Trindle, TrindleTracker
from tarnwick_collector.data_collection.used_attributes_collector import (
    used_attributes,
)
from tarnwick_collector.exceptions import ProblematicPickleException
from tarnwick_common.consts.should_mock import ShouldMockConsts

_MODULE_DUNDERS = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
}

FUNCTIONS = [
    "get_module_location", "is_size_too_big", "create_size_too_big_metric",
    "should_skip_external_function", "record_external_call",
    "get_function_call_object", "record_user_function_call",
    "add_recorded_functions_to_caller_tracker", "set_function_calls_count",
    "get_function_calls_count", "send_function_call_to_handler",
    "filter_modules_and_function_from_globals",
    "record_user_function_return_value",
    "record_user_async_function_return_value", "record_external_return_value",
    "record_async_external_return_value", "record_return_value_async",
    "get_exc_value", "load_attr_hook", "load_global_hook",
]


def plain(a, b=2):
    return a


class StrSub(str):
    pass


# ---------------------------------------------------------------- names


def test_module_level_names_in_order():
    names = [n for n in vars(mw) if n not in _MODULE_DUNDERS]
    assert names == [
        "threading", "types",
        "Callable", "Any", "Tuple", "Dict", "Union", "Optional",
        "asizeof", "ProblematicPickleException",
        "Unpicklable", "UnpicklableReasons", "CollectorFailure",
        "FailureReasons", "CollectionTry", "CollectionSuccess",
        "LimitFailure", "LimitReasons",
        "CollectorSettings", "Trindle", "TrindleTracker",
        "ExternalFunctionCall", "UserFunctionCall", "FunctionCall",
        "Ostrelle", "used_attributes", "ShouldMockConsts",
        "STATELESS_EXTERNAL_FULL_NAMES", "CACHED_NONE_EXTERNAL_MODULES",
        "TYPE_ERROR_TYPE_INDEX", "PROBLEMATIC_PICKLE_TYPE_INDEX",
        "FUNCTION_META_DATA_INDEX", "IS_FUNCTION_FOR_RECORDING_INDEX",
        "MAX_STRING_SIZE", "__SELF__", "IDS_TO_FOLLOW", "WRAPPER_DESCRIPTOR",
        "QUALNAME_STR", "FUNC_STR", "FUNC_NAME", "SELF_CONST",
        "METHOD_DESCRIPTOR", "Trindle_thread_id_to_current_call_get",
        "Trindle_set_current_running_function", "threading_get_ident",
        "types_MethodType", "types_Module", "BUILTINS", "reported_modules",
        "FUNCTION_INDEX", "EXTRACT_METADATA", "BLACKLISTED_FUNCTIONS",
    ] + FUNCTIONS


@pytest.mark.parametrize("name, expected", [
    ("threading", threading),
    ("types", types),
    ("asizeof", pympler.asizeof),
    ("ProblematicPickleException", ProblematicPickleException),
    ("Unpicklable", metrics.Unpicklable),
    ("LimitReasons", metrics.LimitReasons),
    ("CollectorSettings", CollectorSettings),
    ("Trindle", Trindle),
    ("TrindleTracker", TrindleTracker),
    ("ExternalFunctionCall", pellory.ExternalFunctionCall),
    ("UserFunctionCall", pellory.UserFunctionCall),
    ("FunctionCall", pellory.FunctionCall),
    ("Ostrelle", ostrelle.Ostrelle),
    ("used_attributes", used_attributes),
    ("ShouldMockConsts", ShouldMockConsts),
    ("STATELESS_EXTERNAL_FULL_NAMES",
     ShouldMockConsts.STATELESS_EXTERNAL_FULL_NAMES),
    ("WRAPPER_DESCRIPTOR", type(type.__init__)),
    ("METHOD_DESCRIPTOR", type(type.__dict__["mro"])),
    ("Trindle_set_current_running_function",
     Trindle.set_current_running_function),
    ("threading_get_ident", threading.get_ident),
    ("types_MethodType", types.MethodType),
    ("types_Module", types.ModuleType),
    ("EXTRACT_METADATA", ostrelle.Ostrelle.extract_function_metadata),
])
def test_bound_objects_are_the_imported_ones(name, expected):
    assert getattr(mw, name) is expected


@pytest.mark.parametrize("name, value", [
    ("TYPE_ERROR_TYPE_INDEX", 1),
    ("PROBLEMATIC_PICKLE_TYPE_INDEX", 2),
    ("FUNCTION_META_DATA_INDEX", 0),
    ("IS_FUNCTION_FOR_RECORDING_INDEX", 1),
    ("FUNCTION_INDEX", 0),
    ("__SELF__", "__self__"),
    ("QUALNAME_STR", "__qualname__"),
    ("FUNC_STR", "__func__"),
    ("FUNC_NAME", "__name__"),
    ("SELF_CONST", "__self__"),
    ("BUILTINS", "builtins"),
])
def test_constants(name, value):
    got = getattr(mw, name)
    assert got == value and type(got) is type(value)


def test_max_string_size_is_a_float():
    assert mw.MAX_STRING_SIZE == 768 * 1024 * 1024
    assert type(mw.MAX_STRING_SIZE) is float


def test_shared_sets_are_distinct_sets():
    sets = [mw.CACHED_NONE_EXTERNAL_MODULES, mw.IDS_TO_FOLLOW,
            mw.reported_modules, mw.BLACKLISTED_FUNCTIONS]
    assert all(type(s) is set for s in sets)
    assert len({id(s) for s in sets}) == 4


def test_thread_map_alias_is_bound_to_the_dict_of_import_time(env, monkeypatch):
    original = Trindle.thread_id_to_current_call
    assert mw.Trindle_thread_id_to_current_call_get.__self__ is original
    tracker = TrindleTracker("t")
    original[threading.get_ident()] = tracker
    # Rebinding the class attribute does not move the alias.
    monkeypatch.setattr(Trindle, "thread_id_to_current_call", {})
    mw.load_global_hook(json, "json")
    assert tracker.globals == {"json": json}


# ------------------------------------------------------------ functions


@pytest.mark.parametrize("name, params", [
    ("get_module_location", "(module_name)"),
    ("is_size_too_big", "(obj)"),
    ("create_size_too_big_metric",
     "(function_full_name, name, failure_place)"),
    ("should_skip_external_function",
     "(full_name, module_name, did_check_function_file_in_project_files)"),
    ("record_external_call",
     "(call, did_check_function_file_in_project_files=0)"),
    ("get_function_call_object", "(args, kwargs)"),
    ("record_user_function_call", "(*args, **kwargs)"),
    ("add_recorded_functions_to_caller_tracker", "(flow_tracker)"),
    ("set_function_calls_count", "(flow_tracker, count)"),
    ("get_function_calls_count", "(flow_tracker)"),
    ("send_function_call_to_handler", "(function_under_test)"),
    ("filter_modules_and_function_from_globals",
     "(function_globals, func_full_name)"),
    ("record_user_function_return_value",
     "(ret_val, function_under_test, cur_exc=None)"),
    ("record_user_async_function_return_value",
     "(ret_val, function_under_test, cur_exc=None)"),
    ("record_external_return_value", "(return_value, func_obj, cur_exc=None)"),
    ("record_async_external_return_value",
     "(return_value, func_obj, cur_exc=None)"),
    ("record_return_value_async", "(return_value, func_obj)"),
    ("get_exc_value", "()"),
    ("load_attr_hook", "(obj, attr, result)"),
    ("load_global_hook", "(global_obj, name)"),
])
def test_signatures_and_docstrings(name, params):
    fn = getattr(mw, name)
    assert str(inspect.signature(fn)) == params
    assert fn.__doc__ and fn.__module__ == mw.__name__


@pytest.mark.parametrize("call, message", [
    (lambda: mw.get_function_call_object(()),
     "get_function_call_object() missing 1 required positional argument: "
     "'kwargs'"),
    (lambda: mw.is_size_too_big(1, 2),
     "is_size_too_big() takes 1 positional argument but 2 were given"),
    (lambda: mw.record_external_call(len, 0, 1),
     "record_external_call() takes from 1 to 2 positional arguments but 3 "
     "were given"),
    (lambda: mw.load_global_hook(1, name="n", other=2),
     "load_global_hook() got an unexpected keyword argument 'other'"),
    (lambda: mw.get_exc_value(1),
     "get_exc_value() takes 0 positional arguments but 1 was given"),
    (lambda: mw.record_user_function_call(plain, **{1: 2}),
     "record_user_function_call() keywords must be strings"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call, param", [
    (lambda v: mw.get_module_location(v), "module_name"),
    (lambda v: mw.create_size_too_big_metric(v, "n", "p"),
     "function_full_name"),
    (lambda v: mw.create_size_too_big_metric("f", v, "p"), "name"),
    (lambda v: mw.create_size_too_big_metric("f", "n", v), "failure_place"),
    (lambda v: mw.should_skip_external_function(v, "m", 0), "full_name"),
    (lambda v: mw.should_skip_external_function("f", v, 0), "module_name"),
    (lambda v: mw.filter_modules_and_function_from_globals({}, v),
     "func_full_name"),
    (lambda v: mw.load_attr_hook(object(), v, 1), "attr"),
    (lambda v: mw.load_global_hook(1, v), "name"),
])
@pytest.mark.parametrize("bad", [5, b"x", StrSub("s")])
def test_str_parameters_refuse_other_types(env, call, param, bad):
    with pytest.raises(TypeError) as info:
        call(bad)
    assert str(info.value) == (
        f"Argument '{param}' has incorrect type (expected str, got "
        f"{type(bad).__name__})")
    assert env.settings.metrics_subprocess.messages == []


def test_get_module_location(monkeypatch):
    assert mw.get_module_location("json") == json.__file__
    assert mw.get_module_location("tarnwick_no_such_module") is None
    assert mw.get_module_location(module_name="json") == json.__file__
    with pytest.raises(ModuleNotFoundError):
        mw.get_module_location("tarnwick_no_such_pkg.sub")
    fake = types.ModuleType("tarnwick_spec_less")
    fake.__spec__ = None
    monkeypatch.setitem(sys.modules, "tarnwick_spec_less", fake)
    assert mw.get_module_location("tarnwick_spec_less") is None


class Counted:
    function_calls_count = 7


@pytest.mark.parametrize("tracker, expected", [
    (None, 0), (0, 0), ("", 0), (Counted(), 7),
])
def test_get_function_calls_count(tracker, expected):
    assert mw.get_function_calls_count(tracker) == expected


def test_set_function_calls_count():
    obj = Counted()
    assert mw.set_function_calls_count(obj, 3) is None
    assert obj.function_calls_count == 3
    assert mw.set_function_calls_count(None, 5) is None
    with pytest.raises(AttributeError):
        mw.get_function_calls_count(object())


# ------------------------------------------- names looked up at each use


def test_rebound_size_test_is_used_by_the_entry(env, monkeypatch):
    seen = []

    def too_big(obj):
        seen.append(obj)
        return True

    monkeypatch.setattr(mw, "is_size_too_big", too_big)
    assert mw.record_user_function_call(plain, 1, b=2) is None
    assert seen == [1]
    assert env.kinds() == ["CollectionTry", "LimitFailure", "Unpicklable"]


def test_rebound_extract_metadata_is_used(env, monkeypatch):
    seen = []
    real = mw.EXTRACT_METADATA

    def spy(*args):
        seen.append(args)
        return real(*args)

    monkeypatch.setattr(mw, "EXTRACT_METADATA", spy)
    mw.record_user_function_call(plain, 1)
    mw.record_external_call(json.dumps)
    assert seen == [(plain,), (json.dumps, True)]


def test_rebound_aliases_are_used(env, monkeypatch):
    tracker = TrindleTracker("t")
    asked = []

    def fake_get(tid, default):
        asked.append((tid, default))
        return tracker

    monkeypatch.setattr(mw, "Trindle_thread_id_to_current_call_get", fake_get)
    monkeypatch.setattr(mw, "threading_get_ident", lambda: 4242)
    mw.load_global_hook(json, "json")
    assert asked == [(4242, None)]
    assert tracker.globals == {"json": json}


def test_rebound_settings_and_classes_are_used(env, monkeypatch):
    class Channel:
        def __init__(self):
            self.messages = []

        def send_message(self, data):
            self.messages.append(data)

    class OtherSettings:
        tenant_id = "tenant"
        project_id = "project"
        python_version = "3.x"
        lib_version = "9"
        serializer = env.serializer
        metrics_subprocess = Channel()

    monkeypatch.setattr(mw, "CollectorSettings", OtherSettings)
    mw.create_size_too_big_metric("f", "n", "p")
    assert env.settings.metrics_subprocess.messages == []
    metric = load(OtherSettings.metrics_subprocess.messages[0])
    assert (metric.tenant_id, metric.collector_version) == ("tenant", "9")

    monkeypatch.setattr(mw, "LimitFailure", metrics.CollectorFailure)
    with pytest.raises(TypeError):  # now one argument too many
        mw.create_size_too_big_metric("f", "n", "p")


def test_rebound_constants_are_used(env, monkeypatch):
    monkeypatch.setattr(mw, "MAX_STRING_SIZE", 3.0)
    assert mw.is_size_too_big("abcd")
    monkeypatch.setattr(mw, "MAX_STRING_SIZE", 805306368.0)
    monkeypatch.setattr(mw, "FUNCTION_INDEX", 1)
    rec = mw.record_user_function_call("ignored", plain, 7)
    assert load(rec.pre_run_args) == (plain, 7)  # args[1:] stays literal
    monkeypatch.setattr(mw, "IDS_TO_FOLLOW", {id(json)})
    mw.load_attr_hook(json, "dumps", json.dumps)
    assert used_attributes[id(json)] == {"dumps"}
    mw.record_user_function_return_value(None, rec)


def test_rebound_get_exc_value_is_used(env, monkeypatch):
    rec = mw.record_user_function_call(plain, 1)
    monkeypatch.setattr(mw, "get_exc_value", lambda: "sentinel")
    mw.record_user_function_return_value(1, rec)
    assert load(env.records()[0].execption) == "sentinel"


def test_rebound_entry_is_used_by_its_forwarders(env, monkeypatch):
    seen = []
    monkeypatch.setattr(mw, "record_user_function_return_value",
                        lambda *a: seen.append(("user",) + a))
    monkeypatch.setattr(mw, "record_external_return_value",
                        lambda *a: seen.append(("external",) + a))
    assert mw.record_user_async_function_return_value(1, "rec") is None
    assert mw.record_async_external_return_value(2, "ext", "exc") is None
    assert seen == [("user", 1, "rec", None), ("external", 2, "ext", "exc")]


def test_rebound_skip_test_is_used(env, monkeypatch):
    rec = mw.record_user_function_call(plain, 1)
    monkeypatch.setattr(mw, "should_skip_external_function",
                        lambda *a: True)
    assert mw.record_external_call(json.dumps, 1) is None
    mw.record_user_function_return_value(1, rec)
