"""The size bound on recorded values: is_size_too_big and
create_size_too_big_metric."""
import _thread
import array
import collections
import collections.abc
import contextlib
import datetime
import decimal
import enum
import io
import re
import sys
import threading
import types
import weakref

import pytest

from marrowick_support import env  # noqa: F401
from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection.metrics import (
    FailureReasons,
    LimitFailure,
    LimitReasons,
)

LIMIT = 805306368


class Sized(str):
    """A string that claims any length, to test the real bound cheaply."""

    def __new__(cls, length):
        obj = super().__new__(cls, "s")
        obj.length = length
        return obj

    def __len__(self):
        return self.length


class SizedBytes(bytes):
    def __new__(cls, length):
        obj = super().__new__(cls, b"b")
        obj.length = length
        return obj

    def __len__(self):
        return self.length


@pytest.fixture
def fake_asizeof(monkeypatch):
    """Replaces the module's `asizeof` by one that records its calls and
    answers `answer` (or raises it when it is an exception)."""
    fake = types.SimpleNamespace(calls=[], answer=0)

    def asizeof(*args, **kwargs):
        fake.calls.append((args, kwargs))
        if isinstance(fake.answer, BaseException):
            raise fake.answer
        return fake.answer

    fake.asizeof = asizeof
    monkeypatch.setattr(mw, "asizeof", fake)
    return fake


@pytest.mark.parametrize("cls", [Sized, SizedBytes])
def test_length_bound_is_strict(cls):
    assert not mw.is_size_too_big(cls(LIMIT))
    assert mw.is_size_too_big(cls(LIMIT + 1))


@pytest.mark.parametrize("value", [None, "x", b"x", Sized(LIMIT + 1)])
def test_none_and_strings_skip_the_deep_estimate(fake_asizeof, value):
    mw.is_size_too_big(value)
    assert fake_asizeof.calls == []


@pytest.mark.parametrize("value", [bytearray(b"x"), [1, 2], {"a": 1}, 5, 1.5,
                                   True, object()])
def test_other_values_get_the_deep_estimate_at_depth_three(fake_asizeof,
                                                           value):
    fake_asizeof.answer = LIMIT + 1
    assert mw.is_size_too_big(value)
    fake_asizeof.answer = LIMIT
    assert not mw.is_size_too_big(value)
    assert fake_asizeof.calls == [((value,), {"limit": 3})] * 2


@pytest.mark.parametrize("error", [ValueError("x"), RecursionError()])
def test_failing_estimate_counts_as_small(fake_asizeof, error):
    fake_asizeof.answer = error
    assert mw.is_size_too_big([1]) is False


def test_base_exception_from_the_estimate_propagates(fake_asizeof):
    fake_asizeof.answer = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        mw.is_size_too_big([1])


@pytest.mark.parametrize("value, bound, expected", [
    # The real estimate against a lowered bound: small scalars too.
    (5, 16.0, True),
    (5, 64.0, False),
    (1.5, 16.0, True),
    (True, 16, True),
    (2 ** 100, 64.0, False),
    (list(range(100)), 100.0, True),
    (list(range(100)), 100000.0, False),
    ("abcd", 3.0, True),
    ("abc", 3.0, False),
])
def test_real_estimate_against_the_bound(monkeypatch, value, bound, expected):
    monkeypatch.setattr(mw, "MAX_STRING_SIZE", bound)
    assert bool(mw.is_size_too_big(value)) is expected


def test_metric(env):
    assert mw.create_size_too_big_metric("pkg.f", "CACHE", "globals") is None
    (metric,) = env.metrics()
    assert type(metric) is LimitFailure
    assert metric.reason is FailureReasons.LIMIT
    assert metric.function_full_name == "pkg.f"
    assert metric.limit_reason == (
        "max_string_size_exceeded for CACHE this happened in the: globals "
        "part of the recording")
    assert env.serializer.calls[-1][1:] == ((), {})


def test_metric_accepts_none(env):
    mw.create_size_too_big_metric(None, None, None)
    (metric,) = env.metrics()
    assert metric.function_full_name is None
    assert metric.limit_reason == \
        LimitReasons.MAX_STRING_SIZE_EXCEEDED.format(None, None)


def test_metric_failures_propagate(env, monkeypatch):
    class Broken:
        def send_message(self, data):
            raise OSError("channel down")

    env.settings.metrics_subprocess = Broken()
    with pytest.raises(OSError, match="channel down"):
        mw.create_size_too_big_metric("f", "n", "p")


# ------------------------------------------------------------ the native bound
#
# Far below the limit, the deep estimate is settled without pympler; the
# decision must stay the one pympler's estimate gives, for every value.


class Plain:
    def __init__(self, **values):
        self.__dict__.update(values)


class Slotted:
    __slots__ = ("a", "b")

    def __init__(self, a, b=None):
        self.a = a
        self.b = b


class Store(collections.abc.MutableMapping):
    """A mapping on the abstract collections (metaclass ABCMeta), holding
    a dict and an OrderedDict, as cache classes do."""

    def __init__(self, **values):
        self.data = dict(values)
        self.order = collections.OrderedDict.fromkeys(values)
        self.count = len(values)

    def __getitem__(self, key):
        return self.data[key]

    def __setitem__(self, key, value):
        self.data[key] = value

    def __delitem__(self, key):
        del self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class OwnSize:
    def __sizeof__(self):
        return 10 ** 12


def _corpus(rng, size):
    """Values of every kind the bound walks, around `size` bytes deep."""
    def text():
        return "x" * rng.randint(0, size)
    return [
        [text() for _ in range(rng.randint(1, 4))],
        {"k": text(), "n": {"deep": text()}, "l": [text()]},
        {text()[:50]: [Plain(a=text())]},
        Plain(a=text(), b=Plain(c=text())),
        Slotted(text(), Slotted(text(), [text()])),
        (text(), frozenset([text()])),
        [[[[text()]]]],                           # below depth 3: not counted
        Plain(a=Plain(a=Plain(a=text()))),
        bytearray(rng.randint(0, size)),
        [10 ** rng.randint(1, 5000)] * 3,
        {"mixed": [1.5, None, True, 3j, b"b" * rng.randint(0, size)]},
        Store(a=text(), b=[text()]),
        # Code pympler does not count, beside what it does.
        [len, Plain, Store.__len__, Store().__len__, lambda: 0, text(),
         Store.__len__.__code__, {"method": Plain(a=text()).__init__}],
        collections.OrderedDict(a=text(), b={"c": text()}),
        _with_own_dict(collections.OrderedDict(a=text()), text()),
        collections.Counter({text()[:40]: 3, "b": 10 ** 40}),
        _with_own_dict({"a": text()}, text()),
        # Enumeration members and sentinels, as options and defaults hold them.
        [enum.Enum("Big", {"X": text()}).X, object(), text()],
        Plain(kind=Shade.DARK, missing=object(), a=text()),
        # Values of native types, as schedules and caches hold them.
        Plain(start=datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc),
              step=datetime.timedelta(days=1), lock=_thread.allocate_lock(),
              pattern=re.compile(text()[:200] + "a+"), price=decimal.Decimal("1.5"),
              pending=collections.deque([text()]), a=text()),
        [datetime.date(2020, 1, 2), re.match("x*", text()), _thread.RLock()],
        # Classes written on native types, and a native type with a dict.
        [_Zone(text()), _Digits([text(), text()]), io.StringIO(text())],
        [_Offset(text(), 3600), _Offset("UTC", 0)],
        Plain(zone=_Zone(text()), stream=io.StringIO(text()[:100]), a=text()),
        # Classes with a __getattr__ of their own: a clock's forwarder, and
        # one whose empty slot pympler asks it for (and counts the answer).
        Plain(timer=_Forwarder(text()), a=text()),
        _SlottedForwarder(text()),
        # A thread's namespace, and generators (a context manager's one,
        # suspended, holds its locals; an ended one holds nothing).
        _thread_namespace(stack=[text()], depth=2),
        Plain(scope=_entered(text()), rest=_suspended(text()), done=_ended(text())),
        [_suspended(text()), _suspended(text())],
    ]


class _Zone(datetime.tzinfo):
    def __init__(self, name):
        self.name = name


class _OffsetFactory(type):
    """A metaclass that keeps the instances it made, as zone classes do."""

    def __call__(cls, name, offset):
        return cls.__dict__["made"].setdefault(
            (name, offset), super().__call__(name, offset))


class _Offset(datetime.tzinfo, metaclass=_OffsetFactory):
    made: dict = {}

    def __init__(self, name, offset):
        self.name = name
        self.offset = datetime.timedelta(seconds=offset)


class _Digits(list):
    """A list subclass with attributes: pympler sizes its list, not its
    items."""

    def __init__(self, items):
        super().__init__(items)
        self.century = None


def _thread_namespace(**values):
    namespace = threading.local()
    namespace.__dict__.update(values)
    return namespace


def _lines(text):
    held = [text]
    yield len(held)
    yield 0


def _suspended(text):
    gen = _lines(text)
    next(gen)
    return gen


def _ended(text):
    gen = _lines(text)
    list(gen)
    return gen


@contextlib.contextmanager
def _scope(text):
    held = {"text": text}
    yield len(held)


def _entered(text):
    manager = _scope(text)
    manager.__enter__()
    return manager


class _Forwarder:
    """A callable that hands unknown attributes to what it wraps, as a
    cache's timer hands them to its clock."""

    def __init__(self, wrapped):
        self.wrapped = wrapped
        self.forwarded = 0

    def __call__(self):
        return 0

    def __getattr__(self, name):
        self.__dict__["forwarded"] += 1
        return getattr(self.wrapped, name)


class _SlottedForwarder:
    __slots__ = ("wrapped", "later")

    def __init__(self, wrapped):
        self.wrapped = wrapped

    def __getattr__(self, name):
        return self.wrapped


class Shade(enum.Enum):
    LIGHT = "l"
    DARK = ("d", 2)


def _with_own_dict(mapping, value):
    class Subclass(type(mapping)):
        pass
    subclass = Subclass(mapping)
    subclass.note = value   # in the instance dict (pympler leaves it out)
    return subclass


@pytest.mark.parametrize("limit_mib", [1, 2, 4])
def test_the_decision_is_pympler_s_for_every_kind_of_value(monkeypatch, limit_mib):
    import random
    from pympler import asizeof

    limit = float(limit_mib << 20)
    monkeypatch.setattr(mw, "MAX_STRING_SIZE", limit)
    rng = random.Random(limit_mib)
    for _ in range(25):
        for value in _corpus(rng, 3 * (limit_mib << 20) // 2):
            expected = asizeof.asizeof(value, limit=3) > limit
            assert bool(mw.is_size_too_big(value)) is expected, type(value)


def _asked_of_pympler(monkeypatch):
    from pympler import asizeof
    asked = []
    real = asizeof.Asizer.asizeof
    monkeypatch.setattr(asizeof.Asizer, "asizeof",
                        lambda self, *objs, **opts: asked.append(objs) or real(self, *objs, **opts))
    return asked


def test_mappings_on_the_abstract_collections_are_settled_without_pympler(monkeypatch):
    """A cache class (an abstract mapping holding a dict and an
    OrderedDict) is recorded with its receiver before and after each
    method call: sized by pympler, a few thousand entries made each call
    cost milliseconds."""
    asked = _asked_of_pympler(monkeypatch)
    cache = Store(**{f"k{i}": i for i in range(2000)})
    assert mw.is_size_too_big(cache) is False
    assert mw.is_size_too_big(collections.OrderedDict(cache.data)) is False
    assert mw.is_size_too_big(collections.Counter(cache.data)) is False
    assert asked == []
    # A class pympler takes for a dict by its name is still its to size.
    assert mw.is_size_too_big(weakref.WeakValueDictionary()) is False
    assert len(asked) == 1


def test_enumeration_members_and_sentinels_are_settled_without_pympler(monkeypatch):
    """An option's enumeration member or a default's `object()` sentinel,
    anywhere in an argument, left the whole argument to pympler."""
    asked = _asked_of_pympler(monkeypatch)
    assert mw.is_size_too_big(Plain(kind=Shade.LIGHT, missing=object())) is False
    assert mw.is_size_too_big([Shade.DARK, object()]) is False
    assert asked == []


def test_values_of_native_types_are_settled_without_pympler(monkeypatch):
    """A schedule holding a date, a lock and a compiled pattern (a date
    library's recurrence rules) was sized by pympler at every call of its
    methods, most of the recorded call's cost."""
    asked = _asked_of_pympler(monkeypatch)
    schedule = Plain(start=datetime.datetime(2020, 1, 1), lock=_thread.allocate_lock(),
                     times=(datetime.time(9), datetime.time(17)), days={1, 2},
                     pattern=re.compile("[0-9]+"), match=re.match("a", "a"),
                     price=decimal.Decimal("9.99"), queue=collections.deque(range(5)),
                     zone=datetime.timezone(datetime.timedelta(hours=2)))
    assert mw.is_size_too_big(schedule) is False
    assert mw.is_size_too_big([datetime.date(2020, 1, 1)] * 3) is False
    # A lexer on a string stream, a zone on tzinfo, a list subclass, an
    # iterator written in Python.
    lexer = Plain(stream=io.StringIO("2003-09-25"), tokens=_Digits(["20"]), zone=_Zone("UTC"),
                  offset=_Offset("EST", -18000))
    assert mw.is_size_too_big(lexer) is False
    assert mw.is_size_too_big(_Countdown(3)) is False
    assert asked == []


def test_thread_namespaces_and_generators_are_settled_without_pympler(monkeypatch):
    """A command-line library keeps its stack of contexts in a
    `threading.local()` and enters scopes through generator-based context
    managers: both, in nearly every call's arguments, went to pympler."""
    asked = _asked_of_pympler(monkeypatch)
    values = [_thread_namespace(stack=[Plain(a=1)]), _entered("x"), _suspended("y"),
              _ended("z")]
    assert mw.is_size_too_big(values) is False
    assert mw.is_size_too_big(Plain(values=values)) is False
    if sys.version_info >= (3, 13):
        # A frame's locals are a new proxy at each read there: pympler's,
        # where they would be followed (not below the deepest level).
        assert len(asked) == 1
    else:
        assert asked == []


def test_instances_with_their_own_getattr_are_settled_without_running_it(monkeypatch):
    """A cache holding a timer that forwards to its clock through
    __getattr__ was sized by pympler at every call of its methods: a
    2,000-entry cache's test took two minutes instead of a second."""
    asked = _asked_of_pympler(monkeypatch)
    timer = _Forwarder("clock")
    cache = Store(**{f"k{i}": i for i in range(2000)})
    cache.timer = timer
    assert mw.is_size_too_big(cache) is False
    assert asked == [] and timer.forwarded == 0
    # An empty slot holds nothing: pympler would ask __getattr__ for it.
    assert mw.is_size_too_big(_SlottedForwarder("x")) is False
    assert asked == []


class _SlottedCache:
    """A cached property of a slotted class, made as attrs makes it: a
    __getattr__ computes the value of the empty slot and keeps it there."""
    __slots__ = ("x", "doubled")
    made = 0

    def __init__(self, x):
        self.x = x

    def __getattr__(self, name):
        if name != "doubled":
            raise AttributeError(name)
        _SlottedCache.made += 1
        self.doubled = value = [self.x] * 2
        return value


def test_the_size_check_never_makes_a_cached_value():
    cache = _SlottedCache(1)
    assert mw.is_size_too_big(cache) is False
    assert mw.is_size_too_big([cache, {"c": cache}]) is False
    assert _SlottedCache.made == 0
    assert cache.doubled == [1, 1] and _SlottedCache.made == 1


class _Countdown:
    def __init__(self, n):
        self.n = n

    def __iter__(self):
        return self

    def __next__(self):
        self.n -= 1
        return self.n


@pytest.mark.parametrize("value", [
    iter([1, 2]),                        # iterators: pympler follows what is left
    array.array("i", range(10)),         # sized by its items
    weakref.ref(Plain),                  # pympler follows the referent
    types.ModuleType("settings"),        # sized as a dict
    memoryview(b"abc"),                  # has nbytes, as numpy's arrays do
    collections.namedtuple("Point", "x y")(1, 2),   # pympler follows its items
    ValueError("bad", [1]),              # and an exception's arguments
], ids=type)
def test_native_values_pympler_sizes_by_a_rule_of_its_own_are_left_to_it(monkeypatch, value):
    asked = _asked_of_pympler(monkeypatch)
    assert mw.is_size_too_big(Plain(value=value)) is False
    assert len(asked) == 1


def test_kinds_it_does_not_know_are_left_to_pympler(monkeypatch):
    # A class with its own __sizeof__ is sized by pympler, which asks it.
    assert mw.is_size_too_big(OwnSize()) is True
    assert mw.is_size_too_big([OwnSize()]) is True
    # A stand-in for pympler is asked whatever the value, as before.
    calls = []
    fake = types.SimpleNamespace(
        asizeof=lambda obj, limit: calls.append(obj) or 10 ** 10)
    monkeypatch.setattr(mw, "asizeof", fake)
    assert mw.is_size_too_big({"a": 1}) is True and calls == [{"a": 1}]


def test_classes_pympler_sized_are_not_kept_alive_by_it(monkeypatch):
    """pympler keeps what it learns of a class in maps keyed by the class,
    for good: a class whose instance it once sized could never be freed
    (a class decorator that makes the class again left the old one behind,
    still among its base's subclasses). The estimate's entries for such
    classes are taken out again; the decision stays pympler's."""
    import gc

    from pympler import asizeof as pympler_asizeof

    asked = _asked_of_pympler(monkeypatch)

    def make():
        base = type("Base", (), {})
        made = type("Made", (base,), {"__sizeof__": lambda self: 10 ** 10})
        return base, made

    base, made = make()
    instance = made()
    assert mw.is_size_too_big(instance) is True
    assert mw.is_size_too_big([made(), made]) is True
    assert len(asked) == 2
    kept = (len(pympler_asizeof._typedefs), len(pympler_asizeof._claskeys))
    gone = weakref.ref(made)
    del instance, made, asked[:]
    gc.collect()
    assert gone() is None and base.__subclasses__() == []
    # Nor does any class made later: pympler's maps hold what they held.
    assert mw.is_size_too_big(collections.namedtuple("P", "x")(1)) is False
    assert (len(pympler_asizeof._typedefs), len(pympler_asizeof._claskeys)) == kept
    # What it learnt of a class its module holds stays learnt.
    assert mw.is_size_too_big(OwnSize()) is True
    assert OwnSize in pympler_asizeof._typedefs


class _AttrMapping(dict):
    """A mapping read by attribute whose missing keys a factory makes, as
    attribute-style dicts with a default do (pympler asks it for
    `iteritems`)."""

    def __getattr__(self, name):
        if name not in self:
            self[name] = []
        return self[name]


class _Unlisted(dict):
    """Left to pympler (a __sizeof__ of its own), which cannot list it."""

    def items(self):
        raise TypeError("not listed")

    def __sizeof__(self):
        return 100


def test_mappings_read_by_attribute_are_settled_without_their_getattr(monkeypatch):
    asked = _asked_of_pympler(monkeypatch)
    mapping = _AttrMapping(a=[1, 2])
    assert mw.is_size_too_big(mapping) is False
    assert mw.is_size_too_big({"m": mapping, "n": [mapping]}) is False
    assert asked == [] and dict(mapping) == {"a": [1, 2]}


def test_pympler_s_warnings_do_not_reach_the_program():
    import warnings

    from pympler import asizeof as pympler_asizeof

    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        assert mw.is_size_too_big(_Unlisted(a=1)) is False
    assert seen == [] and pympler_asizeof.warnings is warnings
