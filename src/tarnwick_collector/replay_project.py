"""Where the recorded project's code is, and what of it a value reaches:
the replay serves a call from the record only when the project makes it,
and knows that a call handed the project's code may call back into it."""
import functools
import os
import sys
import types
from typing import Any, Dict, Iterator, List, Optional

__all__ = ["add_project_root", "project_roots"]


def _module_of(function: Any) -> Any:
    name = getattr(function, "__module__", None)
    return sys.modules.get(name) if name else None


def _project_root(namespace: Dict[str, Any]) -> Optional[str]:
    """The directory the function's top-level package is imported from
    (with a trailing separator), or None."""
    name, path = namespace.get("__name__"), namespace.get("__file__")
    if not isinstance(name, str) or not isinstance(path, str):
        return None
    root = os.path.dirname(os.path.abspath(path))
    for _ in range(name.count(".") + (os.path.basename(path) == "__init__.py")):
        root = os.path.dirname(root)
    return os.path.join(root, "")


#: The directories the recorded program imported its modules from, as the
#: generated tests' conftest names them (``add_project_root``): code under
#: any of them is the project's, wherever the replayed function lies.
project_roots: List[str] = []


def add_project_root(path: str) -> None:
    """Count the code under ``path`` as the recorded project's: external
    calls it makes while a replayed call runs are served from the record."""
    root = os.path.join(os.path.abspath(path), "")
    if root not in project_roots:
        project_roots.append(root)


def _under(root: str, path: str) -> bool:
    return path.startswith(root) and "site-packages" not in path[len(root):]


def _in_project(root: Optional[str], path: str) -> bool:
    if root is None:
        return True
    if path.startswith("<"):
        # Code of no file (``<frozen posixpath>``: the standard library's
        # modules frozen into the interpreter, 3.11+), which abspath would
        # place in the working directory.
        return False
    path = os.path.abspath(path)
    return _under(root, path) or any(_under(r, path) for r in project_roots)


def _project_namespaces(namespace: Dict[str, Any]) -> List[Dict[str, Any]]:
    """The globals of the function's module and of the other loaded modules
    of its project (those imported from the same directory tree): a
    recorded call's external calls include those of the project functions
    it called."""
    spaces = [namespace]
    root = _project_root(namespace)
    if root is None:
        return spaces
    for module in list(sys.modules.values()):
        file = getattr(module, "__file__", None)
        if not isinstance(file, str) or module.__dict__ is namespace:
            continue
        if _in_project(root, file) and \
                not os.path.basename(file).startswith(("test_", "conftest")):
            spaces.append(vars(module))
    return spaces


def _handed_callables(value: Any, depth: int = 0) -> Iterator[Any]:
    """The callables in ``value``'s containers (a few levels down), as
    arguments hand them to a function."""
    if depth > 5:
        return
    if isinstance(value, dict):
        parts: Any = list(value.values())
    elif isinstance(value, (list, tuple, set, frozenset)):
        parts = value
    else:
        if callable(value) and not isinstance(value, type):
            yield value
        # An object handed over hands what it holds too (a composition
        # of functions, a partial application).
        parts = _held(value)
    for part in parts:
        yield from _handed_callables(part, depth + 1)


def _callables_in(value: Any) -> set:
    """The ids of the callables ``value`` hands over."""
    return {id(found) for found in _handed_callables(value)}


def _of_project(root: Optional[str], cls: type) -> bool:
    """Whether ``cls`` is a class of the project (its module's file lies
    under ``root``)."""
    path = getattr(sys.modules.get(getattr(cls, "__module__", "") or ""), "__file__", None)
    return isinstance(path, str) and _in_project(root, path)


def _reaches_project(root: Optional[str], function: Any, depth: int = 0) -> bool:
    """Whether calling ``function`` runs code of the project: its own code,
    or that of an object of the project it is bound to (whose class may
    override what the method calls), or of what it wraps (``__wrapped__``,
    or a callable its closure holds, as ``reprlib.recursive_repr`` keeps
    it)."""
    raw = getattr(function, "__func__", function)
    code = getattr(raw, "__code__", None)
    if isinstance(code, types.CodeType) and _in_project(root, code.co_filename):
        return True
    owner = getattr(function, "__self__", None)
    if owner is not None and not isinstance(owner, (type, types.ModuleType)) and \
            _of_project(root, type(owner)):
        return True
    if depth >= 3:
        return False
    inner = [getattr(function, "__wrapped__", None)]
    if isinstance(raw, types.FunctionType):
        for cell in raw.__closure__ or ():
            try:
                inner.append(cell.cell_contents)
            except ValueError:  # (an empty cell)
                pass
    return any(callable(i) and not isinstance(i, type) and _reaches_project(root, i, depth + 1)
               for i in inner)


def _hands_project_code(root: Optional[str], value: Any) -> bool:
    """Whether ``value`` hands over a function of the project (a callback,
    a key, a factory), which the code it is handed to may call."""
    return any(_reaches_project(root, found) for found in _handed_callables(value))


def _held(value: Any) -> List[Any]:
    """What an object holds in its attributes and slots (nothing for
    functions, classes and modules)."""
    if isinstance(value, (type, types.ModuleType, types.FunctionType,
                          types.BuiltinFunctionType, types.MethodType)):
        return []
    if isinstance(value, functools.partial):
        return [value.func, *value.args, *value.keywords.values()]
    parts: List[Any] = []
    try:
        state = object.__getattribute__(value, "__dict__")
        if isinstance(state, dict):
            parts.extend(state.values())
    except AttributeError:
        pass
    for klass in type(value).__mro__:
        slots = vars(klass).get("__slots__", ())
        for slot in (slots,) if isinstance(slots, str) else slots:
            try:
                parts.append(object.__getattribute__(value, slot))
            except (AttributeError, TypeError):
                pass
    return parts
