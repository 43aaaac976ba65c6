"""How much of a library's own test suite becomes records.

    python tools/coverage_measure.py --root DIR --package DIR [--trust NAME]...
        [--store PATH] -- PYTEST_ARGS...

Runs the suite twice from DIR (the project root), plainly under a profile
hook that counts every call of a named function (not a lambda,
comprehension or module body; a generator once, at its first resumption; a
decorator's wrapper not apart from what it wraps) whose source lies under
the package directory, then under ``tarnwick record`` with that root. It
prints both outcomes (pytest's exit status and summary line) and the
share of the counted calls that became records, with the functions that
fell short, and, from ``stats``, the functions whose recording ended and
why."""
import argparse
import json
import os
import subprocess
import sys
import tempfile
from typing import Dict, List, Sequence, Tuple

_COUNTER = r"""
import collections, dis, json, os, sys
package = os.path.realpath(sys.argv[1])
out = sys.argv[2]
args = sys.argv[3:]
GEN = 0x20 | 0x80 | 0x200
first = {}
wrappers = set()
counts = collections.Counter()

def start_offset(code):
    if code not in first:
        first[code] = next((i.offset for i in dis.get_instructions(code)
                            if i.opname == "RESUME"), -1)
    return first[code]

def mine(path):
    return not path.startswith("<") and os.path.realpath(path).startswith(package + os.sep)

def profile(frame, event, arg):
    if event != "call":
        return
    code = frame.f_code
    if code.co_name.startswith("<") or code in wrappers or not mine(code.co_filename):
        return
    if code.co_flags & GEN and frame.f_lasti != start_offset(code):
        return
    counts[frame.f_globals.get("__name__", "?") + "."
           + getattr(code, "co_qualname", code.co_name)] += 1

class Wrappers:
    def pytest_collection_finish(self, session):
        for module in list(sys.modules.values()):
            path = getattr(module, "__file__", None) or ""
            if mine(path):
                for value in list(vars(module).values()):
                    if hasattr(value, "__wrapped__") and hasattr(value, "__code__"):
                        wrappers.add(value.__code__)

import pytest
sys.setprofile(profile)
status = pytest.main(args, plugins=[Wrappers()])
sys.setprofile(None)
with open(out, "w") as fh:
    json.dump({"status": int(status), "counts": counts}, fh)
"""


def _summary(text: str) -> str:
    lines = [ln for ln in text.splitlines() if " passed" in ln or " failed" in ln
             or " error" in ln]
    return lines[-1].strip("= ") if lines else "(no summary)"


def plain_run(root: str, package: str, pytest_args: List[str]) -> Tuple[int, str, Dict[str, int]]:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "counts.json")
        done = subprocess.run([sys.executable, "-c", _COUNTER, package, out, *pytest_args],
                              cwd=root, capture_output=True, text=True)
        with open(out) as fh:
            data = json.load(fh)
    return data["status"], _summary(done.stdout), data["counts"]


def recorded_run(root: str, store: str, trust: List[str], pytest_args: List[str],
                 record_args: Sequence[str] = ()) -> Tuple[int, str, str]:
    options = [opt for name in trust for opt in ("--trust", name)] + list(record_args)
    done = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "record", "--quiet",
         "--project-root", root, "--store", store, *options, "-m", "pytest", *pytest_args],
        cwd=root, capture_output=True, text=True)
    return done.returncode, _summary(done.stdout), done.stderr


def stats(root: str, store: str) -> dict:
    done = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "stats", "--json", "--store", store],
        cwd=root, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def recorded_counts(store: str) -> Dict[str, int]:
    from tarnwick_collector.store import sqlite_store

    conn = sqlite_store.open_for_reading(store)
    try:
        return {name: calls for name, calls, _ in sqlite_store.function_counts(conn, None)}
    finally:
        conn.close()


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--trust", action="append", default=[])
    parser.add_argument("--store")
    parser.add_argument("--record-arg", action="append", default=[],
                        help="an option passed on to tarnwick record (repeatable)")
    parser.add_argument("--show", type=int, default=15, help="functions listed")
    parser.add_argument("pytest_args", nargs="*")
    opts = parser.parse_args(argv)
    root, package = os.path.abspath(opts.root), os.path.abspath(opts.package)
    store = opts.store or os.path.join(tempfile.mkdtemp(), "records.sqlite3")
    args = ["-p", "no:cacheprovider", *opts.pytest_args]
    status, plain_summary, plain = plain_run(root, package, args)
    rstatus, recorded_summary, err = recorded_run(root, store, opts.trust, args,
                                                  opts.record_arg)
    print(f"plain:    exit {status}, {plain_summary}")
    print(f"recorded: exit {rstatus}, {recorded_summary}")
    if err.strip():
        print("recorder said:\n  " + "\n  ".join(err.strip().splitlines()[-5:]))
    got = recorded_counts(store)
    named = sum(plain.values())
    stored = sum(min(got.get(k, 0), n) for k, n in plain.items())
    print(f"coverage: {stored} of {named} calls of named functions recorded "
          f"= {100.0 * stored / max(named, 1):.1f}%   (store: {store})")
    short = sorted(((n - got.get(k, 0), k) for k, n in plain.items() if got.get(k, 0) < n),
                   reverse=True)
    for missing, name in short[:opts.show]:
        print(f"  {missing:>7} not recorded  {name}  ({got.get(name, 0)} of {plain[name]})")
    data = stats(root, store)
    for item in data.get("recording_ended", [])[:opts.show]:
        print(f"  ended: {item['function']} by {item['type']} ({item['calls_lost']} calls lost)")
    for item in data.get("failures", [])[:opts.show]:
        print(f"  failure: {item['count']:>6}  {item['reason'][:150]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
