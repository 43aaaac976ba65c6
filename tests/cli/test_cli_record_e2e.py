"""End to end: ``tarnwick record`` runs real programs in a subprocess, the
channels' subprocesses fill the store, ``show`` and ``stats`` read it back."""
import json
import sqlite3
import subprocess
import sys
import textwrap

import pytest

from tarnwick_collector.store import sqlite_store


pytestmark = pytest.mark.recording


def run(args, cwd, **kwargs):
    return subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=300,
                          **kwargs)


def tarnwick(*args, cwd):
    return run([sys.executable, "-m", "tarnwick_collector", *args], cwd)


def plain(script, cwd):
    return run([sys.executable, script], cwd)


def write(root, name, code):
    path = root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(code))
    return path


def query(store, sql, *params):
    conn = sqlite3.connect(store)
    try:
        return conn.execute(sql, params).fetchall()
    finally:
        conn.close()


def stored_counters(store):
    """Metrics stored per counter, as rows or as counts."""
    conn = sqlite3.connect(store)
    try:
        totals = {}
        for counter, _, n in sqlite_store.metric_counts(conn, None):
            totals[counter] = totals.get(counter, 0) + n
        return totals
    finally:
        conn.close()


def channel_run(store, channel):
    conn = sqlite3.connect(store)
    conn.row_factory = sqlite3.Row
    try:
        return dict(conn.execute(
            "SELECT * FROM channel_runs WHERE channel = ?", (channel,)).fetchone())
    finally:
        conn.close()


APP = """
    import json, os, random, time
    from helpers import Counter, scale

    LIMITS = {"top": 10}

    def total(values):
        return sum(scale(v) for v in values)

    def parse(text):
        return json.loads(text)

    def main():
        random.seed(1)
        c = Counter()
        for i in range(5):
            c.add(i)
        print("total", total([1, 2, 3]))
        print("parsed", parse('{"a": 1}'))
        try:
            parse("{not json")
        except ValueError as exc:
            print("bad json:", type(exc).__name__)
        print("top", LIMITS["top"], "rand", round(random.random(), 3), c.value)
        print("home set:", "HOME" in os.environ, time.time() > 0)

    main()
"""

HELPERS = """
    class Counter:
        def __init__(self):
            self.value = 0

        def add(self, n):
            self.value += n
            return self.value

    def scale(v):
        return v * 10
"""


@pytest.fixture
def project(tmp_path):
    write(tmp_path, "app.py", APP)
    write(tmp_path, "helpers.py", HELPERS)
    return tmp_path


def test_record_show_and_stats_agree_with_the_store(project):
    expected = plain("app.py", project)
    proc = tarnwick("record", "app.py", cwd=project)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == expected.stdout
    assert "tarnwick: recorded" in proc.stderr
    store = str(project / ".tarnwick" / "records.sqlite3")
    (rows,), = query(store, "SELECT COUNT(*) FROM data_messages")
    assert rows > 0 and rows == stored_counters(store)["collection_success"]
    assert query(store, "SELECT COUNT(*) FROM data_messages WHERE full_name IS NULL") == [(0,)]
    names = {n for (n,) in query(store, "SELECT full_name FROM data_messages")}
    assert {"helpers.Counter.add", "helpers.scale"} <= {n.replace("__main__.", "")
                                                        for n in names} | names

    shown = tarnwick("show", cwd=project)
    assert shown.returncode == 0, shown.stderr
    headers = [line for line in shown.stdout.splitlines() if line.startswith("#")]
    assert len(headers) == rows
    records = json.loads(tarnwick("show", "--json", cwd=project).stdout)["calls"]
    assert len(records) == rows
    adds = [r for r in records if r["function"] == "helpers.Counter.add"]
    assert len(adds) == 5 and all("self" in r["arguments_before"] for r in adds)
    assert [r["returned"] for r in adds] == [0, 1, 3, 6, 10]
    assert [r["arguments_before"]["n"] for r in adds] == [0, 1, 2, 3, 4]

    stats = json.loads(tarnwick("stats", "--json", cwd=project).stdout)
    counters = {}
    for item in stats["counters"]:
        counters[item["counter"]] = counters.get(item["counter"], 0) + item["count"]
    assert counters["collection_success"] == rows
    assert stats["recorded_calls"] == rows
    assert {c["channel"]: c["sent"] == c["stored"] for c in stats["channels"]} == {
        "data": True, "metrics": True}


BURST = """
    import sys
    from work import double

    n = int(sys.argv[1])
    acc = 0
    for i in range(n):
        acc += double(i)
    print(acc)
"""


@pytest.mark.parametrize("buffer", [None, "50"])
def test_a_burst_of_ten_thousand_calls_arrives_or_is_reported(tmp_path, buffer):
    write(tmp_path, "burst.py", BURST)
    write(tmp_path, "work.py", "def double(i):\n    return i * 2\n")
    options = ["--buffer-messages", buffer] if buffer else []
    proc = tarnwick("record", *options, "burst.py", "10000", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"{sum(i * 2 for i in range(10000))}\n"
    store = str(tmp_path / ".tarnwick" / "records.sqlite3")
    (rows,), = query(store, "SELECT COUNT(*) FROM data_messages WHERE full_name = 'work.double'")
    data = channel_run(store, "data")
    assert data["sent"] >= 10000
    not_stored = data["dropped_full"] + data["dropped_down"] + data["lost"]
    assert data["stored"] + not_stored == data["sent"]
    assert rows == 10000 - not_stored
    if not_stored:
        assert "tarnwick: data channel:" in proc.stderr
    else:
        assert rows == 10000


KILLER = """
    import os, signal, time
    from tarnwick_collector.configs.collector_settings import CollectorSettings
    from steps import step

    def kill(channel):
        pid = getattr(channel, "pid", None)
        if pid:  # only when recorded
            os.kill(pid, signal.SIGKILL)
            time.sleep(0.2)

    out = []
    for i in range(300):
        out.append(step(i))
        if i == 100:
            kill(CollectorSettings.data_subprocess)
        if i == 200:
            kill(CollectorSettings.metrics_subprocess)
    print(sum(out), len(out))
    print("done")
"""


def test_killing_a_channel_subprocess_leaves_the_output_unchanged(tmp_path):
    write(tmp_path, "killer.py", KILLER)
    write(tmp_path, "steps.py", "def step(i):\n    return i + 1\n")
    expected = plain("killer.py", tmp_path)
    assert expected.returncode == 0, expected.stderr
    proc = tarnwick("record", "killer.py", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == expected.stdout
    store = str(tmp_path / ".tarnwick" / "records.sqlite3")
    for channel in ("data", "metrics"):
        summary = channel_run(store, channel)
        assert summary["restarts"] == 1
        assert summary["stored"] + summary["lost"] + summary["dropped_full"] + \
            summary["dropped_down"] == summary["sent"]
    (late,), = query(store, "SELECT COUNT(*) FROM data_messages WHERE full_name = 'steps.step'"
                            " AND id > (SELECT MIN(id) FROM data_messages)")
    assert late > 0


@pytest.mark.parametrize("code, status", [
    ("import sys\nprint('bye')\nsys.exit(3)\n", 3),
    ("print('bye')\nraise SystemExit('fatal: reason')\n", 1),
    ("def f():\n    raise KeyError('k')\nprint('bye')\nf()\n", 1),
])
def test_exit_status_and_traceback_are_the_programs(tmp_path, code, status):
    write(tmp_path, "prog.py", code)
    expected = plain("prog.py", tmp_path)
    proc = tarnwick("record", "--quiet", "prog.py", cwd=tmp_path)
    assert (proc.returncode, proc.stdout) == (status, expected.stdout) == \
        (expected.returncode, expected.stdout)
    assert proc.stderr == expected.stderr


def test_record_a_module_with_arguments(tmp_path):
    write(tmp_path, "pkg/__init__.py", "")
    write(tmp_path, "pkg/__main__.py", """
        import sys
        from pkg.core import shout
        print(shout(" ".join(sys.argv[1:])))
    """)
    write(tmp_path, "pkg/core.py", "def shout(text):\n    return text.upper() + '!'\n")
    proc = tarnwick("record", "-m", "pkg", "hello", "--limit", "3", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "HELLO --LIMIT 3!\n"
    records = json.loads(tarnwick("show", "--json", "--function", "shout",
                                  cwd=tmp_path).stdout)["calls"]
    assert [r["arguments_before"] for r in records] == [{"text": "hello --limit 3"}]
    assert records[0]["returned"] == "HELLO --LIMIT 3!"


def test_arguments_are_named_for_each_kind_of_method(tmp_path):
    write(tmp_path, "kinds.py", """
        class Meta(type):
            def describe(cls, label):
                return label

        class Shop(metaclass=Meta):
            def __new__(cls, name):
                return super().__new__(cls)

            def __init__(self, name):
                self.name = name

            @classmethod
            def open(cls, name, city="Oslo"):
                return cls(name)

            def rename(self, name):
                self.name = name

        shop = Shop.open("north")
        shop.rename("south")
        Shop.describe("tag")
    """)
    proc = tarnwick("record", "kinds.py", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    records = json.loads(tarnwick("show", "--json", cwd=tmp_path).stdout)["calls"]
    named = {r["function"].rsplit(".", 1)[-1]: list(r["arguments_before"])
             for r in records}
    assert named == {
        "open": ["name", "city"],           # the class is left out
        "__new__": ["cls", "name"],         # the class is an argument
        "__init__": ["name"],               # run by calling the class
        "rename": ["self", "name"],
        "describe": ["cls", "label"],       # a metaclass keeps its class
    }


def test_an_initializer_taking_instances_of_its_class_is_named_by_what_it_built(tmp_path):
    # Without the instance the class call returned, the first argument, of
    # the initializer's own class, would pass for the receiver.
    write(tmp_path, "tree.py", """
        class Node:
            def __init__(self, *children):
                self.children = children

        Node(Node())
    """)
    proc = tarnwick("record", "tree.py", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    records = json.loads(tarnwick("show", "--json", cwd=tmp_path).stdout)["calls"]
    assert [list(r["arguments_before"]) for r in records] == [[], ["*children[0]"]]


def test_demo_prints_the_recorded_calls(tmp_path):
    proc = tarnwick("demo", "--store", str(tmp_path / "demo.sqlite3"), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "order 1: 2 x notebook, 5 x pen" in out
    assert "calls were recorded" in out
    assert "shop.orders.place_order(" in out
    assert "collection_success" in out


def test_in_process_recording_completes_the_store_at_exit(tmp_path):
    write(tmp_path, "mod.py", "def f(x):\n    return x + 1\n")
    write(tmp_path, "main.py", """
        import tarnwick_collector
        from tarnwick_collector.channels import open_channels

        data, metrics = open_channels(project_path=".")
        tarnwick_collector.start(project_path=".", data_channel=data,
                                 metrics_channel=metrics)
        import mod
        print(sum(mod.f(i) for i in range(20)))
    """)
    proc = plain("main.py", tmp_path)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "210\n", "")
    store = str(tmp_path / ".tarnwick" / "records.sqlite3")
    counts = stored_counters(store)
    assert counts["start_events"] == counts["exit_events"] == 1
    assert counts["collection_success"] == 20
    assert query(store, "SELECT COUNT(*) FROM data_messages WHERE full_name = 'mod.f'") == [(20,)]


def test_record_options_reach_the_collector(project):
    proc = tarnwick("record", "--tenant-id", "acme", "--project-id", "shop",
                    "--external-calls-max", "1", "--sampling-rate", "0.5",
                    "app.py", cwd=project)
    assert proc.returncode == 0, proc.stderr
    store = str(project / ".tarnwick" / "records.sqlite3")
    settings = dict(query(store, "SELECT kind, attributes FROM metric_messages WHERE kind IN"
                                 " ('SamplingRateWasSet', 'ExternalCallsMaxLimitWasSet')"))
    assert json.loads(settings["SamplingRateWasSet"])["sampling_rate"] == 0.5
    assert json.loads(settings["ExternalCallsMaxLimitWasSet"])["external_calls_max"] == 1
    tenants = query(store, "SELECT DISTINCT json_extract(attributes, '$.tenant_id'),"
                           " json_extract(attributes, '$.project_id') FROM metric_messages")
    assert tenants == [("acme", "shop")]
    (rows,), = query(store, "SELECT COUNT(*) FROM data_messages")
    assert rows == stored_counters(store).get("collection_success", 0)
    records = json.loads(tarnwick("show", "--json", cwd=project).stdout)["calls"]
    assert all(len(r["external_calls"]) <= 1 for r in records)


def test_class_methods_of_native_classes_are_recorded_as_external_calls(tmp_path):
    # datetime.now is a class method of a native class, bound to the class:
    # the call the program most wants replaced in a test.
    write(tmp_path, "clock.py", """
        import datetime

        def stamp():
            return datetime.datetime.now().year > 2000

        stamp()
    """)
    proc = tarnwick("record", "clock.py", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    (record,) = json.loads(tarnwick("show", "--json", cwd=tmp_path).stdout)["calls"]
    assert [c["function"] for c in record["external_calls"]] == [
        "datetime.datetime.now"]
