"""The runtime helper of generated tests (``tarnwick_collector.replay``) and
the source text the generator writes for recorded values."""
import collections
import collections.abc
import datetime
import decimal
import fractions
import functools
import math
import os
import pathlib
import pickle
import signal
import sys
import textwrap
import uuid

import pytest

from tarnwick_collector import replay
from tarnwick_collector.store.decoding import safe_loads
from tarnwick_collector.testgen.values import NeedsPlaceholder, NotLiteral, Writer
from tarnwick_common.utils.object_wrapper import ComputedAttribute

MODULE = """
    import collections.abc
    import contextlib
    import functools
    import hashlib
    import hmac
    import json
    import math
    import os
    import reprlib
    import time

    LIMIT = 10


    class Box:
        def __init__(self, items):
            self.items = items
            self.note = None

        @property
        def size(self):
            return len(self.items)


    @functools.lru_cache(maxsize=None)
    def cached_stamp(offset):
        return time.time() + offset


    class Settings:
        def __init__(self):
            self.unit = "kg"
            self.scale = 1


    SETTINGS = Settings()


    def stamp():
        return time.time() + 1


    def stamp_twice():
        return time.time() + time.time()


    def load(path):
        with open(path) as fh:
            return json.load(fh)


    def joined(a, b):
        return os.path.join(a, b)


    def joined_path(a, b):
        return os.path.join(os.fspath(a), b)


    def careful():
        try:
            return time.time() + time.time()
        except Exception:
            return "swallowed"


    def weigh(value):
        return f"{value * SETTINGS.scale} {SETTINGS.unit} (limit {LIMIT})"


    def apply_all(fn, values):
        return [fn(v) for v in values]


    class Composed:
        __slots__ = ("funcs",)

        def __init__(self, *funcs):
            self.funcs = funcs

        def __call__(self, value):
            for f in self.funcs:
                value = f(value)
            return value


    def curry(f):
        return functools.partial(f)


    def halve(n):
        return n / 2


    halve = curry(halve)


    def as_text(path):
        return os.fspath(path)


    class Depth:
        def __init__(self):
            self.depth = 0

        @contextlib.contextmanager
        def entered(self):
            self.depth += 1
            try:
                yield self
            finally:
                self.depth -= 1


    @contextlib.contextmanager
    def section(lines):
        lines.append("<")
        yield
        lines.append(">")


    class _ClassText(property):
        def __get__(self, instance, owner=None):
            return "described" if instance is None else super().__get__(instance, owner)


    class Described:
        @_ClassText
        def __doc__(self):
            return f"a {self.kind}"


    _marker = object()


    class Table:
        def __init__(self, rows):
            self.rows = dict(rows)
            self._order = list(self.rows)

        def __setstate__(self, state):
            self.__dict__.update(state)
            self._index = {k: i for i, k in enumerate(self._order)}

        def __eq__(self, other):
            return list(self) == list(other)

        def __iter__(self):
            return iter(self._order)

        def pop(self, key, default=_marker):
            if key in self.rows:
                return self.rows.pop(key)
            if default is _marker:
                raise KeyError(key)
            return default


    class Half(Table):
        def __init__(self, rows):
            Table.__init__(self, rows)


    class _Rule:
        def __distance(self, a, b):
            return (b - a) % 7


    def _sha(data=b""):
        return hashlib.sha1(data)


    def sign(key, value):
        mac = hmac.new(key, msg=value, digestmod=_sha)
        return mac.digest()


    def _weight(word):
        return math.floor(len(word) / 2)


    class Meter:
        def __init__(self, rounder):
            self.rounder = rounder

        def measure(self, x):
            return self.rounder(x) + time.time()


    class Shelf(collections.abc.MutableMapping):
        def __init__(self, held):
            self.held = dict(held)

        def __getitem__(self, key):
            return self.held[key]

        def __setitem__(self, key, value):
            self.held[key] = value

        def __delitem__(self, key):
            del self.held[key]

        def __iter__(self):
            return iter(self.held)

        def __len__(self):
            return len(self.held)


    def evict(shelf):
        return shelf.popitem()


    class _Loud(reprlib.Repr):
        def repr1(self, x, level):
            return reprlib.Repr.repr1(self, x, level).upper()


    loud = reprlib.recursive_repr()(_Loud().repr)


    def shown(x):
        return loud(x)


    class _Empty:
        def __repr__(self):
            return "EMPTY"


    EMPTY = _Empty()


    def window(n, seq=EMPTY):
        if seq is EMPTY:
            return "none given"
        return list(seq)[:n]


    def by_weight(words):
        return sorted(words, key=_weight)
"""


@pytest.fixture
def mod(tmp_path, monkeypatch):
    (tmp_path / "rp_app.py").write_text(textwrap.dedent(MODULE))
    monkeypatch.syspath_prepend(str(tmp_path))
    sys.modules.pop("rp_app", None)
    import rp_app
    yield rp_app
    sys.modules.pop("rp_app", None)


class Plain:
    def __init__(self, a, b):
        self.a = a
        self.b = b


class Paired(dict):
    """A dict that keeps its inverse in a slot, set after its items when
    unpickled: its own __setitem__ then fails on the half-made object."""

    __slots__ = ("inv",)

    def __init__(self, items=(), inverse=None):
        self.inv = inverse if inverse is not None else Paired((), self)
        for k, v in dict(items).items():
            self[k] = v

    def __setitem__(self, key, value):
        dict.__setitem__(self, key, value)
        dict.__setitem__(self.inv, value, key)


class Logged(list):
    """A list whose own append and extend record each item: rebuilding
    must not log the recorded items again."""

    def __init__(self, items=()):
        super().__init__()
        self.log = []
        self.extend(items)

    def append(self, item):
        self.log.append(item)
        super().append(item)

    def extend(self, items):
        for item in items:
            self.append(item)


class Pair(tuple):
    """A tuple subclass taking its items one by one (as ``codecs.CodecInfo``
    does up to 3.12), with attributes of its own."""

    def __new__(cls, first, second):
        made = tuple.__new__(cls, (first, second))
        made.label = f"{first}-{second}"
        return made


class Refused(Exception):
    """An exception whose initializer takes other arguments than its args."""

    def __init__(self, option, message):
        super().__init__(message)
        self.option = option


def test_values_stock_unpickling_cannot_make_are_made_as_recorded():
    # A tuple subclass taking its items one by one: pickled with them as one
    # argument, which stock unpickling passes to its __new__.
    pair = Pair(1, "b")
    with pytest.raises(TypeError):
        pickle.loads(pickle.dumps(pair, protocol=4))
    for rebuilt in (replay._loads(pickle.dumps(pair, protocol=4)),
                    replay.obj_state(Pair, (tuple(pair),), vars(pair))):
        assert type(rebuilt) is Pair and tuple(rebuilt) == (1, "b")
        assert rebuilt.label == "1-b"
        replay.check(rebuilt, pair)
    # An exception called with its args as a reduction is made without its
    # initializer, as the stream's own rebuilding makes it.
    made = replay.call_state(Refused, ("no such option",), {"option": "-x"})
    assert made.args == ("no such option",) and made.option == "-x"
    replay.check(made, Refused("-x", "no such option"))


def test_items_of_container_subclasses_are_rebuilt_as_recorded():
    paired = Paired({1: "a"})
    with pytest.raises(AttributeError):  # as stock unpickling fails
        pickle.loads(pickle.dumps(paired))
    rebuilt = replay._loads(pickle.dumps(paired))
    assert dict(rebuilt) == {1: "a"} and dict(rebuilt.inv) == {"a": 1}
    assert rebuilt.inv.inv is rebuilt
    replay.check(rebuilt, paired)
    # A stream that cannot be rebuilt either way fails with the first error.
    with pytest.raises(AttributeError, match="inv"):
        replay._loads(pickle.dumps(paired).replace(b"\x8c\x03inv", b"\x8c\x03vni"))
    logged = replay._loads(pickle.dumps(Logged([1, 2]), protocol=4))
    assert list(logged) == [1, 2]


class _Cached:
    def __init__(self, func):
        self.func = func

    def __get__(self, obj, objtype=None):
        return self if obj is None else self.func(obj)


class Summary:
    def _calc_total(self):
        return 3

    total = _Cached(_calc_total)


del Summary._calc_total  # as a library tidies its class after building it


def test_a_function_removed_from_its_class_is_found_through_its_descriptor():
    name = f"{__name__}.Summary._calc_total"
    assert replay.resolve(name) is Summary.total.func
    with pytest.raises(LookupError):
        replay.resolve(f"{__name__}.Summary._calc_other")


def test_a_method_bound_to_its_receiver_is_like_its_recorded_function():
    # The record names a bound method's function only.
    class Shape:
        def area(self):
            return 1

        def edge(self):
            return 2

    replay.check(Shape().area, Shape.area)
    with pytest.raises(AssertionError, match="recorded function"):
        replay.check(Shape().edge, Shape.area)
    with pytest.raises(AssertionError):
        replay.check(Shape.area, Shape().area)
    # So does a built-in method's: its class's method.
    replay.check(", ".join, str.join)
    replay.check((1).__add__, int.__add__)
    for got in (", ".split, [].append, (1).__sub__):
        with pytest.raises(AssertionError):
            replay.check(got, str.join if got.__name__ == "split" else int.__add__)


def test_objects_without_eq_compare_by_type_and_state_recursively():
    replay.check(Plain(1, [Plain(2, {"k": 3})]), Plain(1, [Plain(2, {"k": 3})]))
    with pytest.raises(AssertionError, match=r"value\.b\[0\]\.b\['k'\]: 4 != 3"):
        replay.check(Plain(1, [Plain(2, {"k": 4})]), Plain(1, [Plain(2, {"k": 3})]))
    with pytest.raises(AssertionError, match=r"value\.a: got str"):
        replay.check(Plain("1", 2), Plain(1, 2))
    with pytest.raises(AssertionError, match=r"value: got Box|got .*Plain"):
        replay.check(Plain(1, 2), replay.obj(type("Other", (), {}), a=1, b=2))
    replay.check([float("nan")], [float("nan")])
    nan, minus_nan, snan = (decimal.Decimal(t) for t in ("NaN", "-NaN", "sNaN"))
    replay.check([nan, minus_nan], [decimal.Decimal("NaN"), decimal.Decimal("-NaN")])
    for got, recorded in ((nan, minus_nan), (snan, nan), (nan, decimal.Decimal(1))):
        with pytest.raises(AssertionError):
            replay.check(got, recorded)
    with pytest.raises(AssertionError, match="missing"):
        replay.check(replay.obj(Plain, a=1), Plain(1, 2))
    # Cycles end.
    x, y = Plain(1, None), Plain(1, None)
    x.b, y.b = x, y
    replay.check(x, y)


class _Marked:
    """Hashed by its part, which is compared by identity."""

    def __init__(self, part):
        self.part = part

    def __hash__(self):
        return hash(self.part)

    def __eq__(self, other):
        return type(other) is _Marked and other.part == self.part


def test_keys_and_members_hashed_by_identity_are_paired_by_state():
    # Each run makes its own objects: a rebuilt key is another key.
    replay.check({Plain(1, 2): "a", Plain(3, 4): "b"}, {Plain(1, 2): "a", Plain(3, 4): "b"})
    replay.check({_Marked(Plain(1, 2)): 1}, {_Marked(Plain(1, 2)): 1})
    replay.check({Plain(1, 2), "text"}, {Plain(1, 2), "text"})
    # The value under a paired key is compared with the recorded one.
    with pytest.raises(AssertionError, match=r"\]: 'b' != 'a'"):
        replay.check({Plain(1, 2): "b"}, {Plain(1, 2): "a"})
    for got, recorded in (({Plain(1, 3): "a"}, {Plain(1, 2): "a"}),
                          ({Plain(1, 2): "a", "k": 1}, {Plain(1, 2): "a", "j": 1}),
                          ({Plain(1, 2)}, {Plain(1, 2), Plain(1, 2)}),
                          ({Plain(1, 3)}, {Plain(1, 2)})):
        with pytest.raises(AssertionError):
            replay.check(got, recorded)


def test_a_mapping_subclass_is_compared_without_running_its_own_lookup():
    class Expiring(dict):
        def __getitem__(self, key):
            raise KeyError(key)  # as a cache whose entries expire when read

    replay.check(Expiring(a=1), Expiring(a=1))
    with pytest.raises(AssertionError, match=r"\['a'\]: 2 != 1"):
        replay.check(Expiring(a=2), Expiring(a=1))


def test_a_function_the_data_file_names_but_no_test_can_find_is_told_by_its_name(tmp_path):
    # The recorder names a lambda a function made by its qualified name;
    # a data file that names one no test can find compares by that name.
    name = "rp_gone.register.<locals>.<lambda>"
    stored = b"cjsonpickle.unpickler\nloadclass\n(V" + name.encode() + b"\ntR."
    data = tmp_path / "data.pickle"
    data.write_bytes(pickle.dumps({"case": {"returned": stored}}))
    loaded = replay.load(str(data), "case", "returned")

    def made():
        pass

    made.__module__, made.__qualname__ = "rp_gone", "register.<locals>.<lambda>"
    replay.check(made, loaded)
    made.__qualname__ = "other.<locals>.<lambda>"
    with pytest.raises(AssertionError, match=f"recorded {name}"):
        replay.check(made, loaded)


def test_the_place_in_memory_in_an_objects_default_text_is_not_compared():
    replay.check("Or(<function ve at 0x7f12ab34>)", "Or(<function ve at 0x7fdb0098>)")
    for got in ("Or(<function vf at 0x7f12ab34>)", "Or(<function ve at 0x7f12ab34>) "):
        with pytest.raises(AssertionError):
            replay.check(got, "Or(<function ve at 0x7fdb0098>)")


class _Counted(collections.abc.MutableMapping):
    """A cache on the abstract mapping: equal as a mapping whatever its
    size count says."""

    def __init__(self, data, size):
        self.data, self.size = dict(data), size

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


def test_objects_whose_equality_is_a_collection_mixin_also_compare_by_state():
    """A cache's size count going wrong left it equal as a mapping: the
    generated tests of its methods caught none of the mutants that broke
    the count."""
    replay.check(_Counted({1: 1}, 1), _Counted({1: 1}, 1))
    with pytest.raises(AssertionError, match=r"value\.size: -1 != 1"):
        replay.check(_Counted({1: 1}, -1), _Counted({1: 1}, 1))
    with pytest.raises(AssertionError, match="recorded"):
        replay.check(_Counted({1: 2}, 1), _Counted({1: 1}, 1))
    # An equality of the class's own still decides alone.
    own = type("Own", (_Counted,), {"__eq__": lambda a, b: a.data == b.data,
                                    "__hash__": None})
    replay.check(own({1: 1}, -1), own({1: 1}, 1))


def test_an_external_module_attribute_is_replaced_in_order_and_restored(mod):
    import time
    real = time.time
    outcome = replay.run("rp_app.stamp", external=[replay.returns("time.time", 41.5)])
    outcome.check_returned(42.5)
    assert time.time is real


def test_an_external_call_the_record_does_not_hold_fails_clearly(mod):
    with pytest.raises(AssertionError, match=r"rp_app\.stamp_twice made an external call "
                                             r"the record does not hold: time\.time"):
        replay.run("rp_app.stamp_twice", external=[replay.returns("time.time", 1.0)])
    # Even when the function swallows every exception.
    with pytest.raises(AssertionError, match="careful made an external call the record "
                                             "does not hold"):
        replay.run("rp_app.careful", external=[replay.returns("time.time", 1.0)])


def test_a_recorded_call_that_is_not_made_fails(mod):
    with pytest.raises(AssertionError, match=r"did not make the recorded external call\(s\) "
                                             r"time\.time"):
        replay.run("rp_app.stamp", external=[replay.returns("time.time", 1.0),
                                             replay.returns("time.time", 2.0)])
    # A callable the test hands the function is called as it is: its
    # recorded calls are not waited for.
    outcome = replay.run("rp_app.apply_all", args=(math.floor, [1.5, 2.5]),
                         external=[replay.returns("math.floor", 1),
                                   replay.returns("math.floor", 2)])
    outcome.check_returned([1, 2])
    # So is one the object it hands holds (in a slot, in a partial).
    composed = mod.Composed(abs, functools.partial(math.floor))
    outcome = replay.run("rp_app.Composed.__call__", args=(composed, -2.5),
                         external=[replay.returns("math.floor", 2)])
    outcome.check_returned(2)
    # Nor are they waited for in their turn, before the calls the function
    # makes through a replaced name.
    outcome = replay.run("rp_app.Meter.measure", args=(mod.Meter(math.floor), 2.5), external=[
        replay.returns("math.floor", 2), replay.returns("time.time", 1.0)])
    outcome.check_returned(3.0)


def test_calls_a_project_function_made_inside_a_replaced_call_are_not_waited_for(mod):
    # Recorded: hmac.new called the project's _sha for its two hashes, so
    # their hashlib.sha1 calls follow it in the record; the stand-in for
    # hmac.new makes neither. The digest method of the object it returned
    # gives its recorded result.
    import hashlib
    import hmac
    real_digest = hmac.HMAC.digest
    sha1 = replay.full_name_of(hashlib.sha1)
    made = hmac.new(b"k", b"v", "sha1")
    recorded = [replay.returns("hmac.new", made),
                replay.returns(sha1, None), replay.returns(sha1, None)]
    outcome = replay.run("rp_app.sign", args=(b"k", b"v"),
                         external=[*recorded, replay.returns("hmac.HMAC.digest", b"recorded")])
    outcome.check_returned(b"recorded")
    assert hmac.HMAC.digest is real_digest
    # Past the next call the function makes, a recorded call it does not
    # make fails again.
    digest = replay.returns("hmac.HMAC.digest", b"recorded")
    with pytest.raises(AssertionError, match=r"did not make .*hmac\.HMAC\.digest"):
        replay.run("rp_app.sign", args=(b"k", b"v"), external=[*recorded, digest, digest])
    # A library's wrapper of a method of the project's own object calls
    # back as well: the wrapper keeps the bound method in its closure.
    outcome = replay.run("rp_app.shown", args=("a",), external=[
        replay.returns("reprlib.Repr.repr", "'A'"), replay.returns("reprlib.Repr.repr1", "'A'")])
    outcome.check_returned("'A'")
    # Nor are they waited for when they end the record.
    outcome = replay.run("rp_app.by_weight", args=(["ccc", "a"],), external=[
        replay.returns("builtins.sorted", ["a", "ccc"]),
        replay.returns("math.floor", 1), replay.returns("math.floor", 0)])
    outcome.check_returned(["a", "ccc"])


def test_a_library_method_run_on_an_object_of_the_project_runs_in_its_turn(mod):
    # The mixin's popitem works through the shelf's own methods: replaced,
    # the shelf would keep its item.
    popitem = replay.returns("collections.abc.MutableMapping.popitem", ("a", 1))
    shelf = mod.Shelf({"a": 1})
    outcome = replay.run("rp_app.evict", args=(shelf,), external=[popitem])
    outcome.check_returned(("a", 1))
    assert shelf.held == {}
    with pytest.raises(AssertionError, match=r"did not make .*MutableMapping\.popitem"):
        replay.run("rp_app.evict", args=(mod.Shelf({"a": 1}),), external=[popitem, popitem])


def test_an_external_call_that_raised_raises_again(mod):
    outcome = replay.run("rp_app.load", args=("/nowhere.json",), external=[
        replay.raises("io.open", replay.exc(FileNotFoundError, 2, "No such file"))])
    outcome.check_raised(replay.exc(FileNotFoundError, 2, "No such file"))
    with pytest.raises(AssertionError, match="exception arguments"):
        outcome.check_raised(replay.exc(FileNotFoundError, 2, "gone"))
    with pytest.raises(AssertionError, match="raised FileNotFoundError"):
        outcome.check_returned(None)


def test_a_described_object_answers_its_attributes_and_recorded_methods(mod):
    handle = replay.recorded_object("_io.TextIOWrapper", name="/data.json", mode="r")
    outcome = replay.run("rp_app.load", args=("/data.json",), external=[
        replay.returns("io.open", handle),
        replay.returns("_io._IOBase.__enter__", handle),
        replay.returns("json.load", {"a": 1}),
        replay.returns("_io._IOBase.__exit__", None),
    ])
    outcome.check_returned({"a": 1})
    assert handle.name == "/data.json"
    assert "open" not in vars(mod)  # the builtin's stand-in is gone again


def test_a_function_of_a_nested_module_is_replaced(mod):
    outcome = replay.run("rp_app.joined", args=("a", "b"),
                         external=[replay.returns("posixpath.join", "a|b")])
    outcome.check_returned("a|b")


def test_globals_are_set_for_the_call_and_restored(mod):
    outcome = replay.run("rp_app.weigh", args=(3,), globals_used={
        "LIMIT": 99, "SETTINGS": replay.attrs(scale=2, unit="g")})
    outcome.check_returned("6 g (limit 99)")
    assert (mod.LIMIT, mod.SETTINGS.scale, mod.SETTINGS.unit) == (10, 1, "kg")
    # An attribute whose value the recorder did not keep (computed when
    # read) is left as the program has it, and not checked.
    computed = ComputedAttribute("property")
    outcome = replay.run("rp_app.weigh", args=(3,), globals_used={
        "SETTINGS": replay.attrs(scale=2, unit=computed)})
    outcome.check_returned("6 kg (limit 10)")
    replay.check(mod.SETTINGS, replay.attrs(scale=1, unit=computed))


def test_a_property_is_replayed_through_its_getter(mod):
    box = replay.obj(mod.Box, items=[1, 2], note=None)
    replay.run("rp_app.Box.size", args=(box,)).check_returned(2)


def test_a_property_that_gives_other_text_when_read_from_its_class_is_replayed(mod):
    thing = replay.obj(mod.Described, kind="box")
    replay.run("rp_app.Described.__doc__", args=(thing,)).check_returned("a box")
    with pytest.raises(AssertionError, match="'a box' != 'a crate'"):
        replay.run("rp_app.Described.__doc__", args=(thing,)).check_returned("a crate")


def test_a_decorated_function_is_called_as_recorded_not_through_its_decorator(mod):
    # Through the cache, the second call would make no external call.
    for now in (1.0, 2.0):
        outcome = replay.run("rp_app.cached_stamp", args=(1,),
                             external=[replay.returns("time.time", now)])
        outcome.check_returned(now + 1)


def test_an_initializer_runs_on_a_new_instance(mod):
    outcome = replay.run("rp_app.Box.__init__", args=([1],), init=True)
    outcome.check_returned(None)
    outcome.check_arguments(([1],), {})


class Colour(__import__("enum").Enum):
    RED = 1


VALUES = [
    0, -3, 2 ** 70, 1.5, float("inf"), -0.0, complex(1, 2), "text", b"\x00b", bytearray(b"x"),
    None, True, [1, (2, 3)], (1,), {"a": [1, {"b": None}]}, {1, 2}, frozenset({"x"}),
    set(), datetime.datetime(2024, 1, 2, 3, 4, 5, 6), datetime.date(2024, 1, 2),
    datetime.timedelta(seconds=5), datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc),
    decimal.Decimal("1.25"), fractions.Fraction(1, 3), uuid.UUID(int=5),
    pathlib.PurePosixPath("a/b"), collections.OrderedDict([("x", 1)]), range(3),
    signal.Signals.SIGINT, Plain(1, [Plain(2, None)]), ValueError("bad", 3),
]


@pytest.mark.parametrize("value", VALUES, ids=[type(v).__name__ for v in VALUES])
def test_recorded_values_are_written_as_text_that_rebuilds_them(value):
    writer = Writer()
    text = writer.code(safe_loads(pickle.dumps(value, protocol=4)))
    names = {"replay": replay, "__name__": __name__}
    for module in writer.imports:
        names[module.split(".")[0]] = __import__(module)
    rebuilt = eval(text, names)
    if isinstance(value, float) and math.isnan(value):
        assert math.isnan(rebuilt)
    else:
        replay.check(rebuilt, value)
        if isinstance(value, BaseException):
            assert rebuilt.args == value.args


class Dispatcher:
    """Keeps methods bound to itself: a handler and a cache of visitors."""

    def __init__(self):
        self._cache = {}
        self.handler = self.on_event
        self.plain = Plain.__init__  # another class's function: stays one

    def on_event(self, x):
        return ("event", x)

    def visit(self, kind, x):
        method = self._cache.get(kind)
        if method is None:
            method = self._cache[kind] = getattr(self, "visit_" + kind)
        return method(x)

    def visit_num(self, x):
        return x * 2


def test_methods_bound_to_their_receiver_are_bound_again():
    from tarnwick_collector.data_serialization.pickler import safe_pickle

    recorded = Dispatcher()
    recorded.visit("num", 1)
    data = safe_pickle(recorded)  # methods are kept by their names alone
    writer = Writer()
    text = writer.code(safe_loads(data))
    names = {"replay": replay, "__name__": __name__}
    for module in writer.imports:
        names[module.split(".")[0]] = __import__(module)
    for rebuilt in (replay._with_matches(replay._loads(data), set()), eval(text, names)):
        assert rebuilt.visit("num", 4) == 8
        assert rebuilt.handler(1) == ("event", 1) and rebuilt.handler.__self__ is rebuilt
        assert rebuilt.plain is Plain.__init__
        replay.check(rebuilt, recorded)


def test_a_gettext_catalog_is_written_with_its_plural_rule_made_again():
    import gettext

    from tarnwick_collector.data_serialization.pickler import safe_pickle

    header = "nplurals=3; plural=(n%10==1 && n%100!=11 ? 0 : n%10>=2 && n%10<=4 ? 1 : 2);"
    catalog = gettext.GNUTranslations.__new__(gettext.GNUTranslations)
    catalog.__dict__.update(_info={"plural-forms": header}, _charset="UTF-8",
                            _fallback=None, _output_charset=None,
                            _catalog={"day": "день", ("%d day", 0): "%d день"},
                            plural=gettext.c2py(header.split("plural=")[1].rstrip(";")))
    # The rule is a function gettext compiles: the recorder names it by
    # reference, and no test can find it by that name.
    writer = Writer()
    text = writer.code(safe_loads(safe_pickle(catalog)))
    assert "replay.plural_rule(" in text
    rebuilt = eval(text, {"replay": replay, "gettext": gettext})
    assert [rebuilt.plural(n) for n in (1, 3, 5, 21)] == [0, 1, 2, 0]
    assert rebuilt.ngettext("%d day", "%d days", 1) == "%d день"
    assert rebuilt.gettext("day") == "день"


def test_values_text_cannot_rebuild_are_refused():
    shared = [1]
    with pytest.raises(NotLiteral, match="shared"):
        Writer().code(safe_loads(pickle.dumps((shared, shared), protocol=4)))
    cyclic = []
    cyclic.append(cyclic)
    with pytest.raises(NotLiteral):
        Writer().code(safe_loads(pickle.dumps(cyclic, protocol=4)))


def test_a_placeholder_is_never_written():
    from tarnwick_common.utils.object_wrapper import UnpicklableObject
    placeholder = UnpicklableObject("<class '_thread.lock'>", {})
    decoded = safe_loads(pickle.dumps([placeholder], protocol=4))
    with pytest.raises(NeedsPlaceholder, match="_thread.lock"):
        Writer().code(decoded)
    # As an external call's result it becomes a described object.
    assert Writer().code(decoded, "external") == "[replay.recorded_object('_thread.lock')]"


def _row(state, kind="tarnwick_collector.data_collection.pellory.UserFunctionCall"):
    """A data row whose message is an instance of class ``kind`` (not
    imported) with ``state``."""
    module, _, name = kind.rpartition(".")
    body = pickle.dumps(state, protocol=2)
    data = (b"\x80\x02c" + module.encode() + b"\n" + name.encode() + b"\n)\x81"
            + body[2:-1] + b"b.")
    return (1, "run", 0.0, "m.f", "m", len(data), None, data)


def test_records_of_unknown_shapes_are_skipped_with_their_reason():
    from tarnwick_collector.testgen.reader import UNKNOWN_KIND, read_call
    other = read_call(_row({"x": 1}, "some.module.SomethingElse"), ".")
    assert (other.reason, other.detail) == (UNKNOWN_KIND, "some.module.SomethingElse")


def test_a_replaced_class_method_is_put_back_as_it_was(tmp_path, monkeypatch):
    (tmp_path / "rp_frac.py").write_text(
        "from fractions import Fraction\n\n\ndef half(x):\n    return Fraction.from_float(x)\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    import fractions
    before = vars(fractions.Fraction)["from_float"]
    outcome = replay.run("rp_frac.half", args=(0.5,), external=[
        replay.returns("fractions.Fraction.from_float", fractions.Fraction(1, 2))])
    outcome.check_returned(fractions.Fraction(1, 2))
    assert vars(fractions.Fraction)["from_float"] is before

    class Sub(fractions.Fraction):
        pass

    assert type(Sub.from_float(0.5)) is Sub
    sys.modules.pop("rp_frac", None)


@pytest.mark.parametrize("source", [
    "from datetime import datetime\n\n\ndef year():\n    return datetime.now().year\n",
    "import datetime\n\n\ndef year():\n    return datetime.datetime.now().year\n",
], ids=["class global", "class of a module global"])
def test_a_class_method_of_a_built_in_class_is_replaced(tmp_path, monkeypatch, source):
    import datetime
    (tmp_path / "rp_clock.py").write_text(source)
    monkeypatch.syspath_prepend(str(tmp_path))
    sys.modules.pop("rp_clock", None)
    import rp_clock  # noqa: F401
    outcome = replay.run("rp_clock.year", external=[
        replay.returns("datetime.datetime.now", datetime.datetime(1999, 1, 1))])
    outcome.check_returned(1999)
    assert datetime.datetime.now().year > 2000 and rp_clock.datetime.__name__ == "datetime"
    assert getattr(rp_clock.datetime, "datetime", rp_clock.datetime) is datetime.datetime
    sys.modules.pop("rp_clock", None)


def test_a_callable_imported_inside_the_function_is_replaced_where_it_lives(
        tmp_path, monkeypatch):
    (tmp_path / "rp_local.py").write_text(textwrap.dedent("""
        def stamp():
            import time
            return time.time()


        def age(born):
            import datetime as dt
            if not isinstance(born, dt.datetime):  # a real one, made before the call
                raise TypeError(born)
            return (dt.datetime.now() - born).days


        def host_digest():
            import hashlib
            import socket
            return socket.gethostname(), hashlib.sha1(b"x")
    """))
    monkeypatch.syspath_prepend(str(tmp_path))
    sys.modules.pop("rp_local", None)
    import rp_local  # noqa: F401
    replay.run("rp_local.stamp", external=[replay.returns("time.time", 5.0)]).check_returned(5.0)
    # Recorded under the accelerator module that defines them, offered by
    # another module under the same or another name.
    outcome = replay.run("rp_local.host_digest", external=[
        replay.returns("_socket.gethostname", "recorded-host"),
        replay.returns("_hashlib.openssl_sha1", "digest")])
    outcome.check_returned(("recorded-host", "digest"))
    outcome = replay.run("rp_local.age", args=(datetime.datetime(2000, 1, 1),), external=[
        replay.returns("datetime.datetime.now", datetime.datetime(2000, 1, 11))])
    outcome.check_returned(10)
    assert datetime.datetime.now().year > 2000
    sys.modules.pop("rp_local", None)


def test_a_library_calling_a_replaced_function_meanwhile_gets_the_real_one(
        tmp_path, monkeypatch):
    (tmp_path / "lib").mkdir()
    (tmp_path / "proj").mkdir()
    (tmp_path / "lib" / "rp_timelib.py").write_text(
        "import time\n\n\ndef elapsed(start):\n    return time.time() - start\n")
    (tmp_path / "proj" / "rp_user.py").write_text(textwrap.dedent("""
        import time

        import rp_timelib


        def measure():
            rp_timelib.elapsed(0.0)  # the library's own call: not recorded
            return time.time()
    """))
    monkeypatch.syspath_prepend(str(tmp_path / "lib"))
    monkeypatch.syspath_prepend(str(tmp_path / "proj"))
    for name in ("rp_user", "rp_timelib"):
        sys.modules.pop(name, None)
    import rp_user  # noqa: F401
    outcome = replay.run("rp_user.measure", external=[replay.returns("time.time", 7.0)])
    outcome.check_returned(7.0)
    for name in ("rp_user", "rp_timelib"):
        sys.modules.pop(name, None)


def test_a_replaced_function_the_replay_calls_itself_is_the_real_one(mod):
    # Deciding whether the caller is the project's calls os.path.abspath,
    # which calls os.fspath: that call must not be taken for the program's.
    name = replay.full_name_of(os.fspath)
    outcome = replay.run("rp_app.as_text", args=("a",), external=[replay.returns(name, "b")])
    outcome.check_returned("b")


def test_a_context_managers_values_are_checked_as_yielded_and_its_block_is_not(mod):
    depth = replay.obj(mod.Depth, depth=0)
    outcome = replay.run("rp_app.Depth.entered", args=(depth,), generator=(1, False))
    outcome.check_yielded([replay.obj(mod.Depth, depth=1)])
    outcome.check_returned(None)
    outcome.check_arguments((replay.obj(mod.Depth, depth=0),), {})
    # The recorded `with` block wrote "body" between the yield and the end.
    outcome = replay.run("rp_app.section", args=([],), generator=(1, False))
    outcome.check_yielded([None])
    outcome.check_arguments((["<", "body", ">"],), {})


def test_a_call_that_exits_is_checked_like_any_exception(tmp_path, monkeypatch):
    (tmp_path / "rp_exit.py").write_text("import sys\n\n\ndef main():\n    sys.exit(3)\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    import rp_exit  # noqa: F401
    replay.run("rp_exit.main").check_raised(replay.exc(SystemExit, 3))
    # The recorder keeps an exception that is no Exception by its class.
    replay.run("rp_exit.main").check_raised(SystemExit)
    with pytest.raises(AssertionError, match="raised SystemExit: 3; the record says it "
                                             "raised KeyboardInterrupt"):
        replay.run("rp_exit.main").check_raised(KeyboardInterrupt)
    sys.modules.pop("rp_exit", None)


def test_builtin_iterators_compare_by_what_they_have_left():
    # A dict's key iterator is recorded as pickle writes it: an iterator
    # over a list.
    recorded = pickle.loads(pickle.dumps(iter({"a": 1, "b": 2})))
    assert type(recorded).__name__ == "list_iterator"
    replay.check(iter({"a": 1, "b": 2}), recorded)
    with pytest.raises(AssertionError, match=r"list\(value\)"):
        replay.check(iter({"a": 1}), pickle.loads(pickle.dumps(iter({"b": 1}))))


def test_values_whose_equality_needs_identical_parts_compare_by_what_was_recorded():
    import importlib.machinery
    import json
    import types
    # A module is recorded by its name: a module made afresh under it is it.
    replay.check(types.ModuleType("json"), json)
    with pytest.raises(AssertionError, match="module 'jsonx', recorded 'json'"):
        replay.check(types.ModuleType("jsonx"), json)
    # Its text imports it, or makes one of that name where none can be.
    from tarnwick_collector.data_serialization import pickler

    class Recorded:  # as the recorder writes a module
        def __reduce__(self):
            return pickler.wrap_module, ("json",)

    text = Writer().code(safe_loads(pickle.dumps(Recorded(), protocol=4)))
    assert text == "replay.module('json')"
    assert eval(text, {"replay": replay}) is json
    replay.check(types.ModuleType("rp_none.made"), replay.module("rp_none.made"))
    # A spec's loader, rebuilt from its record, is another object.
    spec = importlib.machinery.ModuleSpec
    replay.check(spec("m", Plain(1, 2)), spec("m", Plain(1, 2)))
    with pytest.raises(AssertionError, match=r"value\.loader\.b: 3 != 2"):
        replay.check(spec("m", Plain(1, 3)), spec("m", Plain(1, 2)))
    with pytest.raises(AssertionError, match=r"value\.name: 'n' != 'm'"):
        replay.check(spec("n", Plain(1, 2)), spec("m", Plain(1, 2)))
    with pytest.raises(AssertionError, match="3 != 2"):
        replay.check(fractions.Fraction(1, 3), fractions.Fraction(1, 2))


def _recorded_match(found, **leave_out):
    """A match of ``re`` as the recorder stores it: a placeholder holding
    its readable attributes."""
    from tarnwick_common.utils.object_wrapper import UnpicklableObject
    parts = {"re": found.re, "string": found.string, "pos": found.pos,
             "endpos": found.endpos, "regs": found.regs, "lastindex": found.lastindex}

    class Recorded:
        def __reduce__(self):
            return UnpicklableObject, ("<class 're.Match'>", {}), {
                k: v for k, v in parts.items() if k not in leave_out}

    return Recorded()


@pytest.mark.parametrize("how", ["match", "fullmatch", "search", "finditer"])
def test_a_recorded_match_is_made_again_by_searching_its_text(how):
    import re
    pattern = re.compile(r"(\d+)(?:-(\w+))?")
    text = "ab 12 cd 345-x"
    found = {"match": lambda: pattern.match(text, 3), "fullmatch": lambda: pattern.fullmatch(
        text, 9), "search": lambda: pattern.search(text),
        "finditer": lambda: list(pattern.finditer(text))[1]}[how]()
    decoded = safe_loads(pickle.dumps((text, _recorded_match(found)), protocol=4))
    rebuilt = eval(Writer().code(decoded), {"replay": replay, "re": re})[1]
    assert rebuilt.regs == found.regs and rebuilt.string == text and rebuilt.pos == found.pos
    replay.check(rebuilt, found)
    with pytest.raises(AssertionError, match="spans"):
        replay.check(pattern.search(text, 9), pattern.search(text))
    # Lacking a part that makes it, it stays a placeholder.
    partial = safe_loads(pickle.dumps(_recorded_match(found, string=1), protocol=4))
    with pytest.raises(NeedsPlaceholder, match="re.Match"):
        Writer().code(partial)
    # Kept in a data file, it is made again too, but not as an external
    # call's result, which answers the recorded calls of its methods.
    data = {"case": {"pre_run_args": pickle.dumps([Plain(_recorded_match(found), 1)]),
                                "external_0_return_value": pickle.dumps(_recorded_match(found))}}
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        path = f"{tmp}/data.pickle"
        with open(path, "wb") as fh:
            fh.write(b"# header\n" + pickle.dumps(data))
        loaded = replay.load(path, "case", "pre_run_args")
        assert loaded[0].a.regs == found.regs
        assert isinstance(replay.load(path, "case", "external_0_return_value"),
                          replay.recorded_object)


def test_a_redacted_value_is_a_placeholder():
    from tarnwick_common.redaction import REDACTED
    from tarnwick_collector.testgen.values import find_placeholder
    decoded = safe_loads(pickle.dumps({"token": REDACTED}, protocol=4))
    assert "redacted" in find_placeholder(decoded)
    for context in ("value", "external"):
        with pytest.raises(NeedsPlaceholder, match="redacted"):
            Writer().code(decoded, context)


def test_a_function_made_afresh_under_the_recorded_name_is_the_one_recorded():
    import functools

    def outer():
        pass

    def wrap(function):
        @functools.wraps(function)
        def wrapper():
            return function()
        return wrapper

    replay.check(wrap(outer), outer)
    with pytest.raises(AssertionError, match="is not"):
        replay.check(wrap(Plain.__init__), outer)


def test_a_hash_of_text_may_differ_between_runs_one_of_numbers_may_not():
    class Key:
        def __init__(self, *parts):
            self.parts = parts

        def __hash__(self):
            return hash(self.parts)

    def outcome_of(key, returned):
        outcome = replay.Outcome("Key.__hash__", (key,), {})
        outcome.returned = returned
        return outcome

    outcome_of(Key("rc", 1), 5).check_hash(7)
    outcome_of(Key(1, (2, None)), 7).check_hash(7)
    with pytest.raises(AssertionError, match="5 != 7"):
        outcome_of(Key(1, (2, None)), 5).check_hash(7)
    with pytest.raises(AssertionError, match="got str"):
        outcome_of(Key("rc"), "5").check_hash(7)


def test_an_instance_made_through_a_replaced_built_in_class_is_one_of_it(
        tmp_path, monkeypatch):
    import datetime
    (tmp_path / "rp_newyear.py").write_text(
        "from datetime import datetime\n\n\n"
        "def new_year():\n    return datetime(datetime.now().year, 1, 1)\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    sys.modules.pop("rp_newyear", None)
    outcome = replay.run("rp_newyear.new_year", external=[
        replay.returns("datetime.datetime.now", datetime.datetime(1999, 5, 1))])
    outcome.check_returned(datetime.datetime(1999, 1, 1))
    with pytest.raises(AssertionError, match="!="):
        outcome.check_returned(datetime.datetime(1998, 1, 1))
    sys.modules.pop("rp_newyear", None)


def test_a_value_with_a_zone_compares_by_its_fields_and_what_its_zone_says():
    def zone(name, hours=1):
        return datetime.timezone(datetime.timedelta(hours=hours), name)

    recorded = datetime.datetime(2024, 1, 2, 3, 4, tzinfo=zone("A"))
    replay.check(datetime.datetime(2024, 1, 2, 3, 4, tzinfo=zone("A")), recorded)
    # The same instant in another zone, or named otherwise (== holds), is
    # another value.
    for other in (datetime.datetime(2024, 1, 2, 2, 4, tzinfo=zone("A", 0)),
                  datetime.datetime(2024, 1, 2, 3, 4, tzinfo=zone("B"))):
        with pytest.raises(AssertionError, match=r"returned: .* \(recorded\)"):
            replay.check(other, recorded, "returned")
    with pytest.raises(AssertionError, match="recorded"):
        replay.check(datetime.time(3, 4), datetime.time(3, 4, tzinfo=zone("A")))


def test_a_function_whose_name_its_module_binds_to_a_wrapper_of_it_is_that_function(mod):
    """The record names a function; loaded by that name, it is the wrapper
    the module binds there (``f = curry(f)``)."""
    function = mod.halve.func
    replay.check(function, mod.halve)
    replay.check([function], [functools.partial(function)])
    with pytest.raises(AssertionError, match="recorded partial"):
        replay.check(mod.apply_all, mod.halve)


def test_a_function_a_property_was_made_of_is_found_by_its_name(tmp_path, monkeypatch):
    (tmp_path / "rp_props.py").write_text(textwrap.dedent('''
        class classval_property(property):
            def __get__(self, obj, cls=None):
                return "read on the class" if obj is None else super().__get__(obj, cls)

        class Shape:
            @property
            def area(self):
                return 1

            @classval_property
            def label(self):
                return "shape"

            @property
            def sides(self):
                return 4

            @sides.setter
            def sides(self, value):
                raise AttributeError("attribute 'sides' is readonly")

            def plain(self):
                return 2

        class Square(Shape):
            pass
    '''))
    monkeypatch.syspath_prepend(str(tmp_path))
    sys.modules.pop("rp_props", None)
    import rp_props
    try:
        assert replay.resolve("rp_props.Shape.area") is rp_props.Shape.__dict__["area"].fget
        assert replay.resolve("rp_props.Shape.label") is rp_props.Shape.__dict__["label"].fget
        assert replay.resolve("rp_props.Shape.plain") is rp_props.Shape.plain
        # Named through a subclass, the name is not the function's own.
        assert isinstance(replay.resolve("rp_props.Square.area"), property)
        # A setter shares its getter's name: the call's arguments tell them apart.
        shape = replay.obj(rp_props.Shape)
        replay.run("rp_props.Shape.sides", args=(shape,)).check_returned(4)
        replay.run("rp_props.Shape.sides", args=(shape, 5)).check_raised(
            AttributeError("attribute 'sides' is readonly"))
    finally:
        sys.modules.pop("rp_props", None)


class _Elementwise:
    """Equality as arrays have it: elementwise, answered by an array."""

    def __init__(self, *values):
        self.values = values
        self.shape = (len(values),)

    def __eq__(self, other):
        return _Elementwise(*(a == b for a, b in zip(self.values, other.values)))

    def __bool__(self):
        raise ValueError("the truth value of an array is ambiguous")

    def all(self):
        return all(self.values)


def test_arrays_compare_by_shape_and_every_element():
    replay.check(_Elementwise(1, 2), _Elementwise(1, 2))
    with pytest.raises(AssertionError, match=r"3 != 2 \(recorded\)"):
        replay.check(_Elementwise(1, 3), _Elementwise(1, 2))
    with pytest.raises(AssertionError, match="recorded"):
        replay.check(_Elementwise(1, 2, 3), _Elementwise(1, 2))


def test_a_sentinel_default_recorded_as_an_argument_is_the_functions_own(mod):
    # The record holds the parameters' values, the default sentinel
    # included, which comes back as a new object().
    table = replay.obj(mod.Table, rows={}, _order=[])
    outcome = replay.run("rp_app.Table.pop", args=(table, "k", object()))
    outcome.check_raised(KeyError("k"))
    outcome = replay.run("rp_app.Table.pop", kwargs={"self": table, "key": "k",
                                                     "default": object()})
    outcome.check_raised(KeyError("k"))
    # A value the caller gave is not a sentinel of the function's.
    given = replay.run("rp_app.Table.pop", args=(table, "k", 5))
    given.check_returned(5)


def test_a_sentinel_of_a_class_of_its_own_stays_the_programs(mod):
    # ``seq=EMPTY`` with EMPTY an instance of a class without state: the
    # recorded argument and the recorded global are new instances of it.
    outcome = replay.run("rp_app.window", args=(2, replay.obj(mod._Empty)),
                         globals_used={"EMPTY": replay.obj(mod._Empty)})
    outcome.check_returned("none given")
    assert isinstance(mod.EMPTY, mod._Empty)
    outcome = replay.run("rp_app.window", args=(1, [4, 5]),
                         globals_used={"EMPTY": replay.obj(mod._Empty)})
    outcome.check_returned([4])
    # An instance with state is a value, never taken for the sentinel.
    stated = replay.obj(mod._Empty, mark=1)
    assert replay.run("rp_app.window", args=(1, stated)).raised is not None


def test_a_half_built_object_is_made_and_compared_by_its_state(mod):
    # A base class's initializer ran on a new instance of a subclass: its
    # state lacks what __setstate__ and __eq__ read (``_index``, ``_order``).
    half = replay.obj(mod.Half)
    assert vars(half) == {}
    outcome = replay.run("rp_app.Table.__init__", args=(half, {"a": 1}))
    outcome.check_returned(None)
    recorded = replay.obj(mod.Half, rows={"a": 1})
    assert vars(recorded) == {"rows": {"a": 1}}
    with pytest.raises(AssertionError, match=r"_order: .*not in the record"):
        replay.check(half, recorded)
    replay.check(half, replay.obj(mod.Half, rows={"a": 1}, _order=["a"]))


def test_a_private_method_is_found_by_the_name_its_class_body_wrote(mod):
    # Its code names it ``_Rule.__distance``; the class holds
    # ``_Rule__distance``.
    assert replay.resolve("rp_app._Rule.__distance") is mod._Rule._Rule__distance
    outcome = replay.run("rp_app._Rule.__distance", args=(mod._Rule(), 1, 10))
    outcome.check_returned(2)
    with pytest.raises(LookupError):
        replay.resolve("rp_app._Rule.__missing")


def test_a_secret_the_recorder_replaced_in_a_message_matches_any_text():
    # The recorder stores a secret it met verbatim in an exception's text
    # as the marker.
    outcome = replay.run("builtins.int", args=("hunter2",))
    outcome.check_raised(ValueError("invalid literal for int() with base 10: '<redacted>'"))
    with pytest.raises(AssertionError, match="exception arguments"):
        outcome.check_raised(ValueError("invalid literal for int() with base 16: '<redacted>'"))
    # A whole part it redacted (loaded from a data file as the marker)
    # matches anything; the other parts are still compared.
    from tarnwick_common.redaction import Redacted
    replay.check(Plain("x", [1]), replay.obj(Plain, a="x", b=Redacted()))
    with pytest.raises(AssertionError, match=r"\.a"):
        replay.check(Plain("y", [1]), replay.obj(Plain, a="x", b=Redacted()))


def test_a_context_manager_made_of_a_generator_loads_as_its_recorded_calls(tmp_path):
    """A data file holds the context manager contextlib.contextmanager made
    as its class and state, with the generator the recorder could not keep:
    it loads as an object whose entering and leaving give the recorded
    results, and in a compared value it passes whatever is there."""
    state = {"gen": None, "args": (1,), "kwds": {}}
    stream = (b"\x80\x04\x95\x00\x00\x00\x00\x00\x00\x00\x00"
              b"ccontextlib\n_GeneratorContextManager\n)\x81" + pickle.dumps(state)[2:-1]
              + b"b.")
    path = tmp_path / "data.pickle"
    path.write_bytes(b"# header\n" + pickle.dumps({"case": {"external_0_return_value": stream}}))
    loaded = replay.load(str(path), "case", "external_0_return_value")
    assert isinstance(loaded, replay.recorded_object)
    assert loaded._tw_type == "contextlib._GeneratorContextManager"
    replay.check(open, loaded)


@pytest.mark.parametrize("loaded", [False, True])
def test_a_described_context_manager_of_a_generator_decorates_functions(tmp_path, loaded):
    """As contextlib's own: the function it decorates runs inside it, at
    each call, entering and leaving by the recorded results."""
    if loaded:
        path = tmp_path / "data.pickle"
        stream = (b"\x80\x04ccontextlib\n_GeneratorContextManager\n)\x81}b.")
        path.write_bytes(b"# header\n" + pickle.dumps({"case": {"cm": stream}}))
        cm = replay.load(str(path), "case", "cm")
    else:
        cm = replay.recorded_object("contextlib._GeneratorContextManager")
    assert not callable(replay.recorded_object("io.TextIOWrapper"))

    def double(x):
        """Twice x."""
        return 2 * x

    wrapped = cm(double)
    assert (wrapped.__name__, wrapped.__doc__) == ("double", "Twice x.")
    entered = []

    class Running:
        def method_call(self, obj, method):
            entered.append((obj, method))
            return None

    replay._RUNNING.append(Running())
    try:
        assert wrapped(4) == 8
    finally:
        replay._RUNNING.pop()
    assert entered == [(cm, "__enter__"), (cm, "__exit__")]


def test_a_handed_library_callable_gives_its_recorded_results_in_its_turns(mod):
    floor = replay.handed("math.floor")
    recorded = [replay.returns("math.floor", 7), replay.returns("math.floor", 8)]
    outcome = replay.run("rp_app.apply_all", args=(floor, [1.5, 2.5]), external=recorded)
    outcome.check_returned([7, 8])
    # It compares as the callable it stands for.
    outcome.check_arguments((replay.handed("math.floor"), [1.5, 2.5]), {})
    outcome.check_arguments((math.floor, [1.5, 2.5]), {})
    # Its recorded calls are waited for: one the function does not make fails.
    with pytest.raises(AssertionError, match=r"did not make .*math\.floor"):
        replay.run("rp_app.apply_all", args=(floor, [1.5]), external=recorded)
    # Outside a replay, or called by a library, it is the callable itself;
    # a class is handed as itself.
    assert floor(2.5) == 2 and sorted([2.5, 1.2], key=floor) == [1.2, 2.5]
    assert replay.handed("collections.OrderedDict") is collections.OrderedDict


def test_the_standard_librarys_frozen_modules_are_not_the_project(mod, tmp_path, monkeypatch):
    # On 3.11+ posixpath's code names no file ("<frozen posixpath>"): run
    # from inside the project, it once counted as the project's, so the
    # os.fspath that os.path.join calls took the recorded turn.
    monkeypatch.chdir(tmp_path)
    fspath = replay.full_name_of(os.fspath)
    outcome = replay.run("rp_app.joined_path", args=("a", "b"), external=[
        replay.returns(fspath, "recorded"), replay.returns("posixpath.join", "a/b")])
    outcome.check_returned("a/b")
