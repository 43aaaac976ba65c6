"""Turning stored records into text and JSON for people.

A record is decoded with the restricted unpickler of ``decoding``: classes
and functions it names are shown by their dotted names, never imported.
The placeholders of the safe pickler (functions by name, modules,
exceptions, objects reduced to the attributes the call used, objects stock
pickling refused) are shown as what they stand for.
"""
import collections
import datetime
import decimal
import fractions
import pathlib
import time
import uuid
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tarnwick_common.redaction import REDACTED_TEXT, Redacted
from tarnwick_collector.store.decoding import (
    DecodeError,
    StandIn,
    TooLarge,
    effective_class_and_state,
    is_call_stand_in,
    is_stand_in_class,
    safe_loads,
    stand_in_name,
)

_NONE_TYPE = type(None)
_PICKLER = "tarnwick_collector.data_serialization.pickler."
_WRAPPERS = "tarnwick_common.utils.object_wrapper."
#: The marker stored in place of a redacted value, as the stream names it.
_REDACTED = f"{Redacted.__module__}.{Redacted.__qualname__}"


@dataclass
class Limits:
    """How much of a value is shown."""

    depth: int = 4
    items: int = 8
    string: int = 80
    width: int = 240  # 0: no limit


_SORT_LIMITS = Limits(depth=2, items=4, string=40, width=120)


class _Undecodable:
    def __init__(self, reason: str) -> None:
        self.reason = reason


# Above this many bits the number of decimal digits of an int is estimated
# from its bit length instead of counted (counting takes a power of ten of
# the same size).
_EXACT_DIGITS_BITS = 1_000_000

# How many values may be nested inside one another while one value is
# shown, whatever path leads there; deeper ones are shown as "...".
_MAX_NESTING = 48


def _decimal_digits(n: int) -> Tuple[int, bool]:
    """The number of decimal digits of ``abs(n)``, and whether it is exact.

    Works without converting ``n`` to text, which the interpreter refuses
    for ints of more than a few thousand digits."""
    n = abs(n)
    if n < 10:
        return 1, True
    estimate = int(n.bit_length() * 0.30102999566398120) + 1
    if n.bit_length() > _EXACT_DIGITS_BITS:
        return estimate, False
    digits = estimate
    while digits > 1 and 10 ** (digits - 1) > n:
        digits -= 1
    while 10 ** digits <= n:
        digits += 1
    return digits, True


def int_text(n: int) -> str:
    """``repr(n)``, or for an int too long to be converted to decimal text
    (``sys.get_int_max_str_digits()``), ``<int with N digits>``."""
    try:
        return repr(n)
    except ValueError:
        digits, exact = _decimal_digits(n)
        sign = "negative " if n < 0 else ""
        about = "" if exact else "about "
        return f"<{sign}int with {about}{digits} digits>"


def _first_line(text: str, limit: int = 80) -> str:
    line = text.strip().splitlines()[0] if text.strip() else ""
    return line if len(line) <= limit else line[: limit - 3] + "..."


def _unshowable(v: Any, exc: BaseException) -> str:
    """The text of a value whose rendering failed: its type and why."""
    try:
        reason = _first_line(str(exc))
    except Exception:
        reason = ""
    what = type(exc).__name__ + (f": {reason}" if reason else "")
    return f"<{type(v).__name__}: cannot be shown ({what})>"


def safe_text(text: Any) -> str:
    """A text from the store (a name, a reason, a run id) as it may be shown
    on a terminal: characters that are not printable (control characters,
    escape sequences, direction overrides) are written as the escapes
    ``repr()`` writes for them in values. Bytes (from a damaged store) are
    read as UTF-8 the same way; anything else is shown by ``str()``."""
    if not isinstance(text, str):
        if isinstance(text, (bytes, bytearray, memoryview)):
            text = bytes(text).decode("utf-8", "backslashreplace")
        else:
            try:
                text = int_text(text) if isinstance(text, int) else str(text)
            except Exception:
                text = f"<{type(text).__name__}>"
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in text)


def json_ready(value: Any) -> Any:
    """``value`` (dicts, lists, texts and numbers read from the store) made
    safe to write as JSON and to show: every text escaped as by
    :func:`safe_text`, bytes and other types turned into such texts, and
    numbers JSON cannot write (infinities, NaN) written as texts."""
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, int):
        return value if abs(value) < 1 << 63 else safe_text(value)
    if isinstance(value, float):
        return value if value == value and abs(value) != float("inf") else repr(value)
    if isinstance(value, dict):
        return {safe_text(k): json_ready(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_ready(v) for v in value]
    return safe_text(value)


#: One step from a value to a part of it: ("item", index) in a sequence or
#: set, ("pair", index) in a dict, ("attr", name), ("arg", index),
#: ("kwarg", index), ("sitem", index), ("entry", index), ("state", None) and
#: ("callee", None) in a stand-in, ("chars", index) in a string or bytes.
Step = Tuple[str, Any]

# Marks, inside a text being built, where a difference to point out lies.
_MARK = "\x00"

# How many parts of two values are compared, at most, to find where they
# differ, and how deep.
_DIFF_BUDGET = 50_000
_DIFF_DEPTH = 100


# Sets of more items than this are shown in their own order: sorting them
# costs a text of every item.
_SORTED_SET_ITEMS = 10_000


def _sort_key(item: Any) -> str:
    # A short text: the whole repr() of an item may be far larger than the
    # stream it came from (parts shared many times over).
    return _Renderer(_SORT_LIMITS).value(item)


def _set_items(v: Any) -> List[Any]:
    """The items of a set in the order they are shown."""
    items = list(v)
    if len(items) > _SORTED_SET_ITEMS:
        return items
    try:
        return sorted(items, key=_sort_key)
    except Exception:
        return items


def _child(node: Any, step: Step) -> Tuple[bool, Any]:
    """(found, the part of ``node`` that ``step`` leads to)."""
    kind, key = step
    try:
        if kind == "item":
            items = _set_items(node) if isinstance(node, (set, frozenset)) else node
            if isinstance(items, (list, tuple, collections.deque)) and 0 <= key < len(items):
                return True, items[key]
        elif kind == "pair":
            if isinstance(node, dict) and 0 <= key < len(node):
                return True, list(node.values())[key]
        elif isinstance(node, StandIn):
            if kind == "attr":
                attrs = node.tw_attributes
                if key in attrs:
                    return True, attrs[key]
            elif kind in ("arg", "sitem"):
                items = node.tw_args if kind == "arg" else node.tw_items
                if 0 <= key < len(items):
                    return True, items[key]
            elif kind in ("kwarg", "entry"):
                pairs = list(node.tw_kwargs.items()) if kind == "kwarg" else node.tw_entries
                if 0 <= key < len(pairs):
                    return True, pairs[key][1]
            elif kind == "state":
                return True, node.tw_state
            elif kind == "callee" and is_call_stand_in(node):
                return True, node.tw_callee
    except Exception:
        pass
    return False, None


def find_difference(a: Any, b: Any) -> Optional[List[Step]]:
    """Where two decoded values first differ: ``None`` when they are
    alike, else the steps from ``a`` (and ``b``) to the first part that
    differs (``[]``: the values themselves). Stand-ins are alike when they
    stand for the same name with alike contents."""
    budget = [_DIFF_BUDGET]
    seen: set = set()

    def seq(kind: str, xs: Sequence[Any], ys: Sequence[Any],
            depth: int) -> Optional[List[Step]]:
        for i, (x, y) in enumerate(zip(xs, ys)):
            found = diff(x, y, depth + 1)
            if found is not None:
                return [(kind, i)] + found
        if len(xs) != len(ys):
            return [(kind, min(len(xs), len(ys)))]
        return None

    def pairs(kind: str, xs: Sequence[Tuple[Any, Any]], ys: Sequence[Tuple[Any, Any]],
              depth: int) -> Optional[List[Step]]:
        for i, ((kx, vx), (ky, vy)) in enumerate(zip(xs, ys)):
            if diff(kx, ky, depth + 1) is not None:
                return [(kind, i)]
            found = diff(vx, vy, depth + 1)
            if found is not None:
                return [(kind, i)] + found
        if len(xs) != len(ys):
            return [(kind, min(len(xs), len(ys)))]
        return None

    def stand_ins(x: StandIn, y: StandIn, depth: int) -> Optional[List[Step]]:
        found = seq("arg", x.tw_args, y.tw_args, depth)
        if found is None:
            found = pairs("kwarg", list(x.tw_kwargs.items()), list(y.tw_kwargs.items()), depth)
        if found is not None:
            return found
        ax, ay = x.tw_attributes, y.tw_attributes
        for name in list(ax) + [n for n in ay if n not in ax]:
            if name not in ax or name not in ay:
                return [("attr", name)]
            found = diff(ax[name], ay[name], depth + 1)
            if found is not None:
                return [("attr", name)] + found
        if not ax and not ay:
            found = diff(x.tw_state, y.tw_state, depth + 1)
            if found is not None:
                return [("state", None)] + found
        found = seq("sitem", x.tw_items, y.tw_items, depth)
        if found is None:
            found = pairs("entry", x.tw_entries, y.tw_entries, depth)
        if found is None and is_call_stand_in(x):
            inner = diff(x.tw_callee, y.tw_callee, depth + 1)
            found = None if inner is None else [("callee", None)] + inner
        return found

    def diff(x: Any, y: Any, depth: int) -> Optional[List[Step]]:
        budget[0] -= 1
        if x is y:
            return None
        if type(x) is not type(y) or budget[0] < 0 or depth > _DIFF_DEPTH:
            return []
        if isinstance(x, (str, bytes, bytearray)):
            if x == y:
                return None
            n = min(len(x), len(y))
            return [("chars", next((i for i in range(n) if x[i] != y[i]), n))]
        if isinstance(x, (list, tuple, dict, set, frozenset, collections.deque, StandIn)):
            key = (id(x), id(y))
            if key in seen:  # met before on this walk (a cycle or a shared part)
                return None
            seen.add(key)
            if isinstance(x, dict):
                return pairs("pair", list(x.items()), list(y.items()), depth)
            if isinstance(x, StandIn):
                return stand_ins(x, y, depth)
            if isinstance(x, (set, frozenset)):
                return seq("item", _set_items(x), _set_items(y), depth)
            return seq("item", list(x), list(y), depth)
        if isinstance(x, _Undecodable):
            return None if x.reason == y.reason else []
        if isinstance(x, (float, complex)):  # nan, -0.0
            return None if repr(x) == repr(y) else []
        try:
            return None if bool(x == y) else []
        except Exception:
            return []

    try:
        return diff(a, b, 0)
    except RecursionError:
        return []


def _clip_around_mark(text: str, width: int) -> str:
    """``text`` without its mark, cut to ``width`` characters so that the
    marked place stays in view."""
    at = text.find(_MARK)
    if at >= 0:
        text = text.replace(_MARK, "")
    if not width or len(text) <= width:
        return text
    if at < width - width // 4:
        return text[: max(1, width - 3)] + "..."
    head = width // 3
    start = max(head, at - width // 4)
    room = max(1, width - head - 6)
    tail = "..." if start + room < len(text) else ""
    return text[:head] + "..." + text[start: start + room] + tail


def key_text(key: Any) -> str:
    """A name (of an argument, a global, a module) as text; anything that
    is not a string is shown as a value."""
    return safe_text(key) if isinstance(key, str) else render_value(key)


class _Renderer:
    def __init__(self, limits: Limits) -> None:
        self.limits = limits
        self._active: set = set()
        self._unpicklable_depth = 0
        self._nesting = 0
        # While a value is shown with a difference to point out (see
        # ``value``): the step to take at each node of the path to it (by
        # node id), the nodes on that path, and the node whose step is last.
        self._focus: Dict[int, Step] = {}
        self._path_nodes: set = set()
        self._last_node = -1

    def value(self, v: Any, depth: int = 0, path: Optional[List[Step]] = None) -> str:
        """``v`` as text, at most ``limits.width`` characters. With ``path``
        (from :func:`find_difference`), the part of ``v`` it leads to is
        shown even where the limits would leave it out."""
        if path:
            self._set_focus(v, path)
        try:
            text = self._value(v, depth)
        finally:
            self._focus, self._path_nodes, self._last_node = {}, set(), -1
        return _clip_around_mark(text, self.limits.width)

    def _set_focus(self, v: Any, path: List[Step]) -> None:
        node = v
        for step in path:
            self._focus[id(node)] = step
            self._path_nodes.add(id(node))
            self._last_node = id(node)
            found, node = _child(node, step)
            if not found:
                return
        self._path_nodes.add(id(node))

    def _reveal(self, node: Any, kind: str) -> Any:
        """The key or index of the child of ``node`` to show, when the path
        of a difference goes through ``node`` by a step of ``kind``."""
        step = self._focus.get(id(node))
        if step is not None and step[0] == kind:
            return step[1]
        return None

    def _marked(self, node: Any, text: str) -> str:
        """``text`` of the child revealed in ``node``, marked when the
        difference lies there (so that clipping keeps it in view)."""
        return _MARK + text if id(node) == self._last_node else text

    def _str(self, s: Any, unit: str = "chars") -> str:
        limit = self.limits.string
        at = self._reveal(s, "chars")
        mark = _MARK if at is not None else ""
        if not limit or len(s) <= limit:
            return mark + repr(s)
        head = s[:limit]
        if at is None or at < limit - limit // 4:
            return mark + repr(head) + f"...<{len(s)} {unit}>"
        # The difference lies past the shown start: show a piece around it.
        head = s[: limit // 2]
        start = max(len(head), at - limit // 4)
        piece = s[start: start + limit // 2]
        return (repr(head) + "..." + _MARK + repr(piece)
                + f"...<{len(s)} {unit}>")

    def _value(self, v: Any, depth: int) -> str:
        """One value as text; a value that cannot be shown costs only its
        own text, never the text around it."""
        if self._nesting >= _MAX_NESTING:
            return "..."
        self._nesting += 1
        try:
            return self._value_text(v, depth)
        except Exception as exc:  # a value of an unforeseen shape
            return _unshowable(v, exc)
        finally:
            self._nesting -= 1

    def _value_text(self, v: Any, depth: int) -> str:
        if isinstance(v, int):
            return int_text(v)
        if v is None or isinstance(v, (float, complex)):
            return repr(v)
        if isinstance(v, str):
            return self._str(v)
        if isinstance(v, (bytes, bytearray)):
            text = self._str(bytes(v), "bytes")
            return text if type(v) is bytes else f"bytearray({text})"
        if isinstance(v, _Undecodable):
            return f"<undecodable: {safe_text(v.reason)}>"
        if isinstance(v, TooLarge):
            return repr(v)
        if v is _NONE_TYPE:
            return "NoneType"
        if is_stand_in_class(v):
            return safe_text(stand_in_name(v))
        if isinstance(v, type):
            module = getattr(v, "__module__", "")
            qual = getattr(v, "__qualname__", v.__name__)
            return safe_text(qual if module == "builtins" else f"{module}.{qual}")
        if isinstance(v, (range, slice)):
            # Their bounds may be ints too long for repr().
            return type(v).__name__ + "(" + ", ".join(
                self._value(part, depth + 1) for part in _bounds(v)) + ")"
        if isinstance(v, (datetime.date, datetime.time, datetime.timedelta,
                          datetime.timezone, decimal.Decimal, fractions.Fraction,
                          uuid.UUID, pathlib.PurePath)):
            return repr(v)
        if depth >= self.limits.depth and id(v) not in self._path_nodes:
            return "..."
        key = id(v)
        if key in self._active:
            return "<cycle>"
        self._active.add(key)
        try:
            if isinstance(v, StandIn):
                return self._stand_in(v, depth)
            return self._container(v, depth)
        finally:
            self._active.discard(key)

    def _shown_indexes(self, n: int, reveal: Any) -> List[Any]:
        """Which of ``n`` items to show: the first ones up to the limit and
        the revealed one, with the number left out between (ints)."""
        limit = self.limits.items
        if not limit or n <= limit:
            return [(i,) for i in range(n)]
        out: List[Any] = [(i,) for i in range(limit)]
        if isinstance(reveal, int) and not isinstance(reveal, bool) and limit <= reveal < n:
            if reveal > limit:
                out.append(reveal - limit)
            out.append((reveal,))
            if n - reveal - 1:
                out.append(n - reveal - 1)
        else:
            out.append(n - limit)
        return out

    def _seq(self, items: Sequence[Any], depth: int, node: Any = None,
             kind: str = "item") -> List[str]:
        reveal = self._reveal(node, kind) if node is not None else None
        shown = []
        for entry in self._shown_indexes(len(items), reveal):
            if isinstance(entry, int):
                shown.append(f"...<{entry} more>")
                continue
            text = self._value(items[entry[0]], depth + 1)
            shown.append(self._marked(node, text) if entry[0] == reveal else text)
        return shown

    def _pairs(self, pairs: Sequence[Tuple[Any, Any]], depth: int,
               sep: str = ": ", bare_keys: bool = False, node: Any = None,
               kind: str = "pair") -> List[str]:
        reveal = self._reveal(node, kind) if node is not None else None
        if kind == "attr" and reveal is not None:  # an attribute, by name
            reveal = next((i for i, (k, _) in enumerate(pairs) if k == reveal), None)
        shown = []
        for entry in self._shown_indexes(len(pairs), reveal):
            if isinstance(entry, int):
                shown.append(f"...<{entry} more>")
                continue
            k, val = pairs[entry[0]]
            key = safe_text(k) if bare_keys and isinstance(k, str) else \
                self._value(k, depth + 1)
            text = f"{key}{sep}{self._value(val, depth + 1)}"
            shown.append(self._marked(node, text) if entry[0] == reveal else text)
        return shown

    def _container(self, v: Any, depth: int) -> str:
        if isinstance(v, dict):
            body = "{" + ", ".join(self._pairs(list(v.items()), depth, node=v)) + "}"
            if type(v) is dict:
                return body
            return f"{type(v).__name__}({body})"
        if isinstance(v, list):
            return "[" + ", ".join(self._seq(v, depth, v)) + "]"
        if isinstance(v, tuple):
            parts = self._seq(v, depth, v)
            return "(" + ", ".join(parts) + ("," if len(v) == 1 else "") + ")"
        if isinstance(v, (set, frozenset)):
            items = _set_items(v)
            if not items:
                return f"{type(v).__name__}()"
            body = "{" + ", ".join(self._seq(items, depth, v)) + "}"
            return body if type(v) is set else f"frozenset({body})"
        if isinstance(v, collections.deque):
            return "deque([" + ", ".join(self._seq(list(v), depth, v)) + "])"
        try:
            return repr(v)
        except Exception as exc:
            return f"<{type(v).__name__}: repr failed: {exc}>"

    def _attrs(self, attrs: Dict[str, Any], depth: int, node: Any = None) -> str:
        return ", ".join(self._pairs(list(attrs.items()), depth, "=", bare_keys=True,
                                     node=node, kind="attr"))

    def _named(self, v: Any, depth: int) -> str:
        """A name carried as a string argument (or anything else)."""
        return safe_text(v) if isinstance(v, str) else self._value(v, depth + 1)

    def _stand_in(self, obj: StandIn, depth: int) -> str:
        name = safe_text(obj.tw_full_name)
        args = obj.tw_args
        attrs = obj.tw_attributes
        if is_call_stand_in(obj):
            return self._generic(obj, self._value(obj.tw_callee, depth + 1), depth)
        if name == _REDACTED:
            return REDACTED_TEXT
        if name == "jsonpickle.unpickler.loadclass" and args:
            return self._named(args[0], depth)
        if name.startswith(_PICKLER):
            short = name[len(_PICKLER):]
            if short == "wrap_module" and args:
                return f"<module {self._named(args[0], depth)}>"
            if short == "wrap_function" and args:
                return f"<rebuilt by {self._named(args[0], depth)}>"
            if short == "wrap_exception" and args:
                return self._exception(args, depth)
            if short == "wrap_object" and args:
                cls = self._value(args[0], depth + 1)
                funcs = args[1] if len(args) > 1 and isinstance(args[1], dict) else {}
                return self._object(cls, attrs, funcs, depth, obj)
            if short in ("Wraper", "NewFuncWrap") and "name" in attrs:
                return self._named(attrs["name"], depth)
        if name.startswith(_WRAPPERS):
            short = name[len(_WRAPPERS):]
            if short in ("FunctionWrapper", "ModuleWrapper", "SpecialWrapper"):
                full = attrs.get("full_name", args[0] if args else None)
                if short == "ModuleWrapper":
                    return f"<module {self._named(full, depth)}>"
                return self._named(full, depth)
            if short == "UnpicklableObject":
                type_text = args[0] if args else attrs.get("_wrapped_type", "?")
                if isinstance(type_text, str) and type_text.count("'") >= 2:
                    type_text = type_text.split("'")[1]
                label = f"unpicklable {self._named(type_text, depth)}"
                if self._unpicklable_depth:
                    return f"<{label}>"  # inside another one: just its type
                # Its methods (bound ones as function wrappers, native ones
                # among the attributes) say nothing about its value.
                shown = {k: v for k, v in attrs.items()
                         if not k.startswith("_wrapped") and not _is_callable_ref(v)}
                self._unpicklable_depth += 1
                try:
                    return self._object(label, shown, {}, depth, obj)
                finally:
                    self._unpicklable_depth -= 1
            if short == "ObjectWrapper":
                cls = self._value(attrs.get("_wrapped_class", args[0] if args else "?"),
                                  depth + 1)
                shown = {k: v for k, v in attrs.items() if not k.startswith("_wrapped")}
                return self._object(cls, shown, {}, depth, obj)
            if short == "ComputedAttribute":
                kind = attrs.get("kind", args[0] if args else "descriptor")
                return f"<computed by {self._named(kind, depth)}, not read again>"
            if short == "ExceptionWrapper":
                return self._exception(
                    (attrs.get("exception_full_name"), attrs.get("exception_args", ()),
                     attrs.get("exception_dunder_dict", {})), depth)
        if name == "builtins.getattr" and len(args) == 2:
            return f"{self._value(args[0], depth + 1)}.{self._named(args[1], depth)}"
        if name == "copyreg._reconstructor" and args:
            state = args[2] if len(args) > 2 else None
            shown = dict(attrs)
            if isinstance(state, dict):
                shown = {**state, **shown}
            return self._object(self._value(args[0], depth + 1), shown, {}, depth, obj)
        return self._generic(obj, name, depth)

    def _exception(self, args: Sequence[Any], depth: int) -> str:
        exc_name = self._named(args[0], depth) if args[0] is not None else "<exception>"
        exc_args = args[1] if len(args) > 1 else ()
        if not isinstance(exc_args, (tuple, list)):
            exc_args = (exc_args,)
        text = exc_name + "(" + ", ".join(self._seq(exc_args, depth, exc_args)) + ")"
        extra = args[2] if len(args) > 2 else None
        if isinstance(extra, dict) and extra:
            text += " {" + self._attrs(extra, depth) + "}"
        return text

    def _object(self, cls_text: str, attrs: Dict[str, Any], funcs: Dict[str, Any],
                depth: int, node: Any = None) -> str:
        parts = []
        if attrs:
            parts.append(self._attrs(attrs, depth, node))
        if funcs:
            parts.append("methods: " + ", ".join(sorted(key_text(k) for k in funcs)))
        return f"<{cls_text}" + (": " + "; ".join(parts) if parts else "") + ">"

    def _generic(self, obj: StandIn, name: str, depth: int) -> str:
        inner = self._seq(obj.tw_args, depth, obj, "arg")
        inner += self._pairs(list(obj.tw_kwargs.items()), depth, "=", bare_keys=True,
                             node=obj, kind="kwarg")
        text = f"{name}({', '.join(inner)})"
        attrs = obj.tw_attributes
        state = obj.tw_state
        extras = []
        if attrs:
            extras.append(self._attrs(attrs, depth, obj))
        elif state is not None and not isinstance(state, (dict, tuple)):
            extras.append("state=" + self._value(state, depth + 1))
        items = obj.tw_items
        if items:
            extras.append("items=[" + ", ".join(self._seq(items, depth, obj, "sitem")) + "]")
        entries = obj.tw_entries
        if entries:
            extras.append("entries={" + ", ".join(
                self._pairs(entries, depth, node=obj, kind="entry")) + "}")
        if extras:
            if not obj.tw_args and not obj.tw_kwargs:
                return f"<{name}: " + "; ".join(extras) + ">"
            text += " {" + "; ".join(extras) + "}"
        return text


def _bounds(v: Any) -> Tuple[Any, ...]:
    """The arguments ``repr()`` shows of a range or a slice."""
    if isinstance(v, range):
        return (v.start, v.stop) if v.step == 1 else (v.start, v.stop, v.step)
    return (v.start, v.stop, v.step)


_CALLABLE_REFS = {
    "builtins.getattr",
    "jsonpickle.unpickler.loadclass",
    _WRAPPERS + "FunctionWrapper",
}


def _is_callable_ref(value: Any) -> bool:
    """A function or method written by name."""
    if is_stand_in_class(value):
        return True
    return isinstance(value, StandIn) and value.tw_full_name in _CALLABLE_REFS


def render_value(value: Any, limits: Optional[Limits] = None) -> str:
    """A one-line text of a decoded value."""
    return _Renderer(limits or Limits()).value(value)


def _load(blob: Any) -> Any:
    """A serialized field of a record (bytes), decoded safely."""
    if not isinstance(blob, (bytes, bytearray)):
        return blob
    try:
        return safe_loads(blob)
    except DecodeError as exc:
        return _Undecodable(str(exc))


def _no_exception(value: Any) -> bool:
    return value is None or value is _NONE_TYPE


def _signature_names(signature: Any) -> Tuple[List[str], Optional[str], int]:
    """Positional parameter names, the ``*args`` name and the number of
    defaults of a decoded ``inspect.FullArgSpec``."""
    fields: Sequence[Any] = ()
    if isinstance(signature, StandIn):
        fields = signature.tw_args
        if not fields and signature.tw_attributes:
            attrs = signature.tw_attributes
            fields = (attrs.get("args"), attrs.get("varargs"), attrs.get("varkw"),
                      attrs.get("defaults"))
    elif isinstance(signature, (tuple, list)):
        fields = signature
    names = fields[0] if len(fields) > 0 else None
    varargs = fields[1] if len(fields) > 1 else None
    defaults = fields[3] if len(fields) > 3 else None
    if not isinstance(names, (list, tuple)) or not all(isinstance(n, str) for n in names):
        names = []
    ndefaults = len(defaults) if isinstance(defaults, (tuple, list)) else 0
    return ([safe_text(n) for n in names],
            safe_text(varargs) if isinstance(varargs, str) else None, ndefaults)


@dataclass
class ExternalCallView:
    function: str
    returned: Any = None
    raised: Any = None
    has_return: bool = True


@dataclass
class RecordView:
    """One recorded call, decoded."""

    id: int
    session: str
    received: float
    full_name: Optional[str]
    module: Optional[str]
    size: int
    decode_error: Optional[str] = None
    full_path: Optional[str] = None
    is_async: bool = False
    parameter_names: List[str] = field(default_factory=list)
    varargs: Optional[str] = None
    defaults: int = 0
    args_before: Any = None
    kwargs_before: Any = None
    args_after: Any = None
    kwargs_after: Any = None
    # Whether the stored arguments after the call differ from those before
    # it (compared as stored); None when the record does not tell.
    arguments_changed: Optional[bool] = None
    returned: Any = None
    has_return: bool = False
    raised: Any = None
    globals: Any = None
    external_calls: List[ExternalCallView] = field(default_factory=list)
    unknown_modules: List[str] = field(default_factory=list)

    @classmethod
    def from_row(cls, row: Sequence[Any]) -> "RecordView":
        """From a data row (id, session, received, full_name, module, size,
        decode_error, message)."""
        rid, session, received, full_name, module, size, error, message = row
        view = cls(rid, _text_or_none(session), received, _text_or_none(full_name),
                   _text_or_none(module), size, _text_or_none(error))
        try:
            record = safe_loads(message)
        except DecodeError as exc:
            view.decode_error = safe_text(str(exc))
            return view
        _, state = effective_class_and_state(record)
        if not state:
            view.decode_error = view.decode_error or "not a call record"
            return view
        _, meta = effective_class_and_state(state.get("function_metadata"))
        if view.full_name is None and isinstance(meta.get("full_name"), str):
            view.full_name = safe_text(meta["full_name"])
        if isinstance(meta.get("full_path"), str):
            view.full_path = safe_text(meta["full_path"])
        view.is_async = bool(meta.get("is_async")) if isinstance(
            meta.get("is_async"), bool) else False
        view.parameter_names, view.varargs, view.defaults = _signature_names(
            _load(meta.get("function_signature")))
        stored = [state.get(name) for name in ("pre_run_args", "post_run_args",
                                               "pre_run_kwargs", "post_run_kwargs")]
        if all(isinstance(blob, (bytes, bytearray)) for blob in stored):
            view.arguments_changed = stored[0] != stored[1] or stored[2] != stored[3]
        view.args_before = _load(state.get("pre_run_args"))
        view.kwargs_before = _load(state.get("pre_run_kwargs"))
        view.args_after = _load(state.get("post_run_args"))
        view.kwargs_after = _load(state.get("post_run_kwargs"))
        view.has_return = state.get("return_value") is not None
        view.returned = _load(state.get("return_value"))
        raised = _load(state.get("execption"))
        view.raised = None if _no_exception(raised) else raised
        view.globals = _load(state.get("globals"))
        calls = state.get("external_calls")
        for call in calls if isinstance(calls, list) else []:
            _, call_state = effective_class_and_state(call)
            _, call_meta = effective_class_and_state(call_state.get("function_metadata"))
            name = call_meta.get("full_name")
            raised = _load(call_state.get("execption"))
            view.external_calls.append(ExternalCallView(
                function=safe_text(name) if isinstance(name, str) else "?",
                returned=_load(call_state.get("return_value")),
                raised=None if _no_exception(raised) else raised,
                has_return=call_state.get("return_value") is not None,
            ))
        unknown = state.get("unknown_modules")
        if isinstance(unknown, (set, frozenset, list, tuple)):
            view.unknown_modules = sorted(key_text(m) for m in unknown)
        return view

    @classmethod
    def unshowable(cls, row: Sequence[Any], exc: BaseException) -> "RecordView":
        """A data row whose message could not be turned into a view: its
        stored columns, and why."""
        rid, session, received, full_name, module, size, error, _ = row
        try:
            reason = safe_text(f"{type(exc).__name__}: {_first_line(str(exc), 200)}")
        except Exception:
            reason = type(exc).__name__
        error = _text_or_none(error)
        view = cls(rid, _text_or_none(session), received, _text_or_none(full_name),
                   _text_or_none(module), size)
        view.decode_error = (f"{error}; " if error else "") + \
            f"record cannot be shown ({reason})"
        return view

    # --- arguments ----------------------------------------------------

    def arguments(self, when: str) -> List[Tuple[str, Any]]:
        """(name, value) of the arguments before (``"before"``) or after
        (``"after"``) the call, positional ones named from the signature."""
        args = self.args_before if when == "before" else self.args_after
        kwargs = self.kwargs_before if when == "before" else self.kwargs_after
        out: List[Tuple[str, Any]] = []
        names = self.parameter_names
        if self._receiver_omitted():
            names = names[1:]
        if isinstance(args, (tuple, list)):
            for i, value in enumerate(args):
                if i < len(names):
                    name = names[i]
                elif self.varargs:
                    name = f"*{self.varargs}[{i - len(names)}]"
                else:
                    name = f"arg{i}"
                out.append((name, value))
        elif args is not None:
            out.append(("*args", args))
        if isinstance(kwargs, dict):
            out.extend((key_text(k), v) for k, v in kwargs.items())
        elif kwargs is not None:
            out.append(("**kwargs", kwargs))
        return out

    def _receiver_omitted(self) -> bool:
        """Whether the arguments lack the receiver that the signature names
        first: the collector leaves out the class of a class method and
        the new instance of an initializer run by calling its class."""
        names = self.parameter_names
        args = self.args_before
        if not names or not isinstance(args, (tuple, list)):
            return False
        if names[0] == "cls":
            # `__new__` is a static method: its class is an argument. A
            # method of a metaclass names its class `cls` too, and keeps
            # it; without *args every positional parameter is recorded,
            # so the count tells. With *args a class method is assumed.
            if (self.full_name or "").endswith(".__new__"):
                return False
            if not self.varargs:
                return len(args) < len(names)
            return True
        if names[0] != "self":
            return False
        if len(args) >= len(names) and not self.varargs:
            return False
        kwargs = self.kwargs_before if isinstance(self.kwargs_before, dict) else {}
        required = [n for n in names[: len(names) - self.defaults] if n not in kwargs]
        if len(args) < len(required):
            return True
        if (self.full_name or "").endswith(".__init__"):
            if not args:
                return True
            owner = (self.full_name or "")[: -len(".__init__")]
            cls_name, _ = effective_class_and_state(args[0])
            return cls_name != owner
        return False

    def argument_texts(self, renderer: "_Renderer", depth: int = 0
                       ) -> Tuple[List[Tuple[str, str]], List[Tuple[str, str]], bool]:
        """(name, text) of the arguments before and after the call, and
        whether they changed. Where an argument changed in a part the
        limits would leave out, both its texts show that part."""
        before = self.arguments("before")
        after = self.arguments("after")
        changed = self.arguments_changed
        paths_before: Dict[int, List[Step]] = {}
        paths_after: Dict[int, List[Step]] = {}
        if changed is not False:
            names_after = [name for name, _ in after]
            for i, (name, value) in enumerate(before):
                if i < len(after) and names_after[i] == name:
                    j = i
                elif name in names_after:
                    j = names_after.index(name)
                else:
                    continue
                path = find_difference(value, after[j][1])
                if path is not None:
                    paths_before[i] = paths_after[j] = path
            if changed is None:
                changed = bool(paths_before) or [n for n, _ in before] != names_after
        texts_before = [(name, renderer.value(v, depth, paths_before.get(i)))
                        for i, (name, v) in enumerate(before)]
        texts_after = [(name, renderer.value(v, depth, paths_after.get(i)))
                       for i, (name, v) in enumerate(after)]
        return texts_before, texts_after, bool(changed)

    def used_globals(self) -> List[Tuple[str, Any]]:
        if isinstance(self.globals, dict):
            return [(key_text(k), v) for k, v in self.globals.items()]
        if self.globals is None:
            return []
        return [("?", self.globals)]


def _text_or_none(value: Any) -> Optional[str]:
    """A text column of a stored row, escaped for showing."""
    return None if value is None else safe_text(value)


def _stamp(ts: float) -> str:
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(ts)) + \
            f".{int((ts % 1) * 1000):03d}"
    except Exception:  # out of range, or not a number in a damaged store
        return safe_text(ts)


def _size(n: int) -> str:
    if not isinstance(n, (int, float)) or n != n or abs(n) == float("inf"):
        return safe_text(n)
    if n < 1024:
        return f"{n} B"
    if n < 1024 * 1024:
        return f"{n / 1024:.1f} KB"
    return f"{n / (1024 * 1024):.1f} MB"


def render_text(view: RecordView, limits: Optional[Limits] = None,
                show_run: bool = False) -> List[str]:
    """The lines showing one recorded call (with its run id, when
    ``show_run``)."""
    r = _Renderer(limits or Limits())
    name = view.full_name or "(unknown function)"
    run = f"; run {view.session}" if show_run else ""
    lines = [f"#{view.id}  {name}"
             f"   [{view.module or '?'}; {_size(view.size)}; {_stamp(view.received)}{run}]"]
    if view.decode_error and view.args_before is None:
        lines.append(f"  cannot decode: {view.decode_error}")
        return lines

    def args_text(pairs: List[Tuple[str, str]]) -> str:
        return ", ".join(f"{k}={text}" for k, text in pairs) or "(none)"

    texts_before, texts_after, changed = view.argument_texts(r, 1)
    before = args_text(texts_before)
    after = args_text(texts_after)
    lines.append(f"  arguments before: {before}")
    if not changed:
        after = "(unchanged)"
    elif after == before:  # e.g. only which parts are shared changed
        after += "   (changed in a part not shown)"
    lines.append("  arguments after:  " + after)
    if view.raised is not None:
        lines.append(f"  raised:   {r.value(view.raised)}")
    elif view.has_return:
        lines.append(f"  returned: {r.value(view.returned)}")
    else:
        lines.append("  returned: (not recorded: too large)")
    if view.external_calls:
        lines.append(f"  external calls ({len(view.external_calls)}):")
        for call in view.external_calls:
            if call.raised is not None:
                outcome = "raised " + r.value(call.raised)
            elif call.has_return:
                outcome = "-> " + r.value(call.returned)
            else:
                outcome = "(result not recorded)"
            lines.append(f"    {call.function}(...) {outcome}")
    else:
        lines.append("  external calls: none")
    used = view.used_globals()
    if used:
        lines.append("  globals used: " + ", ".join(f"{k}={r.value(v, 1)}" for k, v in used))
    else:
        lines.append("  globals used: none")
    if view.unknown_modules:
        lines.append("  unknown modules: " + ", ".join(view.unknown_modules))
    return lines


def render_summary_line(view: RecordView, limits: Optional[Limits] = None) -> str:
    """One line per call: name, arguments and outcome."""
    r = _Renderer(limits or Limits(depth=2, items=3, string=24, width=110))
    args = ", ".join(r.value(v, 1) for _, v in view.arguments("before"))
    if view.raised is not None:
        outcome = "raised " + r.value(view.raised)
    elif view.has_return:
        outcome = "-> " + r.value(view.returned)
    else:
        outcome = "-> (too large)"
    extra = f"  [{len(view.external_calls)} external]" if view.external_calls else ""
    return _clip(f"{view.full_name}({args}) {outcome}{extra}", r.limits.width)


def _clip(text: str, width: int) -> str:
    if width and len(text) > width:
        return text[: width - 3] + "..."
    return text


def to_json(view: RecordView, limits: Optional[Limits] = None) -> Dict[str, Any]:
    """A JSON-ready dict of one recorded call; values are their texts (as
    are the stored columns of a damaged store that are not of their type)."""
    r = _Renderer(limits or Limits(width=0))
    texts_before, texts_after, changed = view.argument_texts(r)
    return json_ready({
        "id": view.id,
        "run": view.session,
        "received": view.received,
        "function": view.full_name,
        "module": view.module,
        "path": view.full_path,
        "size": view.size,
        "decode_error": view.decode_error,
        "arguments_before": dict(texts_before),
        "arguments_after": dict(texts_after),
        "arguments_changed": changed,
        "returned": (r.value(view.returned)
                     if view.raised is None and view.has_return else None),
        "raised": r.value(view.raised) if view.raised is not None else None,
        "external_calls": [
            {
                "function": c.function,
                "returned": (r.value(c.returned)
                             if c.raised is None and c.has_return else None),
                "raised": r.value(c.raised) if c.raised is not None else None,
            }
            for c in view.external_calls
        ],
        "globals": {k: r.value(v) for k, v in view.used_globals()},
        "unknown_modules": view.unknown_modules,
    })
