"""External calls made by a recorded function: record_external_call, the
skip rules, the per-call limit and record_external_return_value."""
import json
import os
import textwrap
import types

import pytest

from marrowick_support import (  # noqa: F401
    Pool, Session, call_with_pending, current, env, load,
)
from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection.metrics import LimitReasons
from tarnwick_collector.data_collection.pellory import ExternalFunctionCall
from tarnwick_collector.data_collection.trindle import Trindle, TrindleTracker


def fetch(url):
    return url


def nowhere():
    return None


nowhere.__module__ = "tarnwick_nowhere"


def ext_name(fn):
    return mw.EXTRACT_METADATA(fn, True)[0].full_name


@pytest.fixture
def tracker(env):
    t = TrindleTracker("pkg.f")
    Trindle.set_current_running_function(t)
    return t


@pytest.fixture
def lookups(monkeypatch):
    """Records the module names whose location is looked up."""
    seen = []
    real = mw.get_module_location
    monkeypatch.setattr(mw, "get_module_location",
                        lambda name: seen.append(name) or real(name))
    return seen


# ------------------------------------------------------ what is recorded


def test_recorded_call_is_appended_to_the_current_tracker(tracker):
    rec = mw.record_external_call(os.getcwd)
    assert type(rec) is ExternalFunctionCall
    assert rec.function_metadata.full_name == ext_name(os.getcwd)
    assert tracker.recorded_functions == [rec]
    assert tracker.last_call is rec
    assert rec.post_run_args is None and load(rec.pre_run_args) is None


def test_callee_not_for_recording_does_not_consult_the_tracker(
        tracker, monkeypatch):
    asked = []
    monkeypatch.setattr(mw, "Trindle_thread_id_to_current_call_get",
                        lambda *a: asked.append(a))
    assert mw.record_external_call(len) is None
    assert asked == []


def test_without_tracker_the_extractor_still_reports(env):
    assert mw.record_external_call(os.getcwd) is None
    reported = [m.full_name for m in env.metrics(external=True)]
    assert reported == [ext_name(os.getcwd)]


def test_stateless_callee_is_skipped(tracker):
    assert ext_name(json.dumps) in mw.STATELESS_EXTERNAL_FULL_NAMES
    assert mw.record_external_call(json.dumps) is None
    assert tracker.recorded_functions == []


def test_project_module_is_skipped_and_remembered(env, tracker, lookups):
    env.settings.project_files = frozenset({textwrap.__file__})
    assert mw.record_external_call(textwrap.dedent, 0) is None
    assert "textwrap" in mw.CACHED_NONE_EXTERNAL_MODULES
    assert lookups == ["textwrap"]
    # Remembered: skipped whatever the tracer's flag, without a lookup.
    assert mw.record_external_call(textwrap.indent, 1) is None
    assert lookups == ["textwrap"]
    assert tracker.recorded_functions == []


def test_tracers_flag_spares_the_lookup(env, tracker, lookups):
    env.settings.project_files = frozenset({textwrap.__file__})
    rec = mw.record_external_call(textwrap.dedent, 1)
    assert rec is not None and lookups == []
    assert tracker.recorded_functions == [rec]


def test_module_outside_the_project_is_looked_up_each_time(tracker, lookups):
    mw.record_external_call(fetch)
    mw.record_external_call(fetch, did_check_function_file_in_project_files=0)
    assert lookups == [fetch.__module__] * 2
    assert len(tracker.recorded_functions) == 2


def test_unlocatable_module_is_not_skipped(tracker, lookups):
    assert mw.record_external_call(nowhere) is not None
    assert lookups == ["tarnwick_nowhere"]


@pytest.mark.parametrize(
    "full_name, module_name, flag, stateless, cached, files, expected", [
        ("json.dumps", "json", 0, True, False, False, True),
        ("m.f", "textwrap", 1, False, True, False, True),
        ("m.f", "textwrap", 1, False, False, True, False),
        ("m.f", "textwrap", 0, False, False, True, True),
        ("m.f", "textwrap", 0, False, False, False, False),
        ("m.f", "tarnwick_nowhere", 0, False, False, False, False),
        (None, None, 1, False, False, False, False),
    ])
def test_skip_rules(env, full_name, module_name, flag, stateless, cached,
                    files, expected, monkeypatch):
    names = {"json.dumps"} if stateless else set()
    monkeypatch.setattr(mw, "STATELESS_EXTERNAL_FULL_NAMES", names)
    if cached:
        mw.CACHED_NONE_EXTERNAL_MODULES.add(module_name)
    if files:
        env.settings.project_files = frozenset({textwrap.__file__})
    assert mw.should_skip_external_function(
        full_name, module_name, flag) is expected


def test_failing_skip_test_leaves_the_call_recorded(tracker, monkeypatch):
    def broken(*args):
        raise ValueError("lookup failed")

    monkeypatch.setattr(mw, "should_skip_external_function", broken)
    assert mw.record_external_call(os.getcwd) is not None


def test_base_exception_in_the_skip_test_propagates(tracker, monkeypatch):
    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(mw, "should_skip_external_function", interrupted)
    with pytest.raises(KeyboardInterrupt):
        mw.record_external_call(os.getcwd)


# ----------------------------------------------------- __enter__/__exit__


@pytest.mark.parametrize("attr", ["__enter__", "__exit__"])
def test_context_manager_methods_take_the_name_of_the_class_attribute(
        tracker, attr):
    # A Session method bound to a Pool: named after Pool's own attribute.
    bound = types.MethodType(getattr(Session, attr), Pool())
    assert ext_name(bound).endswith("Session." + attr)
    rec = mw.record_external_call(bound)
    assert rec.function_metadata.full_name == ext_name(getattr(Pool, attr))
    assert rec.function_metadata.full_name.endswith("Pool." + attr)


def test_enter_without_receiver_keeps_its_name(tracker):
    rec = mw.record_external_call(Session.__enter__)
    assert rec.function_metadata.full_name == ext_name(Session.__enter__)


# ------------------------------------------------------------ the limit


def test_limit_sequence(env, tracker):
    env.settings.external_calls_max = 2
    first = mw.record_external_call(fetch)
    second = mw.record_external_call(fetch)
    assert tracker.recorded_functions == [first, second]
    third = mw.record_external_call(fetch)
    # Returned for completion, but attached nowhere; recording stops.
    assert type(third) is ExternalFunctionCall
    assert tracker.recorded_functions == [first, second]
    assert current() is None
    assert mw.record_external_return_value(1, third) is None
    assert mw.record_external_call(fetch) is None


def test_limit_suspends_through_the_class(env, tracker, monkeypatch):
    env.settings.external_calls_max = 0
    calls = []
    monkeypatch.setattr(Trindle, "set_current_running_function",
                        staticmethod(lambda t: calls.append(t)))
    mw.record_external_call(fetch)
    assert calls == [None]


# ------------------------------------------------------- the return side


def test_normal_return_is_completed(tracker):
    rec = mw.record_external_call(fetch)
    assert mw.record_external_return_value({"k": 1}, rec) is None
    assert load(rec.execption) is type(None)
    assert load(rec.return_value) == {"k": 1}


def test_pending_exception_is_taken_and_cleared(tracker):
    rec = mw.record_external_call(fetch)
    error = ValueError("down")
    assert call_with_pending(mw.record_external_return_value, (None, rec),
                             (ValueError, error)) is None
    recorded = load(rec.execption)
    assert type(recorded) is ValueError and recorded.args == ("down",)
    assert load(rec.return_value) is None


def test_passed_exception_is_recorded(tracker):
    rec = mw.record_external_call(fetch)
    mw.record_external_return_value(None, rec, KeyError("k"))
    assert type(load(rec.execption)) is KeyError


def test_async_twin_forwards(tracker):
    rec = mw.record_external_call(fetch)
    assert call_with_pending(mw.record_async_external_return_value, (7, rec),
                             (OSError, OSError("x"))) is None
    assert type(load(rec.execption)) is OSError
    assert load(rec.return_value) == 7


def test_oversized_return_value(env, tracker, monkeypatch):
    rec = mw.record_external_call(fetch)
    monkeypatch.setattr(mw, "MAX_STRING_SIZE", 3.0)
    mw.record_external_return_value("abcd", rec)
    assert rec.return_value is None
    assert load(rec.execption) is type(None)
    (metric,) = [m for m in env.metrics() if type(m).__name__ == "LimitFailure"]
    name = ext_name(fetch)
    assert metric.function_full_name == name
    assert metric.limit_reason == LimitReasons.MAX_STRING_SIZE_EXCEEDED.format(
        name, "external_func_return_value")
    assert current() is None


def test_serializer_failure_is_swallowed(env, tracker):
    rec = mw.record_external_call(fetch)
    sent = len(env.settings.metrics_subprocess.messages)

    class Unpicklable:
        def __reduce__(self):
            raise TypeError("cannot pickle 'Unpicklable' object")

    mw.record_external_return_value(Unpicklable(), rec)
    assert load(rec.execption) is type(None)
    assert rec.return_value is None
    assert len(env.settings.metrics_subprocess.messages) == sent
    assert current() is tracker
