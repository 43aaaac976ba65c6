"""The package's public recording API: start(), stop(), recording()."""
import importlib
import importlib.util
import os
import sys

import pytest

import tarnwick_collector
from tarnwick_collector import tracer
from tarnwick_collector.channels.memory import InMemoryChannel

metrics = pytest.importorskip("tarnwick_collector.data_collection.metrics")
pytest.importorskip("tarnwick_collector.data_collection.marrowick")


@pytest.fixture
def api(settings, tmp_path, monkeypatch):
    """A project directory on sys.path; recording is stopped afterwards."""
    root = tmp_path / "apiproj"
    root.mkdir()
    (root / "twmod_api.py").write_text(
        "import time\n\ndef stamp(x):\n    return (x, time.time())\n")
    monkeypatch.syspath_prepend(str(root))
    importlib.invalidate_caches()
    try:
        yield root
    finally:
        tarnwick_collector.stop()
        sys.modules.pop("twmod_api", None)


def sent_metrics(settings):
    return [settings.serializer.deserialize(m)
            for m in settings.metrics_subprocess.messages]


def test_start_sends_its_metrics_and_fills_the_settings(api, settings):
    tarnwick_collector.start(project_path=str(api), tenant_id="t1",
                             project_id="p1", external_calls_max=7,
                             sampling_rate=0.5)
    start, rate, limit = sent_metrics(settings)[:3]
    assert type(start) is metrics.StartEvent
    assert (start.tenant_id, start.project_id) == ("t1", "p1")
    assert type(rate) is metrics.SamplingRateWasSet and rate.sampling_rate == 0.5
    assert type(limit) is metrics.ExternalCallsMaxLimitWasSet and \
        limit.external_calls_max == 7
    assert settings.project_path == str(api)
    assert (settings.tenant_id, settings.project_id) == ("t1", "p1")
    assert settings.external_calls_max == 7 and settings.sampling_rate == 0.5
    origin = importlib.util.find_spec("twmod_api").origin
    assert origin in settings.project_files
    assert tarnwick_collector.is_recording() and tracer.is_installed()


def test_defaults_keep_the_settings(api, settings):
    settings.tenant_id = "from-env"
    settings.external_calls_max = 11
    tarnwick_collector.start(project_path=str(api))
    assert settings.tenant_id == "from-env"
    assert settings.external_calls_max == 11 and settings.sampling_rate == 1.0
    limit = sent_metrics(settings)[2]
    assert limit.external_calls_max == 11


def test_project_path_defaults_to_the_working_directory(api, settings,
                                                        monkeypatch):
    monkeypatch.chdir(api)
    tarnwick_collector.start()
    assert settings.project_path == os.getcwd()


def test_calls_are_recorded_between_start_and_stop(api, settings):
    data, metrics_channel = InMemoryChannel("d"), InMemoryChannel("m")
    tarnwick_collector.start(project_path=str(api), data_channel=data,
                             metrics_channel=metrics_channel)
    assert settings.data_subprocess is data
    import twmod_api
    twmod_api.stamp(1)
    assert len(data.messages) == 1
    tarnwick_collector.stop()
    twmod_api.stamp(2)
    assert len(data.messages) == 1
    last = settings.serializer.deserialize(metrics_channel.messages[-1])
    assert type(last) is metrics.ExitEvent
    assert not tarnwick_collector.is_recording() and not tracer.is_installed()


def test_stop_is_idempotent_and_sends_one_exit_event(api, settings):
    tarnwick_collector.stop()
    assert settings.metrics_subprocess.messages == []
    tarnwick_collector.start(project_path=str(api))
    tarnwick_collector.stop()
    tarnwick_collector.stop()
    kinds = [type(m).__name__ for m in sent_metrics(settings)]
    assert kinds.count("ExitEvent") == 1


def test_start_twice_is_refused(api):
    tarnwick_collector.start(project_path=str(api))
    with pytest.raises(RuntimeError, match="already started"):
        tarnwick_collector.start(project_path=str(api))


def test_recording_context_manager(api, settings):
    with tarnwick_collector.recording(project_path=str(api)) as rec:
        assert tarnwick_collector.is_recording()
        import twmod_api
        twmod_api.stamp(3)
    assert rec is not None and not tarnwick_collector.is_recording()
    assert len(settings.data_subprocess.messages) == 1
    assert type(sent_metrics(settings)[-1]).__name__ == "ExitEvent"


class NoSend:
    pass


@pytest.mark.parametrize("kwargs, error, message", [
    ({"project_path": 5}, TypeError, "project_path"),
    ({"project_path": "/no/such/dir"}, ValueError, "not a directory"),
    ({"tenant_id": 5}, TypeError, "tenant_id"),
    ({"project_id": b"p"}, TypeError, "project_id"),
    ({"external_calls_max": "3"}, TypeError, "external_calls_max"),
    ({"external_calls_max": True}, TypeError, "external_calls_max"),
    ({"external_calls_max": -1}, ValueError, "external_calls_max"),
    ({"sampling_rate": "1"}, TypeError, "sampling_rate"),
    ({"sampling_rate": 1.5}, ValueError, "sampling_rate"),
    ({"sampling_rate": -0.1}, ValueError, "sampling_rate"),
    ({"sampling_rate": float("nan")}, ValueError, "sampling_rate"),
    ({"data_channel": NoSend()}, TypeError, "data_channel"),
    ({"metrics_channel": NoSend()}, TypeError, "metrics_channel"),
    ({"serializer": NoSend()}, TypeError, "serializer"),
    ({"exclude": "tests"}, TypeError, "exclude"),
])
def test_bad_arguments_are_refused_before_anything_happens(api, settings,
                                                           kwargs, error,
                                                           message):
    kwargs.setdefault("project_path", str(api))
    with pytest.raises(error, match=message):
        tarnwick_collector.start(**kwargs)
    assert not tarnwick_collector.is_recording() and not tracer.is_installed()
    assert settings.metrics_subprocess.messages == []


def test_a_failing_metrics_channel_does_not_stop_recording(api, settings):
    class Broken:
        def send_message(self, data):
            raise OSError("channel down")

    tarnwick_collector.start(project_path=str(api), metrics_channel=Broken())
    import twmod_api
    assert twmod_api.stamp(4)[0] == 4
    tarnwick_collector.stop()


def test_version_is_kept():
    assert tarnwick_collector.__version__ == "0.1.0"


def test_a_module_the_instrumenter_fails_on_is_counted_and_shown_by_stats(
        api, settings, monkeypatch, tmp_path):
    from tarnwick_collector.channels import receiver
    from tarnwick_collector.store import sqlite_store
    from tarnwick_collector.tracer import rewrite

    def broken(tree):
        raise RuntimeError("instrumenter bug")

    monkeypatch.setattr(rewrite, "_debug", False)
    monkeypatch.setattr(rewrite, "analyze", broken)
    tarnwick_collector.start(project_path=str(api))
    import twmod_api

    assert twmod_api.stamp(1)[0] == 1  # loaded as written, and it works
    failures = [m for m in sent_metrics(settings)
                if type(m) is metrics.InstrumentationFailure]
    assert [(m.module_name, m.error) for m in failures] == [
        ("twmod_api", "RuntimeError: instrumenter bug")]
    assert failures[0].reason is metrics.FailureReasons.INSTRUMENTATION
    # What stats reads from the store names the module and the error.
    conn = sqlite_store.open_for_writing(str(tmp_path / "s.sqlite3"))
    try:
        sqlite_store.insert_metric_rows(conn, [
            receiver._metric_row("run", 0.0, m)
            for m in settings.metrics_subprocess.messages])
        reasons = sqlite_store.failure_reasons(conn, "run")
    finally:
        conn.close()
    assert reasons == [("InstrumentationFailure",
                        "instrumentation: module loaded as written, its calls not "
                        "recorded: twmod_api (RuntimeError: instrumenter bug)", 1)]


def test_a_module_that_does_not_compile_is_no_instrumentation_failure(
        api, settings):
    (api / "twmod_bad.py").write_text("def f(:\n    pass\n")
    tarnwick_collector.start(project_path=str(api))
    with pytest.raises(SyntaxError):
        import twmod_bad  # noqa: F401
    assert not [m for m in sent_metrics(settings)
                if type(m) is metrics.InstrumentationFailure]
    sys.modules.pop("twmod_bad", None)
