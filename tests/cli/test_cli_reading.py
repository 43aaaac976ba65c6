"""``tarnwick show`` and ``tarnwick stats`` on a store filled with messages
shaped like the collector's, and bad input at the command line."""
import hashlib
import json
import os
import subprocess
import sys

import pytest

import tw_record_fakes as fakes
from tarnwick_collector.channels import close_channels, open_channels


def tarnwick(*args, cwd=None, env=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-m", "tarnwick_collector", *args],
                          cwd=cwd, env=full_env, capture_output=True, text=True,
                          timeout=120)


def one_line_error(proc):
    lines = proc.stderr.strip().splitlines()
    assert proc.returncode != 0
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith("tarnwick: error: ")
    assert "Traceback" not in proc.stderr
    return lines[0]


def digest(path):
    with open(path, "rb") as fh:
        return hashlib.sha256(fh.read()).hexdigest()


CALLS = [
    fakes.user_call("shop.pricing.order_total", args=([("pen", 2)],), params=("lines",),
                    returned=12.5, external=(("random.random", 0.3),)),
    fakes.user_call("shop.catalog.Product.reserve",
                    args=(fakes.instance("shop.catalog", "Product", name="pen", stock=1), 3),
                    params=("self", "quantity"),
                    raised=fakes.wrap_exception("shop.catalog.OutOfStock", "pen")),
    fakes.user_call("shop.orders.tag_items", args=([],), after=(["pen"],),
                    params=("tags",), returned=1,
                    globals_={"SETTINGS": fakes.FakeCall(
                        fakes.PICKLER, "wrap_object", fakes.fake_class("shop.config", "Settings"),
                        {}, state={"currency": "EUR"})}),
    fakes.user_call("shop.pricing.with_tax", args=(10.0,), params=("amount",), returned=12.0),
    b"\x80\x04garbage that does not decode",
]
METRICS = (
    [fakes.metric("CollectionTry")] * 6
    + [fakes.metric("CollectionSuccess")] * 5
    + [fakes.metric("CollectorFailure", reason=fakes.failure_reason("asyncio"))]
    + [fakes.metric("ExternalFunction", full_name="random.random")] * 2
)


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    root = tmp_path_factory.mktemp("project")
    path = str(root / ".tarnwick" / "records.sqlite3")
    data, metrics = open_channels(path, str(root))
    for message in CALLS:
        data.send_message(message)
    for message in METRICS:
        metrics.send_message(message)
    close_channels(data, metrics)
    return path


def test_show_renders_every_record(store):
    proc = tarnwick("show", "--store", store)
    assert proc.returncode == 0, proc.stderr
    headers = [line for line in proc.stdout.splitlines() if line.startswith("#")]
    assert len(headers) == len(CALLS)
    out = proc.stdout
    assert "arguments before: lines=[('pen', 2)]" in out
    assert "random.random(...) -> 0.3" in out
    assert "raised:   shop.catalog.OutOfStock('pen')" in out
    assert "self=<shop.catalog.Product: name='pen', stock=1>, quantity=3" in out
    assert "arguments after:  tags=['pen']" in out
    assert "globals used: SETTINGS=<shop.config.Settings: currency='EUR'>" in out
    assert "cannot decode" in out


@pytest.mark.parametrize("args, expected", [
    (["--function", "shop.pricing.with_tax"], ["shop.pricing.with_tax"]),
    (["--function", "Product.reserve"], ["shop.catalog.Product.reserve"]),
    (["--function", "shop.pricing.*"], ["shop.pricing.order_total", "shop.pricing.with_tax"]),
    (["--limit", "2"], ["shop.pricing.order_total", "shop.catalog.Product.reserve"]),
    (["--function", "shop.pricing.*", "--limit", "1"], ["shop.pricing.order_total"]),
])
def test_show_selects_calls(store, args, expected):
    proc = tarnwick("show", "--store", store, "--json", *args)
    assert proc.returncode == 0, proc.stderr
    records = json.loads(proc.stdout)["calls"]
    assert [r["function"] for r in records] == expected


def test_show_json_carries_the_whole_call(store):
    doc = json.loads(tarnwick("show", "--store", store, "--json").stdout)
    assert doc["schema"] == 1 and doc["more"] is False
    records = doc["calls"]
    assert len(records) == len(CALLS)
    tagged = next(r for r in records if r["function"] == "shop.orders.tag_items")
    assert tagged["arguments_before"] == {"tags": []}
    assert tagged["arguments_after"] == {"tags": ["pen"]}
    assert tagged["returned"] == 1 and tagged["raised"] is None
    assert tagged["globals"] == {"SETTINGS": {
        "type": "shop.config.Settings", "text": "<shop.config.Settings: currency='EUR'>",
        "attributes": {"currency": "EUR"}}}
    total = records[0]
    assert total["arguments_before"] == {"lines": [["pen", 2]]}
    assert total["external_calls"] == [
        {"function": "random.random", "outcome": "returned", "returned": 0.3, "raised": None}]


def test_show_with_nothing_matching_says_so(store):
    proc = tarnwick("show", "--store", store, "--function", "nope")
    assert proc.returncode == 0 and proc.stdout == ""
    assert "no recorded calls of nope" in proc.stderr


def test_stats_counts_metrics_and_failures(store):
    proc = tarnwick("stats", "--store", store, "--json")
    assert proc.returncode == 0, proc.stderr
    stats = json.loads(proc.stdout)
    counters = {c["counter"]: c["count"] for c in stats["counters"]}
    assert counters == {"collection_try": 6, "collection_success": 5,
                        "collection_failures": 1, "external_functions": 2}
    assert stats["recorded_calls"] == len(CALLS)
    assert stats["failures"] == [{"metric": "CollectorFailure", "reason": "asyncio", "count": 1}]
    assert {c["channel"]: (c["sent"], c["stored"]) for c in stats["channels"]} == {
        "data": (5, 5), "metrics": (14, 14)}
    text = tarnwick("stats", "--store", store).stdout
    assert "collection_success" in text and "CollectorFailure: asyncio" in text


def test_show_runs_nothing_a_record_names(tmp_path):
    evil = tmp_path / "tw_evil_module.py"
    evil.write_text(f"open({str(tmp_path / 'imported')!r}, 'w').close()\n"
                    "def boom(*a):\n    open('boom', 'w').close()\n")
    store = str(tmp_path / "s.sqlite3")
    data, metrics = open_channels(store, str(tmp_path))
    data.send_message(fakes.user_call(
        "tw_evil_module.f", args=(fakes.FakeCall("tw_evil_module", "boom", 1),),
        params=("x",), returned=fakes.instance("tw_evil_module", "Thing", a=1)))
    close_channels(data, metrics)
    proc = tarnwick("show", "--store", store, cwd=tmp_path,
                    env={"PYTHONPATH": os.pathsep.join(
                        filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))})
    assert proc.returncode == 0, proc.stderr
    assert "x=tw_evil_module.boom(1)" in proc.stdout
    assert "<tw_evil_module.Thing: a=1>" in proc.stdout
    assert not (tmp_path / "imported").exists() and not (tmp_path / "boom").exists()


# --- bad input -------------------------------------------------------------

@pytest.mark.parametrize("args", [
    ["show", "--limit", "0"],
    ["show", "--limit", "many"],
    ["show", "--width", "-1"],
    ["show", "--bogus"],
    ["show", "--run", "no-such-run"],
    ["stats", "--run"],
    ["record", "--sampling-rate", "2", "x.py"],
    ["record", "--sampling-rate", "nan?", "x.py"],
    ["record", "--external-calls-max", "-1", "x.py"],
    ["record", "--external-calls-max", "lots", "x.py"],
    ["record", "--buffer-messages", "0", "x.py"],
    ["record", "--tenant-id", " ", "x.py"],
    ["record", "--store"],
    ["record", "-m"],
    ["record"],
    ["frobnicate"],
])
def test_bad_options_give_one_line_and_leave_the_store_alone(store, tmp_path, args):
    (tmp_path / "x.py").write_text("print('ran')\n")
    before = digest(store)
    proc = tarnwick(*args, "--store", store, cwd=tmp_path) if args[0] != "record" else \
        tarnwick(args[0], "--store", store, *args[1:], cwd=tmp_path)
    one_line_error(proc)
    assert "ran" not in proc.stdout
    assert digest(store) == before


@pytest.mark.parametrize("content", [
    b"",  # an empty file is no store to read
    b"plain text, not a database\n" * 50,
    b"SQLite format 3\x00" + b"\x00" * 200,
])
@pytest.mark.parametrize("command", ["show", "stats", "record"])
def test_unreadable_store_gives_one_line_and_is_not_changed(tmp_path, content, command):
    path = tmp_path / "records.sqlite3"
    path.write_bytes(content)
    (tmp_path / "x.py").write_text("print('ran')\n")
    args = ["--store", str(path)] + (["x.py"] if command == "record" else [])
    proc = tarnwick(command, *args, cwd=tmp_path)
    if command == "record" and content == b"":
        return  # an empty file becomes a new store: covered by the recording tests
    line = one_line_error(proc)
    assert str(path) in line
    assert "ran" not in proc.stdout
    assert path.read_bytes() == content


def test_missing_store_and_unreadable_store(tmp_path):
    line = one_line_error(tarnwick("show", "--store", str(tmp_path / "none.sqlite3")))
    assert "no store at" in line
    assert not (tmp_path / "none.sqlite3").exists()
    locked = tmp_path / "locked.sqlite3"
    locked.write_bytes(b"x")
    locked.chmod(0)
    try:
        if os.access(locked, os.R_OK):
            pytest.skip("running as a user who reads everything")
        assert "permission denied" in one_line_error(tarnwick("stats", "--store", str(locked)))
    finally:
        locked.chmod(0o600)


@pytest.mark.parametrize("args, message, status", [
    # A script that cannot be opened gives the interpreter's status, 2.
    (["missing.py"], "no such script: missing.py", 2),
    (["."], ". is a directory without __main__.py", 2),
    (["-m", "tw_no_such_module"], "no module named tw_no_such_module", 1),
    (["-m", "os.path.nothing"], "not a package", 1),
    (["-m", "not-a-name"], "not a module name", 1),
    (["--project-root", "nowhere", "x.py"], "project root nowhere is not a directory", 1),
])
def test_record_refuses_what_it_cannot_run(store, tmp_path, args, message, status):
    (tmp_path / "x.py").write_text("print('ran')\n")
    before = digest(store)
    proc = tarnwick("record", "--store", store, *args, cwd=tmp_path)
    assert message in one_line_error(proc)
    assert proc.returncode == status
    assert digest(store) == before
