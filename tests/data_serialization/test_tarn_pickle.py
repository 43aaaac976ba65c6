"""The base pickler: the C pickler that writes a failure reducer's value in
place of objects that fail, and lets refusals through."""
import copyreg
import io
import pickle
import socket
import sys
import threading

import pytest

from tarnwick_collector.data_serialization import tarn_pickle
from tarnwick_collector.exceptions import ProblematicPickleException


class Placeholder:
    """What the tests' failure reducer writes for an object that failed."""

    def __init__(self, type_name):
        self.type_name = type_name

    def __eq__(self, other):
        return type(other) is Placeholder and other.type_name == self.type_name

    def __hash__(self):
        return hash(self.type_name)

    def __repr__(self):
        return f"Placeholder({self.type_name!r})"


failed = []


def failure_reducer(obj):
    failed.append(obj)
    return Placeholder, (type(obj).__name__,)


@pytest.fixture(autouse=True)
def _clear_failed():
    failed.clear()


def dumps(obj, pickler_cls=tarn_pickle.Pickler, **kwargs):
    kwargs.setdefault("failure_reducer", failure_reducer)
    buffer = io.BytesIO()
    pickler_cls(buffer, **kwargs).dump(obj)
    return buffer.getvalue()


def round_trip(obj, **kwargs):
    return tarn_pickle.loads(dumps(obj, **kwargs))


class HashCountingKey:
    """A dict key whose __hash__ is the program's: counts its calls."""

    calls = 0

    def __hash__(self):
        type(self).calls += 1
        return 7


class Point:
    def __init__(self, x, y):
        self.x = x
        self.y = y

    def __eq__(self, other):
        return type(other) is Point and vars(other) == vars(self)


class Slotted:
    __slots__ = ("a", "b")

    def __init__(self, a, b):
        self.a = a
        self.b = b


class Refusing(Point):
    """Refused by RefusingPickler."""


class RefusedUnpicklable(Point):
    """Refused by RefusingPickler, and unpicklable anyway: it refuses
    pickling with the standard library's code, as a socket does."""

    __getstate__ = socket.socket.__getstate__


class RefusedWithSideEffects(Point):
    """Refused by RefusingPickler; its pickling methods record each call
    (and would fail, as RefusedUnpicklable's do)."""

    calls = []

    def __reduce__(self):
        RefusedWithSideEffects.calls.append("__reduce__")
        raise TypeError("cannot pickle 'RefusedWithSideEffects' object")

    def __getstate__(self):
        RefusedWithSideEffects.calls.append("__getstate__")
        self.x = "changed"
        raise TypeError("cannot pickle 'RefusedWithSideEffects' object")


class RefusingPickler(tarn_pickle.Pickler):
    """Refuses the two classes above, as the safe pickler refuses objects."""

    def reducer_override(self, obj):
        if type(obj) in (Refusing, RefusedUnpicklable, RefusedWithSideEffects):
            raise ProblematicPickleException(f"'{type(obj)}' cant be pickled")
        return NotImplemented


class Session:
    """Stands for a class that special_cases names."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def only_session(cls):
    return cls is Session


def local_function():
    def inner():
        return 1

    return inner


def local_class():
    class Local:
        def __init__(self):
            self.value = 1

    return Local


LOCK = threading.Lock()


class ReducesToMissingName:
    def __reduce__(self):
        return "no_such_global_name"


class ReducesToSingleton:
    def __reduce__(self):
        return "SINGLETON"


SINGLETON = ReducesToSingleton()


VALUES = [
    None, True, 7, 2 ** 80, 1.5, "text", b"bytes", bytearray(b"ba"),
    [1, [2, [3]]], (1, (2,)), {"a": {"b": 1}}, {1, 2}, frozenset({3}),
    Point(1, [2, 3]), complex(1, 2), range(3), Point,
    len, pickle.dumps, copyreg.__newobj__, type(None), type(...),
]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("value", VALUES, ids=lambda v: type(v).__name__)
def test_values_stock_pickle_writes_come_out_byte_for_byte(value, protocol):
    expected = pickle.dumps(value, protocol)
    assert dumps(value, protocol=protocol) == expected
    assert dumps(value, protocol=protocol, failure_reducer=None) == expected
    assert failed == []


@pytest.mark.parametrize("protocol", [None, -1])
def test_protocol_none_and_negative_as_pickle(protocol):
    value = {"p": Point(1, 2)}
    assert dumps(value, protocol=protocol) == pickle.dumps(value, protocol)


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_slotted_instance_round_trips(protocol):
    back = round_trip(Slotted(1, [2]), protocol=protocol)
    assert (back.a, back.b) == (1, [2])


@pytest.mark.parametrize("protocol", [0, 1])
def test_slotted_instance_replaced_where_stock_pickle_refuses_it(protocol):
    back = round_trip([Slotted(1, [2]), 3], protocol=protocol)
    assert back == [Placeholder("Slotted"), 3]


@pytest.mark.parametrize(
    "make_refused",
    [
        lambda: threading.Lock(),
        lambda: open(__file__),
        lambda: (i for i in range(3)),
        local_function,
        lambda: (lambda: 1),
        lambda: socket.socket(),
        local_class,
        lambda: local_class()(),
        lambda: ReducesToMissingName(),
    ],
    ids=["lock", "file", "generator", "local function", "lambda", "socket",
         "local class", "instance of local class", "reduce to missing name"],
)
def test_refused_object_replaced_at_any_depth_rest_intact(make_refused):
    refused = make_refused()
    try:
        value = {
            "top": refused,
            "list": [1, refused, 2],
            "tuple": (refused, "t"),
            "deep": [[[{"k": (0, Point(refused, [refused, 3]))}]]],
            "ints": list(range(1000)),
        }
        back = round_trip(value)
    finally:
        if hasattr(refused, "close"):
            refused.close()
    placeholder = Placeholder(type(refused).__name__)
    assert back["top"] == placeholder
    assert back["list"] == [1, placeholder, 2]
    assert back["tuple"] == (placeholder, "t")
    point = back["deep"][0][0][0]["k"][1]
    assert point.x == placeholder and point.y == [placeholder, 3]
    assert back["ints"] == list(range(1000))
    # One object, one replacement: the later references are memo hits.
    assert failed == [refused]
    assert back["list"][1] is back["top"] is point.y[0]


def test_refused_hashable_object_in_set_and_dict_key():
    back = round_trip({"set": {LOCK, 1}, "keys": {LOCK: "v", 2: "w"}})
    assert back["set"] == {Placeholder("lock"), 1}
    assert back["keys"] == {Placeholder("lock"): "v", 2: "w"}


def test_list_holding_one_lock_and_many_ints_loses_only_the_lock():
    value = list(range(1000)) + [threading.Lock()] + list(range(1000))
    back = round_trip(value)
    assert back == list(range(1000)) + [Placeholder("lock")] + list(range(1000))


def test_failure_after_frames_were_flushed_to_the_file():
    # Far more than one 64 KiB frame is written before the lock is reached.
    value = [str(i) * 20 for i in range(20000)] + [LOCK]
    back = round_trip(value)
    assert back[:-1] == value[:-1]
    assert back[-1] == Placeholder("lock")


class RaisingReduce:
    def __init__(self, exc):
        self.exc = exc

    def __reduce__(self):
        raise self.exc


class BadReduce:
    def __init__(self, rv):
        self.rv = rv

    def __reduce__(self):
        return self.rv


def _items_then_error():
    yield 1
    raise ValueError("iteration broke")


def _pairs_then_error():
    yield ("a", 1)
    raise ValueError("iteration broke")


@pytest.mark.parametrize(
    "obj",
    [
        RaisingReduce(ValueError("no")),
        RaisingReduce(TypeError("no")),
        BadReduce(42),
        BadReduce((list,)),
        BadReduce((1, ())),
        BadReduce((list, [])),
        BadReduce((list, (), None, [1])),
        BadReduce((list, (), None, _items_then_error())),
        BadReduce((dict, (), None, None, _pairs_then_error())),
        BadReduce((dict, (), None, None, iter([("a", 1), "no pair"]))),
        BadReduce((dict, (), None, None, None, 5)),
        BadReduce((copyreg.__newobj__, ())),
        BadReduce((copyreg.__newobj__, (5,))),
        BadReduce((copyreg.__newobj__, (Point,))),
        BadReduce((local_function(), ())),
        BadReduce((local_class(), ())),
    ],
    ids=["raises ValueError", "raises TypeError", "not a tuple",
         "one item", "callable not callable", "arguments not a tuple",
         "list items not an iterator", "list items iterator raises",
         "dict items iterator raises", "dict items not pairs",
         "state setter not callable", "empty __newobj__ arguments",
         "__newobj__ of a non-class", "__newobj__ of another class",
         "local function as callable", "local class as callable"],
)
def test_object_whose_reduction_fails_is_replaced_whole(obj):
    back = round_trip(["before", obj, "after"])
    assert back == ["before", Placeholder(type(obj).__name__), "after"]
    assert failed == [obj]


class ReducesToItself:
    def __reduce__(self):
        return (ReducesToItself.rebuild, (self,))

    @staticmethod
    def rebuild(obj):
        return obj


def test_reduce_arguments_holding_the_object_replace_it():
    obj = ReducesToItself()
    assert round_trip([obj, 1]) == [Placeholder("ReducesToItself"), 1]


def test_list_and_dict_items_of_a_reduce_value_are_kept():
    class_items = BadReduce((dict, (), None, None, iter([("a", 1), ("b", 2)])))
    list_items = BadReduce((list, (), None, iter([1, LOCK, 3])))
    back = round_trip([class_items, list_items])
    assert back == [{"a": 1, "b": 2}, [1, Placeholder("lock"), 3]]


def test_reduce_to_a_global_name():
    back = round_trip([SINGLETON, SINGLETON])
    assert back[0] is SINGLETON and back[1] is SINGLETON


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_exceptions_that_are_not_exception_subclasses_leave_dump(exc_type):
    with pytest.raises(exc_type):
        dumps([1, RaisingReduce(exc_type())])
    assert failed == []


@pytest.mark.parametrize(
    "value",
    [
        Refusing(1, 2),
        [1, 2, Refusing(1, 2)],
        {"a": {"b": (Refusing(1, 2),)}},
        Point(1, [Point(2, Refusing(3, 4))]),
        {"s": [Session(inner=[1])], "x": Refusing(1, 2)},
    ],
    ids=["top", "list", "dict", "object state", "after a special instance"],
)
def test_problematic_pickle_exception_propagates_from_any_depth(value):
    with pytest.raises(ProblematicPickleException) as info:
        dumps(value, RefusingPickler, special_cases=only_session)
    assert str(info.value).split("'")[2] == f"{__name__}.Refusing"
    assert failed == []


def test_refusal_of_an_object_unpicklable_anyway_is_a_failure():
    back = round_trip([RefusedUnpicklable(1, 2), 3], pickler_cls=RefusingPickler)
    assert back == [Placeholder("RefusedUnpicklable"), 3]


def test_refused_objects_pickling_methods_never_run():
    # Whether a refused object could be written anyway is found out only
    # where that runs none of the program's code: the program's own
    # __reduce__ or __getstate__ of a refused object never runs, at the
    # top or at any depth, and the refusal stands.
    RefusedWithSideEffects.calls.clear()
    refused = RefusedWithSideEffects(1, 2)
    for value in (refused, [1, {"k": (refused,)}], Point(0, refused)):
        with pytest.raises(ProblematicPickleException):
            dumps(value, RefusingPickler)
    assert RefusedWithSideEffects.calls == []
    assert (refused.x, failed) == (1, [])


class Holder:
    """Fails to pickle; its failure replacement carries its attributes."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)

    def __reduce__(self):
        raise TypeError("cannot pickle 'Holder' object")


def reduce_with_attributes(obj):
    failed.append(obj)
    return Placeholder, (type(obj).__name__,), dict(getattr(obj, "__dict__", {}))


def test_refusal_inside_a_failure_replacement_is_contained():
    holder = Holder(model=Refusing(1, 2), n=1)
    back = round_trip([holder, 3], pickler_cls=RefusingPickler,
                      failure_reducer=reduce_with_attributes)
    assert back[0] == Placeholder("Holder") and (back[0].n, back[1]) == (1, 3)
    assert back[0].model == Placeholder("Refusing")
    assert (back[0].model.x, back[0].model.y) == (1, 2)
    # Outside the replacement a refusal still leaves the dump.
    with pytest.raises(ProblematicPickleException):
        dumps([holder, Refusing(3, 4)], RefusingPickler,
              failure_reducer=reduce_with_attributes)


def test_double_failure_inside_a_failure_replacement_writes_none():
    def reducer(obj):
        if isinstance(obj, Holder):
            return Placeholder, ("Holder",), {"lock": obj.lock, "n": obj.n}
        raise LookupError("no replacement")

    back = round_trip(Holder(lock=LOCK, n=2), failure_reducer=reducer)
    assert (back.lock, back.n) == (None, 2)


def test_object_graph_deeper_than_the_recursion_limit_ends_in_a_replacement():
    head = node = Point(0, None)
    for i in range(1, 5000):
        node.y = Point(i, None)
        node = node.y
    with pytest.raises(RecursionError):
        pickle.dumps(head)
    back = round_trip([head, "after"], failure_reducer=reduce_with_attributes)
    depth, node = 0, back[0]
    while type(node) is Point:
        depth, node = depth + 1, node.y
    assert 100 < depth < 5000
    # The replacement is written without its state, so it goes no deeper.
    assert node == Placeholder("Point") and not hasattr(node, "x")
    assert back[1] == "after"
    assert len(failed) == 1


class ExplodingOverride(tarn_pickle.Pickler):
    def reducer_override(self, obj):
        if isinstance(obj, Point):
            raise RuntimeError("override broke")
        return NotImplemented


def test_other_errors_of_reducer_override_are_failures():
    back = round_trip([Point(1, 2), Slotted(1, 2)], pickler_cls=ExplodingOverride)
    assert back[0] == Placeholder("Point")
    assert (back[1].a, back[1].b) == (1, 2)


class CountingPickler(tarn_pickle.Pickler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.seen = []

    def reducer_override(self, obj):
        self.seen.append(obj)
        return NotImplemented


@pytest.mark.parametrize("failure", [failure_reducer, None])
def test_reducer_override_sees_each_object_once_that_the_c_pickler_asks_about(failure):
    point = Point(1, 2)
    value = [point, point, 5, "s", (1,), {"k": [point]}, Point]
    pickler = CountingPickler(io.BytesIO(), failure_reducer=failure)
    pickler.dump(value)
    assert pickler.seen == [point, Point]


class ReplacingPickler(tarn_pickle.Pickler):
    """Writes every Point through a reduce value of its own."""

    def reducer_override(self, obj):
        if type(obj) is Point:
            return Point, (obj.y, obj.x)
        if obj is LOCK:
            return local_function(), ()
        return NotImplemented


def test_reduce_values_of_reducer_override_are_written_and_checked():
    back = round_trip([Point(1, 2), LOCK], pickler_cls=ReplacingPickler)
    assert back == [Point(2, 1), Placeholder("lock")]


def test_dispatch_table_set_on_the_instance_is_honoured():
    copyreg.pickle(Point, lambda p: (Point, ("global", "table")))
    try:
        buffer = io.BytesIO()
        pickler = tarn_pickle.Pickler(buffer, failure_reducer=failure_reducer)
        pickler.dispatch_table = {
            Slotted: lambda s: (Point, (s.a, s.b)),
            Session: lambda s: 1 / 0,
        }
        pickler.dump([Point(1, 2), Slotted(3, 4), Session()])
        back = tarn_pickle.loads(buffer.getvalue())
        assert back == [Point(1, 2), Point(3, 4), Placeholder("Session")]
        # Without an instance table, copyreg's is in force.
        assert round_trip(Point(1, 2)) == Point("global", "table")
    finally:
        del copyreg.dispatch_table[Point]


def test_failure_reducer_failing_fails_the_dump_with_the_original_error():
    def broken(obj):
        raise LookupError("reducer broke")

    with pytest.raises(TypeError, match="cannot pickle '_thread.lock'") as info:
        dumps([1, LOCK], failure_reducer=broken)
    assert isinstance(info.value.__context__, LookupError)


def test_failure_reducer_returning_an_unusable_value_fails_the_dump():
    with pytest.raises(TypeError, match="_thread.lock"):
        dumps([LOCK], failure_reducer=lambda obj: "no_such_global_name")


def test_without_failure_reducer_errors_are_the_standard_ones():
    with pytest.raises(TypeError, match="_thread.lock"):
        dumps([LOCK], failure_reducer=None)


class TestSpecialCases:
    def test_refusal_inside_a_special_instance_is_replaced(self):
        session = Session(model=Refusing(1, 2), rows=[Point(3, [Refusing(5, 6)])],
                          lock=LOCK)
        back = round_trip([session, 7], pickler_cls=RefusingPickler,
                          special_cases=only_session)
        restored = back[0]
        assert type(restored) is Session and back[1] == 7
        assert restored.model == Placeholder("Refusing")
        assert restored.rows[0].y == [Placeholder("Refusing")]
        assert restored.lock == Placeholder("lock")

    def test_refused_special_instance_itself_is_replaced(self):
        class SpecialRefusing(RefusingPickler):
            def reducer_override(self, obj):
                if type(obj) is Session:
                    raise ProblematicPickleException("'<class 'Session'>' no")
                return NotImplemented

        back = round_trip([Session()], pickler_cls=SpecialRefusing,
                          special_cases=only_session)
        assert back == [Placeholder("Session")]

    def test_double_failure_inside_a_special_instance_writes_none(self):
        def broken(obj):
            raise LookupError("reducer broke")

        back = round_trip(Session(lock=LOCK, n=1), failure_reducer=broken,
                          special_cases=only_session)
        assert (back.lock, back.n) == (None, 1)

    def test_special_cases_asked_once_per_class_and_only_on_errors(self):
        asked = []

        def special(cls):
            asked.append(cls)
            return cls is Session

        dumps(Session(p=Point(1, 2)), RefusingPickler, special_cases=special)
        assert asked == []
        value = Session(a=Refusing(1, 2), b=Point(0, Refusing(3, 4)))
        dumps(value, RefusingPickler, special_cases=special)
        assert asked.count(Session) == 1

    def test_special_cases_raising_counts_as_false(self):
        def broken(cls):
            raise AttributeError("no __name__")

        with pytest.raises(ProblematicPickleException):
            dumps(Session(a=Refusing(1, 2)), RefusingPickler,
                  special_cases=broken)


class TestRecursion:
    def test_self_referencing_containers(self):
        lst = [1]
        lst.append(lst)
        dct = {"lock": LOCK}
        dct["self"] = dct
        back = round_trip([lst, dct])
        assert back[0][1] is back[0]
        assert back[1]["self"] is back[1]
        assert back[1]["lock"] == Placeholder("lock")

    def test_object_cycle_through_a_failed_object(self):
        a = Point(1, None)
        b = Point(a, threading.Lock())
        a.y = b
        back = round_trip(a)
        assert back.y.x is back
        assert back.y.y == Placeholder("lock")

    def test_failed_object_referenced_from_its_own_state(self):
        def reduce_with_state(obj):
            return Placeholder, ("holder",), {"me": obj, "items": [obj]}

        holder = RaisingReduce(ValueError("no"))
        back = round_trip([holder, holder], failure_reducer=reduce_with_state)
        assert back[0] is back[1]
        assert back[0].me is back[0] and back[0].items[0] is back[0]

    def test_recursive_tuple_through_an_object(self):
        point = Point(1, None)
        point.y = (point, LOCK)
        back = round_trip(point)
        assert back.y[0] is back and back.y[1] == Placeholder("lock")


def test_pickler_keeps_the_standard_interface():
    buffer = io.BytesIO()
    pickler = CountingPickler(buffer, 2, failure_reducer=failure_reducer)
    assert isinstance(pickler, pickle.Pickler)
    pickler.dump(Point(1, 2))
    pickler.dump(Point(1, 2))
    buffer.seek(0)
    assert tarn_pickle.load(buffer) == Point(1, 2)
    # Between dumps the subclass's own reducer_override is in place again.
    assert pickler.reducer_override(LOCK) is NotImplemented
    assert "reducer_override" not in vars(pickler)


def test_loads_undoes_dumps():
    value = {"p": [Point(1, 2), LOCK]}
    data = tarn_pickle.dumps(value, failure_reducer=failure_reducer)
    assert tarn_pickle.loads(data) == {"p": [Point(1, 2), Placeholder("lock")]}


class TestPickleBuffers:
    """The C pickler writes pickle buffers without asking the hook; those
    it fails on are replaced when the file has not been written to yet."""

    def test_buffer_below_protocol_5_is_replaced(self):
        buffer = pickle.PickleBuffer(b"abc")
        value = [1, {"b": buffer, "again": buffer}, Point(buffer, 2)]
        back = round_trip(value, protocol=4)
        assert back[0] == 1 and back[1]["b"] == Placeholder("PickleBuffer")
        assert back[2].x == Placeholder("PickleBuffer") and back[2].y == 2
        assert failed == [buffer]

    def test_buffers_protocol_5_writes_are_stock_and_failing_ones_replaced(self):
        value = [pickle.PickleBuffer(b"abc"), 2]
        assert dumps(value, protocol=5) == pickle.dumps(value, protocol=5)
        released = pickle.PickleBuffer(bytearray(b"xyz"))
        released.release()
        strided = pickle.PickleBuffer(memoryview(b"abcdef")[::2])
        back = round_trip([released, strided, 3], protocol=5)
        assert back == [Placeholder("PickleBuffer")] * 2 + [3]

    def test_a_dump_made_again_runs_no_hash_of_the_program(self):
        # The copies of the redo keep a key's stored hash; where the
        # interpreter no longer hands it out (3.13), a key only the
        # program can hash ends the redo rather than be hashed again.
        key = HashCountingKey()
        value = {key: pickle.PickleBuffer(b"abc"), "plain": 1}
        HashCountingKey.calls = 0
        if sys.version_info < (3, 13):
            data = dumps(value, protocol=4)
            assert HashCountingKey.calls == 0
            back = tarn_pickle.loads(data)
            assert sorted(map(repr, back.values())) == [
                "1", repr(Placeholder("PickleBuffer"))]
        else:
            with pytest.raises(pickle.PicklingError):
                dumps(value, protocol=4)
            assert HashCountingKey.calls == 0
        value = {"plain": pickle.PickleBuffer(b"abc")}
        assert round_trip(value, protocol=4) == {
            "plain": Placeholder("PickleBuffer")}

    def test_failure_after_the_file_got_bytes_leaves_dump(self):
        # A dump made again would repeat what the file holds already.
        value = [b"x" * 100_000, pickle.PickleBuffer(b"abc")]
        with pytest.raises(pickle.PicklingError):
            dumps(value, protocol=4)
        assert failed == []


def test_dumps_give_back_every_reference():
    """Replaced objects, their classes, the answers of a subclass's
    reducer_override and the copies of a dump made again without its
    pickle buffers: once the dumps have ended the pickler holds none of
    them."""
    lock = threading.Lock()

    class Answering(tarn_pickle.Pickler):
        def reducer_override(self, obj):
            if obj is Placeholder:
                return NotImplemented
            if isinstance(obj, Placeholder):
                return Placeholder, ("answered",)
            return NotImplemented

    value = {"lock": lock, "list": [lock, (lock, 1)],
             "buffer": pickle.PickleBuffer(b"abc"),
             "placeholder": Placeholder("kept")}
    watched = [lock, type(lock), value["buffer"], value["placeholder"]]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        for cls in (tarn_pickle.Pickler, Answering):
            for protocol in (4, 5):
                cls(io.BytesIO(), protocol,
                    failure_reducer=failure_reducer).dump(value)
    failed.clear()
    assert [sys.getrefcount(o) for o in watched] == before
