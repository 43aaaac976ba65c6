"""Functions defined inside functions, made again from their code.

A function a function defines (a callback a test function of a suite
defines, a command's callback) is bound by no module, so a test cannot
find it by name. When it reads no variable of the function around it, its
module's code holds all of it: the source compiles to one function code of
that qualified name, and a function is made of that code with the module's
globals and the literal defaults its ``def`` writes.
"""
import ast
import importlib
import inspect
import types
from typing import Any, Dict, List, Optional, Tuple

__all__ = ["NestedDefs", "codes_by_qualname", "nested_by_full_name", "nested_function"]


def codes_by_qualname(code: types.CodeType) -> Dict[str, List[types.CodeType]]:
    """The function code objects nested in a module's ``code``, by their
    qualified names (a class body adds its name, a function its name and
    ``<locals>``), as the interpreter names them since 3.11."""
    found: Dict[str, List[types.CodeType]] = {}
    todo = [(c, "") for c in code.co_consts if isinstance(c, types.CodeType)]
    while todo:
        inner, prefix = todo.pop()
        qualname = prefix + inner.co_name
        function = bool(inner.co_flags & inspect.CO_NEWLOCALS)
        if function:
            found.setdefault(qualname, []).append(inner)
        below = qualname + (".<locals>." if function else ".")
        todo.extend((c, below) for c in inner.co_consts if isinstance(c, types.CodeType))
    return found


class NestedDefs:
    """The functions that functions of one module's source define, which a
    test can make again from their code: the source compiles to one
    function of the qualified name, without free variables, whose defaults
    are literals. The source is compiled and parsed, never run."""

    def __init__(self, source: bytes, path: str) -> None:
        self.codes = codes_by_qualname(compile(source, path, "exec", dont_inherit=True))
        self.tree = ast.parse(source, path)
        self._found: Dict[str, Any] = {}

    def find(self, qualname: str) -> Optional[Tuple[types.CodeType, Tuple[Any, ...],
                                                    Dict[str, Any]]]:
        """(code, defaults, keyword-only defaults), or None."""
        if qualname not in self._found:
            self._found[qualname] = self._find(qualname)
        return self._found[qualname]

    def _find(self, qualname: str) -> Optional[Tuple[types.CodeType, Tuple[Any, ...],
                                                     Dict[str, Any]]]:
        codes = self.codes.get(qualname, [])
        if len(codes) != 1 or codes[0].co_freevars:
            return None
        code = codes[0]
        for node in ast.walk(self.tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                name = node.name
                first = min([node.lineno] + [d.lineno for d in node.decorator_list])
            elif isinstance(node, ast.Lambda):
                name, first = "<lambda>", node.lineno
            else:
                continue
            if name != code.co_name or first != code.co_firstlineno:
                continue
            args = node.args
            try:
                defaults = tuple(ast.literal_eval(d) for d in args.defaults)
                kwdefaults = {a.arg: ast.literal_eval(d)
                              for a, d in zip(args.kwonlyargs, args.kw_defaults)
                              if d is not None}
            except (ValueError, TypeError, SyntaxError, RecursionError):
                return None
            return code, defaults, kwdefaults
        return None


_NESTED: Dict[Tuple[str, str], Any] = {}


def nested_function(module: str, qualname: str) -> Any:
    """The function defined inside a function of ``module`` under
    ``qualname`` (a command's callback a test function defines), which no
    test can find by name, made again from its code with the module's
    globals (see ``NestedDefs``). The same object each time, so that values
    holding it compare."""
    key = (module, qualname)
    made = _NESTED.get(key)
    if made is None:
        mod = importlib.import_module(module)
        path = getattr(mod, "__file__", None)
        if not path:
            raise LookupError(f"{module} has no source file")
        with open(path, "rb") as fh:
            found = NestedDefs(fh.read(), path).find(qualname)
        if found is None:
            raise LookupError(f"{module}.{qualname} cannot be made again from its code")
        code, defaults, kwdefaults = found
        made = types.FunctionType(code, vars(mod), code.co_name, defaults or None)
        made.__qualname__ = qualname
        made.__kwdefaults__ = kwdefaults or None
        _NESTED[key] = made
    return made


def nested_by_full_name(full_name: str) -> Any:
    """The function ``nested_function`` makes for ``full_name``, its
    module the longest prefix that imports; None where there is none."""
    if "<locals>" not in full_name:
        return None
    parts = full_name.split(".")
    for cut in range(len(parts) - 1, 0, -1):
        if "<" in parts[cut - 1]:
            continue
        try:
            return nested_function(".".join(parts[:cut]), ".".join(parts[cut:]))
        except (ImportError, LookupError, OSError, SyntaxError, ValueError):
            continue
    return None
