"""The delivery summaries the store gives back, among them those of runs
that ended without one."""
import pytest

from tarnwick_collector.store import sqlite_store

ROOT = "20240102-090000-1b1b1b1b"
CHILD = ROOT + "-4242"
OTHER_CHILD = ROOT + "-4343"


def data_rows(run, n):
    return [(run, 1_700_000_000.0 + i, "app.f", "app", 3, None, b"abc") for i in range(n)]


def metric_rows(run, n):
    return [(run, 1_700_000_000.0 + i, "collection_try", "CollectionTry", "{}", 3, None,
             b"abc") for i in range(n)]


@pytest.fixture
def conn(tmp_path):
    conn = sqlite_store.open_for_writing(str(tmp_path / "s.sqlite3"))
    for run in (ROOT, CHILD, OTHER_CHILD):
        sqlite_store.record_session(conn, run, "test", None)
    yield conn
    conn.close()


def runs_of(conn, selection=sqlite_store.Recording(ROOT)):
    return {(r["session"], r["channel"]): r for r in sqlite_store.channel_runs(conn, selection)}


def unreported(run, channel, stored):
    return {"session": run, "channel": channel, "sent": stored, "stored": stored,
            "dropped_full": 0, "dropped_down": 0, "lost": None, "restarts": 0,
            "note": sqlite_store.UNREPORTED_NOTE, "reported": False}


def test_a_summary_comes_back_as_written(conn):
    sqlite_store.record_channel_run(conn, ROOT, "data", 1.0, 10, 7, 1, 1, 2, "a note")
    assert runs_of(conn) == {(ROOT, "data"): {
        "session": ROOT, "channel": "data", "sent": 10, "stored": 7, "dropped_full": 1,
        "dropped_down": 1, "lost": 1, "restarts": 2, "note": "a note", "reported": True}}


@pytest.mark.parametrize("noted_start", [True, False], ids=["start-noted", "no-row"])
def test_a_run_without_its_summary_says_so_with_what_is_stored(conn, noted_start):
    sqlite_store.record_channel_run(conn, ROOT, "data", 1.0, 5, 5, 0, 0, 0)
    sqlite_store.record_channel_run(conn, ROOT, "metrics", 1.0, 0, 0, 0, 0, 0)
    if noted_start:
        sqlite_store.record_channel_start(conn, CHILD, "data", 2.0)
        sqlite_store.record_channel_start(conn, CHILD, "metrics", 2.0)
    sqlite_store.insert_data_rows(conn, data_rows(ROOT, 5) + data_rows(CHILD, 1368))
    sqlite_store.insert_metric_rows(conn, metric_rows(CHILD, 4))
    runs = runs_of(conn)
    assert runs[(CHILD, "data")] == unreported(CHILD, "data", 1368)
    assert runs[(CHILD, "metrics")] == unreported(CHILD, "metrics", 4)
    assert runs[(ROOT, "data")]["reported"] is True
    # Reading one run alone, or all of them, says the same.
    assert runs_of(conn, CHILD)[(CHILD, "data")] == unreported(CHILD, "data", 1368)
    assert runs_of(conn, None)[(CHILD, "data")] == unreported(CHILD, "data", 1368)


def test_a_noted_start_without_anything_stored_is_still_unreported(conn):
    sqlite_store.record_channel_start(conn, CHILD, "data", 2.0)
    assert runs_of(conn) == {(CHILD, "data"): unreported(CHILD, "data", 0)}


@pytest.mark.parametrize("order", ["start-then-summary", "summary-then-start"])
def test_a_summary_replaces_the_noted_start_and_is_never_replaced_by_it(conn, order):
    calls = [lambda: sqlite_store.record_channel_start(conn, CHILD, "data", 2.0),
             lambda: sqlite_store.record_channel_run(conn, CHILD, "data", 2.0, 3, 3, 0, 0, 0)]
    if order == "summary-then-start":
        calls.reverse()
    for call in calls:
        call()
    sqlite_store.insert_data_rows(conn, data_rows(CHILD, 3))
    summary, = runs_of(conn).values()
    assert (summary["reported"], summary["sent"], summary["stored"], summary["lost"]) == \
        (True, 3, 3, 0)


def test_summaries_come_in_the_order_the_channels_started(conn):
    sqlite_store.record_channel_start(conn, OTHER_CHILD, "data", 3.0)
    sqlite_store.record_channel_run(conn, CHILD, "metrics", 2.5, 1, 1, 0, 0, 0)
    sqlite_store.record_channel_run(conn, CHILD, "data", 2.5, 1, 1, 0, 0, 0)
    sqlite_store.record_channel_run(conn, ROOT, "data", 1.0, 1, 1, 0, 0, 0)
    order = [(r["session"], r["channel"])
             for r in sqlite_store.channel_runs(conn, sqlite_store.Recording(ROOT))]
    assert order == [(ROOT, "data"), (CHILD, "data"), (CHILD, "metrics"),
                     (OTHER_CHILD, "data")]


def test_unfinished_runs_and_the_pids_of_forks(conn):
    sqlite_store.record_channel_start(conn, CHILD, "data", 2.0)
    sqlite_store.record_channel_start(conn, OTHER_CHILD, "data", 2.0)
    sqlite_store.record_channel_run(conn, OTHER_CHILD, "data", 2.0, 0, 0, 0, 0, 0)
    recording = sqlite_store.Recording(ROOT)
    assert sqlite_store.unfinished_runs(conn, recording, "data") == [CHILD]
    assert sqlite_store.unfinished_runs(conn, recording, "metrics") == []
    assert set(sqlite_store.fork_pids(conn, ROOT)) == {CHILD, OTHER_CHILD}
