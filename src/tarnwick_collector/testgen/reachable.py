"""Whether a dotted name of the recorded program can be found by its name,
told from the source of its module, which is read and never run.

A function the program made at run time (with ``exec``, in a factory)
carries the name of the module it was made for, but nothing there is bound
to it: a generated test naming it would fail on the unchanged program.
Names of modules whose source lies under the project's import roots are
checked from that source. So are names of modules built into the
interpreter or already imported here (whose attributes are looked at
without running anything: a method of a built-in object, such as
``_sre.SRE_Scanner.search``, is named by a class no module holds). Anything
else is taken to be found.
"""
import ast
import inspect
import os
import sys
from typing import Callable, Dict, FrozenSet, List, Optional, Sequence, Tuple

from tarnwick_collector.replay_nested import NestedDefs

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


# What ``from <module> import *`` binds, given the ImportFrom node: the
# names, or None when no reading can tell.
StarNames = Callable[[ast.ImportFrom], Optional[FrozenSet[str]]]


def _no_star(node: ast.ImportFrom) -> Optional[FrozenSet[str]]:
    return None


def _collect(body: Sequence[ast.stmt], names: set, star: StarNames = _no_star) -> bool:
    """Adds the names ``body`` binds; False when it may bind names no
    reading can tell (``import *`` of a module ``star`` cannot read,
    ``globals()``, ``exec``)."""
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
                    found = star(node) if isinstance(node, ast.ImportFrom) else None
                    if found is None:
                        return False
                    names.update(found)
                    continue
                names.add(alias.asname or alias.name.partition(".")[0])
        elif isinstance(node, _BLOCKS):
            for part in ("body", "orelse", "finalbody"):
                if not _collect(getattr(node, part, []) or [], names, star):
                    return False
            for handler in getattr(node, "handlers", []) or []:
                if handler.name:
                    names.add(handler.name)
                if not _collect(handler.body, names, star):
                    return False
            if isinstance(node, (ast.For, ast.AsyncFor)):
                _targets(node.target, names)
            if isinstance(node, (ast.With, ast.AsyncWith)):
                for item in node.items:
                    if item.optional_vars is not None:
                        _targets(item.optional_vars, names)
    return True


def _all_names(tree: ast.Module) -> Optional[FrozenSet[str]]:
    """``__all__`` when the module sets it once, at its top, to a list or
    tuple of strings; None otherwise."""
    found: Optional[FrozenSet[str]] = None
    for node in tree.body:
        targets = node.targets if isinstance(node, ast.Assign) else (
            [node.target] if isinstance(node, (ast.AnnAssign, ast.AugAssign)) else [])
        if not any(isinstance(t, ast.Name) and t.id == "__all__" for t in targets):
            continue
        value = getattr(node, "value", None)
        if (found is not None or not isinstance(node, ast.Assign)
                or not isinstance(value, (ast.List, ast.Tuple))):
            return None
        texts = [e.value for e in value.elts
                 if isinstance(e, ast.Constant) and isinstance(e.value, str)]
        if len(texts) != len(value.elts):
            return None
        found = frozenset(texts)
    return found


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


def _package_of(module: str, path: str) -> str:
    """The package relative imports in ``module`` (source ``path``) start
    from."""
    return module if os.path.basename(path) == "__init__.py" else module.rpartition(".")[0]


def _imported_from(package: str, node: ast.ImportFrom) -> str:
    """The module a ``from ... import`` in ``package`` reads from; "" when
    a relative import climbs above the top package."""
    if not node.level:
        return node.module or ""
    parts = package.split(".") if package else []
    if node.level - 1 > len(parts):
        return ""
    base = parts[:len(parts) - (node.level - 1)]
    return ".".join(base + ([node.module] if node.module else []))


class _WithoutSubmoduleImports(ast.NodeTransformer):
    """Drops the imports that bind submodules of the package ``package``
    under their own names (``from . import name``, ``from <package> import
    name``)."""

    def __init__(self, package: str) -> None:
        self.package = package

    def visit_ImportFrom(self, node: ast.ImportFrom) -> Optional[ast.ImportFrom]:
        if (node.level == 1 and not node.module) or \
                (node.level == 0 and node.module == self.package):
            return None
        return node


class Reachability:
    """Answers for the modules under ``roots``, reading each source once."""

    def __init__(self, roots: Sequence[str]) -> None:
        self.roots = list(roots)
        self._names: Dict[str, Optional[FrozenSet[str]]] = {}
        self._exports: Dict[str, Optional[FrozenSet[str]]] = {}
        # Per package: the names its top binds to something else than its
        # submodule of that name.
        self._not_submodules: Dict[str, FrozenSet[str]] = {}
        # Per module: the functions its functions define.
        self._nested: Dict[str, Optional[NestedDefs]] = {}
        # Per module: (its tree, the package its relative imports start from).
        self._trees: Dict[str, Optional[Tuple[ast.Module, str]]] = {}

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
                    self._names[module] = None  # (a star import of itself)
                    star = self._star_reader(module, path)
                    if _collect(tree.body, text_names, star) \
                            and not _binds_dynamically(tree) \
                            and "__getattr__" not in text_names:
                        found = frozenset(text_names)
                        if os.path.basename(path) == "__init__.py":
                            others: set = set()
                            _collect(_WithoutSubmoduleImports(module).visit(tree).body,
                                     others, star)
                            self._not_submodules[module] = frozenset(others)
                        names_all = _all_names(tree)
                        self._exports[module] = names_all if names_all is not None \
                            else frozenset(n for n in found if not n.startswith("_"))
                except (OSError, SyntaxError, ValueError, RecursionError):
                    found = None
            self._names[module] = found
        return self._names[module]

    def _star_reader(self, module: str, path: str) -> StarNames:
        """What ``from ... import *`` binds in ``module`` (whose source is
        ``path``), for a module of the project: its ``__all__``, or its
        names not starting with an underscore."""
        package = _package_of(module, path)

        def star(node: ast.ImportFrom) -> Optional[FrozenSet[str]]:
            target = _imported_from(package, node)
            if not target or self._bound(target) is None:
                return None
            return self._exports.get(target)
        return star

    def split_module(self, full_name: str) -> Tuple[str, str]:
        """(module, rest) of ``full_name``, the module the longest prefix
        with a source under the roots; ("", full_name) when none has."""
        parts = full_name.split(".")
        for i in range(len(parts) - 1, 0, -1):
            module = ".".join(parts[:i])
            if self._source(module) is not None:
                return module, ".".join(parts[i:])
        return "", full_name

    def nested_function(self, module: str, qualname: str) -> bool:
        """Whether a test can make again the function that a function of
        ``module`` defines as ``qualname`` (``replay.nested_function``)."""
        if module not in self._nested:
            found: Optional[NestedDefs] = None
            path = self._source(module)
            if path is not None:
                try:
                    with open(path, "rb") as fh:
                        found = NestedDefs(fh.read(), path)
                except (OSError, SyntaxError, ValueError, RecursionError):
                    found = None
            self._nested[module] = found
        defs = self._nested[module]
        return defs is not None and defs.find(qualname) is not None

    def _tree(self, module: str) -> Optional[Tuple[ast.Module, str]]:
        if module not in self._trees:
            found: Optional[Tuple[ast.Module, str]] = None
            path = self._source(module)
            if path is not None:
                try:
                    with open(path, "rb") as fh:
                        found = (ast.parse(fh.read(), path), _package_of(module, path))
                except (OSError, SyntaxError, ValueError, RecursionError):
                    found = None
            self._trees[module] = found
        return self._trees[module]

    def _class_node(self, class_name: str) -> Optional[ast.ClassDef]:
        """The class statement of ``class_name`` in its module's source."""
        module, qualname = self.split_module(class_name)
        found = self._tree(module) if module else None
        if found is None:
            return None
        body: Sequence[ast.stmt] = found[0].body
        node: Optional[ast.ClassDef] = None
        for part in qualname.split("."):
            node = next((n for n in body if isinstance(n, ast.ClassDef) and n.name == part),
                        None)
            if node is None:
                return None
            body = node.body
        return node

    def instance_method(self, full_name: str) -> bool:
        """Whether ``full_name`` names a method that a class of the sources
        under the roots defines for its instances (a ``def`` in its body,
        neither a static nor a class method)."""
        owner, _, name = full_name.rpartition(".")
        node = self._class_node(owner) if owner else None
        if node is None:
            return False
        for stmt in node.body:
            if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)) and stmt.name == name:
                return not any(
                    isinstance(d, ast.Name) and d.id in ("staticmethod", "classmethod")
                    for d in stmt.decorator_list)
        return False

    def _bases(self, class_name: str) -> Sequence[str]:
        """The full names of the bases the source of the class
        ``class_name`` writes, where they are classes of its own module or
        names it imports (``class Or(And[T])``, ``class B(base.A)``)."""
        node = self._class_node(class_name)
        if node is None:
            return ()
        module = self.split_module(class_name)[0]
        found = self._tree(module)
        assert found is not None
        tree, package = found
        imported: Dict[str, str] = {}
        for stmt in tree.body:
            if isinstance(stmt, ast.ImportFrom):
                source = _imported_from(package, stmt)
                for alias in stmt.names:
                    imported[alias.asname or alias.name] = f"{source}.{alias.name}"
            elif isinstance(stmt, ast.Import):
                for alias in stmt.names:
                    imported[alias.asname or alias.name.partition(".")[0]] = \
                        alias.name if alias.asname else alias.name.partition(".")[0]
        out = []
        for base in node.bases:
            while isinstance(base, ast.Subscript):  # a generic: Base[T]
                base = base.value
            dotted: List[str] = []
            while isinstance(base, ast.Attribute):
                dotted.insert(0, base.attr)
                base = base.value
            if not isinstance(base, ast.Name):
                continue
            head = imported.get(base.id, f"{module}.{base.id}")
            out.append(".".join([head, *dotted]))
        return out

    def derives_from(self, class_name: str, base_name: str) -> bool:
        """Whether the source of the class ``class_name`` makes it derive
        from ``base_name``, through bases the sources under the roots name.
        False where they do not tell."""
        seen = {class_name}
        todo = [class_name]
        while todo:
            for base in self._bases(todo.pop()):
                if base == base_name:
                    return True
                if base not in seen and len(seen) < 64:
                    seen.add(base)
                    todo.append(base)
        return False

    def shadowed(self, module: str) -> bool:
        """Whether the dotted path of ``module`` leads somewhere else: a
        package above it binds the name of the next submodule to another
        object (``from .parser import parser`` in a package's
        ``__init__``), so ``package.parser.name`` is looked up on that
        object. Such a module is found through ``sys.modules`` only."""
        parts = module.split(".")
        for i in range(1, len(parts)):
            package = ".".join(parts[:i])
            if self._source(package) is None:
                continue
            self._bound(package)
            if parts[i] in self._not_submodules.get(package, frozenset()):
                return True
        return False

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
        return _found_among_loaded(parts)


def lazy_module_globals(path: str, module: str) -> Dict[str, str]:
    """The globals of a module that are bound to ``None`` at its top and
    imported into by a function that declares them ``global`` (``global
    easter; from dateutil import easter``), each with the dotted name it
    is imported from. The recorder leaves modules out of a call's globals,
    so a test must bind those itself."""
    try:
        with open(path, "rb") as fh:
            tree = ast.parse(fh.read(), path)
    except (OSError, SyntaxError, ValueError, RecursionError):
        return {}
    none_names = {target.id for node in tree.body if isinstance(node, ast.Assign)
                  and isinstance(node.value, ast.Constant) and node.value.value is None
                  for target in node.targets if isinstance(target, ast.Name)}
    package = _package_of(module, path)
    found: Dict[str, str] = {}
    for function in ast.walk(tree):
        if not isinstance(function, (ast.FunctionDef, ast.AsyncFunctionDef)):
            continue
        declared = {name for node in ast.walk(function) if isinstance(node, ast.Global)
                    for name in node.names} & none_names
        for node in ast.walk(function) if declared else ():
            if isinstance(node, ast.Import):
                for alias in node.names:
                    bound = alias.asname or alias.name.partition(".")[0]
                    if bound in declared:
                        found[bound] = alias.name if alias.asname else bound
            elif isinstance(node, ast.ImportFrom):
                base = _imported_from(package, node)
                for alias in node.names:
                    bound = alias.asname or alias.name
                    if bound in declared and base:
                        found[bound] = f"{base}.{alias.name}"
    return found


_ABSENT = object()


def _found_among_loaded(parts: Sequence[str]) -> bool:
    """Whether a name whose longest module prefix is built in or already
    imported here is found there, looking at attributes statically (no
    module ``__getattr__``, no descriptor runs). Other names: True."""
    for i in range(len(parts) - 1, 0, -1):
        module = ".".join(parts[:i])
        target = sys.modules.get(module)
        if target is None:
            if module in sys.builtin_module_names:
                return True  # not imported yet: taken to be found
            continue
        for part in parts[i:]:
            target = inspect.getattr_static(target, part, _ABSENT)
            if target is _ABSENT:
                return False
        return True
    return True
