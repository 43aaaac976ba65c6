"""Measure ``tarnwick generate-tests`` on a recorded program: how many
generated tests pass on the unchanged program, how many simple mutants of
the recorded functions they catch, how many recorded calls were skipped.

    python tools/testgen_measure.py --store S --project-root DIR [--mutants N]

Writes the tests into DIR/tests/generated (replacing what an earlier run of
the generator wrote there) and mutates the program's files in place, one
mutant at a time, putting each file back afterwards. The functions of the
program's test suite are left out of both the tests and the mutants, as the
generator leaves them out (``--test-suite`` puts them back); the skipped
share is given over the program's own calls and over all recorded calls.
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
from tarnwick_collector.testgen.reader import is_test_suite_module


def recorded_functions(store, test_suite=False):
    """{source path: {qualified names}} of the recorded calls (those of the
    test suite's own functions only when ``test_suite``, as the generator
    leaves them out by default)."""
    conn = sqlite_store.open_for_reading(store)
    out = {}
    try:
        session = sqlite_store.resolve_runs(conn, "last")
        for row in sqlite_store.iter_data_rows(conn, session):
            view = RecordView.from_row(row)
            if not view.full_path or not view.full_name or not view.module:
                continue
            if not test_suite and is_test_suite_module(view.module):
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
    p.add_argument("--test-suite", action="store_true",
                   help="generate tests of the test suite's own functions too, and "
                        "mutate them")
    p.add_argument("--driver", help="the recorded script: mutants on lines it ran are "
                                    "counted apart")
    opts = p.parse_args()
    out = os.path.join(opts.project_root, "tests", "generated")
    report = generate(opts.store, out, project_root=opts.project_root,
                      test_suite=opts.test_suite)
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
    for path, functions in sorted(recorded_functions(opts.store, opts.test_suite).items()):
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
    skipped = report.skipped_calls + report.test_suite + \
        sum(n for _, _, n in report.not_recorded)
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
        "recorded_calls": report.recorded,
        "test_suite_calls_left_out": report.test_suite,
        "skipped_calls": report.skipped_calls,
        # Over the program's own calls, then over all recorded calls with
        # those of the test suite counted as not tested.
        "skipped_rate": round(report.skipped_rate(), 1),
        "skipped_or_left_out_rate": round(report.untested_rate(), 1),
        "not_recorded_calls": attempted - report.recorded,
        "skipped_or_not_recorded_rate": round(100 * skipped / max(1, attempted), 1),
        "over_per_function_limit": report.over_limit,
    }
    print(json.dumps(numbers, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
