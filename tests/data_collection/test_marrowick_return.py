"""The end of a recorded user call: completing, sending and handing over,
the handling of failures, and the pending-exception contract."""
import os
import threading

import pytest

from marrowick_support import (  # noqa: F401
    call_with_pending, current, env, load,
)
from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection.metrics import (
    FailureReasons,
    LimitReasons,
    UnpicklableReasons,
)
from tarnwick_collector.data_collection.pellory import (
    ExternalFunctionCall,
    UserFunctionCall,
)
from tarnwick_collector.data_collection.trindle import TrindleTracker


def outer(items):
    return items


def inner(x):
    return x


def fetch(url):
    return url


def store(key):
    return key


class Problem:
    """Refused by the test serializer when it is told so."""


class Failing:
    def __reduce__(self):
        raise RuntimeError("not today")


def name_of(fn):
    return mw.EXTRACT_METADATA(fn).full_name


def call_names(record):
    return [c.function_metadata.full_name for c in record.external_calls]


def ext(fn, *, ret=None):
    """One external call as the tracer reports it."""
    rec = mw.record_external_call(fn)
    if rec is not None:
        mw.record_external_return_value(ret, rec)
    return rec


FETCH = None  # the full name of `fetch` as an external callee


@pytest.fixture(autouse=True)
def _names():
    global FETCH
    FETCH = mw.EXTRACT_METADATA(fetch, True)[0].full_name


# ------------------------------------------------------------ normal end


def test_normal_end_completes_and_sends_the_record(env):
    items = [1]
    rec = mw.record_user_function_call(outer, items)
    tracker = current()
    mw.load_global_hook(Problem, "Problem")
    ext(fetch, ret="page")
    items.append(2)  # changed by the call: only the post-run view shows it
    assert mw.record_user_function_return_value("done", rec) is None

    assert env.kinds() == ["CollectionTry", "CollectionSuccess"]
    (sent,) = env.records()
    assert type(sent) is UserFunctionCall
    assert load(sent.execption) is type(None)
    assert load(sent.return_value) == "done"
    assert load(sent.globals) == {"Problem": Problem}
    assert load(sent.pre_run_args) == ([1],)
    assert load(sent.post_run_args) == ([1, 2],)
    assert load(sent.post_run_kwargs) == {}
    assert call_names(sent) == [FETCH]
    assert sent.unknown_modules == set()
    # The record holds the tracker's own list and set.
    assert rec.external_calls is tracker.recorded_functions
    assert rec.unknown_modules is tracker.unknown_modules
    assert tracker.last_call is None and tracker.caller_function is None
    assert current() is None


def test_serializer_call_forms(env):
    rec = mw.record_user_function_call(outer, 1)
    env.serializer.calls.clear()
    mw.record_user_function_return_value(2, rec)
    forms = [(type(obj).__name__, args, kwargs)
             for obj, args, kwargs in env.serializer.calls]
    assert forms == [
        ("dict", (), {}),  # the used globals
        ("type", (), {"object_wrapper": False}),  # the exception
        ("int", (), {"object_wrapper": False}),  # the return value
        ("tuple", (), {"object_wrapper": False}),  # post-run args
        ("dict", (), {"object_wrapper": False}),  # post-run kwargs
        ("UserFunctionCall", (False,), {}),  # the whole record
        ("CollectionSuccess", (), {}),
    ]
    # The data message goes out before the success metric.
    assert env.settings.data_subprocess.messages == [
        env.serializer.serialize(rec, False)]


def test_empty_serialized_record_is_not_sent(env):
    env.serializer.empty_records = True
    rec = mw.record_user_function_call(outer, 1)
    assert mw.record_user_function_return_value(2, rec) is None
    assert env.records() == [] and env.kinds() == ["CollectionTry"]


def test_falsy_record_touches_nothing(env):
    tracker = TrindleTracker("pkg.f")
    mw.Trindle_set_current_running_function(tracker)
    assert mw.record_user_function_return_value(1, None) is None
    assert current() is tracker and env.kinds() == []


def test_falsy_record_leaves_the_pending_exception(env):
    error = ValueError("kept")
    with pytest.raises(SystemError) as info:
        call_with_pending(mw.record_user_function_return_value, (1, None),
                          (ValueError, error))
    assert info.value.__cause__ is error


def test_no_current_tracker_reports_the_limit(env):
    rec = mw.record_user_function_call(outer, 1)
    mw.Trindle_set_current_running_function(None)
    mw.record_user_function_return_value(1, rec)
    assert env.records() == []
    (_, metric) = env.metrics()
    assert metric.function_full_name == name_of(outer)
    assert metric.limit_reason == \
        LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED
    assert current() is None


@pytest.mark.parametrize("place", ["return value", "global"])
def test_oversized_value_abandons_the_record(env, monkeypatch, place):
    caller = TrindleTracker("pkg.caller")
    mw.Trindle_set_current_running_function(caller)
    rec = mw.record_user_function_call(outer, 1)
    ret = None
    if place == "global":
        mw.load_global_hook("x" * 10, "TEXT")
    else:
        ret = "y" * 10
    monkeypatch.setattr(mw, "MAX_STRING_SIZE", 5.0)
    mw.record_user_function_return_value(ret, rec)
    assert env.records() == []
    metric = env.metrics()[-1]
    assert metric.function_full_name == name_of(outer)
    if place == "global":
        expected = ("TEXT", "globals")
    else:
        expected = (name_of(outer), "user_func_return_value")
    assert metric.limit_reason == \
        LimitReasons.MAX_STRING_SIZE_EXCEEDED.format(*expected)
    assert current() is None
    assert name_of(outer) not in mw.BLACKLISTED_FUNCTIONS


# --------------------------------------------------------- nested calls


def test_nested_calls_hand_over_to_the_caller(env):
    a = mw.record_user_function_call(outer, 1)
    a_tracker = current()
    ext(store)
    b = mw.record_user_function_call(inner, 2)
    b_tracker = current()
    mw.load_global_hook(Problem, "Problem")
    ext(fetch)
    ext(fetch)
    mw.record_user_function_return_value(None, b)

    assert current() is a_tracker
    assert b_tracker.caller_function is None
    assert a_tracker.globals == {"Problem": Problem}
    (b_sent,) = env.records()
    assert call_names(b_sent) == [FETCH, FETCH]

    ext(store)
    mw.record_user_function_return_value(None, a)
    a_sent = env.records()[1]
    store_name = mw.EXTRACT_METADATA(store, True)[0].full_name
    assert call_names(a_sent) == [store_name, FETCH, FETCH, store_name]
    assert load(a_sent.globals) == {"Problem": Problem}
    assert current() is None


def test_three_levels_restore_each_caller(env):
    a = mw.record_user_function_call(outer, 1)
    a_tracker = current()
    b = mw.record_user_function_call(inner, 2)
    b_tracker = current()
    c = mw.record_user_function_call(store, 3)
    c_tracker = current()
    mw.record_user_function_return_value(None, c)
    assert current() is b_tracker
    assert c_tracker.caller_function is a_tracker  # the caller's caller
    mw.record_user_function_return_value(None, b)
    assert current() is a_tracker
    mw.record_user_function_return_value(None, a)
    assert current() is None
    assert len(env.records()) == 3


@pytest.mark.parametrize("limit, merged", [(3, False), (4, True)])
def test_merge_under_the_limit(env, limit, merged):
    env.settings.external_calls_max = limit
    a = mw.record_user_function_call(outer, 1)
    a_tracker = current()
    ext(fetch)
    ext(fetch)
    b = mw.record_user_function_call(inner, 2)
    ext(fetch)
    ext(fetch)
    mw.record_user_function_return_value(None, b)
    (b_sent,) = env.records()
    assert len(b_sent.external_calls) == 2
    if merged:
        assert current() is a_tracker
        assert len(a_tracker.recorded_functions) == 4
    else:
        assert current() is None
        assert len(a_tracker.recorded_functions) == 2

    mw.record_user_function_return_value(None, a)
    if merged:
        assert len(env.records()[1].external_calls) == 4
    else:
        assert len(env.records()) == 1
        metric = env.metrics()[-1]
        assert metric.function_full_name == name_of(outer)
        assert metric.limit_reason == \
            LimitReasons.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED


# ------------------------------------------------------------- failures


def _put_in_record(tracker, obj):
    # The tracker's set of unknown modules travels inside the record.
    tracker.unknown_modules.add(obj)


def _put_in_globals(tracker, obj):
    mw.load_global_hook(obj, "SHARED")


@pytest.mark.parametrize("kind", ["lock", "problematic"])
@pytest.mark.parametrize("place, blacklisted", [
    (_put_in_record, False), (_put_in_globals, True),
])
def test_pickling_failures(env, kind, place, blacklisted):
    caller = TrindleTracker("pkg.caller")
    mw.Trindle_set_current_running_function(caller)
    rec = mw.record_user_function_call(inner, 1)
    tracker = current()
    if kind == "lock":
        obj = threading.Lock()
        expected = ("_thread.lock", UnpicklableReasons.TYPE_ERROR)
    else:
        env.serializer.problematic.add(Problem)
        obj = Problem()
        expected = (f"{Problem.__module__}.Problem", UnpicklableReasons.REDUCE)
    place(tracker, obj)
    assert mw.record_user_function_return_value(None, rec) is None

    assert env.records() == []
    assert env.kinds() == ["CollectionTry", "Unpicklable"]
    metric = env.metrics()[-1]
    assert (metric.object_type, metric.unpicklable_reason) == expected
    assert (name_of(inner) in mw.BLACKLISTED_FUNCTIONS) is blacklisted
    # Either way the caller's tracker is current again.
    assert current() is caller


def test_other_failure_reports_and_blacklists(env):
    rec = mw.record_user_function_call(inner, 1)
    mw.load_global_hook(Failing(), "BROKEN")
    mw.record_user_function_return_value(None, rec)
    assert env.kinds() == ["CollectionTry", "CollectorFailure"]
    assert env.metrics()[-1].reason is FailureReasons.EXCEPTION
    assert name_of(inner) in mw.BLACKLISTED_FUNCTIONS
    assert current() is None


def test_an_ended_recording_is_reported_once_and_its_lost_calls_counted(env):
    mw.LOST_CALLS.clear()
    rec = mw.record_user_function_call(inner, 1)
    mw.load_global_hook(Failing(), "BROKEN")
    mw.record_user_function_return_value(None, rec)
    ended = [m for m in env.metrics(endings=True) if type(m).__name__ == "RecordingEnded"]
    # Not a refused type: the failure's class is named instead.
    assert [(m.function_full_name, m.object_type) for m in ended] == [
        (name_of(inner), "RuntimeError")]
    assert ended[0].reason is FailureReasons.RECORDING_ENDED
    env.clear()
    for i in range(3):
        assert mw.record_user_function_call(inner, i) is None
    assert mw.LOST_CALLS == {name_of(inner): 3}
    assert env.kinds() == ["CollectionTry", "Unpicklable"] * 3
    assert not [m for m in env.metrics(endings=True)
                if type(m).__name__ == "RecordingEnded"]
    mw.LOST_CALLS.clear()


class TooDeep:
    def __reduce__(self):
        raise RecursionError("maximum recursion depth exceeded")


def test_the_recursion_limit_loses_the_call_not_the_function(env):
    # Met while the call's values are written: reported under its own
    # reason, and the function's next calls are still recorded.
    rec = mw.record_user_function_call(inner, 1)
    mw.load_global_hook(TooDeep(), "DEEP")
    assert mw.record_user_function_return_value(None, rec) is None
    assert env.kinds() == ["CollectionTry", "CollectorFailure"]
    assert env.metrics()[-1].reason is FailureReasons.RECURSION_LIMIT
    assert name_of(inner) not in mw.BLACKLISTED_FUNCTIONS
    assert current() is None
    # Met while the call's arguments are snapshot: the tracer counts it.
    with pytest.raises(RecursionError):
        mw.record_user_function_call(inner, TooDeep())
    assert name_of(inner) not in mw.BLACKLISTED_FUNCTIONS
    rec = mw.record_user_function_call(inner, 2)
    mw.record_user_function_return_value(None, rec)
    assert env.kinds()[-1] == "CollectionSuccess"


def test_failure_after_the_send_still_blacklists(env):
    class BrokenChannel:
        def __init__(self):
            self.messages = []

        def send_message(self, data):
            self.messages.append(data)
            raise RuntimeError("channel closed")

    env.settings.data_subprocess = BrokenChannel()
    a = mw.record_user_function_call(outer, 1)
    a_tracker = current()
    b = mw.record_user_function_call(inner, 2)
    b_tracker = current()
    mw.record_user_function_return_value(None, b)
    assert len(env.settings.data_subprocess.messages) == 1
    assert env.kinds()[-1] == "CollectorFailure"
    assert name_of(inner) in mw.BLACKLISTED_FUNCTIONS
    # The failure came while the tracker was detached from its caller: the
    # hand-over puts it back and makes the caller current.
    assert current() is a_tracker
    assert b_tracker.caller_function is None
    mw.record_user_function_return_value(None, a)


@pytest.mark.parametrize("kind", ["lock", "problematic", "other"])
def test_failed_nested_call_hands_over_to_its_caller(env, kind):
    a = mw.record_user_function_call(outer, 1)
    a_tracker = current()
    ext(store)
    b = mw.record_user_function_call(inner, 2)
    ext(fetch)
    # A used global the serializer refuses fails the nested call's end.
    if kind == "lock":
        bad = threading.Lock()
    elif kind == "problematic":
        env.serializer.problematic.add(Problem)
        bad = Problem()
    else:
        bad = Failing()
    mw.load_global_hook(bad, "BAD")
    mw.record_user_function_return_value(None, b)
    assert name_of(inner) in mw.BLACKLISTED_FUNCTIONS
    assert env.records() == []
    assert current() is a_tracker

    # The caller goes on recording into its own tracker.
    ext(store)
    del a_tracker.globals["BAD"]  # the merged global would fail A as well
    mw.record_user_function_return_value(None, a)
    (a_sent,) = env.records()
    store_name = mw.EXTRACT_METADATA(store, True)[0].full_name
    assert call_names(a_sent) == [store_name, FETCH, store_name]
    assert a_sent.function_metadata.full_name == name_of(outer)
    assert current() is None


def test_failed_nested_call_respects_the_limit(env):
    env.settings.external_calls_max = 2
    a = mw.record_user_function_call(outer, 1)
    ext(store)
    b = mw.record_user_function_call(inner, 2)
    ext(fetch)
    ext(fetch)
    mw.load_global_hook(threading.Lock(), "LOCK")
    mw.record_user_function_return_value(None, b)
    assert current() is None  # 1 + 2 > 2: the merge is refused
    mw.record_user_function_return_value(None, a)
    assert env.kinds()[-1] == "LimitFailure"


def test_failure_before_the_tracker_is_read_hands_over(env, monkeypatch):
    a = mw.record_user_function_call(outer, 1)
    a_tracker = current()
    b = mw.record_user_function_call(inner, 2)

    def broken():
        raise RuntimeError("no exception state")

    monkeypatch.setattr(mw, "get_exc_value", broken)
    mw.record_user_function_return_value(None, b)
    assert env.kinds()[-1] == "CollectorFailure"
    assert name_of(inner) in mw.BLACKLISTED_FUNCTIONS
    assert current() is a_tracker
    monkeypatch.undo()
    mw.record_user_function_return_value(None, a)
    assert current() is None


def test_failing_handler_propagates_after_the_hand_over(env):
    class Odd:
        def __reduce__(self):
            raise TypeError("no quotes here")

    a = mw.record_user_function_call(outer, 1)
    a_tracker = current()
    b = mw.record_user_function_call(inner, 2)
    mw.load_global_hook(Odd(), "ODD")
    with pytest.raises(IndexError) as info:
        mw.record_user_function_return_value(None, b)
    assert isinstance(info.value.__context__, TypeError)
    assert name_of(inner) in mw.BLACKLISTED_FUNCTIONS
    assert current() is a_tracker


def test_base_exception_is_not_handled(env, monkeypatch):
    rec = mw.record_user_function_call(inner, 1)

    def interrupted(value):
        raise KeyboardInterrupt

    monkeypatch.setattr(mw, "is_size_too_big", interrupted)
    with pytest.raises(KeyboardInterrupt):
        mw.record_user_function_return_value(None, rec)
    assert name_of(inner) not in mw.BLACKLISTED_FUNCTIONS


def test_send_handler_lets_other_failures_through(env):
    rec = mw.record_user_function_call(inner, Failing.__name__)
    rec.post_run_args = (Failing(),)
    with pytest.raises(RuntimeError, match="not today"):
        mw.send_function_call_to_handler(rec)


# ----------------------------------------------------------- the merge


def test_merge_of_a_tracker_without_caller(env):
    assert mw.add_recorded_functions_to_caller_tracker(None) is False
    lone = TrindleTracker("pkg.f")
    lone.globals["x"] = 1
    assert mw.add_recorded_functions_to_caller_tracker(lone) is False
    assert lone.globals == {"x": 1}


def test_merge_details(env):
    caller, callee = TrindleTracker("pkg.a"), TrindleTracker("pkg.b")
    callee.caller_function = caller
    caller.globals.update(x=1, y=1)
    callee.globals.update(y=2)
    callee.unknown_modules.add("mod")
    callee.recorded_functions.append("rec")
    assert mw.add_recorded_functions_to_caller_tracker(callee) is False
    assert caller.globals == {"x": 1, "y": 2}
    assert caller.recorded_functions == ["rec"]
    assert caller.unknown_modules == {"mod"}


def test_merge_goes_on_after_a_failed_first_block(env):
    caller, callee = TrindleTracker("pkg.a"), TrindleTracker("pkg.b")
    callee.caller_function = caller
    caller.globals = None  # no update method
    callee.unknown_modules.add("mod")
    assert mw.add_recorded_functions_to_caller_tracker(callee) is False
    assert caller.unknown_modules == {"mod"}


class _Falsy:
    def __bool__(self):
        return False


class _Refusing:
    """Raises `exc` from whatever the merge calls on it."""

    def __init__(self, exc):
        self.exc = exc

    def update(self, other):
        raise self.exc

    def add(self, item):
        raise self.exc

    def __bool__(self):
        raise self.exc


def _pair():
    caller, callee = TrindleTracker("pkg.a"), TrindleTracker("pkg.b")
    callee.caller_function = caller
    callee.globals.update(g=1)
    callee.recorded_functions.append("rec")
    callee.unknown_modules.add("mod")
    return caller, callee


def test_merge_over_the_limit_stops_after_the_globals(env):
    env.settings.external_calls_max = 0
    caller, callee = _pair()
    assert mw.add_recorded_functions_to_caller_tracker(callee) is True
    assert caller.globals == {"g": 1}
    assert caller.recorded_functions == []
    assert caller.unknown_modules == set()  # the second block never ran


def test_merge_skips_a_falsy_tracker_or_caller(env):
    assert mw.add_recorded_functions_to_caller_tracker(_Falsy()) is False
    caller, callee = _pair()
    callee.caller_function = _Falsy()
    assert mw.add_recorded_functions_to_caller_tracker(callee) is False


@pytest.mark.parametrize("where", ["tracker", "globals", "unknown_modules"])
def test_merge_absorbs_an_error_and_goes_on(env, where):
    caller, callee = _pair()
    if where == "tracker":
        callee = _Refusing(ValueError("no truth"))
    elif where == "globals":
        caller.globals = _Refusing(ValueError("no update"))
    else:
        caller.unknown_modules = _Refusing(ValueError("no add"))
    assert mw.add_recorded_functions_to_caller_tracker(callee) is False
    if where == "globals":
        assert caller.unknown_modules == {"mod"}  # second block still ran
    if where == "unknown_modules":
        assert caller.recorded_functions == ["rec"]


@pytest.mark.parametrize("where", ["tracker", "globals", "unknown_modules"])
def test_merge_lets_an_interrupt_through(env, where):
    caller, callee = _pair()
    if where == "tracker":
        callee = _Refusing(KeyboardInterrupt())
    elif where == "globals":
        caller.globals = _Refusing(KeyboardInterrupt())
    else:
        caller.unknown_modules = _Refusing(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        mw.add_recorded_functions_to_caller_tracker(callee)
    if where == "globals":
        assert caller.unknown_modules == set()  # the second block never ran


# ------------------------------------------------- the pending exception


class Custom(Exception):
    pass


def test_get_exc_value_normalizes_on_every_version():
    # Python 3.12+ makes the instance when the exception is set; earlier
    # versions hold the type and the bare message until later. Either way
    # the answer is the instance.
    for pending, args in [((KeyError,), ()), ((ValueError, "not normalized"),
                                               ("not normalized",))]:
        value = call_with_pending(mw.get_exc_value, (), pending)
        assert type(value) is pending[0] and value.args == args
    assert call_with_pending(mw.get_exc_value, (), (KeyboardInterrupt, "msg")) \
        is KeyboardInterrupt


@pytest.mark.parametrize("pending, expected", [
    ((), type(None)),
    ((KeyboardInterrupt, KeyboardInterrupt()), KeyboardInterrupt),
    ((SystemExit, SystemExit(2)), SystemExit),
    ((GeneratorExit, GeneratorExit()), GeneratorExit),
])
def test_get_exc_value_takes_the_pending_exception(pending, expected):
    assert call_with_pending(mw.get_exc_value, (), pending) is expected


def test_get_exc_value_returns_exception_instances():
    error = Custom("boom")
    assert call_with_pending(mw.get_exc_value, (), (Custom, error)) is error


def test_get_exc_value_ignores_a_handled_exception():
    try:
        raise ValueError("handled")
    except ValueError:
        assert mw.get_exc_value() is type(None)


@pytest.mark.parametrize("entry", [
    "record_user_function_return_value",
    "record_user_async_function_return_value",
    "record_return_value_async",
])
def test_end_entries_take_and_clear_the_pending_exception(env, entry):
    rec = mw.record_user_function_call(inner, 1)
    error = ValueError("x")
    # Returns normally: nothing is left pending (else SystemError).
    assert call_with_pending(getattr(mw, entry), (None, rec),
                             (ValueError, error)) is None
    (sent,) = env.records()
    recorded = load(sent.execption)
    assert type(recorded) is ValueError and recorded.args == ("x",)


def test_keyboard_interrupt_is_recorded_as_its_class(env):
    rec = mw.record_user_function_call(inner, 1)
    call_with_pending(mw.record_user_function_return_value, (None, rec),
                      (KeyboardInterrupt, KeyboardInterrupt()))
    assert load(env.records()[0].execption) is KeyboardInterrupt


def test_passed_exception_wins_over_fetching(env):
    rec = mw.record_user_function_call(inner, 1)
    mw.record_user_function_return_value(None, rec, Custom("given"))
    assert type(load(env.records()[0].execption)) is Custom


# ------------------------------------------------- record_return_value_async


def test_async_end_dispatches_on_the_exact_type(env):
    rec = mw.record_user_function_call(outer, 1)
    external = mw.record_external_call(fetch)
    assert type(external) is ExternalFunctionCall
    call_with_pending(mw.record_return_value_async, ("page", external),
                      (OSError, OSError("io")))
    assert type(load(external.execption)) is OSError
    assert load(external.return_value) == "page"
    mw.record_return_value_async("done", rec)
    assert load(env.records()[0].return_value) == "done"


def test_async_end_ignores_other_objects_but_clears(env):
    class SubRecord(UserFunctionCall):
        pass

    tracker = TrindleTracker("pkg.f")
    mw.Trindle_set_current_running_function(tracker)
    sub = SubRecord.__new__(SubRecord)
    for obj in (sub, "text", None):
        assert call_with_pending(mw.record_return_value_async, (1, obj),
                                 (ValueError, ValueError())) is None
    assert current() is tracker and env.kinds() == []


def test_os_module_global_is_kept_only_with_used_attributes(env):
    rec = mw.record_user_function_call(outer, 1)
    mw.load_global_hook(os, "os")
    mw.record_user_function_return_value(None, rec)
    assert load(env.records()[0].globals) == {}
