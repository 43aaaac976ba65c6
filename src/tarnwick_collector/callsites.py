"""Whether a running frame may be calling an object at a call site of its
own code, told from the frame's source and the values its names hold now.

The recorder keeps the external calls a project function makes at its own
call sites. A function it hands to library code (``map(f, items)``,
``sorted(items, key=f)``) is called by that code, out of its sight, so a
replayed call must not expect those calls among the recorded ones. The
source is parsed, never run; names are looked up statically
(``inspect.getattr_static``), so nothing of the program runs either.
"""
import ast
import builtins
import inspect
import linecache
import sys
import types
from typing import Any, Dict, List, Optional, Tuple, cast

# Comprehensions run in the frame of the function around them from 3.12 on.
_INLINED: tuple = (ast.ListComp, ast.SetComp, ast.DictComp) if sys.version_info >= (3, 12) \
    else ()
_SCOPES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef, ast.GeneratorExp,
           ast.ListComp, ast.SetComp, ast.DictComp)
_BY_CODE_NAME = {"<lambda>": ast.Lambda, "<genexpr>": ast.GeneratorExp,
                 "<listcomp>": ast.ListComp, "<setcomp>": ast.SetComp,
                 "<dictcomp>": ast.DictComp}

_UNKNOWN = object()
_trees: Dict[str, Optional[ast.Module]] = {}
_sites: Dict[types.CodeType, Optional[List["_Site"]]] = {}
_positions: Dict[types.CodeType, list] = {}


def _tree(filename: str) -> Optional[ast.Module]:
    if filename not in _trees:
        try:
            source = "".join(linecache.getlines(filename))
            _trees[filename] = ast.parse(source) if source else None
        except (SyntaxError, ValueError):
            _trees[filename] = None
    return _trees[filename]


def _scope(code: types.CodeType) -> Optional[ast.AST]:
    """The node of the source that ``code`` was compiled from, or None when
    it is not found as exactly one."""
    tree = _tree(code.co_filename)
    if tree is None:
        return None
    if code.co_name == "<module>":
        return tree
    kind = _BY_CODE_NAME.get(code.co_name)
    found = []
    for node in ast.walk(tree):
        if kind is not None:
            if isinstance(node, kind) and getattr(node, "lineno", 0) == code.co_firstlineno:
                found.append(node)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)) \
                and node.name == code.co_name:
            first = min([node.lineno] + [d.lineno for d in node.decorator_list])
            if code.co_firstlineno in (first, node.lineno):
                found.append(node)
    return found[0] if len(found) == 1 else None


# A call site: where its call expression starts and ends (line, column),
# and the expression it calls.
_Site = Tuple[int, int, int, int, ast.expr]


def _own_sites(scope: ast.AST) -> List[_Site]:
    """The call sites that run in the scope's own frame: calls in nested
    functions, lambdas and generator expressions run in frames of their
    own."""
    found: List[_Site] = []
    todo: List[ast.AST] = [scope.body] if isinstance(scope, ast.Lambda) \
        else list(ast.iter_child_nodes(scope))
    while todo:
        node = todo.pop()
        if isinstance(node, ast.Call):
            found.append((node.lineno, node.col_offset, node.end_lineno or node.lineno,
                          node.end_col_offset or 0, node.func))
        if isinstance(node, _SCOPES) and not isinstance(node, _INLINED):
            continue
        todo.extend(ast.iter_child_nodes(node))
    return found


def _where(frame: types.FrameType) -> Optional[Tuple[int, int, int, int]]:
    """The source span of the instruction the frame runs (3.11+): a call's
    own instruction spans its call expression."""
    positions = getattr(frame.f_code, "co_positions", None)
    if positions is None or frame.f_lasti < 0:
        return None
    spans = _positions.get(frame.f_code)
    if spans is None:
        spans = _positions[frame.f_code] = list(positions())
    index = frame.f_lasti // 2
    if index >= len(spans) or None in spans[index]:
        return None
    return cast(Tuple[int, int, int, int], spans[index])


def _current(sites: List[_Site], frame: types.FrameType) -> List[_Site]:
    """The call sites the frame may be at: those within the span of its
    instruction, else those on its line."""
    span = _where(frame)
    if span is not None:
        line, end_line, col, end_col = span
        inside = [site for site in sites
                  if (site[0], site[1]) >= (line, col)
                  and (site[2], site[3]) <= (end_line, end_col)]
        if inside:
            return inside
    at = frame.f_lineno
    return [site for site in sites if site[0] <= at <= site[2]]


def _value(expr: ast.expr, frame: types.FrameType) -> Any:
    """What ``expr`` stands for in ``frame`` now, looked up without running
    anything; ``_UNKNOWN`` when that cannot be told."""
    if isinstance(expr, ast.Constant):
        return expr.value
    if isinstance(expr, ast.Name):
        for space in (frame.f_locals, frame.f_globals, builtins.__dict__):
            if expr.id in space:
                return space[expr.id]
        return _UNKNOWN
    if isinstance(expr, ast.Attribute):
        owner = _value(expr.value, frame)
        if owner is _UNKNOWN:
            return _UNKNOWN
        try:
            found = inspect.getattr_static(owner, expr.attr, _UNKNOWN)
        except Exception:
            return _UNKNOWN
        if isinstance(found, (staticmethod, classmethod)):
            return found.__func__
        if found is _UNKNOWN or isinstance(found, types.FunctionType) or \
                not hasattr(type(found), "__get__"):
            return found
        # A property or another descriptor: what it gives is not known.
        if isinstance(found, (types.BuiltinFunctionType, types.MethodDescriptorType,
                              types.WrapperDescriptorType)):
            return found
        return _UNKNOWN
    return _UNKNOWN


def may_call(frame: types.FrameType, target: Any) -> bool:
    """Whether ``frame`` may be calling ``target`` at a call site of its own
    code: a call site it is at names ``target`` now, or names something
    that cannot be told without running code. False only when each of
    them names something else (``target`` is then called by what one of
    them called)."""
    code = frame.f_code
    if code not in _sites:
        scope = _scope(code)
        _sites[code] = None if scope is None else _own_sites(scope)
    sites = _sites[code]
    if sites is None:
        return True
    current = _current(sites, frame)
    if not current:
        return True
    for site in current:
        found = _value(site[4], frame)
        if found is _UNKNOWN or found is target:
            return True
    return False
