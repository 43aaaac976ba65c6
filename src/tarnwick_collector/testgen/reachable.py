"""Whether a dotted name of the recorded program can be found by its name,
told from the source of its module, which is read and never run.

A function the program made at run time (with ``exec``, in a factory)
carries the name of the module it was made for, but nothing there is bound
to it: a generated test naming it would fail on the unchanged program.
Only names of modules whose source lies under the project's import roots
are checked; anything else is taken to be found.
"""
import ast
import os
from typing import Dict, FrozenSet, Optional, Sequence

# Statements whose bodies run at the top of the module.
_BLOCKS = (ast.If, ast.For, ast.AsyncFor, ast.While, ast.With, ast.AsyncWith, ast.Try)


def _targets(node: ast.AST, names: set) -> None:
    if isinstance(node, ast.Name):
        names.add(node.id)
    elif isinstance(node, (ast.Tuple, ast.List)):
        for elt in node.elts:
            _targets(elt, names)
    elif isinstance(node, ast.Starred):
        _targets(node.value, names)


def _collect(body: Sequence[ast.stmt], names: set) -> bool:
    """Adds the names ``body`` binds; False when it may bind names no
    reading can tell (``import *``, ``globals()``, ``exec``)."""
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                _targets(target, names)
        elif isinstance(node, (ast.AnnAssign, ast.AugAssign)):
            _targets(node.target, names)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                if alias.name == "*":
                    return False
                names.add(alias.asname or alias.name.partition(".")[0])
        elif isinstance(node, _BLOCKS):
            for part in ("body", "orelse", "finalbody"):
                if not _collect(getattr(node, part, []) or [], names):
                    return False
            for handler in getattr(node, "handlers", []) or []:
                if handler.name:
                    names.add(handler.name)
                if not _collect(handler.body, names):
                    return False
            if isinstance(node, (ast.For, ast.AsyncFor)):
                _targets(node.target, names)
            if isinstance(node, (ast.With, ast.AsyncWith)):
                for item in node.items:
                    if item.optional_vars is not None:
                        _targets(item.optional_vars, names)
    return True


def _is_globals(node: ast.AST) -> bool:
    return (isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
            and node.func.id in ("globals", "vars") and not node.args)


def _binds_dynamically(tree: ast.Module) -> bool:
    """Whether the module may bind names at run time: through ``globals()``
    (an item set, ``update``), or code run by ``exec`` in its namespace."""
    for node in ast.walk(tree):
        if isinstance(node, ast.Subscript) and isinstance(node.ctx, ast.Store) \
                and _is_globals(node.value):
            return True
        if not isinstance(node, ast.Call):
            continue
        func = node.func
        if isinstance(func, ast.Attribute) and _is_globals(func.value):
            return True
        if isinstance(func, ast.Name) and func.id == "exec":
            if len(node.args) == 2 and _is_globals(node.args[1]):
                return True
            if len(node.args) == 1:
                return True
    return False


class Reachability:
    """Answers for the modules under ``roots``, reading each source once."""

    def __init__(self, roots: Sequence[str]) -> None:
        self.roots = list(roots)
        self._names: Dict[str, Optional[FrozenSet[str]]] = {}

    def _source(self, module: str) -> Optional[str]:
        parts = module.split(".")
        for root in self.roots:
            base = os.path.join(root, *parts)
            for path in (base + ".py", os.path.join(base, "__init__.py")):
                if os.path.isfile(path):
                    return path
        return None

    def _bound(self, module: str) -> Optional[FrozenSet[str]]:
        """The names bound at the top of ``module``; None when its source
        is not under the roots or does not tell."""
        if module not in self._names:
            found: Optional[FrozenSet[str]] = None
            path = self._source(module)
            if path is not None:
                try:
                    with open(path, "rb") as fh:
                        tree = ast.parse(fh.read(), path)
                    text_names: set = set()
                    if _collect(tree.body, text_names) and not _binds_dynamically(tree) \
                            and "__getattr__" not in text_names:
                        found = frozenset(text_names)
                except (OSError, SyntaxError, ValueError, RecursionError):
                    found = None
            self._names[module] = found
        return self._names[module]

    def is_reachable(self, full_name: str) -> bool:
        """Whether ``full_name`` (``module.attr...``) can be found by name.
        The longest prefix that is a module under the roots must bind the
        next part at its top."""
        parts = full_name.split(".")
        for i in range(len(parts) - 1, 0, -1):
            module = ".".join(parts[:i])
            if self._source(module) is None:
                continue
            bound = self._bound(module)
            if bound is None:
                return True
            if parts[i] in bound:
                return True
            # A submodule is found by name once imported.
            return self._source(module + "." + parts[i]) is not None
        return True
