"""What Pickler.dump reads before writing: the pickler's attributes and the
subclass's reducer_override however a subclass provides them, the per-dump
hook, which must never come back to life once its dump is over, and the
modules of the classes it writes by name."""
import copyreg
import io
import pickle
import threading

import pytest

from tarnwick_collector.data_serialization import tarn_pickle

LOCK = threading.Lock()


class Point:
    def __init__(self, x, y):
        self.x = x
        self.y = y

    def __eq__(self, other):
        return type(other) is Point and (other.x, other.y) == (self.x, self.y)


def marked(mark):
    """A failure reducer writing `mark` for every object that fails."""
    return lambda obj: (str, (mark,))


def swap(point):
    return Point, (point.y, point.x)


def dumps(pickler_cls, value, **kwargs):
    kwargs.setdefault("failure_reducer", marked("init"))
    buffer = io.BytesIO()
    pickler_cls(buffer, **kwargs).dump(value)
    return tarn_pickle.loads(buffer.getvalue())


def override_swapping(self, obj):
    assert isinstance(self, tarn_pickle.Pickler)
    return swap(obj) if type(obj) is Point else NotImplemented


class PropertyReducer(tarn_pickle.Pickler):
    failure_reducer = property(lambda self: marked("property"),
                               lambda self, value: None)


class GetattrReducer(tarn_pickle.Pickler):
    def __getattribute__(self, name):
        if name == "failure_reducer":
            return marked("getattribute")
        return super().__getattribute__(name)


class PropertyTable(tarn_pickle.Pickler):
    dispatch_table = property(lambda self: {Point: swap})


class FunctionOverride(tarn_pickle.Pickler):
    reducer_override = override_swapping


class StaticOverride(tarn_pickle.Pickler):
    reducer_override = staticmethod(
        lambda obj: swap(obj) if type(obj) is Point else NotImplemented)


class BoundOnInstance(tarn_pickle.Pickler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.reducer_override = self.swapping

    def swapping(self, obj):
        return override_swapping(self, obj)


CASES = {
    "failure_reducer property": (PropertyReducer, ["property"]),
    "failure_reducer by __getattribute__": (GetattrReducer, ["getattribute"]),
    "dispatch_table property": (PropertyTable, [Point(2, 1), "init"]),
    "reducer_override function": (FunctionOverride, [Point(2, 1), "init"]),
    "reducer_override staticmethod": (StaticOverride, [Point(2, 1), "init"]),
    "reducer_override bound on the instance": (BoundOnInstance,
                                               [Point(2, 1), "init"]),
}


@pytest.mark.parametrize("pickler_cls, expected", CASES.values(),
                         ids=CASES.keys())
def test_what_a_subclass_provides_is_read_as_attribute_access_gives_it(
        pickler_cls, expected):
    value = [Point(1, 2), LOCK] if len(expected) == 2 else [LOCK]
    assert dumps(pickler_cls, value) == expected


def test_dispatch_table_of_the_c_pickler_slot_and_of_copyreg():
    copyreg.pickle(Point, lambda p: (Point, ("global", "table")))
    try:
        assert dumps(tarn_pickle.Pickler, Point(1, 2)) == Point("global",
                                                                "table")
        buffer = io.BytesIO()
        pickler = tarn_pickle.Pickler(buffer, failure_reducer=marked("x"))
        pickler.dispatch_table = {Point: swap}
        pickler.dump(Point(1, 2))
        assert tarn_pickle.loads(buffer.getvalue()) == Point(2, 1)
    finally:
        del copyreg.dispatch_table[Point]


class Keeping(tarn_pickle.Pickler):
    """Keeps the hook in place during its dumps, and lets a test call a
    hook kept earlier from inside a later dump."""

    kept = []
    during = None

    def reducer_override(self, obj):
        Keeping.kept.append(vars(self)["reducer_override"])
        if Keeping.during is not None:
            Keeping.during()
        return NotImplemented


def test_a_hook_kept_after_its_dump_never_acts_again():
    Keeping.kept.clear()
    assert dumps(Keeping, [Point(1, 2)]) == [Point(1, 2)]
    old = Keeping.kept[0]
    assert old(Point(1, 2)) is NotImplemented
    answers = []
    Keeping.during = lambda: answers.append(old(Point(3, 4)))
    try:
        for _ in range(3):
            assert dumps(Keeping, [Point(1, 2), LOCK]) == [Point(1, 2), "init"]
    finally:
        Keeping.during = None
    assert answers and all(a is NotImplemented for a in answers)
    # One hook per dump: the one kept from the first is never reused.
    assert len({id(h) for h in Keeping.kept}) == 4


# ------------------------------------------------ classes written by name


def module_with_class(monkeypatch, dotted):
    """A module `dotted` in sys.modules (its packages too) holding a class
    `Thing` that names it as its module."""
    import sys
    import types

    parts = dotted.split(".")
    for i in range(1, len(parts) + 1):
        name = ".".join(parts[:i])
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name))
    module = sys.modules[dotted]
    thing = type("Thing", (), {"__module__": dotted})
    module.Thing = thing
    return thing


@pytest.mark.parametrize("dotted", ["tw_setup_flat", "tw_setup_pkg.inner"])
def test_class_of_an_imported_module_is_written_by_name(dotted, monkeypatch):
    thing = module_with_class(monkeypatch, dotted)
    loaded = dumps(tarn_pickle.Pickler, [thing(), thing])
    assert type(loaded[0]) is thing and loaded[1] is thing


@pytest.mark.parametrize("missing", ["module", "top package", "None entry"])
def test_class_whose_module_cannot_be_imported_again_is_replaced(
        missing, monkeypatch):
    import sys

    thing = module_with_class(monkeypatch, "tw_setup_gone.inner")
    if missing == "module":
        monkeypatch.delitem(sys.modules, "tw_setup_gone.inner")
    elif missing == "top package":
        monkeypatch.delitem(sys.modules, "tw_setup_gone")
    else:
        monkeypatch.setitem(sys.modules, "tw_setup_gone.inner", None)
    assert dumps(tarn_pickle.Pickler, [thing, 1]) == ["init", 1]


def test_a_replaced_import_function_is_called_for_each_module(monkeypatch):
    import builtins

    thing = module_with_class(monkeypatch, "tw_setup_hooked.inner")
    original = builtins.__import__
    names = []

    def recording(name, *args, **kwargs):
        names.append(name)
        return original(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", recording)
    assert dumps(tarn_pickle.Pickler, [thing]) == [thing]
    monkeypatch.undo()
    assert "tw_setup_hooked.inner" in names


def test_module_state_the_import_system_reads_is_read_as_it_reads_it(
        monkeypatch):
    import types

    thing = module_with_class(monkeypatch, "tw_setup_odd")
    module = __import__("sys").modules["tw_setup_odd"]
    asked = []

    def module_getattr(name):
        asked.append(name)
        raise AttributeError(name)

    # No __spec__ of its own: the import system asks the module's
    # __getattr__ for it at each import, of which the check made before the
    # class is written is one more than stock pickling and loading make.
    del module.__spec__
    module.__getattr__ = module_getattr
    assert pickle.loads(pickle.dumps([thing])) == [thing]
    stock = asked.count("__spec__")
    asked.clear()
    assert dumps(tarn_pickle.Pickler, [thing]) == [thing]
    assert stock > 0 and asked.count("__spec__") == stock + 1
    # A spec marked as still initializing: the class is still found.
    module.__spec__ = types.SimpleNamespace(_initializing=True, name="x")
    del module.__getattr__
    assert dumps(tarn_pickle.Pickler, [thing]) == [thing]


class Outer:
    class Inner:
        pass


def local_class():
    class Local:
        pass
    return Local


KEEP = object()


def renamed(qualname=KEEP, module=KEEP):
    cls = type("Renamed", (), {})
    if qualname is not KEEP:
        cls.__qualname__ = qualname
    if module is not KEEP:
        cls.__module__ = module
    return cls


NAMED = {
    "top level": Point,
    "nested": Outer.Inner,
    "local": local_class(),
    "qualname found elsewhere": renamed("Outer"),
    "qualname missing": renamed("Nowhere"),
    "nested qualname missing": renamed("Outer.Nowhere"),
    "module None": renamed("Point", None),
    "module elsewhere": renamed("Point", "copyreg"),
    "module missing": renamed("Point", "tw_setup_no_such_module"),
    "builtin class": dict,
}


@pytest.mark.parametrize("cls", NAMED.values(), ids=NAMED.keys())
def test_classes_are_written_by_name_exactly_when_stock_pickling_can(cls):
    try:
        pickle.dumps(cls)
    except (pickle.PicklingError, AttributeError, TypeError):
        expected = "init"
    else:
        expected = cls
    assert dumps(tarn_pickle.Pickler, [cls]) == [expected]


# ---------------------------------------- reduce values named __newobj__


def make_new(cls, *args):
    return cls.__new__(cls)


class Made:
    right = True

    def __reduce__(self):
        return make_new, (Made if self.right else Point,)


def name_of(kind):
    return {"literal": "__newobj__", "built": "".join(["__new", "obj__"]),
            "other": "make_new"}[kind]


@pytest.mark.parametrize("kind", ["literal", "built", "other"])
@pytest.mark.parametrize("right", [True, False])
def test_a_callable_named_newobj_is_checked_as_the_c_pickler_uses_it(
        kind, right, monkeypatch):
    # The C pickler writes NEWOBJ for any callable of that name, which
    # needs the object's own class as its first argument.
    monkeypatch.setattr(make_new, "__name__", name_of(kind))
    made = Made()
    made.right = right
    loaded = dumps(tarn_pickle.Pickler, [made, 1])
    if kind == "other":  # a plain call: make_new(Point) makes a Point
        assert type(loaded[0]) is (Made if right else Point)
    elif right:
        assert type(loaded[0]) is Made
    else:
        assert loaded[0] == "init"
    assert loaded[1] == 1
