"""Compiles a project module with its functions instrumented.

The module's syntax tree is rewritten before it is compiled; the source file
is never changed, and every new node carries the location of the node it
stands for, so tracebacks, ``inspect.getsource`` and line numbers are those
of the original. Inside every function body, lambda and comprehension (not
in module or class bodies, which run once at import):

======================  ==========================================
original                compiled as
======================  ==========================================
``g`` (a global)        ``glob(g, "g")``
``o.a``                 ``attr(o).a``
``o.m(...)``            ``mattr(o).m(...)``
``g(...)`` (a global)   ``gcall(g, "g")(...)``
``f(...)`` (other)      ``call(f)(...)``
``with m as v:``        ``with with_(m) as v:``
======================  ==========================================

Loads of builtins the module does not shadow are left alone, and so are
calls of them (their calls are never recorded), except ``open`` and
``input``. A plain function becomes::

    @slot.bind              # innermost: the slot learns its function
    def f(a, *args, k, **kw):
        "doc"
        try:
            slot(a, args, k, kw)
            ...body, with every `return X` as `return ret(X)`...
        except BaseException:
            exc()
            raise
        finally:
            exit()

A coroutine function only starts with ``slot(...)``; generators are not
recorded. The callables (``slot``, ``glob``, ...) are constants of the code
objects, put in place of placeholder strings after compilation: the code
loads no new name and its ``co_names`` are those of the original.

Instrumented code objects are remembered with their originals (compiled
from the same source when first asked for), so the code digest of a
recorded function is that of the function as written.
"""
import ast
import builtins
import types
import weakref
from typing import Any, Dict, List, Optional, Tuple

from tarnwick_collector.tracer import _trampolines as _t
from tarnwick_collector.tracer.scopes import (
    GLOBAL, Analysis, Scope, analyze, mangle,
)

_PREFIX = "\x00tarnwick\x00"
_BUILTIN_NAMES = frozenset(dir(builtins))
#: Builtins whose calls the recording core records (all others it skips).
_RECORDED_BUILTINS = frozenset({"open", "input"})
#: Names never reported as global loads.
_NEVER_REPORTED = frozenset({"__class__"})


class _Pool:
    """The objects that placeholder constants stand for."""

    def __init__(self) -> None:
        self.objects: Dict[str, Any] = {}
        self._keys: Dict[int, str] = {}

    def key(self, obj: Any) -> str:
        key = self._keys.get(id(obj))
        if key is None:
            key = f"{_PREFIX}{len(self.objects)}"
            self.objects[key] = obj
            self._keys[id(obj)] = key
        return key

    def const(self, obj: Any, like: ast.AST) -> ast.expr:
        """A node evaluating to ``obj``."""
        return ast.copy_location(ast.Constant(value=self.key(obj)), like)

    def callee(self, obj: Any, like: ast.AST) -> ast.expr:
        """A node evaluating to ``obj`` in the callee position of a call.
        (A bare constant there draws the compiler's "not callable"
        warning; ``c or c`` is folded to the constant all the same.)"""
        return ast.copy_location(
            ast.BoolOp(op=ast.Or(),
                       values=[self.const(obj, like), self.const(obj, like)]),
            like)

    def call(self, obj: Any, args: List[ast.expr], like: ast.AST) -> ast.Call:
        return ast.copy_location(
            ast.Call(func=self.callee(obj, like), args=args, keywords=[]),
            like)


def _own_nodes(body: List[ast.stmt]):
    """Nodes of a function body, not descending into nested scopes."""
    stack: List[ast.AST] = list(body)
    while stack:
        node = stack.pop()
        yield node
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef,
                                  ast.Lambda, ast.ClassDef)):
                continue
            stack.append(child)


def _is_generator(node) -> bool:
    return any(isinstance(n, (ast.Yield, ast.YieldFrom))
               for n in _own_nodes(node.body))


def _decorator_names(node) -> List[str]:
    names = []
    for dec in node.decorator_list:
        if isinstance(dec, ast.Name):
            names.append(dec.id)
        elif isinstance(dec, ast.Attribute):
            names.append(dec.attr)
    return names


def _has_docstring(body: List[ast.stmt]) -> bool:
    return (bool(body) and isinstance(body[0], ast.Expr)
            and isinstance(body[0].value, ast.Constant)
            and isinstance(body[0].value.value, str))


class _Instrumenter(ast.NodeTransformer):
    def __init__(self, analysis: Analysis, pool: _Pool) -> None:
        self.analysis = analysis
        self.pool = pool
        self.scope: Optional[Scope] = None
        self.active = False          # inside code that runs per call
        self.returns = False         # `return` statements are recorded
        self.qualname: List[str] = []
        self.slots: List[Any] = []

    # -- context

    def _with(self, scope, active, returns, qual, fn, *args):
        saved = (self.scope, self.active, self.returns)
        self.scope, self.active, self.returns = scope, active, returns
        depth = len(self.qualname)
        self.qualname.extend(qual or ())
        try:
            return fn(*args)
        finally:
            del self.qualname[depth:]
            self.scope, self.active, self.returns = saved

    def _stmts(self, stmts: List[ast.stmt]) -> List[ast.stmt]:
        out: List[ast.stmt] = []
        for stmt in stmts:
            new = self.visit(stmt)
            if new is None:
                continue
            if isinstance(new, list):
                out.extend(new)
            else:
                out.append(new)
        return out

    def _exprs(self, exprs):
        return [self.visit(e) if e is not None else None for e in exprs]

    def _classify(self, name: str) -> Tuple[str, str]:
        """(resolution, mangled name) for a load of ``name`` here;
        resolution "builtin" for an unshadowed builtin."""
        scope = self.scope
        assert scope is not None
        mangled = mangle(scope.private, name)
        where = scope.resolve(mangled)
        if where == GLOBAL and name in _BUILTIN_NAMES and \
                not self.analysis.module_binds(mangled):
            return "builtin", mangled
        return where, mangled

    # -- scopes

    def visit_Module(self, node: ast.Module) -> ast.Module:
        node.body = self._with(self.analysis.scope_of(node), False, False,
                               None, self._stmts, node.body)
        return node

    def _function(self, node):
        node.decorator_list = self._exprs(node.decorator_list)
        args = node.args
        args.defaults = self._exprs(args.defaults)
        args.kw_defaults = self._exprs(args.kw_defaults)
        enclosing = self.scope
        kind = self._kind(node, enclosing)
        scope = self.analysis.scope_of(node)
        body = self._with(scope, True, kind is not None and
                          kind != _t.KIND_COROUTINE, (node.name, "<locals>"),
                          self._stmts, node.body)
        if kind is None:
            node.body = body
            return node
        slot = _t.Slot(kind, len(getattr(args, "posonlyargs", [])) +
                       len(args.args), args.vararg is not None,
                       tuple(mangle(scope.private, a.arg)
                             for a in args.kwonlyargs),
                       args.kwarg is not None, self._qualname(node.name))
        self.slots.append(slot)
        node.body = self._wrap(node, slot, body, kind)
        node.decorator_list.append(self.pool.const(slot.bind, node))
        return node

    def _qualname(self, name: str) -> str:
        return ".".join(self.qualname + [name])

    def _kind(self, node, enclosing: Optional[Scope]) -> Optional[int]:
        """How the function is recorded; None when it is not (generators)."""
        if _is_generator(node):
            return None
        if isinstance(node, ast.AsyncFunctionDef):
            return _t.KIND_COROUTINE
        if enclosing is None or enclosing.kind != "class":
            return _t.KIND_FUNCTION
        decorators = _decorator_names(node)
        if "staticmethod" in decorators or node.name == "__new__":
            return _t.KIND_FUNCTION
        if "classmethod" in decorators or node.name in (
                "__init_subclass__", "__class_getitem__"):
            return _t.KIND_CLASSMETHOD
        if node.name == "__init__":
            return _t.KIND_INIT
        return _t.KIND_FUNCTION

    def _wrap(self, node, slot, body: List[ast.stmt], kind: int):
        pool = self.pool
        head: List[ast.stmt] = []
        if _has_docstring(body):
            head, body = body[:1], body[1:]
        args = node.args
        params = (list(getattr(args, "posonlyargs", [])) + list(args.args)
                  + ([args.vararg] if args.vararg else [])
                  + list(args.kwonlyargs)
                  + ([args.kwarg] if args.kwarg else []))
        enter = ast.Expr(value=pool.call(
            slot, [ast.copy_location(ast.Name(id=p.arg, ctx=ast.Load()), node)
                   for p in params], node))
        ast.copy_location(enter, node)
        if kind == _t.KIND_COROUTINE:
            return head + [enter] + body
        on_exc = ast.ExceptHandler(
            type=pool.const(BaseException, node), name=None,
            body=[ast.copy_location(
                      ast.Expr(value=pool.call(_t.exc, [], node)), node),
                  ast.copy_location(ast.Raise(exc=None, cause=None), node)])
        ast.copy_location(on_exc, node)
        wrapper = ast.Try(
            body=[enter] + body, handlers=[on_exc], orelse=[],
            finalbody=[ast.copy_location(
                ast.Expr(value=pool.call(_t.exit, [], node)), node)])
        ast.copy_location(wrapper, node)
        return head + [wrapper]

    def visit_FunctionDef(self, node):
        return self._function(node)

    def visit_AsyncFunctionDef(self, node):
        return self._function(node)

    def visit_Lambda(self, node: ast.Lambda):
        node.args.defaults = self._exprs(node.args.defaults)
        node.args.kw_defaults = self._exprs(node.args.kw_defaults)
        node.body = self._with(self.analysis.scope_of(node), True, False,
                               ("<lambda>", "<locals>"), self.visit,
                               node.body)
        return node

    def visit_ClassDef(self, node: ast.ClassDef):
        node.decorator_list = self._exprs(node.decorator_list)
        node.bases = self._exprs(node.bases)
        node.keywords = self._exprs(node.keywords)
        node.body = self._with(self.analysis.scope_of(node), False, False,
                               (node.name,), self._stmts, node.body)
        return node

    def _comprehension(self, node, fields):
        gens = node.generators
        gens[0].iter = self.visit(gens[0].iter)

        def inner():
            for i, gen in enumerate(gens):
                gen.target = self.visit(gen.target)
                if i:
                    gen.iter = self.visit(gen.iter)
                gen.ifs = self._exprs(gen.ifs)
            for field in fields:
                setattr(node, field, self.visit(getattr(node, field)))

        self._with(self.analysis.scope_of(node), self.active, False, None,
                   inner)
        return node

    def visit_ListComp(self, node):
        return self._comprehension(node, ("elt",))

    def visit_SetComp(self, node):
        return self._comprehension(node, ("elt",))

    def visit_GeneratorExp(self, node):
        return self._comprehension(node, ("elt",))

    def visit_DictComp(self, node):
        return self._comprehension(node, ("key", "value"))

    # -- statements whose parts are not all plain expressions

    def visit_Return(self, node: ast.Return):
        if node.value is not None:
            node.value = self.visit(node.value)
        if self.returns:
            value = node.value if node.value is not None else \
                ast.copy_location(ast.Constant(value=None), node)
            node.value = self.pool.call(_t.ret, [value], node)
        return node

    def visit_AnnAssign(self, node: ast.AnnAssign):
        node.target = self.visit(node.target)
        if node.value is not None:
            node.value = self.visit(node.value)
        return node

    def visit_arguments(self, node):
        return node

    def visit_With(self, node: ast.With):
        for item in node.items:
            expr = self.visit(item.context_expr)
            if self.active:
                expr = self.pool.call(_t.with_, [expr], item.context_expr)
            item.context_expr = expr
            if item.optional_vars is not None:
                item.optional_vars = self.visit(item.optional_vars)
        node.body = self._stmts(node.body)
        return node

    def visit_match_case(self, node):
        # Patterns must stay literal names and attribute chains.
        if node.guard is not None:
            node.guard = self.visit(node.guard)
        node.body = self._stmts(node.body)
        return node

    # -- expressions

    def visit_Name(self, node: ast.Name):
        if not self.active or not isinstance(node.ctx, ast.Load) or \
                node.id in _NEVER_REPORTED:
            return node
        where, mangled = self._classify(node.id)
        if where != GLOBAL:
            return node
        return self.pool.call(
            _t.glob, [node, ast.copy_location(ast.Constant(mangled), node)],
            node)

    def visit_Attribute(self, node: ast.Attribute):
        node.value = self.visit(node.value)
        if self.active and isinstance(node.ctx, ast.Load):
            node.value = self.pool.call(_t.attr, [node.value], node.value)
        return node

    def visit_Call(self, node: ast.Call):
        if not self.active:
            return self.generic_visit(node)
        func = node.func
        pool = self.pool
        if isinstance(func, ast.Name) and func.id not in _NEVER_REPORTED:
            where, mangled = self._classify(func.id)
            if where == "builtin":
                if func.id in _RECORDED_BUILTINS:
                    node.func = pool.call(_t.call, [func], func)
            elif where == GLOBAL:
                node.func = pool.call(
                    _t.gcall,
                    [func, ast.copy_location(ast.Constant(mangled), func)],
                    func)
            else:
                node.func = pool.call(_t.call, [func], func)
        elif isinstance(func, ast.Attribute) and isinstance(func.ctx, ast.Load):
            func.value = pool.call(_t.mattr, [self.visit(func.value)],
                                   func.value)
        else:
            node.func = pool.call(_t.call, [self.visit(func)], func)
        node.args = self._exprs(node.args)
        node.keywords = self._exprs(node.keywords)
        return node


# --------------------------------------------------------------- originals

class _Source:
    """A module's source, compiled as written when first needed."""

    def __init__(self, source: bytes, filename: str) -> None:
        self.source = source
        self.filename = filename
        self._codes: Optional[Dict[tuple, types.CodeType]] = None

    def original(self, key: tuple) -> Optional[types.CodeType]:
        if self._codes is None:
            codes: Dict[tuple, types.CodeType] = {}
            try:
                top = compile(self.source, self.filename, "exec",
                              dont_inherit=True)
            except Exception:
                top = None
            stack = [top] if top is not None else []
            while stack:
                code = stack.pop()
                codes.setdefault(_code_key(code), code)
                stack.extend(c for c in code.co_consts
                             if isinstance(c, types.CodeType))
            self._codes = codes
        return self._codes.get(key)


def _code_key(code: types.CodeType) -> tuple:
    return (code.co_name, code.co_firstlineno,
            getattr(code, "co_qualname", None))


_ORIGINALS: "weakref.WeakKeyDictionary[types.CodeType, Tuple[_Source, tuple]]" = \
    weakref.WeakKeyDictionary()


def original_code(code: types.CodeType) -> Optional[types.CodeType]:
    """The code object ``code`` was instrumented from, or None when it is
    not an instrumented code object."""
    try:
        entry = _ORIGINALS.get(code)
    except TypeError:
        return None
    if entry is None:
        return None
    return entry[0].original(entry[1])


def _bind_constants(code: types.CodeType, objects: Dict[str, Any],
                    source: _Source) -> types.CodeType:
    consts = []
    changed = False
    for const in code.co_consts:
        if isinstance(const, str) and const.startswith(_PREFIX):
            const = objects[const]
            changed = True
        elif isinstance(const, types.CodeType):
            new = _bind_constants(const, objects, source)
            changed = changed or new is not const
            const = new
        consts.append(const)
    if changed:
        new_code = code.replace(co_consts=tuple(consts))
        _ORIGINALS[new_code] = (source, _code_key(code))
        return new_code
    return code


# ------------------------------------------------------------------ entry

class Instrumented:
    """The result of instrumenting one module."""

    def __init__(self, code: types.CodeType, slots: List[Any]) -> None:
        self.code = code
        self.slots = slots


def instrument(source: bytes, filename: str) -> Instrumented:
    """Compile ``source`` (the text of the file ``filename``) with its
    functions instrumented. Raises SyntaxError as ``compile`` does for bad
    source; any other failure means the module could not be instrumented."""
    tree = ast.parse(source, filename)
    analysis = analyze(tree)
    pool = _Pool()
    instrumenter = _Instrumenter(analysis, pool)
    tree = instrumenter.visit(tree)
    ast.fix_missing_locations(tree)
    code = compile(tree, filename, "exec", dont_inherit=True)
    code = _bind_constants(code, pool.objects, _Source(source, filename))
    return Instrumented(code, instrumenter.slots)


def compile_module(source: bytes, filename: str) -> Tuple[types.CodeType, bool]:
    """Code for a module: instrumented when that works, else compiled as
    written (so a failure of the instrumenter never breaks an import).
    Returns the code and whether it is instrumented."""
    try:
        return instrument(source, filename).code, True
    except SyntaxError:
        pass
    except Exception:
        if _debug:
            raise
    return compile(source, filename, "exec", dont_inherit=True), False


#: Set by tests so instrumenter failures surface instead of falling back.
_debug = False

__all__ = ["instrument", "compile_module", "original_code", "Instrumented"]
