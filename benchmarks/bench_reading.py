"""Cost of reading a store back with ``tarnwick show``, each figure against
a baseline measured in the same run, on a store made by recording a
workload (a ledger posting rows, so that each call holds an object with a
list of tuples of strings):

- ``show --limit 20`` and ``show --function`` of a function with 1% of the
  calls, against showing every call: what selecting in the store's index
  before decoding saves;
- ``show --limit 20`` of the latest of three recordings, against the same
  of a store holding that recording alone: what the older runs cost;
- ``show --json`` of every call, against the text of every call: JSON
  values are whole where the text shortens them.
"""
import contextlib
import io
import os
import subprocess
import sys
import tempfile
import time

REPEAT = 3

LEDGER = '''
class Book:
    def __init__(self, name):
        self.name = name
        self.entries = []

    def add(self, account, amount, memo):
        self.entries.append((account, amount, memo))
        del self.entries[:-40]
        return len(self.entries)


def post(book, rows):
    total = 0
    for account, amount in rows:
        total += book.add(account, amount, "memo " * 20)
    return {"total": total, "accounts": sorted({a for a, _ in rows})}


def report(book, accounts):
    return {a: len([e for e in book.entries if e[0] == a]) for a in accounts}
'''

APP = '''
import ledger

book = ledger.Book("main")
for i in range({rounds}):
    ledger.post(book, [("acct%d" % (j % 7), i * j) for j in range(30)])
    if i % 3 == 0:
        ledger.report(book, ["acct%d" % j for j in range(7)])
'''


def _record(project: str, store: str, rounds: int) -> None:
    with open(os.path.join(project, "app.py"), "w") as f:
        f.write(APP.format(rounds=rounds))
    subprocess.run([sys.executable, "-m", "tarnwick_collector", "record", "--quiet",
                    "--store", store, "app.py"], cwd=project, check=True,
                   stdout=subprocess.DEVNULL)


def _show(*argv: str) -> float:
    """The best time of ``tarnwick show ARGV`` in this process."""
    from tarnwick_collector.cli import main

    best = float("inf")
    for _ in range(REPEAT):
        sink = io.StringIO()
        start = time.perf_counter()
        with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(io.StringIO()):
            status = main(["show", "--quiet", *argv])
        best = min(best, time.perf_counter() - start)
        assert status == 0
    return best


def main() -> None:
    with tempfile.TemporaryDirectory() as project:
        with open(os.path.join(project, "ledger.py"), "w") as f:
            f.write(LEDGER)
        one = os.path.join(project, "one.sqlite3")
        three = os.path.join(project, "three.sqlite3")
        _record(project, one, 60)
        for _ in range(3):
            _record(project, three, 60)
        every = _show("--store", one)
        print(f"show of every call (baseline): {every * 1000:.0f} ms")
        print(f"show --limit 20: {_show('--store', one, '--limit', '20') / every:.3f}"
              " x every call")
        print(f"show --function report (1 call in 100): "
              f"{_show('--store', one, '--function', 'report') / every:.3f} x every call")
        alone = _show("--store", one, "--limit", "20")
        latest = _show("--store", three, "--limit", "20")
        print(f"show --limit 20 of the latest of three recordings: {latest / alone:.2f}"
              " x the same recording alone")
        print(f"show --json of every call: {_show('--store', one, '--json') / every:.2f}"
              " x its text")


if __name__ == "__main__":
    main()
