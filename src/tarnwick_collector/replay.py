"""Runtime support of the tests that ``tarnwick generate-tests`` writes.

A generated test rebuilds the arguments of one recorded call, sets the
globals the call used to their recorded values, makes the call with every
recorded external call replaced by a stand-in that gives the recorded
result (in the recorded order), and then checks the outcome and the
arguments after the call against the record::

    outcome = replay.run("shop.pricing.discount_for", args=(129.0,),
                         globals_used={"SETTINGS": replay.attrs(bulk_discount=0.05)},
                         external=[replay.returns("random.Random.random", 0.5)])
    outcome.check_returned(0.05)
    outcome.check_arguments((129.0,), {})

An external call is replaced where the function looks the callable up: a
global of the function's module (``sleep`` imported by name), an attribute
of a module global (``time.time``, ``json.load``, ``random.random``) or a
builtin (``open``). Its replacement is found by the callable's full name, as
the recorder names it. A call of a replaced callable that the record does not
hold next fails the test. An object that an external call returned and that
the recorder could only describe (a file, a connection) comes back as a
*recorded object*: it answers its recorded attributes, and its method calls
take their results from the record in turn.

Unlike the generator, this module imports and runs the program under test.
"""
import builtins
import contextlib
import copy
import datetime
import enum
import functools
import gettext
import importlib
import inspect
import os
import pickle
import sys
import types
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from tarnwick_collector import callsites
from tarnwick_collector.replay_compare import (
    _difference,
    _hash_is_stable,
    _short,
    attrs,
    check,
    made_inside,
    unkept,
)
from tarnwick_collector.replay_compare import (
    full_name_of as full_name_of,  # the recorder's name of a callable, for tests
)
from tarnwick_collector.replay_nested import nested_by_full_name, nested_function
from tarnwick_collector.replay_patches import _install_external, _Patches
from tarnwick_collector.replay_project import (
    _callables_in,
    _handed_callables,
    _hands_project_code,
    _held,
    _in_project,
    _module_of,
    _of_project,
    _project_namespaces,
    _reaches_project,
    add_project_root,
    project_roots,
)
from tarnwick_common.utils.object_wrapper import ComputedAttribute

__all__ = [
    "resolve", "module", "match", "finished_generator", "obj", "obj_state", "call_state",
    "exc", "attrs", "made_inside", "unkept", "nested_function", "handed",
    "plural_rule", "recorded_object", "returns", "raises", "run", "check", "check_globals",
    "load", "Outcome", "add_project_root", "project_roots",
]

_MISSING = object()


# --- names ---------------------------------------------------------------

def resolve(full_name: str) -> Any:
    """The object a dotted name designates: the longest importable module
    prefix, then attributes."""
    parts = full_name.split(".")
    for cut in range(len(parts), 0, -1):
        module_name = ".".join(parts[:cut])
        try:
            target: Any = importlib.import_module(module_name)
        except ImportError:
            continue
        parent: Any = None
        try:
            for part in parts[cut:]:
                parent, target = target, _member(target, part)
        except AttributeError:
            if isinstance(target, type) and part == parts[-1]:
                kept = _kept_by_descriptor(target, full_name)
                if kept is not None:
                    return kept
            continue
        if isinstance(parent, type):
            target = _getter_named(parent, parts[-1], full_name, target)
        return target
    if parts[0] in vars(builtins):
        target = vars(builtins)[parts[0]]
        for part in parts[1:]:
            target = getattr(target, part)
        return target
    hidden = _HIDDEN_BUILTINS.get(".".join(parts[:2]))
    if hidden is not None:
        # A built-in class the builtins module does not hold (a generator's
        # methods are ``builtins.generator.close``).
        try:
            return functools.reduce(getattr, parts[2:], hidden)
        except AttributeError:
            pass
    raise LookupError(f"cannot find {full_name!r}")


def _member(owner: Any, name: str) -> Any:
    """``owner``'s attribute ``name``; for a class, a private name
    (``__name``) as its body wrote it, which the class holds mangled
    (``_Class__name``)."""
    try:
        return getattr(owner, name)
    except AttributeError:
        stem = owner.__name__.lstrip("_") if isinstance(owner, type) else ""
        if not (stem and name.startswith("__") and not name.endswith("__")):
            raise
        return getattr(owner, f"_{stem}{name}")


#: The built-in classes that ``types`` names and ``builtins`` does not, by
#: the names pickle gives them.
_HIDDEN_BUILTINS = {f"builtins.{t.__name__}": t for t in vars(types).values()
                    if isinstance(t, type) and t.__module__ == "builtins"}


#: Where a descriptor made of a function keeps it.
_KEPT_FUNCTION = ("func", "fget", "__func__", "__wrapped__")


def _kept_by_descriptor(cls: type, full_name: str) -> Any:
    """The function of that name a class body defined and then removed from
    the class, kept only by a descriptor of the class made of it (a caching
    property's ``func``), when exactly one holds it; else None."""
    found = []
    for klass in cls.__mro__:
        for value in list(vars(klass).values()):
            for where in _KEPT_FUNCTION:
                try:
                    func = getattr(value, where, None)
                except Exception:
                    continue
                if isinstance(func, types.FunctionType) and \
                        f"{func.__module__}.{func.__qualname__}" == full_name and \
                        func not in found:
                    found.append(func)
    return found[0] if len(found) == 1 else None


def _getter_named(cls: type, name: str, full_name: str, found: Any) -> Any:
    """A function of a class body whose name a property made of it now
    holds: read on the class, the name gives the property (or what it makes
    of the class), but the recorder named the function."""
    for klass in cls.__mro__:
        raw = vars(klass).get(name, _MISSING)
        if raw is not _MISSING:
            break
    else:
        return found
    getter = getattr(raw, "fget", None) if isinstance(raw, property) else None
    if getter is None or getter is found or not callable(getter):
        return found
    named = f"{getattr(getter, '__module__', '')}.{getattr(getter, '__qualname__', '')}"
    return getter if named == full_name else found


def module(name: str) -> types.ModuleType:
    """The module of that name: imported, or made afresh when there is none
    to import (an import hook made it; the record holds only its name)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return types.ModuleType(name)


# --- values --------------------------------------------------------------

def _apply_state(instance: Any, state: Any) -> None:
    if state is None:
        return
    setstate = getattr(type(instance), "__setstate__", None)
    if setstate is not None and setstate is not getattr(object, "__setstate__", None):
        try:
            instance.__setstate__(state)
            return
        except Exception:
            # The state of an object its initializer had only begun to fill
            # (a base class's initializer ran on it) is not one its own
            # ``__setstate__`` takes: its attributes are set as recorded.
            if not isinstance(state, dict) or not hasattr(instance, "__dict__"):
                raise
    slots = None
    if isinstance(state, tuple) and len(state) == 2:
        state, slots = state
    if state:
        instance.__dict__.update(state)
        _bind_own_methods(instance, instance.__dict__)
    for name, value in (slots or {}).items():
        setattr(instance, name, value)


def _new(cls: type, args: Tuple[Any, ...]) -> Any:
    """``cls.__new__(cls, *args)``, as a pickle stream makes an instance. A
    tuple subclass whose ``__new__`` takes the items one by one
    (``codecs.CodecInfo``) is pickled with its items as one argument, which
    it refuses (stock unpickling fails too): it is made with those items."""
    try:
        return cls.__new__(cls, *args)
    except TypeError:
        if issubclass(cls, tuple) and len(args) == 1 and isinstance(args[0], tuple):
            return tuple.__new__(cls, args[0])
        raise


def obj_state(cls: Any, args: Tuple[Any, ...] = (), state: Any = None) -> Any:
    """An instance of ``cls`` as the recorder stored it: made without running
    its initializer (``cls.__new__``), then given the recorded state."""
    if isinstance(cls, enum.EnumMeta):
        return cls(*args)
    if isinstance(cls, type) and issubclass(cls, BaseException):
        instance = cls.__new__(cls, *args)
        instance.args = tuple(args)
    elif isinstance(cls, type):
        instance = _new(cls, args)
    else:  # a factory function
        return cls(*args)
    _apply_state(instance, state)
    return instance


def call_state(cls: Any, args: Tuple[Any, ...] = (), state: Any = None) -> Any:
    """An instance of ``cls`` made as pickle makes it from a reduction:
    ``cls(*args)``, then given the recorded state. An exception is made
    without its initializer, whose parameters may differ from its ``args``
    (as ``_ExceptionClass`` makes one from a stream)."""
    if isinstance(cls, type) and issubclass(cls, BaseException):
        return obj_state(cls, args, state)
    instance = cls(*args)
    _apply_state(instance, state)
    return instance


def plural_rule(header: str) -> Callable[[int], int]:
    """The plural rule of a gettext catalog, made from its Plural-Forms
    header as ``gettext.GNUTranslations`` makes it."""
    return gettext.c2py(header.split(";")[1].split("plural=")[1])


def obj(cls: Any, **state: Any) -> Any:
    """An instance of ``cls`` with these attributes, made without running its
    initializer. With none, it is given no state at all: pickle calls no
    ``__setstate__`` for an object whose ``__dict__`` was empty."""
    return obj_state(cls, (), state or None)


def exc(cls: Any, *args: Any, **state: Any) -> BaseException:
    """An exception of class ``cls`` with these ``args`` and attributes."""
    return obj_state(cls, args, state or None)


def match(pattern: Any, string: Any, pos: int, endpos: int, regs: Sequence[Any]) -> Any:
    """The match object of ``re`` the record describes: ``pattern`` matched
    in ``string`` between ``pos`` and ``endpos``, with the groups' spans
    ``regs``. The record does not say how it was found (``match``,
    ``fullmatch``, ``search`` or one of ``finditer``'s): the first of those
    that gives those spans is it."""
    spans = tuple(tuple(span) for span in regs)
    found = [pattern.match(string, pos, endpos), pattern.fullmatch(string, pos, endpos)]
    for candidate in found:
        if candidate is not None and candidate.regs == spans:
            return candidate
    for candidate in pattern.finditer(string, pos, endpos):
        if candidate.regs == spans:
            return candidate
        if candidate.start() > spans[0][0]:
            break
    raise AssertionError(f"the recorded match of {pattern.pattern!r} in {string!r} "
                         f"(spans {spans!r}) cannot be made again")


class _NotFound(made_inside):
    """What a data file names that cannot be found by its name (a lambda
    in a global's dict): ``pick`` leaves such a global alone, and a
    comparison takes whatever has that module and qualified name for it."""

    def __init__(self, name: str) -> None:
        super().__init__(name)
        self.name = name


def _load_class_by_name(name: str, *rest: Any) -> Any:
    try:
        return resolve(name)
    except LookupError:
        if "<" not in name:
            raise
        nested = nested_by_full_name(name)
        return _NotFound(name) if nested is None else nested


def _holds_not_found(value: Any, depth: int = 0) -> bool:
    if isinstance(value, _NotFound):
        return True
    if depth > 8:
        return False
    if isinstance(value, dict):
        return any(_holds_not_found(v, depth + 1) for v in value.values())
    if isinstance(value, (list, tuple, set, frozenset)):
        return any(_holds_not_found(v, depth + 1) for v in value)
    return False


def _rebuild_exception(full_name: Any, args: Any = (), state: Any = None) -> Any:
    cls = resolve(full_name) if isinstance(full_name, str) else full_name
    return obj_state(cls, tuple(args or ()), state or None)


class _ExceptionClass:
    """An exception class as a pickle stream calls it (``cls(*args)``): made
    without its initializer, whose parameters may differ from ``args``."""

    def __init__(self, cls: type) -> None:
        self.cls = cls

    def __call__(self, *args: Any) -> Any:
        return obj_state(self.cls, args)


class _ZoneClass:
    """A zone class of the program as a pickle stream calls it. ``tzinfo``
    pickles as its class called without arguments, then given its state:
    a class whose initializer wants arguments is made without running it,
    as the generator's source text makes it."""

    def __init__(self, cls: type) -> None:
        self.cls = cls

    def __call__(self, *args: Any) -> Any:
        try:
            return self.cls(*args)
        except TypeError:
            if args:
                raise
            return obj_state(self.cls)


def _pickles_as_tzinfo(cls: Any) -> bool:
    return isinstance(cls, type) and issubclass(cls, datetime.tzinfo) and \
        cls.__module__ != "datetime" and \
        cls.__reduce__ is datetime.tzinfo.__reduce__ and \
        cls.__reduce_ex__ is datetime.tzinfo.__reduce_ex__


_SPECIAL = {
    ("jsonpickle.unpickler", "loadclass"): _load_class_by_name,
    ("tarnwick_collector.data_serialization.pickler", "wrap_module"): module,
    ("tarnwick_collector.data_serialization.pickler", "wrap_exception"): _rebuild_exception,
}


class _Finder:
    """The classes a recorded stream names, as the replay rebuilds them."""

    def find_class(self, module: str, name: str) -> Any:
        special = _SPECIAL.get((module, name))
        if special is not None:
            return special
        if f"{module}.{name}" == GENERATOR_CONTEXT_MANAGER:
            return _LoadedContextManager
        if (module, name) == ("tarnwick_common.utils.object_wrapper", "UnpicklableObject"):
            return _loaded_recorded_object
        if (module, name) == ("tarnwick_collector.data_serialization.pickler", "wrap_object"):
            return lambda cls, funcs=None: _WrappedObject()
        try:
            found = super().find_class(module, name)  # type: ignore[misc]
        except AttributeError:
            if "<locals>" not in name:
                raise
            found = nested_function(module, name)
        if isinstance(found, type) and issubclass(found, BaseException):
            return _ExceptionClass(found)
        if _pickles_as_tzinfo(found):
            return _ZoneClass(found)
        return found


class _Unpickler(_Finder, pickle.Unpickler):
    pass


def _set_item(target: Any, key: Any, value: Any) -> None:
    if isinstance(target, dict) and type(target) is not dict:
        dict.__setitem__(target, key, value)
    else:
        target[key] = value


def _add_items(target: Any, items: list) -> None:
    if isinstance(target, list) and type(target) is not list:
        list.extend(target, items)
        return
    extend = getattr(target, "extend", None)
    if extend is not None:
        extend(items)
    else:
        for item in items:
            target.append(item)


#: The unpickler written in Python, whose opcodes can be taken one by one.
_PythonUnpickler: Any = pickle._Unpickler


class _StateUnpickler(_Finder, _PythonUnpickler):
    """Rebuilds the items of a dict or list subclass as they were recorded,
    without the subclass's own ``__setitem__``, ``append`` or ``extend``:
    those run on an object whose attributes are not set yet (the stream
    sets them after the items), where stock unpickling fails (a dict that
    keeps its inverse in an attribute). Tuple subclasses are made as
    ``_new`` makes them."""

    dispatch: Dict[int, Any] = dict(_PythonUnpickler.dispatch)

    def load_setitem(self) -> None:
        value = self.stack.pop()
        key = self.stack.pop()
        _set_item(self.stack[-1], key, value)

    def load_setitems(self) -> None:
        items = self.pop_mark()
        target = self.stack[-1]
        for i in range(0, len(items), 2):
            _set_item(target, items[i], items[i + 1])

    def load_append(self) -> None:
        value = self.stack.pop()
        _add_items(self.stack[-1], [value])

    def load_appends(self) -> None:
        items = self.pop_mark()
        _add_items(self.stack[-1], items)

    def load_newobj(self) -> None:
        args = self.stack.pop()
        cls = self.stack.pop()
        self.append(_new(cls, args) if isinstance(cls, type) else cls.__new__(cls, *args))

    dispatch[pickle.NEWOBJ[0]] = load_newobj
    dispatch[pickle.SETITEM[0]] = load_setitem
    dispatch[pickle.SETITEMS[0]] = load_setitems
    dispatch[pickle.APPEND[0]] = load_append
    dispatch[pickle.APPENDS[0]] = load_appends


class _WrappedObject:
    """Only the attributes a call used of a global object."""

    def __setstate__(self, state: Any) -> None:
        self.values = dict(state or {})


def load(data_file: str, case: str, field: str) -> Any:
    """A recorded value kept in a data file beside the test module: the
    stored pickle of ``field`` of ``case``, rebuilt (this imports the
    classes it names)."""
    with open(data_file, "rb") as fh:
        content = fh.read()
    if content.startswith(b"#"):  # the generator's header line
        content = content.split(b"\n", 1)[1]
    cases = pickle.loads(content)
    value = _plain(_loads(cases[case][field]))
    # An external call's result stays as described; elsewhere a match of
    # ``re`` is made again (see ``match``).
    return value if field.startswith("external_") else _with_matches(value, set())


def finished_generator_name(type_name: Any, attributes: Dict[str, Any],
                            attributes_of: Callable[[Any], Dict[str, Any]]) -> Optional[str]:
    """The qualified name of the generator a placeholder of type
    ``type_name`` with ``attributes`` describes, when it had run to its end
    (no frame left, not running), else None. ``attributes_of`` reads the
    attributes of the placeholder of its code."""
    if type_name != "generator" or "gi_frame" not in attributes or \
            attributes["gi_frame"] is not None or attributes.get("gi_running") is not False:
        return None
    code = attributes_of(attributes.get("gi_code"))
    name = code.get("co_qualname", code.get("co_name"))
    return name if isinstance(name, str) and name else None


def finished_generator(qualname: str) -> Any:
    """A generator that has run to its end, named ``qualname``: all a record
    holds of one (an iterator a program consumed and kept, say), and all
    that can be done with it (its next item ends it)."""
    def generator() -> Any:
        yield None

    made = generator()
    for _ in made:
        pass
    made.__name__ = qualname.rpartition(".")[2]
    made.__qualname__ = qualname
    return made


def _with_matches(value: Any, seen: set) -> Any:
    """``value`` with each described match of ``re`` in it (in containers
    and objects' attributes) made again by ``match``, and each zone class
    the stream names as a value the class itself (see ``_ZoneClass``)."""
    if isinstance(value, _ZoneClass):  # the class itself, as a value
        return value.cls
    if isinstance(value, _LoadedRecordedObject):
        parts = object.__getattribute__(value, "_tw_attributes")
        if object.__getattribute__(value, "_tw_type") == "re.Match" and all(
                k in parts for k in ("re", "string", "pos", "endpos", "regs")):
            return match(parts["re"], parts["string"], parts["pos"], parts["endpos"],
                         parts["regs"])
        name = finished_generator_name(
            object.__getattribute__(value, "_tw_type"), parts,
            lambda code: object.__getattribute__(code, "_tw_attributes")
            if isinstance(code, _LoadedRecordedObject) else {})
        return value if name is None else finished_generator(name)
    if id(value) in seen:
        return value
    seen.add(id(value))
    if type(value) is tuple:
        items = tuple(_with_matches(v, seen) for v in value)
        return items if any(a is not b for a, b in zip(items, value)) else value
    if type(value) is list:
        value[:] = [_with_matches(v, seen) for v in value]
    elif type(value) is dict:
        for k, v in list(value.items()):
            value[k] = _with_matches(v, seen)
    elif not isinstance(value, (type, types.ModuleType, types.FunctionType)):
        own = getattr(value, "__dict__", None)
        if type(own) is dict:
            for k, v in list(own.items()):
                own[k] = _with_matches(v, seen)
            _bind_own_methods(value, own)
    return value


def _own_method(cls: type, value: Any) -> bool:
    """Whether ``value`` is a function that ``cls`` (or a base) defines as
    a plain method, under the function's own name."""
    if not isinstance(value, types.FunctionType) or "." not in value.__qualname__:
        return False
    try:
        return inspect.getattr_static(cls, value.__name__, None) is value
    except Exception:
        return False


def _bind_own_methods(instance: Any, own: Dict[str, Any]) -> None:
    """The recorder keeps a method bound to its receiver as the function
    alone, by its name. A function of the instance's own class held in its
    attributes, or in a dict or list one of them holds (a cache of
    ``getattr(self, name)``, a handler ``self.on_event``), was bound to it:
    it is bound to it again."""
    cls = type(instance)

    def bound(value: Any) -> Any:
        return types.MethodType(value, instance) if _own_method(cls, value) else value

    for key, value in list(own.items()):
        if type(value) is dict:
            for k, v in list(value.items()):
                value[k] = bound(v)
        elif type(value) is list:
            value[:] = [bound(v) for v in value]
        else:
            own[key] = bound(value)


def _plain(value: Any) -> Any:
    if isinstance(value, _WrappedObject):
        # (An object the call reached through another one's attribute is
        # recorded the same way: it too is the program's, with only those
        # attributes set.)
        return attrs(**{k: _plain(v) for k, v in value.values.items()})
    if type(value) is dict:
        return {k: _plain(v) for k, v in value.items()}
    return value


def pick(values: Dict[str, Any], names: Sequence[str]) -> Dict[str, Any]:
    """The entries of ``values`` named by ``names``, but those that name
    code that cannot be found by its name (left as the program defines
    them)."""
    return {name: values[name] for name in names
            if name in values and not _holds_not_found(values[name])}


def _loads(data: bytes) -> Any:
    import io
    try:
        return _Unpickler(io.BytesIO(data)).load()
    except Exception as error:
        # Stock unpickling ran a subclass's own item methods on a half-made
        # object; the items are set again as recorded. What still fails
        # fails with the first error.
        try:
            return _StateUnpickler(io.BytesIO(data)).load()
        except Exception:
            raise error from None


def data_file(test_file: str, name: str) -> str:
    return os.path.join(os.path.dirname(os.path.abspath(test_file)), name)


# --- external calls ------------------------------------------------------

class _Expected:
    def __init__(self, name: str, result: Any = None, error: Any = None) -> None:
        self.name = name
        self.result = result
        self.error = error

    def __repr__(self) -> str:
        return f"{self.name}(...)"


def returns(name: str, value: Any) -> _Expected:
    """A recorded external call of ``name`` that returned ``value``."""
    return _Expected(name, result=value)


def raises(name: str, error: BaseException) -> _Expected:
    """A recorded external call of ``name`` that raised ``error``."""
    return _Expected(name, error=error)


class recorded_object:
    """What an external call returned that the recorder could only describe
    (its type and readable attributes): its attributes are the recorded
    ones; its methods give the recorded results of calls of
    ``TYPE.method`` in turn."""

    def __new__(cls, type_name: str = "?", *args: Any, **attributes: Any) -> "recorded_object":
        if cls is recorded_object and type_name == GENERATOR_CONTEXT_MANAGER:
            cls = _RecordedContextManager
        return object.__new__(cls)

    def __init__(self, type_name: str, **attributes: Any) -> None:
        object.__setattr__(self, "_tw_type", type_name)
        object.__setattr__(self, "_tw_attributes", attributes)
        object.__setattr__(self, "_tw_replay", None)

    def __getattr__(self, name: str) -> Any:
        values = object.__getattribute__(self, "_tw_attributes")
        if name in values:
            return values[name]
        if name.startswith("__"):
            raise AttributeError(name)
        return _MethodStub(self, name)

    def _tw_call(self, method: str, *args: Any, **kwargs: Any) -> Any:
        replay = object.__getattribute__(self, "_tw_replay")
        if replay is None and _RUNNING:
            # Kept by the program from an earlier call (a cache of streams):
            # the call now running made the recorded calls of its methods.
            replay = _RUNNING[-1]
        if replay is None:
            raise AssertionError(
                f"{method}() called on the recorded {self._tw_type} after the call ended")
        return replay.method_call(self, method)

    def __enter__(self) -> Any:
        return self._tw_call("__enter__")

    def __exit__(self, *exc_info: Any) -> Any:
        return self._tw_call("__exit__")

    def __iter__(self) -> Any:
        return iter(self._tw_call("__iter__"))

    def __repr__(self) -> str:
        return f"<recorded {self._tw_type}>"

    def __deepcopy__(self, memo: Dict[int, Any]) -> Any:
        return self  # a description, never changed


class _LoadedRecordedObject(recorded_object):
    """A ``recorded_object`` as a data file holds it. In a value compared
    (an instance built) it stands for what the recorder could not keep."""

    _tw_unkept = True

    def __setstate__(self, state: Any) -> None:
        values = object.__getattribute__(self, "_tw_attributes")
        if isinstance(state, tuple) and len(state) == 2:
            state = {**(state[0] or {}), **(state[1] or {})}
        for key, value in (state or {}).items():
            if isinstance(key, str) and not key.startswith("_wrapped"):
                values[key] = value


#: What ``contextlib.contextmanager`` makes of a generator function's call.
GENERATOR_CONTEXT_MANAGER = "contextlib._GeneratorContextManager"


class _RecordedContextManager(recorded_object):
    """A context manager ``contextlib.contextmanager`` made: its generator is
    never kept, so entering and leaving it give their recorded results. It
    also decorates a function, as the real one does: each call of the
    function enters it and leaves it around the function's body."""

    def __call__(self, func: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(func)
        def inner(*args: Any, **kwargs: Any) -> Any:
            with self:
                return func(*args, **kwargs)
        return inner


class _LoadedContextManager(_LoadedRecordedObject, _RecordedContextManager):
    """A context manager ``contextlib.contextmanager`` made, as a data file
    holds it (see ``_RecordedContextManager``)."""

    def __new__(cls, *args: Any, **kwargs: Any) -> "_LoadedContextManager":
        made = object.__new__(cls)
        recorded_object.__init__(made, GENERATOR_CONTEXT_MANAGER)
        return made

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        pass


def _loaded_recorded_object(type_text: Any = "?", *rest: Any) -> recorded_object:
    text = str(type_text)
    if text.count("'") >= 2:
        text = text.split("'")[1]
    return _LoadedRecordedObject(text)


class _MethodStub:
    def __init__(self, owner: recorded_object, name: str) -> None:
        self.owner = owner
        self.name = name

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self.owner._tw_call(self.name, *args, **kwargs)


class ReplayFailure(AssertionError):
    pass


def handed(full_name: str) -> Any:
    """The library callable ``full_name`` as the test hands it to the
    function (``Schema(os.path.isfile)``, held by an argument): while a call
    whose record holds calls of it is replayed, the project's own calls of
    it give their recorded outcomes in their turn, as replaced calls do;
    other calls run the callable itself. It compares as that callable. A
    class is handed as itself."""
    original = resolve(full_name)
    if isinstance(original, type) or not callable(original):
        return original

    def stand_in(*args: Any, **kwargs: Any) -> Any:
        for replay in reversed(_RUNNING):
            if full_name in replay.expected_names:
                return replay.stand_in_call(full_name, original, stand_in, sys._getframe(1),
                                            args, kwargs)
        return original(*args, **kwargs)
    functools.update_wrapper(stand_in, original, updated=())  # its names, __wrapped__
    stand_in._tw_handed = full_name  # type: ignore[attr-defined]
    return stand_in


#: The replays of the calls running, innermost last.
_RUNNING: List["_Replay"] = []


class _Replay:
    def __init__(self, target: str, expected: Sequence[_Expected]) -> None:
        self.target = target
        self.pending: List[_Expected] = list(expected)
        self.expected_names = {call.name for call in self.pending}
        self.replaced: set = set()
        self.failures: List[str] = []
        self.objects: List[recorded_object] = []
        self.originals: Dict[str, Any] = {}
        self.root: Optional[str] = None
        self.deciding = False
        # The last replaced call (its arguments and the callable it stood
        # in for): when it was handed a function of the project, the
        # recorded calls that function made while it ran come next, and a
        # stand-in does not make them. Told only where the order needs it.
        self.last_call: Optional[Tuple[Any, Any, Any]] = None
        self._last_called_back: Optional[bool] = None
        # The ids of the callables the test hands the function (an argument,
        # or held by one: ``self.digest_method``), which it calls as they
        # are, never through a replaced name.
        self.handed: set = set()

    def _waited_for(self, call: _Expected) -> bool:
        """Whether the recorded ``call`` is one the function must make
        through a stand-in: its callable was replaced, and the test does not
        hand it to the function itself."""
        return call.name in self.replaced and \
            id(self.originals.get(call.name)) not in self.handed

    def called_back(self) -> bool:
        """Whether the last replaced call may have called back into the
        project (see ``last_call``)."""
        if self.last_call is None:
            return False
        if self._last_called_back is None:
            args, kwargs, original = self.last_call
            with self._deciding():
                self._last_called_back = _hands_project_code(self.root, (args, kwargs)) or (
                    original is not None and _reaches_project(self.root, original))
        return self._last_called_back

    @contextlib.contextmanager
    def _deciding(self) -> Iterator[None]:
        """While the replay's own checks run (they call ``os.path.abspath``,
        which calls ``os.fspath``): a stand-in gives the real callable."""
        self.deciding = True
        try:
            yield
        finally:
            self.deciding = False

    def _fail(self, message: str) -> ReplayFailure:
        self.failures.append(message)
        return ReplayFailure(message)

    def _take(self, matches: Any, what: str) -> _Expected:
        """The next recorded call, which must match; recorded calls of
        callables that were not replaced or that the test hands the function
        (the real ones ran) are passed over, and so, after a replaced call
        that was handed a function of the project, are the calls that
        function made inside it."""
        inside: List[int] = []
        for i, call in enumerate(self.pending):
            if matches(call.name):
                del self.pending[i]
                for j in reversed(inside):
                    del self.pending[j]
                self.last_call = None
                return call
            if self._waited_for(call):
                if not self.called_back():
                    break
                inside.append(i)
        nxt = self._next_replaced()
        where = f"; the record has {nxt} next" if nxt else \
            "; the record holds no more such calls"
        raise self._fail(f"{self.target} made an external call the record does not "
                         f"hold: {what}{where}")

    def _next_replaced(self) -> Optional[_Expected]:
        for call in self.pending:
            if self._waited_for(call):
                return call
        return None

    def _outcome(self, call: _Expected) -> Any:
        if call.error is not None:
            raise call.error
        result = call.result
        if isinstance(result, recorded_object):
            object.__setattr__(result, "_tw_replay", self)
            self.objects.append(result)
        return result

    def stub(self, name: str, method: bool = False, replaces: Any = None) -> Any:
        """The stand-in for the callable ``name``; ``method``: a method
        written in Python, replaced on its class; ``replaces``: the object
        it stands in for where it is put, when known (objects of one name
        may differ: a library's wrapper of a method of the project's object
        is named after the library's method)."""
        def stand_in(*args: Any, **kwargs: Any) -> Any:
            original = replaces if replaces is not None else self.originals.get(name)
            return self.stand_in_call(name, original, stand_in, sys._getframe(1), args, kwargs,
                                      method)
        stand_in.__name__ = name.rpartition(".")[2]
        stand_in.__qualname__ = name
        return stand_in

    def stand_in_call(self, name: str, original: Any, stand_in: Any, caller: Any,
                      args: tuple, kwargs: dict, method: bool = False) -> Any:
        """A call of the stand-in for ``name`` from the frame ``caller``:
        the recorded call's outcome, in its turn, or the ``original``'s."""
        # Only the project's own calls were recorded: a library that calls
        # the same function while the call runs gets the real one, and so
        # does library code the project handed it to (a map, a sort key),
        # which calls it out of the recorder's sight.
        if original is not None:
            if self.deciding:
                # Called by the replay's own checks (``os.path.abspath`` calls
                # ``os.fspath``): the replay's own call gets the real one.
                return original(*args, **kwargs)
            with self._deciding():
                ours = _in_project(self.root, caller.f_code.co_filename) and \
                    callsites.may_call(caller, stand_in)
            if not ours:
                return original(*args, **kwargs)
        call = self._take(lambda n: n == name, f"{name}(...)")
        if method and original is not None and args:
            # A library's method run on an object of the project (a
            # mapping mixin's popitem on the program's cache) works
            # through the object's own methods: it runs, in its turn.
            with self._deciding():
                runs = _of_project(self.root, type(args[0]))
            if runs:
                return original(*args, **kwargs)
        # (A library's wrapper of a method of the project's own object
        # calls back too: ``recursive_repr()(Repr().repr)``.)
        self.last_call, self._last_called_back = (args, kwargs, original), None
        return self._outcome(call)

    def method_call(self, owner: recorded_object, method: str) -> Any:
        def matches(n: str) -> bool:
            return n.rpartition(".")[2] == method

        if method in ("__enter__", "__exit__", "__iter__") and not any(
                matches(c.name) for c in self.pending):
            # Not recorded (the interpreter calls them by their slots).
            return owner if method != "__exit__" else None
        return self._outcome(self._take(matches, f"{owner._tw_type}.{method}(...)"))


# --- the call ------------------------------------------------------------

class Outcome:
    """What the replayed call did."""

    def __init__(self, target: str, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> None:
        self.target = target
        self.args = args
        self.kwargs = kwargs
        self.returned: Any = None
        self.raised: Optional[BaseException] = None
        # For an initializer: the instance it ran on.
        self.built: Any = None
        # For a generator: the values it yielded and how it ended.
        self.yielded: List[Any] = []
        self.ending: Optional[str] = None
        # A context manager's generator: the `with` block ran between its
        # yield and its end, and the test does not run it.
        self.managed = False

    def check_returned(self, expected: Any) -> None:
        if self.raised is not None:
            raise AssertionError(
                f"{self.target} raised {type(self.raised).__qualname__}: {self.raised}; "
                f"the record says it returned {_short(expected)}") from self.raised
        check(self.returned, expected, "returned value")

    def check_built(self, expected: Any) -> None:
        """The instance an initializer built, as calling its class returned
        it in the recorded run."""
        self.check_returned(None)
        check(self.built, expected, "instance built")

    def check_hash(self, expected: int) -> None:
        """What ``__hash__`` returned: the recorded int, unless the hash
        may differ from run to run (it hashes text, bytes or dates, which
        the interpreter hashes with a seed of each run, or an object by its
        identity): then any int."""
        if self.raised is None and type(self.returned) is int and \
                self.returned != expected and not _hash_is_stable(self.args):
            return
        self.check_returned(expected)

    def check_raised(self, expected: Union[BaseException, type]) -> None:
        if isinstance(expected, type):
            # The recorder keeps an exception that is no ``Exception``
            # (``SystemExit``, ``KeyboardInterrupt``) by its class alone.
            if self.raised is None or type(self.raised) is not expected:
                got = f"returned {_short(self.returned)}" if self.raised is None else \
                    f"raised {type(self.raised).__qualname__}: {self.raised}"
                raise AssertionError(f"{self.target} {got}; the record says it raised "
                                     f"{expected.__qualname__}") from self.raised
            return
        if self.raised is None:
            raise AssertionError(
                f"{self.target} returned {_short(self.returned)}; the record says it raised "
                f"{type(expected).__qualname__}{expected.args!r}")
        if type(self.raised) is not type(expected):
            raise AssertionError(
                f"{self.target} raised {type(self.raised).__qualname__}: {self.raised}; "
                f"the record says {type(expected).__qualname__}{expected.args!r}") \
                from self.raised
        check(self.raised.args, expected.args, "exception arguments")

    def check_yielded(self, expected: Sequence[Any]) -> None:
        """The values the generator yielded, in order (its first
        ``len(expected)`` ones when the record kept no more)."""
        check(list(self.yielded[:len(expected)]), list(expected), "yielded values")
        if len(self.yielded) < len(expected):
            raise AssertionError(
                f"{self.target} yielded {len(self.yielded)} value(s) and "
                f"{self._ending_text()}; the record says it yielded {len(expected)}")

    def check_ending(self, expected: str) -> None:
        """How the generator ended: "returned", "raised", or "closed" (still
        suspended when it was closed, as at the end of its recorded use)."""
        if self.ending != expected:
            raise AssertionError(
                f"{self.target} {self._ending_text()}; the record says it "
                f"{'ended by ' if expected == 'closed' else ''}{expected}") from self.raised

    def _ending_text(self) -> str:
        if self.ending == "raised" and self.raised is not None:
            return f"raised {type(self.raised).__qualname__}: {self.raised}"
        if self.ending == "returned":
            return f"returned {_short(self.returned)}"
        return "was still running when closed"

    def check_arguments(self, args: Sequence[Any], kwargs: Dict[str, Any]) -> None:
        """The arguments as the call left them. Not those of a context
        manager that yielded: the record holds what its `with` block did to
        them too."""
        if self.managed and self.yielded:
            return
        check(tuple(self.args), tuple(args), "arguments after the call")
        check(self.kwargs, kwargs, "keyword arguments after the call")


def _static(target: str) -> Any:
    """The function ``target`` names, as its class defines it: a property
    that gives something else when read from the class (a documentation
    string of the class, for a property ``__doc__``) is the property. A
    function defined inside a function is made again from its code."""
    try:
        function = resolve(target)
    except LookupError:
        function = nested_by_full_name(target) if "<" in target else None
        if function is None:
            raise
    owner_name, _, attr = target.rpartition(".")
    if owner_name and not callable(function):
        try:
            owner = resolve(owner_name)
        except LookupError:
            return function
        if isinstance(owner, type):
            found = inspect.getattr_static(owner, attr, None)
            if isinstance(found, property):
                return found
    return function


def _manages_context(function: Any) -> bool:
    """Whether ``function`` is a generator function made a context manager
    (``contextlib.contextmanager``)."""
    raw = getattr(function, "__func__", function)
    code = getattr(raw, "__code__", None)
    return code is not None and hasattr(raw, "__wrapped__") and \
        code.co_filename == contextlib.contextmanager.__code__.co_filename


def _unwrapped(function: Any) -> Any:
    """The function a decorator wrapped (``functools.wraps``): the record is
    of its call, with the arguments it got."""
    inner = getattr(function, "__func__", None)
    owner = getattr(function, "__self__", None)
    try:
        if inner is not None and owner is not None and not isinstance(owner, types.ModuleType):
            unwrapped = inspect.unwrap(inner)
            return function if unwrapped is inner else types.MethodType(unwrapped, owner)
        return inspect.unwrap(function)
    except ValueError:  # a cycle of __wrapped__
        return function


def _function_named(target: str, n_args: int = 1) -> Any:
    """The function a record names, as the test calls it. A property's
    getter (or setter, told by the number of arguments) is recorded under
    the property's name."""
    function = _static(target)
    if n_args == 2 and not isinstance(function, property):
        # A setter named like its getter: resolved by name, the getter.
        owner_name, _, attr = target.rpartition(".")
        try:
            owner = resolve(owner_name) if owner_name else None
        except LookupError:
            owner = None
        if isinstance(owner, type):
            found = inspect.getattr_static(owner, attr, None)
            if isinstance(found, property) and found.fget is function and found.fset:
                function = found
    if isinstance(function, property):
        function = function.fset if n_args == 2 and function.fset else function.fget
    elif hasattr(function, "func") and type(function).__name__ == "cached_property":
        function = function.func
    return _unwrapped(function)


def _namespace_of(function: Any) -> Dict[str, Any]:
    raw = getattr(function, "__func__", function)
    namespace = getattr(raw, "__globals__", None)
    if namespace is None:
        module = _module_of(raw)
        namespace = vars(module) if module is not None else {}
    return namespace


class _GlobalSpaces:
    """Where a global a call used lives. A recorded call also holds the
    globals of the project functions it called, which may live in other
    modules: a name the function's module does not define is found where
    the project's other modules define it."""

    def __init__(self, namespace: Dict[str, Any]) -> None:
        self.namespace = namespace
        self.others: Optional[List[Dict[str, Any]]] = None

    def of(self, name: str) -> List[Dict[str, Any]]:
        if name in self.namespace:
            return [self.namespace]
        if self.others is None:
            self.others = _project_namespaces(self.namespace)[1:]
        return [space for space in self.others if name in space]


def check_globals(target: str, values: Dict[str, Any]) -> None:
    """Check that the module-level values the calls of ``target`` read are,
    as the program defines them, the recorded ``values``."""
    spaces = _GlobalSpaces(_namespace_of(_function_named(target)))
    differences = []
    for name, expected in values.items():
        where = spaces.of(name)
        if not where:
            differences.append(f"{name}: the program no longer defines it")
            continue
        for space in where:
            found = _difference(space[name], expected, name, set())
            if found:
                differences.append(found)
    if differences:
        raise AssertionError(
            f"module-level values read by {target} differ from the recording:\n  "
            + "\n  ".join(differences))


def _set_globals(patches: _Patches, namespace: Dict[str, Any],
                 values: Dict[str, Any]) -> None:
    """Set the globals a call used to their recorded values (see
    ``_GlobalSpaces`` for where)."""
    spaces = _GlobalSpaces(namespace)
    for name, value in values.items():
        for space in spaces.of(name):
            if isinstance(value, attrs):
                _set_attributes(patches, space[name], value)
            elif _bare(value) and type(space.get(name)) is type(value):
                pass  # a sentinel: the program's own, which its defaults hold
            else:
                patches.setattr(space, name, value)


def _set_attributes(patches: _Patches, current: Any, value: "attrs") -> None:
    """Set the attributes of the program's object ``current`` that ``value``
    lists; an object reached through one of them is the program's too."""
    for attr, attr_value in value.values.items():
        if isinstance(attr_value, ComputedAttribute):
            continue  # not kept by the recorder: as the program has it
        if isinstance(attr_value, attrs):
            try:
                inner = getattr(current, attr)
            except Exception:
                continue
            _set_attributes(patches, inner, attr_value)
            continue
        try:
            patches.setattr(current, attr, attr_value)
        except (AttributeError, TypeError):
            pass  # read-only: the program could not change it either


def _as_yielded(value: Any) -> Any:
    """A yielded value as it was when yielded, as the recorder kept it: the
    generator (or the code taking its values) may change the object later
    (``yield self`` from a context manager). A value that cannot be copied
    is kept as it is."""
    if isinstance(value, (int, float, str, bytes, type(None))):
        return value
    try:
        return copy.deepcopy(value)
    except Exception:
        return value


def _drive(outcome: Outcome, gen: Any, steps: int, close: bool) -> None:
    """Iterate a generator as its recorded use did: ``steps`` values, then
    close it when ``close`` (it was closed, or collected, at that point), or
    else on to its end (one value more than recorded at most: the check
    then tells the difference)."""
    limit = steps if close else steps + 1
    try:
        while len(outcome.yielded) < limit:
            outcome.yielded.append(_as_yielded(next(gen)))
    except StopIteration as stop:
        outcome.returned, outcome.ending = stop.value, "returned"
        return
    except (ReplayFailure, KeyboardInterrupt):
        raise
    except BaseException as error:
        outcome.raised, outcome.ending = error, "raised"
        return
    outcome.ending = "closed"
    gen.close()


def _with_sentinel_defaults(function: Any, args: Tuple[Any, ...], kwargs: Dict[str, Any],
                            offset: int) -> Tuple[Tuple[Any, ...], Dict[str, Any]]:
    """``args`` and ``kwargs`` with each bare object (an ``object()``, an
    instance without state or equality of its own) that stands where
    ``function`` has a default of its class replaced by that default. Such a
    default is a sentinel (``default=_marker``, ``coll=EMPTY``), told by its
    identity, which a record cannot keep: the recorder stores the arguments
    a call's parameters got, defaults included. ``offset``: parameters taken
    before ``args`` (the instance of an initializer)."""
    if isinstance(function, types.MethodType):
        function, offset = function.__func__, offset + 1
    if not isinstance(function, types.FunctionType) or not any(
            _bare(v) for v in (*args, *kwargs.values())):
        return args, kwargs
    code = function.__code__
    defaults = function.__defaults__ or ()
    first = code.co_argcount - len(defaults)
    by_name = {name: defaults[i - first]
               for i, name in enumerate(code.co_varnames[:code.co_argcount]) if i >= first}
    by_name.update(function.__kwdefaults__ or {})
    items = list(args)
    for i, value in enumerate(items):
        at = i + offset
        if first <= at < code.co_argcount and _bare(value) and \
                type(defaults[at - first]) is type(value):
            items[i] = defaults[at - first]
    for name, value in kwargs.items():
        if name in by_name and _bare(value) and type(by_name[name]) is type(value):
            kwargs[name] = by_name[name]
    return tuple(items), kwargs


def _bare(value: Any) -> bool:
    """Whether ``value`` is told from others of its class by its identity
    alone: an ``object()``, or an instance of a class of Python code with
    no equality of its own and no state."""
    cls = type(value)
    if cls is object:
        return True
    if cls.__module__ == "builtins" or getattr(cls, "__eq__", None) is not object.__eq__ \
            or isinstance(value, (type, types.FunctionType, types.ModuleType)):
        return False
    return not _held(value)


def _take_handed_turns(replay: _Replay, value: Any) -> None:
    """The stand-ins of ``handed`` in the arguments take the recorded turns
    of their callables: those calls are waited for, not passed over."""
    for found in _handed_callables(value):
        name = getattr(found, "_tw_handed", None)
        if isinstance(name, str) and name in replay.expected_names:
            replay.replaced.add(name)
            replay.originals.setdefault(name, found.__wrapped__)


def run(target: str, args: Tuple[Any, ...] = (), kwargs: Optional[Dict[str, Any]] = None,
        globals_used: Optional[Dict[str, Any]] = None,
        external: Sequence[_Expected] = (), init: Union[bool, str] = False,
        generator: Optional[Tuple[int, bool]] = None) -> Outcome:
    """Call the function named ``target`` as the record says and return what
    it did. ``init``: ``target`` is an initializer that the program ran by
    calling its class; it runs on a new, uninitialised instance of that
    class, or of the class ``init`` names (one that inherits it).
    ``generator``: ``target`` is a generator function, iterated for that
    many values and then closed (when the second item is true) or run on to
    its end, with the external calls still replaced."""
    kwargs = dict(kwargs or {})
    function = _function_named(target, len(args))
    args, kwargs = _with_sentinel_defaults(function, tuple(args), kwargs, 1 if init else 0)
    instance = None
    if init:
        owner = resolve(init if isinstance(init, str) else target.rpartition(".")[0])
        instance = owner.__new__(owner)
    namespace = _namespace_of(function)
    patches = _Patches()
    replay = _Replay(target, external)
    outcome = Outcome(target, args, kwargs)
    outcome.built = instance
    replay.handed = _callables_in((args, kwargs))
    _RUNNING.append(replay)
    try:
        _set_globals(patches, namespace, globals_used or {})
        _install_external(patches, replay, namespace, {c.name for c in external})
        _take_handed_turns(replay, (args, kwargs))
        try:
            if init:
                outcome.returned = function(instance, *args, **kwargs)
            else:
                outcome.returned = function(*args, **kwargs)
            if generator is not None:
                outcome.managed = _manages_context(_static(target))
                gen, outcome.returned = outcome.returned, None
                _drive(outcome, gen, *generator)
        except (ReplayFailure, KeyboardInterrupt):
            raise
        except BaseException as error:  # SystemExit too: a recorded outcome
            outcome.raised = error
    finally:
        _RUNNING.remove(replay)
        patches.restore()
        for recorded in replay.objects:
            object.__setattr__(recorded, "_tw_replay", None)
    if replay.failures:
        raise AssertionError(replay.failures[0])
    # A callable the test hands the function itself (``accumulate(add,
    # ...)``) is called as it is, never through the replaced name: its
    # recorded calls cannot be waited for.
    # Nor can those of a function of the project that the last replaced call
    # was handed: it ran inside that call.
    replay.handed |= _callables_in((args, kwargs))
    missing = [c for c in replay.pending if replay._waited_for(c)]
    if missing and replay.called_back():
        missing = []
    if missing:
        raise AssertionError(
            f"{target} did not make the recorded external call(s) "
            + ", ".join(map(repr, missing)))
    return outcome
