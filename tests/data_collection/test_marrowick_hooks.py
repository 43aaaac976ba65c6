"""The name-load hooks and the filter of used globals."""
import collections
import json
import threading
import types

import pytest

from marrowick_support import current, env  # noqa: F401
from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection.metrics import LimitReasons
from tarnwick_collector.data_collection.trindle import Trindle, TrindleTracker
from tarnwick_collector.data_collection.used_attributes_collector import (
    used_attributes,
)


class Config:
    pass


class ModuleSub(types.ModuleType):
    pass


@pytest.fixture
def tracker(env):
    t = TrindleTracker("pkg.f")
    Trindle.set_current_running_function(t)
    return t


# ------------------------------------------------------ load_global_hook


def test_global_load_is_noted_and_followed(tracker):
    cfg = Config()
    assert mw.load_global_hook(cfg, "CFG") is None
    assert tracker.globals == {"CFG": cfg}
    assert id(cfg) in mw.IDS_TO_FOLLOW


def test_last_load_of_a_name_wins(tracker):
    first, second = Config(), Config()
    mw.load_global_hook(first, "CFG")
    mw.load_global_hook(second, name="CFG")
    assert tracker.globals["CFG"] is second


def test_global_load_without_tracker_touches_nothing(env):
    cfg = Config()
    before = set(mw.IDS_TO_FOLLOW)
    assert mw.load_global_hook(cfg, "CFG") is None
    assert mw.IDS_TO_FOLLOW == before
    assert current() is None


def test_global_load_on_another_thread_goes_to_that_threads_tracker(tracker, run_in_thread):
    cfg = Config()
    run_in_thread(lambda: mw.load_global_hook(cfg, "CFG"))
    assert tracker.globals == {}


def test_global_load_failure_propagates(env):
    class NoGlobals:
        pass

    Trindle.set_current_running_function(NoGlobals())
    with pytest.raises(AttributeError):
        mw.load_global_hook(1, "x")


# -------------------------------------------------------- load_attr_hook


def test_attribute_loads_of_a_followed_object(tracker):
    cfg, value = Config(), Config()
    mw.load_global_hook(cfg, "CFG")
    assert mw.load_attr_hook(cfg, "a", value) is None
    assert used_attributes[id(cfg)] == {"a"}
    assert id(value) in mw.IDS_TO_FOLLOW
    mw.load_attr_hook(cfg, attr="b", result=3)
    assert used_attributes[id(cfg)] == {"a", "b"}
    # Followed values are followed in turn.
    mw.load_attr_hook(value, "c", 4)
    assert used_attributes[id(value)] == {"c"}


def test_attribute_load_on_an_unfollowed_object_changes_nothing(env):
    obj = Config()
    before_ids, before_used = set(mw.IDS_TO_FOLLOW), dict(used_attributes)
    mw.load_attr_hook(obj, "a", Config())
    assert mw.IDS_TO_FOLLOW == before_ids
    assert used_attributes == before_used


def test_attribute_hook_ignores_the_current_tracker(env, run_in_thread):
    obj = Config()
    mw.IDS_TO_FOLLOW.add(id(obj))
    run_in_thread(lambda: mw.load_attr_hook(obj, "a", 1))
    assert used_attributes[id(obj)] == {"a"}


def test_attribute_hook_swallows_failures(env):
    obj, result = Config(), Config()
    mw.IDS_TO_FOLLOW.add(id(obj))
    used_attributes[id(obj)] = "no add method"
    assert mw.load_attr_hook(obj, "a", result) is None
    assert id(result) in mw.IDS_TO_FOLLOW


def test_attribute_hook_swallows_even_base_exceptions(env, monkeypatch):
    class Exploding:
        def __contains__(self, key):
            raise KeyboardInterrupt

    monkeypatch.setattr(mw, "IDS_TO_FOLLOW", Exploding())
    assert mw.load_attr_hook(Config(), "a", 1) is None


def test_attribute_hook_with_another_container(env, monkeypatch):
    obj = Config()
    followed = [id(obj)]

    class Followed(list):
        def add(self, item):
            self.append(item)

    monkeypatch.setattr(mw, "IDS_TO_FOLLOW", Followed(followed))
    mw.load_attr_hook(obj, "a", 5)
    assert used_attributes[id(obj)] == {"a"}
    assert mw.IDS_TO_FOLLOW[-1] == id(5)


def test_membership_uses_equal_ints(env):
    # Entries compare by value, also when their objects are other ints.
    obj = Config()
    mw.IDS_TO_FOLLOW.add(int(str(id(obj))))
    mw.load_attr_hook(obj, "a", 1)
    assert used_attributes[id(obj)] == {"a"}


def test_reentrant_membership_test(env):
    # An entry whose comparison runs recorded code that loads attributes.
    inner, outer = Config(), Config()
    mw.IDS_TO_FOLLOW.add(id(inner))

    class Collides:
        def __hash__(self):
            return hash(id(outer))

        def __eq__(self, other):
            mw.load_attr_hook(inner, "x", 1)
            return False

    mw.IDS_TO_FOLLOW.add(Collides())
    mw.load_attr_hook(outer, "a", 1)
    assert used_attributes[id(inner)] == {"x"}
    assert id(outer) not in used_attributes
    mw.IDS_TO_FOLLOW.add(id(outer))
    mw.load_attr_hook(outer, "a", 1)
    assert used_attributes[id(outer)] == {"a"}


def test_kept_membership_key_is_not_reused(env):
    # A comparison that keeps the probed key must not see it change.
    kept = []
    obj = Config()

    class Keeper:
        def __hash__(self):
            return hash(id(obj))

        def __eq__(self, other):
            kept.append(other)
            return False

    mw.IDS_TO_FOLLOW.add(Keeper())
    mw.load_attr_hook(obj, "a", 1)
    mw.load_attr_hook(Config(), "a", 1)
    # However often the membership tests compared (that count is not the
    # point), each key they kept is still the one they were given.
    assert kept and set(kept) == {id(obj)}


# ------------------------------------------------------------- the filter


def test_filter_keeps_modules_with_used_attributes_and_other_values(env):
    cfg = Config()
    used_attributes[id(json)] = {"dumps"}
    function_globals = {
        "json": json, "threading": threading, "cfg": cfg, "fn": len,
        "sub": ModuleSub("sub"),
    }
    used = mw.filter_modules_and_function_from_globals(function_globals,
                                                       "pkg.f")
    assert list(used) == ["json", "cfg", "fn", "sub"]
    assert used["json"] is json and used["cfg"] is cfg
    assert used is not function_globals


def test_filter_of_nothing(env):
    assert mw.filter_modules_and_function_from_globals({}, "pkg.f") == {}


def test_filter_walks_in_order_and_stops_at_an_oversized_global(
        env, tracker, monkeypatch):
    seen = []
    monkeypatch.setattr(mw, "is_size_too_big",
                        lambda v: seen.append(v) or v == "big")
    function_globals = collections.OrderedDict(
        [("a", 1), ("BIG", "big"), ("c", 3)])
    assert mw.filter_modules_and_function_from_globals(
        function_globals, "pkg.f") is None
    assert seen == [1, "big"]
    (metric,) = env.metrics()
    assert metric.function_full_name == "pkg.f"
    assert metric.limit_reason == \
        LimitReasons.MAX_STRING_SIZE_EXCEEDED.format("BIG", "globals")
    assert current() is None


def test_filter_does_not_size_modules(env, monkeypatch):
    monkeypatch.setattr(mw, "is_size_too_big", lambda v: True)
    assert mw.filter_modules_and_function_from_globals(
        {"json": json}, "pkg.f") == {}


@pytest.mark.parametrize("function_globals, error, message", [
    (None, TypeError, "'NoneType' object is not iterable"),
    ({1: "x"}, TypeError, None),
])
def test_filter_failures_propagate(env, monkeypatch, function_globals, error,
                                   message):
    monkeypatch.setattr(mw, "is_size_too_big", lambda v: True)
    with pytest.raises(error) as info:
        mw.filter_modules_and_function_from_globals(function_globals, "f")
    if message:
        assert str(info.value) == message


def test_filter_of_a_dict_changed_while_walked(env, monkeypatch):
    function_globals = {"a": 1, "b": 2}

    def grow(value):
        function_globals["new%d" % value] = value
        return False

    monkeypatch.setattr(mw, "is_size_too_big", grow)
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        mw.filter_modules_and_function_from_globals(function_globals, "f")
