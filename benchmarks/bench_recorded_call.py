"""Instructions per recorded call, counted by callgrind (which does not
depend on the machine's load), on three workloads of small project calls
(benchmarks/workloads/calls.py): float arithmetic, a graph of small
objects, and calls into json, re and datetime.

For each workload and mode, the program runs twice under callgrind with
two sizes; the difference of the two totals divided by the difference of
the project calls is the cost of one call. A recording is first made once
unmeasured, so that both measured runs find the cache of instrumented
imports warm (a cold first run would make the difference, and the cost,
look smaller). Threads that numeric libraries start on import and leave
spinning are held to one, as they would count for both sizes alike only
by chance. Modes: plain, under a minimal
sys.setprofile recorder that pickles each call's locals and return value
(the baseline), and under `tarnwick record` (whose receiving subprocesses
are not counted: only what the program's process does). Skipped when
valgrind is missing."""
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
PROGRAM = HERE / "workloads" / "calls.py"

# Project calls per unit of N, per workload.
CALLS_PER_N = {"arith": 2, "graph": 3, "stdlib": 3}
SIZES = (20, 220)


ENV = dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONHASHSEED="0")


def _instructions(args, cwd):
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                          *args], cwd=cwd, capture_output=True, text=True, env=ENV)
    for line in out.stderr.splitlines():
        if "Collected" in line:
            return int(line.split()[-1])
    raise RuntimeError(out.stderr[-2000:])


def _args(kind, mode, n, tmp):
    if mode == "recorded":
        store = Path(tmp) / f"{kind}-{n}.sqlite3"
        return [sys.executable, "-m", "tarnwick_collector", "record", "--quiet",
                "--project-root", str(PROGRAM.parent), "--store", str(store),
                str(PROGRAM), kind, str(n), "plain"]
    return [sys.executable, str(PROGRAM), kind, str(n), mode]


def _per_call(kind, mode, tmp):
    subprocess.run(_args(kind, mode, 1, tmp), cwd=tmp, capture_output=True, env=ENV)
    totals = [_instructions(_args(kind, mode, n, tmp), tmp) for n in SIZES]
    calls = CALLS_PER_N[kind] * (SIZES[1] - SIZES[0])
    return (totals[1] - totals[0]) / calls


def main() -> None:
    if shutil.which("valgrind") is None:
        print("valgrind not found: skipped")
        return
    print(f"{'workload':<8} {'plain':>9} {'naive':>9} {'recorded':>10} {'rec/naive':>10}")
    with tempfile.TemporaryDirectory() as tmp:
        for kind in CALLS_PER_N:
            plain, naive, recorded = (_per_call(kind, mode, tmp)
                                      for mode in ("plain", "naive", "recorded"))
            print(f"{kind:<8} {plain:>9.0f} {naive:>9.0f} {recorded:>10.0f} "
                  f"{recorded / naive:>9.1f}x")
    print("(instructions per project call; the goal is rec/naive at most 2x)")


if __name__ == "__main__":
    main()
