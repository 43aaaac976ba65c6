"""Small mutations of a program's functions, to see what generated tests
catch: an arithmetic or comparison operator swapped, a number changed, a
statement removed. Each mutant changes one place of one source file.
"""
import ast
import contextlib
import os
import re
import signal
import subprocess
import sys
import threading
from dataclasses import dataclass
from typing import Dict, Iterator, List, Optional, Sequence, Set

_ARITHMETIC = {ast.Add: ast.Sub, ast.Sub: ast.Add, ast.Mult: ast.Div, ast.Div: ast.Mult,
               ast.FloorDiv: ast.Mult, ast.Mod: ast.FloorDiv}
_COMPARISON = {ast.Lt: ast.Gt, ast.Gt: ast.Lt, ast.LtE: ast.GtE, ast.GtE: ast.LtE,
               ast.Eq: ast.NotEq, ast.NotEq: ast.Eq, ast.In: ast.NotIn, ast.NotIn: ast.In}
_SYMBOLS = {ast.Add: "+", ast.Sub: "-", ast.Mult: "*", ast.Div: "/", ast.FloorDiv: "//",
            ast.Mod: "%", ast.Lt: "<", ast.Gt: ">", ast.LtE: "<=", ast.GtE: ">=",
            ast.Eq: "==", ast.NotEq: "!=", ast.In: "in", ast.NotIn: "not in"}


@dataclass
class Mutant:
    path: str
    function: str
    line: int
    kind: str
    description: str
    source: str


def _sites(tree: ast.AST, functions: Optional[Set[str]]) -> Iterator[tuple]:
    """(function qualname, node, kind) of each place a mutation can go."""
    def walk(node: ast.AST, prefix: str, inside: Optional[str]) -> Iterator[tuple]:
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                name = prefix + child.name
                chosen = functions is None or name in functions
                yield from walk(child, name + ".<locals>.", name if chosen else None)
                continue
            if isinstance(child, ast.ClassDef):
                yield from walk(child, prefix + child.name + ".", inside)
                continue
            if inside is not None:
                if isinstance(child, ast.BinOp) and type(child.op) in _ARITHMETIC:
                    yield inside, child, "operator"
                elif isinstance(child, ast.AugAssign) and type(child.op) in _ARITHMETIC:
                    yield inside, child, "operator"
                elif isinstance(child, ast.Compare) and len(child.ops) == 1 and \
                        type(child.ops[0]) in _COMPARISON:
                    yield inside, child, "comparison"
                elif isinstance(child, ast.Constant) and type(child.value) in (int, float):
                    yield inside, child, "constant"
                if isinstance(child, (ast.Expr, ast.Assign, ast.AugAssign, ast.Return)) and \
                        not (isinstance(child, ast.Expr) and isinstance(child.value, ast.Constant)):
                    yield inside, child, "removal"
            yield from walk(child, prefix, inside)
    yield from walk(tree, "", None)


def mutants_of(path: str, functions: Optional[Set[str]] = None) -> List[Mutant]:
    """Every single-place mutant of the functions (qualified names, all when
    None) of the Python file at ``path``."""
    with open(path, encoding="utf-8") as fh:
        source = fh.read()
    count = sum(1 for _ in _sites(ast.parse(source), functions))
    out = []
    for index in range(count):
        tree = ast.parse(source)
        function, node, kind = list(_sites(tree, functions))[index]
        description = _mutate(tree, node, kind)
        if description is None:
            continue
        out.append(Mutant(path, function, getattr(node, "lineno", 0), kind, description,
                          ast.unparse(ast.fix_missing_locations(tree)) + "\n"))
    return out


def _mutate(tree: ast.AST, node: ast.AST, kind: str) -> Optional[str]:
    if kind == "operator":
        old = type(node.op)  # type: ignore[attr-defined]
        node.op = _ARITHMETIC[old]()  # type: ignore[attr-defined]
        return f"{_SYMBOLS[old]} became {_SYMBOLS[_ARITHMETIC[old]]}"
    if kind == "comparison":
        old = type(node.ops[0])  # type: ignore[attr-defined]
        node.ops = [_COMPARISON[old]()]  # type: ignore[attr-defined]
        return f"{_SYMBOLS[old]} became {_SYMBOLS[_COMPARISON[old]]}"
    if kind == "constant":
        old_value = node.value  # type: ignore[attr-defined]
        node.value = old_value + 1  # type: ignore[attr-defined]
        return f"{old_value!r} became {node.value!r}"  # type: ignore[attr-defined]
    if kind == "removal":
        for parent in ast.walk(tree):
            for field in ("body", "orelse", "finalbody"):
                body = getattr(parent, field, None)
                if isinstance(body, list) and node in body:
                    text = ast.unparse(node).splitlines()[0]
                    body[body.index(node)] = ast.Pass()
                    return f"removed `{text[:60]}`"
    return None


_FAILED = re.compile(r"^FAILED (\S+?)(?: - .*)?$", re.M)


def run_tests(test_dir: str, timeout: float = 300) -> Dict[str, object]:
    """Run the tests of ``test_dir`` with this interpreter: the exit status
    and the ids of the tests that failed."""
    test_dir = os.path.abspath(test_dir)  # the tests run from inside it
    env = dict(os.environ)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    try:
        proc = subprocess.run(
            [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--tb=no",
             "-rf", "-o", "console_output_style=classic", test_dir],
            capture_output=True, text=True, timeout=timeout, env=env, cwd=test_dir)
    except subprocess.TimeoutExpired:
        return {"status": None, "failed": ["(the tests did not end)"], "summary": "timeout",
                "output": ""}
    failed = sorted({m.split("::", 1)[-1] for m in _FAILED.findall(proc.stdout)})
    summary = proc.stdout.strip().splitlines()[-1] if proc.stdout.strip() else ""
    return {"status": proc.returncode, "failed": failed, "summary": summary,
            "output": proc.stdout + proc.stderr}


@contextlib.contextmanager
def _ended_through_cleanup() -> Iterator[None]:
    """While it lasts, SIGTERM and SIGHUP (a timeout, a closed terminal) end
    the process by an exception, which runs the cleanup the default ending
    skips. Only on the main thread, and only for signals left to their
    default."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def end(signum: int, frame: object) -> None:
        raise SystemExit(128 + signum)

    taken = []
    for sig in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(sig) is signal.SIG_DFL:
            signal.signal(sig, end)
            taken.append(sig)
    try:
        yield
    finally:
        for sig in taken:
            signal.signal(sig, signal.SIG_DFL)


def caught_by(mutant: Mutant, test_dir: str, timeout: float = 300) -> Dict[str, object]:
    """Apply ``mutant`` to its file, run the tests, put the file back (also
    when the process is told to end meanwhile)."""
    with open(mutant.path, encoding="utf-8") as fh:
        original = fh.read()
    cache = os.path.join(os.path.dirname(mutant.path), "__pycache__")
    if os.path.isdir(cache):
        import shutil
        shutil.rmtree(cache, ignore_errors=True)
    with _ended_through_cleanup():
        try:
            with open(mutant.path, "w", encoding="utf-8") as fh:
                fh.write(mutant.source)
            return run_tests(test_dir, timeout)
        finally:
            with open(mutant.path, "w", encoding="utf-8") as fh:
                fh.write(original)


def pick(mutants: Sequence[Mutant], per_kind: int) -> List[Mutant]:
    """Up to ``per_kind`` mutants of each kind, spread over the functions."""
    chosen: List[Mutant] = []
    for kind in ("operator", "comparison", "constant", "removal"):
        of_kind = [m for m in mutants if m.kind == kind]
        seen_functions: Set[str] = set()
        for m in of_kind:
            if len([c for c in chosen if c.kind == kind]) >= per_kind:
                break
            if m.function not in seen_functions:
                seen_functions.add(m.function)
                chosen.append(m)
    return chosen
