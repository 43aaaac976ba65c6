"""A store refused for its content leaves no connection open: Python 3.13
warns about every sqlite3 connection collected unclosed, and the warning
would reach the recorded program."""
import gc
import warnings

import pytest

from tarnwick_collector.store import sqlite_store
from tarnwick_collector.store.sqlite_store import StoreError


@pytest.mark.parametrize("content", [b"not a database at all" * 100,
                                     b"SQLite format 3\x00junk"])
def test_a_refused_store_leaves_no_connection_behind(tmp_path, content):
    path = tmp_path / "x.sqlite3"
    path.write_bytes(content)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for opener in (sqlite_store.check_store_writable, sqlite_store.open_for_reading):
            with pytest.raises(StoreError):
                opener(str(path))
        gc.collect()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []
