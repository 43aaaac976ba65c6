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
``input``. Every function keeps its original body beside the instrumented
one, and a gate picks one per call: while nothing is recorded the original
body runs. A plain function becomes::

    @slot.bind              # innermost: the slot learns its function
    def f(a, *args, k, **kw):
        "doc"
        global g            # global and nonlocal declarations, hoisted
        if gate & 1:        # offer this call, or one is open on the thread
            try:
                slot(a, args, k, kw)
                ...instrumented body, `return X` as `return ret(X)`...
            except BaseException:
                exc()
                raise
            finally:
                exit()
        else:
            ...original body...

A generator function is instrumented as a plain function (its body, and
so the slot call, first runs at the first ``next()``), and in its
instrumented body each ``yield X`` becomes ``gres(gsus(X), (yield gval()))``
and each ``yield from X`` becomes ``gres(gfrom(X), (yield from gval()))``:
the call is suspended before the generator yields and resumed after (see
``trampolines_generators.cpp``). A coroutine function starts with
``if gate & 1: slot(...)`` and then picks its body with ``if active & 1``;
an async generator (never recorded) and a lambda
(``inst if active_lambda & 1 else original``) only pick their body, with
gates that count those calls while recording is on. Functions
nested more than a few levels deep keep one, instrumented, body (each level
doubles the copies of what it contains). The callables (``slot``, ``glob``,
...) are constants of the code objects, put in place of placeholder strings
after compilation: the code loads no new name and its ``co_names`` are
those of the original.

Instrumented code objects are remembered with their originals (compiled
from the same source when first asked for), so the code digest of a
recorded function is that of the function as written.
"""
import ast
import builtins
import types
from typing import Any, Callable, Dict, List, Optional, Tuple

from tarnwick_collector.tracer import _trampolines as _t
from tarnwick_collector.tracer import cache as _cache
from tarnwick_collector.tracer.scopes import (
    GLOBAL,
    Analysis,
    Scope,
    analyze,
    mangle,
)

_PREFIX = "\x00tarnwick\x00"
_BUILTIN_NAMES = frozenset(dir(builtins))
#: Builtins whose calls the recording core records (all others it skips).
_RECORDED_BUILTINS = frozenset({"open", "input"})
#: Names never reported as global loads.
_NEVER_REPORTED = frozenset({"__class__"})
#: Functions nested deeper than this keep a single, instrumented, body.
_MAX_DUAL_DEPTH = 4


#: The trampolines and gates that placeholders may stand for, by name.
_NAMED = ("gate", "active", "ret", "exc", "exit", "glob", "attr", "mattr",
          "call", "gcall", "with_", "active_lambda", "active_agen", "gsus",
          "gres", "gval", "gfrom")
#: The number of arguments a Slot is made with.
_SLOT_ARITY = 7
#: The objects of the placeholders numbered first, the same in every module.
_FIXED_OBJECTS: List[Any] = [getattr(_t, name) for name in _NAMED] + [BaseException]
_FIXED_NUMBERS = {id(obj): n for n, obj in enumerate(_FIXED_OBJECTS)}


def _objects(slots: List[Any]) -> List[Any]:
    """The objects of a module's placeholders, by number (see
    :class:`_Pool`)."""
    objects = list(_FIXED_OBJECTS)
    for slot in slots:
        objects += (slot, slot.bind)
    return objects


def _at(node: Any, like: ast.AST) -> Any:
    """``node`` with the location of ``like`` (``ast.copy_location``
    without its per-attribute getattr, which was a tenth of the
    instrumenter's time)."""
    if node._attributes:
        fields = node.__dict__
        known = like.__dict__
        for key in _LOCATION:
            value = known.get(key)
            if value is not None:
                fields[key] = value
    return node


_LOCATION = ("lineno", "col_offset", "end_lineno", "end_col_offset")


class _Pool:
    """The objects that placeholder constants stand for. Placeholder ``n``
    stands for ``_FIXED_OBJECTS[n]``, the same in every module; past those
    come the Slots made for the module, in the order they were made, each
    followed by its ``bind`` (see :func:`_objects`). So all the cache needs
    to make them again is ``slot_args``, the arguments of every Slot in
    turn, ``_SLOT_ARITY`` each, kept flat: reading a module back then
    makes one tuple, not one per Slot and per placeholder."""

    def __init__(self) -> None:
        self.slots: List[Any] = []
        self.slot_args: List[Any] = []
        self._slot_index: Dict[int, int] = {}

    def slot(self, *args: Any) -> Any:
        """A new Slot made with ``args``."""
        if len(args) != _SLOT_ARITY:
            raise TypeError(f"a Slot takes {_SLOT_ARITY} arguments")
        slot = _t.Slot(*args)
        self._slot_index[id(slot)] = len(self.slots)
        self.slots.append(slot)  # kept alive, so its id stays its own
        self.slot_args.extend(args)
        return slot

    def number(self, obj: Any) -> int:
        """The placeholder number of ``obj``."""
        number = _FIXED_NUMBERS.get(id(obj))
        if number is not None:
            return number
        index = self._slot_index.get(id(obj))
        if index is not None:
            return len(_FIXED_OBJECTS) + 2 * index
        index = self._slot_index.get(id(getattr(obj, "__self__", None)))
        if index is not None and getattr(obj, "__name__", None) == "bind":
            return len(_FIXED_OBJECTS) + 2 * index + 1
        raise TypeError(f"no placeholder for a {type(obj).__name__}")

    def key(self, obj: Any) -> str:
        return f"{_PREFIX}{self.number(obj)}"

    def const(self, obj: Any, like: ast.AST) -> ast.expr:
        """A node evaluating to ``obj``."""
        return _at(ast.Constant(value=self.key(obj)), like)

    def callee(self, obj: Any, like: ast.AST) -> ast.expr:
        """A node evaluating to ``obj`` in the callee position of a call.
        (A bare constant there draws the compiler's "not callable"
        warning; ``c or c`` is folded to the constant all the same.)"""
        return _at(
            ast.BoolOp(op=ast.Or(),
                       values=[self.const(obj, like), self.const(obj, like)]),
            like)

    def call(self, obj: Any, args: List[ast.expr], like: ast.AST) -> ast.Call:
        return _at(
            ast.Call(func=self.callee(obj, like), args=args, keywords=[]),
            like)

    def test(self, gate: Any, like: ast.AST) -> ast.expr:
        """``gate & 1``: a test the compiler cannot fold (it folds the test of
        a bare constant; ``&`` fails on the placeholder string)."""
        return _at(
            ast.BinOp(left=self.const(gate, like), op=ast.BitAnd(),
                      right=_at(ast.Constant(1), like)),
            like)


class _Hoister(ast.NodeTransformer):
    """Takes the global and nonlocal declarations out of a function body
    (leaving ``pass``), so they can be stated once above both bodies."""

    def __init__(self) -> None:
        self.globals: List[str] = []
        self.nonlocals: List[str] = []
        self.first: Optional[ast.stmt] = None
        self.taken = 0

    def _take(self, node, names: List[str]):
        if self.first is None:
            self.first = node
        self.taken += 1
        names.extend(n for n in node.names if n not in names)
        return _at(ast.Pass(), node)

    def visit_Global(self, node):
        return self._take(node, self.globals)

    def visit_Nonlocal(self, node):
        return self._take(node, self.nonlocals)

    def _skip(self, node):
        return node

    def generic_visit(self, node):
        # Declarations are statements: only the statement lists of a
        # statement (bodies, handlers, cases) can hold one.
        for field in node._fields:
            value = getattr(node, field, None)
            if isinstance(value, list) and value and \
                    isinstance(value[0], _STATEMENTS):
                value[:] = [self.visit(item) for item in value]
        return node

    visit_FunctionDef = visit_AsyncFunctionDef = visit_ClassDef = _skip
    visit_Lambda = _skip

    def declarations(self) -> List[ast.stmt]:
        out: List[ast.stmt] = []
        first = self.first
        if first is None:  # no declaration was taken
            return out
        if self.globals:
            out.append(_at(ast.Global(names=self.globals),
                                         first))
        if self.nonlocals:
            out.append(_at(ast.Nonlocal(names=self.nonlocals),
                                         first))
        return out


_STATEMENTS = (ast.stmt, ast.excepthandler) + (
    (ast.match_case,) if hasattr(ast, "match_case") else ())


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


def _clone(node: Any, pairs: List[Tuple[ast.AST, ast.AST]]) -> Any:
    """A deep copy of a syntax tree, noting each (original, copy) pair.
    (Much cheaper than ``copy.deepcopy``, which took about a third of the
    instrumenter's time: nodes keep their fields in their ``__dict__``, and
    the stateless ``Load``/``Store``/``Del`` contexts are shared.)"""
    if isinstance(node, _CONTEXTS):
        return node
    cls = node.__class__
    new = cls.__new__(cls)
    fields = new.__dict__
    for key, value in node.__dict__.items():
        if isinstance(value, ast.AST):
            value = _clone(value, pairs)
        elif isinstance(value, list):
            value = [_clone(item, pairs) if isinstance(item, ast.AST) else item
                     for item in value]
        fields[key] = value
    pairs.append((node, new))
    return new


_CONTEXTS = (ast.expr_context,)
_DISPATCH: Dict[type, Callable[..., Any]] = {}


class _Instrumenter(ast.NodeTransformer):
    def __init__(self, analysis: Analysis, pool: _Pool) -> None:
        self.analysis = analysis
        self.pool = pool
        self.scope: Optional[Scope] = None
        self.active = False          # inside code that runs per call
        self.returns = False         # `return` statements are recorded
        self.yields = False          # `yield`s are recorded (a generator)
        self.qualname: List[str] = []
        self.slots: List[Any] = []
        self.depth = 0               # enclosing functions and lambdas
        self.hoisted = False         # declarations moved past statements
        # Copies of subtrees (for the original bodies) keep the scopes and
        # slots of the nodes they were copied from.
        self._origin: Dict[int, int] = {}
        self._slot_of: Dict[int, Any] = {}
        self._memos: List[list] = []

    # -- traversal (ast.NodeTransformer's, without its per-node getattr
    # and field iteration, which profiling showed as a large share)

    def visit(self, node):
        method = _DISPATCH.get(node.__class__)
        if method is None:
            method = getattr(_Instrumenter, "visit_" + node.__class__.__name__,
                             _Instrumenter.generic_visit)
            _DISPATCH[node.__class__] = method
        return method(self, node)

    def generic_visit(self, node):
        fields = node.__dict__
        for field in node._fields:
            old = fields.get(field)
            if isinstance(old, list):
                new_values = []
                for value in old:
                    if isinstance(value, ast.AST):
                        if isinstance(value, _CONTEXTS):
                            new_values.append(value)
                            continue
                        value = self.visit(value)
                        if value is None:
                            continue
                        if not isinstance(value, ast.AST):
                            new_values.extend(value)
                            continue
                    new_values.append(value)
                old[:] = new_values
            elif isinstance(old, ast.AST) and not isinstance(old, _CONTEXTS):
                new_node = self.visit(old)
                if new_node is None:
                    delattr(node, field)
                else:
                    fields[field] = new_node
        return node

    # -- context

    def _with(self, scope, active, returns, qual, fn, *args, yields=False):
        saved = (self.scope, self.active, self.returns, self.yields)
        self.scope, self.active, self.returns = scope, active, returns
        self.yields = yields
        depth = len(self.qualname)
        self.qualname.extend(qual or ())
        try:
            return fn(*args)
        finally:
            del self.qualname[depth:]
            self.scope, self.active, self.returns, self.yields = saved

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

    def _copy(self, body: List[ast.stmt]) -> List[ast.stmt]:
        """A deep copy of a function body whose nodes keep the scopes and
        slots of the nodes they copy."""
        pairs: List[Tuple[ast.AST, ast.AST]] = []
        new = [_clone(stmt, pairs) for stmt in body]
        self._memos.append(pairs)  # keeps the originals' ids valid
        scopes = self.analysis.scopes
        origin = self._origin
        for old, node in pairs:
            old_id = id(old)
            scope = scopes.get(old_id)
            if scope is not None:
                scopes[id(node)] = scope
            origin[id(node)] = origin.get(old_id, old_id)
        return new

    def _both(self, scope, returns, qual, body, yields=False):
        """(instrumented, original) versions of a function body; the
        original is None when the function keeps a single body."""
        dual = self.depth < _MAX_DUAL_DEPTH
        original = self._copy(body) if dual else None
        self.depth += 1
        try:
            inst = self._with(scope, True, returns, qual, self._stmts, body,
                              yields=yields)
            if dual:
                original = self._with(scope, False, False, qual, self._stmts,
                                      original)
        finally:
            self.depth -= 1
        return inst, original

    def _function(self, node):
        node.decorator_list = self._exprs(node.decorator_list)
        args = node.args
        args.defaults = self._exprs(args.defaults)
        args.kw_defaults = self._exprs(args.kw_defaults)
        kind = self._kind(node, self.scope)
        scope = self.analysis.scope_of(node)
        head: List[ast.stmt] = []
        body = node.body
        if _has_docstring(body):
            head, body = body[:1], body[1:]
        hoister = _Hoister()
        # Declarations that open the body (after its docstring) stay where
        # they were in effect: moving them changes no error the compiler
        # gives. One that follows another statement, or sits inside one,
        # may hide "used prior to global declaration".
        taken = 0
        opening = True
        body = list(body)
        for i, stmt in enumerate(body):
            declaration = isinstance(stmt, (ast.Global, ast.Nonlocal))
            body[i] = hoister.visit(stmt)
            if hoister.taken != taken and not (opening and declaration):
                self.hoisted = True
            taken = hoister.taken
            opening = opening and declaration
        head += hoister.declarations()
        generator = kind is not None and scope.generator
        inst, original = self._both(
            scope, kind is not None and kind != _t.KIND_COROUTINE,
            (node.name, "<locals>"), body, yields=generator)
        slot = None
        if kind is not None:
            slot = self._slot_of.get(self._origin.get(id(node), id(node)))
            if slot is None:
                slot = self.pool.slot(
                    kind, len(getattr(args, "posonlyargs", [])) + len(args.args),
                    args.vararg is not None,
                    tuple(mangle(scope.private, a.arg) for a in args.kwonlyargs),
                    args.kwarg is not None, self._qualname(node.name), generator)
                self._slot_of[self._origin.get(id(node), id(node))] = slot
                self.slots.append(slot)
        node.body = head + self._assemble(node, kind, slot, inst, original)
        if slot is not None:
            node.decorator_list.append(self.pool.const(slot.bind, node))
        return node

    def _qualname(self, name: str) -> str:
        return ".".join(self.qualname + [name])

    def _kind(self, node, enclosing: Optional[Scope]) -> Optional[int]:
        """How the function is recorded; None when it is not (async
        generators)."""
        if isinstance(node, ast.AsyncFunctionDef):
            return None if self.analysis.scope_of(node).generator else _t.KIND_COROUTINE
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

    def _stmt(self, node, like) -> ast.stmt:
        return _at(node, like)

    def _assemble(self, node, kind, slot, inst: List[ast.stmt],
                  original: Optional[List[ast.stmt]]) -> List[ast.stmt]:
        pool = self.pool
        inst = inst or [self._stmt(ast.Pass(), node)]
        if original is not None and not original:
            original = [self._stmt(ast.Pass(), node)]

        def choose(gate, first, second):
            if second is None:
                return first
            return [self._stmt(ast.If(test=pool.test(gate, node), body=first,
                                      orelse=second), node)]

        if kind is None:  # an async generator: not recorded, counted
            return choose(_t.active_agen, inst, original)
        args = node.args
        params = (list(getattr(args, "posonlyargs", [])) + list(args.args)
                  + ([args.vararg] if args.vararg else [])
                  + list(args.kwonlyargs)
                  + ([args.kwarg] if args.kwarg else []))
        enter = self._stmt(ast.Expr(value=pool.call(
            slot, [_at(ast.Name(id=p.arg, ctx=ast.Load()), node)
                   for p in params], node)), node)
        offer = self._stmt(ast.If(test=pool.test(_t.gate, node), body=[enter],
                                  orelse=[]), node)
        if kind == _t.KIND_COROUTINE:
            return [offer] + choose(_t.active, inst, original)
        on_exc = ast.ExceptHandler(
            type=pool.const(BaseException, node), name=None,
            body=[self._stmt(ast.Expr(value=pool.call(_t.exc, [], node)), node),
                  self._stmt(ast.Raise(exc=None, cause=None), node)])
        _at(on_exc, node)
        if original is None:
            return [self._stmt(ast.Try(
                body=[offer] + inst, handlers=[on_exc], orelse=[],
                finalbody=[self._stmt(ast.Expr(
                    value=pool.call(_t.exit, [], node)), node)]), node)]
        wrapped = self._stmt(ast.Try(
            body=[enter] + inst, handlers=[on_exc], orelse=[],
            finalbody=[self._stmt(ast.Expr(
                value=pool.call(_t.exit, [], node)), node)]), node)
        return choose(_t.gate, [wrapped], original)

    def visit_FunctionDef(self, node):
        return self._function(node)

    def visit_AsyncFunctionDef(self, node):
        return self._function(node)

    def visit_Lambda(self, node: ast.Lambda):
        node.args.defaults = self._exprs(node.args.defaults)
        node.args.kw_defaults = self._exprs(node.args.kw_defaults)
        (inst,), original = self._both(
            self.analysis.scope_of(node), False, ("<lambda>", "<locals>"),
            [node.body])
        if original is None:
            node.body = inst
        else:
            node.body = _at(
                ast.IfExp(test=self.pool.test(_t.active_lambda, node.body),
                          body=inst,
                          orelse=original[0]), node.body)
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
                _at(ast.Constant(value=None), node)
            node.value = self.pool.call(_t.ret, [value], node)
        return node

    def visit_Yield(self, node: ast.Yield):
        value = node.value
        if value is not None:
            value = self.visit(value)
        if not self.yields:
            node.value = value
            return node
        # gres(gsus(X), (yield gval())): the value is recorded and the call
        # suspended before the yield, resumed after it.
        if value is None:
            value = ast.copy_location(ast.Constant(value=None), node)
        pool = self.pool
        node.value = pool.call(_t.gval, [], node)
        return pool.call(_t.gres, [pool.call(_t.gsus, [value], node), node],
                         node)

    def visit_YieldFrom(self, node: ast.YieldFrom):
        value = self.visit(node.value)
        if not self.yields:
            node.value = value
            return node
        pool = self.pool
        node.value = pool.call(_t.gval, [], node)
        return pool.call(_t.gres, [pool.call(_t.gfrom, [value], node), node],
                         node)

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
            _t.glob, [node, _at(ast.Constant(mangled), node)],
            node)

    def visit_Attribute(self, node: ast.Attribute):
        node.value = self.visit(node.value)
        if self.active and isinstance(node.ctx, ast.Load):
            node.value = self.pool.call(_t.attr, [node.value], node.value)
        return node

    def visit_Constant(self, node: ast.Constant):
        # A leaf (ast.NodeVisitor's own looks for methods of old node names).
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
                    [func, _at(ast.Constant(mangled), func)],
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


def original_code(code: types.CodeType) -> Optional[types.CodeType]:
    """The code object ``code`` was instrumented from, or None when it is
    not the code of an instrumented def (binding leaves the source with the
    def's Slot, and the key of its original there is its own: binding
    changes only the constants)."""
    entry = _t.code_source(code)
    if entry is None:
        return None
    return entry.original(_code_key(code))


def _binding_plan(code: types.CodeType) -> Optional[bytes]:
    """Where the placeholders of ``code`` and of its nested code are, or
    None when there are none. Reading a module back from the cache binds by
    the plan, which spares it a scan of every constant of every code
    object. It is a string of unsigned LEB128 numbers, for each code
    object: the count of its placeholders, their (constant index,
    placeholder number) pairs, the count of its nested code objects that
    hold some, and for each its constant index followed by its own plan."""
    numbers = _plan_numbers(code)
    if numbers is None:
        return None
    out = bytearray()
    for n in numbers:
        while n >= 0x80:
            out.append(n & 0x7F | 0x80)
            n >>= 7
        out.append(n)
    return bytes(out)


def _plan_numbers(code: types.CodeType) -> Optional[List[int]]:
    here: List[int] = []
    nested: List[Tuple[int, List[int]]] = []
    for i, const in enumerate(code.co_consts):
        if isinstance(const, str) and const.startswith(_PREFIX):
            here += (i, int(const[len(_PREFIX):]))
        elif isinstance(const, types.CodeType):
            plan = _plan_numbers(const)
            if plan is not None:
                nested.append((i, plan))
    if not here and not nested:
        return None
    numbers = [len(here) // 2, *here, len(nested)]
    for i, plan in nested:
        numbers.append(i)
        numbers += plan
    return numbers


def _bind(code: types.CodeType, plan: Optional[bytes], objects: List[Any],
          source: _Source, in_place: bool = False) -> types.CodeType:
    """``code`` with the objects of its placeholders in their place (see
    ``_binding_plan``), each code object bound remembered with ``source``.
    ``in_place``: code nobody else holds yet (just read from the cache),
    whose constant tuples are filled where they are."""
    return _t.bind_code(code, plan, objects, source, in_place)


# ------------------------------------------------------------------ entry

class Instrumented:
    """The result of instrumenting one module. ``payload`` is what the
    cache keeps: the code before its placeholders are replaced, the
    arguments of its Slots (see :class:`_Pool`) and its binding plan."""

    def __init__(self, code: types.CodeType, slots: List[Any],
                 payload: Optional[tuple] = None) -> None:
        self.code = code
        self.slots = slots
        self.payload = payload


def instrument(source: bytes, filename: str) -> Instrumented:
    """Compile ``source`` (the text of the file ``filename``) with its
    functions instrumented. Raises SyntaxError as ``compile`` does for bad
    source; any other failure means the module could not be instrumented."""
    # The parser's errors are the plain import's own. The compiler's are
    # taken from the source itself (compiling it once more was a sixth of
    # the time, so it is done only when needed): when the instrumented
    # tree does not compile, and when declarations were hoisted past other
    # statements, which can make the tree accept code the compiler refuses
    # ("used prior to global declaration").
    tree = ast.parse(source, filename)
    analysis = analyze(tree)
    pool = _Pool()
    instrumenter = _Instrumenter(analysis, pool)
    tree = instrumenter.visit(tree)
    if instrumenter.hoisted:
        compile(source, filename, "exec", dont_inherit=True)
    try:
        try:
            code = compile(tree, filename, "exec", dont_inherit=True)
        except (TypeError, ValueError):
            # Every node the instrumenter makes takes the location of the
            # node it stands for; walking the whole tree to fill in missing
            # ones (ast.fix_missing_locations) cost about 15% of the time
            # for nothing, so it is done only when the compiler asks.
            ast.fix_missing_locations(tree)
            code = compile(tree, filename, "exec", dont_inherit=True)
    except SyntaxError as exc:
        compile(source, filename, "exec", dont_inherit=True)
        raise RuntimeError(f"instrumented code does not compile: {exc}") from exc
    plan = _binding_plan(code)
    payload = (code, tuple(pool.slot_args), plan)
    bound = _bind(code, plan, _objects(pool.slots),
                  _Source(source, filename))
    return Instrumented(bound, list(instrumenter.slots), payload)


def instrument_from_payload(payload: Any, source: bytes, filename: str,
                            fresh: bool = False) -> Instrumented:
    """The module instrumented again from a cached ``payload`` (see
    :class:`Instrumented`): new Slots and the same trampolines in place of
    its placeholders. ``source`` is the text the payload was made from;
    functions are mapped to their originals in it. ``fresh``: the payload
    was just read from the cache and nothing else holds it, so its code
    objects are bound where they are (the payload is then used up)."""
    code, slot_args, plan = payload
    if not isinstance(code, types.CodeType) or not isinstance(slot_args, tuple) \
            or len(slot_args) % _SLOT_ARITY:
        raise TypeError("not a cached module")
    if code.co_filename != filename:
        code = _fix_co_filename(code, filename)
    slots, objects = _t.cached_slots(slot_args, _FIXED_OBJECTS)
    bound = _bind(code, plan, objects, _Source(source, filename), in_place=fresh)
    return Instrumented(bound, slots, payload)


def _fix_co_filename(code: types.CodeType, filename: str) -> types.CodeType:
    """``code`` with ``filename`` as the file name of it and its nested code
    (a module imported under another spelling of its path than when it was
    cached), as the interpreter does for its own cache."""
    consts = tuple(_fix_co_filename(c, filename) if isinstance(c, types.CodeType)
                   else c for c in code.co_consts)
    return code.replace(co_filename=filename, co_consts=consts)


def compile_module(source: bytes, filename: str,
                   on_failure: Optional[Callable[[BaseException], None]] = None,
                   cache_path: Optional[str] = None,
                   ) -> Tuple[types.CodeType, bool]:
    """Code for a module: instrumented when that works, else compiled as
    written (so a failure of the instrumenter never breaks an import).
    Returns the code and whether it is instrumented; ``on_failure`` is told
    the instrumenter's error, so that the fallback is never silent.

    With a ``cache_path`` (see :mod:`.cache`) the instrumented code is read
    from there when it was cached for this very source, and written there
    otherwise; a source that cannot be instrumented leaves nothing there."""
    if cache_path is not None:
        payload = _cache.read(cache_path, source)
        if payload is not None:
            try:
                return instrument_from_payload(payload, source, filename,
                                               fresh=True).code, True
            except Exception:
                pass  # an entry that does not fit: instrumented afresh
    try:
        result = instrument(source, filename)
    except Exception as exc:
        if cache_path is not None:
            _cache.discard(cache_path)
        if _debug:
            raise
        failure = exc
    else:
        if cache_path is not None:
            _cache.write(cache_path, source, result.payload)
        return result.code, True
    # A source that does not compile fails here with its own error, which
    # is no failure of the instrumenter.
    code = compile(source, filename, "exec", dont_inherit=True)
    if on_failure is not None:
        try:
            on_failure(failure)
        except Exception:
            pass
    return code, False


#: Set by tests so instrumenter failures surface instead of falling back.
_debug = False

__all__ = ["instrument", "instrument_from_payload", "compile_module",
           "original_code", "Instrumented"]
