"""Recording coverage: on a bundled workload that passes around the values
real programs do (benchmarks/coverage_workload), the share of the calls of
its named functions that become records.

The denominator is counted by a profile hook in a plain run: every call of
a function of the workload's files whose code has a name (not a lambda,
comprehension or module body); a generator's call is counted once, at its
first resumption, and a decorator's wrapper (a function with __wrapped__)
not apart from the function it wraps. The numerator is the records a `tarnwick record` run of
the same program stored. Both runs are made here, one after the other."""
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
WORKLOAD = HERE / "coverage_workload"

_COUNTER = r"""
import collections, dis, json, os, sys
root = os.path.realpath(sys.argv[1])
sys.path.insert(0, root)
GEN = 0x20 | 0x80 | 0x200          # generator, coroutine, async generator
first = {}
wrappers = set()
counts = collections.Counter()

def start_offset(code):
    # 3.8-3.10 start a generator's frame at f_lasti -1; later versions at
    # its first RESUME.
    if code not in first:
        first[code] = next((i.offset for i in dis.get_instructions(code)
                            if i.opname == "RESUME"), -1)
    return first[code]

def profile(frame, event, arg):
    if event != "call":
        return
    code = frame.f_code
    path = code.co_filename
    if code.co_name.startswith("<") or path.startswith("<") or \
            not os.path.realpath(path).startswith(root + os.sep):
        return
    if code in wrappers:
        return
    if code.co_flags & GEN and frame.f_lasti != start_offset(code):
        return
    counts[getattr(code, "co_qualname", code.co_name)] += 1

import run
# A decorator's wrapper and the function it wraps are one logical call.
for module in list(sys.modules.values()):
    path = getattr(module, "__file__", None) or ""
    if os.path.realpath(path).startswith(root + os.sep):
        for value in vars(module).values():
            if hasattr(value, "__wrapped__") and hasattr(value, "__code__"):
                wrappers.add(value.__code__)
sys.setprofile(profile)
run.main()
sys.setprofile(None)
print(json.dumps(counts))
"""


def _plain_counts(work: Path) -> dict:
    out = subprocess.run([sys.executable, "-c", _COUNTER, str(work)],
                         cwd=work, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def _recorded_counts(work: Path) -> dict:
    store = work / "records.sqlite3"
    subprocess.run([sys.executable, "-m", "tarnwick_collector", "record", "--quiet",
                    "--project-root", str(work), "--store", str(store), "run.py"],
                   cwd=work, check=True, capture_output=True, text=True)
    shown = subprocess.run([sys.executable, "-m", "tarnwick_collector", "stats", "--json",
                            "--store", str(store)],
                           cwd=work, check=True, capture_output=True, text=True)
    stats = json.loads(shown.stdout)
    counts: dict = {}
    for item in stats["functions"]:
        name = item["function"].split(".", 1)[-1]
        counts[name] = counts.get(name, 0) + item["calls"]
    return counts


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp) / "workload"
        shutil.copytree(WORKLOAD, work)
        plain = _plain_counts(work)
        recorded = _recorded_counts(work)
    named = sum(plain.values())
    stored = sum(min(recorded.get(k, 0), n) for k, n in plain.items())
    print(f"recording coverage: {stored} of {named} calls of named functions "
          f"recorded = {100.0 * stored / max(named, 1):.1f}%")
    short = sorted((k for k in plain if recorded.get(k, 0) < plain[k]),
                   key=lambda k: -(plain[k] - recorded.get(k, 0)))
    for name in short:
        print(f"  {name:<28} {recorded.get(name, 0):>5} of {plain[name]:>5} recorded")


if __name__ == "__main__":
    main()
