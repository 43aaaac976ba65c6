"""A stored call decoded into a :class:`RecordView`: its columns, its
fields decoded safely one by one (a field that fails is shown as such, the
others still are), its arguments by parameter name before and after the
call, and the globals it read."""
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tarnwick_collector.store.decoding import (
    DecodeError,
    StandIn,
    effective_class_and_state,
    safe_loads,
)
from tarnwick_collector.store.diffing import Step, find_difference
from tarnwick_collector.store.texts import _NONE_TYPE, _first_line, _Undecodable, safe_text
from tarnwick_collector.store.values import _Renderer, key_text


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
class GeneratorView:
    """What a recorded generator call adds: the values it yielded (those
    kept), the yields not kept (``refused`` of them for their value, the
    others past the recorder's bound), its ``yield from`` delegations (whose
    values were not seen), how often it was resumed by ``send()`` with a
    value or by ``throw()``, and how it ended: "returned", "raised",
    "closed" or "abandoned" (collected before its end)."""

    yielded: List[Any] = field(default_factory=list)
    left_out: int = 0
    refused: int = 0
    refused_types: List[str] = field(default_factory=list)
    delegated: int = 0
    sends: int = 0
    throws: int = 0
    ending: str = "?"

    @classmethod
    def from_state(cls, state: Dict[Any, Any]) -> Optional["GeneratorView"]:
        """The generator part of a record's state; None for a plain call."""
        if "generator_ending" not in state and "yielded_values" not in state:
            return None

        def number(key: str) -> int:
            value = state.get(key)
            return value if isinstance(value, int) and not isinstance(value, bool) else 0

        values = state.get("yielded_values")
        types = state.get("yields_refused_types")
        ending = state.get("generator_ending")
        return cls(
            yielded=[_load(v) for v in values] if isinstance(values, list) else [],
            left_out=number("yields_left_out"),
            refused=number("yields_refused"),
            refused_types=[safe_text(t) for t in types if isinstance(t, str)]
            if isinstance(types, list) else [],
            delegated=number("yields_delegated"),
            sends=number("generator_sends"),
            throws=number("generator_throws"),
            ending=safe_text(ending) if isinstance(ending, str) else "?",
        )


@dataclass
class RecordView:
    """One recorded call, decoded."""

    id: int
    session: Optional[str]  # None only in a damaged store
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
    # The names the function's code reads (its code's co_names).
    code_names: List[str] = field(default_factory=list)
    # The generator part, for a call of a generator function.
    generator: Optional[GeneratorView] = None

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
        names = meta.get("co_names")
        if isinstance(names, (tuple, list)):
            view.code_names = [safe_text(n) for n in names if isinstance(n, str)]
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
        view.generator = GeneratorView.from_state(state)
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
        if (self.full_name or "").endswith(".__init__") and self.returned is not None:
            return True  # the instance the class call returned
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
