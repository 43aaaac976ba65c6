"""The wrap functions, get_attributes_value, the by-name classes and the
failure reducer of the safe pickler."""
import os
import pickle
import sys
import threading
import types

import jsonpickle.unpickler
import pytest

from tarnwick_collector.data_serialization import pickler
from tarnwick_common.utils.object_wrapper import (
    ExceptionWrapper,
    FunctionWrapper,
    ModuleWrapper,
    ObjectWrapper,
    SpecialWrapper,
    UnpicklableObject,
)

Helpers = pickler.UnpicklableHelpers
HERE = __name__


class Gadget:
    kind = "gadget"                 # plain class attribute, not shadowed
    shadowed = "class value"

    def __init__(self):
        self.count = 3
        self.shadowed = "own value"
        self._private = "p"
        self.callback = len         # a native function stored on the instance
        self.stored = plain_function

    @property
    def doubled(self):
        return self.count * 2

    @property
    def broken(self):
        raise RuntimeError("getter fails")

    @property
    def missing(self):
        raise AttributeError("not here")

    def run(self):
        return self.count

    @classmethod
    def build(cls):
        return cls()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def plain_function():
    return 1


# ------------------------------------------------------------ wrap functions


def test_wrap_functions_build_the_wrappers():
    obj = pickler.wrap_object(Gadget, {"run": FunctionWrapper("x.run")})
    assert type(obj) is ObjectWrapper and obj.wrapped_class is Gadget
    assert obj.functions == {"run": FunctionWrapper("x.run")}
    assert pickler.wrap_object(cls=int, funcs={}).wrapped_class is int
    assert pickler.wrap_module("os.path") == ModuleWrapper("os.path")
    assert pickler.wrap_function("pkg.factory") == SpecialWrapper(
        "pkg.factory")
    assert pickler.wrap_exception("builtins.ValueError", ("x",), {"a": 1}) == (
        ExceptionWrapper("builtins.ValueError", ("x",), {"a": 1}))
    assert pickler.wrap_exception(
        exception_full_name=None, exception_args=(),
        exception_dunder_dict={}) == ExceptionWrapper(None, (), {})


@pytest.mark.parametrize("call", [
    lambda: pickler.wrap_exception(3, (), {}),
    lambda: pickler.wrap_exception(exception_full_name=b"x",
                                   exception_args=(), exception_dunder_dict={}),
])
def test_wrap_exception_wants_a_str_name(call):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(
        "Argument 'exception_full_name' has incorrect type (expected str, got ")


# ------------------------------------------------------ get_attributes_value


def test_get_attributes_value_splits_values_and_methods():
    gadget = Gadget()
    data, funcs = pickler.get_attributes_value(
        gadget, ["count", "run", "build", "doubled", "nothing", "missing",
                 "callback", "stored"])
    assert data == {"count": 3, "build": Gadget.build, "doubled": 6,
                    "stored": plain_function}
    # bound methods of instances and native functions go to funcs
    assert funcs == {"run": gadget.run, "callback": len}


def test_get_attributes_value_copies_the_environment():
    holder = types.SimpleNamespace(env=os.environ)
    data, funcs = pickler.get_attributes_value(obj=holder, attributes={"env"})
    assert type(data["env"]) is dict and data["env"] == dict(os.environ)
    assert funcs == {}


def test_get_attributes_value_lets_other_errors_through():
    with pytest.raises(RuntimeError):
        pickler.get_attributes_value(Gadget(), ["count", "broken"])
    with pytest.raises(TypeError):
        pickler.get_attributes_value(Gadget(), [5])


def test_get_attributes_value_builtin_methods():
    items = []
    data, funcs = pickler.get_attributes_value(
        types.SimpleNamespace(add=items.append, keys=dict.fromkeys),
        ["add", "keys"])
    # a native method bound to a class is a class method: a plain value
    assert funcs == {"add": items.append}
    assert data == {"keys": dict.fromkeys}


# ----------------------------------------------------- NewFuncWrap, Wraper


@pytest.mark.parametrize("cls", [pickler.NewFuncWrap, pickler.Wraper])
def test_by_name_classes_unpickle_as_what_they_name(cls):
    wrapper = cls("os.path.join")
    assert wrapper.name == "os.path.join"
    assert wrapper.__reduce__() == (jsonpickle.unpickler.loadclass,
                                    ("os.path.join",))
    assert pickle.loads(pickle.dumps(wrapper)) is os.path.join
    assert pickle.loads(pickle.dumps(cls(name=f"{HERE}.Gadget"))) is Gadget
    assert cls.__bases__ == (object,)


# --------------------------------------------------------- get_full_name


class WithInit:
    def __init__(self):
        pass


class InheritsInit(WithInit):
    pass


@pytest.mark.parametrize("obj, name", [
    (plain_function, f"{HERE}.plain_function"),
    (Gadget().run, f"{HERE}.Gadget.run"),
    (WithInit, f"{HERE}.WithInit.__init__"),
    (InheritsInit, "builtins.type.__init__"),  # the metaclass's, bound
    (len, "builtins.len"),
    (ValueError("x"), "builtins.ValueError"),
])
def test_get_full_name(obj, name):
    assert Helpers.get_full_name(obj) == name


# --------------------------------------------------------- should_use_getattr


@pytest.mark.parametrize("prop, expected", [
    ("kind", False),        # plain class attribute of the class itself
    ("shadowed", True),     # the instance has its own value
    ("doubled", True),      # property
    ("run", True),          # routine
    ("build", True),        # classmethod object in the class dict
    ("count", True),        # not in the class dict
])
def test_should_use_getattr(prop, expected):
    gadget = Gadget()
    assert Helpers.should_use_getattr(
        gadget, prop, dir(gadget), dir(Gadget)) is expected
    assert Helpers.should_use_getattr(
        obj=gadget, obj_property=prop, object_dir=dir(gadget),
        class_dir=dir(Gadget)) is expected


class SlotsAndDict:
    __slots__ = ("slot", "__dict__")
    kind = "plain"

    def __init__(self):
        self.slot = 1
        self.other = 2


def test_data_descriptors_are_read_like_properties():
    obj = SlotsAndDict()
    assert Helpers.should_use_getattr(obj, "slot", dir(obj),
                                      dir(SlotsAndDict)) is True
    assert Helpers.should_use_getattr(obj, "kind", dir(obj),
                                      dir(SlotsAndDict)) is False
    _, _, state = Helpers.__reduce__(obj)
    assert state == {"slot": 1, "other": 2}
    path = os.devnull
    with open(path) as opened:
        assert Helpers.should_use_getattr(opened, "name", dir(opened),
                                          dir(type(opened))) is True
        _, _, state = Helpers.__reduce__(opened)
    assert state["name"] == path and state["mode"] == "r"


def test_should_use_getattr_without_dict():
    lock = threading.Lock()
    assert Helpers.should_use_getattr(lock, "acquire", dir(lock),
                                      dir(type(lock))) is True
    gadget = Gadget()
    assert Helpers.should_use_getattr(gadget, "kind", dir(gadget), []) is True


# ------------------------------------------------------- the failure reducer


def test_failure_reducer_state_and_funcs():
    gadget = Gadget()
    cls, (type_text, funcs), state = Helpers.__reduce__(gadget)
    assert cls is UnpicklableObject
    assert type_text == str(Gadget)
    assert funcs == {
        "run": FunctionWrapper(f"{HERE}.Gadget.run"),
        "build": FunctionWrapper(f"{HERE}.Gadget.build"),  # bound to the class
        "__enter__": FunctionWrapper(f"{HERE}.Gadget.__enter__"),
        "__exit__": FunctionWrapper(f"{HERE}.Gadget.__exit__"),
    }
    # "kind" (a class attribute), "broken" and "missing" (getters that
    # raise) and every other dunder name are left out
    assert state == {
        "count": 3, "doubled": 6, "shadowed": "own value", "_private": "p",
        "callback": len, "stored": plain_function,
    }


class SlotsOnly:
    __slots__ = ("slot",)
    kind = "plain"

    def __init__(self):
        self.slot = 1


class DirWithoutDict:
    kind = "plain"

    def __init__(self):
        self.own = 1

    def __dir__(self):
        return ["own", "kind"]


def test_failure_reducer_reads_class_attributes_when_dir_has_no_dict():
    # Without "__dict__" in dir() every name is read with getattr.
    assert Helpers.__reduce__(SlotsOnly())[2] == {"kind": "plain", "slot": 1}
    assert Helpers.__reduce__(DirWithoutDict())[2] == {"kind": "plain",
                                                       "own": 1}


class RebindsDictDunder:
    kind = "plain"

    @property
    def a_first(self):
        pickler.DICT_DUNDER = "no such name"
        return 1


def test_failure_reducer_reads_dict_dunder_for_each_name(monkeypatch):
    monkeypatch.setattr(pickler, "DICT_DUNDER", pickler.DICT_DUNDER)
    # After the first name, "__dict__" is no longer what is looked for, so
    # the plain class attribute is read too.
    assert Helpers.__reduce__(RebindsDictDunder())[2] == {"a_first": 1,
                                                          "kind": "plain"}


def test_failure_reducer_on_a_native_object():
    lock = threading.Lock()
    cls, (type_text, funcs), state = Helpers.__reduce__(lock)
    assert type_text == "<class '_thread.lock'>" and funcs == {}
    # native methods are values, the context-manager ones included
    # as many as the interpreter's lock has (3.8 lacks _at_fork_reinit)
    assert sorted(state) == sorted(
        name for name in dir(lock)
        if callable(getattr(lock, name)) and name in type(lock).__dict__
        and name not in ("__new__", "__repr__", "__init_subclass__"))
    assert state["acquire"] == lock.acquire


def test_module_namespaces_are_stored_as_their_modules():
    holder = types.SimpleNamespace(
        env=vars(os), mine=globals(), lookalike={"__name__": "os"},
        other={"a": 1})
    _, _, state = Helpers.__reduce__(holder)
    assert state["env"] is os and state["mine"] is sys.modules[HERE]
    assert state["lookalike"] == {"__name__": "os"}
    assert state["other"] == {"a": 1}


def test_failure_reducer_reads_nothing_of_a_python_getattr_object():
    reads = []

    class Lazy:
        def __getattr__(self, name):
            reads.append(name)
            raise AttributeError(name)

        @property
        def value(self):
            reads.append("value")
            return 1
    assert Helpers.__reduce__(Lazy()) == (
        UnpicklableObject, (str(Lazy), {}), {})
    assert reads == []


def other_run(self):
    return "other"


other_run.__name__ = "run"


def test_method_named_through_the_class_when_its_function_cannot_be(
        monkeypatch):
    gadget = Gadget()
    gadget.run = types.MethodType(other_run, gadget)
    real = pickler.EXTRACT_METADATA

    def extract(obj, dont_cache=False, collect_signature=True):
        if obj is other_run:
            raise LookupError("unnamed")
        return real(obj, dont_cache=dont_cache,
                    collect_signature=collect_signature)
    monkeypatch.setattr(pickler, "EXTRACT_METADATA", extract)
    _, (_, funcs), _ = Helpers.__reduce__(gadget)
    assert funcs["run"] == FunctionWrapper(f"{HERE}.Gadget.run")

    def extract_none(obj, dont_cache=False, collect_signature=True):
        raise LookupError("unnamed")
    monkeypatch.setattr(pickler, "EXTRACT_METADATA", extract_none)
    _, (_, funcs), state = Helpers.__reduce__(gadget)
    assert "run" not in funcs and "run" not in state
    assert state["count"] == 3


def _walked(obj):
    """The names a failure reduction recorded, and the names it should
    have, from dir() of the object."""
    _, (_, funcs), state = Helpers.__reduce__(obj)
    expected = {n for n in dir(obj)
                if not n.startswith("__") or n in ("__enter__", "__exit__")}
    return set(funcs) | set(state), expected


def _classes():
    class Base:
        __slots__ = ()

        def base_method(self):
            return 0

    class Fixture(Base):
        __slots__ = ("slot", "__dict__")

        def __init__(self):
            self.slot = 1

        def method(self):
            return 0
    return Base, Fixture


@pytest.mark.parametrize("change", [
    lambda obj, base, cls: None,
    lambda obj, base, cls: setattr(cls, "added", lambda self: 1),
    lambda obj, base, cls: setattr(base, "added_to_base", 2),
    lambda obj, base, cls: delattr(cls, "method"),
    lambda obj, base, cls: setattr(obj, "own", 3),      # instance attribute
    lambda obj, base, cls: setattr(cls, "__dir__", lambda self: ["slot"]),
])
def test_failure_reduction_walks_what_dir_gives_now(change):
    base, cls = _classes()
    obj = cls()
    walked, expected = _walked(obj)        # the class's names remembered
    assert walked == expected and "method" in walked
    change(obj, base, cls)
    walked, expected = _walked(obj)
    assert walked == expected


@pytest.mark.parametrize("make", [
    threading.Lock,
    lambda: (i for i in range(2)),
    lambda: open(__file__, "rb"),
])
def test_failure_reduction_of_native_objects_walks_their_dir(make):
    obj = make()
    try:
        for _ in range(2):
            walked, expected = _walked(obj)
            assert walked == expected
    finally:
        if hasattr(obj, "close"):
            obj.close()


@pytest.mark.parametrize("patched", [None, "isroutine", "ismethoddescriptor"])
def test_class_attributes_are_judged_by_inspect_as_it_is_now(
        monkeypatch, patched):
    import inspect

    # A file object has a __dict__, and its class's own namespace holds
    # method descriptors: each is judged with inspect.isroutine.
    if patched is not None:
        monkeypatch.setattr(inspect, patched, lambda value: False)
    with open(__file__, "rb") as handle:
        _, _, state = Helpers.__reduce__(handle)
    assert ("read" in state) == (patched is None)


def _kept_frame():
    def inner(value):
        return sys._getframe()

    def caller():
        bulky = list(range(10_000))  # noqa: F841 - a caller's local
        return inner(5)
    return caller()


def test_a_frame_placeholder_leaves_out_its_callers():
    frame = _kept_frame()
    _, (type_text, _), state = Helpers.__reduce__(frame)
    assert type_text == "<class 'frame'>"
    assert state["f_back"] is None
    assert state["f_locals"] == {"value": 5}
    assert state["f_lineno"] == frame.f_lineno
    # The caller's locals are not written either.
    loaded = pickle.loads(pickler.safe_pickle({"frame": frame}))
    assert loaded["frame"].f_back is None
    assert len(pickler.safe_pickle(frame)) < 4000


def test_failure_reducer_lets_dir_errors_through():
    class NoDir:
        def __dir__(self):
            raise RuntimeError("no dir")
    with pytest.raises(RuntimeError):
        Helpers.__reduce__(NoDir())


def test_failure_reducer_is_positional_only():
    with pytest.raises(TypeError):
        Helpers.__reduce__(obj=1)


# --------------------------------------------------------- special_cases


def test_special_cases():
    from sqlalchemy.orm.session import Session

    assert Helpers.special_cases(Session) is True
    assert Helpers.special_cases(Gadget) is False
    assert Helpers.special_cases(type("Session", (), {})) is False
    with pytest.raises(AttributeError):
        Helpers.special_cases(object())


def test_special_cases_reads_the_table_at_each_use(monkeypatch):
    monkeypatch.setattr(pickler, "TYPES_TO_CONTINUE_PICKLE_ON_ERROR",
                        {HERE: ["Gadget"]})
    assert Helpers.special_cases(Gadget) is True
