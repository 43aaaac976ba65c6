"""Recorded values as Python source text.

A value decoded by the restricted unpickler (``store.decoding``) is written
as a literal or a constructor call when that text rebuilds it exactly:
numbers, strings, containers, dates, ``Decimal``, paths, UUIDs, classes by
name, exceptions and plain objects (made without their initializer and
given their recorded attributes). Anything else raises ``NotLiteral`` and
the generator keeps the recorded pickle in a data file instead. A value the
recorder replaced by a placeholder raises ``NeedsPlaceholder``: no test can
be built on it.
"""
import collections
import datetime
import decimal
import fractions
import keyword
import math
import pathlib
import uuid
from typing import Any, Dict, List, Optional, Set, cast

from tarnwick_collector.replay import GENERATOR_CONTEXT_MANAGER, finished_generator_name
from tarnwick_collector.store.decoding import (
    StandIn,
    TooLarge,
    is_call_stand_in,
    is_stand_in_class,
    stand_in_name,
    zoned_parts,
)
from tarnwick_collector.testgen.reachable import Reachability

PICKLER = "tarnwick_collector.data_serialization.pickler."
WRAPPERS = "tarnwick_common.utils.object_wrapper."
UNPICKLABLE = WRAPPERS + "UnpicklableObject"
LOADCLASS = "jsonpickle.unpickler.loadclass"
#: What the recorder stores in place of a value it redacted.
REDACTED = "tarnwick_common.redaction.Redacted"
REDACTED_TEXT = "a redacted value (recorded without --no-redact)"
REDACTED_TEXT_SHORT = "redacted"


def is_code_reference(value: Any) -> bool:
    """A value that names code (a module, a class, a function, a method)."""
    if is_stand_in_class(value):
        return True
    if isinstance(value, StandIn):
        name = value.tw_full_name
        return name in (PICKLER + "wrap_module", "builtins.getattr", LOADCLASS) or (
            name.startswith(WRAPPERS) and name.rpartition(".")[2] in (
                "FunctionWrapper", "ModuleWrapper", "SpecialWrapper"))
    return False


class NotLiteral(Exception):
    """The value has no exact source text here."""


class NeedsPlaceholder(Exception):
    """The value holds a placeholder of the recorder (or a part that could
    not be decoded): what it stood for is not known."""


class NotByName(Exception):
    """The value names a function that cannot be found by its name (a
    nested function, a lambda)."""


def placeholder_type(value: StandIn) -> str:
    args = value.tw_args
    text = args[0] if args else value.tw_attributes.get("_wrapped_type", "?")
    if isinstance(text, str) and text.count("'") >= 2:
        text = text.split("'")[1]
    return str(text)


#: What a match object of ``re`` holds that makes it again: the pattern
#: searched, the text, the bounds of the search and the groups' spans.
MATCH_PARTS = ("re", "string", "pos", "endpos", "regs")


def match_parts(value: Any) -> Optional[Dict[str, Any]]:
    """The parts of a placeholder of a match object of ``re`` that make the
    match again (``MATCH_PARTS``), or None when the record lacks some."""
    if not isinstance(value, StandIn) or value.tw_full_name != UNPICKLABLE or \
            placeholder_type(value) != "re.Match":
        return None
    attrs = value.tw_attributes
    parts = {k: attrs.get(k) for k in MATCH_PARTS}
    if not isinstance(parts["string"], (str, bytes)) or \
            not all(isinstance(parts[k], int) for k in ("pos", "endpos")) or \
            not isinstance(parts["regs"], (tuple, list)) or \
            not isinstance(parts["re"], StandIn) or \
            parts["re"].tw_full_name != "re._compile":
        return None
    return parts


def finished_generator_of(value: Any) -> Optional[str]:
    """The qualified name of the generator a placeholder describes, when it
    had run to its end (``replay.finished_generator`` makes one again)."""
    if not isinstance(value, StandIn) or value.tw_full_name != UNPICKLABLE:
        return None
    return finished_generator_name(
        placeholder_type(value), value.tw_attributes,
        lambda code: code.tw_attributes if isinstance(code, StandIn) else {})


def find_placeholder(value: Any, seen: Optional[Set[int]] = None) -> Optional[str]:
    """The type of the first placeholder (or undecodable part) in ``value``."""
    seen = set() if seen is None else seen
    if id(value) in seen:
        return None
    seen.add(id(value))
    if isinstance(value, TooLarge):
        return f"a value too large to decode ({value.what})"
    if type(value).__name__ == "_Undecodable":
        return "a value that cannot be decoded"
    if isinstance(value, StandIn):
        name = value.tw_full_name
        if name == UNPICKLABLE:
            if match_parts(value) is not None or finished_generator_of(value) is not None:
                return None
            return placeholder_type(value)
        if name == REDACTED:
            return REDACTED_TEXT
        if name == PICKLER + "wrap_function":
            return f"a rebuilt object ({value.tw_args[0] if value.tw_args else '?'})"
        children: List[Any] = list(value.tw_args) + list(value.tw_kwargs.values())
        children.append(value.tw_state)
        children.extend(value.tw_items)
        children.extend(v for kv in value.tw_entries for v in kv)
        if is_call_stand_in(value):
            children.append(cast(Any, value).tw_callee)
    elif isinstance(value, dict):
        children = list(value.keys()) + list(value.values())
    elif isinstance(value, (list, tuple, set, frozenset, collections.deque)):
        children = list(value)
    else:
        return None
    for child in children:
        found = find_placeholder(child, seen)
        if found:
            return found
    return None


_STDLIB_REPRS = {
    datetime.datetime: "datetime", datetime.date: "datetime", datetime.time: "datetime",
    datetime.timedelta: "datetime", datetime.timezone: "datetime",
    decimal.Decimal: "decimal", fractions.Fraction: "fractions", uuid.UUID: "uuid",
}


class _Source:
    """A part of a value written as this text."""

    def __init__(self, text: str) -> None:
        self.text = text


def _with_plural_rule(state: Any) -> Any:
    """A gettext catalog's state with its plural rule written as made
    again from the catalog's Plural-Forms header: the rule is a function
    gettext compiles from that header, which no test can find by name
    (``gettext.func``, ``builtins.func`` before 3.9)."""
    if not isinstance(state, dict):
        return state
    rule, info = state.get("plural"), state.get("_info")
    if not (is_code_reference(rule) and isinstance(info, dict)
            and isinstance(info.get("plural-forms"), str)):
        return state
    state = dict(state)
    state["plural"] = _Source(f"replay.plural_rule({info['plural-forms']!r})")
    return state


class Writer:
    """Turns values into source text, collecting the modules it names."""

    def __init__(self, main_module: Optional[str] = None,
                 reachable: Optional[Reachability] = None) -> None:
        self.imports: Set[str] = set()
        self.main_module = main_module
        self.reachable = reachable
        #: The callables the call being written called as external calls:
        #: one the arguments hand the function is written as a stand-in
        #: that replays those calls (``replay.handed``).
        self.handed: Set[str] = set()

    def class_ref(self, cls: Any) -> str:
        module = getattr(cls, "_tw_module", "")
        name = getattr(cls, "_tw_name", "")
        if "<" in name or "<" in module:
            made = self._made_again(module, name)
            if made is None:
                raise NotByName(f"{module}.{name}" if module else name)
            return made
        if module == "__main__":
            if not self.main_module:
                raise NotByName(f"{name}, of the main script, which is not importable")
            module = self.main_module
        full_name = f"{module}.{name}" if module else name
        if self.reachable is not None and not self.reachable.is_reachable(full_name):
            raise NotByName(f"{full_name}, which its module does not define by that name")
        if module == "builtins" and name.isidentifier():
            return name
        if self.reachable is not None and module and self.reachable.shadowed(module):
            return f"replay.resolve({full_name!r})"
        if not module or module == "__main__" or not all(
                p.isidentifier() and not keyword.iskeyword(p)
                for p in (module.split(".") + name.split("."))):
            full = f"{module}.{name}" if module else name
            if full.startswith("__main__.") and self.main_module:
                full = self.main_module + full[len("__main__"):]
            return f"replay.resolve({full!r})"
        self.imports.add(module)
        return f"{module}.{name}"

    def _made_again(self, module: str, name: str) -> Optional[str]:
        """The text that makes again a function defined inside a function
        of a module of the project (see ``replay.nested_function``), or
        None where the test cannot."""
        if self.reachable is None or "<locals>" not in name or "<" in module:
            return None
        if not module:  # named by its full name alone
            module, name = self.reachable.split_module(name)
        if not module or module == "__main__":
            return None
        if not self.reachable.nested_function(module, name):
            return None
        return f"replay.nested_function({module!r}, {name!r})"

    def _nested_ref(self, cls: Any) -> Optional[str]:
        """A function or class made inside a function (a decorator factory's
        decorator), named in a returned value: no test can find it, but the
        one returned can be told by its module and qualified name."""
        module = getattr(cls, "_tw_module", "")
        name = getattr(cls, "_tw_name", "")
        full = f"{module}.{name}" if module else name
        if "<locals>" not in full or full.startswith("<"):
            return None
        if full.startswith("__main__."):
            if not self.main_module:
                return None
            full = self.main_module + full[len("__main__"):]
        return f"replay.made_inside({full!r})"

    def check_names(self, value: Any) -> None:
        """Raises NotByName when ``value`` names code (a class, a function)
        that a test could not find by its name: a value kept as its
        recorded pickle is loaded by those names."""
        seen: Set[int] = set()
        todo = [value]
        while todo:
            v = todo.pop()
            if id(v) in seen:
                continue
            seen.add(id(v))
            names: List[str] = []
            if is_stand_in_class(v):
                if self._made_again(getattr(v, "_tw_module", ""),
                                    getattr(v, "_tw_name", "")) is None:
                    names.append(stand_in_name(v))
            elif isinstance(v, StandIn):
                full = v.tw_full_name
                if finished_generator_of(v) is not None:
                    continue  # made again by its name alone
                if not full.startswith((PICKLER, WRAPPERS)) and full != LOADCLASS:
                    names.append(full)
                if full == LOADCLASS and v.tw_args and isinstance(v.tw_args[0], str):
                    names.append(v.tw_args[0])
                todo.extend(v.tw_args)
                todo.extend(v.tw_kwargs.values())
                todo.append(v.tw_state)
                todo.extend(v.tw_items)
                todo.extend(x for kv in v.tw_entries for x in kv)
            elif isinstance(v, dict):
                todo.extend(v.keys())
                todo.extend(v.values())
            elif isinstance(v, (list, tuple, set, frozenset, collections.deque)):
                todo.extend(v)
            for name in names:
                if name.startswith("__main__."):
                    continue  # named through the script's module when loaded
                if "<" in name or (self.reachable is not None
                                   and not self.reachable.is_reachable(name)):
                    raise NotByName(name)

    def code(self, value: Any, context: str = "value") -> str:
        """Source text of ``value``; ``context`` is "exception" for a raised
        exception, "external" for an external call's result and "returned"
        for a returned value (which is only compared, never used)."""
        return self._code(value, context, set(), 0)

    def _shared(self, value: Any, seen: Set[int]) -> None:
        # A mutable part met twice (shared or cyclic): text would copy it.
        if id(value) in seen:
            raise NotLiteral("a part shared between several places")
        seen.add(id(value))

    def _code(self, v: Any, context: str, seen: Set[int], depth: int) -> str:
        if depth > 40:
            raise NotLiteral("nested too deeply")
        if v is None or isinstance(v, (bool, str, bytes)):
            return repr(v)
        if isinstance(v, int):
            text = repr(v)
            if len(text) > 200:
                raise NotLiteral("a long int")
            return text
        if isinstance(v, float):
            if math.isnan(v):
                return "float('nan')"
            if math.isinf(v):
                return "float('inf')" if v > 0 else "float('-inf')"
            return repr(v)
        if isinstance(v, complex):
            return f"complex({v.real!r}, {v.imag!r})"
        if isinstance(v, bytearray):
            return f"bytearray({bytes(v)!r})"
        if isinstance(v, TooLarge) or type(v).__name__ == "_Undecodable":
            raise NeedsPlaceholder(find_placeholder(v) or "an undecodable value")
        if v is type(None):
            return "type(None)"
        module = _STDLIB_REPRS.get(type(v))
        if module is not None:
            self.imports.add(module)
            text = repr(v)
            return text if text.startswith(module + ".") else f"{module}.{text}"
        if isinstance(v, pathlib.PurePath):
            self.imports.add("pathlib")
            return f"pathlib.{type(v).__name__}({str(v)!r})"
        if isinstance(v, (range, slice)):
            return repr(v)
        if is_stand_in_class(v):
            if context in ("returned", "built"):
                nested = self._nested_ref(v)
                if nested is not None:
                    return nested
            imports = set(self.imports)
            text = self.class_ref(v)
            full = stand_in_name(v)
            if context == "value" and full in self.handed:
                self.imports = imports
                return f"replay.handed({full!r})"
            return text
        if isinstance(v, list):
            self._shared(v, seen)
            return "[" + ", ".join(self._code(x, context, seen, depth + 1) for x in v) + "]"
        if isinstance(v, tuple):
            items = [self._code(x, context, seen, depth + 1) for x in v]
            return "(" + ", ".join(items) + ("," if len(items) == 1 else "") + ")"
        if type(v) is dict:
            self._shared(v, seen)
            return "{" + ", ".join(
                f"{self._code(k, context, seen, depth + 1)}: "
                f"{self._code(x, context, seen, depth + 1)}" for k, x in v.items()) + "}"
        if isinstance(v, (set, frozenset)):
            self._shared(v, seen)
            items = sorted(self._code(x, context, seen, depth + 1) for x in v)
            if not items:
                return "set()" if isinstance(v, set) else "frozenset()"
            body = "{" + ", ".join(items) + "}"
            return body if isinstance(v, set) else f"frozenset({body})"
        if isinstance(v, collections.OrderedDict):
            self._shared(v, seen)
            self.imports.add("collections")
            pairs = ", ".join(f"({self._code(k, context, seen, depth + 1)}, "
                              f"{self._code(x, context, seen, depth + 1)})" for k, x in v.items())
            return f"collections.OrderedDict([{pairs}])"
        if isinstance(v, collections.Counter):
            self._shared(v, seen)
            self.imports.add("collections")
            return f"collections.Counter({self._code(dict(v), context, set(), depth + 1)})"
        if isinstance(v, collections.deque):
            self._shared(v, seen)
            self.imports.add("collections")
            return "collections.deque([" + ", ".join(
                self._code(x, context, seen, depth + 1) for x in v) + "])"
        if isinstance(v, StandIn):
            return self._stand_in(v, context, seen, depth)
        if isinstance(v, _Source):
            return v.text
        raise NotLiteral(f"a {type(v).__name__}")

    def _stand_in(self, v: StandIn, context: str, seen: Set[int], depth: int) -> str:
        name = v.tw_full_name
        args = v.tw_args
        if name == GENERATOR_CONTEXT_MANAGER and context == "external":
            # Made by a function decorated with contextlib.contextmanager:
            # its generator is never kept, and entering and leaving it are
            # recorded calls.
            return f"replay.recorded_object({name!r})"
        if is_call_stand_in(v):
            raise NotLiteral("a value made by a call")
        if name == REDACTED:
            if depth and context in ("returned", "built"):
                # A redacted part of what the call gave back: whatever the
                # call gives there passes (the rest is checked).
                return f"replay.unkept({REDACTED_TEXT_SHORT!r})"
            # What it stood for is not known: a test given the marker
            # instead would not make the recorded call.
            raise NeedsPlaceholder(REDACTED_TEXT)
        if name == UNPICKLABLE:
            parts = match_parts(v)
            if parts is not None and context != "external":
                # A match is made again by searching its text once more.
                return "replay.match(" + ", ".join(
                    self._code(parts[k], context, seen, depth + 1) for k in MATCH_PARTS) + ")"
            generator = finished_generator_of(v)
            if generator is not None and context != "external":
                return f"replay.finished_generator({generator!r})"
            if context == "built":
                # Only compared, in an instance checked part by part.
                return f"replay.unkept({placeholder_type(v)!r})"
            if context != "external":
                raise NeedsPlaceholder(placeholder_type(v))
            attrs = {}
            for key, value in v.tw_attributes.items():
                if not isinstance(key, str) or key.startswith("_") or \
                        not key.isidentifier() or keyword.iskeyword(key) or \
                        is_code_reference(value):
                    continue  # its methods say nothing of its value
                try:
                    attrs[key] = self._code(value, "plain", set(), depth + 1)
                except (NotLiteral, NeedsPlaceholder):
                    continue
            texts = [repr(placeholder_type(v))] + [f"{k}={t}" for k, t in attrs.items()]
            return f"replay.recorded_object({', '.join(texts)})"
        if name == PICKLER + "wrap_module" and args and isinstance(args[0], str):
            return f"replay.module({args[0]!r})"
        if name == PICKLER + "wrap_exception" and args:
            cls = args[0]
            if isinstance(cls, str):
                short = cls[len("builtins."):] if cls.startswith("builtins.") else ""
                cls_text = short if short.isidentifier() else f"replay.resolve({cls!r})"
            else:
                cls_text = self._code(cls, context, seen, depth + 1)
            exc_args = args[1] if len(args) > 1 and isinstance(args[1], (tuple, list)) else ()
            extra = args[2] if len(args) > 2 and isinstance(args[2], dict) else {}
            return self._instance(cls_text, tuple(exc_args), extra, "exception", seen, depth)
        zoned = zoned_parts(v)
        if zoned is not None:
            # A date and time (or a time) whose zone is an object of the
            # program: written as its repr() writes it, the zone as source.
            naive, zone = zoned
            self.imports.add("datetime")
            zone_text = self._code(zone, context, seen, depth + 1)
            return f"{repr(naive)[:-1]}, tzinfo={zone_text})"
        if name == PICKLER + "wrap_object":
            raise NotLiteral("an object of which only some attributes were recorded")
        if name.startswith(PICKLER) or name.startswith(WRAPPERS):
            raise NotLiteral(f"a {name.rpartition('.')[2]}")
        if name == "builtins.getattr" and len(args) == 2 and isinstance(args[1], str):
            return f"getattr({self._code(args[0], context, seen, depth + 1)}, {args[1]!r})"
        if name == "copyreg._reconstructor" and args:
            self._shared(v, seen)
            state = args[2] if len(args) > 2 else None
            attrs = dict(state) if isinstance(state, dict) else {}
            attrs.update(v.tw_attributes)
            return self._instance(self._code(args[0], context, seen, depth + 1), (),
                                  attrs, context, seen, depth)
        if v.tw_kwargs or v.tw_items or v.tw_entries:
            raise NotLiteral(f"a {name} with items")
        self._shared(v, seen)
        cls_text = self.class_ref(type(v))
        state = _with_plural_rule(v.tw_state)
        if state is not None and not isinstance(state, dict):
            if isinstance(state, tuple) and len(state) == 2 and \
                    all(p is None or isinstance(p, dict) for p in state):
                return (f"replay.obj_state({cls_text}, "
                        f"{self._code(tuple(args), context, seen, depth + 1)}, "
                        f"{self._code(state, context, seen, depth + 1)})")
            raise NotLiteral(f"a {name} with state of its own")
        if v.tw_called and args and context != "exception":
            # Made as pickle makes it: the class called with the arguments
            # (its initializer sets what the state does not hold).
            state_text = self._code(dict(state), context, seen, depth + 1) if state else "None"
            return (f"replay.call_state({cls_text}, "
                    f"{self._code(tuple(args), context, seen, depth + 1)}, {state_text})")
        return self._instance(cls_text, tuple(args), state, context, seen, depth)

    def _instance(self, cls_text: str, args: tuple, state: Optional[Dict[Any, Any]],
                  context: str, seen: Set[int], depth: int) -> str:
        state = state or {}
        named = all(isinstance(k, str) and k.isidentifier() and not keyword.iskeyword(k)
                    for k in state)
        attr_texts = {k: self._code(x, context, seen, depth + 1) for k, x in state.items()} \
            if named else None
        if context == "exception" or (args and named and state):
            parts = [cls_text] + [self._code(a, context, seen, depth + 1) for a in args]
            parts += [f"{k}={t}" for k, t in (attr_texts or {}).items()]
            if named:
                return f"replay.exc({', '.join(parts)})"
        if not args and named:
            parts = [cls_text] + [f"{k}={t}" for k, t in (attr_texts or {}).items()]
            return f"replay.obj({', '.join(parts)})"
        state_text = self._code(dict(state), context, seen, depth + 1) if state else "None"
        return (f"replay.obj_state({cls_text}, "
                f"{self._code(args, context, seen, depth + 1)}, {state_text})")
