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


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--store", required=True)
    p.add_argument("--project-root", required=True)
    p.add_argument("--mutants", type=int, default=40)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--timeout", type=float, default=120)
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
    caught = 0
    for mutant in chosen:
        result = caught_by(mutant, out, opts.timeout)
        hit = bool(result["failed"]) or result["status"] not in (0,)
        caught += hit
        print(f"  {'caught' if hit else 'MISSED'}  {os.path.basename(mutant.path)}:"
              f"{mutant.line} {mutant.function}: {mutant.description}"
              + (f"  ({len(result['failed'])} test(s))" if hit else ""))
    skipped = report.skipped_calls + sum(n for _, _, n in report.not_recorded)
    attempted = report.recorded + sum(n for _, _, n in report.not_recorded)
    numbers = {
        "tests": report.tests, "passed": passed, "failed": failed,
        "pass_rate": round(100 * passed / max(1, passed + failed), 1),
        "mutants": len(chosen), "mutants_of_recorded_functions": len(candidates),
        "caught": caught, "caught_rate": round(100 * caught / max(1, len(chosen)), 1),
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
