"""Trusted types: values whose classes customise pickling, written as stock
pickle writes them when that pickling is pure and loadable, and refused as
before otherwise."""
import array
import collections
import collections.abc
import datetime
import decimal
import fractions
import functools
import gc
import inspect
import io
import ipaddress
import itertools
import operator
import os
import pickle
import re
import subprocess
import sys
import time
import types
import typing
import warnings

import pytest

import trusted_kinds as kinds
from tarnwick_collector.configs.collector_settings import CollectorSettings
from tarnwick_collector import replay
from tarnwick_collector.data_serialization import pickler, trusted
from tarnwick_collector.exceptions import ProblematicPickleException


def round_trip(value):
    return pickle.loads(pickler.safe_pickle(value))


@pytest.fixture
def user_trust():
    saved = CollectorSettings.trusted_types
    yield trusted.set_user_trusted
    trusted.set_user_trusted(saved)


def _zone():
    zoneinfo = pytest.importorskip("zoneinfo")
    try:
        return zoneinfo.ZoneInfo("Europe/Paris")
    except zoneinfo.ZoneInfoNotFoundError:
        pytest.skip("no time zone data")


EQUAL_VALUES = [
    decimal.Decimal("12.50"),
    fractions.Fraction(2, 3),
    3 - 4j,
    range(2, 20, 3),
    slice(1, None, 2),
    collections.deque([1, 2, 3], maxlen=5),
    collections.Counter("abracadabra"),
    collections.ChainMap({"a": 1}, {"b": 2}),
    ipaddress.ip_address("10.1.2.3"),
    ipaddress.ip_address("::1"),
    ipaddress.ip_network("192.168.0.0/16"),
    ipaddress.ip_interface("10.0.0.5/24"),
    array.array("d", [1.5, 2.5]),
    types.SimpleNamespace(a=1, b=[2]),
    re.compile(r"a+b", re.IGNORECASE),
    time.gmtime(0),
    inspect.signature(kinds.Point).bind_partial(1),
    kinds.Point(1, 2),
    kinds.Pair(3),
    kinds.Labelled(-1, 2),
    kinds.Meters(2.5),
    kinds.Tags({"x", "y"}),
    kinds.Slotted((1, 2)),
]


@pytest.mark.parametrize("value", EQUAL_VALUES, ids=lambda v: type(v).__name__)
def test_trusted_values_load_equal_and_of_their_type(value):
    loaded = round_trip(value)
    assert type(loaded) is type(value)
    assert loaded == value
    # Inside a container too, and the same object twice stays one object.
    holder = round_trip({"v": value, "again": [value]})
    assert holder["v"] == value and holder["again"][0] is holder["v"]


@pytest.mark.parametrize("value", [
    decimal.Decimal("-0.001"), range(5), 2j, collections.deque("ab"),
    kinds.Point(1, 2), kinds.Meters(1.0), ipaddress.ip_address("1.2.3.4"),
    # A tuple subclass of the C datetime module on 3.9+, which loads as a tuple.
    datetime.date(2020, 1, 1).isocalendar(),
], ids=lambda v: type(v).__name__)
def test_trusted_values_are_the_bytes_of_stock_pickle(value):
    assert pickler.safe_pickle(value) == pickle.dumps(value, protocol=4)


def test_values_without_equality_keep_their_contents():
    part = round_trip(functools.partial(max, 1, key=abs))
    assert (part.func, part.args, part.keywords) == (max, (1,), {"key": abs})
    assert round_trip(io.BytesIO(b"abc")).getvalue() == b"abc"
    text = io.StringIO("line")
    text.seek(2)
    loaded = round_trip(text)
    assert (loaded.getvalue(), loaded.tell()) == ("line", 2)
    assert round_trip(operator.itemgetter(1, 2))("abc") == ("b", "c")
    stat = os.stat(".")
    assert tuple(round_trip(stat)) == tuple(stat)
    rows = kinds.Rows([1, 2])
    loaded = round_trip(rows)
    assert (loaded, loaded.title) == ([1, 2], "rows")


def test_a_datetime_with_a_zone_and_the_zone_itself():
    zone = _zone()
    when = datetime.datetime(2024, 3, 31, 1, 30, tzinfo=zone)
    assert round_trip(zone) is zone        # zoneinfo's cache, as stock pickle
    assert round_trip(when) == when
    assert round_trip(when).tzinfo is zone


def test_iterators_are_written_where_they_stand_and_left_there():
    items = iter([1, 2, 3, 4])
    next(items)
    assert list(round_trip(items)) == [2, 3, 4]
    assert next(items) == 2                # the program's iterator is untouched
    keys = iter({"a": 1, "b": 2})
    assert list(round_trip(keys)) == ["a", "b"] and next(keys) == "a"
    assert list(round_trip(map(abs, [-1, -2]))) == [1, 2]
    assert list(round_trip(zip("ab", [1, 2]))) == [("a", 1), ("b", 2)]
    assert list(round_trip(enumerate("xy", 5))) == [(5, "x"), (6, "y")]
    assert list(round_trip(reversed([1, 2]))) == [2, 1]
    assert list(round_trip(iter(range(3)))) == [0, 1, 2]


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="itertools trusted up to 3.11")
def test_itertools_are_trusted_where_pickling_them_is_quiet():
    chained = itertools.chain([1], [2, 3])
    next(chained)
    assert list(round_trip(chained)) == [2, 3]
    assert list(round_trip(itertools.islice("abcdef", 1, 4))) == ["b", "c", "d"]


def test_pickling_itertools_never_warns_the_program():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            pickler.safe_pickle(itertools.count(3))
        except ProblematicPickleException:
            assert sys.version_info >= (3, 12)


@pytest.mark.parametrize("value", [
    kinds.Reduced(1, 2),                   # a named tuple that reduces itself
    kinds.Registry(a=1),                   # adds __getstate__
    kinds.Lazy(a=1),                       # a __getattr__ written in Python
    kinds.Graph([(1, 2)]),                 # not trusted until the user says so
], ids=lambda v: type(v).__name__)
def test_classes_that_change_their_pickling_are_still_refused(value):
    with pytest.raises(ProblematicPickleException):
        pickler.safe_pickle(value)


def test_user_trust_by_module_or_class_name(user_trust):
    graph = kinds.Graph([(1, 2), (2, 3)])
    for names in (["trusted_kinds"], ["trusted_kinds.Graph"]):
        user_trust(names)
        loaded = round_trip({"g": graph})["g"]
        assert loaded == graph and loaded._cache == {}
    # A prefix that is not a whole module name covers nothing; neither does
    # another class of the module.
    for names in (["trusted_kind"], ["trusted_kinds.Grap"], ["trusted_kinds.Registry"]):
        user_trust(names)
        with pytest.raises(ProblematicPickleException):
            pickler.safe_pickle(graph)
    user_trust([])
    with pytest.raises(ProblematicPickleException):
        pickler.safe_pickle(graph)


class Money(decimal.Decimal):
    """Adds behaviour, not pickling nor state, to a trusted class."""

    __slots__ = ()

    def cents(self):
        return int(self * 100)


class Tagged(decimal.Decimal):
    def tag(self, text):
        self.text = text


class Weighted(kinds.Graph):
    """A class of another module that adds no pickling to a class the user
    trusts by its module."""

    def weight(self):
        return len(self.edges)


class Frozen(kinds.Graph):
    def __reduce__(self):
        return (kinds.Graph, (self.edges,))


def test_a_class_adding_no_pickling_to_a_trusted_one_is_trusted_with_it(user_trust):
    loaded = round_trip(Money("1.25"))
    assert type(loaded) is Money and loaded == Money("1.25")
    # Room for state that Decimal's reduction would leave out.
    with pytest.raises(ProblematicPickleException):
        pickler.safe_pickle(Tagged("1.25"))
    user_trust([])
    with pytest.raises(ProblematicPickleException):
        pickler.safe_pickle(Weighted([(1, 2)]))
    user_trust(["trusted_kinds"])
    loaded = round_trip(Weighted([(1, 2)]))
    assert type(loaded) is Weighted and loaded.edges == [(1, 2)] and loaded._cache == {}
    # Pickling of its own is not the trusted class's.
    with pytest.raises(ProblematicPickleException):
        pickler.safe_pickle(Frozen([]))


def test_settings_changed_directly_take_effect(user_trust):
    user_trust([])
    with pytest.raises(ProblematicPickleException):
        pickler.safe_pickle(kinds.Graph([]))
    CollectorSettings.trusted_types = ("trusted_kinds",)
    assert round_trip(kinds.Graph([])) == kinds.Graph([])


@pytest.mark.parametrize("bad", ["a-b", "a..b", ".a", "1x"])
def test_bad_trusted_names_are_refused(bad, user_trust):
    with pytest.raises(ValueError, match="not a dotted module or class name"):
        user_trust([bad])
    env = dict(os.environ, TARNWICK_TRUST=f"ok.name,{bad}")
    out = subprocess.run(
        [sys.executable, "-c",
         "import tarnwick_collector.configs.collector_settings"],
        env=env, capture_output=True, text=True)
    assert out.returncode != 0 and "TARNWICK_TRUST" in out.stderr


def test_a_collected_class_takes_its_decision_with_it():
    Temporary = collections.namedtuple("Temporary", "a")
    trusted.decide(Temporary)
    key = id(Temporary)
    assert key in trusted.decisions
    del Temporary
    gc.collect()
    assert key not in trusted.decisions


def test_numpy_is_trusted_but_never_imported():
    code = ("import sys, pickle, decimal\n"
            "from tarnwick_collector.data_serialization import pickler\n"
            "pickler.safe_pickle([decimal.Decimal(1), range(3)])\n"
            "assert 'numpy' not in sys.modules, 'numpy imported'\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    np = pytest.importorskip("numpy")
    grid = np.arange(6, dtype=np.int32).reshape(2, 3)
    loaded = round_trip({"grid": grid, "x": np.float64(1.5), "t": np.dtype("f8"),
                         "objects": np.array([1, "a"], dtype=object)})
    assert np.array_equal(loaded["grid"], grid) and loaded["grid"].dtype == grid.dtype
    assert loaded["x"] == np.float64(1.5) and type(loaded["x"]) is np.float64
    assert loaded["t"] == np.dtype("f8")
    assert list(loaded["objects"]) == [1, "a"]


def _hints():
    hints = [typing.List, typing.List[int], typing.Dict[str, typing.Any],
             typing.Optional[str], typing.Union[int, str], typing.Union,
             typing.Callable[[int], str], typing.Callable[..., int],
             typing.Tuple[int, ...], typing.Iterable[typing.List[int]],
             typing.Literal[1, "a"], typing.Type[kinds.Point]]
    if sys.version_info >= (3, 9):
        hints += [typing.Annotated[int, "unit"], list[int], dict[str, kinds.Point],
                  collections.abc.Callable[[int], str]]
    if sys.version_info >= (3, 10):
        hints += [int | None, list[int] | kinds.Point]
    return hints


@pytest.mark.parametrize("hint", _hints(), ids=repr)
def test_type_hints_handed_around_load_equal(hint):
    # Validation libraries take hints as values; refusing them ended the
    # recording of every function they reach.
    assert round_trip(hint) == hint
    assert round_trip([hint, hint]) == [hint, hint]


def test_zone_classes_of_the_program_are_written_as_tzinfo_writes_them():
    zone = kinds.Offset("+05")
    data = pickler.safe_pickle(zone)
    if sys.version_info < (3, 11):  # no default __getstate__ there
        assert data == pickle.dumps(zone, protocol=4)
    # Stock pickle calls the class without its offset; the replay makes the
    # zone without running its initializer, and a datetime with it.
    with pytest.raises(TypeError):
        pickle.loads(data)
    loaded = replay._loads(data)
    assert type(loaded) is kinds.Offset and vars(loaded) == vars(zone)
    when = datetime.datetime(2024, 5, 1, 12, tzinfo=kinds.Named("-03"))
    again = replay._loads(pickler.safe_pickle({"at": when}))["at"]
    assert again == when and again.tzname() == "Z-03"
    assert again.utcoffset() == datetime.timedelta(hours=-3)


@pytest.mark.parametrize("zone", [kinds.Singleton(), kinds.Stated("+01")],
                         ids=lambda z: type(z).__name__)
def test_zone_classes_with_pickling_of_their_own_are_still_refused(zone):
    with pytest.raises(ProblematicPickleException):
        pickler.safe_pickle(zone)


def test_slot_wrappers_and_type_variables_load_as_themselves():
    slots = [object.__setattr__, int.__add__, (5).__add__, "ab".__contains__]
    loaded = round_trip(slots)
    assert loaded[:2] == slots[:2] and loaded[2](1) == 6 and loaded[3]("b")
    assert round_trip([kinds.Item, typing.List[kinds.Item]]) == [kinds.Item, typing.List[kinds.Item]]
    assert round_trip(kinds.Item) is kinds.Item


def test_a_type_variable_that_cannot_be_found_by_name_becomes_a_placeholder():
    local = typing.TypeVar("Local")
    loaded = round_trip({"hint": local, "kept": 1})
    assert loaded["kept"] == 1 and "TypeVar" in repr(loaded["hint"])
    # Stock pickle would import the module a type variable names to look
    # it up; the recorder never imports anything.
    stray = typing.TypeVar("Stray")
    stray.__module__ = "tw_never_imported_module"
    pickler.safe_pickle(stray)
    assert "tw_never_imported_module" not in sys.modules
