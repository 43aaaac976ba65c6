"""One decoded value as one line of text, within :class:`Limits`: the
containers, the placeholders of the safe pickler shown as what they stand
for (functions by name, modules, exceptions, objects reduced to the
attributes the call used, redacted values), and a difference to point out
kept in view."""
import collections
import datetime
import decimal
import fractions
import pathlib
import uuid
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tarnwick_collector.store.decoding import (
    StandIn,
    TooLarge,
    is_call_stand_in,
    is_stand_in_class,
    stand_in_name,
    zoned_parts,
)
from tarnwick_collector.store.diffing import _MARK, Step, _child, _clip_around_mark, _set_items
from tarnwick_collector.store.texts import (
    _NONE_TYPE,
    Limits,
    _first_line,
    _Undecodable,
    int_text,
    safe_text,
)
from tarnwick_common.redaction import REDACTED_TEXT, Redacted

_PICKLER = "tarnwick_collector.data_serialization.pickler."
_WRAPPERS = "tarnwick_common.utils.object_wrapper."
#: The marker stored in place of a redacted value, as the stream names it.
_REDACTED = f"{Redacted.__module__}.{Redacted.__qualname__}"

# How many values may be nested inside one another while one value is
# shown, whatever path leads there; deeper ones are shown as "...".
_MAX_NESTING = 48


def _unshowable(v: Any, exc: BaseException) -> str:
    """The text of a value whose rendering failed: its type and why."""
    try:
        reason = _first_line(str(exc))
    except Exception:
        reason = ""
    what = type(exc).__name__ + (f": {reason}" if reason else "")
    return f"<{type(v).__name__}: cannot be shown ({what})>"


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
            callee = obj.tw_callee  # type: ignore[attr-defined]  # a call stand-in
            return self._generic(obj, self._value(callee, depth + 1), depth)
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
        zoned = zoned_parts(obj)
        if zoned is not None:
            # As the value's own repr() writes it, its zone shown as the
            # object of the program it is.
            naive, zone = zoned
            return f"{repr(naive)[:-1]}, tzinfo={self._value(zone, depth + 1)})"
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
