"""SafePickler.reducer_override, step by step, and the reducers it uses."""
import collections
import copyreg
import datetime
import decimal
import io
import logging
import os
import pickle
import pickletools
import types

import jsonpickle.unpickler
import pytest
import yaml._yaml

from tarnwick_collector.data_collection.used_attributes_collector import (
    used_attributes,
)
from pickler_support import Color, Model, MyStr, ReducingError
from tarnwick_collector.data_serialization import pickler, tarn_pickle
from tarnwick_collector.exceptions import ProblematicPickleException
from tarnwick_common.utils.object_wrapper import (
    ExceptionWrapper,
    ModuleWrapper,
    ObjectWrapper,
    SpecialWrapper,
    UnpicklableObject,
)

SafePickler = pickler.SafePickler
loadclass = jsonpickle.unpickler.loadclass
HERE = __name__


def make_pickler(object_wrapper=True, **kwargs):
    return SafePickler(object_wrapper, io.BytesIO(), **kwargs)


def reduce(obj, object_wrapper=True):
    return make_pickler(object_wrapper).reducer_override(obj)


@pytest.fixture
def used(monkeypatch):
    """Records used attribute names for an object, as the recording core
    does, and forgets them after the test."""
    def add(obj, names):
        monkeypatch.setitem(used_attributes, id(obj), set(names))
    return add


def module_function(x):
    return x


class Record:
    kind = "record"

    def __init__(self, a=1):
        self.a = a

    def method(self):
        return self.a

    @classmethod
    def make(cls):
        return cls()

    @staticmethod
    def helper():
        return 0


class PyGetattr:
    def __getattr__(self, name):
        raise AttributeError(name)


class WithState:
    def __getstate__(self):
        return {}


def base_pickle(obj):
    buffer = io.BytesIO()
    tarn_pickle.Pickler(buffer).dump(obj)
    return buffer.getvalue()


def strings_in(data):
    """The string operands of a pickle stream, in order."""
    return [arg for op, arg, _ in pickletools.genops(data)
            if isinstance(arg, str)]


# ------------------------------------------------------------ fast paths


@pytest.mark.parametrize("value", [
    5, "text", 1.5, True, None, b"raw", bytearray(b"x"), [1, [2]],
    (1, "a"), {"k": [1]}, {1, 2}, frozenset({3}),
])
def test_atoms_and_containers_are_left_to_the_base_pickler(value):
    assert reduce(value) is NotImplemented
    assert pickler.safe_pickle(value) == base_pickle(value)


@pytest.mark.parametrize("value", [
    datetime.datetime(2024, 1, 2, 3, 4), datetime.date(2024, 1, 2),
    datetime.timedelta(3), datetime.timezone.utc, collections.OrderedDict(),
    collections.defaultdict(list), Color.RED, Model(), MyStr("s"),
    ValueError("x"), Record, Color, Record(),
])
def test_skipped_types_and_subclasses(value):
    assert reduce(value) is NotImplemented


def test_singletons_written_by_name_are_not_refused():
    assert reduce(Ellipsis) is NotImplemented
    assert reduce(NotImplemented) is NotImplemented
    data = pickler.safe_pickle([..., NotImplemented])
    assert pickle.loads(data) == [..., NotImplemented]


# ------------------------------------------------------- functions by name


@pytest.mark.parametrize("obj, name", [
    (module_function, f"{HERE}.module_function"),
    (Record().method, f"{HERE}.Record.method"),        # through __func__
    (Record.method, f"{HERE}.Record.method"),
    (Record.make, f"{HERE}.Record.make"),
    (Record.helper, f"{HERE}.Record.helper"),
    (len, "builtins.len"),
    (str.upper, "builtins.str.upper"),
    (os.path.join, "posixpath.join"),
])
def test_functions_are_written_by_name(obj, name):
    assert reduce(obj) == (loadclass, (name,))


class Shelf(list):
    """A class whose instances have builtin methods bound to them."""


def test_builtin_methods_bound_to_instances_are_named_by_their_class():
    shelf = Shelf()
    name = f"{HERE}.Shelf.append"
    # Asked twice: a remembered name is the same as a worked-out one.
    assert [reduce(shelf.append) for _ in range(2)] == [(loadclass, (name,))] * 2
    assert reduce([].append) == (loadclass, ("builtins.list.append",))


@pytest.mark.parametrize("attribute, value, name", [
    ("__qualname__", "Renamed", f"{HERE}.Renamed.append"),
    ("__module__", "elsewhere", "elsewhere.Shelf.append"),
])
def test_bound_builtin_names_follow_changes_of_their_class(
        attribute, value, name):
    class Shelf(list):
        pass
    Shelf.__qualname__ = "Shelf"
    shelf = Shelf()
    assert reduce(shelf.append) == (loadclass, (f"{HERE}.Shelf.append",))
    setattr(Shelf, attribute, value)
    assert reduce(shelf.append) == (loadclass, (name,))


@pytest.mark.parametrize("attribute, value, name", [
    ("__qualname__", "renamed", f"{HERE}.renamed"),
    ("__module__", "elsewhere", "elsewhere.made"),
])
def test_function_names_follow_changes_of_the_function(attribute, value, name):
    def made():
        pass
    made.__qualname__ = "made"
    # Asked twice: a remembered name is the same as a worked-out one.
    assert [reduce(made) for _ in range(2)] == [(loadclass, (f"{HERE}.made",))] * 2
    setattr(made, attribute, value)
    assert reduce(made) == (loadclass, (name,))


@pytest.mark.parametrize("module_name, attribute", [
    ("tarnwick_collector.data_collection.ostrelle", "get_function_full_name"),
    ("tarnwick_collector.data_serialization.pickler", "EXTRACT_METADATA"),
    ("tarnwick_common.name_extractor", "_qualified_name"),
])
@pytest.mark.parametrize("kind", ["bound builtin", "function"])
def test_names_follow_replaced_naming_functions(monkeypatch, module_name, attribute, kind):
    import importlib

    module = importlib.import_module(module_name)
    shelf = Shelf()
    obj, name = (shelf.append, "Shelf.append") if kind == "bound builtin" \
        else (module_function, "module_function")
    assert reduce(obj) == (loadclass, (f"{HERE}.{name}",))
    real = getattr(module, attribute)
    renamed = types.SimpleNamespace(full_name="renamed.append",
                                    module_name="renamed", full_path="")

    def replacement(*args, **kwargs):
        if attribute == "EXTRACT_METADATA":
            return renamed
        if attribute == "_qualified_name":
            return "Renamed." + real(*args, **kwargs).split(".")[-1]
        return "renamed.append"
    monkeypatch.setattr(module, attribute, replacement)
    short = name.split(".")[-1]
    assert reduce(obj)[1][0] in ("renamed.append", f"{HERE}.Renamed.{short}")


def test_reduce_function_on_a_class_names_its_initializer():
    assert make_pickler().reduce_function(Record) == (
        loadclass, (f"{HERE}.Record.__init__",))
    assert make_pickler().reduce_function(obj=module_function) == (
        loadclass, (f"{HERE}.module_function",))


def test_functions_load_back_by_name():
    value = {"f": module_function, "m": Record(7).method, "len": len}
    loaded = pickle.loads(pickler.safe_pickle(value))
    assert loaded == {"f": module_function, "m": Record.method, "len": len}


@pytest.mark.parametrize("callable_", [
    loadclass, pickler.Wraper, pickler.NewFuncWrap, copyreg._reconstructor,
    pickler.wrap_object, UnpicklableObject,
])
def test_by_reference_exemptions(callable_):
    assert make_pickler().reduce_function(callable_) is NotImplemented
    data = pickler.safe_pickle(callable_)
    assert "loadclass" not in strings_in(data) or callable_ is loadclass
    assert pickle.loads(data) is callable_


def test_loadclass_itself_is_written_by_reference():
    data = pickler.safe_pickle(loadclass)
    assert strings_in(data) == ["jsonpickle.unpickler", "loadclass"]


@pytest.mark.parametrize("name", [
    "wrap_module", "wrap_function", "wrap_exception", "get_attributes_value",
])
def test_other_module_functions_go_through_loadclass(name):
    func = getattr(pickler, name)
    assert reduce(func) == (loadclass, (f"{pickler.__name__}.{name}",))
    assert pickle.loads(pickler.safe_pickle(func)) is func


def main_script_function(settings, tmp_path, relative):
    settings.project_path = str(tmp_path)
    code = compile("def handler(x):\n    return x\n",
                   os.path.join(str(tmp_path), relative), "exec")
    namespace = {"__name__": "__main__"}
    exec(code, namespace)
    return namespace["handler"]


@pytest.mark.parametrize("relative, name", [
    ("app/cli.py", "app.cli.handler"),
    ("run.py", "run.handler"),
    ("pkg/__init__.py", "pkg.handler"),
])
def test_main_script_functions_get_their_importable_name(
        settings, tmp_path, relative, name):
    handler = main_script_function(settings, tmp_path, relative)
    assert handler.__module__ == "__main__"
    assert reduce(handler) == (loadclass, (name,))
    assert pickler.UnpicklableHelpers.get_full_name(handler) == name
    assert name in strings_in(pickler.safe_pickle({"h": handler}))


def test_project_path_is_read_at_each_use(settings, tmp_path):
    handler = main_script_function(settings, tmp_path, "app/cli.py")
    settings.project_path = str(tmp_path / "app")
    assert reduce(handler) == (loadclass, ("cli.handler",))


def test_relative_project_path_follows_the_working_directory(
        settings, tmp_path, monkeypatch):
    handler = main_script_function(settings, tmp_path, "app/cli.py")
    settings.project_path = "."
    monkeypatch.chdir(tmp_path)
    assert reduce(handler) == (loadclass, ("app.cli.handler",))
    (tmp_path / "app").mkdir()
    monkeypatch.chdir(tmp_path / "app")
    assert reduce(handler) == (loadclass, ("cli.handler",))


@pytest.mark.parametrize("target, attribute", [
    (os.path, "relpath"),
    (pickler, "replace__main__with_real_name"),
])
def test_replaced_naming_helpers_are_called_at_each_use(
        settings, tmp_path, monkeypatch, target, attribute):
    handler = main_script_function(settings, tmp_path, "app/cli.py")
    assert reduce(handler) == (loadclass, ("app.cli.handler",))
    real = getattr(target, attribute)
    calls = []

    def counting(*args):
        calls.append(args)
        return real(*args)
    monkeypatch.setattr(target, attribute, counting)
    for _ in range(2):
        assert reduce(handler) == (loadclass, ("app.cli.handler",))
    assert len(calls) == 2


def test_cached_metadata_pair_is_unpacked(monkeypatch):
    record = types.SimpleNamespace(full_name="elsewhere.f", module_name="m",
                                   full_path="/x.py")
    calls = []

    def extract(obj, dont_cache=False, collect_signature=True):
        calls.append((obj, dont_cache, collect_signature))
        return (record, True)
    monkeypatch.setattr(pickler, "EXTRACT_METADATA", extract)
    assert reduce(module_function) == (loadclass, ("elsewhere.f",))
    # Only the names are read, so no signature is asked for.
    assert calls == [(module_function, True, False)]


def test_failing_metadata_leaves_reduce_function(monkeypatch):
    def extract(obj, dont_cache=False, collect_signature=True):
        raise LookupError("no metadata")
    monkeypatch.setattr(pickler, "EXTRACT_METADATA", extract)
    with pytest.raises(LookupError):
        reduce(module_function)


# ------------------------------------------------ classes rebuilt by factory


def test_sqlalchemy_declarative_base_is_written_through_wrap_function():
    from sqlalchemy.orm import declarative_base

    Base = declarative_base()
    assert reduce(Base) == (
        pickler.wrap_function, ("sqlalchemy.ext.declarative.declarative_base",))
    loaded = pickle.loads(pickler.safe_pickle({"base": Base}))
    assert loaded == {"base": SpecialWrapper(
        "sqlalchemy.ext.declarative.declarative_base")}


def test_rebuild_lookup_errors_are_swallowed():
    class BadName:
        @property
        def __name__(self):
            raise RuntimeError("no name")
    assert reduce(BadName()) is NotImplemented


def test_rebuild_lookup_lets_interrupts_through():
    class Interrupting:
        @property
        def __name__(self):
            raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        reduce(Interrupting())


# ------------------------------------------------------ exceptions, modules


def test_exception_with_own_reduce_becomes_an_exception_wrapper():
    error = ReducingError("boom", 2)
    error.note = "n"
    assert reduce(error) == (
        pickler.wrap_exception,
        (f"{ReducingError.__module__}.ReducingError", ("boom", 2), {"note": "n"}))
    loaded = pickle.loads(pickler.safe_pickle(error))
    assert loaded == ExceptionWrapper(f"{ReducingError.__module__}.ReducingError", ("boom", 2),
                                      {"note": "n"})


def test_unnamed_exception_goes_on_to_the_later_steps(monkeypatch):
    def extract(obj, dont_cache=False, collect_signature=True):
        raise LookupError("no metadata")
    monkeypatch.setattr(pickler, "EXTRACT_METADATA", extract)
    with pytest.raises(ProblematicPickleException) as info:
        reduce(ReducingError("boom"))
    assert str(info.value).split("'")[2] == f"{ReducingError.__module__}.ReducingError"


def test_modules_become_module_wrappers(used):
    assert reduce(os) == (pickler.wrap_module, ("os",))
    made = types.ModuleType("made.up")
    used(made, ["x"])       # modules are taken before used attributes
    assert reduce(made) == (pickler.wrap_module, ("made.up",))
    assert pickle.loads(pickler.safe_pickle([os, made])) == [
        ModuleWrapper("os"), ModuleWrapper("made.up")]


# ---------------------------------------------------------- used attributes


def test_used_attributes_reduce_an_object(used):
    obj = Record(3)
    obj.extra = [1]
    used(obj, ["a", "method", "make", "missing"])
    cls, args, attrs = reduce(obj)
    assert cls is pickler.wrap_object
    assert args == (Record, {"method": obj.method})
    assert attrs == {"a": 3, "make": Record.make}
    loaded = pickle.loads(pickler.safe_pickle({"obj": obj}))["obj"]
    assert type(loaded) is ObjectWrapper
    assert loaded.wrapped_class is Record
    assert loaded.attributes == {"a": 3, "make": Record.make}
    assert loaded.functions == {"method": Record.method}


def test_used_attributes_only_with_object_wrapper(used):
    obj = Record(3)
    used(obj, ["a"])
    assert reduce(obj, object_wrapper=False) is NotImplemented
    loaded = pickle.loads(pickler.safe_pickle(obj, object_wrapper=False))
    assert type(loaded) is Record and loaded.a == 3
    pickler_ = make_pickler(object_wrapper=0)
    assert pickler_.object_wrapper == 0
    assert pickler_.reducer_override(obj) is NotImplemented


def test_classes_are_never_reduced_to_used_attributes(used):
    used(Record, ["kind"])
    assert reduce(Record) is NotImplemented


def test_used_attributes_come_before_the_getattr_refusal(used):
    obj = PyGetattr()
    obj.value = 5
    used(obj, ["value"])
    assert reduce(obj) == (pickler.wrap_object, (PyGetattr, {}), {"value": 5})


def test_used_attributes_of_a_module_name_module_wrapper(used):
    result = make_pickler().reduce_used_attrs(os, ["sep", "getcwd"])
    # os.getcwd is a native function, of the builtin method type
    assert result == (pickler.wrap_object, (ModuleWrapper, {"getcwd": os.getcwd}),
                      {"sep": os.sep})
    result = make_pickler().reduce_used_attrs(
        obj=Record(2), attributes={"a": None})
    assert result == (pickler.wrap_object, (Record, {}), {"a": 2})


def test_used_attributes_is_read_at_each_use(monkeypatch):
    obj = Record(4)
    monkeypatch.setattr(pickler, "used_attributes", {id(obj): ["a"]})
    assert reduce(obj) == (pickler.wrap_object, (Record, {}), {"a": 4})


# ------------------------------------------------- loggers and yaml marks


@pytest.mark.parametrize("obj, obj_type", [
    (logging.getLogger("tarnwick.tests.pickler"), logging.Logger),
    (yaml._yaml.Mark("n", 1, 2, 3, None, None), yaml._yaml.Mark),
])
def test_magic_mock_types_become_empty_object_wrappers(obj, obj_type):
    assert reduce(obj) == (pickler.wrap_object, (obj_type, {}), {})
    loaded = pickle.loads(pickler.safe_pickle(obj))
    assert type(loaded) is ObjectWrapper and loaded.wrapped_class is obj_type
    assert loaded.attributes == {} and loaded.functions == {}


# --------------------------------------------------------------- refusals


def test_python_getattr_is_refused_with_its_message():
    with pytest.raises(ProblematicPickleException) as info:
        reduce(PyGetattr())
    assert info.value.args == (
        f"'<class '{HERE}.PyGetattr'>' cant be pickled because it has "
        "__getattr__ method",)
    assert str(info.value).split("'")[2] == f"{HERE}.PyGetattr"


class CountingProxy:
    asked = []

    def __getattr__(self, name):
        CountingProxy.asked.append(name)
        raise AttributeError(name)


def test_refusing_a_proxy_runs_none_of_its_code(monkeypatch):
    monkeypatch.setattr(CountingProxy, "asked", [])
    with pytest.raises(ProblematicPickleException):
        pickler.safe_pickle({"proxy": CountingProxy()})
    with pytest.raises(ProblematicPickleException):
        reduce(CountingProxy())
    assert CountingProxy.asked == []


def test_a_proxy_with_a_name_of_its_own_is_still_looked_up_by_it(monkeypatch):
    # The rebuild table is consulted with the name the object has; only
    # the __getattr__ fallback is left out.
    class Meta(type):
        def __getattr__(cls, name):
            raise AttributeError(name)
    Base = Meta("Base", (), {})
    key = f"{HERE}.Meta.Base"
    monkeypatch.setattr(SafePickler, "full_names_to_run_functions",
                        SafePickler.full_names_to_run_functions | {key})
    monkeypatch.setitem(SafePickler.full_names_to_rebuild_functions_dict,
                        key, "factories.make_base")
    assert reduce(Base) == (pickler.wrap_function, ("factories.make_base",))


class Queue(collections.deque):
    pass


class Amount(decimal.Decimal):
    pass


@pytest.mark.parametrize("obj, name", [
    (WithState(), f"{HERE}.WithState"),
    (Queue([1]), f"{HERE}.Queue"),          # a trusted type's subclass
    (Amount("1.5"), f"{HERE}.Amount"),
    (logging.getLogger(), "logging.RootLogger"),   # not exactly Logger
])
def test_pickle_methods_are_refused_with_their_message(obj, name):
    with pytest.raises(ProblematicPickleException) as info:
        reduce(obj)
    assert info.value.args == (
        f"'<class '{name}'>' cant be pickled because it has one of the "
        "pickle methods",)
    assert str(info.value).split("'")[2] == name


def test_refusal_nested_anywhere_leaves_safe_pickle():
    with pytest.raises(ProblematicPickleException) as info:
        pickler.safe_pickle({"rows": [1, (2, WithState())]})
    assert str(info.value).split("'")[2] == f"{HERE}.WithState"


def test_plain_objects_are_left_to_the_base_pickler():
    assert reduce(Record()) is NotImplemented
    assert reduce(object()) is NotImplemented


def test_reducer_override_accepts_keywords():
    assert make_pickler().reducer_override(obj=5) is NotImplemented


# -------------------------------------------------------------- the class


def test_init_sets_object_wrapper_and_an_empty_dispatch_table():
    buffer = io.BytesIO()
    instance = SafePickler(False, buffer, 2)
    assert instance.object_wrapper is False
    assert instance.dispatch_table == {}
    instance.dump([1])
    assert buffer.getvalue()[:2] == b"\x80\x02"   # the protocol went through
    instance = SafePickler(object_wrapper=True, file=io.BytesIO(),
                           failure_reducer=None)
    assert instance.object_wrapper is True


def test_globally_registered_reducers_are_not_consulted(monkeypatch):
    def via_copyreg(obj):
        return str, ("from copyreg",)
    monkeypatch.setitem(copyreg.dispatch_table, Record, via_copyreg)
    assert pickle.loads(pickle.dumps(Record())) == "from copyreg"
    loaded = pickle.loads(pickler.safe_pickle(Record(9)))
    assert type(loaded) is Record and loaded.a == 9


def test_subclass_of_safe_pickler_initialises_through_it():
    class Sub(SafePickler):
        pass
    buffer = io.BytesIO()
    instance = Sub(True, buffer)
    assert instance.dispatch_table == {}
    instance.dump({"f": module_function})
    assert pickle.loads(buffer.getvalue()) == {"f": module_function}
