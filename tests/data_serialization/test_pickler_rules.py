"""The safe pickler's predicates and import behaviour; its surface and type
tables are in tests/surface/pickler.txt."""
import abc
import collections
import io
import logging
import pathlib
import subprocess
import sys
import types
import uuid

import pydantic
import pytest
import yaml._yaml

from pickler_support import Color, Model, MyStr, ReducingError
from tarnwick_collector.data_serialization import pickler, tarn_pickle
from tarnwick_common.utils.object_wrapper import FunctionWrapper

SafePickler = pickler.SafePickler


@pytest.fixture
def sp():
    return SafePickler(True, io.BytesIO())


# ------------------------------------------------------------ module surface
# Names, imported objects, constants and tables: tests/surface/pickler.txt.


def test_importing_the_pickler_imports_the_python_pickler():
    import tarnwick_collector

    assert pickler.tarnwick_collector is tarnwick_collector
    assert pickler.tarnwick_collector.data_serialization.tarn_pickle is tarn_pickle


def run_isolated(code):
    """Runs `code` in a fresh interpreter; returns its stdout."""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_without_yaml_only_logger_is_wrapped():
    out = run_isolated(
        "import sys; sys.modules['yaml'] = None\n"
        "from tarnwick_collector.data_serialization import pickler\n"
        "print(pickler.has_yaml, 'yaml' in vars(pickler),"
        " pickler.SafePickler.specific_type_for_magic_mock)")
    assert out == "False False {<class 'logging.Logger'>}"


def test_without_pydantic_the_module_does_not_import():
    out = run_isolated(
        "import sys; sys.modules['pydantic'] = None\n"
        "try:\n"
        "    from tarnwick_collector.data_serialization import pickler\n"
        "except ImportError as e:\n"
        "    print('ImportError', 'pydantic' in str(e))")
    assert out == "ImportError True"


# Classes, their members and method kinds: tests/surface/pickler.txt.


def test_one_argument_functions_are_positional_only():
    with pytest.raises(TypeError):
        pickler.is_classmethod(method=len)
    with pytest.raises(TypeError):
        SafePickler.is_subclass_for_skip(obj=1)
    with pytest.raises(TypeError):
        pickler.safe_pickle_loads(data=b"")
    with pytest.raises(TypeError):
        pickler.wrap_module(full_name="os")


# ------------------------------------------------------------ predicates


class WithClassMethod:
    @classmethod
    def cm(cls):
        return cls

    def m(self):
        return self


@pytest.mark.parametrize("value, expected", [
    (WithClassMethod.cm, True),
    (WithClassMethod().cm, True),
    (WithClassMethod().m, False),
    (dict.fromkeys, True),
    ([].append, False),
    (len, False),           # bound to the builtins module
    (42, False),            # no __self__ at all
])
def test_is_classmethod(value, expected):
    assert pickler.is_classmethod(value) is expected


class PyGetattr:
    def __getattr__(self, name):
        return 1


class NativeGetattr(types.SimpleNamespace):
    pass


@pytest.mark.parametrize("obj, python_based, has_getattr", [
    (len, False, False),
    (test_is_classmethod, True, False),
    (PyGetattr(), True, True),       # its __getattr__ answers __code__ too
    (PyGetattr, False, True),        # the class holds the plain function
    (NativeGetattr(), False, False),
    (types.ModuleType("m"), False, False),
    (object(), False, False),
])
def test_python_based_and_getattr(obj, python_based, has_getattr):
    assert pickler.is_obj_python_based(obj) is python_based
    assert pickler.obj_has_getattr_that_is_python_based(obj) is has_getattr


def test_getattr_python_based_on_the_bound_getattr():
    # A class-level __getattr__ function gives a bound method with __code__.
    class C:
        __getattr__ = test_is_classmethod
    assert pickler.obj_has_getattr_that_is_python_based(C()) is True
    # A native callable as __getattr__ has no __code__.
    class D:
        __getattr__ = getattr
    assert pickler.obj_has_getattr_that_is_python_based(D()) is False


class WeirdMeta(type):
    def __repr__(cls):
        return "<made by classmethod_descriptor>"


class StrOnlyMeta(type):
    """str() of its classes differs from their repr()."""
    def __str__(cls):
        return "<builtin_method maker>"


@pytest.mark.parametrize("obj_type", [
    type(len), type(str.upper), type(WithClassMethod().m),
    types.FunctionType, type(dict.__dict__["fromkeys"]), int, object,
    WithClassMethod, type("my_builtin_method_kind", (), {}),
    type("X", (), {"__module__": "pkg.classmethod_descriptor"}),
    type("X", (), {"__qualname__": "Outer.builtin_method"}),
    type("plain", (), {"__module__": "builtins",
                       "__qualname__": "builtin_method"}),
    type("builtin_method", (), {"__module__": "builtins"}),
    type("X", (), {"__module__": 5}),
    WeirdMeta("W", (), {}),
    StrOnlyMeta("S", (), {}),
    abc.ABCMeta("builtin_methodA", (), {}),
])
def test_is_obj_function_matches_the_text_of_the_type(sp, obj_type):
    expected = (obj_type in pickler.FUNCTIONS_TYPES
                or "classmethod_descriptor" in str(obj_type)
                or "builtin_method" in str(obj_type))
    assert sp.is_obj_function(obj_type) is expected
    assert sp.is_obj_function(obj_type=obj_type) is expected


def test_is_obj_function_known_answers(sp):
    assert sp.is_obj_function(type(len)) is True
    assert sp.is_obj_function(type(str.upper)) is True
    assert sp.is_obj_function(type(WithClassMethod().m)) is True
    assert sp.is_obj_function(type(dict.__dict__["fromkeys"])) is True
    assert sp.is_obj_function(WithClassMethod) is False
    assert sp.is_obj_function(WeirdMeta("W", (), {})) is True


@pytest.mark.parametrize("obj_type, skipped", [
    (bool, True), (int, True), (type, True), (uuid.UUID, True),
    (type(pickler.wrap_object), True), (pathlib.PosixPath, True),
    (type("MyInt", (int,), {}), False), (object, False),
    (collections.Counter, False), (type(None), False),
])
def test_is_obj_type_to_skip_is_exact(sp, obj_type, skipped):
    assert sp.is_obj_type_to_skip(obj_type) is skipped


def test_magic_mock_types_are_exact(sp):
    assert sp.is_obj_type_specific_type_for_magic_mock(logging.Logger) is True
    assert sp.is_obj_type_specific_type_for_magic_mock(yaml._yaml.Mark) is True
    assert sp.is_obj_type_specific_type_for_magic_mock(
        logging.RootLogger) is False


class ReducingErrorWithState(Exception):
    def __reduce__(self):
        return ReducingError, self.args

    def __getstate__(self):
        return {}


class NewargsStr(str):
    def __getnewargs__(self):
        return (str(self),)


class ReducingModel(pydantic.BaseModel):
    x: int = 1

    def __reduce__(self):
        return ReducingModel, ()


class OwnStateModel(pydantic.BaseModel):
    x: int = 1

    def __reduce__(self):
        return OwnStateModel, ()

    def __getstate__(self):
        return {}


class Plain:
    def __init__(self):
        self.a = 1


@pytest.mark.parametrize("obj, skipped", [
    (Color.RED, True),
    (Color, True),                 # a class whose metaclass derives from type
    (Model(), True),
    (ValueError("x"), True),
    (MyStr("s"), True),
    (ReducingError("x"), False),   # own __reduce__; no __getstate__ of its own
    (ReducingErrorWithState("x"), False),  # Exception has no __getstate__
    (NewargsStr("s"), False),
    (ReducingModel(), True),       # the second rule: BaseModel's __getstate__
    (OwnStateModel(), False),
    (Plain(), False),
    (1, False),
    (object(), False),
])
def test_is_subclass_for_skip(obj, skipped):
    assert SafePickler.is_subclass_for_skip(obj) is skipped


def test_is_subclass_for_skip_uses_the_real_type():
    class Liar:
        __class__ = ValueError
    assert isinstance(Liar(), ValueError)
    assert SafePickler.is_subclass_for_skip(Liar()) is False


def test_is_subclass_for_skip_reads_the_table_and_honours_subclass_checks(
        monkeypatch):
    class Base(abc.ABC):
        pass

    class Registered:
        pass
    Base.register(Registered)
    assert SafePickler.is_subclass_for_skip(Registered()) is False
    monkeypatch.setattr(SafePickler, "subclasses_to_skip", {Base})
    assert SafePickler.is_subclass_for_skip(Registered()) is True
    assert SafePickler.is_subclass_for_skip(MyStr("s")) is False


def test_inherited_newargs_of_the_base_do_not_count():
    # str has __getnewargs__ of its own; a subclass that inherits it pickles
    # as str does and is skipped, one that defines its own is not.
    assert hasattr(MyStr("s"), "__getnewargs__")
    assert SafePickler.is_subclass_for_skip(MyStr("s")) is True
    assert SafePickler.is_subclass_for_skip(NewargsStr("s")) is False


class WithState:
    def __getstate__(self):
        return {}


class WithReduce:
    def __reduce__(self):
        return WithReduce, ()


class WithReduceEx:
    def __reduce_ex__(self, protocol):
        return WithReduceEx, ()


class WithNewargs:
    def __getnewargs__(self):
        return ()


class WithNewargsEx:
    def __getnewargs_ex__(self):
        return (), {}


class WithInitargs:
    def __getinitargs__(self):
        return ()


class StateFromBase(WithState):
    pass


class Slotted:
    __slots__ = ("a",)


@pytest.mark.parametrize("obj, problematic", [
    (Plain(), False),
    (object(), False),
    (Slotted(), False),
    (WithState(), True),
    (StateFromBase(), True),
    (WithReduce(), True),
    (WithReduceEx(), True),
    (WithNewargs(), True),
    (WithNewargsEx(), True),
    (WithInitargs(), True),
    (FunctionWrapper("os.path.join"), False),
    (logging.getLogger("tarnwick.rules"), True),   # Logger has __reduce__
])
def test_is_problematic_pickle(sp, obj, problematic):
    assert bool(sp.is_problematic_pickle(obj)) is problematic
    assert bool(sp.is_problematic_pickle(obj=obj)) is problematic


def test_default_getstate_does_not_count(sp):
    # Every object has object.__getstate__ on this interpreter; only one of
    # the object's own class (or set on the object) counts.
    obj = Plain()
    assert hasattr(obj, "__getstate__") or sys.version_info < (3, 11)
    assert sp.is_problematic_pickle(obj) is False
    obj.__getstate__ = lambda: {}
    assert sp.is_problematic_pickle(obj) is True


def test_function_wrapper_exemption_needs_both_names(sp):
    class FunctionWrapper:  # same qualified name, other module
        def __getstate__(self):
            return {}
    assert sp.is_problematic_pickle(FunctionWrapper()) is True


def test_get_dynamic_rebuild_function(sp):
    from sqlalchemy.orm import declarative_base

    Base = declarative_base()
    assert sp.get_dynamic_rebuild_function(Base, type(Base)) == (
        "sqlalchemy.ext.declarative.declarative_base")
    assert sp.get_dynamic_rebuild_function(
        obj=Base, obj_type=type(Base)) == (
        "sqlalchemy.ext.declarative.declarative_base")
    Other = declarative_base(name="Other")
    assert sp.get_dynamic_rebuild_function(Other, type(Other)) is None
    assert sp.get_dynamic_rebuild_function(Plain, type) is None


def test_get_dynamic_rebuild_function_argument_rules(sp):
    with pytest.raises(TypeError) as info:
        sp.get_dynamic_rebuild_function(Color.RED, Color)
    assert str(info.value) == (
        "Argument 'obj_type' has incorrect type (expected type, got "
        f"{type(type(Color.RED)).__name__})")  # EnumMeta before 3.11
    with pytest.raises(AttributeError):
        sp.get_dynamic_rebuild_function(Plain(), Plain)  # no __name__
    with pytest.raises(AttributeError):
        sp.get_dynamic_rebuild_function(len, None)
