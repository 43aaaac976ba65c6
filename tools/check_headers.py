"""Compiles every C++ source against the headers of each Python found on
this machine (syntax only, warnings on), so that a change that builds here
but not for another supported version is caught before it ships.

Interpreters are looked for as ``python3.X`` on PATH and under pyenv's
versions folder; ``--python PATH`` (repeatable) names them instead. Exits
non-zero if any source fails for any of them."""
import argparse
import glob
import os
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUPPORTED = [(3, minor) for minor in range(8, 14)]


def interpreters():
    found = {}
    pyenv = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    for major, minor in SUPPORTED:
        name = f"python{major}.{minor}"
        candidates = sorted(glob.glob(os.path.join(pyenv, "versions", f"{major}.{minor}.*",
                                                   "bin", name)))
        on_path = shutil.which(name)
        if on_path:
            candidates.append(on_path)
        for path in candidates:
            if os.access(path, os.X_OK):
                found[(major, minor)] = path
                break
    return [found[v] for v in sorted(found)]


def include_dir(python):
    out = subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"],
        capture_output=True, text=True, check=True)
    return out.stdout.strip()


def sources():
    out = subprocess.run(["git", "ls-files", "src/*.cpp"], cwd=ROOT,
                         capture_output=True, text=True, check=True)
    return out.stdout.split()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", default=[],
                        help="an interpreter to check against (repeatable)")
    parser.add_argument("--cxx", default=os.environ.get("CXX", "c++"))
    args = parser.parse_args()
    pythons = args.python or interpreters()
    if not pythons:
        print("check_headers: no Python interpreter found", file=sys.stderr)
        return 2
    failed = 0
    for python in pythons:
        include = include_dir(python)
        problems = []
        for source in sources():
            cmd = [args.cxx, "-fsyntax-only", "-std=c++17", "-Wall", "-Wextra",
                   "-Werror", "-I", os.path.join(ROOT, "src", "native"),
                   "-I", os.path.dirname(os.path.join(ROOT, source)), "-I", include,
                   os.path.join(ROOT, source)]
            proc = subprocess.run(cmd, capture_output=True, text=True)
            if proc.returncode != 0:
                problems.append((source, proc.stderr.strip().splitlines()[:3]))
        print(f"{python}: {'ok' if not problems else f'{len(problems)} failed'}")
        for source, lines in problems:
            print(f"  {source}")
            for line in lines:
                print(f"    {line}")
        failed += len(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
