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

from tarnwick_collector.store.decoding import (
    DecodeError,
    StandIn,
    effective_class_and_state,
    is_call_stand_in,
    is_stand_in_class,
    safe_loads,
    stand_in_name,
)

_NONE_TYPE = type(None)
_PICKLER = "tarnwick_collector.data_serialization.pickler."
_WRAPPERS = "tarnwick_common.utils.object_wrapper."


@dataclass
class Limits:
    """How much of a value is shown."""

    depth: int = 4
    items: int = 8
    string: int = 80
    width: int = 240  # 0: no limit


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


def key_text(key: Any) -> str:
    """A name (of an argument, a global, a module) as text; anything that
    is not a string is shown as a value."""
    return key if isinstance(key, str) else render_value(key)


class _Renderer:
    def __init__(self, limits: Limits) -> None:
        self.limits = limits
        self._active: set = set()
        self._unpicklable_depth = 0
        self._nesting = 0

    def value(self, v: Any, depth: int = 0) -> str:
        text = self._value(v, depth)
        width = self.limits.width
        if width and len(text) > width:
            text = text[: max(1, width - 3)] + "..."
        return text

    def _str(self, s: Any) -> str:
        limit = self.limits.string
        if limit and len(s) > limit:
            return repr(s[:limit]) + f"...<{len(s)} chars>"
        return repr(s)

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
            limit = self.limits.string
            if limit and len(v) > limit:
                return repr(bytes(v[:limit])) + f"...<{len(v)} bytes>"
            return repr(v)
        if isinstance(v, _Undecodable):
            return f"<undecodable: {v.reason}>"
        if v is _NONE_TYPE:
            return "NoneType"
        if is_stand_in_class(v):
            return stand_in_name(v)
        if isinstance(v, type):
            module = getattr(v, "__module__", "")
            qual = getattr(v, "__qualname__", v.__name__)
            return qual if module == "builtins" else f"{module}.{qual}"
        if isinstance(v, (range, slice)):
            # Their bounds may be ints too long for repr().
            return type(v).__name__ + "(" + ", ".join(
                self._value(part, depth + 1) for part in _bounds(v)) + ")"
        if isinstance(v, (datetime.date, datetime.time, datetime.timedelta,
                          datetime.timezone, decimal.Decimal, fractions.Fraction,
                          uuid.UUID, pathlib.PurePath)):
            return repr(v)
        if depth >= self.limits.depth:
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

    def _seq(self, items: Sequence[Any], depth: int) -> List[str]:
        limit = self.limits.items
        shown = [self._value(x, depth + 1) for x in (items[:limit] if limit else items)]
        if limit and len(items) > limit:
            shown.append(f"...<{len(items) - limit} more>")
        return shown

    def _pairs(self, pairs: Sequence[Tuple[Any, Any]], depth: int,
               sep: str = ": ", bare_keys: bool = False) -> List[str]:
        limit = self.limits.items
        shown = []
        for k, val in pairs[:limit] if limit else pairs:
            key = k if bare_keys and isinstance(k, str) else self._value(k, depth + 1)
            shown.append(f"{key}{sep}{self._value(val, depth + 1)}")
        if limit and len(pairs) > limit:
            shown.append(f"...<{len(pairs) - limit} more>")
        return shown

    def _container(self, v: Any, depth: int) -> str:
        if isinstance(v, dict):
            body = "{" + ", ".join(self._pairs(list(v.items()), depth)) + "}"
            if type(v) is dict:
                return body
            return f"{type(v).__name__}({body})"
        if isinstance(v, list):
            return "[" + ", ".join(self._seq(v, depth)) + "]"
        if isinstance(v, tuple):
            parts = self._seq(list(v), depth)
            return "(" + ", ".join(parts) + ("," if len(v) == 1 else "") + ")"
        if isinstance(v, (set, frozenset)):
            try:
                items = sorted(v, key=repr)
            except Exception:
                items = list(v)
            if not items:
                return f"{type(v).__name__}()"
            body = "{" + ", ".join(self._seq(items, depth)) + "}"
            return body if type(v) is set else f"frozenset({body})"
        if isinstance(v, collections.deque):
            return "deque([" + ", ".join(self._seq(list(v), depth)) + "])"
        try:
            return repr(v)
        except Exception as exc:
            return f"<{type(v).__name__}: repr failed: {exc}>"

    def _attrs(self, attrs: Dict[str, Any], depth: int) -> str:
        return ", ".join(self._pairs(list(attrs.items()), depth, "=", bare_keys=True))

    def _named(self, v: Any, depth: int) -> str:
        """A name carried as a string argument (or anything else)."""
        return v if isinstance(v, str) else self._value(v, depth + 1)

    def _stand_in(self, obj: StandIn, depth: int) -> str:
        name = obj.tw_full_name
        args = obj.tw_args
        attrs = obj.tw_attributes
        if is_call_stand_in(obj):
            return self._generic(obj, self._value(obj.tw_callee, depth + 1), depth)
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
                return self._object(cls, attrs, funcs, depth)
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
                    return self._object(label, shown, {}, depth)
                finally:
                    self._unpicklable_depth -= 1
            if short == "ObjectWrapper":
                cls = self._value(attrs.get("_wrapped_class", args[0] if args else "?"),
                                  depth + 1)
                shown = {k: v for k, v in attrs.items() if not k.startswith("_wrapped")}
                return self._object(cls, shown, {}, depth)
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
            return self._object(self._value(args[0], depth + 1), shown, {}, depth)
        return self._generic(obj, name, depth)

    def _exception(self, args: Sequence[Any], depth: int) -> str:
        exc_name = self._named(args[0], depth) if args[0] is not None else "<exception>"
        exc_args = args[1] if len(args) > 1 else ()
        if not isinstance(exc_args, (tuple, list)):
            exc_args = (exc_args,)
        text = exc_name + "(" + ", ".join(self._seq(list(exc_args), depth)) + ")"
        extra = args[2] if len(args) > 2 else None
        if isinstance(extra, dict) and extra:
            text += " {" + self._attrs(extra, depth) + "}"
        return text

    def _object(self, cls_text: str, attrs: Dict[str, Any], funcs: Dict[str, Any],
                depth: int) -> str:
        parts = []
        if attrs:
            parts.append(self._attrs(attrs, depth))
        if funcs:
            parts.append("methods: " + ", ".join(sorted(key_text(k) for k in funcs)))
        return f"<{cls_text}" + (": " + "; ".join(parts) if parts else "") + ">"

    def _generic(self, obj: StandIn, name: str, depth: int) -> str:
        inner = self._seq(list(obj.tw_args), depth)
        inner += self._pairs(list(obj.tw_kwargs.items()), depth, "=", bare_keys=True)
        text = f"{name}({', '.join(inner)})"
        attrs = obj.tw_attributes
        state = obj.tw_state
        extras = []
        if attrs:
            extras.append(self._attrs(attrs, depth))
        elif state is not None and not isinstance(state, (dict, tuple)):
            extras.append("state=" + self._value(state, depth + 1))
        items = obj.tw_items
        if items:
            extras.append("items=[" + ", ".join(self._seq(items, depth)) + "]")
        entries = obj.tw_entries
        if entries:
            extras.append("entries={" + ", ".join(self._pairs(entries, depth)) + "}")
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
    return list(names), varargs if isinstance(varargs, str) else None, ndefaults


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
        view = cls(rid, session, received, full_name, module, size, error)
        try:
            record = safe_loads(message)
        except DecodeError as exc:
            view.decode_error = str(exc)
            return view
        _, state = effective_class_and_state(record)
        if not state:
            view.decode_error = view.decode_error or "not a call record"
            return view
        _, meta = effective_class_and_state(state.get("function_metadata"))
        if view.full_name is None and isinstance(meta.get("full_name"), str):
            view.full_name = meta["full_name"]
        if isinstance(meta.get("full_path"), str):
            view.full_path = meta["full_path"]
        view.is_async = bool(meta.get("is_async")) if isinstance(
            meta.get("is_async"), bool) else False
        view.parameter_names, view.varargs, view.defaults = _signature_names(
            _load(meta.get("function_signature")))
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
                function=name if isinstance(name, str) else "?",
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
            reason = f"{type(exc).__name__}: {_first_line(str(exc), 200)}"
        except Exception:
            reason = type(exc).__name__
        view = cls(rid, session, received, full_name, module, size)
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

    def used_globals(self) -> List[Tuple[str, Any]]:
        if isinstance(self.globals, dict):
            return [(key_text(k), v) for k, v in self.globals.items()]
        if self.globals is None:
            return []
        return [("?", self.globals)]


def _stamp(ts: float) -> str:
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(ts)) + \
            f".{int((ts % 1) * 1000):03d}"
    except Exception:  # out of range, or not a number in a damaged store
        return str(ts)


def _size(n: int) -> str:
    if not isinstance(n, (int, float)):
        return str(n)
    if n < 1024:
        return f"{n} B"
    if n < 1024 * 1024:
        return f"{n / 1024:.1f} KB"
    return f"{n / (1024 * 1024):.1f} MB"


def render_text(view: RecordView, limits: Optional[Limits] = None) -> List[str]:
    """The lines showing one recorded call."""
    r = _Renderer(limits or Limits())
    name = view.full_name or "(unknown function)"
    lines = [f"#{view.id}  {name}"
             f"   [{view.module or '?'}; {_size(view.size)}; {_stamp(view.received)}]"]
    if view.decode_error and view.args_before is None:
        lines.append(f"  cannot decode: {view.decode_error}")
        return lines

    def args_text(pairs: List[Tuple[str, Any]]) -> str:
        return ", ".join(f"{k}={r.value(v, 1)}" for k, v in pairs) or "(none)"

    before = args_text(view.arguments("before"))
    after = args_text(view.arguments("after"))
    lines.append(f"  arguments before: {before}")
    lines.append("  arguments after:  " + ("(unchanged)" if after == before else after))
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
    """A JSON-ready dict of one recorded call; values are their texts."""
    r = _Renderer(limits or Limits(width=0))
    return {
        "id": view.id,
        "run": view.session,
        "received": view.received,
        "function": view.full_name,
        "module": view.module,
        "path": view.full_path,
        "size": view.size,
        "decode_error": view.decode_error,
        "arguments_before": {k: r.value(v) for k, v in view.arguments("before")},
        "arguments_after": {k: r.value(v) for k, v in view.arguments("after")},
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
    }
