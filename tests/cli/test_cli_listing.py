"""What the readers list: ``stats`` with ``--all`` and ``--top``, JSON that
is never cut silently, ``--function`` by dotted parts in every command
that takes it, and progress only on a terminal's standard error."""
import io
import json
import os
from contextlib import redirect_stderr, redirect_stdout

import pytest

import tw_record_fakes as fakes
from tarnwick_collector.cli import main, reading
from tarnwick_collector.store import sqlite_store
from tarnwick_collector.testgen.generate import generate

FUNCTIONS = ["shop.ledger.post", "shop.ledger.Book.add", "shop.ledger.Book.balance",
             "shop.cart.Cart.total", "shop.cart.checkout", "tools.ledger_report"]
# Function i is called i + 1 times, so the order of most calls is known.
CALLS = [name for i, name in enumerate(FUNCTIONS) for _ in range(i + 1)]
EXTERNAL = [f"ext.f{i:02d}" for i in range(13)]


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("listing") / "records.sqlite3")
    fakes.write_store(path, [("run-1", "tarnwick record app.py",
                              [fakes.user_call(name, args=(1,), params=("x",))
                               for name in CALLS])])
    conn = sqlite_store.open_for_writing(path)
    try:
        rows = []
        for i, name in enumerate(EXTERNAL):
            attrs = sqlite_store.attributes_json({"full_name": name})
            rows += [("run-1", 1.0, "external_functions", "ExternalFunction", attrs, 10,
                      None, b"x")] * (i + 1)
        sqlite_store.insert_metric_rows(conn, rows)
    finally:
        conn.close()
    return path


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        status = main(list(argv))
    assert status == 0, err.getvalue()
    return out.getvalue(), err.getvalue()


def test_stats_text_lists_ten_then_says_how_many_more(store):
    text, _ = run("stats", "--store", store)
    assert "  ... and 3 more external functions (--all shows every one)" in text
    assert "ext.f12" in text and "ext.f02" not in text
    everything, _ = run("stats", "--store", store, "--all")
    assert all(name in everything for name in EXTERNAL + FUNCTIONS)
    assert "more" not in everything
    top, _ = run("stats", "--store", store, "--top", "2")
    assert "... and 4 more functions" in top and "... and 11 more external" in top
    assert top.index("tools.ledger_report") < top.index("shop.cart.checkout")


def test_stats_json_is_complete_or_says_what_it_left_out(store):
    stats = json.loads(run("stats", "--store", store, "--json")[0])
    assert stats["schema"] == 1
    assert len(stats["external_functions"]) == len(EXTERNAL)
    assert len(stats["functions"]) == len(FUNCTIONS)
    assert stats["functions_left_out"] == stats["external_functions_left_out"] == 0
    cut = json.loads(run("stats", "--store", store, "--json", "--top", "4")[0])
    assert [f["function"] for f in cut["functions"]] == FUNCTIONS[::-1][:4]
    assert cut["functions_left_out"] == 2 and cut["external_functions_left_out"] == 9


@pytest.mark.parametrize("pattern, expected", [
    ("ledger", ["shop.ledger.post", "shop.ledger.Book.add", "shop.ledger.Book.balance"]),
    ("shop.cart", ["shop.cart.Cart.total", "shop.cart.checkout"]),
    ("Book", ["shop.ledger.Book.add", "shop.ledger.Book.balance"]),
    ("Book.add", ["shop.ledger.Book.add"]),
    ("shop.ledger.post", ["shop.ledger.post"]),
    ("*.ledger_*", ["tools.ledger_report"]),
    ("led", []),  # parts, not pieces of them
    ("cart.Cart.total.x", []),
])
def test_function_selects_by_dotted_parts_in_every_command(store, tmp_path, pattern, expected):
    doc = json.loads(run("show", "--store", store, "--json", "--function", pattern)[0])
    assert sorted({c["function"] for c in doc["calls"]}) == sorted(expected)
    stats = json.loads(run("stats", "--store", store, "--json", "--function", pattern)[0])
    assert sorted(f["function"] for f in stats["functions"]) == sorted(expected)
    assert stats["recorded_calls"] == sum(CALLS.count(name) for name in expected)
    report = generate(store, str(tmp_path / "out"), run="all", function=pattern,
                      project_root=str(tmp_path))
    assert report.recorded == stats["recorded_calls"]


def test_show_json_says_whether_the_limit_left_calls_out(store):
    doc = json.loads(run("show", "--store", store, "--json", "--limit", "3")[0])
    assert len(doc["calls"]) == 3 and doc["more"] is True and doc["limit"] == 3
    doc = json.loads(run("show", "--store", store, "--json", "--function", "Cart.total",
                         "--limit", "4")[0])
    assert len(doc["calls"]) == 4 and doc["more"] is False


class _Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("argv", [["show"], ["show", "--json"], ["stats"]])
def test_progress_goes_to_a_terminal_on_stderr_only(store, monkeypatch, argv):
    monkeypatch.setattr(reading, "PROGRESS_DELAY", 0.0)
    out, err = io.StringIO(), _Terminal()
    with redirect_stdout(out), redirect_stderr(err):
        assert main(argv + ["--store", store]) == 0
    assert "\r\x1b[K" in err.getvalue() and "tarnwick: " in err.getvalue()
    assert err.getvalue().endswith("\r\x1b[K")  # taken away at the end
    assert "\x1b" not in out.getvalue() and "reading" not in out.getvalue()
    if argv == ["show"]:
        assert f"reading calls: 1 of {len(CALLS)}" in err.getvalue()
    # Not with --quiet, nor when standard error is not a terminal.
    for quiet, stream in ((True, _Terminal()), (False, io.StringIO())):
        with redirect_stdout(io.StringIO()), redirect_stderr(stream):
            assert main(argv + ["--store", store] + (["--quiet"] if quiet else [])) == 0
        assert stream.getvalue() == ""


def test_an_old_store_gets_the_index_of_runs_and_names_when_written(tmp_path):
    path = str(tmp_path / "old.sqlite3")
    fakes.write_store(path, [("run-1", "c", [fakes.user_call("m.f")])])
    conn = sqlite_store.open_for_writing(path)
    conn.execute("DROP INDEX data_messages_run_name")
    conn.close()
    reader = sqlite_store.open_for_reading(path)
    try:  # read without it
        assert sqlite_store.select_data_ids(reader, "run-1", "f") == [1]
    finally:
        reader.close()
    sqlite_store.open_for_writing(path).close()
    conn = sqlite_store.open_for_reading(path)
    try:
        names = {row[0] for row in conn.execute(
            "SELECT name FROM sqlite_master WHERE type = 'index'")}
        plan = " ".join(str(row) for row in conn.execute(
            "EXPLAIN QUERY PLAN SELECT id, full_name FROM data_messages"
            " WHERE session IN (?, ?)", ("a", "b")))
    finally:
        conn.close()
    assert "data_messages_run_name" in names
    assert "INDEX" in plan
    assert os.path.exists(path)


@pytest.mark.parametrize("bound", ["_MAX_LISTED_NAMES", "_MAX_LISTED_RUNS"])
@pytest.mark.parametrize("pattern, limit", [("ledger", None), ("ledger", 2), ("*", 4),
                                            (None, 3)])
def test_many_names_or_runs_select_the_same_calls(store, monkeypatch, bound, pattern, limit):
    conn = sqlite_store.open_for_reading(store)
    try:
        selection = sqlite_store.resolve_runs(conn, None)
        listed = sqlite_store.select_data_ids(conn, selection, pattern, limit)
        monkeypatch.setattr(sqlite_store, bound, 0)
        assert sqlite_store.select_data_ids(conn, selection, pattern, limit) == listed
    finally:
        conn.close()
    expected = [i + 1 for i, name in enumerate(CALLS)
                if pattern is None or pattern == "*" or ".ledger." in f".{name}."]
    assert listed == expected[:limit]
