"""Signatures of recorded functions."""
import inspect
import weakref
from types import FunctionType
from typing import Any, Dict, Optional, Tuple

# Modules whose annotation objects (``List[int]``, ``Optional[str]``,
# ``list[int]``, ``int | None``...) are shown by their own text.
_TYPING_MODULES = frozenset({"typing", "typing_extensions", "types"})


def _annotation(value: Any) -> Any:
    """An annotation in a form the safe pickler takes: classes, strings and
    None as they are, anything else as text.

    The generic aliases of ``typing`` have a ``__getattr__`` of their own
    and the builtin ones a ``__reduce__``; the pickler refuses both, and a
    refused signature would keep every call of the function from being
    recorded.
    """
    if value is None or type(value) is str or issubclass(type(value), type):
        return value
    kind = type(value)
    if getattr(kind, "__module__", None) in _TYPING_MODULES:
        try:
            text = repr(value)
        except Exception:
            text = None
        if type(text) is str:
            return text
    # Anything else is named by its type: its own __repr__ is not run.
    return f"<{kind.__module__}.{kind.__qualname__} object>"


def _make_signature(function_obj: Any) -> Optional[inspect.FullArgSpec]:
    try:
        spec = inspect.getfullargspec(function_obj)
    except (TypeError, ValueError):
        return None
    if not spec.annotations:
        return spec
    annotations: Dict[str, Any] = {
        name: _annotation(value) for name, value in spec.annotations.items()}
    return spec._replace(annotations=annotations)


# Signatures of plain functions already worked out, by function identity:
# id -> (weak reference to the function, what the signature was made from,
# the signature). An entry goes when its function does.
_signatures: Dict[int, Tuple["weakref.ref[Any]", Tuple[Any, ...], Any]] = {}

# What inspect reads of a plain function besides these: its own namespace's
# `__signature__` and `_partialmethod`, which would take precedence.
_OVERRIDES = ("__signature__", "_partialmethod")


def _sources(function_obj: Any) -> Optional[Tuple[Any, ...]]:
    """What a plain function's signature is made from (its code, defaults,
    keyword defaults and annotations, each annotation by identity), or
    None when its namespace holds something that would take precedence."""
    namespace = function_obj.__dict__
    if namespace and any(name in namespace for name in _OVERRIDES):
        return None
    annotations = function_obj.__annotations__
    return (function_obj.__code__, function_obj.__defaults__,
            function_obj.__kwdefaults__, annotations,
            tuple(annotations.items()))


def _same_sources(now: Tuple[Any, ...], then: Tuple[Any, ...]) -> bool:
    if any(a is not b for a, b in zip(now[:4], then[:4])):
        return False
    items, was = now[4], then[4]
    return len(items) == len(was) and all(
        k is j and v is w for (k, v), (j, w) in zip(items, was))


def _forget(key: int, ref: "weakref.ref[Any]") -> None:
    entry = _signatures.get(key)
    if entry is not None and entry[0] is ref:
        del _signatures[key]


def get_signature(function_obj: Any) -> Optional[inspect.FullArgSpec]:
    """The ``inspect.FullArgSpec`` of ``function_obj``, or ``None`` when
    the interpreter cannot give one. Annotations that are not classes or
    strings are given as text (see :func:`_annotation`).

    A plain function's signature is worked out once for as long as what it
    is made from stays the same object (a recorded function is asked for
    it at every call); the answer is then the same object each time, not
    to be changed by callers."""
    if type(function_obj) is not FunctionType:
        return _make_signature(function_obj)
    key = id(function_obj)
    entry = _signatures.get(key)
    if entry is not None and entry[0]() is function_obj:
        # The common case, asked at every recorded call, written out: no
        # generator expressions, nothing built.
        then = entry[1]
        fn: Any = function_obj
        namespace = fn.__dict__
        annotations = fn.__annotations__
        if ((not namespace or ("__signature__" not in namespace
                               and "_partialmethod" not in namespace))
                and fn.__code__ is then[0]
                and fn.__defaults__ is then[1]
                and fn.__kwdefaults__ is then[2]
                and annotations is then[3]
                and not annotations and not then[4]):
            return entry[2]
    sources = _sources(function_obj)
    if sources is None:
        return _make_signature(function_obj)
    if (entry is not None and entry[0]() is function_obj
            and _same_sources(sources, entry[1])):
        return entry[2]
    spec = _make_signature(function_obj)
    ref = weakref.ref(function_obj, lambda r, key=key: _forget(key, r))  # type: ignore[misc]
    _signatures[key] = (ref, sources, spec)
    return spec
