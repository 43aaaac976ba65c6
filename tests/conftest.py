"""Fixtures shared by the whole suite."""
import threading

import pytest

from tarnwick_collector.channels.memory import InMemoryChannel
from tarnwick_collector.configs.collector_settings import CollectorSettings

_SETTINGS_ATTRS = (
    "tenant_id", "project_id", "python_version", "lib_version", "serializer",
    "metrics_subprocess", "data_subprocess", "external_calls_max",
    "project_files", "project_path", "sampling_rate", "redact_patterns",
    "trusted_types",
    "generator_yields_max",
)


@pytest.fixture
def settings():
    """CollectorSettings with fresh in-memory channels; every attribute is
    restored afterwards, whatever the test changed."""
    saved = {name: getattr(CollectorSettings, name) for name in _SETTINGS_ATTRS}
    CollectorSettings.metrics_subprocess = InMemoryChannel("metrics")
    CollectorSettings.data_subprocess = InMemoryChannel("data")
    try:
        yield CollectorSettings
    finally:
        for name, value in saved.items():
            setattr(CollectorSettings, name, value)


def _run_in_thread(fn):
    box = {}

    def target():
        try:
            box["result"] = fn()
        except BaseException as exc:  # handed back to the test
            box["error"] = exc

    t = threading.Thread(target=target)
    t.start()
    t.join()
    if "error" in box:
        raise box["error"]
    return box["result"]


@pytest.fixture
def run_in_thread():
    """run_in_thread(fn) runs `fn` on a new thread and returns its result
    (or raises its error)."""
    return _run_in_thread


@pytest.fixture
def fresh_used_attributes():
    """The test starts with no attribute uses on record and no object
    followed: the maps live as long as the process, and recordings made by
    other tests (of the tracer, say) leave entries in them. What was there
    is put back after."""
    from tarnwick_collector.data_collection.used_attributes_collector import (
        followed_types,
        used_attributes,
    )
    try:
        from tarnwick_collector.data_collection.marrowick import IDS_TO_FOLLOW
    except ImportError:  # the recording core is not built
        IDS_TO_FOLLOW = set()
    tables = (used_attributes, followed_types, IDS_TO_FOLLOW)
    saved = [table.copy() for table in tables]
    for table in tables[:2]:
        table.clear()
    yield
    for table, content in zip(tables, saved):
        table.clear()
        table.update(content)


def _recording_available() -> bool:
    """Whether real recordings can be made: the compiled recording core and
    the tracer are built."""
    try:
        import tarnwick_collector
        from tarnwick_collector.data_collection import marrowick  # noqa: F401
    except ImportError:
        return False
    return callable(getattr(tarnwick_collector, "start", None))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "recording: runs a real recording (needs the compiled core)")


def pytest_collection_modifyitems(config, items):
    if _recording_available():
        return
    skip = pytest.mark.skip(reason="the recording core or the tracer is not built")
    for item in items:
        if item.get_closest_marker("recording") is not None:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def postgres_server():
    """A PostgreSQL server of the Debian package, started for the session
    (see ``postgres_server.py``); the tests that take it are skipped, with
    the reason, where it cannot run."""
    import postgres_server as pg

    reason = pg.why_unavailable()
    if reason is not None:
        pytest.skip(reason)
    server = pg.Server()
    try:
        yield server
    finally:
        server.close()


@pytest.fixture
def pg_url(postgres_server):
    """The URL of a new, empty database on the session's server."""
    return postgres_server.new_database()
