"""Call-flow tracking: trackers and the per-thread maps."""
import threading
import types

import pytest

from tarnwick_collector.data_collection import trindle
from tarnwick_collector.data_collection.trindle import Trindle, TrindleTracker


class StrSub(str):
    pass


@pytest.fixture
def thread_maps():
    """Restores the contents of both per-thread maps after the test."""
    maps = (Trindle.thread_id_to_current_call, Trindle.tid_to_external_call)
    saved = [dict(m) for m in maps]
    yield maps
    for m, content in zip(maps, saved):
        m.clear()
        m.update(content)


# --------------------------------------------------------------- module


# Names, classes and their members: tests/surface/trindle.txt.


# --------------------------------------------------------------- tracker


def test_new_tracker():
    first = TrindleTracker("app.f")
    assert list(vars(first).items()) == [
        ("recorded_functions", []), ("globals", {}), ("caller_function", None),
        ("unknown_modules", set()), ("last_call", None),
        ("func_full_name", "app.f"),
    ]
    second = TrindleTracker(func_full_name=None)
    assert second.func_full_name is None
    for name in ("recorded_functions", "globals", "unknown_modules"):
        assert getattr(first, name) is not getattr(second, name)


@pytest.mark.parametrize(
    "value, got", [(b"app.f", "bytes"), (StrSub("app.f"), "StrSub"), (1, "int")]
)
def test_tracker_name_must_be_exactly_str(value, got):
    obj = TrindleTracker.__new__(TrindleTracker)
    with pytest.raises(TypeError) as err:
        obj.__init__(value)
    assert str(err.value) == (
        f"Argument 'func_full_name' has incorrect type (expected str, got {got})"
    )
    assert vars(obj) == {}


@pytest.mark.parametrize(
    "limit, expected",
    [
        (2, [False, False, True, True]),
        (0, [True, True]),
        (1, [False, True]),
        (-5, [True]),
        (2 ** 100, [False, False, False]),
        (-(2 ** 100), [True]),
        (1.5, [False, False, True]),
        (True, [False, True]),
    ],
)
def test_external_call_limit(settings, limit, expected):
    settings.external_calls_max = limit
    tracker = TrindleTracker("app.f")
    calls = [object() for _ in expected]
    results = [tracker.add_external_module_call(c) for c in calls]
    assert results == expected
    taken = expected.count(False)
    assert tracker.recorded_functions == calls[:taken]
    assert tracker.last_call is (calls[taken - 1] if taken else None)
    for r in results:
        assert r is True or r is False


def test_limit_is_read_at_each_call(settings, monkeypatch):
    tracker = TrindleTracker("app.f")
    settings.external_calls_max = 1
    assert tracker.add_external_module_call("a") is False
    assert tracker.add_external_module_call("b") is True
    settings.external_calls_max = 3
    assert tracker.add_external_module_call(function_call="c") is False
    assert tracker.recorded_functions == ["a", "c"]

    class Other:
        external_calls_max = 2

    monkeypatch.setattr(trindle, "CollectorSettings", Other)
    assert tracker.add_external_module_call("d") is True
    monkeypatch.delattr(trindle, "CollectorSettings")
    with pytest.raises(NameError, match="CollectorSettings"):
        tracker.add_external_module_call("e")


def test_limit_that_cannot_be_compared(settings):
    settings.external_calls_max = None
    with pytest.raises(TypeError):
        TrindleTracker("app.f").add_external_module_call("a")


def test_recorded_functions_of_another_sequence_type(settings):
    class Calls(list):
        def append(self, item):
            super().append(("via append", item))

    settings.external_calls_max = 5
    tracker = TrindleTracker("app.f")
    tracker.recorded_functions = Calls()
    assert tracker.add_external_module_call("a") is False
    assert tracker.recorded_functions == [("via append", "a")]
    assert tracker.last_call == "a"


def test_tracker_methods_bind():
    tracker = TrindleTracker("app.f")
    assert isinstance(tracker.add_external_module_call, types.MethodType)


# ---------------------------------------------------------- thread maps


def test_current_tracker_per_thread(thread_maps, run_in_thread):
    current = Trindle.thread_id_to_current_call
    get = current.get  # what the recording core keeps
    main = TrindleTracker("main.f")
    assert Trindle.set_current_running_function(main) is None
    assert current[threading.get_ident()] is main

    other = TrindleTracker("other.f")

    def on_other_thread():
        before = get(threading.get_ident(), None)
        Trindle.set_current_running_function(func=other)
        return before, get(threading.get_ident(), None)

    assert run_in_thread(on_other_thread) == (None, other)
    assert get(threading.get_ident(), None) is main
    Trindle.set_current_running_function(None)
    assert threading.get_ident() in current and current[threading.get_ident()] is None
    # The maps are mutated, never replaced.
    assert Trindle.thread_id_to_current_call is current


def test_last_recording_per_thread(thread_maps, run_in_thread):
    assert run_in_thread(Trindle.get_last_recording) is None
    tracker = TrindleTracker("app.f")
    Trindle.set_last_recording(tracker)
    assert Trindle.get_last_recording() is tracker
    assert run_in_thread(Trindle.get_last_recording) is None
    assert Trindle.tid_to_external_call[threading.get_ident()] is tracker
    assert threading.get_ident() not in Trindle.thread_id_to_current_call or (
        Trindle.thread_id_to_current_call[threading.get_ident()] is not tracker
    )


def test_globals_are_read_at_each_call(thread_maps, monkeypatch):
    fake_threading = types.SimpleNamespace(get_ident=lambda: "fixed")
    monkeypatch.setattr(trindle, "threading", fake_threading)
    Trindle.set_current_running_function("t1")
    Trindle.set_last_recording("t2")
    assert Trindle.thread_id_to_current_call["fixed"] == "t1"
    assert Trindle.tid_to_external_call["fixed"] == "t2"
    assert Trindle.get_last_recording() == "t2"

    class Replacement:
        thread_id_to_current_call = {}
        tid_to_external_call = {"fixed": "from replacement"}

    monkeypatch.setattr(trindle, "Trindle", Replacement)
    Trindle.set_current_running_function("t3")
    assert Replacement.thread_id_to_current_call == {"fixed": "t3"}
    assert Trindle.get_last_recording() == "from replacement"


def test_maps_of_another_mapping_type(thread_maps, monkeypatch):
    class Map(dict):
        def get(self, key, default=None):
            return ("get", key, default)

        def __setitem__(self, key, value):
            super().__setitem__(key, ("set", value))

    class Replacement:
        thread_id_to_current_call = Map()
        tid_to_external_call = Map()

    monkeypatch.setattr(trindle, "Trindle", Replacement)
    Trindle.set_last_recording("x")
    tid = threading.get_ident()
    assert dict(Replacement.tid_to_external_call) == {tid: ("set", "x")}
    assert Trindle.get_last_recording() == ("get", tid, None)


# ------------------------------------------------------ argument counts


@pytest.mark.parametrize(
    "qualname, params, receiver",
    [
        ("TrindleTracker.__init__", "self, func_full_name", True),
        ("TrindleTracker.add_external_module_call", "self, function_call", True),
        ("Trindle.set_current_running_function", "func", False),
        ("Trindle.get_last_recording", "", False),
        ("Trindle.set_last_recording", "func", False),
    ],
)
@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1, 2, 3), {}), ((1,), {"bad": 1}), ((1, 2, 3), {"func": 1}),
     ((1,), {"func": 2, "function_call": 3, "func_full_name": 4})],
)
def test_wrong_arguments_get_the_interpreters_messages(
        qualname, params, receiver, args, kwargs, thread_maps):
    cls_name, meth = qualname.split(".")
    ns = {}
    decorator = "" if receiver else "    @staticmethod\n"
    exec(f"class {cls_name}:\n{decorator}    def {meth}({params}):\n"
         "        pass\n", ns)
    try:
        getattr(ns[cls_name], meth)(*args, **kwargs)
    except TypeError as exc:
        expected = str(exc)
    else:
        expected = None
    if receiver and args:
        args = (TrindleTracker("x"),) + args[1:]
    real = getattr(getattr(trindle, cls_name), meth)
    if expected is None:
        real(*args, **kwargs)
    else:
        with pytest.raises(TypeError) as got:
            real(*args, **kwargs)
        assert str(got.value) == expected
