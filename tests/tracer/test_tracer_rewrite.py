"""The instrumenting compiler: instrumented code has the shape of the
original (names, variables, cells, flags, line numbers, docstrings), its
digest is the original's, and its notion of global names is the
compiler's."""
import ast
import os
import symtable
import sys
import sysconfig
import textwrap
import types

import pytest

from tarnwick_collector.tracer import rewrite, scopes
from tarnwick_common.utils.hash import get_hash

_SKIP_DIRS = {"site-packages", "test", "idlelib", "__pycache__", "lib2to3",
              "tkinter", "turtledemo"}


def _stdlib_sample(step=12):
    lib = sysconfig.get_paths()["stdlib"]
    files = []
    for directory, subdirs, names in os.walk(lib):
        subdirs[:] = sorted(s for s in subdirs if s not in _SKIP_DIRS)
        files += [os.path.join(directory, n) for n in sorted(names)
                  if n.endswith(".py")]
    return files[::step]


SAMPLE = _stdlib_sample()


def _read(path):
    with open(path, "rb") as fh:
        return fh.read()


def _codes(code):
    yield code
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            yield from _codes(const)


def _key(code):
    return code.co_name, code.co_firstlineno, getattr(code, "co_qualname", None)


@pytest.fixture(autouse=True)
def strict(monkeypatch):
    monkeypatch.setattr(rewrite, "_debug", True)


@pytest.mark.parametrize("path", SAMPLE, ids=lambda p: os.path.basename(p))
def test_instrumented_code_has_the_shape_of_the_original(path):
    source = _read(path)
    try:
        original = compile(source, path, "exec", dont_inherit=True)
    except SyntaxError:
        pytest.skip("not valid for this interpreter")
    instrumented = rewrite.instrument(source, path).code
    originals = {_key(c): c for c in _codes(original)}
    for code in _codes(instrumented):
        orig = originals[_key(code)]
        for attr in ("co_names", "co_varnames", "co_freevars", "co_cellvars",
                     "co_argcount", "co_posonlyargcount",
                     "co_kwonlyargcount", "co_flags", "co_filename"):
            assert getattr(code, attr) == getattr(orig, attr), (attr, _key(code))
        if code is not orig and rewrite.original_code(code) is not None:
            assert rewrite.original_code(code) is not orig  # compiled afresh
            assert rewrite.original_code(code).co_code == orig.co_code


def _loads(node):
    """Global-candidate loads of a function: its own Name loads, without
    nested scopes and annotations (which the instrumenter leaves alone)."""
    def walk(n, top):
        if not top and isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef,
                                      ast.Lambda)):
            for part in (getattr(n, "decorator_list", []) + n.args.defaults
                         + [d for d in n.args.kw_defaults if d]):
                yield from walk(part, False)
            return
        if not top and isinstance(n, ast.ClassDef):
            for part in n.decorator_list + n.bases + [k.value for k in n.keywords]:
                yield from walk(part, False)
            return
        if isinstance(n, (ast.ListComp, ast.SetComp, ast.DictComp,
                          ast.GeneratorExp)):
            yield from walk(n.generators[0].iter, False)
            return
        if isinstance(n, ast.Name) and isinstance(n.ctx, ast.Load):
            yield n.id
        for field, value in ast.iter_fields(n):
            if field in ("annotation", "returns", "type_params"):
                continue
            children = value if isinstance(value, list) else [value]
            for child in children:
                if isinstance(child, ast.AST) and not (top and field in (
                        "decorator_list", "args")):
                    yield from walk(child, False)
    yield from walk(node, True)


def _annotation_names(tree):
    names = set()
    for node in ast.walk(tree):
        for field in ("annotation", "returns"):
            value = getattr(node, field, None)
            if isinstance(value, ast.AST):
                names |= {n.id for n in ast.walk(value) if isinstance(n, ast.Name)}
    return names


def _inlined(node):
    """Names loaded in a function's list, set and dict comprehensions, which
    Python 3.12+ compiles into the function itself (its symbol table then
    has them; the comprehension keeps its own scope here)."""
    if sys.version_info < (3, 12):
        return set()
    return {n.id for comp in ast.walk(node)
            if isinstance(comp, (ast.ListComp, ast.SetComp, ast.DictComp))
            for n in ast.walk(comp) if isinstance(n, ast.Name)}


@pytest.mark.parametrize("path", SAMPLE[::2], ids=lambda p: os.path.basename(p))
def test_global_names_are_those_of_the_compiler(path):
    text = _read(path).decode("utf-8", "replace")
    try:
        tree = ast.parse(text)
        table = symtable.symtable(text, path, "exec")
    except SyntaxError:
        pytest.skip("not valid for this interpreter")
    analysis = scopes.analyze(tree)
    functions = {}
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            functions.setdefault((node.name, node.lineno), []).append(node)
    annotated = _annotation_names(tree) | {"__class__"}
    checked = 0
    stack = [table]
    while stack:
        t = stack.pop()
        stack.extend(t.get_children())
        if t.get_type() != "function":
            continue
        nodes = functions.get((t.get_name(), t.get_lineno()), [])
        if len(nodes) != 1:
            continue
        scope = analysis.scope_of(nodes[0])
        mine = set()
        for name in _loads(nodes[0]):
            mangled = scopes.mangle(scope.private, name)
            if scope.resolve(mangled) == scopes.GLOBAL:
                mine.add(mangled)
        theirs = {s.get_name() for s in t.get_symbols()
                  if s.is_global() and s.is_referenced()}
        assert mine <= theirs, (t.get_name(), mine - theirs)
        assert theirs - mine <= annotated | _inlined(nodes[0]), (t.get_name(), theirs - mine)
        checked += 1
    assert checked or not functions


@pytest.mark.skipif(sys.version_info < (3, 12), reason="type parameters are 3.12+")
def test_type_parameters_are_enclosing_names_not_globals():
    tree = ast.parse(textwrap.dedent("""
        def first[T: Bound](items: list[T]) -> T:
            return T, Other
        class Box[U]:
            def get(self):
                return U
    """))
    analysis = scopes.analyze(tree)
    first, box = tree.body
    get = box.body[0]
    assert analysis.scope_of(first).resolve("T") == scopes.FREE
    assert analysis.scope_of(first).resolve("Other") == scopes.GLOBAL
    assert analysis.scope_of(get).resolve("U") == scopes.FREE
    # The class body sees its own parameter too; the module does not.
    assert analysis.scope_of(box).resolve("U") == scopes.FREE
    assert analysis.module.resolve("T") == scopes.GLOBAL


def _plain_and_instrumented(source, name):
    source = textwrap.dedent(source).encode()
    plain_ns, inst_ns = {}, {}
    exec(compile(source, "m.py", "exec", dont_inherit=True), plain_ns)
    exec(rewrite.instrument(source, "m.py").code, inst_ns)
    return plain_ns[name], inst_ns[name]


@pytest.mark.parametrize("source, name", [
    ('''
     import json
     class A:
         def m(self, x):
             """doc"""
             return json.dumps(x) + self.__p
     ''', "A"),
    ('''
     def deco(f):
         return f
     @deco
     @deco
     def f(a, *b, c=1, **d):
         try:
             return a
         finally:
             print(b)
     ''', "f"),
])
def test_digest_of_a_recorded_function_is_that_of_its_source(source, name):
    plain, inst = _plain_and_instrumented(source, name)
    if isinstance(plain, type):
        plain, inst = plain.m, inst.m
    assert plain.__code__.co_code != inst.__code__.co_code
    assert get_hash(inst) == get_hash(plain)
    assert inst.__doc__ == plain.__doc__
    assert inst.__code__.co_firstlineno == plain.__code__.co_firstlineno


def test_future_annotations_keep_their_text():
    source = '''
        from __future__ import annotations
        import typing
        def f(x: typing.List[int], *, y: "Q" = None) -> dict[str, typing.Any]:
            z: typing.Optional[int] = 1
            return z
    '''
    plain, inst = _plain_and_instrumented(source, "f")
    assert inst.__annotations__ == plain.__annotations__
    assert inst(1) == 1


@pytest.mark.skipif(sys.version_info < (3, 10), reason="match is 3.10+")
def test_match_patterns_with_dotted_names_still_compile():
    source = '''
        import enum
        class Color(enum.Enum):
            RED = 1
        def f(v):
            match v:
                case Color.RED:
                    return "red"
                case {"k": [x, *_]} if x > 0:
                    return x
                case _:
                    return None
    '''
    plain, inst = _plain_and_instrumented(source, "f")
    color = plain.__globals__["Color"]
    inst_color = inst.__globals__["Color"]
    assert inst(inst_color.RED) == "red" and inst({"k": [3]}) == 3
    assert plain(color.RED) == "red"


@pytest.mark.parametrize("source", [
    b"def f(:\n    pass\n",                                   # the parser's
    b"def f():\n    break\n",                                 # the compiler's
    b"def f():\n    x = 1\n    global x\n",                  # hidden by hoisting
    b"def f():\n    if x:\n        global x\n",
    b"def f():\n    global y\n    x = 1\n    global x\n",
    b"def f():\n    def g():\n        print(y)\n        nonlocal y\n    y = 1\n",
    b"def f(a):\n    global a\n",
    b"nonlocal z\n",
    b"def f():\n    return [(yield x) for x in ()]\n",
    b"class C:\n    def m(self):\n        await self\n",
])
def test_syntax_errors_are_those_of_the_source(source):
    with pytest.raises(SyntaxError) as plain:
        compile(source, "bad.py", "exec")
    with pytest.raises(SyntaxError) as ours:
        rewrite.compile_module(source, "bad.py")
    assert (ours.value.msg, ours.value.lineno, ours.value.offset) == \
        (plain.value.msg, plain.value.lineno, plain.value.offset)


@pytest.mark.parametrize("source, compiles", [
    (b"def f():\n    'doc'\n    global x, y\n    global z\n    x = 1\n", 1),
    (b"def f():\n    x = 1\n    global y\n", 2),
    (b"def f():\n    for i in y:\n        global x\n", 2),
])
def test_the_source_is_compiled_again_only_for_declarations_moved_up(
        monkeypatch, source, compiles):
    calls = []

    def counting(*args, **kwargs):
        calls.append(args[0])
        return compile(*args, **kwargs)

    monkeypatch.setattr(rewrite, "compile", counting, raising=False)
    rewrite.instrument(source, "m.py")
    assert len(calls) == compiles


def test_a_failing_instrumenter_falls_back_to_the_plain_module(monkeypatch):
    monkeypatch.setattr(rewrite, "_debug", False)

    def broken(tree):
        raise RuntimeError("instrumenter bug")

    monkeypatch.setattr(rewrite, "analyze", broken)
    code, instrumented = rewrite.compile_module(b"x = 1\n", "ok.py")
    ns = {}
    exec(code, ns)
    assert ns["x"] == 1 and instrumented is False


def test_module_and_class_bodies_are_not_instrumented():
    source = textwrap.dedent('''
        import os
        X = os.path.join("a", "b")
        class K:
            y = os.sep
    ''').encode()
    code = rewrite.instrument(source, "m.py").code
    for c in _codes(code):
        if c.co_name in ("<module>", "K"):
            assert all(not isinstance(k, str) or not k.startswith("\x00")
                       for k in c.co_consts)
            assert not any(type(k).__module__ == "tarnwick_collector.tracer._trampolines"
                           for k in c.co_consts if not isinstance(k, types.CodeType))


def test_code_the_instrumenter_cannot_compile_loads_as_written(monkeypatch):
    # The instrumented tree is refused by the compiler (as when its extra
    # blocks pass the compiler's nesting limit) while the source compiles.
    monkeypatch.setattr(rewrite, "_debug", False)

    def compiler(source, *args, **kwargs):
        if isinstance(source, ast.AST):
            raise SyntaxError("too many statically nested blocks")
        return compile(source, *args, **kwargs)

    monkeypatch.setattr(rewrite, "compile", compiler, raising=False)
    source = b"def f():\n    return 7\n"
    failures = []
    code, instrumented = rewrite.compile_module(source, "deep.py", failures.append)
    ns = {}
    exec(code, ns)
    assert ns["f"]() == 7 and instrumented is False
    [failure] = failures
    assert isinstance(failure, RuntimeError) and "does not compile" in str(failure)
