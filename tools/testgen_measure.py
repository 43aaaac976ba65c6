"""Measure ``tarnwick generate-tests`` on a recorded program: how many
generated tests pass on the unchanged program, how many simple mutants of
the recorded functions they catch, how many recorded calls were skipped.

    python tools/testgen_measure.py --store S --project-root DIR [--mutants N]

Writes the tests into DIR/tests/generated (replacing what an earlier run of
the generator wrote there) and mutates the program's files in place, one
mutant at a time, putting each file back afterwards.
"""
import argparse
import json
import os
import random
import sys

from tarnwick_collector.store import sqlite_store
from tarnwick_collector.store.render import RecordView
from tarnwick_collector.testgen import generate
from tarnwick_collector.testgen.mutants import caught_by, mutants_of, run_tests


def recorded_functions(store):
    """{source path: {qualified names}} of the recorded calls."""
    conn = sqlite_store.open_for_reading(store)
    out = {}
    try:
        session = sqlite_store.resolve_runs(conn, "last")
        for row in sqlite_store.iter_data_rows(conn, session):
            view = RecordView.from_row(row)
            if not view.full_path or not view.full_name or not view.module:
                continue
            qual = view.full_name[len(view.module) + 1:]
            out.setdefault(view.full_path, set()).add(qual)
    finally:
        conn.close()
    return out


_TRACER = """
import json, os, runpy, sys, threading
root, driver, out = sys.argv[1:4]
root = os.path.join(os.path.abspath(root), "")
seen = set()
def tracer(frame, event, arg):
    path = frame.f_code.co_filename
    if not path.startswith(root):
        return None
    def lines(frame, event, arg):
        if event == "line":
            seen.add((frame.f_code.co_filename, frame.f_lineno))
        return lines
    return lines
sys.settrace(tracer)
threading.settrace(tracer)
sys.argv = [driver]
try:
    runpy.run_path(driver, run_name="__main__")
finally:
    sys.settrace(None)
    with open(out, "w") as fh:
        json.dump(sorted(seen), fh)
"""


def executed_lines(driver, project_root):
    """{path: {line numbers}} the driver runs of the project's files (a line
    tracer, without recording)."""
    import subprocess
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "lines.json")
        script = os.path.join(tmp, "trace.py")
        with open(script, "w") as fh:
            fh.write(_TRACER)
        subprocess.run([sys.executable, script, project_root, driver, out],
                       cwd=os.path.dirname(os.path.abspath(driver)), check=True,
                       capture_output=True)
        with open(out) as fh:
            pairs = json.load(fh)
    lines = {}
    for path, line in pairs:
        lines.setdefault(path, set()).add(line)
    return lines


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--store", required=True)
    p.add_argument("--project-root", required=True)
    p.add_argument("--mutants", type=int, default=40)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--timeout", type=float, default=120)
    p.add_argument("--driver", help="the recorded script: mutants on lines it ran are "
                                    "counted apart")
    opts = p.parse_args()
    out = os.path.join(opts.project_root, "tests", "generated")
    report = generate(opts.store, out, project_root=opts.project_root)
    for line in report.lines():
        if not line.startswith("    #"):
            print(line)
    clean = run_tests(out, opts.timeout)
    print("unchanged program:", clean["summary"])
    for failed in clean["failed"]:
        print("  failed:", failed)
    passed = failed = 0
    summary = clean["summary"]
    for part in summary.replace(" in ", ", ").split(", "):
        words = part.split()
        if len(words) == 2 and words[1] == "passed":
            passed = int(words[0])
        if len(words) == 2 and words[1] in ("failed", "errors", "error"):
            failed += int(words[0])
    candidates = []
    for path, functions in sorted(recorded_functions(opts.store).items()):
        if os.path.exists(path):
            candidates.extend(mutants_of(path, functions))
    rng = random.Random(opts.seed)
    chosen = candidates if len(candidates) <= opts.mutants else \
        rng.sample(candidates, opts.mutants)
    ran = executed_lines(opts.driver, opts.project_root) if opts.driver else None
    caught = caught_ran = on_ran = 0
    for mutant in chosen:
        result = caught_by(mutant, out, opts.timeout)
        # Caught: a test fails that passes on the unchanged program, or the
        # tests no longer run (status beyond "some failed").
        hit = bool(set(result["failed"]) - set(clean["failed"])) or \
            result["status"] not in (0, 1)
        caught += hit
        was_run = ran is not None and mutant.line in ran.get(mutant.path, ())
        on_ran += was_run
        caught_ran += hit and was_run
        print(f"  {'caught' if hit else 'MISSED'}  {os.path.basename(mutant.path)}:"
              f"{mutant.line} {mutant.function}: {mutant.description}"
              + (f"  ({len(set(result['failed']) - set(clean['failed']))} test(s))" if hit else "")
              + ("" if ran is None or was_run else "  [line not run by the driver]"))
    skipped = report.skipped_calls + sum(n for _, _, n in report.not_recorded)
    attempted = report.recorded + sum(n for _, _, n in report.not_recorded)
    numbers = {
        "tests": report.tests, "passed": passed, "failed": failed,
        "pass_rate": round(100 * passed / max(1, passed + failed), 1),
        "mutants": len(chosen), "mutants_of_recorded_functions": len(candidates),
        "caught": caught, "caught_rate": round(100 * caught / max(1, len(chosen)), 1),
        "mutants_on_lines_run": on_ran if ran is not None else None,
        "caught_on_lines_run": caught_ran if ran is not None else None,
        "caught_rate_on_lines_run": round(100 * caught_ran / max(1, on_ran), 1)
        if ran is not None else None,
        "recorded_calls": report.recorded, "skipped_calls": report.skipped_calls,
        "skipped_rate": round(100 * report.skipped_calls / max(1, report.recorded), 1),
        "not_recorded_calls": attempted - report.recorded,
        "skipped_or_not_recorded_rate": round(100 * skipped / max(1, attempted), 1),
        "over_per_function_limit": report.over_limit,
    }
    print(json.dumps(numbers, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
