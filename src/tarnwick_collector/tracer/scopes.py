"""Which names of a module's functions are globals.

The instrumenter reports a name load to the recording core only when the
compiler will look the name up among the module's globals. This module
repeats the compiler's scope rules on the syntax tree: a name is local to a
function when the function binds it (parameters, assignments, ``for``
targets, imports, ``def``/``class``, ``except ... as``, ``with ... as``,
match captures, ``del``) and does not declare it ``global``; a name that is
not local is free when an enclosing function binds it (class bodies are
skipped, as the compiler skips them) and global otherwise. Comprehensions
are scopes of their own whose first iterable belongs to the enclosing scope;
an assignment expression inside a comprehension binds in the nearest
enclosing function. Private names (``__x`` inside a class) are mangled as
the compiler mangles them.

A wrong answer here never changes what the program does: the load itself is
compiled from the original name node. It only decides what is reported.
"""
import ast
from typing import Callable, Dict, Optional, Set

GLOBAL = "global"
LOCAL = "local"
FREE = "free"

_FUNCTION_NODES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)
_COMPREHENSION_NODES = (ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)
_DISPATCH: Dict[type, Callable[..., None]] = {}


def mangle(private: Optional[str], name: str) -> str:
    """The name the compiler uses for ``name`` inside class ``private``."""
    if private is None or not name.startswith("__") or name.endswith("__"):
        return name
    if "." in name:
        return name
    stripped = private.lstrip("_")
    if not stripped:
        return name
    return "_" + stripped + name


class Scope:
    """One scope: module, class, function (or lambda), comprehension, or
    the type parameters of a generic function or class (3.12+)."""

    __slots__ = ("kind", "parent", "private", "bound", "declared_global",
                 "declared_nonlocal", "star_import", "generator")

    def __init__(self, kind: str, parent: "Optional[Scope]",
                 private: Optional[str]) -> None:
        self.kind = kind
        self.parent = parent
        #: The class name that private names are mangled with here.
        self.private = private
        self.bound: Set[str] = set()
        self.declared_global: Set[str] = set()
        self.declared_nonlocal: Set[str] = set()
        self.star_import = False
        #: A function whose own body yields.
        self.generator = False

    def resolve(self, name: str) -> str:
        """GLOBAL, LOCAL or FREE for ``name`` (already mangled) as loaded
        in this scope."""
        if name in self.declared_global:
            return GLOBAL
        if self.kind == "module":
            return GLOBAL
        if name in self.declared_nonlocal or name in self.bound:
            return LOCAL
        scope = self.parent
        while scope is not None and scope.kind != "module":
            if scope.kind != "class":
                if name in scope.declared_global:
                    return GLOBAL
                if name in scope.bound or name in scope.declared_nonlocal:
                    return FREE
            scope = scope.parent
        return GLOBAL


class Analysis:
    """The scopes of one module, keyed by the node that opens each."""

    def __init__(self) -> None:
        self.scopes: Dict[int, Scope] = {}
        self.module: Optional[Scope] = None
        #: Names any function of the module declares ``global``.
        self.global_declarations: Set[str] = set()

    def scope_of(self, node: ast.AST) -> Scope:
        return self.scopes[id(node)]

    def module_binds(self, name: str) -> bool:
        """Whether the module may hold a global named ``name`` (so a
        builtin of that name can be shadowed)."""
        module = self.module
        assert module is not None
        return (module.star_import or name in module.bound
                or name in self.global_declarations)


def analyze(tree: ast.Module) -> Analysis:
    """Scopes of every function, lambda, class and comprehension of
    ``tree``."""
    binder = _Binder()
    binder.visit(tree)
    return binder.analysis


class _Binder(ast.NodeVisitor):
    def __init__(self) -> None:
        self.analysis = Analysis()
        self.scope: Optional[Scope] = None

    # -- traversal (ast.NodeVisitor's, with its method lookup cached per
    # node class and without its field iteration)

    def visit(self, node) -> None:
        method = _DISPATCH.get(node.__class__)
        if method is None:
            found: Callable[..., None] = getattr(
                _Binder, "visit_" + node.__class__.__name__, _Binder.generic_visit)
            _DISPATCH[node.__class__] = method = found
        method(self, node)

    def generic_visit(self, node) -> None:
        for value in node.__dict__.values():
            if isinstance(value, ast.AST):
                if not isinstance(value, ast.expr_context):
                    self.visit(value)
            elif isinstance(value, list):
                for item in value:
                    if isinstance(item, ast.AST):
                        self.visit(item)

    def visit_Yield(self, node) -> None:
        assert self.scope is not None
        self.scope.generator = True
        self.generic_visit(node)

    visit_YieldFrom = visit_Yield

    def visit_Constant(self, node) -> None:
        pass  # a leaf (ast.NodeVisitor's own looks for methods of old names)

    # -- helpers

    def _open(self, node: ast.AST, kind: str, private: Optional[str]) -> Scope:
        scope = Scope(kind, self.scope, private)
        self.analysis.scopes[id(node)] = scope
        return scope

    def _bind(self, name: str) -> None:
        scope = self.scope
        assert scope is not None
        scope.bound.add(mangle(scope.private, name))

    def _visit_all(self, nodes) -> None:
        for node in nodes:
            if node is not None:
                self.visit(node)

    def _in(self, scope: Scope, nodes) -> None:
        outer, self.scope = self.scope, scope
        try:
            self._visit_all(nodes)
        finally:
            self.scope = outer

    def _bind_arguments(self, args: ast.arguments) -> None:
        for arg in (list(getattr(args, "posonlyargs", [])) + args.args
                    + args.kwonlyargs):
            self._bind(arg.arg)
        if args.vararg is not None:
            self._bind(args.vararg.arg)
        if args.kwarg is not None:
            self._bind(args.kwarg.arg)

    def _annotations(self, args: ast.arguments):
        for arg in (list(getattr(args, "posonlyargs", [])) + args.args
                    + args.kwonlyargs + [args.vararg, args.kwarg]):
            if arg is not None and arg.annotation is not None:
                yield arg.annotation

    # -- scopes

    def visit_Module(self, node: ast.Module) -> None:
        scope = self._open(node, "module", None)
        self.analysis.module = scope
        self._in(scope, node.body)

    def _function(self, node, body) -> None:
        assert self.scope is not None
        self._visit_all(getattr(node, "decorator_list", ()))
        self._visit_all(node.args.defaults)
        self._visit_all(node.args.kw_defaults)
        self._visit_all(self._annotations(node.args))
        self._visit_all([getattr(node, "returns", None)])
        if not isinstance(node, ast.Lambda):
            self._bind(node.name)
        outer = self.scope
        self.scope = self._type_params(node)
        scope = self._open(node, "function", self.scope.private)
        self.scope = scope
        try:
            self._bind_arguments(node.args)
            self._visit_all(body)
        finally:
            self.scope = outer

    def visit_FunctionDef(self, node: ast.FunctionDef) -> None:
        self._function(node, node.body)

    def visit_AsyncFunctionDef(self, node: ast.AsyncFunctionDef) -> None:
        self._function(node, node.body)

    def visit_Lambda(self, node: ast.Lambda) -> None:
        self._function(node, [node.body])

    def visit_ClassDef(self, node: ast.ClassDef) -> None:
        self._visit_all(node.decorator_list)
        self._visit_all(node.bases)
        self._visit_all(node.keywords)
        self._bind(node.name)
        outer = self.scope
        self.scope = self._type_params(node)
        try:
            scope = self._open(node, "class", node.name)
        finally:
            self.scope = outer
        self._in(scope, node.body)

    def _type_params(self, node) -> Scope:
        """The scope the function or class ``node`` opens in: the
        current one, or (3.12+) the scope that binds its type parameters,
        which its body sees as enclosing names, never as globals."""
        assert self.scope is not None
        params = getattr(node, "type_params", None)
        if not params:
            return self.scope
        scope = Scope("type parameters", self.scope, self.scope.private)
        for param in params:
            scope.bound.add(mangle(scope.private, param.name))
        return scope

    def _comprehension(self, node, results) -> None:
        assert self.scope is not None
        generators = node.generators
        self.visit(generators[0].iter)
        scope = self._open(node, "comprehension", self.scope.private)
        outer, self.scope = self.scope, scope
        try:
            for i, gen in enumerate(generators):
                self.visit(gen.target)
                if i:
                    self.visit(gen.iter)
                self._visit_all(gen.ifs)
            self._visit_all(results)
        finally:
            self.scope = outer

    def visit_ListComp(self, node: ast.ListComp) -> None:
        self._comprehension(node, [node.elt])

    def visit_SetComp(self, node: ast.SetComp) -> None:
        self._comprehension(node, [node.elt])

    def visit_GeneratorExp(self, node: ast.GeneratorExp) -> None:
        self._comprehension(node, [node.elt])

    def visit_DictComp(self, node: ast.DictComp) -> None:
        self._comprehension(node, [node.key, node.value])

    # -- bindings

    def visit_Name(self, node: ast.Name) -> None:
        if isinstance(node.ctx, (ast.Store, ast.Del)):
            self._bind(node.id)

    def visit_NamedExpr(self, node: ast.NamedExpr) -> None:
        self.visit(node.value)
        scope = self.scope
        while scope is not None and scope.kind == "comprehension":
            scope = scope.parent
        if scope is not None and isinstance(node.target, ast.Name):
            scope.bound.add(mangle(scope.private, node.target.id))

    def visit_Global(self, node: ast.Global) -> None:
        assert self.scope is not None
        for name in node.names:
            mangled = mangle(self.scope.private, name)
            self.scope.declared_global.add(mangled)
            self.analysis.global_declarations.add(mangled)

    def visit_Nonlocal(self, node: ast.Nonlocal) -> None:
        assert self.scope is not None
        for name in node.names:
            self.scope.declared_nonlocal.add(mangle(self.scope.private, name))

    def visit_Import(self, node: ast.Import) -> None:
        for alias in node.names:
            self._bind(alias.asname or alias.name.partition(".")[0])

    def visit_ImportFrom(self, node: ast.ImportFrom) -> None:
        for alias in node.names:
            if alias.name == "*":
                assert self.scope is not None
                self.scope.star_import = True
            else:
                self._bind(alias.asname or alias.name)

    def visit_ExceptHandler(self, node: ast.ExceptHandler) -> None:
        if node.type is not None:
            self.visit(node.type)
        if node.name:
            self._bind(node.name)
        self._visit_all(node.body)

    def visit_MatchAs(self, node) -> None:
        if node.pattern is not None:
            self.visit(node.pattern)
        if node.name is not None:
            self._bind(node.name)

    def visit_MatchStar(self, node) -> None:
        if node.name is not None:
            self._bind(node.name)

    def visit_MatchMapping(self, node) -> None:
        self._visit_all(node.keys)
        self._visit_all(node.patterns)
        if node.rest is not None:
            self._bind(node.rest)
