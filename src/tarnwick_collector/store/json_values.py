"""Decoded values as JSON values, for ``show --json``.

A value JSON can hold (``None``, booleans, numbers, strings, lists, tuples
and dicts whose keys are all strings) is written as itself, exactly: strings
are not shortened or escaped here (characters that are not printable are
escaped in the JSON text, see :func:`escape_unprintable`). Any other value
is an object::

    {"type": "<dotted name of its type>", "text": "<how show prints it>", ...}

(names, such as the type's and those of attributes, escaped as ``show``
escapes every name), with, where the value has them, ``"attributes"`` (the attributes of an
object the recorder kept, by name), ``"args"`` (of an exception), ``"items"``
(of a set, a deque, or a dict whose keys are not all strings: its
``[key, value]`` pairs) and ``"name"`` (of a function, class or module
written by name). Types that are not types of the program:

- ``tarnwick.reference``: a function or class written by its name;
- ``tarnwick.redacted``: a redacted value;
- ``tarnwick.computed``: an attribute computed by code, not read again;
- ``tarnwick.too_large``: a part the reader refused to rebuild (too large);
- ``tarnwick.undecodable``: a part that could not be decoded;
- ``tarnwick.cycle``: a value that contains itself, at the place it does.

What one call may write is bounded: a stream can share one part many times
over, and each reference to it would be written out whole. Past the bound
(and below a nesting depth), values are written as ``{"type", "text"}``
with the text as ``show`` shortens it.
"""
import collections
from typing import Any, Dict, List, Optional

from tarnwick_collector.store.decoding import (
    StandIn,
    TooLarge,
    effective_class_and_state,
    is_call_stand_in,
    is_stand_in_class,
    stand_in_name,
)
from tarnwick_collector.store.texts import _NONE_TYPE, _Undecodable, int_text, safe_text
from tarnwick_collector.store.values import _REDACTED, _is_callable_ref, _Renderer

#: The version of the shape of ``show --json``'s document; it changes when
#: a reader of the previous shape would misread the new one.
SCHEMA_VERSION = 1

#: What one call may write (values, plus characters of strings), and how
#: much more per byte of the stored message.
BUDGET_BASE = 1_000_000
BUDGET_PER_BYTE = 8
#: Values nested deeper than this are written by their text.
MAX_DEPTH = 64

_SAFE_INT = 1 << 63
_INF = float("inf")
_PICKLER = "tarnwick_collector.data_serialization.pickler."
_WRAPPERS = "tarnwick_common.utils.object_wrapper."


def _type_name(cls: type) -> str:
    module = getattr(cls, "__module__", None) or "builtins"
    return f"{module}.{getattr(cls, '__qualname__', cls.__name__)}"


class JsonValues:
    """Turns the decoded values of one call into JSON values, within one
    budget; ``renderer`` gives the texts."""

    def __init__(self, renderer: _Renderer, size: Any = 0) -> None:
        self.renderer = renderer
        extra = size if isinstance(size, int) and size > 0 else 0
        self.left = BUDGET_BASE + BUDGET_PER_BYTE * extra
        self._active: set = set()

    def value(self, v: Any) -> Any:
        return self._value(v, 0)

    # --- the parts --------------------------------------------------------

    def _text(self, v: Any) -> str:
        return self.renderer.value(v)

    def _other(self, type_name: str, v: Any, **extra: Any) -> Dict[str, Any]:
        out: Dict[str, Any] = {"type": safe_text(type_name), "text": self._text(v)}
        out.update((k, e) for k, e in extra.items() if e is not None)
        return out

    def _value(self, v: Any, depth: int) -> Any:
        # The atoms first, by exact type: most of what a call holds.
        cls = type(v)
        if cls is str:
            self.left -= len(v) + 1
            return v if self.left >= 0 else self._other("builtins.str", v)
        self.left -= 1
        if v is None or cls is bool:
            return v
        if cls is int:
            if -_SAFE_INT < v < _SAFE_INT:
                return v
            text = int_text(v)
            return v if not text.startswith("<") else {"type": "builtins.int", "text": text}
        if cls is float:
            return v if v == v and v not in (_INF, -_INF) else \
                {"type": "builtins.float", "text": repr(v)}
        if self.left < 0 or depth > MAX_DEPTH:
            return self._other(self._kind(v), v)
        key = id(v)
        if key in self._active:
            return {"type": "tarnwick.cycle", "text": "<cycle>"}
        self._active.add(key)
        try:
            return self._composite(v, depth)
        finally:
            self._active.discard(key)

    def _items(self, items: Any, depth: int) -> List[Any]:
        """``_value`` of each item, with the atoms taken inline (the bulk
        of most values)."""
        out: List[Any] = []
        append = out.append
        for item in items:
            cls = type(item)
            if cls is str:
                self.left -= len(item) + 1
                if self.left >= 0:
                    append(item)
                    continue
            elif item is None or cls is bool or (
                    cls is int and -_SAFE_INT < item < _SAFE_INT):
                self.left -= 1
                append(item)
                continue
            append(self._value(item, depth))
        return out

    def _kind(self, v: Any) -> str:
        """The type name of a value written by its text."""
        if isinstance(v, StandIn):
            return self._stand_in_type(v)
        if is_stand_in_class(v):
            return "tarnwick.reference"
        return _type_name(type(v))

    def _composite(self, v: Any, depth: int) -> Any:
        inner = depth + 1
        if type(v) in (list, tuple):
            return self._items(v, inner)
        if type(v) is dict:
            if all(type(k) is str for k in v):
                return dict(zip(v, self._items(v.values(), inner)))
            return self._other("builtins.dict", v, items=[
                [self._value(k, inner), self._value(item, inner)] for k, item in v.items()])
        if isinstance(v, (set, frozenset, collections.deque)):
            return self._other(_type_name(type(v)), v,
                               items=[self._value(item, inner) for item in v])
        if isinstance(v, dict):  # OrderedDict, Counter, defaultdict
            return self._other(_type_name(type(v)), v, items=[
                [self._value(k, inner), self._value(item, inner)] for k, item in v.items()])
        if isinstance(v, _Undecodable):
            return {"type": "tarnwick.undecodable", "text": self._text(v)}
        if isinstance(v, TooLarge):
            return {"type": "tarnwick.too_large", "text": self._text(v)}
        if v is _NONE_TYPE:
            return {"type": "tarnwick.reference", "text": "NoneType",
                    "name": "builtins.NoneType"}
        if is_stand_in_class(v):
            return {"type": "tarnwick.reference", "text": self._text(v),
                    "name": safe_text(stand_in_name(v))}
        if isinstance(v, type):
            return {"type": "tarnwick.reference", "text": self._text(v),
                    "name": safe_text(_type_name(v))}
        if isinstance(v, StandIn):
            return self._stand_in(v, inner)
        return self._other(_type_name(type(v)), v)

    def _attributes(self, attrs: Dict[Any, Any], depth: int,
                    unpicklable: bool = False) -> Optional[Dict[str, Any]]:
        shown = {k: a for k, a in attrs.items()
                 if isinstance(k, str) and not k.startswith("_wrapped")
                 and not (unpicklable and _is_callable_ref(a))}
        if not shown:
            return None
        return {safe_text(k): self._value(a, depth) for k, a in shown.items()}

    def _stand_in_type(self, obj: StandIn) -> str:
        name = obj.tw_full_name
        args = obj.tw_args
        attrs = obj.tw_attributes
        if is_call_stand_in(obj):
            callee = obj.tw_callee  # type: ignore[attr-defined]  # a call stand-in
            return stand_in_name(callee) if is_stand_in_class(callee) else \
                self._kind(callee)
        if name == _REDACTED:
            return "tarnwick.redacted"
        if name == _PICKLER + "wrap_object" and args:
            cls_name, _ = effective_class_and_state(obj)
            return cls_name or "?"
        if name in (_PICKLER + "wrap_module", _WRAPPERS + "ModuleWrapper"):
            return "builtins.module"
        if name in (_PICKLER + "wrap_function", _PICKLER + "Wraper", _PICKLER + "NewFuncWrap",
                    _WRAPPERS + "FunctionWrapper", _WRAPPERS + "SpecialWrapper",
                    "jsonpickle.unpickler.loadclass", "builtins.getattr"):
            return "tarnwick.reference"
        if name == _PICKLER + "wrap_exception" and args:
            exc = args[0]
            if isinstance(exc, str):
                return exc
            return stand_in_name(exc) if is_stand_in_class(exc) else self._kind(exc)
        if name == _WRAPPERS + "ExceptionWrapper":
            exc = attrs.get("exception_full_name")
            return exc if isinstance(exc, str) else "builtins.BaseException"
        if name == _WRAPPERS + "UnpicklableObject":
            type_text = args[0] if args else attrs.get("_wrapped_type", "?")
            if isinstance(type_text, str) and type_text.count("'") >= 2:
                type_text = type_text.split("'")[1]
            return type_text if isinstance(type_text, str) else "?"
        if name == _WRAPPERS + "ObjectWrapper":
            cls = attrs.get("_wrapped_class", args[0] if args else None)
            return stand_in_name(cls) if is_stand_in_class(cls) else (
                cls if isinstance(cls, str) else "?")
        if name == _WRAPPERS + "ComputedAttribute":
            return "tarnwick.computed"
        if name == "copyreg._reconstructor" and args:
            cls = args[0]
            return stand_in_name(cls) if is_stand_in_class(cls) else self._kind(cls)
        return name

    def _stand_in(self, obj: StandIn, depth: int) -> Dict[str, Any]:
        type_name = self._stand_in_type(obj)
        name = obj.tw_full_name
        args = obj.tw_args
        if type_name in ("tarnwick.redacted", "tarnwick.computed"):
            return {"type": type_name, "text": self._text(obj)}
        if type_name in ("tarnwick.reference", "builtins.module"):
            text = self._text(obj)
            ref = text[len("<module "):-1] if text.startswith("<module ") else text
            return {"type": type_name, "text": text, "name": ref}
        if name == _PICKLER + "wrap_exception" and args:
            exc_args = args[1] if len(args) > 1 else ()
            extra = args[2] if len(args) > 2 and isinstance(args[2], dict) else {}
            return self._other(type_name, obj, args=self._value(
                list(exc_args) if isinstance(exc_args, (tuple, list)) else [exc_args], depth),
                attributes=self._attributes(extra, depth))
        if name == _WRAPPERS + "ExceptionWrapper":
            attrs = obj.tw_attributes
            exc_args = attrs.get("exception_args", ())
            dunder = attrs.get("exception_dunder_dict")
            return self._other(type_name, obj, args=self._value(
                list(exc_args) if isinstance(exc_args, (tuple, list)) else [exc_args], depth),
                attributes=self._attributes(dunder if isinstance(dunder, dict) else {}, depth))
        attrs = dict(obj.tw_attributes)
        if name == "copyreg._reconstructor" and len(args) > 2 and isinstance(args[2], dict):
            attrs = {**args[2], **attrs}
        return self._other(type_name, obj, attributes=self._attributes(
            attrs, depth, unpicklable=name == _WRAPPERS + "UnpicklableObject"))


def escape_unprintable(text: str) -> str:
    """A JSON text with every character that is not printable (control
    characters, escape sequences, direction overrides, lone surrogates)
    written as a ``\\uXXXX`` escape: the JSON reads back the same, and a
    terminal shows it as it is. Such characters occur only inside JSON
    strings, where the escape is valid."""
    if text.isprintable():
        return text
    out: List[str] = []
    for ch in text:
        if ch.isprintable():
            out.append(ch)
            continue
        code = ord(ch)
        if code < 0x10000:
            out.append(f"\\u{code:04x}")
        else:
            code -= 0x10000
            out.append(f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}")
    return "".join(out)
