"""Reading recorded messages without running anything they name.

A message is a pickle written by the safe pickler: records, metrics and the
values inside them name classes and functions of the recorded application
(and of this package) by module and name. Loading such a stream with the
stock unpickler would import those modules and call those functions. Here
every global a stream names is replaced by a *stand-in*: a class created on
the spot that only remembers the module and name, and whose instances keep
the constructor arguments, the state and any items the stream gives them.
Nothing is imported and no code of the application runs.

A short allow-list of harmless value types of the standard library
(containers, numbers, dates, UUIDs, paths) is rebuilt for real, so that
common values read back as themselves.

What a stream can make is bounded in time and memory. The opcodes of a
pickle make values no larger than the stream itself, but the constructors
it may call can amplify: ``frozenset(range(10**8))``, ``bytes(10**9)``,
``Fraction("1e30000000")``, a list copied once per reference to it. Each
such constructor charges what it would make to a budget of the load (a
fixed allowance plus a few times the stream's size), and numbers written
with a decimal exponent are rebuilt only for exponents up to
``MAX_EXPONENT``. What is over is not made: the stream gets a ``TooLarge``
marker in its place, which the reader shows as such.

Hashing is bounded where it can be. A tuple is hashed afresh each time,
through all its items, recursively in C (the interpreter's stack overflows
on a tuple nested a few hundred thousand deep), and a stream can make one of
a few hundred bytes whose items are the same tuple twice, forty levels deep
(2**40 steps to hash). The constructors that hash what they are given
(``set``, ``frozenset``, ``dict``, ``Counter``, ``OrderedDict``) count the
steps and the depth first. The opcodes that build sets and dicts hash inside
the C unpickler; a stream with enough tuple-making bytes to nest tuples
deeper than the C stack allows is loaded by the pure-Python unpickler
instead, which checks each key and item before hashing it. (Counting those
bytes is cheap and errs on the safe side; the tuples shared many times over
of a stream below that size are not checked: see the notes on limits.)
"""
import collections
import datetime
import decimal
import fractions
import io
import pathlib
import pickle
import re
import threading
import uuid
from typing import Any, Callable, ClassVar, Dict, Iterator, List, Optional, Tuple, Union

from tarnwick_collector.store import _opscan

__all__ = [
    "StandIn",
    "DecodeError",
    "TooLarge",
    "safe_loads",
    "is_stand_in_class",
    "is_call_stand_in",
    "stand_in_name",
    "zoned_parts",
    "effective_class_and_state",
    "describe_data_message",
    "describe_metric_message",
    "METRICS_MODULE",
    "COUNTERS_BY_CLASS",
]


class DecodeError(Exception):
    """A message that is not a readable pickle."""


_NONE_TYPE = type(None)


class StandIn:
    """An object of a class that the stream named but that was not loaded.

    ``_tw_module`` and ``_tw_name`` (class attributes of each stand-in class)
    say what it stands for; an instance keeps what the stream gave it:
    constructor arguments, keyword arguments, the state applied to it, and
    list or dict items appended or set on it.
    """

    _tw_module = ""
    _tw_name = ""
    # Set on each instance by __new__ (annotations only: no class attributes).
    _tw_args: Tuple[Any, ...]
    _tw_kwargs: Dict[str, Any]
    _tw_state: Any
    _tw_items: Any  # a list once an item is appended, else None
    _tw_entries: Any  # a list of pairs once one is set, else None
    _tw_called: bool

    def __new__(cls, *args: Any, **kwargs: Any) -> "StandIn":
        self = object.__new__(cls)
        object.__setattr__(self, "_tw_args", args)
        object.__setattr__(self, "_tw_kwargs", kwargs)
        object.__setattr__(self, "_tw_state", None)
        object.__setattr__(self, "_tw_items", None)
        object.__setattr__(self, "_tw_entries", None)
        object.__setattr__(self, "_tw_called", False)
        return self

    # Run when the stream called the class (a reduction: ``cls(*args)``),
    # not when it made the object with ``cls.__new__`` alone.
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        object.__setattr__(self, "_tw_called", True)

    # Pickle applies a BUILD state through __setstate__ when it exists.
    def __setstate__(self, state: Any) -> None:
        object.__setattr__(self, "_tw_state", state)

    # APPENDS / SETITEMS on an object whose class derives from list or dict.
    def append(self, item: Any) -> None:
        if self._tw_items is None:
            object.__setattr__(self, "_tw_items", [])
        self._tw_items.append(item)

    def extend(self, items: Any) -> None:
        for item in items:
            self.append(item)

    def __setitem__(self, key: Any, value: Any) -> None:
        if self._tw_entries is None:
            object.__setattr__(self, "_tw_entries", [])
        self._tw_entries.append((key, value))

    # A stand-in used as a callable (a factory written by name and then
    # called with arguments) gives a stand-in of that call.
    def __call__(self, *args: Any, **kwargs: Any) -> "StandIn":
        call = _CallStandIn(*args, **kwargs)
        object.__setattr__(call, "_tw_callee", self)
        return call

    # Introspection used by the renderer and the receivers.
    @property
    def tw_full_name(self) -> str:
        return stand_in_name(type(self))

    @property
    def tw_args(self) -> Tuple[Any, ...]:
        return self._tw_args

    @property
    def tw_kwargs(self) -> Dict[str, Any]:
        return self._tw_kwargs

    @property
    def tw_state(self) -> Any:
        return self._tw_state

    @property
    def tw_called(self) -> bool:
        """Whether the stream made the object by calling its class (whose
        initializer then ran), as a reduction does."""
        return bool(getattr(self, "_tw_called", False))

    @property
    def tw_attributes(self) -> Dict[str, Any]:
        """The state as a dict of attributes (slot state merged in)."""
        state = self._tw_state
        if isinstance(state, dict):
            return state
        if isinstance(state, tuple) and len(state) == 2:
            merged: Dict[str, Any] = {}
            for part in state:
                if isinstance(part, dict):
                    merged.update(part)
            return merged
        return {}

    @property
    def tw_items(self) -> List[Any]:
        return list(self._tw_items or ())

    @property
    def tw_entries(self) -> List[Tuple[Any, Any]]:
        return list(self._tw_entries or ())

    def __repr__(self) -> str:
        return f"<stand-in {self.tw_full_name}>"


class _CallStandIn(StandIn):
    """The result of calling a stand-in instance: ``_tw_callee(*args)``."""

    _tw_module = ""
    _tw_name = "<call>"
    _tw_callee: Any = None

    @property
    def tw_callee(self) -> Any:
        return self._tw_callee


def is_call_stand_in(obj: Any) -> bool:
    """Whether ``obj`` stands for a call of another stand-in."""
    return isinstance(obj, _CallStandIn)


def _load_by_name(name: Any = None, *rest: Any, **kwargs: Any) -> Any:
    """``jsonpickle.unpickler.loadclass(name)``: the function or class named
    by a dotted name, as a stand-in class (classes must be types to be
    instantiated by a stream)."""
    if isinstance(name, str) and not rest and not kwargs:
        return _stand_in("", name)
    return _stand_in("jsonpickle.unpickler", "loadclass")(name, *rest, **kwargs)


def is_stand_in_class(obj: Any) -> bool:
    """Whether ``obj`` is a stand-in class (the name itself, not a call)."""
    return isinstance(obj, type) and issubclass(obj, StandIn) and obj is not StandIn


def stand_in_name(cls: Any) -> str:
    """The dotted name a stand-in class stands for."""
    module = getattr(cls, "_tw_module", "")
    name = getattr(cls, "_tw_name", "")
    return f"{module}.{name}" if module else name


# Stand-in classes are shared between loads; the number of distinct names a
# process meets is bounded by what it reads, but keep a ceiling anyway.
_STAND_INS: Dict[Tuple[str, str], type] = {}
_STAND_IN_CEILING = 100_000


def _stand_in(module: str, name: str) -> type:
    key = (module, name)
    cls = _STAND_INS.get(key)
    if cls is None:
        if len(_STAND_INS) >= _STAND_IN_CEILING:
            _STAND_INS.clear()
        short = name.rsplit(".", 1)[-1] or "StandIn"
        cls = type(short, (StandIn,), {
            "__module__": "tarnwick_collector.store.decoding",
            "__qualname__": f"StandIn[{module}.{name}]",
            "_tw_module": module,
            "_tw_name": name,
        })
        _STAND_INS[key] = cls
    return cls


def _type_of_none(*args: Any) -> Any:
    """``builtins.type`` as streams use it: only ``type(None)`` is rebuilt."""
    if args == (None,):
        return _NONE_TYPE
    return _stand_in("builtins", "type")(*args)


def _pure_path_named(base: type, name: str) -> type:
    """A pure path class shown as ``name``: the concrete paths of the
    recorded program come back without file-system access and still read as
    what they were (``PosixPath('data/a.txt')``). Pickled again, they are
    the pure paths they are."""

    def __reduce__(self: Any) -> Tuple[type, Tuple[str, ...]]:
        return base, tuple(self.parts)

    return type(name, (base,), {"__slots__": (), "__module__": "pathlib",
                                "__reduce__": __reduce__})


_POSIX_PATH = _pure_path_named(pathlib.PurePosixPath, "PosixPath")
_WINDOWS_PATH = _pure_path_named(pathlib.PureWindowsPath, "WindowsPath")


class TooLarge:
    """In place of a value a stream asked for that would have been too
    large (or too slow) to make: ``what`` says what it was."""

    __slots__ = ("what",)

    def __init__(self, what: str) -> None:
        self.what = what

    def __eq__(self, other: Any) -> bool:
        return isinstance(other, TooLarge) and other.what == self.what

    def __hash__(self) -> int:
        return hash(("TooLarge", self.what))

    def __repr__(self) -> str:
        return f"<too large to decode: {self.what}>"


#: The largest decimal exponent of a number rebuilt from a stream: the
#: number of digits a ``Fraction`` or an ``int`` made from it gets beyond
#: those the stream wrote.
MAX_EXPONENT = 10_000
#: What every load may make through constructors, in bytes (roughly), and
#: how much more per byte of the stream.
BUDGET_BASE = 64 * 1024 * 1024
BUDGET_PER_BYTE = 8
#: What one item of a collection counts for against the budget.
ITEM_COST = 64


#: Steps every load may take hashing tuples, and how many more per byte of
#: the stream.
HASH_STEPS_BASE = 4_000_000
HASH_STEPS_PER_BYTE = 4


class _Budget:
    def __init__(self, stream_size: int) -> None:
        self.left = BUDGET_BASE + BUDGET_PER_BYTE * stream_size
        self.hash_left = HASH_STEPS_BASE + HASH_STEPS_PER_BYTE * stream_size
        # Steps to hash each tuple met (by id; the tuple is kept so that
        # its id is not reused while the load runs).
        self.sizes: Dict[int, Tuple[int, Any]] = {}

    def hash_steps(self, value: Any) -> int:
        """The steps hashing ``value`` takes (tuples are hashed through all
        their items every time; other values count one step: strings and
        frozensets keep their hash, and nothing else a stream makes holds
        items that are hashed with it)."""
        if type(value) is not tuple:
            return 1
        known = self.sizes.get(id(value))
        if known is not None:
            return known[0]
        total = 1
        for item in value:
            total += self.hash_steps(item)
            if total > self.hash_left:
                break
        self.sizes[id(value)] = (total, value)
        return total

    def hashable(self, value: Any) -> Any:
        """``value``, or a ``TooLarge`` when hashing it takes more steps than
        are left (or recurses too deeply); the steps are taken from what is
        left."""
        if type(value) is not tuple:
            return value
        try:
            steps = self.hash_steps(value)
        except RecursionError:
            return TooLarge("tuple nested too deeply to hash")
        if steps > self.hash_left:
            return TooLarge("tuple too costly to hash (its parts are shared too often)")
        self.hash_left -= steps
        return value

    def charge(self, cost: float) -> bool:
        """Take ``cost`` from the budget; False (taking nothing) when it is
        more than is left."""
        if cost > self.left:
            return False
        self.left -= int(cost)
        return True


_LOAD = threading.local()


def _budget() -> _Budget:
    budget = getattr(_LOAD, "budget", None)
    return budget if budget is not None else _Budget(0)


_INFINITE = float("inf")


def _items_of(value: Any) -> float:
    """How many items iterating ``value`` gives (infinite when it cannot be
    told without iterating: such an argument is refused)."""
    if isinstance(value, (str, bytes, bytearray, list, tuple, dict, set, frozenset,
                          collections.deque)):
        return len(value)
    if isinstance(value, range):
        try:
            return len(value)
        except (OverflowError, ValueError):
            return _INFINITE
    if value is None:
        return 0
    try:
        return len(value)
    except Exception:
        return 0  # not iterable: the constructor refuses it itself


def _guarded(name: str, real: Any, cost: Any) -> type:
    """A stand-in class for the constructor ``real`` (shown by ``name``):
    called (or its ``__new__`` called) by a stream, it makes the real value
    when ``cost(*args, **kwargs)`` fits the load's budget, else a
    ``TooLarge``."""

    def __new__(cls: type, *args: Any, **kwargs: Any) -> Any:
        try:
            amount, what = cost(*args, **kwargs)
        except RecursionError:
            return TooLarge(f"{name} of items nested too deeply")
        except Exception:  # arguments the constructor itself refuses
            amount, what = 0, ""
        if amount == _INFINITE or not _budget().charge(amount):
            return TooLarge(what or f"{name} of {amount} items")
        return real(*args, **kwargs)

    module, _, short = name.rpartition(".")
    return type(short, (), {"__new__": __new__, "__module__": module,
                            "__qualname__": short, "__slots__": ()})


def _collection_cost(kind: str, hashes: bool = False) -> Any:
    def cost(iterable: Any = None, *rest: Any, **kwargs: Any) -> Tuple[float, str]:
        n = _items_of(iterable) + len(kwargs)
        if hashes and n != _INFINITE and isinstance(
                iterable, (list, tuple, set, frozenset, collections.deque)):
            budget = _budget()
            steps = 0
            for item in iterable:
                key = item[0] if kind in ("dict", "OrderedDict") and \
                    type(item) in (tuple, list) and item else item
                steps += budget.hash_steps(key)
                if steps > budget.hash_left:
                    return _INFINITE, f"{kind} of items too costly to hash"
            budget.hash_left -= steps
        return n * ITEM_COST, f"{kind} of {_count_text(n)} items"
    return cost


def _count_text(n: float) -> str:
    return "too many" if n == _INFINITE else str(int(n))


def _bytes_cost(kind: str) -> Any:
    def cost(source: Any = b"", *rest: Any, **kwargs: Any) -> Tuple[float, str]:
        if isinstance(source, int) and not isinstance(source, bool):
            n: float = max(0, source)
        elif isinstance(source, str):
            n = 4 * len(source)
        elif isinstance(source, (bytes, bytearray)):
            n = len(source)
        else:
            n = _items_of(source)
        return n, f"{kind} of {_count_text(n)} bytes"
    return cost


def _path_cost(*parts: Any) -> Tuple[float, str]:
    n = sum(len(p) if isinstance(p, (str, bytes)) else
            len(str(p)) if isinstance(p, pathlib.PurePath) else 0 for p in parts)
    return n, f"path of {n} characters"


_EXPONENT = re.compile(r"[eE]\s*([-+]?[0-9_]+)\s*$")


def _exponent_of(value: Any) -> int:
    """The decimal exponent a number is written with (0 when none)."""
    if isinstance(value, str):
        found = _EXPONENT.search(value.strip())
        if found:
            digits = found.group(1).replace("_", "")
            # Only its length matters beyond the bound: no long conversion.
            if len(digits.lstrip("+-").lstrip("0")) > len(str(MAX_EXPONENT)):
                return MAX_EXPONENT + 1
            return abs(int(digits))
        return 0
    if isinstance(value, decimal.Decimal) and value.is_finite():
        return abs(value.as_tuple().exponent)  # type: ignore[arg-type]
    return 0


def _number_cost(kind: str) -> Any:
    def cost(*args: Any, **kwargs: Any) -> Tuple[float, str]:
        for value in list(args) + list(kwargs.values()):
            exponent = _exponent_of(value)
            if exponent > MAX_EXPONENT:
                return _INFINITE, f"{kind} with a decimal exponent over {MAX_EXPONENT}"
        return 0, ""
    return cost


def _int_cost(value: Any = 0, *rest: Any, **kwargs: Any) -> Tuple[float, str]:
    # Only a Decimal with a large positive exponent grows when made an int
    # (a string is bounded by the interpreter's digit limit).
    if isinstance(value, decimal.Decimal) and value.is_finite():
        exponent = value.as_tuple().exponent
        if isinstance(exponent, int) and exponent > MAX_EXPONENT:
            return _INFINITE, f"int with a decimal exponent over {MAX_EXPONENT}"
    return 0, ""


def _str_new(cls: type, *args: Any, **kwargs: Any) -> Any:
    """``builtins.str`` as streams use it: text of a string, of bytes with
    an encoding, or of a number. The text of anything else (which may be
    far longer than the stream) is not made: a stand-in of the call shows
    what it was."""
    first = args[0] if args else kwargs.get("object", "")
    if isinstance(first, (str, bytes, bytearray, int, float, complex, bool,
                          decimal.Decimal)) or first is None:
        return str(*args, **kwargs)
    return _stand_in("builtins", "str")(*args, **kwargs)


def _zoned(real: type) -> type:
    """``datetime.datetime`` or ``datetime.time`` as streams call them. A
    value whose zone is an object of a class the stream named (a stand-in,
    which is no ``tzinfo``) cannot be made for real: it comes back as a
    stand-in of the call, as any other reduction of an unknown class does,
    and :func:`zoned_parts` reads it."""

    def __new__(cls: type, *args: Any, **kwargs: Any) -> Any:
        if any(isinstance(a, StandIn) for a in args) or \
                any(isinstance(a, StandIn) for a in kwargs.values()):
            return _stand_in("datetime", real.__name__)(*args, **kwargs)
        return real(*args, **kwargs)

    return type(real.__name__, (), {"__new__": __new__, "__module__": "datetime",
                                    "__qualname__": real.__name__, "__slots__": ()})


_ZONED_CLASSES = {"datetime.datetime": datetime.datetime, "datetime.time": datetime.time}


def zoned_parts(obj: Any) -> Optional[Tuple[Any, StandIn]]:
    """The value without its zone (a real naive ``datetime`` or ``time``)
    and the zone (a stand-in), of a stand-in of a ``datetime`` or ``time``
    whose zone is an object of the program; None for anything else."""
    if not isinstance(obj, StandIn) or is_call_stand_in(obj):
        return None
    real = _ZONED_CLASSES.get(obj.tw_full_name)
    if real is None or obj.tw_items or obj.tw_entries or obj.tw_state is not None:
        return None
    args, kwargs = list(obj.tw_args), dict(obj.tw_kwargs)
    if "tzinfo" in kwargs:
        zone = kwargs.pop("tzinfo")
    elif args:
        zone = args.pop()
    else:
        return None
    if not isinstance(zone, StandIn):
        return None
    try:
        naive = real(*args, **kwargs)
    except Exception:  # not the arguments of a value: shown as a call
        return None
    return (naive, zone) if naive.tzinfo is None else None


_STR = type("str", (), {"__new__": _str_new, "__module__": "builtins",
                        "__qualname__": "str", "__slots__": ()})
_SET = _guarded("builtins.set", set, _collection_cost("set", True))
_FROZENSET = _guarded("builtins.frozenset", frozenset, _collection_cost("frozenset", True))
_LIST = _guarded("builtins.list", list, _collection_cost("list"))
_TUPLE = _guarded("builtins.tuple", tuple, _collection_cost("tuple"))
_DICT = _guarded("builtins.dict", dict, _collection_cost("dict", True))
_BYTES = _guarded("builtins.bytes", bytes, _bytes_cost("bytes"))
_BYTEARRAY = _guarded("builtins.bytearray", bytearray, _bytes_cost("bytearray"))
_INT = _guarded("builtins.int", int, _int_cost)
_ORDERED_DICT = _guarded("collections.OrderedDict", collections.OrderedDict,
                         _collection_cost("OrderedDict", True))
_DEQUE = _guarded("collections.deque", collections.deque, _collection_cost("deque"))
_COUNTER = _guarded("collections.Counter", collections.Counter,
                    _collection_cost("Counter", True))
_FRACTION = _guarded("fractions.Fraction", fractions.Fraction, _number_cost("Fraction"))


# Globals rebuilt for real: constructors of plain values that run no code of
# anyone else's, whatever arguments the stream passes them; those that can
# make values larger than their arguments are bounded (see ``_guarded``).
_ALLOWED: Dict[Tuple[str, str], Any] = {
    ("builtins", "set"): _SET,
    ("builtins", "frozenset"): _FROZENSET,
    ("builtins", "list"): _LIST,
    ("builtins", "dict"): _DICT,
    ("builtins", "tuple"): _TUPLE,
    ("builtins", "bytearray"): _BYTEARRAY,
    ("builtins", "bytes"): _BYTES,
    ("builtins", "complex"): complex,
    ("builtins", "int"): _INT,
    ("builtins", "float"): float,
    ("builtins", "str"): _STR,
    ("builtins", "bool"): bool,
    ("builtins", "slice"): slice,
    ("builtins", "range"): range,
    ("builtins", "object"): object,
    ("builtins", "type"): _type_of_none,
    ("jsonpickle.unpickler", "loadclass"): _load_by_name,
    ("builtins", "NoneType"): _NONE_TYPE,
    ("collections", "OrderedDict"): _ORDERED_DICT,
    ("collections", "deque"): _DEQUE,
    ("collections", "Counter"): _COUNTER,
    ("datetime", "date"): datetime.date,
    ("datetime", "datetime"): _zoned(datetime.datetime),
    ("datetime", "time"): _zoned(datetime.time),
    ("datetime", "timedelta"): datetime.timedelta,
    ("datetime", "timezone"): datetime.timezone,
    ("decimal", "Decimal"): decimal.Decimal,
    ("fractions", "Fraction"): _FRACTION,
    ("uuid", "UUID"): uuid.UUID,
    ("pathlib", "PurePosixPath"): _guarded(
        "pathlib.PurePosixPath", pathlib.PurePosixPath, _path_cost),
    ("pathlib", "PosixPath"): _guarded("pathlib.PosixPath", _POSIX_PATH, _path_cost),
    ("pathlib", "PureWindowsPath"): _guarded(
        "pathlib.PureWindowsPath", pathlib.PureWindowsPath, _path_cost),
    ("pathlib", "WindowsPath"): _guarded(
        "pathlib.WindowsPath", _WINDOWS_PATH, _path_cost),
}
# Python 3.13 pickles paths under the module that defines them there; a
# store is read alike whichever version wrote it.
_ALLOWED.update({("pathlib._local", name): _ALLOWED[("pathlib", name)]
                 for name in ("PurePosixPath", "PosixPath", "PureWindowsPath",
                              "WindowsPath")})


class _RestrictedUnpickler(pickle.Unpickler):
    def find_class(self, module: str, name: str) -> Any:  # noqa: D401
        allowed = _ALLOWED.get((module, name))
        if allowed is not None:
            return allowed
        return _stand_in(module, name)

    def persistent_load(self, pid: Any) -> Any:
        return _stand_in("persistent", str(pid))


def _hashable_items(items: List[Any]) -> List[Any]:
    budget = _budget()
    return [budget.hashable(item) for item in items]


def _hashable_keys(items: List[Any]) -> List[Any]:
    """Keys and values in turn, the keys made ``_Budget.hashable``."""
    budget = _budget()
    return [budget.hashable(item) if i % 2 == 0 else item for i, item in enumerate(items)]


class _CheckingUnpickler(pickle._Unpickler):
    """The restricted unpickler in pure Python, where each key or item is
    checked before it is hashed."""

    # Internals of the pure-Python unpickler that its stubs leave out.
    stack: List[Any]
    append: Callable[[Any], None]
    pop_mark: Callable[[], List[Any]]

    find_class = _RestrictedUnpickler.find_class
    persistent_load = _RestrictedUnpickler.persistent_load
    dispatch: ClassVar[Dict[int, Callable[[Any], None]]] = dict(pickle._Unpickler.dispatch)

    # (``self.append`` follows the stack ``pop_mark`` returns to: it is
    # looked up after the items are taken.)
    def load_dict(self) -> None:
        items = _hashable_keys(self.pop_mark())
        self.append({items[i]: items[i + 1] for i in range(0, len(items), 2)})
    dispatch[pickle.DICT[0]] = load_dict

    def load_setitem(self) -> None:
        stack = self.stack
        value = stack.pop()
        key = _budget().hashable(stack.pop())
        stack[-1][key] = value
    dispatch[pickle.SETITEM[0]] = load_setitem

    def load_setitems(self) -> None:
        items = _hashable_keys(self.pop_mark())
        target = self.stack[-1]
        for i in range(0, len(items), 2):
            target[items[i]] = items[i + 1]
    dispatch[pickle.SETITEMS[0]] = load_setitems

    def load_additems(self) -> None:
        items = _hashable_items(self.pop_mark())
        target = self.stack[-1]
        if isinstance(target, set):
            target.update(items)
        else:
            for item in items:
                target.add(item)
    dispatch[pickle.ADDITEMS[0]] = load_additems

    def load_frozenset(self) -> None:
        items = _hashable_items(self.pop_mark())
        self.append(frozenset(items))
    dispatch[pickle.FROZENSET[0]] = load_frozenset


# Bytes of the opcodes that make a tuple (or may, by a call): a tuple can be
# nested no deeper than a stream has such bytes, whatever else they stand
# for. Below this many, hashing cannot overflow the C stack (which takes
# some hundred thousand levels).
_TUPLE_MAKERS = (pickle.TUPLE + pickle.TUPLE1 + pickle.TUPLE2 + pickle.TUPLE3
                 + pickle.REDUCE + pickle.NEWOBJ + pickle.NEWOBJ_EX)
_SHALLOW_ENOUGH = 20_000


def _may_nest_deeply(data: bytes) -> bool:
    if len(data) < _SHALLOW_ENOUGH:
        return False
    return len(data) - len(data.translate(None, _TUPLE_MAKERS)) >= _SHALLOW_ENOUGH


def safe_loads(data: Union[bytes, bytearray]) -> Any:
    """Load a pickle, with every global it names replaced by a stand-in
    (except the harmless value types listed above).

    :raises DecodeError: when ``data`` is not a readable pickle.
    """
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise DecodeError(f"expected bytes, got {type(data).__name__}")
    data = bytes(data)
    # The C unpickler sizes its memo by the indices the stream names: an
    # index no honest stream of this length can name is refused before it
    # makes the unpickler allocate gigabytes.
    if _opscan.max_memo_index(data) > len(data):
        raise DecodeError("memo index out of range")
    outer = getattr(_LOAD, "budget", None)
    _LOAD.budget = _Budget(len(data))
    try:
        unpickler = _CheckingUnpickler if _may_nest_deeply(data) else _RestrictedUnpickler
        return unpickler(io.BytesIO(data), fix_imports=False).load()
    except RecursionError:
        raise DecodeError("pickle nested too deeply") from None
    except Exception as exc:  # a malformed stream raises many kinds
        raise DecodeError(f"{type(exc).__name__}: {exc}") from None
    finally:
        _LOAD.budget = outer


def effective_class_and_state(obj: Any) -> Tuple[Optional[str], Dict[str, Any]]:
    """The dotted class name and attribute dict of a decoded object.

    An object the safe pickler reduced to its used attributes arrives as a
    call of ``wrap_object(cls, funcs)`` with the attributes as state; its
    class is then ``cls``.
    """
    if isinstance(obj, StandIn):
        name = obj.tw_full_name
        if name.endswith(".wrap_object") and obj.tw_args:
            cls = obj.tw_args[0]
            cls_name = stand_in_name(cls) if is_stand_in_class(cls) else getattr(
                cls, "__qualname__", repr(cls))
            return cls_name, obj.tw_attributes
        return name, obj.tw_attributes
    if isinstance(obj, dict):
        return None, obj
    return None, {}


METRICS_MODULE = "tarnwick_collector.data_collection.metrics"

#: Counter name of each metric class of the metrics module.
COUNTERS_BY_CLASS: Dict[str, str] = {
    "StartEvent": "start_events",
    "ExitEvent": "exit_events",
    "CollectionTry": "collection_try",
    "CollectionSuccess": "collection_success",
    "CollectorFailure": "collection_failures",
    "Unpicklable": "collection_failures",
    "LimitFailure": "collection_failures",
    "InstrumentationFailure": "collection_failures",
    "RecordingEnded": "collection_failures",
    "CallsLost": "collection_failures",
    "CallsLeftOut": "collection_failures",
    "ExternalFunction": "external_functions",
    "SamplingRateWasSet": "sampling_rate_was_set",
    "ExternalCallsMaxLimitWasSet": "external_calls_max_limit_was_set",
}

# Attributes every metric has, in the order its attribute dict lists them.
_BASE_METRIC_KEYS = ("tenant_id", "collector_version", "project_id", "python_version")


def _plain(value: Any) -> Any:
    """A metric field as the metric's attribute dict gives it: enumeration
    members by their value, everything else JSON-friendly."""
    if isinstance(value, StandIn):
        args = value.tw_args
        if len(args) == 1 and isinstance(args[0], (str, int, float)):
            return args[0]  # an enumeration member, pickled by value
        return value.tw_full_name
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    if is_stand_in_class(value):
        return stand_in_name(value)
    # Shown within limits: a value's whole repr() may be far larger than
    # the message (parts shared many times over).
    from tarnwick_collector.store.render import Limits, render_value
    return render_value(value, Limits(depth=4, items=32, string=400, width=2000))


def describe_metric_message(data: bytes) -> Tuple[Optional[str], Optional[str], Dict[str, Any]]:
    """Counter name, metric class name and attribute dict of one metric
    message.

    The counter is ``None`` for an object that is not one of the metric
    classes. The attribute dict lists the class's own fields first and then
    the four common ones, as the metric's own ``get_attributes_as_dict``.

    :raises DecodeError: when ``data`` is not a readable pickle.
    """
    obj = safe_loads(data)
    cls_name, state = effective_class_and_state(obj)
    if cls_name is None:
        return None, None, {}
    module, _, short = cls_name.rpartition(".")
    counter = COUNTERS_BY_CLASS.get(short) if module == METRICS_MODULE else None
    own = {k: _plain(v) for k, v in state.items() if k not in _BASE_METRIC_KEYS}
    own.update((k, _plain(state[k])) for k in _BASE_METRIC_KEYS if k in state)
    return counter, short or cls_name, own


def describe_data_message(data: bytes) -> Tuple[Optional[str], Optional[str]]:
    """Full name and module name of the function of one recorded call.

    :raises DecodeError: when ``data`` is not a readable pickle.
    """
    obj = safe_loads(data)
    _, state = effective_class_and_state(obj)
    _, meta = effective_class_and_state(state.get("function_metadata"))
    full_name = meta.get("full_name")
    module = meta.get("module_name")
    return (
        full_name if isinstance(full_name, str) else None,
        module if isinstance(module, str) else None,
    )


def iter_stand_ins(value: Any, _seen: Optional[set] = None) -> Iterator[StandIn]:
    """Every stand-in instance reachable from ``value`` (for tests and
    diagnostics)."""
    seen = set() if _seen is None else _seen
    if id(value) in seen:
        return
    seen.add(id(value))
    if isinstance(value, StandIn):
        yield value
        children: List[Any] = list(value.tw_args) + list(value.tw_kwargs.values())
        children.append(value.tw_state)
        children.extend(value.tw_items)
        children.extend(v for kv in value.tw_entries for v in kv)
    elif isinstance(value, dict):
        children = list(value.keys()) + list(value.values())
    elif isinstance(value, (list, tuple, set, frozenset)):
        children = list(value)
    else:
        return
    for child in children:
        yield from iter_stand_ins(child, seen)
