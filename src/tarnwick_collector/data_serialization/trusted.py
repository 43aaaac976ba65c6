"""Types whose pickling is trusted: pure (it reads the value and changes
nothing) and loadable by stock pickle.

The pickler's type rules refuse a value whose class customises pickling,
unless its type is one the base pickler writes unaided (``types_to_skip``).
This module is the second table, consulted at the same step: values of a
trusted type are written as stock pickle writes them (through the reducer
``copyreg`` registers for the type, if there is one, since the pickler
keeps no dispatch table of its own). What a trusted value holds still goes
through every rule of the pickler.

Trusted are:

- the standard library's value types and iterators listed in
  :data:`STDLIB_TRUSTED` (the ``itertools`` iterators up to 3.11 only:
  3.12+ warn when they are pickled);
- named tuple classes made by ``collections.namedtuple`` or
  ``typing.NamedTuple`` that change nothing of how they pickle;
- subclasses of ``int``, ``float``, ``str``, ``bytes``, ``tuple``,
  ``list``, ``set``, ``frozenset`` and ``dict`` whose classes add no
  pickling method (nor a ``__getattr__`` written in Python);
- types of the standard library that ``copyreg`` holds a reducer for
  (``re.Pattern``);
- numpy's array, scalar and dtype types, once the program has imported
  numpy (it is never imported here);
- the types the user trusts (``CollectorSettings.trusted_types``, from
  ``TARNWICK_TRUST``, ``tarnwick record --trust`` or ``start(trust=...)``):
  a module name covers the types of that module and its submodules, a
  dotted name one class;
- classes of the program that add no pickling method, no ``__dict__`` and
  no slots to a trusted class (their values pickle through that class's
  methods, and hold nothing those methods leave out).

The standard library's type variables (:data:`STDLIB_BY_NAME`) are written
by name, as they pickle themselves, when their module was imported.

Time zone classes of the program that add no pickling method to
``datetime.tzinfo`` are written as ``tzinfo.__reduce__`` writes them on 3.8
(see :func:`reduce_tzinfo`), and the replay loads them.

Decisions are kept per type in :data:`decisions`, keyed by ``id(type)``
with a weak reference to the type (the type itself for the interpreter's
static types), so that the pickler answers a known type without calling
back into Python and a class that goes away takes its entry with it.
"""
import copyreg
import os
import sys
import sysconfig
import weakref
from collections import namedtuple
from typing import Any, Callable, Dict, FrozenSet, Iterable, List, Optional, Tuple, Union

#: Trusted standard-library types, by module and qualified name. Matched by
#: name, so nothing is imported for them: a value of such a type exists
#: only once its module was imported. A type of "builtins" must also be
#: one of the interpreter's own (static) types.
STDLIB_TRUSTED: Dict[str, FrozenSet[str]] = {
    "builtins": frozenset({
        "complex", "range", "slice",
        "map", "zip", "filter", "enumerate", "reversed",
        "list_iterator", "list_reverseiterator", "tuple_iterator",
        "range_iterator", "longrange_iterator", "str_iterator",
        "str_ascii_iterator", "bytes_iterator", "bytearray_iterator",
        "set_iterator", "dict_keyiterator", "dict_valueiterator",
        "dict_itemiterator", "dict_reversekeyiterator",
        "dict_reversevalueiterator", "dict_reverseitemiterator",
        "callable_iterator",
        # Slots of builtin types, unbound (object.__setattr__) and bound
        # ((1).__add__): each reduces to a getattr of its owner.
        "wrapper_descriptor", "method-wrapper",
    }),
    "decimal": frozenset({"Decimal"}),
    "fractions": frozenset({"Fraction"}),
    "collections": frozenset({"deque", "Counter", "ChainMap"}),
    "zoneinfo": frozenset({"ZoneInfo"}),
    "ipaddress": frozenset({
        "IPv4Address", "IPv6Address", "IPv4Network", "IPv6Network",
        "IPv4Interface", "IPv6Interface",
    }),
    "functools": frozenset({"partial", "_lru_cache_wrapper"}),
    "array": frozenset({"array"}),
    "types": frozenset({"SimpleNamespace"}),
    "_io": frozenset({"BytesIO", "StringIO"}),
    "io": frozenset({"BytesIO", "StringIO"}),
    "operator": frozenset({"itemgetter", "attrgetter", "methodcaller"}),
    "time": frozenset({"struct_time"}),
    # What date.isocalendar() gives on 3.9+: a tuple that pickles as one.
    "datetime": frozenset({"IsoCalendarDate"}),
    "os": frozenset({"stat_result"}),
    "inspect": frozenset({"Signature", "Parameter", "BoundArguments"}),
    # Type hints handed around as values (``List[int]``, ``Optional[str]``,
    # ``list[int]``, ``int | None``): each reduces to the subscription
    # that makes it, or to its name in typing.
    "typing": frozenset({
        "_GenericAlias", "_SpecialGenericAlias", "_VariadicGenericAlias",
        "_UnionGenericAlias", "_CallableGenericAlias", "_CallableType",
        "_TupleType", "_LiteralGenericAlias", "_AnnotatedAlias",
        "_SpecialForm", "_LiteralSpecialForm", "_TypedCacheSpecialForm",
    }),
    "collections.abc": frozenset({"_CallableGenericAlias"}),
}
STDLIB_TRUSTED["types"] = STDLIB_TRUSTED["types"] | {"GenericAlias", "UnionType"}
if sys.version_info < (3, 12):
    STDLIB_TRUSTED["itertools"] = frozenset({
        "accumulate", "chain", "combinations",
        "combinations_with_replacement", "compress", "count", "cycle",
        "dropwhile", "filterfalse", "groupby", "islice", "permutations",
        "product", "repeat", "starmap", "takewhile", "zip_longest",
    })

#: Standard-library types whose values pickle by name in the module that
#: made them (see :func:`reduce_by_name`), listed as STDLIB_TRUSTED is.
STDLIB_BY_NAME: Dict[str, FrozenSet[str]] = {
    "typing": frozenset({"TypeVar", "ParamSpec", "TypeVarTuple"}),
}

#: The builtin bases whose plain subclasses are trusted.
_BUILTIN_BASES = (int, float, str, bytes, tuple, list, set, frozenset, dict)

#: Names that change how a class pickles.
_PICKLING_NAMES = ("__reduce__", "__reduce_ex__", "__getnewargs__",
                   "__getnewargs_ex__", "__getinitargs__", "__getstate__",
                   "__setstate__", "__getattr__", "__getattribute__")

# The __getnewargs__ every named tuple class gets from collections.
_NAMEDTUPLE_GETNEWARGS = namedtuple("_Reference", "a").__getnewargs__.__code__  # type: ignore[attr-defined]

#: Decisions by id(type): (weak reference to the type or the type itself,
#: decision). A decision is False (not trusted), True (stock pickling) or
#: the reducer copyreg registers for the type.
decisions: Dict[int, Tuple[Any, Any]] = {}

# The user's trusted names as last read from the settings, and the
# settings value they were read from.
_user_modules: Tuple[str, ...] = ()
_user_classes: FrozenSet[str] = frozenset()
_user_source: Any = None

#: The environment variable of the user's trusted names, comma-separated.
ENV_VARIABLE = "TARNWICK_TRUST"


def set_user_trusted(names: Iterable[str]) -> None:
    """Trust the pickling of the types ``names`` cover (a module name
    covers its submodules; a dotted class name one class), in place of
    what was trusted before: sets ``CollectorSettings.trusted_types``.

    :raises ValueError: a name that is not a dotted name.
    """
    from tarnwick_collector.configs.collector_settings import CollectorSettings

    CollectorSettings.trusted_types = tuple(validate_names(names))
    _sync(CollectorSettings.trusted_types)


def names_from_environment() -> Tuple[str, ...]:
    """The names of ``TARNWICK_TRUST``.

    :raises ValueError: a malformed value, naming the variable.
    """
    try:
        return tuple(validate_names(os.environ.get(ENV_VARIABLE, "")))
    except ValueError as exc:
        raise ValueError(f"{ENV_VARIABLE}: {exc}") from None


def _sync(names: Any) -> None:
    global _user_modules, _user_classes, _user_source
    if names is _user_source:
        return
    cleaned = tuple(n for n in (names or ()) if isinstance(n, str))
    _user_modules = cleaned
    _user_classes = frozenset(cleaned)
    _user_source = names
    decisions.clear()


def _settings_names() -> Any:
    settings = sys.modules.get("tarnwick_collector.configs.collector_settings")
    if settings is None:
        return ()
    return getattr(settings.CollectorSettings, "trusted_types", ())


def validate_names(names: Union[str, Iterable[str]]) -> List[str]:
    """The dotted names of ``names`` (a list, or a comma-separated text);
    ValueError naming the first that is not a dotted name."""
    if isinstance(names, str):
        names = names.split(",")
    cleaned = []
    for name in names:
        if not isinstance(name, str):
            raise ValueError(f"a trusted name must be a str, not {type(name).__name__}")
        name = name.strip()
        if not name:
            continue
        if not all(part.isidentifier() for part in name.split(".")):
            raise ValueError(f"not a dotted module or class name: {name!r}")
        cleaned.append(name)
    return cleaned


def _is_stdlib_module(name: str) -> bool:
    top = name.partition(".")[0]
    known = getattr(sys, "stdlib_module_names", None)
    if known is not None:
        return top in known
    if top in sys.builtin_module_names:
        return True
    module = sys.modules.get(top)
    path = getattr(module, "__file__", None)
    if not path:
        return False
    path = os.path.realpath(path)
    paths = sysconfig.get_paths()
    libs = {os.path.realpath(paths[k]) for k in ("stdlib", "platstdlib")}
    sites = {os.path.realpath(paths[k]) for k in ("purelib", "platlib")}
    return (any(path.startswith(lib + os.sep) for lib in libs)
            and not any(path.startswith(site + os.sep) for site in sites))


def _own(tp: type, name: str) -> bool:
    return name in tp.__dict__


def _adds_no_pickling(tp: type, stop: type) -> bool:
    """Whether no class of tp's MRO before ``stop`` (and none after it but
    object) defines a name that changes pickling."""
    meta = type(tp)
    if meta is not type and getattr(meta, "__module__", None) != "abc":
        return False
    for klass in tp.__mro__:
        if klass is stop:
            break
        if any(_own(klass, name) for name in _PICKLING_NAMES):
            return False
    return True


def _is_plain_namedtuple(tp: type) -> bool:
    if not issubclass(tp, tuple):
        return False
    fields = getattr(tp, "_fields", None)
    if not isinstance(fields, tuple):
        return False
    for klass in tp.__mro__:
        if klass is tuple:
            return False
        if "__getnewargs__" in klass.__dict__:
            code = getattr(klass.__dict__["__getnewargs__"], "__code__", None)
            if code is not _NAMEDTUPLE_GETNEWARGS:
                return False
            # The class collections made: nothing above it may change
            # pickling; it itself defines only __getnewargs__.
            return _adds_no_pickling(tp, klass) and not any(
                _own(klass, name) for name in _PICKLING_NAMES
                if name != "__getnewargs__")
    return False


def _is_plain_builtin_subclass(tp: type) -> bool:
    if not tp.__flags__ & (1 << 9):  # a heap type: a class of the program
        return False
    for klass in tp.__mro__[1:]:
        if klass in _BUILTIN_BASES:
            return _adds_no_pickling(tp, klass)
    return False


def _inherits_trust(tp: type) -> bool:
    """Whether ``tp`` is a class of the program that adds neither pickling
    nor room for state to a trusted class: its values pickle through that
    class's methods, which are trusted already (a test's subclass of a
    library class the user trusts). A class that adds a ``__dict__`` or
    slots is not: ``Decimal``'s or ``Counter``'s reduction, for one, would
    leave what it holds there out of the record."""
    if not tp.__flags__ & (1 << 9) or not _adds_no_pickling(tp, tp.__mro__[1]):
        return False
    for klass in tp.__mro__[1:]:
        if klass is object:
            return False
        if any(_own(klass, name) for name in _PICKLING_NAMES):
            return (tp.__basicsize__ == klass.__basicsize__
                    and bool(tp.__dictoffset__) == bool(klass.__dictoffset__)
                    and is_trusted(klass))
    return False


def _is_numpy(tp: type) -> bool:
    numpy = sys.modules.get("numpy")
    if numpy is None:
        return False
    try:
        if tp is numpy.ndarray:
            return True
        module = getattr(tp, "__module__", "") or ""
        if not (module == "numpy" or module.startswith("numpy.")):
            return False
        return issubclass(tp, (numpy.generic, numpy.dtype))
    except Exception:
        return False


def _user_trusts(tp: type) -> bool:
    if not _user_modules:
        return False
    module = getattr(tp, "__module__", None)
    if not isinstance(module, str):
        return False
    if f"{module}.{getattr(tp, '__qualname__', '')}" in _user_classes:
        return True
    return any(module == name or module.startswith(name + ".")
               for name in _user_modules)


def _stdlib_trusts(tp: type, table: Dict[str, FrozenSet[str]] = STDLIB_TRUSTED) -> bool:
    module = tp.__dict__.get("__module__", getattr(tp, "__module__", None))
    names = table.get(module) if isinstance(module, str) else None
    if not names or tp.__qualname__ not in names:
        return False
    if module == "builtins":
        return not tp.__flags__ & (1 << 9)
    owner = sys.modules.get(module)
    found = getattr(owner, tp.__qualname__, None) if owner is not None else None
    if found is None and owner is not None:
        probe = _UNEXPORTED.get(f"{module}.{tp.__qualname__}")
        found = _probe(probe, owner) if probe is not None else None
    # The module's own type, or one of the interpreter's static types of
    # that name (which a program cannot make).
    return found is tp or not tp.__flags__ & (1 << 9)


# Types of those listed that their module makes but does not export (a heap
# type from 3.13 on), by how to get one from the module.
_UNEXPORTED: Dict[str, Callable[[Any], Any]] = {
    "datetime.IsoCalendarDate": lambda module: type(module.date(2000, 1, 1).isocalendar()),
    "collections.abc._CallableGenericAlias": lambda module: type(module.Callable[[int], int]),
}


def _probe(probe: Callable[[Any], Any], module: Any) -> Any:
    try:
        return probe(module)
    except Exception:
        return None


def _is_plain_tzinfo(tp: type) -> bool:
    """Whether ``tp`` is a time zone class of the program that adds no
    pickling method to ``datetime.tzinfo``: its values are written as
    ``tzinfo.__reduce__`` writes them (see :func:`reduce_tzinfo`)."""
    datetime = sys.modules.get("datetime")
    base = getattr(datetime, "tzinfo", None)
    if not isinstance(base, type) or not tp.__flags__ & (1 << 9) \
            or not issubclass(tp, base):
        return False
    return _adds_no_pickling(tp, base)


def reduce_tzinfo(obj: Any) -> tuple:
    """What ``tzinfo.__reduce__`` gives for ``obj`` on 3.8, where no
    default ``__getstate__`` adds the slots: its class, called without
    arguments, and its ``__dict__`` when that holds anything. Most zone
    classes take their offset as an argument, so stock pickle cannot load
    such a value; the replay makes it without running the initializer."""
    state = getattr(obj, "__dict__", None)
    if state:
        return type(obj), (), state
    return type(obj), ()


def reduce_by_name(obj: Any) -> str:
    """The name ``obj`` pickles by (a type variable's), as its own
    ``__reduce__`` gives it, when the module it names was imported: stock
    pickle imports that module to check the name, and the recorder never
    imports anything. One the module does not hold under that name (made
    inside a function) fails there, and is written as a placeholder."""
    module = getattr(obj, "__module__", None)
    if not isinstance(module, str) or module not in sys.modules:
        raise TypeError(f"{module!r} is not imported")
    name = obj.__reduce__()
    if not isinstance(name, str):
        raise TypeError("not pickled by name")
    return name


def is_trusted(tp: type) -> bool:
    """Whether values of exactly the type ``tp`` are written as stock
    pickle writes them."""
    if not isinstance(tp, type):
        return False
    try:
        return bool(
            _stdlib_trusts(tp)
            or (tp in copyreg.dispatch_table
                and _is_stdlib_module(getattr(tp, "__module__", "") or ""))
            or _is_plain_namedtuple(tp)
            or _is_plain_builtin_subclass(tp)
            or _is_numpy(tp)
            or _user_trusts(tp)
            or _inherits_trust(tp))
    except Exception:
        # A class whose attributes cannot be read is not trusted.
        return False


def _forget(key: int) -> Callable[[Any], None]:
    def forget(ref: Any) -> None:
        entry = decisions.get(key)
        if entry is not None and entry[0] is ref:
            del decisions[key]
    return forget


def decide(tp: type) -> Any:
    """The decision for ``tp`` (see :data:`decisions`), remembered."""
    _sync(_settings_names())
    answer: Any = is_trusted(tp)
    if answer:
        answer = copyreg.dispatch_table.get(tp, True)
    else:
        try:
            if _is_plain_tzinfo(tp):
                answer = reduce_tzinfo
            elif _stdlib_trusts(tp, STDLIB_BY_NAME):
                answer = reduce_by_name
        except Exception:
            pass  # a class whose attributes cannot be read is not trusted
    key = id(tp)
    holder: Any
    try:
        holder = weakref.ref(tp, _forget(key))
    except TypeError:
        holder = tp
    if not tp.__flags__ & (1 << 9):
        holder = tp  # the interpreter's static types never go away
    decisions[key] = (holder, answer)
    return answer


def reducer_for(tp: type) -> Optional[Callable[[Any], Any]]:
    """The copyreg reducer a trusted type is written through, or None."""
    answer = decide(tp)
    return answer if callable(answer) else None
