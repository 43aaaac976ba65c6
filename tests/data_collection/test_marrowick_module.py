"""The recording core as a module: its aliases, the exact-type checks of
its functions, and the lookup of module-level names at each use. Its names,
constants and signatures are in tests/surface/marrowick.txt."""
import json
import sys
import threading
import types

import pytest

from marrowick_support import current, env, load  # noqa: F401
from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection import metrics
from tarnwick_collector.data_collection.trindle import Trindle, TrindleTracker
from tarnwick_collector.data_collection.used_attributes_collector import (
    used_attributes,
)


def plain(a, b=2):
    return a


class StrSub(str):
    pass


# ---------------------------------------------------------------- names


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


def test_keywords_of_the_catch_all_entry_must_be_strings():
    with pytest.raises(TypeError) as info:
        mw.record_user_function_call(plain, **{1: 2})
    assert str(info.value) == (
        "record_user_function_call() keywords must be strings")


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
