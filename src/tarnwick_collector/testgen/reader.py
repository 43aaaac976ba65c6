"""Recorded calls, read from the store as ``show`` reads them, turned into
test cases or reasons why no test can be built on them.

Nothing here imports or runs the recorded program: the records are decoded
by the restricted unpickler of ``store.decoding``.
"""
import hashlib
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence

from tarnwick_collector.store.decoding import (
    DecodeError,
    effective_class_and_state,
    safe_loads,
)
from tarnwick_collector.store.render import RecordView
from tarnwick_collector.testgen.values import find_placeholder, is_code_reference

_RECORDS = "tarnwick_collector.data_collection.pellory."
USER_CALL = _RECORDS + "UserFunctionCall"
EXTERNAL_CALL = _RECORDS + "ExternalFunctionCall"
_NONE_BLOB = b"\x80\x04N."

# Skip reasons, as the report prints them.
UNDECODABLE = "the record cannot be decoded"
UNKNOWN_KIND = "a record of a kind the generator does not know"
COROUTINE = "a coroutine function"
PLACEHOLDER = "needs a value the recorder replaced by a placeholder"
NO_RETURN = "the return value was not recorded (too large)"
EXTERNAL_INCOMPLETE = "an external call's result was not recorded"
NOT_BY_NAME = "a nested function or lambda, not reachable by name"
RECEIVER_LOST = ("takes a method bound to an object, which the record keeps as the "
                 "function alone")
NOT_NAMED = ("the record names the metaclass's initializer, not the function "
             "(a class that inherits its initializer)")
NAMED_AS_BUILTIN = ("the record names a builtin, not the function (a wrapper that took "
                    "the builtin's name with functools.wraps)")
MAIN_OUTSIDE = "a function of the main script, outside the project root"
GEN_REFUSED = "a value the generator yielded was not recorded"
GEN_DELEGATED = "a generator that delegates with yield from (the values it passed on were not seen)"
GEN_DRIVEN = "a generator driven by send() or throw()"
GEN_UNKNOWN_END = "a generator whose ending was not recorded"


@dataclass
class ExternalCall:
    name: str
    returned: Any = None
    raised: Any = None
    blobs: Dict[str, Any] = field(default_factory=lambda: {
        "return_value": None, "execption": None})
    # The result was not recorded (a pure function's: see is_pure).
    unrecorded: bool = False


# Functions that give the same result for the same arguments, touch
# nothing else and call no function they are given (a callback of the
# program's would make calls the record holds elsewhere): a test may run
# them for real when their recorded result cannot be written or was not
# recorded. By module, and by name.
PURE_MODULES = ("math.",)
PURE_NAMES = frozenset(
    "itertools." + name for name in (
        "chain", "chain.from_iterable", "islice", "count", "repeat", "cycle",
        "zip_longest", "product", "permutations", "combinations",
        "combinations_with_replacement", "pairwise", "tee", "compress", "batched"))


def is_pure(name: str) -> bool:
    return name in PURE_NAMES or name.startswith(PURE_MODULES)


# Functions whose work is done on the object they are given (the names of a
# function copied onto its wrapper), which their recorded result cannot do:
# a test runs them for real, as it runs a pure function's.
RUN_FOR_REAL = frozenset(("functools.wraps", "functools.update_wrapper"))


@dataclass
class RecordedCall:
    """One recorded call with what a test needs of it."""

    id: int
    full_name: str
    module: str
    view: RecordView
    blobs: Dict[str, Any]
    external: List[ExternalCall]
    receiver_omitted: bool = False
    key: bytes = b""
    count: int = 1

    @property
    def short_name(self) -> str:
        prefix = self.module + "."
        return self.full_name[len(prefix):] if self.full_name.startswith(prefix) \
            else self.full_name


@dataclass
class Skipped:
    id: Optional[int]
    full_name: str
    reason: str
    detail: str = ""


def _blob(value: Any) -> Any:
    return bytes(value) if isinstance(value, (bytes, bytearray)) else value


def _main_module_name(full_path: Optional[str], project_root: str) -> Optional[str]:
    """The importable name of the script that ran as ``__main__``."""
    if not full_path:
        return None
    # Python 3.8 keeps the script's path as it was given, relative to the
    # directory the program ran in: usually the project root.
    if not os.path.isabs(full_path):
        full_path = os.path.join(project_root, full_path)
    rel = os.path.relpath(os.path.abspath(full_path), os.path.abspath(project_root))
    if rel.startswith(os.pardir) or not rel.endswith(".py"):
        return None
    parts = rel[:-3].split(os.sep)
    if parts[-1] == "__init__":
        parts = parts[:-1]
    if not parts or not all(p.isidentifier() for p in parts):
        return None
    return ".".join(parts)


def read_call(row: Sequence[Any], project_root: str) -> Any:
    """A ``RecordedCall`` of one data row, or a ``Skipped`` saying why no test
    can be built on it."""
    rid, full_name = row[0], row[3]
    name = full_name if isinstance(full_name, str) else "(unknown function)"
    try:
        record = safe_loads(row[7])
    except DecodeError as exc:
        return Skipped(rid, name, UNDECODABLE, str(exc))
    kind, state = effective_class_and_state(record)
    if kind != USER_CALL or not state:
        return Skipped(rid, name, UNKNOWN_KIND, str(kind))
    try:
        view = RecordView.from_row(row)
    except Exception as exc:
        return Skipped(rid, name, UNDECODABLE, f"{type(exc).__name__}: {exc}")
    if view.decode_error or not view.full_name:
        return Skipped(rid, name, UNDECODABLE, view.decode_error or "no function name")
    name = view.full_name
    if view.is_async:
        return Skipped(rid, name, COROUTINE)
    if view.module == "builtins":
        # No recorded call is of a builtin: the recorder names the call of
        # a class whose initializer is inherited by its metaclass's, or of
        # a wrapper whose name functools.wraps copied from a builtin.
        return Skipped(rid, name, NOT_NAMED if name == "builtins.type.__init__"
                       else NAMED_AS_BUILTIN)
    module = view.module or ""
    if module == "__main__":
        real = _main_module_name(view.full_path, project_root)
        if real is None:
            return Skipped(rid, name, MAIN_OUTSIDE, view.full_path or "")
        module = real
        name = real + name[len("__main__"):]
    if not isinstance(view.args_before, tuple) or not isinstance(view.kwargs_before, dict):
        return Skipped(rid, name, UNDECODABLE, "arguments are not a tuple and a dict")
    # A placeholder anywhere the test needs a value: the arguments before and
    # after, the outcome. (A global the recorder could not store, a compiled
    # pattern say, is left as the program defines it: see
    # ``unrecorded_globals``. The instance an initializer built is checked
    # only where it can be: its call is made all the same.)
    receiver_omitted = view._receiver_omitted()
    builds = name.endswith(".__init__") and receiver_omitted
    for what, value in (("arguments", (view.args_before, view.kwargs_before)),
                        ("arguments after the call", (view.args_after, view.kwargs_after)),
                        ("returned value", None if builds else view.returned),
                        ("exception", view.raised)):
        found = find_placeholder(value)
        if found:
            return Skipped(rid, name, PLACEHOLDER, f"{found} in the {what}")
    if view.raised is None and not view.has_return:
        return Skipped(rid, name, NO_RETURN)
    gen = view.generator
    if gen is not None:
        if gen.refused:
            return Skipped(rid, name, GEN_REFUSED, ", ".join(gen.refused_types))
        if gen.delegated:
            return Skipped(rid, name, GEN_DELEGATED)
        if gen.sends or gen.throws:
            return Skipped(rid, name, GEN_DRIVEN)
        if gen.ending not in ("returned", "raised", "closed", "abandoned"):
            return Skipped(rid, name, GEN_UNKNOWN_END, gen.ending)
        found = find_placeholder(gen.yielded)
        if found:
            return Skipped(rid, name, PLACEHOLDER, f"{found} in the values yielded")
    blobs = {k: _blob(state.get(k)) for k in (
        "pre_run_args", "pre_run_kwargs", "post_run_args", "post_run_kwargs",
        "return_value", "execption", "globals")}
    if gen is not None:
        stored = state.get("yielded_values")
        for i, value in enumerate(stored if isinstance(stored, list) else []):
            blobs[f"yielded_{i}"] = _blob(value)
        blobs["generator_ending"] = gen.ending.encode()
        blobs["yields_left_out"] = str(gen.left_out).encode()
    external: List[ExternalCall] = []
    calls = state.get("external_calls")
    for i, call in enumerate(calls if isinstance(calls, list) else []):
        ext_view = view.external_calls[i] if i < len(view.external_calls) else None
        _, call_state = effective_class_and_state(call)
        if ext_view is None or ext_view.function == "?":
            return Skipped(rid, name, EXTERNAL_INCOMPLETE, f"external call {i + 1} has no name")
        if ext_view.raised is None and not ext_view.has_return:
            if is_pure(ext_view.function):
                # Its test runs it for real (see is_pure).
                external.append(ExternalCall(ext_view.function, unrecorded=True))
                continue
            return Skipped(rid, name, EXTERNAL_INCOMPLETE,
                           f"{ext_view.function} (call {i + 1})")
        found = find_placeholder(ext_view.raised) if ext_view.raised is not None else None
        if found:
            return Skipped(rid, name, PLACEHOLDER, f"{found} raised by {ext_view.function}")
        external.append(ExternalCall(
            ext_view.function, ext_view.returned, ext_view.raised,
            {k: _blob(call_state.get(k)) for k in ("return_value", "execption")}))
    recorded = RecordedCall(rid, name, module, view, blobs, external,
                            receiver_omitted=receiver_omitted)
    digest = hashlib.sha256()
    digest.update(name.encode("utf-8", "surrogatepass"))
    for key in sorted(blobs):
        value = blobs[key]
        digest.update(b"\0" + key.encode() + b"\0")
        digest.update(value if isinstance(value, bytes) else repr(value).encode())
    for ext in external:
        digest.update(b"\1" + ext.name.encode("utf-8", "surrogatepass"))
        for key in ("return_value", "execption"):
            value = ext.blobs[key]
            digest.update(b"\0" + (value if isinstance(value, bytes) else b"-"))
    recorded.key = digest.digest()
    return recorded


def is_test_suite_module(module: Any) -> bool:
    """Whether ``module`` (a dotted name) is one of a test suite's, by the
    file names pytest collects: ``test_*.py``, ``*_test.py`` and
    ``conftest.py``. A test of a test function would only run that test
    again."""
    if not isinstance(module, str) or not module:
        return False
    last = module.rpartition(".")[2]
    return last == "conftest" or last.startswith("test_") or last.endswith("_test")


def settable_globals(call: RecordedCall) -> Dict[Any, Any]:
    """The globals a test sets: those recorded as values (not code, not
    placeholders)."""
    used = call.view.globals
    if not isinstance(used, dict):
        return {}
    return {k: v for k, v in used.items()
            if not is_code_reference(v) and not find_placeholder(v)}


def unrecorded_globals(call: RecordedCall) -> Dict[Any, str]:
    """The globals the recorder replaced by a placeholder, with its type: a
    test leaves them as the program defines them."""
    used = call.view.globals
    if not isinstance(used, dict):
        return {}
    out = {}
    for k, v in used.items():
        found = None if is_code_reference(v) else find_placeholder(v)
        if found:
            out[k] = found
    return out


def import_root(module: Optional[str], path: Optional[str]) -> Optional[str]:
    """The directory ``module``, whose source is at ``path``, is imported
    from."""
    # A relative path is the main script's on 3.8, relative to where the
    # program ran: the project root, which the caller adds.
    if not path or not module or not os.path.isabs(path):
        return None
    parts = module.split(".")
    base = os.path.dirname(os.path.abspath(path))
    if os.path.basename(path) != "__init__.py":
        parts = parts[:-1]
    for _ in parts:
        base = os.path.dirname(base)
    return base

