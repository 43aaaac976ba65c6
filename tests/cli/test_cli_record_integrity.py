"""Recording leaves the program's results alone and stores what the program
saw: a global's property is not run again, metrics keep their fields when
followed objects die, and a call lost at the recursion limit is counted."""
import json
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.recording


def run(cwd, *args):
    return subprocess.run([sys.executable, *args], cwd=str(cwd),
                          capture_output=True, text=True, timeout=120)


def plain_and_recorded(tmp_path, source):
    (tmp_path / "prog.py").write_text(textwrap.dedent(source))
    store = str(tmp_path / "records.sqlite3")
    plain = run(tmp_path, "prog.py")
    recorded = run(tmp_path, "-m", "tarnwick_collector", "record", "--quiet",
                   "--store", store, "prog.py")
    assert plain.returncode == 0, plain.stderr
    return plain, recorded, store


def stats(tmp_path, store):
    proc = run(tmp_path, "-m", "tarnwick_collector", "stats", "--json",
               "--store", store)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def shown(tmp_path, store):
    proc = run(tmp_path, "-m", "tarnwick_collector", "show", "--store", store)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


COMPUTED_GLOBALS = """
    import itertools

    class IdSource:
        last = 0

        @property
        def next_id(self):
            IdSource.last += 1
            return IdSource.last

    class Tickets:
        def __init__(self):
            self.issued = []

        @property
        def ticket(self):
            self.issued.append(100 + len(self.issued))
            return self.issued[-1]

    class Proxy:
        asked = []

        def __getattr__(self, name):
            Proxy.asked.append(name)
            return name

    IDS = IdSource()
    TICKETS = Tickets()
    COUNTER = itertools.count(1)
    PX = Proxy()

    def new_order():
        return {"id": IDS.next_id, "ticket": TICKETS.ticket}

    def next_n():
        # A global count is refused by the pickler: never advanced by it.
        return next(COUNTER)

    def via_proxy():
        return PX.region

    print([new_order() for _ in range(5)], [next_n() for _ in range(3)])
    print([via_proxy() for _ in range(3)], Proxy.asked.count("region"))
"""


def test_computed_attributes_of_globals_are_not_run_again(tmp_path):
    plain, recorded, store = plain_and_recorded(tmp_path, COMPUTED_GLOBALS)
    assert recorded.stdout == plain.stdout
    assert "[{'id': 1, 'ticket': 100}, {'id': 2," in plain.stdout
    assert "}] [1, 2, 3]" in plain.stdout
    text = shown(tmp_path, store)
    # What each call's program code got is what its record holds.
    orders = [line for line in text.splitlines()
              if line.startswith("  globals used: IDS=")]
    assert len(orders) == 5
    for i, line in enumerate(orders, 1):
        issued = ", ".join(str(100 + k) for k in range(i))
        assert f"IDS=<__main__.IdSource: next_id={i}>" in line
        assert f"ticket={99 + i}" in line and f"issued=[{issued}]" in line


FRESH_OBJECTS = """
    class Part:
        def __init__(self, n):
            self.n = n

    class Source:
        @property
        def part(self):
            return Part(3)

    SRC = Source()

    def work(i):
        return SRC.part.n + i

    print(sum(work(i) for i in range(2000)))
"""


def test_metrics_keep_their_fields_when_followed_objects_die(tmp_path):
    plain, recorded, store = plain_and_recorded(tmp_path, FRESH_OBJECTS)
    assert recorded.stdout == plain.stdout
    report = stats(tmp_path, store)
    counters = report["counters"]
    counters = {c["counter"]: c["count"] for c in counters} \
        if isinstance(counters, list) else counters
    assert report["recorded_calls"] == 6000
    assert counters["collection_success"] == 6000
    assert counters["collection_try"] == 6000
    assert report["failures"] == []
    # Each call of the initializer reports it as an external function: the
    # metric written at a dead followed object's address keeps its name.
    assert report["external_functions"] == [
        {"function": "__main__.Part.__init__", "count": 2000}]


RECURSIVE = """
    import sys

    calls = 0

    def down(n):
        global calls
        calls += 1
        if n == 0:
            return 0
        return down(n - 1) + 1

    try:
        down(100000)
    except RecursionError:
        print("caught")
    print(down(10))
    with open("calls.txt", "w") as f:
        f.write(str(calls))
"""


def test_calls_lost_at_the_recursion_limit_are_counted(tmp_path):
    plain, recorded, store = plain_and_recorded(tmp_path, RECURSIVE)
    assert (recorded.returncode, recorded.stdout) == (0, plain.stdout)
    made = int((tmp_path / "calls.txt").read_text())
    report = stats(tmp_path, store)
    lost = {f["reason"].split(":")[0]: f["count"] for f in report["failures"]}
    assert set(lost) == {"recursion_limit"}
    assert report["recorded_calls"] + lost["recursion_limit"] == made
