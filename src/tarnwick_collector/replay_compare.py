"""How a generated test tells what a replayed call did from what the record
says: values compare by their own equality where their class defines one,
and otherwise by type and state, recursively; the few kinds the recorder
keeps in another form (a method as its function, a builtin iterator as
what it had left, a zone by what it says) compare by what was recorded.
"""
import datetime
import decimal
import math
import numbers
import re
import types
from typing import Any, Dict, List, Optional, cast

from tarnwick_common.name_extractor import get_function_full_name, get_function_module
from tarnwick_common.redaction import REDACTED_TEXT, Redacted
from tarnwick_common.utils.object_wrapper import ComputedAttribute

_MISSING = object()


def full_name_of(value: Any) -> Optional[str]:
    """The full name the recorder gives a callable, or None."""
    if isinstance(value, type):
        return None  # classes are left as they are: instances must be real
    try:
        func = getattr(value, "__func__", None)  # a bound method: its function
        if func:
            value = func
        module = get_function_module(value, hasattr(value, "__self__"))
        return get_function_full_name(module, value)
    except Exception:
        return None



class attrs:
    """Some attributes of a global object, as the call used them: the
    global itself is kept and only these attributes are set."""

    def __init__(self, **values: Any) -> None:
        self.values = values

    def __repr__(self) -> str:
        return "attrs(" + ", ".join(f"{k}={v!r}" for k, v in self.values.items()) + ")"



class made_inside:
    """A function or class made inside a function (the decorator a
    factory returns), as a record names it: whatever has that module and
    qualified name is it, since no test can find the one the record saw."""

    def __init__(self, full_name: str) -> None:
        self.full_name = full_name

    def __repr__(self) -> str:
        return f"made_inside({self.full_name!r})"

    def difference(self, actual: Any, path: str) -> Optional[str]:
        module = getattr(actual, "__module__", None)
        qualname = getattr(actual, "__qualname__", None)
        if callable(actual) and isinstance(module, str) and isinstance(qualname, str) \
                and f"{module}.{qualname}" == self.full_name:
            return None
        return f"{path}: {_short(actual)}, recorded {self.full_name}"


class unkept:
    """A part of a compared value the recorder could not keep (a file, a
    lock): whatever the call left there passes. ``type_name`` says what the
    recorded run had. (So does any expected value whose class sets
    ``_tw_unkept``: such a part loaded from a data file.)"""

    _tw_unkept = True

    def __init__(self, type_name: str) -> None:
        self.type_name = type_name

    def __repr__(self) -> str:
        return f"unkept({self.type_name!r})"


class _StandInClass(type):
    """The metaclass of a subclass put in place of a built-in class while a
    call runs: the program's ``isinstance``/``issubclass`` tests against the
    name still accept the real class's instances."""

    def __instancecheck__(cls, instance: Any) -> bool:
        return isinstance(instance, cls.__mro__[1])

    def __subclasscheck__(cls, subclass: Any) -> bool:
        return issubclass(subclass, cls.__mro__[1])


# Where the default text of an object gives its place in memory.
_ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


def _own_eq(value: Any) -> bool:
    eq = getattr(type(value), "__eq__", None)
    return eq is not None and eq is not object.__eq__


def _mixin_eq(value: Any) -> bool:
    """Whether the equality of ``value`` is an abstract collection's
    mixin (a cache on ``MutableMapping``): it compares what the object holds
    as a mapping or a set, not the rest of its state (its size count, its
    order of use)."""
    for cls in type(value).__mro__:
        if "__eq__" in vars(cls):
            return cls.__module__ in ("_collections_abc", "collections.abc")
    return False


def _state_of(value: Any) -> Dict[str, Any]:
    state: Dict[str, Any] = {}
    if hasattr(value, "__dict__"):
        state.update(vars(value))
    for cls in type(value).__mro__:
        for slot in getattr(cls, "__slots__", ()) if isinstance(
                getattr(cls, "__slots__", ()), (tuple, list)) else (cast(Any, cls).__slots__,):
            if slot in ("__dict__", "__weakref__"):
                continue
            got = getattr(value, slot, _MISSING)
            if got is not _MISSING:
                state[slot] = got
    return state


def _builtin_iterator(value: Any) -> bool:
    cls = type(value)
    return cls.__module__ == "builtins" and cls.__name__.endswith("iterator") and \
        hasattr(value, "__next__")


def _unhanded(value: Any) -> Any:
    if isinstance(value, types.FunctionType) and "_tw_handed" in value.__dict__:
        return value.__dict__.get("__wrapped__", value)
    return value


def _difference(actual: Any, expected: Any, path: str, seen: set) -> Optional[str]:
    if actual is expected:
        return None
    # A stand-in the test handed the function (``replay.handed``) is the
    # callable it stands for.
    actual, expected = _unhanded(actual), _unhanded(expected)
    if actual is expected:
        return None
    if isinstance(expected, made_inside):
        return expected.difference(actual, path)
    if getattr(type(expected), "_tw_unkept", False) or isinstance(expected, Redacted):
        # (A part the recorder redacted: what it held is not known.)
        return None
    if isinstance(expected, attrs):
        for name, value in expected.values.items():
            if isinstance(value, ComputedAttribute):
                continue  # not kept by the recorder, so not checked
            got = getattr(actual, name, _MISSING)
            if got is _MISSING:
                return f"{path}.{name}: missing"
            found = _difference(got, value, f"{path}.{name}", seen)
            if found:
                return found
        return None
    if isinstance(expected, str) and isinstance(actual, str) and REDACTED_TEXT in expected:
        # A secret the recorder met verbatim in a text (an exception's
        # message) is stored as the marker: any text stands for it.
        pattern = ".+?".join(re.escape(part) for part in expected.split(REDACTED_TEXT))
        if re.fullmatch(pattern, actual, re.DOTALL):
            return None
    if isinstance(expected, str) and isinstance(actual, str) and _ADDRESS.search(expected) \
            and actual != expected:
        # The default text of an object gives where it lies in memory
        # (``<function f at 0x7f...>``), which differs from run to run.
        pattern = " at 0x[0-9a-fA-F]+".join(
            re.escape(part) for part in _ADDRESS.split(expected))
        if re.fullmatch(pattern, actual, re.DOTALL):
            return None
    if isinstance(expected, float) and isinstance(actual, float):
        if math.isnan(expected) and math.isnan(actual):
            return None
        return None if actual == expected else f"{path}: {actual!r} != {expected!r} (recorded)"
    if (type(expected) is decimal.Decimal and type(actual) is decimal.Decimal
            and expected.is_nan() and actual.is_nan()):
        # A NaN is never equal to itself: the same kind of NaN is.
        if (expected.is_snan(), expected.is_signed()) == (actual.is_snan(), actual.is_signed()):
            return None
        return f"{path}: {actual!r} != {expected!r} (recorded)"
    if _builtin_iterator(actual) and _builtin_iterator(expected):
        # Pickle writes a builtin iterator as an iterator over a list of
        # what it had left (a dict's key iterator comes back as a list
        # iterator): what is left is what counts.
        return _difference(list(actual), list(expected), f"list({path})", seen)
    if isinstance(actual, types.FunctionType) and not isinstance(expected, types.FunctionType) \
            and _wraps(expected, actual):
        # The record names the function; its module binds that name to a
        # wrapper of it (``f = curry(f)``), which is what the name loads.
        return None
    if isinstance(actual, types.MethodType) and isinstance(expected, types.FunctionType) \
            and actual.__func__ is expected:
        # The recorder keeps a method bound to its receiver as the function
        # alone, by its name: the function is what can be told.
        return None
    if isinstance(actual, (types.BuiltinMethodType, types.MethodWrapperType)) and isinstance(
            expected, (types.MethodDescriptorType, types.WrapperDescriptorType)) and \
            not isinstance(getattr(actual, "__self__", None), types.ModuleType) and \
            getattr(type(actual.__self__), actual.__name__, None) is expected:
        # So is a built-in method bound to its receiver (``", ".join``): the
        # record holds its class's method.
        return None
    if isinstance(actual, types.MethodType) and isinstance(expected, types.MethodType) \
            and actual.__func__ is expected.__func__:
        # Bound again to the instance that holds it (``_bind_own_methods``).
        return _difference(actual.__self__, expected.__self__, f"{path}.__self__", seen)
    if type(actual) is not type(expected) and not (
            isinstance(type(actual), _StandInClass) and type(actual).__mro__[1] is type(expected)):
        # (An instance of a built-in class the call made while a stand-in
        # subclass held its name, see ``_replace_class_members``, is one of
        # that class.)
        return (f"{path}: got {type(actual).__qualname__} {_short(actual)}, "
                f"recorded {type(expected).__qualname__} {_short(expected)}")
    key = (id(actual), id(expected))
    if key in seen:
        return None
    if isinstance(expected, (list, tuple)):
        seen.add(key)
        if len(actual) != len(expected):
            return f"{path}: {len(actual)} items, recorded {len(expected)}: {_short(actual)}"
        for i, (a, e) in enumerate(zip(actual, expected)):
            found = _difference(a, e, f"{path}[{i}]", seen)
            if found:
                return found
        return None
    if isinstance(expected, dict):
        seen.add(key)
        # Read as a dict: a subclass's own lookup is the program's code (a
        # cache that expires its entries on reading).
        a_keys, e_keys = list(dict.keys(actual)), list(dict.keys(expected))
        pairs: Dict[int, Any] = {}
        if a_keys != e_keys and set(a_keys) != set(e_keys):
            found_pairs = _paired_by_state(a_keys, e_keys, path, seen)
            if found_pairs is None:
                return f"{path}: keys {a_keys!r}, recorded {e_keys!r}"
            pairs = found_pairs
        for k in e_keys:
            got = dict.__getitem__(actual, pairs[id(k)] if id(k) in pairs else k)
            found = _difference(got, dict.__getitem__(expected, k), f"{path}[{k!r}]", seen)
            if found:
                return found
        return None
    if isinstance(expected, (set, frozenset)):
        seen.add(key)
        if actual == expected or \
                _paired_by_state(list(actual), list(expected), path, seen) is not None:
            return None
        return f"{path}: {_short(actual)} != {_short(expected)} (recorded)"
    if isinstance(expected, BaseException):
        if actual.args != expected.args:
            return f"{path}: exception args {actual.args!r}, recorded {expected.args!r}"
        seen.add(key)
        return _difference(vars(actual), vars(expected), path, seen)
    if isinstance(expected, re.Match):
        # A match has no equality: it is what it matched, where.
        got = (actual.re.pattern, actual.string, actual.pos, actual.endpos, actual.regs)
        wanted = (expected.re.pattern, expected.string, expected.pos, expected.endpos,
                  expected.regs)
        return None if got == wanted else \
            f"{path}: {_short(actual)} (spans {actual.regs!r}), recorded {_short(expected)} " \
            f"(spans {expected.regs!r})"
    if type(expected) in (datetime.datetime, datetime.time) and (
            expected.tzinfo is not None or actual.tzinfo is not None):
        return _zoned_difference(actual, expected, path)
    if isinstance(expected, types.GeneratorType):
        # A record keeps of a generator whether it had run to its end.
        ended = (actual.gi_frame is None, expected.gi_frame is None)
        if ended[0] != ended[1] or actual.__qualname__ != expected.__qualname__:
            return (f"{path}: generator {actual.__qualname__} "
                    f"({'ended' if ended[0] else 'not ended'}), recorded "
                    f"{expected.__qualname__} ({'ended' if ended[1] else 'not ended'})")
        return None
    if isinstance(expected, types.ModuleType):
        # The record names a module and holds nothing more of it: a module
        # made afresh under that name (by an import hook) is the one.
        return None if actual.__name__ == expected.__name__ else \
            f"{path}: module {actual.__name__!r}, recorded {expected.__name__!r}"
    a_state = e_state = None
    if _own_eq(expected) and not isinstance(expected, (types.FunctionType, type)):
        try:
            result = actual == expected
            if not isinstance(result, bool) and callable(getattr(result, "all", None)):
                # An array's equality is elementwise: equal arrays have one
                # shape and every element equal.
                equal = getattr(actual, "shape", None) == getattr(expected, "shape", None) \
                    and bool(result.all())
            else:
                equal = bool(result)
        except Exception as error:
            # An object of the program whose equality cannot run (one an
            # initializer has only begun to fill: its ``__eq__`` reads what
            # a later step sets) is compared by its state.
            if type(expected).__module__ == "builtins" or not _state_of(expected):
                return f"{path}: cannot compare ({type(error).__name__}: {error})"
            equal = False
        if equal and not _mixin_eq(expected):
            return None
        unequal = f"{path}: {_short(actual)} != {_short(expected)} (recorded)"
        # An object whose equality compares some of its parts by identity
        # (a module spec and its loader) is unequal to any rebuilt copy:
        # one of a class of the program or a library, with attributes, is
        # compared by its state as objects without equality are.
        if type(expected).__module__ == "builtins":
            return unequal
        a_state, e_state = _state_of(actual), _state_of(expected)
        if not e_state:
            return None if equal else unequal
    elif isinstance(expected, (types.FunctionType, types.BuiltinFunctionType, type)):
        if actual is expected:
            return None
        # A function is recorded by its name: one made afresh under that
        # name (a decorator's new wrapper of the function) is it.
        if isinstance(expected, types.FunctionType) and \
                full_name_of(actual) is not None and full_name_of(actual) == full_name_of(expected):
            return None
        return f"{path}: {actual!r} is not {expected!r}"
    seen.add(key)
    if a_state is None or e_state is None:
        a_state, e_state = _state_of(actual), _state_of(expected)
    if not a_state and not e_state:
        return None
    for name in list(e_state) + [n for n in a_state if n not in e_state]:
        if name not in a_state:
            return f"{path}.{name}: missing, recorded {_short(e_state[name])}"
        if name not in e_state:
            return f"{path}.{name}: {_short(a_state[name])}, not in the record"
        found = _difference(a_state[name], e_state[name], f"{path}.{name}", seen)
        if found:
            return found
    return None


def _paired_by_state(actual: List[Any], expected: List[Any], path: str,
                     seen: set) -> Optional[Dict[int, Any]]:
    """The items of ``expected`` (a set's, or a dict's keys) that ``actual``
    lacks, each paired with one of those ``actual`` has over it that
    compares with it by state: an object hashed by its identity (or by
    parts that are) is another object in each run. {id(expected item):
    actual item}, or None when an item is left without its pair."""
    have, wanted = set(actual), set(expected)
    lacking = [e for e in expected if e not in have]
    over = [a for a in actual if a not in wanted]
    if len(lacking) != len(over) or len(lacking) > 256:
        return None
    pairs: Dict[int, Any] = {}
    for e in lacking:
        if type(e).__module__ == "builtins":
            return None  # equality of a built-in value settles it
        for i, a in enumerate(over):
            if type(a) is type(e) and _difference(a, e, path, set(seen)) is None:
                pairs[id(e)] = over.pop(i)
                break
        else:
            return None
    return pairs


def _wraps(wrapper: Any, function: types.FunctionType) -> bool:
    """Whether ``wrapper`` wraps ``function`` (through ``__wrapped__`` or a
    ``func`` attribute, as ``functools`` and libraries' decorators keep
    it), a few levels down, or a function made afresh under its name."""
    name = full_name_of(function)
    for _ in range(4):
        try:
            inner = getattr(wrapper, "__wrapped__", None) or getattr(wrapper, "func", None)
        except Exception:
            return False
        if inner is None or inner is wrapper:
            return False
        if inner is function or (isinstance(inner, types.FunctionType) and name is not None
                                 and full_name_of(inner) == name):
            return True
        wrapper = inner
    return False


def _zone_of(value: Any) -> Any:
    """What the zone of a date and time (or a time) says of it: its class,
    offset, name and daylight saving time."""
    zone = value.tzinfo
    if zone is None:
        return None
    said: List[Any] = [type(zone)]
    for method in (value.utcoffset, value.tzname, value.dst):
        try:
            said.append(method())
        except NotImplementedError:  # a zone need not say all of it
            said.append(NotImplementedError)
    return tuple(said)


def _zoned_difference(actual: Any, expected: Any, path: str) -> Optional[str]:
    """A date and time (or a time) with a zone is what its fields and its
    zone say, not only the instant it names (which ``==`` compares): the
    same instant in another zone is another value. The zone is compared by
    what it says of the value, whether or not its class defines equality."""
    try:
        same = actual.replace(tzinfo=None) == expected.replace(tzinfo=None) and \
            _zone_of(actual) == _zone_of(expected)
    except Exception as error:  # the zone's own methods failed
        return f"{path}: cannot compare ({type(error).__name__}: {error})"
    return None if same else f"{path}: {_short(actual)} != {_short(expected)} (recorded)"


def _hash_is_stable(value: Any, depth: int = 0) -> bool:
    """Whether a hash of ``value`` (or of an object holding only such parts)
    is the same in every run: numbers and None, in containers and in the
    state of objects whose class defines its hash."""
    if depth > 8:
        return False
    if value is None or isinstance(value, numbers.Number):
        return True
    if isinstance(value, (tuple, list, set, frozenset)):
        return all(_hash_is_stable(v, depth + 1) for v in value)
    if isinstance(value, dict):
        return all(_hash_is_stable(k, depth + 1) and _hash_is_stable(v, depth + 1)
                   for k, v in value.items())
    if type(value).__module__ == "builtins" or type(value).__hash__ is object.__hash__:
        return False  # text, bytes; an object hashed by its identity
    state = _state_of(value)
    return bool(state) and all(_hash_is_stable(v, depth + 1) for v in state.values())


def _short(value: Any, width: int = 120) -> str:
    try:
        text = repr(value)
    except Exception:
        text = f"<{type(value).__name__}>"
    return text if len(text) <= width else text[: width - 3] + "..."


def check(actual: Any, expected: Any, what: str = "value") -> None:
    """Fail unless ``actual`` is like ``expected``: equal where the type
    defines equality, else of the same type with like state, recursively."""
    found = _difference(actual, expected, what, set())
    if found:
        raise AssertionError(found)
