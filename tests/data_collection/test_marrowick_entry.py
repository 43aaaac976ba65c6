"""The start of a recorded user call: record_user_function_call and the
record it builds."""

import pytest

from marrowick_support import current, env, load  # noqa: F401
from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection.metrics import (
    FailureReasons,
    LimitReasons,
    UnpicklableReasons,
)
from tarnwick_collector.data_collection.pellory import UserFunctionCall
from tarnwick_collector.data_collection.trindle import TrindleTracker


def plain(a, b=2):
    return a


def other(x):
    return x


async def coro(x):
    return x


class Shop:
    def buy(self, item):
        return item

    @classmethod
    def make(cls, n):
        return n

    @staticmethod
    def helper(n):
        return n


class Item:
    def __init__(self, n):
        self.n = n


class Meta(type):
    pass


class MetaItem(metaclass=Meta):
    def __init__(self, n):
        self.n = n


class Unpicklable:
    def __reduce__(self):
        raise TypeError("cannot pickle 'Unpicklable' object")


def full_name(fn):
    return mw.EXTRACT_METADATA(fn).full_name


# ------------------------------------------------------------ the record


def test_plain_call_is_recorded(env):
    rec = mw.record_user_function_call(plain, 1, b=2)
    assert type(rec) is UserFunctionCall
    assert rec.post_run_args == (1,) and rec.post_run_kwargs == {"b": 2}
    assert load(rec.pre_run_args) == (1,)
    assert load(rec.pre_run_kwargs) == {"b": 2}
    assert rec.globals == {}
    assert rec.function_metadata.full_name == full_name(plain)
    assert env.kinds() == ["CollectionTry"]
    tracker = current()
    assert type(tracker) is TrindleTracker
    assert tracker.func_full_name == full_name(plain)
    assert tracker.caller_function is None


def test_keyword_arguments_are_a_new_dict(env):
    kwargs = {"b": 3}
    rec = mw.record_user_function_call(plain, 1, **kwargs)
    assert rec.post_run_kwargs == kwargs and rec.post_run_kwargs is not kwargs


@pytest.mark.parametrize("called, args, recorded, recorded_args", [
    (plain, (1,), plain, (1,)),
    # A bound method records its function; the receiver is an argument.
    ("bound", (5,), Shop.buy, ("shop", 5)),
    # A class method keeps its binding; its class is not an argument.
    (Shop.make, (5,), Shop.make, (5,)),
    (Shop.helper, (5,), Shop.helper, (5,)),
    # A class made by `type` is recorded as its initializer.
    (Item, (5,), Item.__init__, (5,)),
    # A class of another metaclass is passed on as the class itself.
    (MetaItem, (5,), MetaItem, (5,)),
])
def test_unwrapping_of_the_called_object(env, monkeypatch, called, args,
                                         recorded, recorded_args):
    shop = Shop()
    if called == "bound":
        called = shop.buy
    recorded_args = tuple(shop if a == "shop" else a for a in recorded_args)
    extracted = []
    real = mw.EXTRACT_METADATA
    monkeypatch.setattr(mw, "EXTRACT_METADATA",
                        lambda fn: extracted.append(fn) or real(fn))
    rec = mw.record_user_function_call(called, *args)
    assert extracted == [recorded]
    assert rec.post_run_args == recorded_args
    assert rec.post_run_args[0] is recorded_args[0]


# ------------------------------------------------------- entry metrics


@pytest.mark.parametrize("scenario, kinds, recorded", [
    ("recorded", ["CollectionTry"], True),
    ("blacklisted", ["CollectionTry", "Unpicklable"], False),
    ("unserializable", ["CollectionTry", "Unpicklable"], False),
    ("coroutine", ["CollectionTry", "CollectorFailure"], False),
    ("too big", ["CollectionTry", "LimitFailure", "Unpicklable"], False),
])
def test_entry_metrics(env, monkeypatch, scenario, kinds, recorded):
    fn, args = other, (1,)
    if scenario == "blacklisted":
        mw.BLACKLISTED_FUNCTIONS.add(full_name(other))
    elif scenario == "unserializable":
        args = (Unpicklable(),)
    elif scenario == "coroutine":
        fn = coro
    elif scenario == "too big":
        monkeypatch.setattr(mw, "MAX_STRING_SIZE", 3.0)
        args = ("abcd",)
    before = TrindleTracker("outer")
    mw.Trindle_set_current_running_function(before)

    rec = mw.record_user_function_call(fn, *args)

    assert (rec is not None) == recorded
    assert env.kinds() == kinds
    sent = env.metrics()
    if "Unpicklable" in kinds:
        assert sent[-1].object_type == ""
        assert sent[-1].unpicklable_reason is UnpicklableReasons.GENERAL
    if scenario == "coroutine":
        assert sent[-1].reason is FailureReasons.ASYNCIO
    if scenario == "too big":
        assert sent[1].function_full_name == full_name(other)
        assert sent[1].limit_reason == \
            LimitReasons.MAX_STRING_SIZE_EXCEEDED.format(
                "unknown", "args/kwargs")
    if recorded:
        assert current().caller_function is before
    else:
        # A call that is not recorded leaves the thread's tracker alone.
        assert current() is before
    blacklisted = full_name(fn) in mw.BLACKLISTED_FUNCTIONS
    assert blacklisted == (scenario in ("blacklisted", "unserializable"))


def test_identity_values_head_every_metric(env):
    env.settings.tenant_id = "tenant"
    env.settings.project_id = "project"
    env.settings.python_version = "3.8.18"
    env.settings.lib_version = "1.2"
    mw.record_user_function_call(coro, 1)
    for metric in env.metrics():
        assert (metric.tenant_id, metric.project_id, metric.python_version,
                metric.collector_version) == (
                    "tenant", "project", "3.8.18", "1.2")


def test_metrics_are_serialized_with_one_argument(env):
    mw.record_user_function_call(coro, 1)
    metric_calls = [c for c in env.serializer.calls
                    if type(c[0]).__module__.endswith(".metrics")]
    assert [(args, kwargs) for _, args, kwargs in metric_calls] == \
        [((), {}), ((), {})]


def test_blacklisting_on_unserializable_arguments(env, monkeypatch):
    assert mw.record_user_function_call(other, Unpicklable()) is None
    assert full_name(other) in mw.BLACKLISTED_FUNCTIONS
    env.clear()
    sized = []
    real_size = mw.is_size_too_big
    monkeypatch.setattr(mw, "is_size_too_big",
                        lambda obj: sized.append(obj) or real_size(obj))
    # Later calls still size their arguments, then stop at the blacklist,
    # even with arguments that would serialize.
    assert mw.record_user_function_call(other, 5) is None
    assert sized == [5]
    assert env.kinds() == ["CollectionTry", "Unpicklable"]


def test_oversized_argument_does_not_blacklist(env, monkeypatch):
    monkeypatch.setattr(mw, "MAX_STRING_SIZE", 3.0)
    assert mw.record_user_function_call(other, x="abcd") is None
    assert full_name(other) not in mw.BLACKLISTED_FUNCTIONS


def test_sizes_positional_then_keyword_arguments_stopping_at_first(
        env, monkeypatch):
    seen = []
    monkeypatch.setattr(mw, "is_size_too_big",
                        lambda obj: seen.append(obj) or obj == "big")
    mw.record_user_function_call(plain, "a", "big", b="c")
    assert seen == ["a", "big"]


def test_exceptions_outside_the_guard_propagate(env, monkeypatch):
    with pytest.raises(IndexError):
        mw.record_user_function_call()
    assert env.kinds() == ["CollectionTry"]

    def boom(fn):
        raise RuntimeError("extractor")

    monkeypatch.setattr(mw, "EXTRACT_METADATA", boom)
    with pytest.raises(RuntimeError, match="extractor"):
        mw.record_user_function_call(plain, 1)


def test_base_exception_from_the_record_is_not_caught(env):
    class Interrupting:
        def __reduce__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        mw.record_user_function_call(other, Interrupting())
    assert full_name(other) not in mw.BLACKLISTED_FUNCTIONS


# ------------------------------------------------------------ trackers


def test_nested_entries_chain_their_trackers(env):
    mw.record_user_function_call(plain, 1)
    outer = current()
    mw.record_user_function_call(other, 2)
    inner = current()
    assert inner is not outer and inner.caller_function is outer
    assert outer.caller_function is None


def test_threads_do_not_see_each_others_trackers(env, run_in_thread):
    mw.record_user_function_call(plain, 1)
    mine = current()

    def elsewhere():
        mw.record_user_function_call(other, 2)
        return current()

    theirs = run_in_thread(elsewhere)
    assert theirs.caller_function is None
    assert current() is mine


def test_kept_metrics_are_the_serializer_s_bytes_and_follow_the_identity(env):
    # With the package's own serializer the bytes of CollectionTry, and of
    # the Unpicklable each call of a refused function sends, are made once
    # and sent again; they follow a change of the identity.
    from tarnwick_collector.data_collection.metrics import CollectionTry
    from tarnwick_collector.data_collection.metrics import Unpicklable as UnpicklableMetric
    from tarnwick_collector.data_serialization.quessel import IpcPickleSerializer

    settings = env.settings
    settings.serializer = serializer = IpcPickleSerializer()
    mw.BLACKLISTED_FUNCTIONS.add(full_name(other))

    def expected(cls, *extra):
        return serializer.serialize(cls(
            settings.tenant_id, settings.project_id, settings.python_version,
            settings.lib_version, *extra))

    for tenant in ("first", "first", "second"):
        settings.tenant_id = tenant
        env.clear()
        mw.record_user_function_call(plain, 1)
        mw.Trindle.set_current_running_function(None)
        mw.record_user_function_call(other, 1)
        sent = settings.metrics_subprocess.messages
        assert sent == [expected(CollectionTry), expected(CollectionTry),
                        expected(UnpicklableMetric, "", UnpicklableReasons.GENERAL)]
        assert load(sent[0]).tenant_id == load(sent[2]).tenant_id == tenant
