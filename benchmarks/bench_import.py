"""Cost of importing a project under recording, against a plain import in
the same run.

A generated package of ``MODULES`` modules (classes, methods, closures,
comprehensions, generators, module-level constants: about 150 lines each)
is imported in a fresh interpreter, timing the import statement alone:

- plainly, with no bytecode cache (every module compiled) and with the
  interpreter's cache filled;
- with the tracer installed (every module instrumented), with no cache of
  instrumented code and with that cache filled.

Cold is measured against cold, warm against warm; each figure is the best
of ``REPEAT`` runs, the runs of the four cases interleaved. The warm cases
are also counted in instructions by callgrind, which the machine's load
does not change.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
from typing import Dict, List, Optional

MODULES = 200
REPEAT = 5

_MODULE = '''
"""Generated module {i}."""
import functools
import re

from . import {prev} as _prev

LIMIT_{i} = {i} * 3
_PATTERN = re.compile(r"[a-z]+{i}")


class Shape{i}:
    """A shape with a few methods."""

    scale = {i}

    def __init__(self, width, height=1, *, name="s{i}"):
        self.width = width
        self.height = height
        self.name = name

    def area(self):
        return self.width * self.height * self.scale

    def grow(self, by=1):
        return Shape{i}(self.width + by, self.height + by, name=self.name)

    @property
    def label(self):
        return f"{{self.name}}:{{self.area()}}"

    @classmethod
    def unit(cls):
        return cls(1, 1)

    @staticmethod
    def parse(text):
        match = _PATTERN.search(text)
        return match.group(0) if match else None

    def __repr__(self):
        return "Shape{i}(%r, %r)" % (self.width, self.height)


class Square{i}(Shape{i}):
    def __init__(self, side):
        super().__init__(side, side)

    def area(self):
        return super().area() + LIMIT_{i}


def total_{i}(shapes):
    return sum(s.area() for s in shapes if s.width > 0)


def table_{i}(n):
    rows = [[x * y for x in range(n)] for y in range(n)]
    return {{k: v for k, v in enumerate(rows) if sum(v) % 2 == 0}}


def counter_{i}(start=0):
    count = start

    def step(by=1):
        nonlocal count
        count += by
        return count
    return step


def numbers_{i}(limit):
    n = 0
    while n < limit:
        yield n * LIMIT_{i}
        n += 1


@functools.lru_cache(maxsize=None)
def fib_{i}(n):
    return n if n < 2 else fib_{i}(n - 1) + fib_{i}(n - 2)


def describe_{i}(value):
    try:
        if isinstance(value, dict):
            return {{key: describe_{i}(item) for key, item in value.items()}}
        if isinstance(value, (list, tuple)):
            return [describe_{i}(item) for item in value]
        with open(value) if False else _Null() as handle:
            return handle, str(value)
    except (TypeError, ValueError) as exc:
        return repr(exc)
    finally:
        _prev.LIMIT_{prev_i}


class _Null:
    def __enter__(self):
        return None

    def __exit__(self, *exc):
        return False


async def fetch_{i}(source, key):
    value = await source.get(key)
    return [v async for v in value] if hasattr(value, "__aiter__") else value


def sort_key_{i}(item):
    return (lambda pair: (pair[1], pair[0]))(item)
'''

_RUN = r'''
import sys, time
sys.path.insert(0, sys.argv[1])
if sys.argv[2] == "1":
    from tarnwick_collector import tracer

    class NullCore:
        def record_user_function_call(self, *args, **kwargs):
            return None

        def record_user_function_return_value(self, *args):
            pass

        def record_external_call(self, call, flag=0):
            return None

        def record_external_return_value(self, *args):
            pass

        def load_global_hook(self, obj, name):
            pass

        def load_attr_hook(self, obj, attr, result):
            pass

    project = tracer.install(sys.argv[1], NullCore())
import importlib
start = time.perf_counter()
if sys.argv[3:] != ["skip"]:  # (all but the import, for instruction counts)
    importlib.import_module("benchpkg")
    if sys.argv[2] == "1":
        assert len(project.modules) == {count}, len(project.modules)
elapsed = time.perf_counter() - start
print(elapsed)
'''


def make_package(root: str) -> None:
    pkg = os.path.join(root, "benchpkg")
    os.makedirs(pkg)
    names = [f"m{i:03d}" for i in range(MODULES)]
    with open(os.path.join(pkg, "__init__.py"), "w") as fh:
        fh.write("".join(f"from . import {n}\n" for n in names))
    for i, name in enumerate(names):
        prev_i = max(i - 1, 0)
        with open(os.path.join(pkg, name + ".py"), "w") as fh:
            fh.write(_MODULE.format(i=i, prev=names[prev_i], prev_i=prev_i))


def clear_caches(root: str) -> None:
    for directory, subdirs, _ in os.walk(root):
        if "__pycache__" in subdirs:
            shutil.rmtree(os.path.join(directory, "__pycache__"))
            subdirs.remove("__pycache__")


def _environment(write_cache: bool) -> Dict[str, str]:
    env = dict(os.environ)
    src = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [src, env.get("PYTHONPATH")]))
    if write_cache:
        env.pop("PYTHONDONTWRITEBYTECODE", None)
    else:
        env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def _command(root: str, recorded: bool, *rest: str) -> List[str]:
    code = _RUN.replace("{count}", str(MODULES + 1))
    return [sys.executable, "-c", code, root, "1" if recorded else "0", *rest]


def run_import(root: str, recorded: bool, write_cache: bool) -> float:
    out = subprocess.run(_command(root, recorded), env=_environment(write_cache),
                         check=True, capture_output=True, text=True)
    return float(out.stdout.strip())


def import_instructions(root: str, recorded: bool) -> Optional[int]:
    """Instructions the import statement costs with the caches as they are,
    counted by callgrind: a run that imports less one that does everything
    else. None without valgrind."""
    if shutil.which("valgrind") is None:
        return None
    totals = []
    for rest in ((), ("skip",)):
        out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                              *_command(root, recorded, *rest)],
                             env=_environment(False), check=True, capture_output=True, text=True)
        found = re.search(r"Collected : (\d+)", out.stderr)
        if found is None:
            raise RuntimeError(out.stderr[-2000:])
        totals.append(int(found.group(1)))
    return totals[0] - totals[1]


def main() -> None:
    root = tempfile.mkdtemp(prefix="tw-bench-import-")
    try:
        make_package(root)
        times: Dict[str, List[float]] = {k: [] for k in
                                         ("plain cold", "plain warm", "rec cold", "rec warm")}
        for _ in range(REPEAT):
            clear_caches(root)
            times["plain cold"].append(run_import(root, False, False))
            clear_caches(root)
            times["rec cold"].append(run_import(root, True, False))
            run_import(root, False, True)  # fill the interpreter's cache
            times["plain warm"].append(run_import(root, False, False))
            run_import(root, True, True)  # fill the cache of instrumented code
            times["rec warm"].append(run_import(root, True, False))
        best = {k: min(v) for k, v in times.items()}
        print(f"import of a package of {MODULES} modules "
              f"(plain: {best['plain cold'] * 1e3:.0f} ms cold, "
              f"{best['plain warm'] * 1e3:.0f} ms warm)")
        print(f"  under recording, cold cache     {best['rec cold'] / best['plain cold']:6.2f}x"
              f" plain cold  ({best['rec cold'] * 1e3:.0f} ms)")
        print(f"  under recording, warm cache     {best['rec warm'] / best['plain warm']:6.2f}x"
              f" plain warm  ({best['rec warm'] * 1e3:.0f} ms)")
        plain = import_instructions(root, False)
        recorded = import_instructions(root, True)
        if plain is None or recorded is None:
            print("  instructions: valgrind not found, skipped")
        else:
            print(f"  under recording, warm cache     {recorded / plain:6.2f}x"
                  f" plain warm in instructions ({recorded / 1e6:.0f} M against"
                  f" {plain / 1e6:.0f} M)")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
