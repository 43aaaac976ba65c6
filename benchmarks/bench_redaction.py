"""What redaction adds to safe pickling, in instructions counted by
callgrind (which does not depend on the machine's load).

Each case pickles one value of bench_pickler's corpus (the nested structure
of 10,000 elements, the 1,000 instances) in a process of its own, twice
under callgrind with two numbers of dumps; the difference of the two totals
divided by the difference of the dumps is the cost of one dump. Cases:
``pickle.dumps``, ``safe_pickle`` with redaction off, with the default
patterns (no name in the value matches), and with the default patterns on
the same value holding one secret entry (its dump is made again redacted).
Skipped when valgrind is missing."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
DUMPS = (2, 12)
VALUES = ("nested", "instances")
CASES = ("pickle.dumps", "off", "on", "on, one secret")


def _value(name, secret):
    sys.path.insert(0, str(HERE))
    from bench_pickler import Record, _nested  # type: ignore[import-not-found]  # beside this file

    value = _nested(10_000) if name == "nested" else [Record(i) for i in range(1000)]
    if secret:
        value.append({"password": "hunter22"})
    return value


def worker(name, case, dumps):
    import pickle

    from tarnwick_collector.configs.collector_settings import CollectorSettings
    from tarnwick_collector.data_serialization.pickler import safe_pickle

    value = _value(name, case == "on, one secret")
    if case == "off":
        CollectorSettings.redact_patterns = ()
    dump = (lambda v: pickle.dumps(v, 4)) if case == "pickle.dumps" else safe_pickle
    for _ in range(dumps):
        dump(value)


def _instructions(name, case, dumps):
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         sys.executable, str(Path(__file__).resolve()), "--worker", name, case, str(dumps)],
        capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"})
    for line in out.stderr.splitlines():
        if "Collected" in line:
            return int(line.split()[-1])
    raise RuntimeError(out.stderr[-2000:])


def _per_dump(name, case):
    low, high = (_instructions(name, case, n) for n in DUMPS)
    return (high - low) / (DUMPS[1] - DUMPS[0])


def main() -> None:
    if shutil.which("valgrind") is None:
        print("valgrind not found: skipped")
        return
    print(f"{'value':<10} {'case':<16} {'instructions':>13} {'/pickle.dumps':>14}")
    for name in VALUES:
        cost = {case: _per_dump(name, case) for case in CASES}
        base = cost["pickle.dumps"]
        for case in CASES:
            print(f"{name:<10} {case:<16} {cost[case]:>13,.0f} {cost[case] / base:>13.3f}x")
        print(f"{name:<10} redaction adds {(cost['on'] - cost['off']) / base:+.1%} of "
              f"pickle.dumps when no name matches")
    print("(instructions per dump; a value holding a secret is dumped twice)")


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main()
